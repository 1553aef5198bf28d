#include "monitor/pipeline_rules.h"

uint64_t& orlixmon_pipeline_state_s::prev(kind_e kind, size_t object, size_t position)
{
    auto& rows = rows_[kind];
    if (object >= rows.size())
        rows.resize(object + 1);
    auto& row = rows[object];
    if (position >= row.size())
        row.resize(position + 1, 0);
    return row[position];
}

void orlixmon_pipeline_state_s::clear()
{
    for (auto& rows : rows_)
        rows.clear();
}

void pipeline_apply_counter_rule(const orlixmon_telemetry_counter_s& counter, uint64_t value,
                                 uint64_t& prev, orlixmon_telemetry_record_s& stats,
                                 orlixmon_telemetry_record_s& event)
{
    uint64_t last = prev;
    // the previous value is that of the previous read, reported or not
    prev = value;

    if (counter.threshold != 0) {
        uint64_t change = value > last ? value - last : last - value;
        if (change < counter.threshold)
            return;
    }
    // unsigned arithmetic: a counter that went down (card reset) wraps
    uint64_t reported = counter.cumulative ? value : value - last;
    if (counter.event_record)
        event.counters.push_back({&counter, reported});
    if (counter.stats_record)
        stats.counters.push_back({&counter, reported});
}
