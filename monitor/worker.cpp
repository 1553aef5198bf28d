#include "monitor/worker.h"

#include <sys/prctl.h>
#include <time.h>

#include <stdexcept>

#include "log/module_trace.h"
#include "monitor/orlixmon_schedule.h"
#include "monitor/orlixmon_state.h"
#include "monitor/orlixmon_trace.h"
#include "monitor/telemetry_export.h"
#include "pal/pal.h"
#include "pal/pal_hw_x86.h"

static constexpr int64_t k_granular_ns = 100000;
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

void orlixmon_worker_wait_until(int64_t deadline_ns, orlixmon_worker_wait_e mode)
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

void orlixmon_worker_thread_setup(orlixmon_worker_wait_e mode)
{
    if (mode == ORLIXMON_WORKER_WAIT_SLEEP) {
        // a thread's sleeps may end up to its timer slack late (50 us by
        // default): half a pass. the worker's deadlines want them on time
        (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    }
}

int64_t orlixmon_worker_next_deadline(int64_t start_ns, int64_t end_ns)
{
    int64_t elapsed = end_ns - start_ns;
    if (elapsed > k_granular_ns) {
        ORLIXMON_TRACE_VERBOSE("stats monitor time {} is more than the granular monitor interval {}", elapsed,
                               k_granular_ns);
        return end_ns + k_overrun_wait_ns;
    }
    return start_ns + k_granular_ns;
}

void orlixmon_worker_pass(orlixmon_card_ctxt_s& ctxt, pipeline_monitor_info_s& info, uint64_t pass)
{
    for (auto type : info.record_types) {
        switch (type) {
        case ORLIXMON_RECORD_TYPE_LIF:
            if (pass % g_orlixmon_schedule.lif_poll == 0) {
                (void)orlixmon_handle_lif_telemetry(ctxt, info);
            }
            break;
        case ORLIXMON_RECORD_TYPE_PORT:
            if (pass % g_orlixmon_schedule.port_poll == 0) {
                (void)orlixmon_handle_port_telemetry(ctxt, info);
            }
            break;
        case ORLIXMON_RECORD_TYPE_CARD:
            break;
        default:
            ORLIXMON_TRACE_ERR("Unsupported record type {}", type);
            break;
        }
    }
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
    const orlixmon_worker_wait_e mode = g_orlixmon_schedule.worker_wait;
    orlixmon_worker_thread_setup(mode);
    for (uint64_t pass = 0; g_orlixmon_state.running(); pass++) {
        int64_t start = orlixmon_monotonic_ns();
        if (park_while_down(ctxt)) {
            break;
        }
        orlixmon_worker_pass(ctxt, info, pass);
        const int64_t end = orlixmon_monotonic_ns();
        if (info.metrics) {
            ctxt.metrics.record_pass(static_cast<uint64_t>(end - start), end - start > k_granular_ns);
        }
        orlixmon_worker_wait_until(orlixmon_worker_next_deadline(start, end), mode);
    }
    return nullptr;
}
