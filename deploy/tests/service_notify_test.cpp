// orlixmon under a service manager's eyes: the test owns the notification
// socket (NOTIFY_SOCKET) and asks for a watchdog (WATCHDOG_USEC), runs the
// daemon with the packaged default configuration on an emulated host of two
// cards, and reads what the daemon reports

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "emulator/cardsim_host.h"
#include "tests/support/process_runner.h"

namespace fs = std::filesystem;
using std::chrono::steady_clock;

namespace {

constexpr const char* k_watchdog_usec = "400000";  // a ping every 200 ms
constexpr auto k_ping_interval = std::chrono::milliseconds(200);

// a bound on a wait, longer in the sanitizer builds and on a loaded machine
std::chrono::milliseconds scaled(std::chrono::seconds s)
{
    return s * test_timeout_scale();
}

size_t occurrences(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        n++;
    }
    return n;
}

class ServiceNotify : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0) {
            GTEST_SKIP() << "orlixmon runs as root only";
        }
        ASSERT_TRUE(host.ok()) << host.error();
        bin = test_private_daemon(dir, "omntfy");
        ASSERT_FALSE(bin.empty());
        fs::create_directory(dir.file("log"));
        fs::create_directory(dir.file("telemetry"));
        // the packaged configuration, its directories moved into the test's
        std::string config = test_read_file(std::string(getenv("ORLIX_SOURCE_DIR")) + "/deploy/orlixmon.json");
        ASSERT_NE(config.find("\"/var/log/orlixmon\""), std::string::npos);
        ASSERT_NE(config.find("\"/var/lib/orlixmon\""), std::string::npos);
        config = test_replace_all(config, "\"/var/log/orlixmon\"", "\"" + dir.file("log") + "\"");
        config = test_replace_all(config, "\"/var/lib/orlixmon\"", "\"" + dir.file("telemetry") + "\"");
        test_write_file(dir.file("orlixmon.json"), config);

        // an abstract address: nothing on the file system for the preload to redirect
        sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(sock, 0);
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        const std::string name = "orlix-notify-test-" + std::to_string(getpid());
        memcpy(addr.sun_path + 1, name.data(), name.size());
        ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr),
                       static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())),
                  0)
            << strerror(errno);
        notify_socket = "@" + name;
    }

    void TearDown() override
    {
        if (sock >= 0) {
            close(sock);
        }
    }

    // the daemon with the notification variables; the test's own
    // environment is left as it was
    void start(const std::vector<std::pair<std::string, std::string>>& env)
    {
        for (const auto& [key, value] : env) {
            setenv(key.c_str(), value.c_str(), 1);
        }
        daemon = std::make_unique<test_process>(std::vector<std::string>{bin, "-c", dir.file("orlixmon.json")},
                                                dir.path());
        for (const auto& entry : env) {
            unsetenv(entry.first.c_str());
        }
        ASSERT_TRUE(daemon->started());
        started = steady_clock::now();
    }

    // the next datagram, or "" when none came within the timeout
    std::string receive(std::chrono::milliseconds timeout = std::chrono::seconds(30))
    {
        pollfd p = {sock, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) {
            return "";
        }
        char buf[4096];
        ssize_t n = recv(sock, buf, sizeof(buf), 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }

    // the messages until one that holds what, which is the last one; empty
    // when it never came
    std::vector<std::string> receive_until(const std::string& what)
    {
        std::vector<std::string> got;
        for (;;) {
            std::string m = receive();
            if (m.empty()) {
                return {};
            }
            got.push_back(m);
            if (m.find(what) != std::string::npos) {
                return got;
            }
        }
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

    static size_t count(const std::vector<std::string>& messages, const std::string& what)
    {
        size_t n = 0;
        for (const auto& m : messages) {
            n += m.find(what) != std::string::npos;
        }
        return n;
    }

    void stop_and_expect_stopping()
    {
        daemon->signal(SIGTERM);
        std::vector<std::string> tail = receive_until("STOPPING=1");
        EXPECT_FALSE(tail.empty()) << "no STOPPING=1 after SIGTERM";
        after_ready.insert(after_ready.end(), tail.begin(), tail.end());
        ASSERT_TRUE(daemon->wait());
        EXPECT_TRUE(daemon->exited());
        EXPECT_EQ(daemon->exit_status(), 0) << daemon->err();
    }

    cardsim_host host{{2, {}, 0}};
    test_temp_dir dir{"orlixmon-notify"};
    std::string bin, notify_socket;
    int sock = -1;
    std::unique_ptr<test_process> daemon;
    steady_clock::time_point started;
    std::vector<std::string> after_ready;
};

TEST_F(ServiceNotify, ReadyAfterDiscoveryThenWatchdogPingsThenStoppingOnSigterm)
{
    start({{"NOTIFY_SOCKET", notify_socket}, {"WATCHDOG_USEC", k_watchdog_usec}});
    // keep-alives come from the start, whatever discovery waits for; READY=1
    // is the first message of any other kind
    std::vector<std::string> first = receive_until("READY=1");
    ASSERT_FALSE(first.empty()) << "no READY=1\n" << daemon->err();
    for (size_t i = 0; i + 1 < first.size(); i++) {
        EXPECT_EQ(first[i], "WATCHDOG=1") << "before READY=1";
    }
    // discovery opened every card's telemetry files before the daemon said so
    EXPECT_TRUE(stats_file_of_every_card()) << "READY=1 before the first card discovery finished";

    // the pings go on while the daemon runs
    for (int i = 0; i < 3; i++) {
        std::vector<std::string> got = receive_until("WATCHDOG=1");
        ASSERT_FALSE(got.empty()) << "watchdog ping " << i << " missing";
        after_ready.insert(after_ready.end(), got.begin(), got.end());
    }
    stop_and_expect_stopping();
    const auto ran = steady_clock::now() - started;
    EXPECT_EQ(count(after_ready, "READY=1"), 0u) << "READY=1 is sent once";
    // never more often than every half period: the count has an upper bound
    const size_t pings = count(after_ready, "WATCHDOG=1");
    EXPECT_LE(pings, static_cast<size_t>(ran / k_ping_interval) + 1) << pings << " pings";
    EXPECT_EQ(after_ready.back().find("STOPPING=1"), 0u) << "STOPPING=1 is the last message";
}

TEST_F(ServiceNotify, WatchdogOfAnotherProcessIsNotPingedButReadyAndStoppingStillCome)
{
    // WATCHDOG_PID names the process the watchdog is meant for: not this one
    start({{"NOTIFY_SOCKET", notify_socket}, {"WATCHDOG_USEC", k_watchdog_usec}, {"WATCHDOG_PID", "1"}});
    std::string first = receive();
    ASSERT_NE(first.find("READY=1"), std::string::npos) << "first message: " << first << "\n" << daemon->err();
    // several ping periods with nothing to say
    EXPECT_EQ(receive(std::chrono::milliseconds(1000)), "");
    stop_and_expect_stopping();
    EXPECT_EQ(count(after_ready, "WATCHDOG=1"), 0u);
}

TEST_F(ServiceNotify, WithoutNotifySocketTheDaemonRunsAndStopsAsBefore)
{
    // the variables a service manager sets, less the socket
    start({{"WATCHDOG_USEC", k_watchdog_usec}});
    ASSERT_TRUE(test_wait_until([&] { return stats_file_of_every_card(); })) << daemon->err();
    EXPECT_EQ(receive(std::chrono::milliseconds(500)), "") << "nothing is sent anywhere";
    daemon->signal(SIGTERM);
    ASSERT_TRUE(daemon->wait());
    EXPECT_EQ(daemon->exit_status(), 0) << daemon->err();
    EXPECT_NE(daemon->out().find("Exiting ORLIX monitor ..."), std::string::npos);
}

// under systemd standard error is the journal's stream (JOURNAL_STREAM names
// it): the start, then a card that hangs and comes back, each once and with
// its level (notice, warning, notice)
TEST_F(ServiceNotify, UnderTheJournalTheStartAndACardDownAndUpAreLinesWithTheirLevel)
{
    const std::string journal = dir.file("journal");
    test_write_file(journal, "");
    daemon = std::make_unique<test_process>(
        std::vector<std::string>{"/bin/sh", "-c", "exec 2>>\"$1\"; JOURNAL_STREAM=$(stat -c %d:%i \"$1\") exec \"$2\" -c \"$3\"",
                                 "sh", journal, bin, dir.file("orlixmon.json")},
        dir.path());
    ASSERT_TRUE(daemon->started());
    const std::string bdf = host.card(1).card_bdf;
    const auto journal_has = [&](const std::string& line) {
        return test_wait_until([&] { return test_read_file(journal).find(line) != std::string::npos; },
                               scaled(std::chrono::seconds(45)));
    };
    ASSERT_TRUE(journal_has("<5>ORLIX monitor 0.1.0 starting: trace log " + dir.file("log") + "/orlixmon.log"))
        << test_read_file(journal);
    ASSERT_TRUE(test_wait_until([&] { return stats_file_of_every_card(); }, scaled(std::chrono::seconds(20))));

    host.set_fault(1, {cardsim_fault_e::SILENT});
    ASSERT_TRUE(journal_has("<4>ORLIX " + bdf + " - card down detected\n")) << test_read_file(journal);
    host.clear_fault(1);
    ASSERT_TRUE(journal_has("<5>ORLIX " + bdf + " - card up detected\n")) << test_read_file(journal);
    daemon->signal(SIGTERM);
    ASSERT_TRUE(daemon->wait());
    EXPECT_EQ(daemon->exit_status(), 0);

    const std::string text = test_read_file(journal);
    EXPECT_EQ(occurrences(text, "card down detected"), 1u) << text;
    EXPECT_EQ(occurrences(text, "card up detected"), 1u) << text;
    EXPECT_EQ(occurrences(text, host.card(0).card_bdf), 0u) << "the healthy card has no line: " << text;
    // the trace log keeps its own lines, at info level
    const std::string trace = test_read_file(dir.file("log") + "/orlixmon.log");
    EXPECT_NE(trace.find("] ORLIX " + bdf + " - card down detected"), std::string::npos);
}

}  // namespace
