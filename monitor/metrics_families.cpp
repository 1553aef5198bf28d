// the text families of a scrape made of what it copied of each card

#include "monitor/metrics_families.h"

#include <algorithm>
#include <limits>

#include "monitor/counter_maps.h"

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

namespace {

constexpr const char* k_last_poll = " (as of the monitor's last poll)";

MetricFamily family(std::string name, const std::string& help, MetricType type)
{
    return MetricFamily{std::move(name), help + k_last_poll, type, {}};
}

ClientMetric sample(std::vector<ClientMetric::Label> labels, MetricType type, double value)
{
    ClientMetric m;
    m.label = std::move(labels);
    (type == MetricType::Counter ? m.counter.value : m.gauge.value) = value;
    return m;
}

std::vector<ClientMetric::Label> card_labels(const orlixmon_metrics_card_s& card)
{
    return {{"address", card.address}};
}

// a card-level family: one sample per card from field
struct card_family_s {
    const char* name;
    const char* help;
    MetricType type;
    double (*value)(const orlixmon_metrics_card_s&);
};

const card_family_s k_card_families[] = {
    {"orlix_card_up", "1 while the card answers its liveness checks, 0 once it is marked down", MetricType::Gauge,
     [](const orlixmon_metrics_card_s& c) { return c.up ? 1.0 : 0.0; }},
    {"orlix_card_liveness_failures_total", "Liveness checks the card did not answer", MetricType::Counter,
     [](const orlixmon_metrics_card_s& c) { return double(c.liveness_failures); }},
    {"orlix_monitor_passes_total", "Worker passes over the card", MetricType::Counter,
     [](const orlixmon_metrics_card_s& c) { return double(c.passes); }},
    {"orlix_monitor_pass_overruns_total", "Worker passes that took longer than their 100 us period",
     MetricType::Counter, [](const orlixmon_metrics_card_s& c) { return double(c.overruns); }},
};

// the counters of one table: LIF or port
struct table_s {
    const char* kind;
    const orlixmon_counter_map_t* map;
    std::vector<orlixmon_metrics_object_s> orlixmon_metrics_card_s::*objects;
    const char* what;
    std::vector<std::string> orlixmon_metrics_select_s::*selected;
};

const table_s k_tables[] = {
    {"lif", &lif_counter_map, &orlixmon_metrics_card_s::lifs, "LIF", &orlixmon_metrics_select_s::lif},
    {"port", &port_counter_map, &orlixmon_metrics_card_s::ports, "port", &orlixmon_metrics_select_s::port},
};

}  // namespace

std::string orlixmon_counter_metric_name(const char* kind, const std::string& counter)
{
    return std::string("orlix_") + kind + "_" + counter + "_total";
}

std::vector<MetricFamily> orlixmon_metrics_families(const orlixmon_metrics_snapshot_s& snapshot,
                                                    const orlixmon_metrics_select_s& select)
{
    std::vector<MetricFamily> out;

    // the one family that is not a poll's
    MetricFamily build{"orlix_build_info", "The monitor's version; always 1", MetricType::Gauge, {}};
    build.metric.push_back(sample({{"version", snapshot.version}}, MetricType::Gauge, 1));
    out.push_back(std::move(build));

    MetricFamily info = family("orlix_card_info", "A monitored card's address, UUID, serial and firmware version; always 1",
                               MetricType::Gauge);
    for (const auto& card : snapshot.cards) {
        info.metric.push_back(sample({{"address", card.address},
                                      {"firmware_version", card.firmware_version},
                                      {"serial", card.serial},
                                      {"uuid", card.uuid}},
                                     MetricType::Gauge, 1));
    }
    out.push_back(std::move(info));

    for (const auto& f : k_card_families) {
        MetricFamily fam = family(f.name, f.help, f.type);
        for (const auto& card : snapshot.cards) {
            fam.metric.push_back(sample(card_labels(card), f.type, f.value(card)));
        }
        out.push_back(std::move(fam));
    }

    MetricFamily hist = family("orlix_monitor_pass_duration_seconds", "Time one worker pass over the card took",
                               MetricType::Histogram);
    for (const auto& card : snapshot.cards) {
        ClientMetric m;
        m.label = card_labels(card);
        uint64_t cumulative = 0;
        for (size_t b = 0; b < card.pass_buckets.size(); b++) {
            cumulative += card.pass_buckets[b];
            double bound = b < ORLIXMON_PASS_BUCKETS_NS.size() ? double(ORLIXMON_PASS_BUCKETS_NS[b]) / 1e9
                                                                : std::numeric_limits<double>::infinity();
            m.histogram.bucket.push_back({cumulative, bound});
        }
        m.histogram.sample_count = cumulative;
        m.histogram.sample_sum = double(card.pass_ns_sum) / 1e9;
        hist.metric.push_back(std::move(m));
    }
    out.push_back(std::move(hist));

    MetricFamily lines = family("orlix_telemetry_lines_total", "Lines written to the card's telemetry file",
                                MetricType::Counter);
    MetricFamily errors = family("orlix_telemetry_write_errors_total",
                                 "Lines that could not be written to the card's telemetry file", MetricType::Counter);
    for (const auto& card : snapshot.cards) {
        for (const auto& file : card.files) {
            lines.metric.push_back(sample({{"address", card.address}, {"file", file.file}}, MetricType::Counter,
                                          double(file.lines)));
            errors.metric.push_back(sample({{"address", card.address}, {"file", file.file}}, MetricType::Counter,
                                           double(file.write_errors)));
        }
    }
    out.push_back(std::move(lines));
    out.push_back(std::move(errors));

    for (const auto& table : k_tables) {
        size_t column = 0;
        const auto& selected = select.*table.selected;
        for (const auto& [counter, offset] : *table.map) {
            (void)offset;
            if (!select.all && std::find(selected.begin(), selected.end(), counter) == selected.end()) {
                column++;
                continue;
            }
            MetricFamily fam = family(orlixmon_counter_metric_name(table.kind, counter),
                                      std::string("Running total of the ") + table.what + " counter " + counter,
                                      MetricType::Counter);
            for (const auto& card : snapshot.cards) {
                for (const auto& object : card.*table.objects) {
                    if (!object.read || column >= object.values.size()) {
                        continue;
                    }
                    fam.metric.push_back(sample({{"address", card.address}, {"id", object.id}, {"name", object.name}},
                                                MetricType::Counter, double(object.values[column])));
                }
            }
            out.push_back(std::move(fam));
            column++;
        }
    }
    orlixmon_xcvr_families(snapshot, out);
    return out;
}
