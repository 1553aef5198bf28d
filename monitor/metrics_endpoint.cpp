#include "monitor/metrics_endpoint.h"

#include <arpa/inet.h>

#include <cstdlib>

#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/text_serializer.h>

namespace {

class snapshot_collectable final : public prometheus::Collectable {
public:
    explicit snapshot_collectable(orlixmon_metrics_endpoint::collect_fn collect) : collect_(collect) {}

    std::vector<prometheus::MetricFamily> Collect() const override
    {
        orlixmon_metrics_snapshot_s snapshot;
        collect_(snapshot);
        return orlixmon_metrics_families(snapshot);
    }

private:
    orlixmon_metrics_endpoint::collect_fn collect_;
};

}  // namespace

bool orlixmon_metrics_listen_valid(const std::string& text, std::string& error)
{
    size_t colon = text.rfind(':');
    error = "metrics.listen must be ADDRESS:PORT with an IPv4 address or a bracketed IPv6 one, got \"" + text + "\"";
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    std::string host = text.substr(0, colon);
    std::string port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    unsigned long number = strtoul(port.c_str(), nullptr, 10);
    if (number < 1 || number > 65535) {
        error = "metrics.listen: port must be 1 to 65535, got " + port;
        return false;
    }
    unsigned char addr[16];
    if (host.front() == '[') {
        return host.back() == ']' && inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), addr) == 1;
    }
    return inet_pton(AF_INET, host.c_str(), addr) == 1;
}

orlixmon_metrics_endpoint::orlixmon_metrics_endpoint(collect_fn collect) : collect_(collect) {}

orlixmon_metrics_endpoint::~orlixmon_metrics_endpoint() = default;

bool orlixmon_metrics_endpoint::start(const std::string& listen, std::string& error)
{
    if (!orlixmon_metrics_listen_valid(listen, error)) {
        return false;
    }
    try {
        // two serving threads: one scrape at a time is the usual load
        exposer_ = std::make_unique<prometheus::Exposer>(listen, 2);
    } catch (const std::exception& e) {
        error = "cannot listen on " + listen + " for metrics: " + e.what();
        if (listen.front() == '[') {
            // Debian's build of the HTTP server takes IPv4 addresses only
            error += " (IPv6 addresses need an HTTP server library built with IPv6; use an IPv4 address)";
        }
        return false;
    }
    collectable_ = std::make_shared<snapshot_collectable>(collect_);
    exposer_->RegisterCollectable(collectable_);
    return true;
}

std::string orlixmon_metrics_text(const orlixmon_metrics_snapshot_s& snapshot)
{
    return prometheus::TextSerializer().Serialize(orlixmon_metrics_families(snapshot));
}
