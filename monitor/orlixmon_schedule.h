#pragma once

#include <cstdint>

#include "monitor/worker.h"

// the health checker and the workers count ticks of 100 microseconds, the
// health checker by the clock; each duty runs when the count is a multiple
// of its period
constexpr uint64_t ORLIXMON_TICK_US = 100;

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
