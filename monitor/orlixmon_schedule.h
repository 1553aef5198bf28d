#pragma once

// the tick grid the health checker and the workers run on

#include <cstdint>

#include "monitor/worker.h"

// the health checker and the workers count ticks of 100 microseconds; each
// duty runs when the count is a multiple of its period
constexpr uint64_t ORLIXMON_TICK_US = 100;
constexpr int64_t ORLIXMON_TICK_NS = ORLIXMON_TICK_US * 1000;

struct orlixmon_schedule_s {
    uint64_t card_discovery = 300000;     // 30 s
    uint64_t lif_discovery = 600000;      // 60 s
    uint64_t port_discovery = 36000000;   // 1 hour
    uint64_t card_health = 10000;         // from the configuration
    uint64_t lif_poll = 1000;
    uint64_t port_poll = 1000;
    orlixmon_worker_wait_e worker_wait = ORLIXMON_WORKER_WAIT_SPIN;
};

// set by orlixmon_init before any thread starts, read-only afterwards
extern orlixmon_schedule_s g_orlixmon_schedule;

// ticks counted by the clock: tick n is the instant start + n x 100 us, so a
// long duty or a late wake-up never shifts the instants that follow
struct orlixmon_tick_clock_s {
    int64_t start_ns;  // monotonic

    uint64_t tick_at(int64_t now_ns) const
    {
        return now_ns <= start_ns ? 0 : static_cast<uint64_t>((now_ns - start_ns) / ORLIXMON_TICK_NS);
    }
    // INT64_MAX (never) past the clock's range: a period can be
    // configured longer than any process lives
    int64_t instant(uint64_t tick) const
    {
        if (tick > static_cast<uint64_t>((INT64_MAX - start_ns) / ORLIXMON_TICK_NS)) {
            return INT64_MAX;
        }
        return start_ns + static_cast<int64_t>(tick) * ORLIXMON_TICK_NS;
    }
};

// a multiple of period lies in the ticks [from, to]: the duty is due, once
// however many of its instants went by
inline bool orlixmon_tick_due(uint64_t period, uint64_t from, uint64_t to)
{
    return to >= from && to / period * period >= from;
}

// the first multiple of period after tick
inline uint64_t orlixmon_tick_next(uint64_t period, uint64_t tick)
{
    const uint64_t n = tick / period + 1;
    return n > UINT64_MAX / period ? UINT64_MAX : n * period;
}
