// reads the configuration file into the start-up parameters

#include "monitor/orlixmon_config.h"
#include "monitor/metrics_listen.h"
#include "monitor/orlixmon_config_keys.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <sstream>

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

static const struct {
    const char* name;
    orlixmon_worker_wait_e mode;
} k_worker_waits[] = {
    {"spin", ORLIXMON_WORKER_WAIT_SPIN},
    {"sleep", ORLIXMON_WORKER_WAIT_SLEEP},
    {"tickless", ORLIXMON_WORKER_WAIT_TICKLESS},
};

static bool parse_worker_wait(const std::string& text, orlixmon_worker_wait_e& mode)
{
    for (const auto& wait : k_worker_waits) {
        if (text == wait.name) {
            mode = wait.mode;
            return true;
        }
    }
    fprintf(stderr, "Error - worker_wait must be \"spin\", \"sleep\" or \"tickless\", got \"%s\"\n", text.c_str());
    return false;
}

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

// the JSON reader descends once per nesting level on the stack: a file
// nested deeper than any configuration needs is refused before it is read
constexpr size_t k_config_depth_max = 64;
// far more than any configuration; a device that never ends (/dev/zero) stops here
constexpr size_t k_config_size_max = 16u << 20;

// the whole file, or false with the reason in error
static bool read_config_text(const std::string& path, std::string& text, std::string& error)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = pt::json_parser_error("cannot open file", path, 0).what();
        return false;
    }
    struct stat st = {};
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        error = "Error - " + path + " is a directory, not a configuration file";
        return false;
    }
    char chunk[65536];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error = "Error - cannot read " + path + ": " + strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0) {
            break;
        }
        if (text.size() + static_cast<size_t>(n) > k_config_size_max) {
            error = "Error - " + path + " is larger than " + std::to_string(k_config_size_max >> 20) +
                    " MiB, not a configuration file";
            close(fd);
            return false;
        }
        text.append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

// false when arrays and objects nest deeper than k_config_depth_max;
// brackets inside strings do not count
static bool config_depth_ok(const std::string& path, const std::string& text, std::string& error)
{
    size_t depth = 0, line = 1;
    bool in_string = false, escaped = false;
    for (char c : text) {
        if (c == '\n') {
            line++;
        }
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
            continue;
        }
        if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > k_config_depth_max) {
                error = "Error - " + path + "(" + std::to_string(line) + "): JSON nested deeper than " +
                        std::to_string(k_config_depth_max) + " levels";
                return false;
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            depth--;
        }
    }
    return true;
}

int parse_config_from_json(const std::string& path, orlixmon_init_params_s& params)
{
    try {
        std::string text, error;
        if (!read_config_text(path, text, error) || !config_depth_ok(path, text, error)) {
            fprintf(stderr, "%s\n", error.c_str());
            return 255;
        }
        pt::ptree root;
        std::istringstream in(text);
        try {
            pt::read_json(in, root);
        } catch (const pt::json_parser_error& e) {
            // the reader's text, naming the file as reading it by name would
            throw pt::json_parser_error(e.message(), path, e.line());
        }
        params.config_warnings = orlixmon_config_warnings(root);
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
        if (!parse_worker_wait(root.get<std::string>("worker_wait", "spin"), params.worker_wait)) {
            return 255;
        }
        params.metrics_listen = root.get<std::string>("metrics.listen", "");
        std::string listen_error;
        if (root.get_child_optional("metrics.listen") &&
            !orlixmon_metrics_listen_valid(params.metrics_listen, listen_error)) {
            fprintf(stderr, "Error - %s\n", listen_error.c_str());
            return 255;
        }
        std::string counters = root.get<std::string>("metrics.counters", "configured");
        if (counters != "configured" && counters != "all") {
            fprintf(stderr, "Error - metrics.counters must be \"configured\" or \"all\", got \"%s\"\n", counters.c_str());
            return 255;
        }
        params.metrics_all_counters = counters == "all";
        params.metrics_web_config_file = root.get<std::string>("metrics.web_config_file", "");
        // the daemon's folder is not the configuration's: a relative path would mislead
        if (root.get_child_optional("metrics.web_config_file") && params.metrics_web_config_file.rfind('/', 0) != 0) {
            fprintf(stderr, "Error - metrics.web_config_file must be an absolute path, got \"%s\"\n",
                    params.metrics_web_config_file.c_str());
            return 255;
        }
        params.metrics_transceiver_interval = root.get<uint64_t>("metrics.transceiver_interval", 60000000);
        if (params.metrics_transceiver_interval < ORLIXMON_MIN_XCVR_INTERVAL_US ||
            params.metrics_transceiver_interval > ORLIXMON_MAX_XCVR_INTERVAL_US) {
            fprintf(stderr, "Error - metrics.transceiver_interval must be %llu to %llu microseconds, got %llu\n",
                    static_cast<unsigned long long>(ORLIXMON_MIN_XCVR_INTERVAL_US),
                    static_cast<unsigned long long>(ORLIXMON_MAX_XCVR_INTERVAL_US),
                    static_cast<unsigned long long>(params.metrics_transceiver_interval));
            return 255;
        }
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
