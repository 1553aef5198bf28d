// orlixmon on an emulated host whose cards fail at once and in different
// ways: hung cards are found down in parallel while the healthy one polls on
// and the service manager's watchdog is fed on time; a card whose identity
// cannot be read is skipped and found later, the others recovered meanwhile;
// and the daemon ends under memcheck with nothing to report

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "emulator/cardsim_control.h"
#include "emulator/cardsim_host.h"
#include "tests/reliability/reliability_support.h"
#include "tests/support/process_runner.h"

namespace fs = std::filesystem;

namespace {

using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr long k_liveness_ms = 200;
constexpr long k_response_bound_ms = 10000;  // the card exchange's bound in the daemon
constexpr long k_watchdog_ms = 2000;         // WATCHDOG_USEC: keep-alives every second

double seconds_since(clock_type::time_point t)
{
    return std::chrono::duration<double>(clock_type::now() - t).count();
}

// the service manager's end of NOTIFY_SOCKET: every datagram with the time it came
class notify_listener {
public:
    struct message_s {
        clock_type::time_point at;
        std::string text;
    };

    explicit notify_listener(const std::string& path) : path_(path)
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
        ok_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
        reader_ = std::thread([this] { loop_(); });
    }
    ~notify_listener()
    {
        stop_ = true;
        reader_.join();
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    bool ok() const { return ok_; }
    std::vector<message_s> messages() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    bool has(const std::string& what) const
    {
        for (const auto& m : messages()) {
            if (m.text.find(what) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    // the longest wait between two keep-alives, and how many came
    std::pair<double, size_t> keepalive_gap() const
    {
        double worst = 0;
        size_t n = 0;
        clock_type::time_point last{};
        for (const auto& m : messages()) {
            if (m.text.find("WATCHDOG=1") == std::string::npos) {
                continue;
            }
            if (n++ > 0) {
                worst = std::max(worst, std::chrono::duration<double>(m.at - last).count());
            }
            last = m.at;
        }
        return {worst, n};
    }

private:
    void loop_()
    {
        char buf[4096];
        while (!stop_ && ok_) {
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) {
                continue;
            }
            ssize_t n = recv(fd_, buf, sizeof(buf), 0);
            if (n > 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                messages_.push_back({clock_type::now(), std::string(buf, static_cast<size_t>(n))});
            }
        }
    }
    std::string path_;
    int fd_ = -1;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<message_s> messages_;
    std::thread reader_;
};

class CardsFailAlone : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0) {
            GTEST_SKIP() << "orlixmon runs as root only";
        }
        bin = test_private_daemon(dir, "omalone");
        ASSERT_FALSE(bin.empty());
        fs::create_directory(dir.file("log"));
        fs::create_directory(dir.file("telemetry"));
        test_write_file(dir.file("orlixmon.json"), R"({"log_dir": ")" + dir.file("log") +
                                                       R"(", "telemetry_dir": ")" + dir.file("telemetry") + R"(",
            "worker_wait": "sleep",
            "filter": {
              "card": {"liveness_poll_interval": )" + std::to_string(k_liveness_ms * 1000) + R"(},
              "lif": {"poll_interval": 100000, "counters": [
                {"counter": "tx_rdma_unicast_bytes", "cumulative": true, "action": {"stats_record": true}}]},
              "port": {"poll_interval": 100000, "counters": [
                {"counter": "frames_tx_ok", "cumulative": true, "action": {"stats_record": true}}]}}})");
    }

    void boot(size_t cards)
    {
        host = std::make_unique<cardsim_host>(cardsim_host_options_s{cards, {}, 50});
        ASSERT_TRUE(host->ok()) << host->error();
    }
    // the daemon, with argv put before it (a wrapper such as env or valgrind)
    void start(std::vector<std::string> argv)
    {
        argv.insert(argv.end(), {bin, "-c", dir.file("orlixmon.json")});
        daemon = std::make_unique<test_process>(argv, dir.path());
        ASSERT_TRUE(daemon->started());
    }
    void control(const std::string& line)
    {
        std::string error;
        ASSERT_TRUE(cardsim_control_apply(*host, line, error)) << line << ": " << error;
    }

    std::string file(size_t card, const char* kind) const
    {
        return dir.file("telemetry") + "/card_" + host->card(card).card_bdf + "_" + kind + ".log";
    }
    std::string events(size_t card) const { return test_read_file(file(card, "event")); }
    std::string trace() const { return test_read_file(dir.file("log") + "/orlixmon.log"); }
    bool monitored(size_t card) const
    {
        return trace().find("Starting to monitor " + host->card(card).card_bdf) != std::string::npos;
    }
    static size_t count(const std::string& text, const std::string& what)
    {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
            n++;
        }
        return n;
    }
    void stop_cleanly(milliseconds bound)
    {
        daemon->signal(SIGTERM);
        ASSERT_TRUE(daemon->wait(bound)) << "no end after SIGTERM";
        EXPECT_TRUE(daemon->exited()) << daemon->err();
        EXPECT_EQ(daemon->exit_status(), 0) << daemon->err();
        EXPECT_NE(daemon->out().find("Exiting ORLIX monitor ..."), std::string::npos);
    }

    const int scale = test_timeout_scale();
    test_temp_dir dir{"orlix-alone"};
    std::unique_ptr<cardsim_host> host;
    std::string bin;
    std::unique_ptr<test_process> daemon;
};

// six cards: 0 to 2 hang at once, 3 stays healthy, 4 and 5 cannot be
// identified at start; 4 comes back before the next discovery, 5 does not
TEST_F(CardsFailAlone, HungAndUnreadableCardsFailAloneAndTheWatchdogIsFedOnTime)
{
    constexpr size_t k_hung = 3, k_healthy = 3, k_late = 4, k_unreadable = 5;
    boot(6);
    notify_listener notify(dir.file("notify"));
    ASSERT_TRUE(notify.ok());
    control("vpd " + std::to_string(k_late) + " off");
    control("vpd " + std::to_string(k_unreadable) + " off");
    start({"/usr/bin/env", "NOTIFY_SOCKET=" + dir.file("notify"),
           "WATCHDOG_USEC=" + std::to_string(k_watchdog_ms * 1000)});

    // the unreadable cards do not hold up the others
    for (size_t c = 0; c <= k_healthy; c++) {
        ASSERT_TRUE(test_wait_until([&] { return monitored(c); }, std::chrono::seconds(20 * scale)))
            << c << "\n" << trace() << daemon->err();
    }
    ASSERT_TRUE(test_wait_until([&] { return notify.has("READY=1"); }, std::chrono::seconds(10 * scale)));
    EXPECT_FALSE(monitored(k_late));
    EXPECT_FALSE(monitored(k_unreadable));
    EXPECT_NE(trace().find("Card inventory incomplete, 4 card(s) read"), std::string::npos) << trace();

    // three cards hang at once: each is found down within one liveness
    // period and one response bound, not one bound after the other
    const auto hung_at = clock_type::now();
    for (size_t c = 0; c < k_hung; c++) {
        control("hang " + std::to_string(c));
    }
    const double bound_s = (k_liveness_ms + k_response_bound_ms) / 1000.0 + 1.5 * scale;
    double down_s[k_hung] = {-1, -1, -1};
    std::vector<size_t> healthy_sizes;
    auto next_sample = clock_type::now();
    while (seconds_since(hung_at) < bound_s + 2) {
        for (size_t c = 0; c < k_hung; c++) {
            if (down_s[c] < 0 && events(c).find("card down detected") != std::string::npos) {
                down_s[c] = seconds_since(hung_at);
            }
        }
        if (clock_type::now() >= next_sample) {
            healthy_sizes.push_back(fs::file_size(file(k_healthy, "stats")));
            next_sample += std::chrono::seconds(scale);
        }
        if (down_s[0] >= 0 && down_s[1] >= 0 && down_s[2] >= 0) {
            break;
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
    for (size_t c = 0; c < k_hung; c++) {
        EXPECT_GE(down_s[c], 0) << "card " << c << " never found down\n" << trace();
        EXPECT_LE(down_s[c], bound_s) << "card " << c;
    }
    // the healthy card's polls went on the whole time
    ASSERT_GE(healthy_sizes.size(), 2u);
    for (size_t i = 1; i < healthy_sizes.size(); i++) {
        EXPECT_GT(healthy_sizes[i], healthy_sizes[i - 1]) << "no line from card 3 in second " << i;
    }

    // they answer again, card 4 can be read again, card 5 still cannot: the
    // next discovery recovers the three and finds card 4 all the same
    for (size_t c = 0; c < k_hung; c++) {
        control("answer " + std::to_string(c));
    }
    control("vpd " + std::to_string(k_late) + " on");
    for (size_t c = 0; c < k_hung; c++) {
        EXPECT_TRUE(test_wait_until([&] { return events(c).find("card up detected") != std::string::npos; },
                                    std::chrono::seconds(40 * scale)))
            << c << "\n" << trace();
    }
    EXPECT_TRUE(test_wait_until([&] { return monitored(k_late); }, std::chrono::seconds(10 * scale))) << trace();
    EXPECT_FALSE(monitored(k_unreadable));
    for (size_t c = 0; c < k_hung; c++) {
        EXPECT_EQ(count(events(c), "card down detected"), 1u) << c;
        EXPECT_EQ(count(events(c), "card up detected"), 1u) << c;
        const auto size = fs::file_size(file(c, "stats"));
        EXPECT_TRUE(test_wait_until([&] { return fs::file_size(file(c, "stats")) > size; },
                                    std::chrono::seconds(5 * scale)))
            << "card " << c << " is polled again";
    }
    EXPECT_EQ(events(k_healthy).find("card "), std::string::npos) << "the healthy card saw no event";

    stop_cleanly(std::chrono::seconds(20 * scale));
    EXPECT_TRUE(notify.has("STOPPING=1"));
    // the watchdog was fed every half period throughout, hung cards or not
    auto [gap_s, keepalives] = notify.keepalive_gap();
    EXPECT_GT(keepalives, 10u);
    EXPECT_LE(gap_s, k_watchdog_ms / 2000.0 + 0.5 * scale) << "longest wait between keep-alives";
    EXPECT_EQ(daemon->err().find("Unable to"), std::string::npos) << "a tool's complaint on the terminal";
    reliability_figure("cards_fail_alone",
                       {{"hung", std::to_string(k_hung)},
                        {"down_s_max", std::to_string(*std::max_element(down_s, down_s + k_hung))},
                        {"down_bound_s", std::to_string(bound_s)},
                        {"keepalives", std::to_string(keepalives)},
                        {"keepalive_gap_s", std::to_string(gap_s)}});
}

// the whole run under memcheck: nothing the daemon owns is touched after
// the logging library is gone, nothing leaks
TEST_F(CardsFailAlone, StopUnderMemcheckReportsNothing)
{
    if (getenv("ASAN_OPTIONS") || getenv("TSAN_OPTIONS") || !fs::exists("/usr/bin/valgrind")) {
        GTEST_SKIP() << "memcheck runs on the plain build only";
    }
    boot(2);
    start({"/usr/bin/valgrind", "--quiet", "--error-exitcode=99", "--leak-check=full",
           "--errors-for-leak-kinds=definite", "--show-leak-kinds=definite"});
    for (size_t c = 0; c < 2; c++) {
        ASSERT_TRUE(test_wait_until([&] { return monitored(c); }, std::chrono::seconds(90 * scale)))
            << trace() << daemon->err();
    }
    ASSERT_TRUE(test_wait_until([&] { return fs::exists(file(1, "stats")) && fs::file_size(file(1, "stats")) > 500; },
                                std::chrono::seconds(30 * scale)));
    stop_cleanly(std::chrono::seconds(60 * scale));
    EXPECT_EQ(daemon->err().find("=="), std::string::npos) << daemon->err();
}

}  // namespace
