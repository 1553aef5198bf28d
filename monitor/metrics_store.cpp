// what each card's worker publishes for scrapes: objects, counters and pass times

#include "monitor/metrics_store.h"

#include <algorithm>

void orlixmon_card_metrics_s::record_pass(uint64_t ns, bool overrun)
{
    constexpr auto relaxed = std::memory_order_relaxed;
    if (overrun) {
        overruns.fetch_add(1, relaxed);
    }
    pass_ns_sum.fetch_add(ns, relaxed);
    size_t b = 0;
    while (b < ORLIXMON_PASS_BUCKETS_NS.size() && ns > ORLIXMON_PASS_BUCKETS_NS[b]) {
        b++;
    }
    pass_buckets[b].fetch_add(1, relaxed);
}

uint64_t orlixmon_card_metrics_s::passes() const
{
    uint64_t sum = 0;
    for (const auto& bucket : pass_buckets) {
        sum += bucket.load(std::memory_order_relaxed);
    }
    return sum;
}

void orlixmon_card_metrics_s::set_info(const std::string& serial, const std::string& firmware_version)
{
    std::lock_guard<std::mutex> lock(mutex_);
    serial_ = serial;
    firmware_version_ = firmware_version;
}

void orlixmon_card_metrics_s::add_object(orlixmon_metrics_kind_e kind, const std::string& id,
                                         const std::string& name, size_t counters)
{
    orlixmon_metrics_object_s object{id, name, std::vector<uint64_t>(counters, 0), false};
    std::lock_guard<std::mutex> lock(mutex_);
    objects_[kind].push_back(std::move(object));
}

void orlixmon_card_metrics_s::clear_objects()
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& list : objects_) {
        list.clear();
    }
}

bool orlixmon_card_metrics_s::publish_all(orlixmon_metrics_kind_e kind, const uint64_t* values, const uint8_t* read,
                                          size_t objects, size_t stride)
{
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
        return false;
    }
    auto& list = objects_[kind];
    for (size_t i = 0; i < std::min(objects, list.size()); i++) {
        if (read[i]) {
            std::copy_n(values + i * stride, std::min(stride, list[i].values.size()), list[i].values.begin());
            list[i].read = true;
        }
    }
    return true;
}

void orlixmon_card_metrics_s::copy(std::string& serial, std::string& firmware_version,
                                   std::vector<orlixmon_metrics_object_s>& lifs,
                                   std::vector<orlixmon_metrics_object_s>& ports)
{
    std::lock_guard<std::mutex> lock(mutex_);
    serial = serial_;
    firmware_version = firmware_version_;
    lifs = objects_[ORLIXMON_METRICS_LIF];
    ports = objects_[ORLIXMON_METRICS_PORT];
}

void orlixmon_card_metrics_s::set_xcvrs(std::vector<orlixmon_xcvr_diag_s> xcvrs)
{
    std::lock_guard<std::mutex> lock(mutex_);
    xcvrs_ = std::move(xcvrs);
}

std::vector<orlixmon_xcvr_diag_s> orlixmon_card_metrics_s::xcvrs()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return xcvrs_;
}
