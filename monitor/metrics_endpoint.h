#pragma once

// the metrics HTTP endpoint

#include <memory>
#include <string>

#include "monitor/metrics_families.h"
#include "monitor/metrics_listen.h"

struct orlixmon_init_params_s;

// what the configuration says of the endpoint besides its address
struct orlixmon_metrics_options_s {
    std::string web_config_file;  // empty: plain HTTP, no authentication
    orlixmon_metrics_select_s select;
};

// the options of the "metrics" key
orlixmon_metrics_options_s orlixmon_metrics_options(const orlixmon_init_params_s& params);

// serves /metrics (and a landing page at /) over HTTP or HTTPS while it
// lives. one thread polls every connection: a client that sends slowly or
// not at all holds no thread, a bounded buffer, and its connection only
// until the idle timeout. every scrape asks collect for a snapshot of the
// last values; collect must not touch a card
class orlixmon_metrics_endpoint {
public:
    using collect_fn = void (*)(orlixmon_metrics_snapshot_s& snapshot);

    // the bounds a client meets
    static constexpr unsigned k_connections_max = 512;
    static constexpr unsigned k_connections_per_ip = 128;
    static constexpr unsigned k_idle_timeout_s = 10;
    static constexpr size_t k_connection_memory = 16 * 1024;

    explicit orlixmon_metrics_endpoint(collect_fn collect);
    ~orlixmon_metrics_endpoint();

    // false with error set when the address or the web configuration is bad
    // or the address cannot be bound
    bool start(const std::string& listen, std::string& error, const orlixmon_metrics_options_s& options = {});
    bool start(const orlixmon_init_params_s& params, std::string& error);

    // where the metrics are: http(s)://LISTEN/metrics
    std::string url() const;

    struct state_s;

private:
    std::unique_ptr<state_s> state_;
};

// the text exposition of a snapshot, as a scrape of /metrics carries it
std::string orlixmon_metrics_text(const orlixmon_metrics_snapshot_s& snapshot,
                                  const orlixmon_metrics_select_s& select = {});
