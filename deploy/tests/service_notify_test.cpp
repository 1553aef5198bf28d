// orlixmon under a service manager's eyes: the test owns the notification
// socket (NOTIFY_SOCKET), asks for a watchdog (WATCHDOG_USEC) and hands the
// daemon a journal stream, runs it with the packaged default configuration
// on an emulated host of two cards, and reads what the daemon reports

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "emulator/cardsim_host.h"
#include "tests/support/notify_socket.h"
#include "tests/support/process_runner.h"

namespace fs = std::filesystem;
using std::chrono::seconds;

namespace {

constexpr const char* k_watchdog_usec = "400000";  // a ping every 200 ms
constexpr auto k_ping_interval = std::chrono::milliseconds(200);

class ServiceNotify : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0) {
            GTEST_SKIP() << "orlixmon runs as root only";
        }
        ASSERT_TRUE(host.ok()) << host.error();
        ASSERT_TRUE(notify.ok());
        bin = test_private_daemon(dir, "omntfy");
        ASSERT_FALSE(bin.empty());
        fs::create_directory(dir.file("log"));
        fs::create_directory(dir.file("telemetry"));
        // the packaged configuration, its directories moved into the test's
        std::string config = test_read_file(std::string(getenv("ORLIX_SOURCE_DIR")) + "/deploy/orlixmon.json");
        for (const auto& [from, to] : {std::pair{"/var/log/orlixmon", "log"}, {"/var/lib/orlixmon", "telemetry"}}) {
            ASSERT_TRUE(test_has(config, std::string("\"") + from + "\"")) << from;
            config = test_replace_all(config, std::string("\"") + from + "\"", "\"" + dir.file(to) + "\"");
        }
        test_write_file(dir.file("orlixmon.json"), config);
    }

    // the daemon with the variables env (NAME=value words) and its standard
    // error appended to the journal file, named by JOURNAL_STREAM
    void start(const std::vector<std::string>& env)
    {
        std::vector<std::string> argv = {"/usr/bin/env"};
        argv.insert(argv.end(), env.begin(), env.end());
        argv.insert(argv.end(), {"/bin/sh", "-c", "exec 2>>\"$1\"; JOURNAL_STREAM=$(stat -c %d:%i \"$1\") exec \"$2\" -c \"$3\"",
                                 "sh", journal, bin, dir.file("orlixmon.json")});
        daemon = std::make_unique<test_process>(argv, dir.path());
        ASSERT_TRUE(daemon->started());
        started = std::chrono::steady_clock::now();
    }
    void stop()
    {
        daemon->signal(SIGTERM);
        ASSERT_TRUE(daemon->wait(seconds(20 * scale)));
        EXPECT_TRUE(daemon->exited());
        EXPECT_EQ(daemon->exit_status(), 0) << daemon->err();
        EXPECT_TRUE(test_has(daemon->out(), "Exiting ORLIX monitor ..."));
    }
    bool stats_file_of_every_card() const
    {
        for (size_t c = 0; c < 2; c++) {
            if (!fs::exists(dir.file("telemetry") + "/card_" + host.card(c).card_bdf + "_stats.log")) {
                return false;
            }
        }
        return true;
    }
    bool journal_has(const std::string& line) const
    {
        return test_wait_until([&] { return test_has(test_read_file(journal), line); }, seconds(45 * scale));
    }

    const int scale = test_timeout_scale();
    cardsim_host host{{2, {}, 0}};
    test_temp_dir dir{"orlixmon-notify"};
    const std::string journal = dir.file("journal");
    // whether discovery had opened every card's telemetry files when READY=1 came
    std::atomic<bool> files_at_ready{false};
    test_notify_socket notify{[this](const std::string& m) {
        files_at_ready = files_at_ready || (test_has(m, "READY=1") && stats_file_of_every_card());
    }};
    std::string bin;
    std::unique_ptr<test_process> daemon;
    std::chrono::steady_clock::time_point started;
};

// READY=1 after discovery (only keep-alives before it), keep-alives no more
// often than every half period, the start and a card that hangs and comes
// back as journal lines with their level (notice, warning, notice), each
// once, and STOPPING=1 last
TEST_F(ServiceNotify, UnderAServiceManagerReadyPingsJournalLinesAndStoppingComeInOrder)
{
    start({"NOTIFY_SOCKET=" + notify.address(), std::string("WATCHDOG_USEC=") + k_watchdog_usec});
    ASSERT_TRUE(journal_has("<5>ORLIX monitor 0.1.0 starting: trace log " + dir.file("log") + "/orlixmon.log"))
        << test_read_file(journal);
    ASSERT_TRUE(notify.wait_for("READY=1", seconds(30 * scale))) << daemon->err();
    EXPECT_TRUE(files_at_ready) << "READY=1 before the first card discovery finished";

    const std::string bdf = host.card(1).card_bdf;
    host.set_fault(1, {cardsim_fault_e::SILENT});
    ASSERT_TRUE(journal_has("<4>ORLIX " + bdf + " - card down detected\n")) << test_read_file(journal);
    host.clear_fault(1);
    ASSERT_TRUE(journal_has("<5>ORLIX " + bdf + " - card up detected\n")) << test_read_file(journal);
    stop();
    const auto ran = std::chrono::steady_clock::now() - started;
    ASSERT_TRUE(notify.wait_for("STOPPING=1", seconds(5 * scale)));

    const auto messages = notify.messages();
    bool ready = false;
    for (const auto& m : messages) {
        ready = ready || test_has(m.text, "READY=1");
        EXPECT_TRUE(ready || m.text == "WATCHDOG=1") << m.text;
    }
    EXPECT_EQ(notify.count("READY=1"), 1u);
    EXPECT_EQ(messages.back().text.find("STOPPING=1"), 0u) << "STOPPING=1 is the last message";
    const size_t pings = notify.count("WATCHDOG=1");
    EXPECT_GE(pings, 3u);
    EXPECT_LE(pings, static_cast<size_t>(ran / k_ping_interval) + 2) << pings << " pings";

    const std::string text = test_read_file(journal);
    EXPECT_EQ(test_count(text, "card down detected"), 1u) << text;
    EXPECT_EQ(test_count(text, "card up detected"), 1u) << text;
    EXPECT_EQ(test_count(text, host.card(0).card_bdf), 0u) << "the healthy card has no line: " << text;
    // the trace log keeps its own lines, at info level
    EXPECT_TRUE(test_has(test_read_file(dir.file("log") + "/orlixmon.log"), "] ORLIX " + bdf + " - card down detected"));
}

// a watchdog meant for another process (WATCHDOG_PID) is not pinged, but
// READY=1 and STOPPING=1 still come; without a socket nothing is sent and
// the daemon runs and stops as before
TEST_F(ServiceNotify, WithoutItsWatchdogOrSocketNothingIsPingedAndTheDaemonStopsAsBefore)
{
    const struct {
        bool socket;
        std::vector<std::string> env;
    } cases[] = {
        {true, {"NOTIFY_SOCKET=" + notify.address(), std::string("WATCHDOG_USEC=") + k_watchdog_usec, "WATCHDOG_PID=1"}},
        {false, {std::string("WATCHDOG_USEC=") + k_watchdog_usec}},
    };
    for (const auto& c : cases) {
        const size_t before = notify.messages().size();
        start(c.env);
        ASSERT_TRUE(test_wait_until([&] { return stats_file_of_every_card(); }, seconds(20 * scale))) << daemon->err();
        if (c.socket) {
            ASSERT_TRUE(notify.wait_for("READY=1", seconds(30 * scale))) << daemon->err();
        }
        // several ping periods with nothing to say
        std::this_thread::sleep_for(std::chrono::seconds(1));
        stop();
        if (c.socket) {
            ASSERT_TRUE(notify.wait_for("STOPPING=1", seconds(5 * scale)));
        }
        EXPECT_EQ(notify.count("WATCHDOG=1"), 0u);
        EXPECT_EQ(notify.messages().size(), before + (c.socket ? 2 : 0)) << "READY=1 and STOPPING=1 only";
    }
}

}  // namespace
