#pragma once

#include <memory>
#include <string>

#include "monitor/metrics_families.h"

namespace prometheus {
class Collectable;
class Exposer;
}

// true when text is ADDRESS:PORT, the address dotted IPv4 or a bracketed
// IPv6 one and the port 1 to 65535; else false with the reason in error
bool orlixmon_metrics_listen_valid(const std::string& text, std::string& error);

// serves /metrics over HTTP at listen while it lives. every scrape asks
// collect for a snapshot of the last values; collect must not touch a card
class orlixmon_metrics_endpoint {
public:
    using collect_fn = void (*)(orlixmon_metrics_snapshot_s& snapshot);

    explicit orlixmon_metrics_endpoint(collect_fn collect);
    ~orlixmon_metrics_endpoint();

    // false with error set when the address cannot be bound
    bool start(const std::string& listen, std::string& error);

private:
    collect_fn collect_;
    std::shared_ptr<prometheus::Collectable> collectable_;
    std::unique_ptr<prometheus::Exposer> exposer_;
};

// the text exposition of a snapshot, as a scrape of /metrics carries it
std::string orlixmon_metrics_text(const orlixmon_metrics_snapshot_s& snapshot);
