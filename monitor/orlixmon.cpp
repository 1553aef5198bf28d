#include "monitor/orlixmon.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "monitor/health_checker.h"
#include "monitor/metrics_endpoint.h"
#include "monitor/orlixmon_schedule.h"
#include "monitor/orlixmon_state.h"
#include "monitor/orlixmon_trace.h"
#include "monitor/service_notify.h"

int orlixmon_init(orlixmon_init_params_s* params)
{
    g_orlixmon_schedule.card_health = params->liveness_poll_interval / ORLIXMON_TICK_US;
    g_orlixmon_schedule.lif_poll = params->lif_poll_interval / ORLIXMON_TICK_US;
    g_orlixmon_schedule.port_poll = params->port_poll_interval / ORLIXMON_TICK_US;
    g_orlixmon_schedule.worker_wait = params->worker_sleep ? ORLIXMON_WORKER_WAIT_SLEEP : ORLIXMON_WORKER_WAIT_SPIN;

    int rc = orlixmon_trace_init(params);
    if (rc != 0) {
        return rc;
    }
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
    health_checker.join();
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

void orlixmon_signals_init()
{
    // the disposition stays the handler's, should a thread started before
    // this call receive one of them
    signal(SIGINT, orlixmon_signal_handler);
    signal(SIGTERM, orlixmon_signal_handler);
    sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([] {
        sigset_t wait_set = stop_signals();
        for (;;) {
            int signo = 0;
            if (sigwait(&wait_set, &signo) == 0) {
                orlixmon_signal_handler(signo);
            }
        }
    }).detach();
}
