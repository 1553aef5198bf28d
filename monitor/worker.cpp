// the polling thread of one card: its passes and its wait between them

#include "monitor/worker.h"

#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <stdexcept>

#include "log/module_trace.h"
#include "monitor/orlixmon_schedule.h"
#include "monitor/orlixmon_state.h"
#include "monitor/orlixmon_trace.h"
#include "monitor/telemetry_export.h"
#include "pal/pal.h"
#include "pal/pal_hw_x86.h"

static constexpr int64_t k_granular_ns = ORLIXMON_TICK_NS;
static constexpr int64_t k_overrun_wait_ns = 1000;

int orlixmon_card_sdk_init(aml_card_handle_s* card)
{
    logger_init(null_logger_cb_);
    int rc = pal_hw_x86_init(card->bdf.c_str());
    if (rc < 0) {
        ORLIXMON_TRACE_ERR("ORLIX {} - Failed to initialize PAL, err : {}", card->bdf, rc);
        return 255;
    }
    rc = static_cast<int>(sdk::lib::pal_init(sdk::platform::PLATFORM_TYPE_HW, nullptr));
    if (rc != 0) {
        ORLIXMON_TRACE_ERR("ORLIX {} - Failed to initialize PAL, err : {}", card->bdf, rc);
        return 255;
    }
    return 0;
}

int64_t orlixmon_monotonic_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// spins or sleeps to the deadline, in the 100 us modes
static void wait_until(int64_t deadline_ns, orlixmon_worker_wait_e mode)
{
    if (mode == ORLIXMON_WORKER_WAIT_SLEEP) {
        timespec ts = {static_cast<time_t>(deadline_ns / 1000000000), static_cast<long>(deadline_ns % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
        return;
    }
    while (orlixmon_monotonic_ns() < deadline_ns) {
    }
}

// the calling thread made ready to wait in mode
static void thread_setup(orlixmon_worker_wait_e mode)
{
    if (mode != ORLIXMON_WORKER_WAIT_SPIN) {
        // a thread's sleeps may end up to its timer slack late (50 us by
        // default): half a pass. the worker's deadlines want them on time
        (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    }
}

// the deadline of the next 100 us pass: 100 us after this one started, or
// 1 us after it ended when it overran
static int64_t next_deadline(int64_t start_ns, int64_t end_ns)
{
    int64_t elapsed = end_ns - start_ns;
    if (elapsed > k_granular_ns) {
        ORLIXMON_TRACE_VERBOSE("stats monitor time {} is more than the granular monitor interval {}", elapsed,
                               k_granular_ns);
        return end_ns + k_overrun_wait_ns;
    }
    return start_ns + k_granular_ns;
}

struct worker_poll_s {
    orlixmon_telemetry_record_type_s type;
    uint64_t orlixmon_schedule_s::*period;
    int (*handle)(orlixmon_card_ctxt_s&, pipeline_monitor_info_s&);
};

static const worker_poll_s k_worker_polls[] = {
    {ORLIXMON_RECORD_TYPE_LIF, &orlixmon_schedule_s::lif_poll, orlixmon_handle_lif_telemetry},
    {ORLIXMON_RECORD_TYPE_PORT, &orlixmon_schedule_s::port_poll, orlixmon_handle_port_telemetry},
};

static const worker_poll_s* find_poll(orlixmon_telemetry_record_type_s type)
{
    for (const auto& poll : k_worker_polls) {
        if (poll.type == type) {
            return &poll;
        }
    }
    return nullptr;
}

void orlixmon_worker_poll(orlixmon_card_ctxt_s& ctxt, pipeline_monitor_info_s& info, uint64_t from, uint64_t to)
{
    for (auto type : info.record_types) {
        if (type == ORLIXMON_RECORD_TYPE_CARD) {
            continue;
        }
        const worker_poll_s* poll = find_poll(type);
        if (poll == nullptr) {
            ORLIXMON_TRACE_ERR("Unsupported record type {}", type);
        } else if (orlixmon_tick_due(g_orlixmon_schedule.*poll->period, from, to)) {
            (void)poll->handle(ctxt, info);
        }
    }
}

uint64_t orlixmon_worker_next_poll(const pipeline_monitor_info_s& info, uint64_t tick)
{
    uint64_t next = UINT64_MAX;
    for (auto type : info.record_types) {
        if (const worker_poll_s* poll = find_poll(type)) {
            next = std::min(next, orlixmon_tick_next(g_orlixmon_schedule.*poll->period, tick));
        }
    }
    return next;
}

// parks while the card is down; true when the worker must leave
static bool park_while_down(orlixmon_card_ctxt_s& ctxt)
{
    std::unique_lock<std::mutex> lock(ctxt.mutex);
    if (ctxt.card_down) {
        ctxt.cond.wait(lock, [&] { return ctxt.stop; });
    }
    return ctxt.stop;
}

// sleeps to the monotonic deadline (INT64_MAX: none); a stop or the card
// going down wakes it at once
static void sleep_until_due(orlixmon_card_ctxt_s& ctxt, int64_t deadline_ns)
{
    std::unique_lock<std::mutex> lock(ctxt.mutex);
    auto woken = [&] { return ctxt.stop || ctxt.card_down; };
    if (deadline_ns == INT64_MAX) {
        ctxt.cond.wait(lock, woken);
        return;
    }
    // steady_clock is CLOCK_MONOTONIC: the same instants as the grid
    const std::chrono::steady_clock::time_point until{std::chrono::nanoseconds(deadline_ns)};
    ctxt.cond.wait_until(lock, until, woken);
}

static void record_pass(orlixmon_card_ctxt_s& ctxt, const pipeline_monitor_info_s& info, int64_t start, int64_t end,
                        bool overrun)
{
    if (info.metrics) {
        ctxt.metrics.record_pass(static_cast<uint64_t>(end - start), overrun);
    }
}

// a pass every 100 us, counted by the passes themselves
static void run_ticked(orlixmon_card_ctxt_s& ctxt, pipeline_monitor_info_s& info, orlixmon_worker_wait_e mode)
{
    for (uint64_t pass = 0; g_orlixmon_state.running(); pass++) {
        int64_t start = orlixmon_monotonic_ns();
        if (park_while_down(ctxt)) {
            break;
        }
        orlixmon_worker_pass(ctxt, info, pass);
        const int64_t end = orlixmon_monotonic_ns();
        record_pass(ctxt, info, start, end, end - start > k_granular_ns);
        wait_until(next_deadline(start, end), mode);
    }
}

// a pass only when a poll is due. the ticks come from the clock, so each
// poll starts at its nominal instant however long the passes before it took;
// a pass that wakes late (or overran) runs each poll whose instants went by
// once, then the grid goes on where it was
static void run_tickless(orlixmon_card_ctxt_s& ctxt, pipeline_monitor_info_s& info)
{
    const orlixmon_tick_clock_s clock{orlixmon_monotonic_ns()};
    uint64_t from = 0;  // the first tick not served yet
    while (g_orlixmon_state.running()) {
        if (park_while_down(ctxt)) {
            break;
        }
        const int64_t start = orlixmon_monotonic_ns();
        const uint64_t tick = clock.tick_at(start);
        orlixmon_worker_poll(ctxt, info, from, tick);
        from = tick + 1;
        const int64_t end = orlixmon_monotonic_ns();
        const uint64_t next = orlixmon_worker_next_poll(info, tick);
        // an overrun here is a pass that ran into the next poll's instant
        const bool overrun = next != UINT64_MAX && end >= clock.instant(next);
        if (overrun) {
            ORLIXMON_TRACE_VERBOSE("stats monitor time {} ran past the next poll", end - start);
        }
        record_pass(ctxt, info, start, end, overrun);
        sleep_until_due(ctxt, next == UINT64_MAX ? INT64_MAX : clock.instant(next));
    }
}

void orlixmon_worker_loop(orlixmon_card_ctxt_s& ctxt, pipeline_monitor_info_s& info, orlixmon_worker_wait_e mode)
{
    thread_setup(mode);
    if (mode == ORLIXMON_WORKER_WAIT_TICKLESS) {
        run_tickless(ctxt, info);
    } else {
        run_ticked(ctxt, info, mode);
    }
}

void* orlixmon_worker(void* arg)
{
    aml_card_handle_s* card = static_cast<aml_card_handle_s*>(arg);
    orlixmon_card_ctxt_s* found = nullptr;
    try {
        found = &g_orlixmon_state.get_card_ctxt(*card);
    } catch (const std::runtime_error&) {
        ORLIXMON_TRACE_ERR("Failed to get card {} context from the state", card->bdf);
        return nullptr;
    }
    orlixmon_card_ctxt_s& ctxt = *found;
    pipeline_monitor_info_s info = g_orlixmon_state.monitor_info();
    if (orlixmon_card_sdk_init(&ctxt.card) != 0) {
        std::lock_guard<std::mutex> lock(ctxt.mutex);
        ctxt.card_down = true;
        ctxt.metrics.up.store(false);
        return nullptr;
    }
    ORLIXMON_TRACE_INFO("Starting to monitor {}", ctxt.card.bdf);
    orlixmon_worker_loop(ctxt, info, g_orlixmon_schedule.worker_wait);
    return nullptr;
}
