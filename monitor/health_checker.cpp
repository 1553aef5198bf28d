#include "monitor/health_checker.h"

#include <time.h>

#include "monitor/orlixmon_schedule.h"
#include "monitor/orlixmon_state.h"
#include "monitor/orlixmon_trace.h"

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

int orlixmon_health_checker()
{
    ORLIXMON_TRACE_INFO("Starting health monitoring of the cards ...");
    static const timespec tick = {0, ORLIXMON_TICK_US * 1000};
    for (uint64_t t = 0; g_orlixmon_state.running(); t++) {
        for (const auto& duty : k_health_duties) {
            if (t % (g_orlixmon_schedule.*duty.period) == 0) {
                (void)(g_orlixmon_state.*duty.run)();
            }
        }
        nanosleep(&tick, nullptr);
    }
    return 0;
}
