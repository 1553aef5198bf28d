#pragma once

// the monitor's state: its cards and their workers

#include <atomic>
#include <condition_variable>
#include <functional>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "aml/aml_card_handle.h"
#include "monitor/card_context.h"
#include "monitor/metrics_families.h"
#include "monitor/orlixmon_config.h"
#include "monitor/pipeline.h"

// everything the monitor knows: one instance, g_orlixmon_state
class orlixmon_state {
public:
    orlixmon_state();
    ~orlixmon_state();
    orlixmon_state(const orlixmon_state&) = delete;
    orlixmon_state& operator=(const orlixmon_state&) = delete;

    int init(orlixmon_init_params_s* params);

    // health checker duties
    int discover_cards();
    int discover_lifs();
    int discover_ports();
    int inspect_card_health();

    // the context of a card; throws std::runtime_error("card not found")
    orlixmon_card_ctxt_s& get_card_ctxt(const aml_card_handle_s& card);

    bool running() const { return running_.load(); }
    // a stop that comes before init (a signal during start-up) still holds;
    // wakes wait_running at once
    void stop_running();
    // sleeps until the monotonic deadline (INT64_MAX: none) or until the
    // running flag is cleared
    void wait_running(int64_t deadline_ns);
    const std::string& telemetry_dir() const { return telemetry_dir_; }
    const pipeline_monitor_info_s& monitor_info() const { return monitor_info_; }
    size_t num_cards() const { return cards_.size(); }

    // wakes parked workers and joins every worker (orderly shutdown)
    void stop_workers();
    // the end of the run: stops the workers, closes every card's telemetry
    // files and drops the cards. called before main returns, so nothing is
    // left for static destruction to do
    void release();

    // fn on every card context under the list's lock; contexts stay put
    // until release()
    void for_each_card(const std::function<void(orlixmon_card_ctxt_s&)>& fn);

    bool metrics_enabled() const { return metrics_enabled_; }
    // the last values of every card of the last inventory, for a scrape:
    // copies only, never a card access, never a wait on a worker
    void collect_metrics(orlixmon_metrics_snapshot_s& snapshot);

private:
    int init_card_(orlixmon_card_ctxt_s& ctxt);
    int discover_card_lifs_(orlixmon_card_ctxt_s& ctxt);
    int discover_card_ports_(orlixmon_card_ctxt_s& ctxt);
    orlixmon_card_ctxt_s* find_card_(const aml_card_handle_s& card);
    int add_card_(std::unique_ptr<orlixmon_card_ctxt_s> ctxt);
    void start_worker_(orlixmon_card_ctxt_s& ctxt);
    void restart_card_(orlixmon_card_ctxt_s& ctxt);
    bool card_is_down_(orlixmon_card_ctxt_s& ctxt);
    void learn_card_info_(orlixmon_card_ctxt_s& ctxt);

    std::string telemetry_dir_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_requested_{false};
    pipeline_monitor_info_s monitor_info_;
    bool metrics_enabled_ = false;
    // contexts stay where they are while cards are appended
    std::vector<std::unique_ptr<orlixmon_card_ctxt_s>> cards_;
    std::mutex cards_mutex_;  // appends against worker look-ups
};

extern orlixmon_state g_orlixmon_state;
