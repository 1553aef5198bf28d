// the metrics endpoint of a running monitor on an emulated host of two
// cards: what a scrape shows while telemetry writes fail, a card that
// leaves the inventory, and clients that hold connections half open

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <vector>

#include "emulator/cardsim_control.h"
#include "emulator/cardsim_host.h"
#include "monitor/tests/monitor_test_util.h"

namespace fs = std::filesystem;

namespace {

class MetricsEmulated : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0) {
            GTEST_SKIP() << "orlixmon runs as root only";
        }
        ASSERT_TRUE(host.ok()) << host.error();
        bin = test_private_daemon(dir, "ommet");
        ASSERT_FALSE(bin.empty());
        port = test_free_tcp_port();
        ASSERT_GT(port, 0);
        fs::create_directory(dir.file("log"));
        fs::create_directory(dir.file("telemetry"));
        test_write_file(dir.file("orlixmon.json"), R"({
            "log_dir": ")" + dir.file("log") + R"(", "telemetry_dir": ")" + dir.file("telemetry") + R"(",
            "worker_wait": "sleep",
            "metrics": {"listen": "127.0.0.1:)" + std::to_string(port) + R"(", "transceiver_interval": 1000000},
            "filter": {
              "card": {"liveness_poll_interval": 200000},
              "lif": {"poll_interval": 20000, "counters": [
                {"counter": "tx_rdma_unicast_bytes", "cumulative": true, "action": {"stats_record": true}}]},
              "port": {"poll_interval": 20000, "counters": []}}})");
    }

    // the daemon, ended by SIGTERM at the end of the test: exit status 0
    void start()
    {
        daemon = std::make_unique<test_process>(std::vector<std::string>{bin, "-c", dir.file("orlixmon.json")},
                                                dir.path());
        ASSERT_TRUE(daemon->started());
    }
    void TearDown() override
    {
        if (daemon) {
            daemon->signal(SIGTERM);
            EXPECT_TRUE(daemon->wait(scaled(10))) << "the stop waited for the clients";
            EXPECT_EQ(daemon->exit_status(), 0) << daemon->err();
        }
    }

    std::string card(size_t i) const { return "{address=\"" + host.card(i).card_bdf + "\""; }

    cardsim_host host{{2, {}, 50}};
    test_temp_dir dir{"orlix-metrics"};
    std::string bin;
    int port = -1;
    std::unique_ptr<test_process> daemon;
};

// the stats files hit a file size limit: the failures are counted per file
// while the lines stop, and the scrape still answers
TEST_F(MetricsEmulated, WriteErrorsAreCountedPerFile)
{
    if (!fs::exists("/usr/bin/prlimit")) {
        GTEST_SKIP() << "no prlimit (util-linux)";
    }
    daemon = std::make_unique<test_process>(
        std::vector<std::string>{"/usr/bin/prlimit", "--fsize=16384:unlimited", "--", bin, "-c", dir.file("orlixmon.json")},
        dir.path());
    ASSERT_TRUE(daemon->started());
    const std::string stats_errors = "orlix_telemetry_write_errors_total" + card(0) + ",file=\"stats\"}";
    std::string text;
    ASSERT_TRUE(scrape_until(port, text, [&](const std::string& t) { return sample(t, stats_errors) > 0; }, 30))
        << text << daemon->err();
    double lines = sample(text, "orlix_telemetry_lines_total" + card(0) + ",file=\"stats\"}");
    EXPECT_GT(lines, 0) << text;
    EXPECT_LE(lines * 100, 16384.0) << "lines of ~100 bytes each up to the limit";
    EXPECT_EQ(sample(text, "orlix_telemetry_write_errors_total" + card(0) + ",file=\"event\"}"), 0) << text;
    EXPECT_EQ(sample(text, "orlix_card_up" + card(0) + "}"), 1) << text;
}

// one daemon's life: the modules' readings reach the scrape in base units;
// 256 connections that send half a request and hold on do not blind it; a
// weak receive power set through the control word and a module taken out
// show at a later pass; a card that goes away is down at once and drops out
// at the next card discovery (30 s), the other card as it was; the stop
// does not wait for the held connections
TEST_F(MetricsEmulated, OneDaemonThroughModuleChangesSlowClientsAndACardThatLeaves)
{
    start();
    const std::string cage1 = "{address=\"" + host.card(0).card_bdf + "\",port=\"1\"";
    const std::string lane1 = cage1 + ",lane=\"1\"", lane2 = cage1 + ",lane=\"2\"";
    const std::string rx1 = "orlix_transceiver_rx_power_watts" + lane1 + "}";
    const std::string rx_low1 = "orlix_transceiver_lane_warning" + lane1 + ",kind=\"rx_power_low\"}";
    const std::string absent = "orlix_transceiver_present{address=\"" + host.card(1).card_bdf + "\",port=\"2\"}";
    const std::string up0 = "orlix_card_up" + card(0) + "}", up1 = "orlix_card_up" + card(1) + "}";
    std::string text;
    ASSERT_TRUE(scrape_until(port, text, [&](const std::string& t) {
        return sample(t, rx1) > 0 && sample(t, absent) == 1 && sample(t, up1) == 1 &&
               sample(t, "orlix_lif_tx_rdma_unicast_bytes_total" + card(1)) > 0;
    })) << text << daemon->err();
    EXPECT_TRUE(has(text, "orlix_card_info" + card(1) + ",firmware_version=\"")) << text;
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
    for (const char* from : {"127.0.0.2", "127.0.0.3"}) {
        for (int i = 0; i < 128; i++) {
            slow.push_back(test_http_half_request(port, from));
            ASSERT_GE(slow.back(), 0);
        }
    }
    auto answer = std::async(std::launch::async, [&] { return test_http_get(port, "/metrics"); });
    ASSERT_EQ(answer.wait_for(scaled(5)), std::future_status::ready);
    text = answer.get();
    EXPECT_EQ(sample(text, up0), 1) << text;
    EXPECT_EQ(sample(text, up1), 1) << text;

    std::string error;
    ASSERT_TRUE(cardsim_control_apply(host, "xcvr 0 1 rx-power-dbm -12 1", error)) << error;
    EXPECT_FALSE(cardsim_control_apply(host, "xcvr 0 9 rx-power-dbm -12", error));
    host.firmware(1).board().set_present(2, false);
    ASSERT_TRUE(scrape_until(port, text, [&](const std::string& t) { return sample(t, rx_low1) == 1 && sample(t, absent) == 0; }))
        << text;
    EXPECT_NEAR(sample(text, rx1), 63.1e-6, 1e-7) << text;
    EXPECT_NEAR(sample(text, "orlix_transceiver_rx_power_watts" + lane2 + "}"), 631e-6, 1e-7) << text;
    EXPECT_EQ(sample(text, "orlix_transceiver_temperature_celsius{address=\"" + host.card(1).card_bdf + "\",port=\"2\"}"),
              -1)
        << "an empty cage has only its presence";

    host.remove_card(1);
    ASSERT_TRUE(scrape_until(port, text, [&](const std::string& t) { return sample(t, up1) == 0; })) << text;
    EXPECT_GT(sample(text, "orlix_card_liveness_failures_total" + card(1) + "}"), 0) << text;
    ASSERT_TRUE(scrape_until(port, text, [&](const std::string& t) { return !has(t, card(1)); }, 45))
        << "still listed after the next discovery:\n" << text;
    EXPECT_EQ(sample(text, up0), 1) << text;
    TearDown();  // the stop, with the connections still held
    daemon.reset();
    for (int fd : slow) {
        close(fd);
    }
}

}  // namespace
