// the telemetry pass over a card's LIFs and ports, and where its lines go

#include "monitor/telemetry_export.h"

#include <spdlog/logger.h>

#include "monitor/journal_events.h"
#include "monitor/orlixmon_trace.h"
#include "monitor/telemetry_jsonl.h"

int telemetry_export_cb(orlixmon_card_ctxt_s& ctxt, orlixmon_telemetry_record_s& record)
{
    // one line buffer per worker thread: its capacity stays from line to line
    static thread_local std::string line;
    int rc = generate_jsonl_from_telemetry_record(ctxt.card, record, line);
    if (rc != 0) {
        return rc;
    }
    auto& logger = record.type == ORLIXMON_TELEMETRY_TYPE_STATS ? ctxt.stats_logger : ctxt.event_logger;
    if (logger) {
        // the text as it is: no format pass, no copy of the line in the logger
        logger->log(spdlog::level::info, spdlog::string_view_t(line.data(), line.size()));
        logger->flush();
    }
    return 0;
}

// what differs between the lif and the port pass
template <typename Entry>
struct telemetry_kind_s {
    std::vector<Entry> orlixmon_card_ctxt_s::*list;
    pipeline_counters_read_t pipeline_monitor_info_s::*read;
    orlixmon_telemetry_record_type_s record_type;
    const char* word;
};

static const telemetry_kind_s<orlixmon_lif_entry_s> k_lif_kind = {
    &orlixmon_card_ctxt_s::lifs, &pipeline_monitor_info_s::lif_counters_read, ORLIXMON_RECORD_TYPE_LIF, "lif"};
static const telemetry_kind_s<orlixmon_port_entry_s> k_port_kind = {
    &orlixmon_card_ctxt_s::ports, &pipeline_monitor_info_s::port_counters_read, ORLIXMON_RECORD_TYPE_PORT, "port"};

template <typename Entry>
static int handle_telemetry(const telemetry_kind_s<Entry>& kind, orlixmon_card_ctxt_s& ctxt,
                            pipeline_monitor_info_s& info)
{
    // rediscovery appends on another thread: walk the list under its lock
    std::lock_guard<std::mutex> lock(ctxt.lists_mutex);
    const auto& entries = ctxt.*kind.list;
    // the records of one object, kept per worker thread and emptied for the
    // next object: once their counter lists have grown a pass allocates nothing
    static thread_local orlixmon_telemetry_record_s stats, event;
    for (size_t k = 0; k < entries.size(); k++) {
        const Entry& entry = entries[k];
        for (auto* record : {&stats, &event}) {
            record->type = 0;
            record->record_type = 0;
            record->id = &entry.id;
            record->name = &entry.name;
            record->counters.clear();
        }
        int rc = (info.*kind.read)(ctxt, info, k, entry.stats_addr, stats, event);
        if (rc != 0) {
            ORLIXMON_TRACE_ERR("Failed to populate {} telemetry record(s), err {}", kind.word, rc);
            return rc;
        }
        const struct {
            orlixmon_telemetry_record_s& record;
            uint32_t type;
            const char* word;
        } outs[] = {{stats, ORLIXMON_TELEMETRY_TYPE_STATS, "stats"}, {event, ORLIXMON_TELEMETRY_TYPE_COUNTER_EVENT, "event"}};
        for (const auto& out : outs) {
            if (out.record.counters.empty()) {
                continue;
            }
            out.record.type = out.type;
            out.record.record_type = kind.record_type;
            rc = info.export_cb(ctxt, out.record);
            if (rc != 0) {
                ORLIXMON_TRACE_ERR("Failed to export {} {} {} telemetry record, err {}", kind.word, entry.name, out.word,
                                   rc);
                return rc;
            }
        }
    }
    return 0;
}

int orlixmon_handle_lif_telemetry(orlixmon_card_ctxt_s& ctxt, pipeline_monitor_info_s& info)
{
    return handle_telemetry(k_lif_kind, ctxt, info);
}

int orlixmon_handle_port_telemetry(orlixmon_card_ctxt_s& ctxt, pipeline_monitor_info_s& info)
{
    return handle_telemetry(k_port_kind, ctxt, info);
}

void orlixmon_post_health_check_event(orlixmon_card_ctxt_s& ctxt, const std::string& event)
{
    static const std::string k_no_name;
    orlixmon_telemetry_record_s record(ctxt.card.uuid, k_no_name);
    record.type = ORLIXMON_TELEMETRY_TYPE_CARD_EVENT;
    record.record_type = ORLIXMON_RECORD_TYPE_CARD;
    record.description = event;
    std::string line;
    int rc = generate_jsonl_from_telemetry_record(ctxt.card, record, line);
    if (rc != 0) {
        ORLIXMON_TRACE_ERR("ORLIX {} - Failed to post {} event, err : {}", ctxt.card.bdf, event, rc);
        return;
    }
    if (ctxt.event_logger) {
        ctxt.event_logger->info("{}", line);
        ctxt.event_logger->flush();
    }
    // and for the operator (journalctl -u orlixmon): a card that went down
    // is a warning, one that came back a notice
    orlixmon_journal(event == "card down detected" ? ORLIXMON_JOURNAL_WARNING : ORLIXMON_JOURNAL_NOTICE,
                     fmt::format("ORLIX {} - {}", ctxt.card.bdf, event));
}
