// orlixmon from discovery to telemetry lines, on an emulated host of two
// cards whose counters the test sets by hand

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "emulator/cardsim_host.h"
#include "monitor/tests/monitor_test_util.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t k_tx_bytes = 384, k_rx_bytes = 448;     // LIF counter offsets
constexpr uint64_t k_frames_tx = 0, k_frames_rx = 16;      // port counter offsets

std::string squeeze(std::string s)
{
    s.erase(std::remove(s.begin(), s.end(), ' '), s.end());
    return s;
}

class OrlixmonEmulated : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0) {
            GTEST_SKIP() << "orlixmon runs as root only";
        }
        ASSERT_TRUE(host.ok()) << host.error();
        bin = test_private_daemon(dir, "omemu");
        ASSERT_FALSE(bin.empty());
        fs::create_directory(dir.file("log"));
        fs::create_directory(dir.file("telemetry"));
        test_write_file(dir.file("orlixmon.json"), R"({
            "log_dir": ")" + dir.file("log") + R"(", "telemetry_dir": ")" + dir.file("telemetry") + R"(",
            "worker_wait": "tickless",
            "filter": {
              "card": {"liveness_poll_interval": 200000},
              "lif": {"poll_interval": 100000, "counters": [
                {"counter": "tx_rdma_unicast_bytes", "cumulative": true, "action": {"stats_record": true}},
                {"counter": "rx_rdma_unicast_bytes", "cumulative": false, "threshold": {"value": 1000},
                 "action": {"stats_record": true, "event_record": true}}]},
              "port": {"poll_interval": 100000, "counters": [
                {"counter": "frames_tx_ok", "cumulative": true, "action": {"stats_record": true}},
                {"counter": "frames_rx_ok", "cumulative": false, "action": {"stats_record": true}}]}}})");
    }

    void start()
    {
        daemon = std::make_unique<test_process>(std::vector<std::string>{bin, "-c", dir.file("orlixmon.json")},
                                                dir.path());
        ASSERT_TRUE(daemon->started());
    }

    std::string telemetry(size_t card, const char* kind) const
    {
        return test_read_file(dir.file("telemetry") + "/card_" + host.card(card).card_bdf + "_" + kind + ".log");
    }
    std::string trace() const { return test_read_file(dir.file("log") + "/orlixmon.log"); }

    // a line of the card's file that names the object and holds the counter value
    bool has_line(size_t card, const char* kind, const std::string& object, const std::string& counter,
                  uint64_t value) const
    {
        std::string want = "\"name\":\"" + counter + "\",\"value\":" + std::to_string(value) + "}";
        for (const auto& line : lines_of(squeeze(telemetry(card, kind)))) {
            if (line.find("\"name\":\"" + object + "\"") != std::string::npos && line.find(want) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    bool wait_line(size_t card, const char* kind, const std::string& object, const std::string& counter,
                   uint64_t value) const
    {
        return test_wait_until([&] { return has_line(card, kind, object, counter, value); }, scaled(20));
    }

    // every line after the boot banner is one JSON document
    void expect_json_lines(const std::string& path)
    {
        std::string cmd = "tail -n +2 '" + path + "' | jq -e -c . > /dev/null";
        EXPECT_EQ(system(cmd.c_str()), 0) << path << " holds a line that is not JSON";
    }

    void stop_cleanly()
    {
        daemon->signal(SIGTERM);
        ASSERT_TRUE(daemon->wait());
        EXPECT_TRUE(daemon->exited());
        EXPECT_EQ(daemon->exit_status(), 0) << daemon->err();
        EXPECT_NE(daemon->out().find("Exiting ORLIX monitor ..."), std::string::npos);
    }

    cardsim_host host{{2, {}, 0}};
    test_temp_dir dir{"orlixmon-emu"};
    std::string bin;
    std::unique_ptr<test_process> daemon;
};

TEST_F(OrlixmonEmulated, DiscoversBothCardsAndWritesLinesThatFollowTheCounters)
{
    start();
    for (size_t c = 0; c < 2; c++) {
        const std::string bdf = host.card(c).card_bdf;
        EXPECT_TRUE(test_wait_until([&] { return has(trace(), "ORLIX " + bdf + " - Card init successful"); }, scaled(20)))
            << trace();
    }
    std::string log = trace();
    EXPECT_NE(log.find("Discovered new lif lif1"), std::string::npos);
    EXPECT_NE(log.find("Discovered new port eth1/2"), std::string::npos);

    // cumulative: the counter itself
    host.set_counter(0, cardsim_lif_block(0) + k_tx_bytes, 5000);
    host.set_counter(1, cardsim_lif_block(1) + k_tx_bytes, 777);
    host.set_counter(0, CARDSIM_PORT_REGION + k_frames_tx, 123);
    EXPECT_TRUE(wait_line(0, "stats", "lif0", "tx_rdma_unicast_bytes", 5000));
    EXPECT_TRUE(wait_line(1, "stats", "lif1", "tx_rdma_unicast_bytes", 777));
    EXPECT_TRUE(wait_line(0, "stats", "eth1/1", "frames_tx_ok", 123));
    EXPECT_TRUE(wait_line(0, "stats", "eth1/2", "frames_tx_ok", 123)) << "every port shares the region";

    // delta: the growth since the previous read, once
    host.set_counter(0, CARDSIM_PORT_REGION + k_frames_rx, 7);
    EXPECT_TRUE(wait_line(0, "stats", "eth1/1", "frames_rx_ok", 7));
    size_t lines_now = lines_of(telemetry(0, "stats")).size();
    EXPECT_TRUE(test_wait_until([&] { return lines_of(telemetry(0, "stats")).size() > lines_now + 8; }, scaled(20)));
    std::string later;
    for (const auto& line : lines_of(squeeze(telemetry(0, "stats")))) {
        if (later.size() || line.find("\"frames_rx_ok\",\"value\":7}") != std::string::npos) {
            later += line + "\n";
        }
    }
    EXPECT_EQ(count_of(later, "\"frames_rx_ok\",\"value\":7}"), 2u) << "once per port, then no change";
    EXPECT_GT(count_of(later, "\"frames_rx_ok\",\"value\":0}"), 2u);

    // threshold: a change below it reports nothing, one above it goes to both records
    host.set_counter(0, cardsim_lif_block(0) + k_rx_bytes, 400);
    lines_now = lines_of(telemetry(0, "stats")).size();
    EXPECT_TRUE(test_wait_until([&] { return lines_of(telemetry(0, "stats")).size() > lines_now + 8; }, scaled(20)))
        << "passes after the change";
    EXPECT_EQ(squeeze(telemetry(0, "stats")).find("rx_rdma_unicast_bytes"), std::string::npos);
    host.set_counter(0, cardsim_lif_block(0) + k_rx_bytes, 2400);
    EXPECT_TRUE(wait_line(0, "stats", "lif0", "rx_rdma_unicast_bytes", 2000));
    EXPECT_TRUE(wait_line(0, "event", "lif0", "rx_rdma_unicast_bytes", 2000));
    EXPECT_EQ(count_of(squeeze(telemetry(1, "event")), "rx_rdma_unicast_bytes"), 0u) << "card 1 did not change";

    stop_cleanly();
    for (size_t c = 0; c < 2; c++) {
        for (const char* kind : {"stats", "event"}) {
            expect_json_lines(dir.file("telemetry") + "/card_" + host.card(c).card_bdf + "_" + kind + ".log");
        }
    }
}

// a card that stops answering, alone or with others, and comes back:
// tests/reliability/cards_fail_alone_test.cpp

}  // namespace
