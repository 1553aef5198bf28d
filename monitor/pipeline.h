#pragma once

// the counter rules as the workers read them

#include <cstdint>
#include <set>
#include <vector>

#include "monitor/orlixmon_config.h"
#include "monitor/telemetry_record.h"

struct orlixmon_card_ctxt_s;
struct pipeline_monitor_info_s;

// the configured counters: lif, port and card lists
struct pipeline_init_params_s {
    std::vector<orlixmon_telemetry_counter_cfg_s> lif_counters;
    std::vector<orlixmon_telemetry_counter_cfg_s> port_counters;
    std::vector<orlixmon_telemetry_counter_cfg_s> card_counters;
};

using pipeline_export_cb_t = int (*)(orlixmon_card_ctxt_s& ctxt, orlixmon_telemetry_record_s& record);
// reads one object's counters at base into the two records. index is the
// object's place in its list (not cut to 8 bits: every object keeps its own
// previous values)
using pipeline_counters_read_t = int (*)(orlixmon_card_ctxt_s& ctxt, pipeline_monitor_info_s& info,
                                         size_t index, uint64_t base,
                                         orlixmon_telemetry_record_s& stats,
                                         orlixmon_telemetry_record_s& event);

// what a worker polls and how; each worker works on its own copy
struct pipeline_monitor_info_s {
    std::set<orlixmon_telemetry_record_type_s> record_types;
    pipeline_export_cb_t export_cb = nullptr;
    pipeline_counters_read_t lif_counters_read = nullptr;
    pipeline_counters_read_t port_counters_read = nullptr;
    pipeline_counters_read_t card_counters_read = nullptr;
    std::vector<orlixmon_telemetry_counter_s> lif_counters;
    std::vector<orlixmon_telemetry_counter_s> port_counters;
    std::vector<orlixmon_telemetry_counter_s> card_counters;
    // with the metrics endpoint: every counter of the LIF and port tables is
    // read at each poll (offsets in table order) and its raw total published
    bool metrics = false;
    std::vector<uint64_t> lif_table_offsets;
    std::vector<uint64_t> port_table_offsets;
};

// resolves the configured counter names to their offsets; 0, or 255 with
// the first unknown name on stderr. metrics installs the readers that read
// whole tables and publish them
int pipeline_init(pipeline_init_params_s* params, pipeline_monitor_info_s* info, bool metrics = false);

// empties the calling thread's previous values; a new worker thread starts
// empty anyway
int pipeline_reinit();

// the readers pipeline_init installs
int pipeline_lif_counters_read(orlixmon_card_ctxt_s& ctxt, pipeline_monitor_info_s& info, size_t index,
                               uint64_t base, orlixmon_telemetry_record_s& stats, orlixmon_telemetry_record_s& event);
int pipeline_port_counters_read(orlixmon_card_ctxt_s& ctxt, pipeline_monitor_info_s& info, size_t index,
                                uint64_t base, orlixmon_telemetry_record_s& stats, orlixmon_telemetry_record_s& event);
// the same, reading the object's whole counter table and publishing it to
// the card's metrics
int pipeline_lif_table_read(orlixmon_card_ctxt_s& ctxt, pipeline_monitor_info_s& info, size_t index,
                            uint64_t base, orlixmon_telemetry_record_s& stats, orlixmon_telemetry_record_s& event);
int pipeline_port_table_read(orlixmon_card_ctxt_s& ctxt, pipeline_monitor_info_s& info, size_t index,
                             uint64_t base, orlixmon_telemetry_record_s& stats, orlixmon_telemetry_record_s& event);
int pipeline_card_counters_read(orlixmon_card_ctxt_s& ctxt, pipeline_monitor_info_s& info, size_t index,
                                uint64_t base, orlixmon_telemetry_record_s& stats, orlixmon_telemetry_record_s& event);
