// the metrics without a card: the text a scrape gets, the counters it
// selects, the listen address forms and the pass histogram

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "monitor/counter_maps.h"
#include "monitor/metrics_endpoint.h"
#include "monitor/tests/monitor_test_util.h"

namespace {

orlixmon_metrics_card_s card(const std::string& address, bool up)
{
    orlixmon_metrics_card_s c;
    c.address = address;
    c.uuid = "42424f52-5832-3630-3030-303030000000";
    c.serial = "ORX26000000";
    c.firmware_version = "1.4.0";
    c.up = up;
    c.liveness_failures = up ? 0 : 3;
    c.passes = 1000;
    c.overruns = 2;
    c.pass_ns_sum = 900000;
    c.pass_buckets[0] = 990;                                   // <= 1 us
    c.pass_buckets[6] = 8;                                     // <= 100 us
    c.pass_buckets[ORLIXMON_PASS_BUCKETS_NS.size()] = 2;       // above the last bound
    c.files = {{"stats", 40, 0}, {"event", 3, 1}};
    c.lifs.push_back({"lif-id-0", "lif0", std::vector<uint64_t>(lif_counter_map.size(), 0), true});
    for (size_t i = 0; i < c.lifs[0].values.size(); i++) {
        c.lifs[0].values[i] = 1000 + i;
    }
    c.lifs.push_back({"lif-id-1", "lif1", std::vector<uint64_t>(lif_counter_map.size(), 7), false});  // not read yet
    c.ports.push_back({"port-id-1", "eth1/1", {11, 22}, true});
    return c;
}

// what promtool check metrics says of text: empty when it passes
std::string promtool_check(const std::string& text, const test_temp_dir& dir)
{
    test_write_file(dir.file("scrape.txt"), text);
    return shell("promtool check metrics < '" + dir.file("scrape.txt") + "' 2>&1 || echo failed");
}

// every variant passes promtool and holds its samples: two cards with every
// counter (the tables by name order, raw totals, LIF and port labels, an
// object not polled yet without a sample rather than a zero, cumulative
// buckets with +Inf holding every pass, the sum in seconds); the counters
// the rules name alone; no card; names from the firmware with quotes,
// backslashes and line ends
TEST(MetricsText, EveryVariantPassesPromtoolWithItsSamples)
{
    test_temp_dir dir{"metrics"};
    orlixmon_metrics_snapshot_s both, empty, odd;
    both.version = empty.version = odd.version = "0.1.0";
    both.cards = {card("0000:20:00.0", true), card("0000:24:00.0", false)};
    odd.cards = {card("0000:20:00.0", true)};
    odd.cards[0].lifs[0].name = "a\"b\\c\nd";
    odd.cards[0].serial = "";
    const std::string a20 = "{address=\"0000:20:00.0\"", a24 = "{address=\"0000:24:00.0\"";
    const std::string tx24 = "orlix_lif_tx_rdma_unicast_packets_total" + a24 + ",id=\"lif-id-0\",name=\"lif0\"} 1006\n";
    const struct {
        const char* what;
        const orlixmon_metrics_snapshot_s& snapshot;
        orlixmon_metrics_select_s select;
        std::vector<std::string> present, absent;
    } cases[] = {
        {"every counter", both, {}, {
             "# TYPE orlix_lif_rx_rdma_responder_dup_requests_total counter\n"
             "orlix_lif_rx_rdma_responder_dup_requests_total" + a20 + ",id=\"lif-id-0\",name=\"lif0\"} 1000\n",
             tx24,
             "orlix_port_frames_rx_ok_total" + a20 + ",id=\"port-id-1\",name=\"eth1/1\"} 11\n",
             "orlix_port_frames_tx_ok_total" + a20 + ",id=\"port-id-1\",name=\"eth1/1\"} 22\n",
             "orlix_card_up" + a20 + "} 1\norlix_card_up" + a24 + "} 0\n",
             "orlix_card_liveness_failures_total" + a24 + "} 3\n",
             "orlix_card_info" + a20 + ",firmware_version=\"1.4.0\",serial=\"ORX26000000\","
             "uuid=\"42424f52-5832-3630-3030-303030000000\"} 1\n",
             "orlix_build_info{version=\"0.1.0\"} 1\n",
             "orlix_monitor_pass_overruns_total" + a20 + "} 2\n",
             "orlix_telemetry_write_errors_total" + a20 + ",file=\"event\"} 1\n",
             "orlix_telemetry_lines_total" + a20 + ",file=\"stats\"} 40\n",
             "orlix_monitor_pass_duration_seconds_bucket" + a20 + ",le=\"1e-06\"} 990\n",
             "orlix_monitor_pass_duration_seconds_bucket" + a20 + ",le=\"0.0001\"} 998\n",
             "orlix_monitor_pass_duration_seconds_bucket" + a20 + ",le=\"+Inf\"} 1000\n",
             "orlix_monitor_pass_duration_seconds_sum" + a20 + "} 0.0009\n"}, {"lif-id-1"}},
        {"the counters the rules name", both, {false, {"tx_rdma_unicast_packets"}, {}},
         {tx24, "orlix_card_up{"}, {"orlix_lif_rx_rdma", "orlix_port_"}},
        {"no card", empty, {}, {"orlix_build_info"}, {"address="}},
        {"odd names", odd, {}, {"name=\"a\\\"b\\\\c\\nd\""}, {}},
    };
    for (const auto& c : cases) {
        const std::string text = orlixmon_metrics_text(c.snapshot, c.select);
        EXPECT_EQ(promtool_check(text, dir), "") << c.what << ":\n" << text;
        for (const auto& want : c.present) {
            EXPECT_TRUE(test_has(text, want)) << c.what << ": " << want;
        }
        for (const auto& not_want : c.absent) {
            EXPECT_FALSE(test_has(text, not_want)) << c.what << ": " << not_want;
        }
    }
}

TEST(MetricsStore, PassBucketsPublishAndClear)
{
    orlixmon_card_metrics_s m;
    m.record_pass(1000, false);      // on the first bound: in it
    m.record_pass(1001, false);      // just above: the next
    m.record_pass(200000, true);     // 200 us: an overrun
    m.record_pass(UINT64_MAX / 4, true);
    EXPECT_EQ(m.passes(), 4u);
    EXPECT_EQ(m.overruns.load(), 2u);
    EXPECT_EQ(m.pass_buckets[0].load(), 1u);
    EXPECT_EQ(m.pass_buckets[1].load(), 1u);
    EXPECT_EQ(m.pass_buckets[7].load(), 1u);  // <= 250 us
    EXPECT_EQ(m.pass_buckets[ORLIXMON_PASS_BUCKETS_NS.size()].load(), 1u);

    // three objects of two values polled; the store knows two, the second's
    // read failed
    const uint64_t values[6] = {5, 6, 7, 8, 9, 10};
    const uint8_t read[3] = {1, 0, 1};
    m.add_object(ORLIXMON_METRICS_PORT, "p0", "eth1/1", 2);
    m.add_object(ORLIXMON_METRICS_PORT, "p1", "eth1/2", 2);
    EXPECT_TRUE(m.publish_all(ORLIXMON_METRICS_PORT, values, read, 3, 2));
    std::string serial, version;
    std::vector<orlixmon_metrics_object_s> lifs, ports;
    m.copy(serial, version, lifs, ports);
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_TRUE(ports[0].read);
    EXPECT_EQ(ports[0].values, (std::vector<uint64_t>{5, 6}));
    EXPECT_FALSE(ports[1].read) << "a failed read publishes nothing";
    EXPECT_EQ(ports[1].values, (std::vector<uint64_t>{0, 0}));
    EXPECT_TRUE(lifs.empty());
    m.clear_objects();
    m.copy(serial, version, lifs, ports);
    EXPECT_TRUE(ports.empty());
}

TEST(MetricsListen, AddressForms)
{
    struct {
        const char* text;
        bool valid;
    } cases[] = {
        {"127.0.0.1:9478", true}, {"0.0.0.0:1", true},          {"[::1]:9478", true},
        {"[::]:65535", true},     {"localhost:9478", true},     {":9478", true},
        {"127.0.0.1", false},     {"127.0.0.1:0", false},       {"127.0.0.1:65536", false},
        {"[::1:9478", false},     {"::1:9478", false},          {"256.1.1.1:80", false},
        {"host.example:80", false}, {"127.0.0.1:80x", false},   {"127.0.0.1:-1", false},
        {"", false},              {"127.0.0.1: 80", false},     {"[127.0.0.1]:80", false},
        {":", false},             {"[]:80", false},             {"LOCALHOST:80", false},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_EQ(orlixmon_metrics_listen_valid(c.text, error), c.valid) << c.text << ": " << error;
        if (!c.valid) {
            EXPECT_TRUE(test_has(error, "metrics.listen")) << error;
        }
    }
}

}  // namespace
