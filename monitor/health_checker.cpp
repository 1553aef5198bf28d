#include "monitor/health_checker.h"

#include <time.h>

#include <cerrno>
#include <cstdint>

#include "monitor/orlixmon_schedule.h"
#include "monitor/orlixmon_state.h"
#include "monitor/orlixmon_trace.h"
#include "monitor/service_notify.h"

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

static int64_t monotonic_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// the ticks are counted by the clock, not by the sleeps: a duty that takes
// long (a card that times out, a slow lspci) does not stretch the periods of
// the others. a duty whose multiple of its period went by while the checker
// was busy runs once at the next tick.
int orlixmon_health_checker()
{
    ORLIXMON_TRACE_INFO("Starting health monitoring of the cards ...");
    constexpr int64_t tick_ns = ORLIXMON_TICK_US * 1000;
    const int64_t start = monotonic_ns();
    uint64_t last = 0;
    for (bool first = true; g_orlixmon_state.running(); first = false) {
        const uint64_t t = static_cast<uint64_t>((monotonic_ns() - start) / tick_ns);
        for (const auto& duty : k_health_duties) {
            const uint64_t period = g_orlixmon_schedule.*duty.period;
            if (first || t / period != last / period) {
                (void)(g_orlixmon_state.*duty.run)();
            }
        }
        // the service manager learns that start-up is over once the first
        // discovery ran; the watchdog keep-alives come from the signal thread,
        // which no card exchange can hold up
        if (first) {
            service_notify_ready();
        }
        last = t;
        const int64_t next = start + static_cast<int64_t>(t + 1) * tick_ns;
        const timespec until = {static_cast<time_t>(next / 1000000000), static_cast<long>(next % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
        }
    }
    return 0;
}
