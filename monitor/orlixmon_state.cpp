#include "monitor/orlixmon_state.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <spdlog/details/registry.h>
#include <spdlog/logger.h>

#include "aml/aml_inventory.h"
#include "aml/aml_card_requests.h"
#include "aml/aml_fw_info.h"
#include "aml/aml_status.h"
#include "log/banner_file_sink.h"
#include "monitor/counter_maps.h"
#include "monitor/interface_discovery.h"
#include "monitor/oper_logger.h"
#include "monitor/orlixmon_trace.h"
#include "monitor/telemetry_export.h"
#include "monitor/worker.h"

// at most this many cards are monitored
static constexpr size_t k_max_cards = 255;

orlixmon_state g_orlixmon_state;

orlixmon_state::orlixmon_state()
{
    // the logging library's registry is a function-local static: made here,
    // before this object is complete, it is destroyed after it, so a card
    // logger dropped at exit never finds the registry gone
    (void)spdlog::details::registry::instance();
}

orlixmon_state::~orlixmon_state()
{
    release();
}

void orlixmon_state::release()
{
    stop_workers();
    std::lock_guard<std::mutex> lock(cards_mutex_);
    for (auto& ctxt : cards_) {
        if (ctxt->stats_logger) {
            orlixmon_oper_logger_deinit(ctxt->card, "stats");
        }
        if (ctxt->event_logger) {
            orlixmon_oper_logger_deinit(ctxt->card, "event");
        }
    }
    cards_.clear();
}

int orlixmon_state::init(orlixmon_init_params_s* params)
{
    running_.store(true);
    if (stop_requested_.load()) {
        running_.store(false);
    }
    telemetry_dir_ = params->telemetry_dir;
    pipeline_init_params_s pipeline_params{params->lif_counters, params->port_counters,
                                           params->card_counters};
    metrics_enabled_ = !params->metrics_listen.empty();
    int rc = pipeline_init(&pipeline_params, &monitor_info_, metrics_enabled_);
    if (rc != 0) {
        ORLIXMON_TRACE_ERR("Pipeline initialization failed");
        return rc;
    }
    return 0;
}

// clearing the running flag against a sleeper's look at it. never
// destroyed: the detached signal thread may still be notifying when main
// returns and the statics go
struct run_wake_s {
    std::mutex mutex;
    std::condition_variable cond;
};

static run_wake_s& run_wake()
{
    static run_wake_s* wake = new run_wake_s;
    return *wake;
}

void orlixmon_state::stop_running()
{
    stop_requested_.store(true);
    run_wake_s& wake = run_wake();
    {
        std::lock_guard<std::mutex> lock(wake.mutex);
        running_.store(false);
    }
    wake.cond.notify_all();
}

void orlixmon_state::wait_running(int64_t deadline_ns)
{
    run_wake_s& wake = run_wake();
    std::unique_lock<std::mutex> lock(wake.mutex);
    auto stopped = [&] { return !running_.load(); };
    if (deadline_ns == INT64_MAX) {
        wake.cond.wait(lock, stopped);
        return;
    }
    // steady_clock is CLOCK_MONOTONIC
    wake.cond.wait_until(lock, std::chrono::steady_clock::time_point{std::chrono::nanoseconds(deadline_ns)}, stopped);
}

static bool same_card(const aml_card_handle_s& a, const aml_card_handle_s& b)
{
    return a.uuid == b.uuid && a.bdf == b.bdf;
}

orlixmon_card_ctxt_s* orlixmon_state::find_card_(const aml_card_handle_s& card)
{
    for (auto& ctxt : cards_) {
        if (same_card(ctxt->card, card)) {
            return ctxt.get();
        }
    }
    return nullptr;
}

void orlixmon_state::start_worker_(orlixmon_card_ctxt_s& ctxt)
{
    ctxt.worker_thread = std::thread(orlixmon_worker, static_cast<void*>(&ctxt));
    ctxt.worker_started = true;
}

// a new card whose LIFs and ports are known: its telemetry files, then its
// place in the list
int orlixmon_state::add_card_(std::unique_ptr<orlixmon_card_ctxt_s> ctxt)
{
    const aml_card_handle_s& card = ctxt->card;
    ctxt->stats_logger = orlixmon_oper_logger_init(card, telemetry_dir_, "stats");
    if (!ctxt->stats_logger) {
        ORLIXMON_TRACE_ERR("ORLIX {} - Failed to start stats logger", card.bdf);
        return 255;
    }
    ctxt->event_logger = orlixmon_oper_logger_init(card, telemetry_dir_, "event");
    if (!ctxt->event_logger) {
        ORLIXMON_TRACE_ERR("ORLIX {} - Failed to start event logger", card.bdf);
        orlixmon_oper_logger_deinit(card, "stats");
        return 255;
    }
    if (metrics_enabled_) {
        learn_card_info_(*ctxt);
    }
    std::lock_guard<std::mutex> lock(cards_mutex_);
    cards_.push_back(std::move(ctxt));
    return 0;
}

// the serial and the running firmware's version, for the card's info
// metric; what cannot be read stays empty
void orlixmon_state::learn_card_info_(orlixmon_card_ctxt_s& ctxt)
{
    aml_card_get_req_s req;
    aml_card_get_rsp_s rsp;
    req.card = ctxt.card;
    std::string serial = aml_card_get(&req, &rsp) == AML_STATUS_OK ? rsp.serial_num : "";
    aml_card_fw_version_get_req_s vreq{ctxt.card};
    aml_card_fw_version_get_rsp_s vrsp;
    (void)aml_card_fw_version_get(&vreq, &vrsp);
    ctxt.metrics.set_info(serial, vrsp.running_version);
}

void orlixmon_state::restart_card_(orlixmon_card_ctxt_s& ctxt)
{
    pipeline_reinit();
    {
        std::lock_guard<std::mutex> lock(ctxt.mutex);
        ctxt.stop = true;
    }
    ctxt.cond.notify_all();
    if (ctxt.worker_thread.joinable()) {
        ctxt.worker_thread.join();
    }
    {
        std::lock_guard<std::mutex> lock(ctxt.mutex);
        ctxt.stop = false;
        ctxt.card_down = false;
        ctxt.metrics.up.store(true);
    }
    if (metrics_enabled_) {
        learn_card_info_(ctxt);  // the firmware may have changed while it was down
    }
    start_worker_(ctxt);
    orlixmon_post_health_check_event(ctxt, "card up detected");
    ORLIXMON_TRACE_INFO("ORLIX {} - card up detected", ctxt.card.bdf);
}

// runs job(0) ... job(n - 1) at once, each on a thread of its own under its
// own response bounds, and returns when all are done: a pass over the cards
// takes as long as its slowest card, not the sum of them, however many hang.
// job(0) runs on this thread; a thread that cannot be started runs inline
static void run_at_once(size_t n, const std::function<void(size_t)>& job)
{
    std::vector<std::thread> threads;
    threads.reserve(n);
    for (size_t i = 1; i < n; i++) {
        try {
            threads.emplace_back(job, i);
        } catch (const std::system_error&) {
            job(i);
        }
    }
    if (n > 0) {
        job(0);
    }
    for (auto& thread : threads) {
        thread.join();
    }
}

static bool card_answers(const aml_card_handle_s& card)
{
    aml_card_liveness_check_req_s req;
    aml_card_liveness_check_rsp_s rsp;
    req.card = card;
    return aml_card_liveness_check(&req, &rsp) == AML_STATUS_OK;
}

int orlixmon_state::discover_cards()
{
    aml_card_inventory_get_req_s req;
    aml_card_inventory_get_rsp_s rsp;
    aml_status_e status = aml_card_inventory_get(&req, &rsp);
    if (status != AML_STATUS_OK) {
        fprintf(stderr, "Error %s", rsp.error.c_str());
        std::string error = rsp.error.substr(0, rsp.error.find_last_not_of('\n') + 1);
        ORLIXMON_TRACE_ERR("Card inventory incomplete, {} card(s) read: {}", rsp.cards.size(), error);
        // one card that cannot be read must not stop the others: those read
        // are discovered and recovered as usual, the rest is tried again at
        // the next discovery
        if (rsp.cards.empty()) {
            return aml_to_sdk_ret_status(status);
        }
    }
    // a card that left the inventory leaves the metrics; it comes back with
    // it. one that could not be read is not known to have left
    for (auto& ctxt : cards_) {
        bool listed = false;
        for (const auto& card : rsp.cards) {
            listed = listed || same_card(ctxt->card, card);
        }
        if (listed || status == AML_STATUS_OK) {
            ctxt->metrics.present.store(listed);
        }
    }
    // new cards learn their LIFs and ports at once; they join the list in
    // inventory order. a card whose LIFs or ports cannot be learned is tried
    // again at the next discovery
    std::vector<std::unique_ptr<orlixmon_card_ctxt_s>> fresh;
    for (const auto& card : rsp.cards) {
        bool known = find_card_(card) != nullptr;
        for (const auto& f : fresh) {
            known = known || same_card(f->card, card);
        }
        if (!known && cards_.size() + fresh.size() < k_max_cards) {
            fresh.push_back(std::make_unique<orlixmon_card_ctxt_s>());
            fresh.back()->card = card;
        }
    }
    std::vector<char> learned(fresh.size(), 0);
    run_at_once(fresh.size(), [&](size_t i) { learned[i] = init_card_(*fresh[i]) == 0; });
    int rc = 0;
    for (size_t i = 0; i < fresh.size() && rc == 0; i++) {
        if (learned[i]) {
            rc = add_card_(std::move(fresh[i]));
        }
    }
    // every context without a worker gets one, also those added before a
    // logger failure ended the pass above
    for (auto& ctxt : cards_) {
        if (!ctxt->worker_started) {
            start_worker_(*ctxt);
        }
    }
    if (rc != 0) {
        return rc;
    }
    // recovery: the down cards of the inventory are tried at once as well
    std::vector<orlixmon_card_ctxt_s*> down;
    for (const auto& card : rsp.cards) {
        orlixmon_card_ctxt_s* ctxt = find_card_(card);
        if (ctxt != nullptr && card_is_down_(*ctxt) &&
            std::find(down.begin(), down.end(), ctxt) == down.end()) {
            down.push_back(ctxt);
        }
    }
    std::vector<char> answering(down.size(), 0);
    run_at_once(down.size(), [&](size_t i) { answering[i] = init_card_(*down[i]) == 0; });
    for (size_t i = 0; i < down.size(); i++) {
        if (answering[i]) {
            restart_card_(*down[i]);
        }
    }
    return aml_to_sdk_ret_status(status);
}

// every card's heartbeat at once: each hung card is found down within one
// liveness period plus one response bound, however many hang
int orlixmon_state::inspect_card_health()
{
    std::vector<char> alive(cards_.size(), 0);
    run_at_once(cards_.size(), [&](size_t i) { alive[i] = card_answers(cards_[i]->card); });
    for (size_t i = 0; i < cards_.size(); i++) {
        orlixmon_card_ctxt_s& ctxt = *cards_[i];
        if (!alive[i]) {
            ctxt.metrics.liveness_failures.fetch_add(1, std::memory_order_relaxed);
        }
        std::unique_lock<std::mutex> lock(ctxt.mutex);
        if (!alive[i] && !ctxt.card_down) {
            lock.unlock();
            ORLIXMON_TRACE_INFO("ORLIX {} - card down detected", ctxt.card.bdf);
            orlixmon_post_health_check_event(ctxt, "card down detected");
            lock.lock();
            ctxt.card_down = true;
            ctxt.metrics.up.store(false);
            ctxt.cond.notify_all();  // a sleeping worker parks now, not at its next poll
        }
    }
    return 0;
}

void orlixmon_state::stop_workers()
{
    for (auto& ctxt : cards_) {
        {
            std::lock_guard<std::mutex> lock(ctxt->mutex);
            ctxt->stop = true;
        }
        ctxt->cond.notify_all();
    }
    for (auto& ctxt : cards_) {
        if (ctxt->worker_thread.joinable()) {
            ctxt->worker_thread.join();
        }
    }
}

int orlixmon_state::discover_lifs()
{
    for (auto& ctxt : cards_) {
        if (!card_is_down_(*ctxt)) {
            (void)discover_card_lifs_(*ctxt);
        }
    }
    return 0;
}

int orlixmon_state::discover_ports()
{
    for (auto& ctxt : cards_) {
        if (!card_is_down_(*ctxt)) {
            (void)discover_card_ports_(*ctxt);
        }
    }
    return 0;
}

int orlixmon_state::init_card_(orlixmon_card_ctxt_s& ctxt)
{
    {
        std::lock_guard<std::mutex> lock(ctxt.lists_mutex);
        ctxt.lifs.clear();
        ctxt.ports.clear();
        ctxt.metrics.clear_objects();
    }
    int rc = discover_card_lifs_(ctxt);
    if (rc != 0) {
        return rc;
    }
    rc = discover_card_ports_(ctxt);
    if (rc != 0) {
        return rc;
    }
    ORLIXMON_TRACE_INFO("ORLIX {} - Card init successful", ctxt.card.bdf);
    return 0;
}

// appends the fetched entries not yet known, by id
// the metrics keep one object per entry, at the same place in its list
template <typename Entry>
static void merge_entries(orlixmon_card_ctxt_s& ctxt, std::vector<Entry>& known, std::vector<Entry>& fetched,
                          const char* word, orlixmon_metrics_kind_e kind, size_t counters)
{
    for (auto& entry : fetched) {
        bool seen = false;
        {
            std::lock_guard<std::mutex> lock(ctxt.lists_mutex);
            for (const auto& k : known) {
                seen = seen || k.id == entry.id;
            }
        }
        if (seen) {
            continue;
        }
        ORLIXMON_TRACE_INFO("ORLIX {} - Discovered new {} {} - {}", ctxt.card.bdf, word, entry.name, entry.id);
        std::lock_guard<std::mutex> lock(ctxt.lists_mutex);
        ctxt.metrics.add_object(kind, entry.id, entry.name, counters);
        known.push_back(std::move(entry));
    }
}

int orlixmon_state::discover_card_lifs_(orlixmon_card_ctxt_s& ctxt)
{
    std::vector<orlixmon_lif_entry_s> lifs;
    int rc = orlixmon_card_lif_get(ctxt, lifs);
    if (rc != 0) {
        return rc;
    }
    merge_entries(ctxt, ctxt.lifs, lifs, "lif", ORLIXMON_METRICS_LIF, lif_counter_map.size());
    return 0;
}

int orlixmon_state::discover_card_ports_(orlixmon_card_ctxt_s& ctxt)
{
    std::vector<orlixmon_port_entry_s> ports;
    int rc = orlixmon_card_port_get(ctxt, ports);
    if (rc != 0) {
        ORLIXMON_TRACE_ERR("ORLIX {} - Failed to populate port db, err {}", ctxt.card.bdf, rc);
        return rc;
    }
    merge_entries(ctxt, ctxt.ports, ports, "port", ORLIXMON_METRICS_PORT, port_counter_map.size());
    return 0;
}

bool orlixmon_state::card_is_down_(orlixmon_card_ctxt_s& ctxt)
{
    std::lock_guard<std::mutex> lock(ctxt.mutex);
    return ctxt.card_down;
}

orlixmon_card_ctxt_s& orlixmon_state::get_card_ctxt(const aml_card_handle_s& card)
{
    // workers look themselves up while discovery may append
    std::lock_guard<std::mutex> lock(cards_mutex_);
    for (auto& ctxt : cards_) {
        if (ctxt->card.uuid == card.uuid && ctxt->card.bdf == card.bdf) {
            return *ctxt;
        }
    }
    throw std::runtime_error("card not found");
}

// the line and failure counts of a telemetry file, from its sink
static orlixmon_metrics_file_s file_metrics(const char* file, const std::shared_ptr<spdlog::logger>& logger)
{
    orlixmon_metrics_file_s out{file, 0, 0};
    if (logger && !logger->sinks().empty()) {
        if (auto sink = std::dynamic_pointer_cast<utils::banner_file_sink_mt>(logger->sinks().front())) {
            out.lines = sink->lines_written();
            out.write_errors = sink->write_errors();
        }
    }
    return out;
}

void orlixmon_state::for_each_card(const std::function<void(orlixmon_card_ctxt_s&)>& fn)
{
    std::lock_guard<std::mutex> lock(cards_mutex_);
    for (auto& ctxt : cards_) {
        fn(*ctxt);
    }
}

void orlixmon_state::collect_metrics(orlixmon_metrics_snapshot_s& snapshot)
{
    constexpr auto relaxed = std::memory_order_relaxed;
    snapshot.version = ORLIXMON_VERSION;
    std::lock_guard<std::mutex> lock(cards_mutex_);
    for (auto& ctxt : cards_) {
        orlixmon_card_metrics_s& m = ctxt->metrics;
        if (!m.present.load()) {
            continue;
        }
        orlixmon_metrics_card_s card;
        card.address = ctxt->card.bdf;
        card.uuid = ctxt->card.uuid;
        card.up = m.up.load();
        card.liveness_failures = m.liveness_failures.load(relaxed);
        card.overruns = m.overruns.load(relaxed);
        card.pass_ns_sum = m.pass_ns_sum.load(relaxed);
        for (size_t b = 0; b < card.pass_buckets.size(); b++) {
            card.pass_buckets[b] = m.pass_buckets[b].load(relaxed);
            card.passes += card.pass_buckets[b];
        }
        card.files = {file_metrics("stats", ctxt->stats_logger), file_metrics("event", ctxt->event_logger)};
        m.copy(card.serial, card.firmware_version, card.lifs, card.ports);
        card.xcvrs = m.xcvrs();
        snapshot.cards.push_back(std::move(card));
    }
}
