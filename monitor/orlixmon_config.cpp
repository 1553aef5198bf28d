#include "monitor/orlixmon_config.h"

#include <cstdio>
#include <exception>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

namespace pt = boost::property_tree;

struct interval_key_s {
    const char* path;
    uint64_t default_us;
    uint64_t orlixmon_init_params_s::*field;
};

static const interval_key_s k_interval_keys[] = {
    {"filter.card.liveness_poll_interval", 1000000, &orlixmon_init_params_s::liveness_poll_interval},
    {"filter.lif.poll_interval", 100000, &orlixmon_init_params_s::lif_poll_interval},
    {"filter.port.poll_interval", 100000, &orlixmon_init_params_s::port_poll_interval},
};

struct counter_list_key_s {
    const char* path;
    const char* kind;
    std::vector<orlixmon_telemetry_counter_cfg_s> orlixmon_init_params_s::*field;
};

static const counter_list_key_s k_counter_lists[] = {
    {"filter.lif.counters", "lif", &orlixmon_init_params_s::lif_counters},
    {"filter.port.counters", "port", &orlixmon_init_params_s::port_counters},
};

// booleans are true only when written exactly "true" (or as the literal)
static bool config_flag(const pt::ptree& node, const char* path, const char* default_text)
{
    return node.get<std::string>(path, default_text) == "true";
}

static int parse_counter_list(const pt::ptree& list, const char* kind,
                              std::vector<orlixmon_telemetry_counter_cfg_s>& out)
{
    for (const auto& element : list) {
        const pt::ptree& rule = element.second;
        orlixmon_telemetry_counter_cfg_s cfg;
        cfg.counter = rule.get<std::string>("counter");
        cfg.cumulative = config_flag(rule, "cumulative", "true");
        cfg.threshold = rule.get_optional<uint64_t>("threshold.value").value_or(0);
        cfg.event_record = config_flag(rule, "action.event_record", "false");
        cfg.stats_record = config_flag(rule, "action.stats_record", "false");
        if (!cfg.event_record && !cfg.stats_record) {
            fprintf(stderr, "Error - Neither event record nor stats record is selected for %s counter %s\n",
                    kind, cfg.counter.c_str());
            return 255;
        }
        out.push_back(std::move(cfg));
    }
    return 0;
}

int parse_config_from_json(const std::string& path, orlixmon_init_params_s& params)
{
    try {
        pt::ptree root;
        pt::read_json(path, root);
        params.log_dir = root.get<std::string>("log_dir", "/var/log");
        params.telemetry_dir = root.get<std::string>("telemetry_dir", "/var/run");
        for (const auto& key : k_interval_keys) {
            uint64_t value = root.get<uint64_t>(key.path, key.default_us);
            // a shorter interval would give a period of zero ticks
            if (value < ORLIXMON_MIN_POLL_INTERVAL_US) {
                fprintf(stderr, "Error - %s must be at least %llu microseconds, got %llu\n", key.path,
                        static_cast<unsigned long long>(ORLIXMON_MIN_POLL_INTERVAL_US),
                        static_cast<unsigned long long>(value));
                return 255;
            }
            params.*key.field = value;
        }
        std::string wait = root.get<std::string>("worker_wait", "spin");
        if (wait != "spin" && wait != "sleep") {
            fprintf(stderr, "Error - worker_wait must be \"spin\" or \"sleep\", got \"%s\"\n", wait.c_str());
            return 255;
        }
        params.worker_sleep = wait == "sleep";
        for (const auto& list : k_counter_lists) {
            int rc = parse_counter_list(root.get_child(list.path), list.kind, params.*list.field);
            if (rc != 0) {
                return rc;
            }
        }
    } catch (const std::exception& e) {
        fprintf(stderr, "%s\n", e.what());
        return 255;
    }
    return 0;
}
