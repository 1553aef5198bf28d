#pragma once

// one monitored card's context, shared by its worker, the health checker and scrapes

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "aml/aml_card_handle.h"
#include "monitor/card_interfaces.h"
#include "monitor/metrics_store.h"

namespace spdlog {
class logger;
}

// one monitored card. contexts never move once their worker runs: the state
// keeps them individually allocated.
struct orlixmon_card_ctxt_s {
    aml_card_handle_s card;

    // worker parking and restart handshake
    std::condition_variable cond;
    bool card_down = false;
    bool stop = false;
    std::mutex mutex;
    std::thread worker_thread;
    bool worker_started = false;  // health checker thread only

    // rediscovery appends to these on the health checker thread while the
    // worker walks them: both sides hold lists_mutex
    std::mutex lists_mutex;
    std::vector<orlixmon_lif_entry_s> lifs;
    std::vector<orlixmon_port_entry_s> ports;

    std::shared_ptr<spdlog::logger> stats_logger;
    std::shared_ptr<spdlog::logger> event_logger;

    // what the metrics endpoint shows of the card
    orlixmon_card_metrics_s metrics;
};
