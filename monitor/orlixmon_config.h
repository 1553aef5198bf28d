#pragma once

// the start-up parameters and the configuration file reader

#include <cstdint>
#include <string>
#include <vector>

// one counter rule as the configuration file gives it
struct orlixmon_telemetry_counter_cfg_s {
    std::string counter;
    bool cumulative = true;
    uint64_t threshold = 0;
    bool event_record = false;
    bool stats_record = false;
};

// "worker_wait": how the workers (and the health checker) wait for their next pass
enum orlixmon_worker_wait_e {
    ORLIXMON_WORKER_WAIT_SPIN = 0,      // "spin": a pass every 100 us, spinning on the clock; one core per card
    ORLIXMON_WORKER_WAIT_SLEEP = 1,     // "sleep": a pass every 100 us, sleeping to its deadline
    ORLIXMON_WORKER_WAIT_TICKLESS = 2,  // "tickless": a pass only when a duty is due, asleep in between
};

// start-up parameters, from the configuration file
struct orlixmon_init_params_s {
    std::string log_dir;
    std::string telemetry_dir;
    uint64_t liveness_poll_interval = 0;  // microseconds
    uint64_t lif_poll_interval = 0;
    std::vector<orlixmon_telemetry_counter_cfg_s> lif_counters;
    uint64_t port_poll_interval = 0;
    std::vector<orlixmon_telemetry_counter_cfg_s> port_counters;
    std::vector<orlixmon_telemetry_counter_cfg_s> card_counters;  // no key: always empty
    orlixmon_worker_wait_e worker_wait = ORLIXMON_WORKER_WAIT_SPIN;
    std::string metrics_listen;  // "metrics.listen": ADDRESS:PORT of the metrics endpoint, or empty (none)
    bool metrics_all_counters = false;    // "metrics.counters": "all" instead of the default "configured"
    std::string metrics_web_config_file;  // "metrics.web_config_file": TLS and basic auth, or empty (none)
    // "metrics.transceiver_interval": microseconds between reads of the modules' diagnostics
    uint64_t metrics_transceiver_interval = 60000000;
    // unknown keys and values taken as a default or wrapped: the file is read
    // as written, these are only told (monitor/orlixmon_config_keys.h)
    std::vector<std::string> config_warnings;
};

// the schedule runs on 100 us ticks: no interval may be shorter than one
constexpr uint64_t ORLIXMON_MIN_POLL_INTERVAL_US = 100;

// transceiver reads wait for page selects: no faster than one a second, and
// at least one a day
constexpr uint64_t ORLIXMON_MIN_XCVR_INTERVAL_US = 1000000;
constexpr uint64_t ORLIXMON_MAX_XCVR_INTERVAL_US = 86400000000ULL;

// reads the JSON file at path into params. 0, or 255 with the reason on stderr
int parse_config_from_json(const std::string& path, orlixmon_init_params_s& params);
