// the transceiver families: each module's monitored values, its latched
// flags and its thresholds, per card and cage, in base units

#include <string>

#include "monitor/metrics_families.h"

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

namespace {

constexpr const char* k_last_pass = " (as of the transceiver reader's last pass)";

using labels_t = std::vector<ClientMetric::Label>;

MetricFamily gauge_family(std::string name, const std::string& help)
{
    return MetricFamily{std::move(name), help + k_last_pass, MetricType::Gauge, {}};
}

void add(MetricFamily& fam, labels_t labels, double value)
{
    ClientMetric m;
    m.label = std::move(labels);
    m.gauge.value = value;
    fam.metric.push_back(std::move(m));
}

labels_t cage_labels(const orlixmon_metrics_card_s& card, const orlixmon_xcvr_diag_s& x)
{
    return {{"address", card.address}, {"port", std::to_string(x.port)}};
}

labels_t with(labels_t labels, const char* name, std::string value)
{
    labels.push_back({name, std::move(value)});
    return labels;
}

// the quantities: their names in series and kinds, units and reading
struct quantity_s {
    const char* name;
    const char* unit;
    const char* what;
    bool per_lane;
};

const quantity_s k_quantities[ORLIXMON_XCVR_QUANTITIES] = {
    {"temperature", "celsius", "module temperature", false},
    {"supply_voltage", "volts", "module supply voltage", false},
    {"rx_power", "watts", "receive optical power", true},
    {"tx_bias", "amperes", "transmit laser bias current", true},
    {"tx_power", "watts", "transmit optical power", true},
};

struct level_s {
    const char* name;  // in threshold series
    const char* side;  // in flag kinds
    bool alarm;
    const char* text;
};

const level_s k_levels[ORLIXMON_XCVR_LEVELS] = {
    {"high_alarm", "high", true, "high alarm"},
    {"low_alarm", "low", true, "low alarm"},
    {"high_warning", "high", false, "high warning"},
    {"low_warning", "low", false, "low warning"},
};

// the per-lane values a module reports
struct lane_value_s {
    const char* name;
    const char* help;
    const orlixmon_xcvr_lanes_t orlixmon_xcvr_diag_s::*values;
};

const lane_value_s k_lane_values[] = {
    {"orlix_transceiver_rx_power_watts", "Receive optical power of the lane", &orlixmon_xcvr_diag_s::rx_power_w},
    {"orlix_transceiver_tx_power_watts", "Transmit optical power of the lane", &orlixmon_xcvr_diag_s::tx_power_w},
    {"orlix_transceiver_tx_bias_amperes", "Transmit laser bias current of the lane", &orlixmon_xcvr_diag_s::tx_bias_a},
};

// the lane flags that have no warning level
struct lane_state_s {
    const char* kind;
    const std::array<bool, ORLIXMON_XCVR_LANES> orlixmon_xcvr_diag_s::*flags;
};

const lane_state_s k_lane_states[] = {
    {"rx_los", &orlixmon_xcvr_diag_s::rx_los},
    {"tx_los", &orlixmon_xcvr_diag_s::tx_los},
    {"tx_fault", &orlixmon_xcvr_diag_s::tx_fault},
};

}  // namespace

void orlixmon_xcvr_families(const orlixmon_metrics_snapshot_s& snapshot, std::vector<MetricFamily>& out)
{
    MetricFamily present = gauge_family("orlix_transceiver_present", "1 while a module sits in the cage, else 0");
    MetricFamily temperature = gauge_family("orlix_transceiver_temperature_celsius", "Module temperature");
    MetricFamily voltage = gauge_family("orlix_transceiver_supply_voltage_volts", "Module supply voltage");
    std::vector<MetricFamily> lanes;
    for (const auto& v : k_lane_values) {
        lanes.push_back(gauge_family(v.name, v.help));
    }
    MetricFamily flags[2] = {
        gauge_family("orlix_transceiver_alarm", "1 while the module's latched alarm flag of kind is set"),
        gauge_family("orlix_transceiver_warning", "1 while the module's latched warning flag of kind is set")};
    MetricFamily lane_flags[2] = {
        gauge_family("orlix_transceiver_lane_alarm",
                     "1 while the lane's latched alarm flag of kind is set (loss of signal, transmit fault, "
                     "power or bias out of range)"),
        gauge_family("orlix_transceiver_lane_warning", "1 while the lane's latched warning flag of kind is set")};
    std::vector<MetricFamily> limits;
    for (const auto& q : k_quantities) {
        for (const auto& l : k_levels) {
            limits.push_back(gauge_family(std::string("orlix_transceiver_") + q.name + "_" + l.name + "_" + q.unit,
                                          std::string("The module's ") + l.text + " threshold of its " + q.what));
        }
    }

    for (const auto& card : snapshot.cards) {
        for (const auto& x : card.xcvrs) {
            const labels_t at = cage_labels(card, x);
            add(present, at, x.present ? 1 : 0);
            if (!x.present || !x.valid) {
                continue;
            }
            add(temperature, at, x.temperature_c);
            add(voltage, at, x.supply_v);
            for (size_t lane = 0; lane < ORLIXMON_XCVR_LANES; lane++) {
                const labels_t on_lane = with(at, "lane", std::to_string(lane + 1));
                for (size_t v = 0; v < lanes.size(); v++) {
                    add(lanes[v], on_lane, (x.*k_lane_values[v].values)[lane]);
                }
                for (const auto& s : k_lane_states) {
                    add(lane_flags[0], with(on_lane, "kind", s.kind), (x.*s.flags)[lane] ? 1 : 0);
                }
            }
            for (size_t q = 0; q < ORLIXMON_XCVR_QUANTITIES; q++) {
                const quantity_s& qt = k_quantities[q];
                const size_t n_lanes = qt.per_lane ? ORLIXMON_XCVR_LANES : 1;
                for (size_t lane = 0; lane < n_lanes; lane++) {
                    for (size_t l = 0; l < ORLIXMON_XCVR_LEVELS; l++) {
                        const labels_t base = qt.per_lane ? with(at, "lane", std::to_string(lane + 1)) : at;
                        MetricFamily& fam = (qt.per_lane ? lane_flags : flags)[k_levels[l].alarm ? 0 : 1];
                        add(fam, with(base, "kind", std::string(qt.name) + "_" + k_levels[l].side),
                            x.flags[q][lane][l] ? 1 : 0);
                    }
                }
                if (x.thresholds) {
                    for (size_t l = 0; l < ORLIXMON_XCVR_LEVELS; l++) {
                        add(limits[q * ORLIXMON_XCVR_LEVELS + l], at, x.limits[q][l]);
                    }
                }
            }
        }
    }
    out.push_back(std::move(present));
    out.push_back(std::move(temperature));
    out.push_back(std::move(voltage));
    for (auto& f : lanes) {
        out.push_back(std::move(f));
    }
    for (auto& f : flags) {
        out.push_back(std::move(f));
    }
    for (auto& f : lane_flags) {
        out.push_back(std::move(f));
    }
    for (auto& f : limits) {
        out.push_back(std::move(f));
    }
}
