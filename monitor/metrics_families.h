#pragma once

// the text families of a scrape

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <prometheus/metric_family.h>

#include "monitor/metrics_store.h"

// what one scrape copied of a card, and the text families made of it
struct orlixmon_metrics_file_s {
    std::string file;  // "stats" or "event"
    uint64_t lines = 0;
    uint64_t write_errors = 0;
};

struct orlixmon_metrics_card_s {
    std::string address;
    std::string uuid;
    std::string serial;
    std::string firmware_version;
    bool up = false;
    uint64_t liveness_failures = 0;
    uint64_t passes = 0;
    uint64_t overruns = 0;
    uint64_t pass_ns_sum = 0;
    std::array<uint64_t, ORLIXMON_PASS_BUCKETS_NS.size() + 1> pass_buckets{};
    std::vector<orlixmon_metrics_file_s> files;
    std::vector<orlixmon_metrics_object_s> lifs;
    std::vector<orlixmon_metrics_object_s> ports;
    std::vector<orlixmon_xcvr_diag_s> xcvrs;  // as of the transceiver reader's last pass
};

struct orlixmon_metrics_snapshot_s {
    std::string version;  // of this build
    std::vector<orlixmon_metrics_card_s> cards;
};

// which table counters a scrape carries: every one ("metrics.counters":
// "all") or those the filter rules name ("configured")
struct orlixmon_metrics_select_s {
    bool all = true;
    std::vector<std::string> lif;
    std::vector<std::string> port;
};

// the families of one scrape; every family selected is there, with no
// sample when there is no card
std::vector<prometheus::MetricFamily> orlixmon_metrics_families(const orlixmon_metrics_snapshot_s& snapshot,
                                                                const orlixmon_metrics_select_s& select = {});

// the metric name of a table counter: orlix_<kind>_<counter>_total
std::string orlixmon_counter_metric_name(const char* kind, const std::string& counter);

// the transceiver families of the cards' modules, appended to out
void orlixmon_xcvr_families(const orlixmon_metrics_snapshot_s& snapshot, std::vector<prometheus::MetricFamily>& out);
