#pragma once

// what a worker publishes for scrapes

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "monitor/xcvr_diag.h"

// the last values a card's worker and the health checker read, kept for the
// metrics endpoint. the worker only ever tries the lock: when a scrape is
// copying, the pass keeps its values and publishes them at its next poll.

// upper bounds of the pass duration histogram, in nanoseconds; one more
// bucket takes everything above the last
constexpr std::array<uint64_t, 10> ORLIXMON_PASS_BUCKETS_NS = {1000,  2500,   5000,   10000,  25000,
                                                               50000, 100000, 250000, 1000000, 10000000};

enum orlixmon_metrics_kind_e { ORLIXMON_METRICS_LIF = 0, ORLIXMON_METRICS_PORT = 1 };

// one LIF or port: its labels and the raw running totals of every counter
// of its table, in the table's order
struct orlixmon_metrics_object_s {
    std::string id;
    std::string name;
    std::vector<uint64_t> values;
    bool read = false;  // false until the first poll got its values
};

struct orlixmon_card_metrics_s {
    std::atomic<bool> present{true};  // in the last inventory
    std::atomic<bool> up{true};
    std::atomic<uint64_t> liveness_failures{0};

    // pass times; written by the worker alone. the buckets count every pass
    std::atomic<uint64_t> overruns{0};
    std::atomic<uint64_t> pass_ns_sum{0};
    std::array<std::atomic<uint64_t>, ORLIXMON_PASS_BUCKETS_NS.size() + 1> pass_buckets{};

    void record_pass(uint64_t ns, bool overrun);
    uint64_t passes() const;  // the buckets' sum

    // the labels the health checker learns and the values the worker reads
    void set_info(const std::string& serial, const std::string& firmware_version);
    void add_object(orlixmon_metrics_kind_e kind, const std::string& id, const std::string& name, size_t counters);
    void clear_objects();
    // the worker's values of its first objects objects, stride values each,
    // with one try of the lock per poll: false when a scrape holds it
    // (nothing waits). objects whose read[] is 0 keep their values; objects
    // not known yet are left out
    bool publish_all(orlixmon_metrics_kind_e kind, const uint64_t* values, const uint8_t* read, size_t objects,
                     size_t stride);

    // the transceiver reader's last pass over the card's cages
    void set_xcvrs(std::vector<orlixmon_xcvr_diag_s> xcvrs);
    std::vector<orlixmon_xcvr_diag_s> xcvrs();

    // copies under the lock, for a scrape
    void copy(std::string& serial, std::string& firmware_version, std::vector<orlixmon_metrics_object_s>& lifs,
              std::vector<orlixmon_metrics_object_s>& ports);

private:
    std::mutex mutex_;
    std::string serial_;
    std::string firmware_version_;
    std::array<std::vector<orlixmon_metrics_object_s>, 2> objects_;
    std::vector<orlixmon_xcvr_diag_s> xcvrs_;
};
