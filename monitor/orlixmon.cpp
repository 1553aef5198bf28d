// the monitor's start and stop: trace logger, state, endpoint and health checker

#include "monitor/orlixmon.h"

#include <pthread.h>
#include <signal.h>

#include <time.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "ipc/shell_command.h"
#include "monitor/health_checker.h"
#include "monitor/metrics_endpoint.h"
#include "monitor/orlixmon_schedule.h"
#include "monitor/orlixmon_state.h"
#include "monitor/orlixmon_trace.h"
#include "monitor/service_notify.h"
#include "monitor/xcvr_reader.h"

// what lspci, setpci and the like say on standard error: for the trace
// log, not for the terminal or the journal, once per call
static void orlixmon_tool_stderr(const std::string& command, const std::string& text)
{
    ORLIXMON_TRACE_DEBUG("{}: {}", command, text);
}

int orlixmon_init(orlixmon_init_params_s* params)
{
    g_orlixmon_schedule.card_health = params->liveness_poll_interval / ORLIXMON_TICK_US;
    g_orlixmon_schedule.lif_poll = params->lif_poll_interval / ORLIXMON_TICK_US;
    g_orlixmon_schedule.port_poll = params->port_poll_interval / ORLIXMON_TICK_US;
    g_orlixmon_schedule.worker_wait = params->worker_wait;

    int rc = orlixmon_trace_init(params);
    if (rc != 0) {
        return rc;
    }
    for (const auto& warning : params->config_warnings) {
        ORLIXMON_TRACE_WARN("configuration: {}", warning);
    }
    ipc_shell_set_stderr_cb(orlixmon_tool_stderr);
    rc = g_orlixmon_state.init(params);
    if (rc != 0) {
        return rc;
    }
    // only with its key: without it no socket is opened
    std::unique_ptr<orlixmon_metrics_endpoint> metrics;
    if (!params->metrics_listen.empty()) {
        metrics = std::make_unique<orlixmon_metrics_endpoint>(
            [](orlixmon_metrics_snapshot_s& snapshot) { g_orlixmon_state.collect_metrics(snapshot); });
        std::string error;
        if (!metrics->start(*params, error)) {
            fprintf(stderr, "Error - %s\n", error.c_str());
            ORLIXMON_TRACE_ERR("{}", error);
            return 255;
        }
        ORLIXMON_TRACE_INFO("Serving metrics at {}", metrics->url());
    }
    std::thread health_checker(orlixmon_health_checker);
    // the modules' diagnostics are only ever published, so only read for a scrape
    std::thread xcvr_reader;
    if (metrics) {
        xcvr_reader = std::thread(orlixmon_xcvr_reader, params->metrics_transceiver_interval);
    }
    health_checker.join();
    if (xcvr_reader.joinable()) {
        xcvr_reader.join();
    }
    metrics.reset();  // no scrape from here on
    // parked workers would never see the running flag: wake and join them all
    g_orlixmon_state.stop_workers();
    return 0;
}

void orlixmon_signal_handler(int signo)
{
    // the line goes out first: once the flag is clear the process may end
    // before a later write would land
    ORLIXMON_TRACE_INFO("received signal {}, exiting ...", signo);
    service_notify_stopping();
    g_orlixmon_state.stop_running();
}

static sigset_t stop_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

namespace {

// never destroyed: should the process end through exit() on another thread
// (a library giving up), a joinable thread among the statics would turn that
// end into std::terminate and an abort
std::thread* g_signal_thread = nullptr;
std::atomic<bool> g_signal_thread_quit{false};

// waits for a stop signal and, meanwhile, keeps the service manager's
// watchdog fed. no card exchange runs here, so a hung card (or many) never
// holds a keep-alive back. leaves after the first stop signal: the service
// manager stops watching once it asked for the stop, and a second signal
// stays pending in the blocked mask instead of running the handler again
void signal_thread_loop()
{
    const sigset_t wait_set = stop_signals();
    // the wait also ends now and then without a keep-alive due, to see a
    // stop that came another way (orlixmon_signals_end)
    constexpr int64_t k_max_wait_ns = 1000000000;
    while (!g_signal_thread_quit.load()) {
        int64_t wait_ns = service_notify_watchdog();
        if (wait_ns < 0 || wait_ns > k_max_wait_ns) {
            wait_ns = k_max_wait_ns;
        }
        const timespec timeout = {static_cast<time_t>(wait_ns / 1000000000), static_cast<long>(wait_ns % 1000000000)};
        int signo = sigtimedwait(&wait_set, nullptr, &timeout);
        if (signo == SIGINT || signo == SIGTERM) {
            orlixmon_signal_handler(signo);
            return;
        }
    }
}

}  // namespace

void orlixmon_signals_init()
{
    // the disposition stays the handler's, should a thread started before
    // this call receive one of them
    signal(SIGINT, orlixmon_signal_handler);
    signal(SIGTERM, orlixmon_signal_handler);
    sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (g_signal_thread == nullptr) {
        g_signal_thread = new std::thread(signal_thread_loop);
    }
}

void orlixmon_signals_end()
{
    g_signal_thread_quit.store(true);
    if (g_signal_thread != nullptr) {
        g_signal_thread->join();
        delete g_signal_thread;
        g_signal_thread = nullptr;
    }
}
