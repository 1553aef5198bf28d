// the health checker thread: card discovery, rediscovery and liveness on the tick grid

#include "monitor/health_checker.h"

#include <algorithm>
#include <climits>
#include <cstdint>

#include "monitor/orlixmon_schedule.h"
#include "monitor/orlixmon_state.h"
#include "monitor/orlixmon_trace.h"
#include "monitor/service_notify.h"
#include "monitor/worker.h"

orlixmon_schedule_s g_orlixmon_schedule;

struct health_duty_s {
    uint64_t orlixmon_schedule_s::*period;
    int (orlixmon_state::*run)();
};

// in this order on a tick that several share
static const health_duty_s k_health_duties[] = {
    {&orlixmon_schedule_s::card_discovery, &orlixmon_state::discover_cards},
    {&orlixmon_schedule_s::lif_discovery, &orlixmon_state::discover_lifs},
    {&orlixmon_schedule_s::port_discovery, &orlixmon_state::discover_ports},
    {&orlixmon_schedule_s::card_health, &orlixmon_state::inspect_card_health},
};

// the tick of the next wake-up after tick: the next tick, or in tickless
// mode the first instant a duty is due
static uint64_t next_wake(uint64_t tick, bool tickless)
{
    if (!tickless) {
        return tick + 1;
    }
    uint64_t next = UINT64_MAX;
    for (const auto& duty : k_health_duties) {
        next = std::min(next, orlixmon_tick_next(g_orlixmon_schedule.*duty.period, tick));
    }
    return next;
}

// the ticks are counted by the clock, not by the sleeps: a duty that takes
// long (a card that times out, a slow lspci) does not stretch the periods of
// the others. a duty whose multiple of its period went by while the checker
// was busy runs once at the next wake-up.
int orlixmon_health_checker()
{
    ORLIXMON_TRACE_INFO("Starting health monitoring of the cards ...");
    const bool tickless = g_orlixmon_schedule.worker_wait == ORLIXMON_WORKER_WAIT_TICKLESS;
    const orlixmon_tick_clock_s clock{orlixmon_monotonic_ns()};
    uint64_t from = 0;  // the first tick not served yet
    while (g_orlixmon_state.running()) {
        const uint64_t tick = clock.tick_at(orlixmon_monotonic_ns());
        for (const auto& duty : k_health_duties) {
            if (orlixmon_tick_due(g_orlixmon_schedule.*duty.period, from, tick)) {
                (void)(g_orlixmon_state.*duty.run)();
            }
        }
        // the service manager learns that start-up is over once the first
        // discovery ran; the watchdog keep-alives come from the signal thread,
        // which no card exchange can hold up
        if (from == 0) {
            service_notify_ready();
        }
        from = tick + 1;
        g_orlixmon_state.wait_running(clock.instant(next_wake(tick, tickless)));
    }
    return 0;
}
