// orlixmon on an emulated host of two cards, under faults: SIGTERM at random
// moments while lines are written, a card that disappears first, telemetry
// and trace writes that fail. each test counts what it tried and what was lost

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>
#include <thread>

#include "tests/reliability/reliability_daemon.h"

namespace fs = std::filesystem;

namespace {

using clock_type = std::chrono::steady_clock;
using std::chrono::seconds;

double seconds_since(clock_type::time_point t)
{
    return std::chrono::duration<double>(clock_type::now() - t).count();
}

class DaemonFaults : public ReliabilityDaemon {
protected:
    void SetUp() override
    {
        ReliabilityDaemon::SetUp();
        if (!IsSkipped()) {
            boot(2);
        }
    }
};

// lines every millisecond, so that a signal almost always lands mid-write;
// in the first tries (polling every 20 ms) one card (either in turn) disappears first, while
// it answers late, so that a request of the daemon is under way on an open descriptor: the
// daemon lives on, the card is found down within a liveness period and a response bound,
// the other card's worker goes on and no worker is stuck at exit
TEST_F(DaemonFaults, SigtermAtRandomMomentsAndACardThatDisappearsLeaveOnlyWholeLines)
{
    constexpr int k_tries = 50, k_removals = 3;
    constexpr uint32_t k_late_ms = 400;                              // past the 200 ms liveness period
    constexpr auto k_down_bound = std::chrono::milliseconds(10200);  // the response bound plus a period
    std::mt19937 rng(31337);
    int exit_zero = 0, down_events = 0, down_ms_max = 0, other_stopped = 0, crashes = 0, stuck = 0, delay_max = 0;
    jsonl_check_s removed, all;
    for (int i = 0; i < k_tries; i++) {
        const bool remove = i < k_removals;
        const size_t gone = i % 2, other = 1 - gone;
        configure("run" + std::to_string(i % 2), remove ? 20000 : 1000);
        start();
        ASSERT_TRUE(test_wait_until([&] { return monitored(0) && monitored(1) && size(0) > 0 && size(1) > 0; },
                                    seconds(20)))
            << trace() << daemon->err();
        if (remove) {
            host->set_fault(gone, {cardsim_fault_e::DELAY, k_late_ms, 0, 0});
            std::this_thread::sleep_for(std::chrono::milliseconds(k_late_ms * 3 / 4));
            host->remove_card(gone);
            const auto removed_at = clock_type::now();
            bool down = test_wait_until([&] { return events(gone).find("card down detected") != std::string::npos; },
                                        k_down_bound);
            down_events += down;
            down_ms_max = std::max(down_ms_max, static_cast<int>(seconds_since(removed_at) * 1000));
            EXPECT_TRUE(down) << "try " << i << ": " << trace() << daemon->err();
            const size_t before = size(other);
            bool grows = test_wait_until([&] { return size(other) > before + 1000; }, seconds(20));
            other_stopped += !grows;
            EXPECT_TRUE(grows) << "try " << i;
            const bool lives = alive();
            crashes += !lives;
            ASSERT_TRUE(lives) << "try " << i << ": " << daemon->err();
        }
        const int delay_ms = static_cast<int>(rng() % 300);
        delay_max = std::max(delay_max, delay_ms);
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        const bool clean = stop_cleanly(seconds(15));
        exit_zero += clean;
        stuck += remove && !daemon->wait(std::chrono::milliseconds(0));
        jsonl_check_s r = check_files();
        EXPECT_EQ(r.lost(), 0u) << "try " << i << " after " << delay_ms << " ms";
        (remove ? removed : all) += r;
        if (remove) {
            host->clear_fault(gone);
            host->restore_card(gone);
            ASSERT_TRUE(test_wait_until([&] { return host->card_present(gone); }, seconds(5)));
        }
    }
    reliability_figure("card_removed", {{"tries", k_removals}, {"card_down_events", down_events}, {"card_down_ms_max", down_ms_max},
                                        {"crashes", crashes}, {"stuck_at_exit", stuck},
                                        {"other_card_stopped", other_stopped}, {"lines_checked", removed.lines},
                                        {"lines_bad", removed.bad}, {"lines_truncated", removed.cut}});
    all += removed;
    reliability_figure("sigterm_while_writing",
                       {{"tries", k_tries}, {"exit_zero", exit_zero}, {"other_end", k_tries - exit_zero},
                        {"delay_ms_max", delay_max}, {"lines_checked", all.lines}, {"lines_bad", all.bad},
                        {"lines_truncated", all.cut}});
}

// standard error sorted: the daemon's rate-limited reports of failed writes,
// the one-off reports of a file that fails as it is opened (its banner line),
// and the rest (tools the daemon runs, such as lspci, say things of their own)
struct stderr_lines_s {
    size_t reports = 0, one_off = 0;
    explicit stderr_lines_s(const std::string& err)
    {
        std::istringstream in(err);
        for (std::string line; std::getline(in, line);) {
            const bool report = line.rfind("spdlog error: ", 0) == 0;
            reports += report;
            one_off += !report && (line.find("Failed writing") != std::string::npos ||
                                   line.find("LOG ERROR") != std::string::npos);
        }
    }
    // at most one report a second (plus the first and one at the edge), and
    // no more than two one-off lines for each failing file
    bool bounded(double seconds, size_t failing_files) const
    {
        return double(reports) <= seconds + 2 && one_off <= 2 * failing_files;
    }
};

// card 0's stats file and the trace file are the full device, and a file
// size limit stops card 1's stats file: the daemon runs on, reports the
// failures at a bounded rate, and card 1's lines resume whole when the limit
// is lifted. (the trace file is never read here: it is /dev/full)
TEST_F(DaemonFaults, WriteFailuresKeepItRunningAndLinesResumeWholeWhenLifted)
{
    if (!fs::exists("/usr/bin/prlimit")) {
        GTEST_SKIP() << "no prlimit (util-linux)";
    }
    constexpr size_t k_limit = 32768, k_failing = 3;
    configure("fail", 20000);
    // a device that fails every write where the files go (a link there would
    // be refused as one)
    for (const std::string& path : {file(0, "stats"), log_dir + "/orlixmon.log"}) {
        ASSERT_EQ(mknod(path.c_str(), S_IFCHR | 0600, makedev(1, 7)), 0) << path << ": " << strerror(errno);
    }
    const auto started = clock_type::now();
    start({"/usr/bin/prlimit", "--fsize=" + std::to_string(k_limit) + ":unlimited", "--"});
    // card 1's lines go on while card 0's fail, up to the limit, and stay there
    ASSERT_TRUE(test_wait_until([&] { return size(1) + 600 > k_limit; }, seconds(30))) << daemon->err();
    std::this_thread::sleep_for(seconds(2));
    double at_limit_s = seconds_since(started);
    const bool alive_at_limit = alive();
    EXPECT_TRUE(alive_at_limit) << daemon->err();
    stderr_lines_s at_limit(daemon->err());
    EXPECT_GE(at_limit.reports, 1u) << "the failure is reported";
    EXPECT_TRUE(at_limit.bounded(at_limit_s, k_failing)) << at_limit_s << " s:\n" << daemon->err();
    EXPECT_LE(size(1), k_limit);
    const jsonl_check_s before = check_files();
    EXPECT_EQ(before.lost(), 0u) << "a line cut at the limit";

    const size_t size_at_limit = size(1);
    const std::string lift = "/usr/bin/prlimit --pid " + std::to_string(daemon->pid()) +
                             " --fsize=unlimited:unlimited > '" + dir.file("lift.out") + "' 2>&1";
    EXPECT_EQ(system(lift.c_str()), 0) << test_read_file(dir.file("lift.out"));
    const bool resumed = test_wait_until([&] { return size(1) > size_at_limit + 4096; }, seconds(10));
    EXPECT_TRUE(resumed);
    stop_cleanly(seconds(10));
    const double total_s = seconds_since(started);
    stderr_lines_s total(daemon->err());
    EXPECT_TRUE(total.bounded(total_s, k_failing)) << daemon->err();
    const jsonl_check_s after = check_files();
    EXPECT_EQ(after.lost(), 0u);
    EXPECT_GT(after.lines, before.lines);
    reliability_figure("write_fail_fsize",
                       {{"limit_bytes", k_limit}, {"seconds", int(total_s)}, {"alive_at_limit", alive_at_limit},
                        {"stderr_reports", total.reports}, {"stderr_bound", int(total_s) + 2},
                        {"stderr_one_off", total.one_off}, {"lines_at_limit", before.lines}, {"resumed", resumed},
                        {"lines_checked", after.lines}, {"lines_bad", after.bad}, {"lines_truncated", after.cut},
                        {"exit_status", daemon->exit_status()}});
    reliability_figure("write_fail_dev_full",
                       {{"seconds", int(at_limit_s)}, {"alive", alive_at_limit}, {"stderr_reports", at_limit.reports},
                        {"stderr_bound", int(at_limit_s) + 2}, {"stderr_one_off", at_limit.one_off},
                        {"other_card_lines", before.lines}, {"lines_bad", before.bad},
                        {"lines_truncated", before.cut}, {"exit_status", daemon->exit_status()}});
}

}  // namespace
