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
#include "tests/support/http_client.h"
#include "tests/support/process_runner.h"

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

    std::string scrape() const { return test_http_get(port, "/metrics"); }

    // the value of the sample whose name and labels begin with prefix; -1
    // when the scrape has none
    double value(const std::string& text, const std::string& prefix) const
    {
        for (size_t at = text.find("\n" + prefix); at != std::string::npos; at = text.find("\n" + prefix, at + 1)) {
            size_t end = text.find('\n', at + 1);
            std::string line = text.substr(at + 1, end - at - 1);
            size_t blank = line.rfind(' ');
            if (blank != std::string::npos) {
                return std::stod(line.substr(blank + 1));
            }
        }
        return -1;
    }

    // sanitizer builds and a loaded machine run slower: bounds grow with them
    static int scale()
    {
        return test_timeout_scale();
    }

    std::string card(size_t i) const { return "{address=\"" + host.card(i).card_bdf + "\""; }

    cardsim_host host{{2, {}, 50}};
    test_temp_dir dir{"orlix-metrics"};
    std::string bin;
    int port = -1;
};

// the stats files hit a file size limit: the failures are counted per file
// while the lines stop, and the scrape still answers
TEST_F(MetricsEmulated, WriteErrorsAreCountedPerFile)
{
    if (!fs::exists("/usr/bin/prlimit")) {
        GTEST_SKIP() << "no prlimit (util-linux)";
    }
    test_process daemon({"/usr/bin/prlimit", "--fsize=16384:unlimited", "--", bin, "-c", dir.file("orlixmon.json")},
                        dir.path());
    ASSERT_TRUE(daemon.started());
    const std::string stats_errors = "orlix_telemetry_write_errors_total" + card(0) + ",file=\"stats\"}";
    const std::string stats_lines = "orlix_telemetry_lines_total" + card(0) + ",file=\"stats\"}";
    std::string text;
    ASSERT_TRUE(test_wait_until([&] { return value(text = scrape(), stats_errors) > 0; }, std::chrono::seconds(30)))
        << text << daemon.err();
    double lines = value(text, stats_lines);
    EXPECT_GT(lines, 0) << text;
    EXPECT_LE(lines * 100, 16384.0) << "lines of ~100 bytes each up to the limit";
    EXPECT_EQ(value(text, "orlix_telemetry_write_errors_total" + card(0) + ",file=\"event\"}"), 0) << text;
    EXPECT_EQ(value(text, "orlix_card_up" + card(0) + "}"), 1) << text;
    daemon.signal(SIGTERM);
    ASSERT_TRUE(daemon.wait(std::chrono::seconds(10)));
    EXPECT_EQ(daemon.exit_status(), 0) << daemon.err();
}

// a card that goes away is down at once and drops out of the scrape at the
// next card discovery (30 s); the other card stays
TEST_F(MetricsEmulated, CardThatLeavesTheInventoryDropsOut)
{
    test_process daemon({bin, "-c", dir.file("orlixmon.json")}, dir.path());
    ASSERT_TRUE(daemon.started());
    std::string text;
    ASSERT_TRUE(test_wait_until([&] {
        text = scrape();
        return value(text, "orlix_card_up" + card(0) + "}") == 1 && value(text, "orlix_card_up" + card(1) + "}") == 1 &&
               value(text, "orlix_lif_tx_rdma_unicast_bytes_total" + card(1)) > 0;
    })) << text << daemon.err();
    EXPECT_NE(text.find("orlix_card_info" + card(1) + ",firmware_version=\""), std::string::npos) << text;

    host.remove_card(1);
    ASSERT_TRUE(test_wait_until([&] { return value(text = scrape(), "orlix_card_up" + card(1) + "}") == 0; }))
        << text;
    EXPECT_GT(value(text, "orlix_card_liveness_failures_total" + card(1) + "}"), 0) << text;
    ASSERT_TRUE(test_wait_until([&] { return (text = scrape()).find(card(1)) == std::string::npos; },
                                std::chrono::seconds(45)))
        << "still listed after the next discovery:\n" << text;
    EXPECT_EQ(value(text, "orlix_card_up" + card(0) + "}"), 1) << text;
    daemon.signal(SIGTERM);
    ASSERT_TRUE(daemon.wait(std::chrono::seconds(10)));
    EXPECT_EQ(daemon.exit_status(), 0) << daemon.err();
}

// the modules' readings reach the scrape in base units; a weak receive
// power set through the control word and a module taken out show at a
// later pass, the other lanes and cards as they were
TEST_F(MetricsEmulated, TransceiverReadingsFollowTheModules)
{
    test_process daemon({bin, "-c", dir.file("orlixmon.json")}, dir.path());
    ASSERT_TRUE(daemon.started());
    const std::string cage1 = "{address=\"" + host.card(0).card_bdf + "\",port=\"1\"";
    const std::string lane1 = cage1 + ",lane=\"1\"", lane2 = cage1 + ",lane=\"2\"";
    const std::string rx1 = "orlix_transceiver_rx_power_watts" + lane1 + "}";
    const std::string rx_low1 = "orlix_transceiver_lane_warning" + lane1 + ",kind=\"rx_power_low\"}";
    const std::string absent = "orlix_transceiver_present{address=\"" + host.card(1).card_bdf + "\",port=\"2\"}";
    std::string text;
    ASSERT_TRUE(test_wait_until([&] { return value(text = scrape(), rx1) > 0 && value(text, absent) == 1; }))
        << text << daemon.err();
    EXPECT_NEAR(value(text, "orlix_transceiver_temperature_celsius" + cage1 + "}"), 22.09, 0.01) << text;
    EXPECT_NEAR(value(text, "orlix_transceiver_supply_voltage_volts" + cage1 + "}"), 3.3, 1e-4) << text;
    EXPECT_NEAR(value(text, rx1), 631e-6, 1e-7) << text;
    EXPECT_NEAR(value(text, "orlix_transceiver_tx_bias_amperes" + lane1 + "}"), 7e-3, 1e-6) << text;
    EXPECT_NEAR(value(text, "orlix_transceiver_rx_power_low_warning_watts" + cage1 + "}"), 100e-6, 1e-9) << text;
    EXPECT_EQ(value(text, rx_low1), 0) << text;

    std::string error;
    ASSERT_TRUE(cardsim_control_apply(host, "xcvr 0 1 rx-power-dbm -12 1", error)) << error;
    EXPECT_FALSE(cardsim_control_apply(host, "xcvr 0 9 rx-power-dbm -12", error));
    host.firmware(1).board().set_present(2, false);
    ASSERT_TRUE(test_wait_until([&] {
        text = scrape();
        return value(text, rx_low1) == 1 && value(text, absent) == 0;
    })) << text;
    EXPECT_NEAR(value(text, rx1), 63.1e-6, 1e-7) << text;
    EXPECT_NEAR(value(text, "orlix_transceiver_rx_power_watts" + lane2 + "}"), 631e-6, 1e-7) << text;
    EXPECT_EQ(value(text, "orlix_transceiver_temperature_celsius{address=\"" + host.card(1).card_bdf +
                              "\",port=\"2\"}"), -1) << "an empty cage has only its presence";
    daemon.signal(SIGTERM);
    ASSERT_TRUE(daemon.wait(std::chrono::seconds(10)));
    EXPECT_EQ(daemon.exit_status(), 0) << daemon.err();
}

// 256 connections send half a request and hold on: the scrapes still show
// both cards, and a stop signal ends the monitor with them still open
TEST_F(MetricsEmulated, HalfOpenConnectionsNeitherBlindTheScrapeNorHoldTheStop)
{
    test_process daemon({bin, "-c", dir.file("orlixmon.json")}, dir.path());
    ASSERT_TRUE(daemon.started());
    ASSERT_TRUE(test_wait_until([&] { return value(scrape(), "orlix_card_up" + card(1) + "}") == 1; }))
        << daemon.err();
    std::vector<int> slow;
    for (const char* from : {"127.0.0.2", "127.0.0.3"}) {
        for (int i = 0; i < 128; i++) {
            slow.push_back(test_http_half_request(port, from));
            ASSERT_GE(slow.back(), 0);
        }
    }
    auto answer = std::async(std::launch::async, [&] { return scrape(); });
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(5) * scale()), std::future_status::ready);
    std::string text = answer.get();
    EXPECT_EQ(value(text, "orlix_card_up" + card(0) + "}"), 1) << text;
    EXPECT_EQ(value(text, "orlix_card_up" + card(1) + "}"), 1) << text;
    daemon.signal(SIGTERM);
    EXPECT_TRUE(daemon.wait(std::chrono::seconds(10) * scale())) << "the stop waited for the clients";
    EXPECT_EQ(daemon.exit_status(), 0) << daemon.err();
    for (int fd : slow) {
        close(fd);
    }
}

}  // namespace
