// orlixmon on an emulated host of two cards: telemetry lines that follow
// counters set by hand, and one daemon's life as its metrics endpoint and a
// Prometheus server scraping it see it

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <regex>
#include <vector>

#include "emulator/cardsim_control.h"
#include "emulator/cardsim_host.h"
#include "monitor/tests/monitor_test_util.h"

namespace fs = std::filesystem;
using std::chrono::seconds;

namespace {

// the daemon on a host whose counters advance every tick_ms (0: by hand);
// the test ends it with SIGTERM: exit status 0, at once
class EmulatedDaemon : public monitor_daemon_test {
protected:
    explicit EmulatedDaemon(uint32_t tick_ms) : host({2, {}, tick_ms}) {}

    void SetUp() override
    {
        monitor_daemon_test::SetUp();
        if (set_up_failed()) {
            return;
        }
        ASSERT_TRUE(host.ok()) << host.error();
    }

    // the configuration: the folders, then the rest of its keys
    void configure(const std::string& keys)
    {
        test_write_file(dir.file("orlixmon.json"), "{\"log_dir\": \"" + log_dir() + "\", \"telemetry_dir\": \"" +
                                                       telemetry_dir() + "\", " + keys + "}");
    }
    void run_daemon(std::vector<std::string> prefix = {})
    {
        daemon = start({"-c", dir.file("orlixmon.json")}, std::move(prefix));
        ASSERT_TRUE(daemon->started());
    }
    void stop()
    {
        daemon->signal(SIGTERM);
        ASSERT_TRUE(daemon->wait(seconds(10))) << "the stop waited";
        EXPECT_TRUE(daemon->exited());
        EXPECT_EQ(daemon->exit_status(), 0) << daemon->err();
        EXPECT_TRUE(test_has(daemon->out(), "Exiting ORLIX monitor ...")) << daemon->out();
        daemon.reset();
    }
    void TearDown() override
    {
        if (daemon) {
            stop();
        }
    }

    std::string card(size_t i) const { return "{address=\"" + host.card(i).card_bdf + "\""; }

    cardsim_host host;
    std::unique_ptr<test_process> daemon;
};

constexpr uint64_t k_tx_bytes = 384, k_rx_bytes = 448;  // LIF counter offsets
constexpr uint64_t k_frames_tx = 0, k_frames_rx = 16;   // port counter offsets

class OrlixmonEmulated : public EmulatedDaemon {
protected:
    OrlixmonEmulated() : EmulatedDaemon(0) {}

    std::string telemetry(size_t card, const char* kind) const
    {
        std::string text = test_read_file(telemetry_dir() + "/card_" + host.card(card).card_bdf + "_" + kind + ".log");
        text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
        return text;
    }

    // a line of the card's file that names the object and holds the counter value
    bool wait_line(size_t card, const char* kind, const std::string& object, const std::string& counter,
                   uint64_t value) const
    {
        const std::regex line("\"name\":\"" + object + "\".*\"name\":\"" + counter + "\",\"value\":" +
                              std::to_string(value) + "\\}");
        return test_wait_until([&] { return std::regex_search(telemetry(card, kind), line); });
    }
    // waits for more than n further lines of card 0's stats file
    bool wait_passes(size_t n) const
    {
        const size_t now = lines_of(telemetry(0, "stats")).size();
        return test_wait_until([&] { return lines_of(telemetry(0, "stats")).size() > now + n; });
    }
};

TEST_F(OrlixmonEmulated, DiscoversBothCardsAndWritesLinesThatFollowTheCounters)
{
    configure(R"("worker_wait": "tickless", "filter": {
        "card": {"liveness_poll_interval": 200000},
        "lif": {"poll_interval": 100000, "counters": [
          {"counter": "tx_rdma_unicast_bytes", "cumulative": true, "action": {"stats_record": true}},
          {"counter": "rx_rdma_unicast_bytes", "cumulative": false, "threshold": {"value": 1000},
           "action": {"stats_record": true, "event_record": true}}]},
        "port": {"poll_interval": 100000, "counters": [
          {"counter": "frames_tx_ok", "cumulative": true, "action": {"stats_record": true}},
          {"counter": "frames_rx_ok", "cumulative": false, "action": {"stats_record": true}}]}})");
    run_daemon();
    for (size_t c = 0; c < 2; c++) {
        EXPECT_TRUE(test_wait_until([&] { return test_has(trace(), "ORLIX " + host.card(c).card_bdf + " - Card init successful"); }))
            << trace();
    }

    // cumulative: the counter itself
    host.set_counter(0, cardsim_lif_block(0) + k_tx_bytes, 5000);
    host.set_counter(1, cardsim_lif_block(1) + k_tx_bytes, 777);
    host.set_counter(0, CARDSIM_PORT_REGION + k_frames_tx, 123);
    EXPECT_TRUE(wait_line(0, "stats", "lif0", "tx_rdma_unicast_bytes", 5000));
    EXPECT_TRUE(wait_line(1, "stats", "lif1", "tx_rdma_unicast_bytes", 777));
    EXPECT_TRUE(wait_line(0, "stats", "eth1/1", "frames_tx_ok", 123));
    EXPECT_TRUE(wait_line(0, "stats", "eth1/2", "frames_tx_ok", 123)) << "every port shares the region";

    // delta: the growth since the previous read, once per port, then zero
    host.set_counter(0, CARDSIM_PORT_REGION + k_frames_rx, 7);
    EXPECT_TRUE(wait_line(0, "stats", "eth1/1", "frames_rx_ok", 7));
    EXPECT_TRUE(wait_passes(8));
    const std::string stats = telemetry(0, "stats");
    const std::string later = stats.substr(stats.find("\"frames_rx_ok\",\"value\":7}"));
    EXPECT_EQ(test_count(later, "\"frames_rx_ok\",\"value\":7}"), 2u);
    EXPECT_GT(test_count(later, "\"frames_rx_ok\",\"value\":0}"), 2u);

    // threshold: a change above it goes to both records (one below it: CounterRules)
    host.set_counter(0, cardsim_lif_block(0) + k_rx_bytes, 2400);
    EXPECT_TRUE(wait_line(0, "stats", "lif0", "rx_rdma_unicast_bytes", 2400));
    EXPECT_TRUE(wait_line(0, "event", "lif0", "rx_rdma_unicast_bytes", 2400));
    EXPECT_FALSE(test_has(telemetry(1, "event"), "rx_rdma_unicast_bytes")) << "card 1 did not change";

    stop();
    // every line after the boot banner is one JSON document
    for (size_t c = 0; c < 2; c++) {
        for (const char* kind : {"stats", "event"}) {
            const std::string path = telemetry_dir() + "/card_" + host.card(c).card_bdf + "_" + kind + ".log";
            EXPECT_EQ(system(("tail -n +2 '" + path + "' | jq -e -c . > /dev/null").c_str()), 0) << path;
        }
    }
}

// a card that stops answering, alone or with others, and comes back:
// tests/reliability/cards_fail_alone_test.cpp

class MetricsEmulated : public EmulatedDaemon {
protected:
    MetricsEmulated() : EmulatedDaemon(50) {}
};

// one daemon's life under a file size limit, scraped by Debian's prometheus
// as a fleet runs it (every second, the shipped alerts loaded): the stats
// file's write failures counted per file while its lines stop; one
// listening socket; both cards with their objects and counters in the
// server; the modules' readings in base units; a weak receive power set
// through the control word and a module taken out show at a later pass;
// card 1 hangs: down in the server, its alert pending, the scrape not held
// up; then it leaves the bus and drops out at the next card discovery
// (30 s), card 0 as it was; the stop does not wait for connections held
// half open
TEST_F(MetricsEmulated, OneDaemonsLifeScrapedByPrometheus)
{
    const int port = test_free_tcp_port();
    int server_port = test_free_tcp_port();
    for (int i = 0; i < 10 && server_port == port; i++) {
        server_port = test_free_tcp_port();
    }
    ASSERT_TRUE(port > 0 && server_port > 0 && server_port != port);
    const std::string target = "127.0.0.1:" + std::to_string(port);
    configure(R"("worker_wait": "sleep", "metrics": {"listen": ")" + target + R"(", "transceiver_interval": 1000000},
        "filter": {
          "card": {"liveness_poll_interval": 200000},
          "lif": {"poll_interval": 20000, "counters": [
            {"counter": "tx_rdma_unicast_bytes", "cumulative": true, "action": {"stats_record": true}}]},
          "port": {"poll_interval": 20000, "counters": [
            {"counter": "frames_rx_ok", "cumulative": true, "action": {"stats_record": true}}]}})");
    ASSERT_TRUE(fs::exists("/usr/bin/prlimit")) << "prlimit (util-linux) is a test dependency";
    run_daemon({"/usr/bin/prlimit", "--fsize=16384:unlimited", "--"});
    const std::string file = card(0) + ",file=\"";
    std::string text;
    ASSERT_TRUE(scrape_until(port, text, [&](const std::string& t) {
        return sample(t, "orlix_telemetry_write_errors_total" + file + "stats\"}") > 0;
    }, 30)) << text << daemon->err();
    const double lines = sample(text, "orlix_telemetry_lines_total" + file + "stats\"}");
    EXPECT_TRUE(lines > 0 && lines * 100 <= 16384.0) << "lines of ~100 bytes or more up to the limit: " << lines;
    EXPECT_EQ(sample(text, "orlix_telemetry_write_errors_total" + file + "event\"}"), 0) << text;
    EXPECT_EQ(listening_ports_of(daemon->pid()), std::vector<int>{port}) << "one listening socket, on its port";

    const char* source = getenv("ORLIX_SOURCE_DIR");
    test_write_file(dir.file("prometheus.yml"),
                    "global: {scrape_interval: 1s, scrape_timeout: 1s, evaluation_interval: 1s}\n"
                    "rule_files: [\"" + std::string(source ? source : ".") + "/deploy/prometheus/orlixmon-alerts.yml\"]\n"
                    "scrape_configs:\n"
                    "  - {job_name: orlixmon, static_configs: [{targets: [\"" + target + "\"]}]}\n");
    test_process prometheus({"/usr/bin/prometheus", "--config.file=" + dir.file("prometheus.yml"),
                             "--web.listen-address=127.0.0.1:" + std::to_string(server_port),
                             "--storage.tsdb.path=" + dir.file("tsdb"), "--log.level=warn"},
                            dir.path());
    ASSERT_TRUE(prometheus.started());
    // an instant query: one "LABEL VALUE" line per series, sorted, LABEL the value of the label by
    auto query = [&](const std::string& promql, const std::string& by = "address") {
        return shell("curl -sf --max-time 5 http://127.0.0.1:" + std::to_string(server_port) +
                     "/api/v1/query --data-urlencode 'query=" + promql + "' | jq -r '.data.result[] | (.metric." + by +
                     " // \"\") + \" \" + .value[1]' 2>/dev/null | sort");
    };
    auto wait_query = [&](const std::string& promql, const std::string& want, const std::string& by = "address") {
        return test_wait_until([&] { return query(promql, by) == want; }, seconds(60));
    };
    const std::string a0 = host.card(0).card_bdf, a1 = host.card(1).card_bdf;
    EXPECT_TRUE(wait_query("up{job=\"orlixmon\"}", target + " 1\n", "instance")) << prometheus.err();
    const std::string both = a0 + " 1\n" + a1 + " 1\n", two_each = a0 + " 2\n" + a1 + " 2\n";
    ASSERT_TRUE(wait_query("orlix_card_up", both)) << query("orlix_card_up") << prometheus.err();
    const struct {
        std::string promql, want;
    } series[] = {
        {"count by (address) (orlix_card_info{serial!=\"\",uuid!=\"\",firmware_version!=\"\"})", both},
        {"count by (address) (orlix_port_frames_rx_ok_total{id!=\"\",name!=\"\"})", two_each},
        {"count by (address) (orlix_lif_tx_rdma_unicast_bytes_total{id!=\"\",name!=\"\"})", two_each},
        {"count by (address) (orlix_monitor_pass_duration_seconds_count > 0)", both},
        {"count by (address) (increase(orlix_port_frames_rx_ok_total[10s]) > 0)", two_each},
    };
    for (const auto& s : series) {
        EXPECT_TRUE(wait_query(s.promql, s.want)) << s.promql << ": " << query(s.promql);
    }

    const std::string cage1 = "{address=\"" + a0 + "\",port=\"1\"";
    const std::string lane1 = cage1 + ",lane=\"1\"", lane2 = cage1 + ",lane=\"2\"";
    const std::string rx1 = "orlix_transceiver_rx_power_watts" + lane1 + "}";
    const std::string rx_low1 = "orlix_transceiver_lane_warning" + lane1 + ",kind=\"rx_power_low\"}";
    const std::string absent = "orlix_transceiver_present{address=\"" + a1 + "\",port=\"2\"}";
    ASSERT_TRUE(scrape_until(port, text, [&](const std::string& t) { return sample(t, rx1) > 0 && sample(t, absent) == 1; }))
        << text;
    const struct {
        std::string series;
        double value, within;
    } readings[] = {
        {"orlix_transceiver_temperature_celsius" + cage1 + "}", 22.09, 0.01},
        {"orlix_transceiver_supply_voltage_volts" + cage1 + "}", 3.3, 1e-4},
        {rx1, 631e-6, 1e-7},
        {"orlix_transceiver_tx_bias_amperes" + lane1 + "}", 7e-3, 1e-6},
        {"orlix_transceiver_rx_power_low_warning_watts" + cage1 + "}", 100e-6, 1e-9},
        {rx_low1, 0, 0},
    };
    for (const auto& r : readings) {
        EXPECT_NEAR(sample(text, r.series), r.value, r.within) << r.series;
    }
    std::vector<int> slow;
    for (int i = 0; i < 8; i++) {
        slow.push_back(test_http_half_request(port, "127.0.0.2"));
        ASSERT_GE(slow.back(), 0);
    }
    std::string error;
    ASSERT_TRUE(cardsim_control_apply(host, "xcvr 0 1 rx-power-dbm -12 1", error)) << error;
    EXPECT_FALSE(cardsim_control_apply(host, "xcvr 0 9 rx-power-dbm -12", error));
    host.firmware(1).board().set_present(2, false);
    ASSERT_TRUE(scrape_until(port, text, [&](const std::string& t) { return sample(t, rx_low1) == 1 && sample(t, absent) == 0; }))
        << text;
    EXPECT_NEAR(sample(text, rx1), 63.1e-6, 1e-7) << text;
    EXPECT_NEAR(sample(text, "orlix_transceiver_rx_power_watts" + lane2 + "}"), 631e-6, 1e-7) << text;
    EXPECT_EQ(sample(text, "orlix_transceiver_temperature_celsius{address=\"" + a1 + "\",port=\"2\"}"), -1)
        << "an empty cage has only its presence";

    ASSERT_TRUE(cardsim_control_apply(host, "hang 1", error)) << error;
    EXPECT_TRUE(wait_query("orlix_card_up", a0 + " 1\n" + a1 + " 0\n")) << query("orlix_card_up") << trace();
    EXPECT_TRUE(wait_query("ALERTS{alertname=\"OrlixCardDown\",alertstate=\"pending\"}", a1 + " 1\n"))
        << query("ALERTS", "alertname");
    EXPECT_TRUE(wait_query("count by (address) (orlix_card_liveness_failures_total > 0)", a1 + " 1\n"));
    EXPECT_EQ(query("up{job=\"orlixmon\"}", "instance"), target + " 1\n") << "a hung card does not hold up a scrape";

    host.remove_card(1);
    ASSERT_TRUE(scrape_until(port, text, [&](const std::string& t) { return !test_has(t, card(1)); }, 45))
        << "still listed after the next discovery:\n" << text;
    EXPECT_EQ(sample(text, "orlix_card_up" + card(0) + "}"), 1) << text;
    stop();  // with the connections still held
    for (int fd : slow) {
        close(fd);
    }
}

}  // namespace
