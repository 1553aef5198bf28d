#pragma once

// the counter rules applied to a new value

#include <cstdint>
#include <vector>

#include "monitor/telemetry_record.h"

// previous counter values of one worker (one card): a row per LIF or port,
// a slot per counter position. rows and slots grow on first use, so a card
// with many LIFs or ports, or a long counter list, keeps a previous value for
// every counter of every object.
class orlixmon_pipeline_state_s {
public:
    enum kind_e { LIF = 0, PORT = 1 };

    uint64_t& prev(kind_e kind, size_t object, size_t position);
    // the object's row with at least positions slots: one look-up per object
    uint64_t* row(kind_e kind, size_t object, size_t positions);
    void clear();
    size_t objects(kind_e kind) const { return rows_[kind].size(); }

private:
    std::vector<std::vector<uint64_t>> rows_[2];
};

// applies one counter's rule to a fresh reading: updates the previous value,
// holds the counter back below its threshold, reports the raw value or the
// change since the previous read, into the records its actions name.
// inline: the worker runs it for every counter of every object each pass
inline void pipeline_apply_counter_rule(const orlixmon_telemetry_counter_s& counter, uint64_t value,
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
