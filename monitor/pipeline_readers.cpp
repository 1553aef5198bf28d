// reading a LIF's or port's counters from card memory and applying their rules

#include <cstring>

#include "monitor/card_context.h"
#include "monitor/pipeline.h"
#include "monitor/pipeline_rules.h"
#include "pal/pal.h"

// each worker serves one card: its previous values live with its thread
static thread_local orlixmon_pipeline_state_s t_pipeline_state;

int pipeline_reinit()
{
    t_pipeline_state.clear();
    return 0;
}

static bool read_counter(uint64_t addr, uint64_t& value)
{
    uint8_t buf[8];
    if (sdk::lib::pal_mem_read(addr, buf, sizeof(buf), 0) != sdk::lib::PAL_RET_OK) {
        return false;
    }
    memcpy(&value, buf, sizeof(value));
    return true;
}

static int counters_read(orlixmon_pipeline_state_s::kind_e kind,
                         const std::vector<orlixmon_telemetry_counter_s>& counters, size_t index, uint64_t base,
                         orlixmon_telemetry_record_s& stats, orlixmon_telemetry_record_s& event)
{
    uint64_t* prev = t_pipeline_state.row(kind, index, counters.size());
    for (size_t i = 0; i < counters.size(); i++) {
        uint64_t value = 0;
        // a read that fails reports nothing and keeps the previous value
        if (!read_counter(base + counters[i].offset, value)) {
            continue;
        }
        pipeline_apply_counter_rule(counters[i], value, prev[i], stats, event);
    }
    return 0;
}

int pipeline_lif_counters_read(orlixmon_card_ctxt_s&, pipeline_monitor_info_s& info, size_t index, uint64_t base,
                               orlixmon_telemetry_record_s& stats, orlixmon_telemetry_record_s& event)
{
    return counters_read(orlixmon_pipeline_state_s::LIF, info.lif_counters, index, base, stats, event);
}

int pipeline_port_counters_read(orlixmon_card_ctxt_s&, pipeline_monitor_info_s& info, size_t index, uint64_t base,
                                orlixmon_telemetry_record_s& stats, orlixmon_telemetry_record_s& event)
{
    return counters_read(orlixmon_pipeline_state_s::PORT, info.port_counters, index, base, stats, event);
}

// the whole table of one object: each counter read once, the configured
// ones through their rules, every value staged for the card's metrics. the
// last object of the poll publishes the whole poll with one try of the lock;
// an object with a failed read keeps its last published values
struct table_stage_s {
    std::vector<uint64_t> values;   // objects x table columns
    std::vector<uint8_t> read;      // per object: every column read
    std::vector<uint8_t> column_ok;
};
// per worker thread, one per kind; they grow with the objects only
static thread_local table_stage_s t_stage[2];

static int table_read(orlixmon_pipeline_state_s::kind_e kind, orlixmon_metrics_kind_e metrics_kind,
                      const std::vector<uint64_t>& table, const std::vector<orlixmon_telemetry_counter_s>& counters,
                      size_t objects, orlixmon_card_ctxt_s& ctxt, size_t index, uint64_t base,
                      orlixmon_telemetry_record_s& stats, orlixmon_telemetry_record_s& event)
{
    table_stage_s& stage = t_stage[metrics_kind];
    const size_t width = table.size();
    if (stage.values.size() < (index + 1) * width) {
        stage.values.resize((index + 1) * width);
    }
    if (stage.read.size() <= index) {
        stage.read.resize(index + 1);
    }
    stage.column_ok.resize(width);
    uint64_t* values = stage.values.data() + index * width;
    bool all_read = true;
    for (size_t c = 0; c < width; c++) {
        stage.column_ok[c] = read_counter(base + table[c], values[c]);
        all_read = all_read && stage.column_ok[c];
    }
    stage.read[index] = all_read;
    uint64_t* prev = t_pipeline_state.row(kind, index, counters.size());
    for (size_t i = 0; i < counters.size(); i++) {
        const size_t c = counters[i].column;
        if (c < width && stage.column_ok[c]) {
            pipeline_apply_counter_rule(counters[i], values[c], prev[i], stats, event);
        }
    }
    if (index + 1 == objects) {
        (void)ctxt.metrics.publish_all(metrics_kind, stage.values.data(), stage.read.data(), objects, width);
    }
    return 0;
}

int pipeline_lif_table_read(orlixmon_card_ctxt_s& ctxt, pipeline_monitor_info_s& info, size_t index, uint64_t base,
                            orlixmon_telemetry_record_s& stats, orlixmon_telemetry_record_s& event)
{
    // the pass walks the list under its lock: its size is the poll's
    return table_read(orlixmon_pipeline_state_s::LIF, ORLIXMON_METRICS_LIF, info.lif_table_offsets, info.lif_counters,
                      ctxt.lifs.size(), ctxt, index, base, stats, event);
}

int pipeline_port_table_read(orlixmon_card_ctxt_s& ctxt, pipeline_monitor_info_s& info, size_t index, uint64_t base,
                             orlixmon_telemetry_record_s& stats, orlixmon_telemetry_record_s& event)
{
    return table_read(orlixmon_pipeline_state_s::PORT, ORLIXMON_METRICS_PORT, info.port_table_offsets,
                      info.port_counters, ctxt.ports.size(), ctxt, index, base, stats, event);
}

int pipeline_card_counters_read(orlixmon_card_ctxt_s&, pipeline_monitor_info_s& info, size_t, uint64_t base,
                                orlixmon_telemetry_record_s& stats, orlixmon_telemetry_record_s& event)
{
    for (const auto& counter : info.card_counters) {
        uint64_t value = 0;
        if (!read_counter(base + counter.offset, value)) {
            continue;
        }
        (counter.event_record ? event : stats).counters.push_back({&counter, value});
    }
    return 0;
}
