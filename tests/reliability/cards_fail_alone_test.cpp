// orlixmon on an emulated host whose cards fail at once and in different
// ways: hung cards are found down in parallel while the healthy one polls on
// and the service manager's watchdog is fed on time; a card whose identity
// cannot be read is skipped and found later, the others recovered meanwhile;
// and the daemon ends under memcheck with nothing to report

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "emulator/cardsim_control.h"
#include "tests/reliability/reliability_daemon.h"
#include "tests/support/notify_socket.h"

namespace fs = std::filesystem;

namespace {

using clock_type = std::chrono::steady_clock;
using std::chrono::seconds;

constexpr long k_liveness_ms = 200;
constexpr long k_response_bound_ms = 10000;  // the card exchange's bound in the daemon
constexpr long k_watchdog_ms = 2000;         // WATCHDOG_USEC: keep-alives every second

class CardsFailAlone : public ReliabilityDaemon {
protected:
    void control(const std::string& line)
    {
        std::string error;
        ASSERT_TRUE(cardsim_control_apply(*host, line, error)) << line << ": " << error;
    }
    // every card named by cards gets the control line "verb card"
    void control_each(const char* verb, std::initializer_list<size_t> cards)
    {
        for (size_t c : cards) {
            control(std::string(verb) + " " + std::to_string(c));
        }
    }
};

// six cards: 0 to 2 hang at once, 3 stays healthy, 4 and 5 cannot be
// identified at start; 4 comes back before the next discovery, 5 does not
TEST_F(CardsFailAlone, HungAndUnreadableCardsFailAloneAndTheWatchdogIsFedOnTime)
{
    constexpr size_t k_hung = 3, k_healthy = 3, k_late = 4, k_unreadable = 5;
    boot(6);
    configure("alone", 100000, k_liveness_ms * 1000);
    test_notify_socket notify;
    ASSERT_TRUE(notify.ok());
    control("vpd " + std::to_string(k_late) + " off");
    control("vpd " + std::to_string(k_unreadable) + " off");
    start({"/usr/bin/env", "NOTIFY_SOCKET=" + notify.address(), "WATCHDOG_USEC=" + std::to_string(k_watchdog_ms * 1000)});

    // the unreadable cards do not hold up the others
    for (size_t c = 0; c <= k_healthy; c++) {
        ASSERT_TRUE(test_wait_until([&] { return monitored(c); }, seconds(20))) << c << "\n"
                                                                                          << trace() << daemon->err();
    }
    ASSERT_TRUE(notify.wait_for("READY=1", seconds(10)));
    EXPECT_FALSE(monitored(k_late));
    EXPECT_FALSE(monitored(k_unreadable));
    EXPECT_NE(trace().find("Card inventory incomplete, 4 card(s) read"), std::string::npos) << trace();

    // three cards hang at once: each is found down within one liveness
    // period and one response bound, not one bound after the other. a card
    // whose hang begins just after a pass asked it is asked again only when
    // that pass has waited out the others, so the last one may take a second
    // bound, never more however many hang
    const auto hung_at = clock_type::now();
    control_each("hang", {0, 1, 2});
    const double bound_s = (k_liveness_ms + 2 * k_response_bound_ms) / 1000.0 + 1.5 * scale;
    double down_s[k_hung] = {-1, -1, -1};
    std::vector<size_t> healthy_sizes;
    auto next_sample = clock_type::now();
    auto since = [&] { return std::chrono::duration<double>(clock_type::now() - hung_at).count(); };
    while (since() < bound_s + 2 && std::count(down_s, down_s + k_hung, -1.0) > 0) {
        for (size_t c = 0; c < k_hung; c++) {
            if (down_s[c] < 0 && events(c).find("card down detected") != std::string::npos) {
                down_s[c] = since();
            }
        }
        if (clock_type::now() >= next_sample) {
            healthy_sizes.push_back(size(k_healthy));
            next_sample += seconds(scale);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
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
    control_each("answer", {0, 1, 2});
    control("vpd " + std::to_string(k_late) + " on");
    for (size_t c = 0; c < k_hung; c++) {
        EXPECT_TRUE(test_wait_until([&] { return events(c).find("card up detected") != std::string::npos; },
                                    seconds(40)))
            << c << "\n" << trace();
    }
    EXPECT_TRUE(test_wait_until([&] { return monitored(k_late); }, seconds(10))) << trace();
    EXPECT_FALSE(monitored(k_unreadable));
    for (size_t c = 0; c < k_hung; c++) {
        EXPECT_EQ(test_count(events(c), "card down detected"), 1u) << c;
        EXPECT_EQ(test_count(events(c), "card up detected"), 1u) << c;
        const size_t before = size(c);
        EXPECT_TRUE(test_wait_until([&] { return size(c) > before; }, seconds(5))) << c << " is polled again";
    }
    EXPECT_EQ(events(k_healthy).find("card "), std::string::npos) << "the healthy card saw no event";

    stop_cleanly(seconds(20));
    EXPECT_TRUE(notify.wait_for("STOPPING=1", seconds(1)));
    // the watchdog was fed every half period throughout, hung cards or not
    auto [gap_s, keepalives] = notify.gap("WATCHDOG=1");
    EXPECT_GT(keepalives, 10u);
    EXPECT_LE(gap_s, k_watchdog_ms / 2000.0 + 0.5 * scale) << "longest wait between keep-alives";
    EXPECT_EQ(daemon->err().find("Unable to"), std::string::npos) << "a tool's complaint on the terminal";
    reliability_figure("cards_fail_alone", {{"hung", k_hung}, {"down_s_max", *std::max_element(down_s, down_s + k_hung)},
                                            {"down_bound_s", bound_s}, {"keepalives", keepalives},
                                            {"keepalive_gap_s", gap_s}});
}

// the whole run under memcheck: nothing the daemon owns is touched after
// the logging library is gone, nothing leaks
TEST_F(CardsFailAlone, StopUnderMemcheckReportsNothing)
{
    if (getenv("ASAN_OPTIONS") || getenv("TSAN_OPTIONS") || !fs::exists("/usr/bin/valgrind")) {
        GTEST_SKIP() << "memcheck runs on the plain build only";
    }
    boot(2);
    configure("memcheck", 100000);
    start({"/usr/bin/valgrind", "--quiet", "--error-exitcode=99", "--leak-check=full",
           "--errors-for-leak-kinds=definite", "--show-leak-kinds=definite"});
    for (size_t c = 0; c < 2; c++) {
        ASSERT_TRUE(test_wait_until([&] { return monitored(c); }, seconds(90))) << trace() << daemon->err();
    }
    ASSERT_TRUE(test_wait_until([&] { return size(1) > 500; }, seconds(30)));
    stop_cleanly(seconds(60));
    EXPECT_EQ(daemon->err().find("=="), std::string::npos) << daemon->err();
}

}  // namespace
