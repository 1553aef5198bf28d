// orlixmon on an emulated host of two cards, under faults: a card that
// disappears, SIGTERM at random moments while lines are written, telemetry
// and trace writes that fail. each test counts what it tried and what was lost

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <sstream>

#include "emulator/cardsim_host.h"
#include "tests/reliability/reliability_support.h"
#include "tests/support/process_runner.h"

namespace fs = std::filesystem;

namespace {

using clock_type = std::chrono::steady_clock;

size_t file_size(const std::string& path)
{
    std::error_code ec;
    auto n = fs::file_size(path, ec);
    return ec ? 0 : static_cast<size_t>(n);
}

class DaemonFaults : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0) {
            GTEST_SKIP() << "orlixmon runs as root only";
        }
        ASSERT_TRUE(host.ok()) << host.error();
        bin = test_private_daemon(dir, "omflt");
        ASSERT_FALSE(bin.empty());
    }

    // fresh log and telemetry folders and a configuration polling every
    // poll_us; returns the configuration's path
    std::string prepare(uint64_t poll_us, const std::string& tag)
    {
        log_dir = dir.file("log-" + tag);
        telemetry_dir = dir.file("telemetry-" + tag);
        fs::remove_all(log_dir);
        fs::remove_all(telemetry_dir);
        fs::create_directory(log_dir);
        fs::create_directory(telemetry_dir);
        std::string path = dir.file("orlixmon-" + tag + ".json");
        std::string poll = std::to_string(poll_us);
        test_write_file(path, R"({"log_dir": ")" + log_dir + R"(", "telemetry_dir": ")" + telemetry_dir + R"(",
            "worker_wait": "sleep",
            "filter": {
              "card": {"liveness_poll_interval": 200000},
              "lif": {"poll_interval": )" + poll + R"(, "counters": [
                {"counter": "tx_rdma_unicast_bytes", "cumulative": true, "action": {"stats_record": true}}]},
              "port": {"poll_interval": )" + poll + R"(, "counters": [
                {"counter": "frames_tx_ok", "cumulative": true, "action": {"stats_record": true}}]}}})");
        return path;
    }

    std::string telemetry_file(size_t card, const char* kind) const
    {
        return telemetry_dir + "/card_" + host.card(card).card_bdf + "_" + kind + ".log";
    }
    std::string trace() const { return test_read_file(log_dir + "/orlixmon.log"); }

    // every telemetry file of both cards: lines checked, lines lost
    void check_files(size_t& lines, size_t& bad, size_t& cut, size_t& unreadable)
    {
        for (size_t c = 0; c < host.card_count(); c++) {
            for (const char* kind : {"stats", "event"}) {
                std::string path = telemetry_file(c, kind);
                if (!fs::exists(path)) {
                    continue;
                }
                auto r = reliability_check_jsonl(path);
                lines += r.lines;
                bad += r.bad;
                cut += r.cut_end;
                unreadable += !r.jq_ran;
            }
        }
    }

    cardsim_host host{{2, {}, 50}};
    test_temp_dir dir{"orlix-faults"};
    std::string bin, log_dir, telemetry_dir;
};

TEST_F(DaemonFaults, CardThatDisappearsIsDownWithoutACrashOrAStuckWorker)
{
    constexpr int k_tries = 3;
    int tries = 0, down_events = 0, crashes = 0, stuck = 0, other_stopped = 0;
    size_t lines = 0, bad = 0, cut = 0, unreadable = 0;
    for (int i = 0; i < k_tries; i++) {
        size_t gone = i % 2;  // either card in turn
        size_t other = 1 - gone;
        std::string cfg = prepare(20000, "remove" + std::to_string(i));
        test_process daemon({bin, "-c", cfg}, dir.path());
        ASSERT_TRUE(daemon.started());
        tries++;
        for (size_t c = 0; c < 2; c++) {
            ASSERT_TRUE(test_wait_until([&] {
                return trace().find("Starting to monitor " + host.card(c).card_bdf) != std::string::npos;
            })) << trace() << daemon.err();
        }
        ASSERT_TRUE(test_wait_until([&] { return file_size(telemetry_file(gone, "stats")) > 0; })) << trace();

        host.remove_card(gone);
        bool down = test_wait_until([&] {
            return test_read_file(telemetry_file(gone, "event")).find("card down detected") != std::string::npos;
        });
        down_events += down;
        EXPECT_TRUE(down) << "try " << i << ": " << trace();
        // the other card's worker goes on
        size_t before = file_size(telemetry_file(other, "stats"));
        bool grows = test_wait_until([&] { return file_size(telemetry_file(other, "stats")) > before + 1000; },
                                     std::chrono::seconds(5));
        other_stopped += !grows;
        EXPECT_TRUE(grows) << "try " << i;
        bool alive = kill(daemon.pid(), 0) == 0 && !daemon.wait(std::chrono::milliseconds(0));
        crashes += !alive;
        EXPECT_TRUE(alive) << "try " << i << ": " << daemon.err();

        daemon.signal(SIGTERM);
        bool ended = daemon.wait(std::chrono::seconds(10));
        stuck += !ended;
        EXPECT_TRUE(ended) << "try " << i << ": a worker is stuck";
        if (ended) {
            EXPECT_TRUE(daemon.exited()) << "try " << i;
            EXPECT_EQ(daemon.exit_status(), 0) << "try " << i << ": " << daemon.err();
            crashes += alive && !daemon.exited();
        }
        check_files(lines, bad, cut, unreadable);
        host.restore_card(gone);
        ASSERT_TRUE(test_wait_until([&] { return host.card_present(gone); }));
    }
    EXPECT_EQ(bad + cut + unreadable, 0u);
    reliability_figure("card_removed", {{"tries", std::to_string(tries)},
                                        {"card_down_events", std::to_string(down_events)},
                                        {"crashes", std::to_string(crashes)},
                                        {"stuck_at_exit", std::to_string(stuck)},
                                        {"other_card_stopped", std::to_string(other_stopped)},
                                        {"lines_checked", std::to_string(lines)},
                                        {"lines_bad", std::to_string(bad)},
                                        {"lines_truncated", std::to_string(cut)}});
}

TEST_F(DaemonFaults, SigtermAtRandomMomentsLeavesOnlyWholeLines)
{
    constexpr int k_tries = 50;
    std::mt19937 rng(31337);
    int tries = 0, exit_zero = 0, other_end = 0;
    size_t lines = 0, bad = 0, cut = 0, unreadable = 0;
    std::vector<int> delays;
    for (int i = 0; i < k_tries; i++) {
        // lines every millisecond: a signal almost always lands mid-write
        std::string cfg = prepare(1000, "term");
        test_process daemon({bin, "-c", cfg}, dir.path());
        ASSERT_TRUE(daemon.started());
        tries++;
        ASSERT_TRUE(test_wait_until([&] { return file_size(telemetry_file(1, "stats")) > 0; })) << trace();
        int delay_ms = static_cast<int>(rng() % 300);
        delays.push_back(delay_ms);
        usleep(delay_ms * 1000);
        daemon.signal(SIGTERM);
        bool ended = daemon.wait(std::chrono::seconds(15));
        EXPECT_TRUE(ended) << "try " << i;
        if (ended && daemon.exited() && daemon.exit_status() == 0) {
            exit_zero++;
        } else {
            other_end++;
            ADD_FAILURE() << "try " << i << " after " << delay_ms << " ms: status " << daemon.exit_status() << " "
                          << daemon.err();
        }
        size_t b = bad, c = cut;
        check_files(lines, bad, cut, unreadable);
        EXPECT_EQ(bad - b + cut - c, 0u) << "try " << i << " after " << delay_ms << " ms";
    }
    EXPECT_EQ(unreadable, 0u);
    reliability_figure("sigterm_while_writing",
                       {{"tries", std::to_string(tries)},
                        {"exit_zero", std::to_string(exit_zero)},
                        {"other_end", std::to_string(other_end)},
                        {"delay_ms_max", std::to_string(*std::max_element(delays.begin(), delays.end()))},
                        {"lines_checked", std::to_string(lines)},
                        {"lines_bad", std::to_string(bad)},
                        {"lines_truncated", std::to_string(cut)}});
}

// standard error sorted: the daemon's rate-limited reports of failed writes,
// the one-off reports of a file that fails as it is opened (its banner line),
// and the rest (tools the daemon runs, such as lspci, say things of their own)
struct stderr_lines_s {
    size_t reports = 0, one_off = 0, other = 0;
    explicit stderr_lines_s(const std::string& err)
    {
        std::istringstream in(err);
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("spdlog error: ", 0) == 0) {
                reports++;
            } else if (line.find("Failed writing") != std::string::npos || line.find("LOG ERROR") != std::string::npos) {
                one_off++;
            } else {
                other++;
            }
        }
    }
    // at most one report a second (plus the first and one at the edge), and
    // no more than two one-off lines for each failing file
    bool bounded(double seconds, size_t failing_files) const
    {
        return double(reports) <= seconds + 2 && one_off <= 2 * failing_files;
    }
};

TEST_F(DaemonFaults, FileSizeLimitKeepsItRunningAndLinesResumeWholeWhenLifted)
{
    if (!fs::exists("/usr/bin/prlimit")) {
        GTEST_SKIP() << "no prlimit (util-linux)";
    }
    constexpr size_t k_limit = 32768;
    std::string cfg = prepare(20000, "fsize");
    auto start = clock_type::now();
    test_process daemon({"/usr/bin/prlimit", "--fsize=" + std::to_string(k_limit) + ":unlimited", "--", bin, "-c", cfg},
                        dir.path());
    ASSERT_TRUE(daemon.started());
    std::string stats = telemetry_file(0, "stats");
    // the telemetry file fills up to the limit and stays there
    ASSERT_TRUE(test_wait_until([&] { return file_size(stats) + 600 > k_limit; }, std::chrono::seconds(30)))
        << trace() << daemon.err();
    usleep(3000000);
    double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    bool alive_at_limit = kill(daemon.pid(), 0) == 0 && !daemon.wait(std::chrono::milliseconds(0));
    EXPECT_TRUE(alive_at_limit) << daemon.err();
    // both cards' stats files and the trace file reach the limit
    constexpr size_t k_failing = 3;
    stderr_lines_s at_limit(daemon.err());
    EXPECT_GE(at_limit.reports, 1u) << "the failure is reported";
    EXPECT_TRUE(at_limit.bounded(seconds, k_failing)) << seconds << " s:\n" << daemon.err();
    EXPECT_LE(file_size(stats), k_limit);
    size_t lines = 0, bad = 0, cut = 0, unreadable = 0;
    check_files(lines, bad, cut, unreadable);
    size_t lines_at_limit = lines;
    EXPECT_EQ(bad + cut + unreadable, 0u) << "a line cut at the limit";

    // the limit lifted: lines come again, whole
    size_t size_at_limit = file_size(stats);
    std::string lift = "/usr/bin/prlimit --pid " + std::to_string(daemon.pid()) + " --fsize=unlimited:unlimited > '" +
                       dir.file("lift.out") + "' 2>&1";
    int lift_rc = system(lift.c_str());
    bool lifted = lift_rc == 0;
    EXPECT_TRUE(lifted) << lift_rc << ": " << test_read_file(dir.file("lift.out"));
    bool resumed = test_wait_until([&] { return file_size(stats) > size_at_limit + 4096; }, std::chrono::seconds(10));
    EXPECT_TRUE(resumed);
    usleep(500000);
    daemon.signal(SIGTERM);
    ASSERT_TRUE(daemon.wait(std::chrono::seconds(10)));
    seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    EXPECT_TRUE(daemon.exited());
    EXPECT_EQ(daemon.exit_status(), 0) << daemon.err();
    stderr_lines_s total(daemon.err());
    EXPECT_TRUE(total.bounded(seconds, k_failing)) << daemon.err();
    lines = bad = cut = unreadable = 0;
    check_files(lines, bad, cut, unreadable);
    EXPECT_EQ(bad + cut + unreadable, 0u);
    EXPECT_GT(lines, lines_at_limit);
    reliability_figure("write_fail_fsize",
                       {{"limit_bytes", std::to_string(k_limit)},
                        {"seconds", std::to_string(int(seconds))},
                        {"alive_at_limit", std::to_string(alive_at_limit)},
                        {"stderr_reports", std::to_string(total.reports)},
                        {"stderr_bound", std::to_string(int(seconds) + 2)},
                        {"stderr_one_off", std::to_string(total.one_off)},
                        {"lines_at_limit", std::to_string(lines_at_limit)},
                        {"resumed", std::to_string(resumed)},
                        {"lines_checked", std::to_string(lines)},
                        {"lines_bad", std::to_string(bad)},
                        {"lines_truncated", std::to_string(cut)},
                        {"exit_status", std::to_string(daemon.exit_status())}});
}

TEST_F(DaemonFaults, FullDeviceUnderTelemetryAndTraceKeepsItRunning)
{
    std::string cfg = prepare(20000, "full");
    // card 0's stats file and the trace file are the full device
    fs::create_symlink("/dev/full", telemetry_file(0, "stats"));
    fs::create_symlink("/dev/full", log_dir + "/orlixmon.log");
    auto start = clock_type::now();
    test_process daemon({bin, "-c", cfg}, dir.path());
    ASSERT_TRUE(daemon.started());
    // card 1's lines go on while card 0's fail
    std::string other = telemetry_file(1, "stats");
    bool other_writes = test_wait_until([&] { return file_size(other) > 8192; }, std::chrono::seconds(20));
    EXPECT_TRUE(other_writes) << daemon.err();
    usleep(3000000);
    double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    bool alive = kill(daemon.pid(), 0) == 0 && !daemon.wait(std::chrono::milliseconds(0));
    EXPECT_TRUE(alive) << daemon.err();
    stderr_lines_s err(daemon.err());
    EXPECT_GE(err.reports, 1u) << "the failure is reported";
    EXPECT_TRUE(err.bounded(seconds, 2)) << daemon.err();
    daemon.signal(SIGTERM);
    bool ended = daemon.wait(std::chrono::seconds(10));
    EXPECT_TRUE(ended);
    EXPECT_TRUE(daemon.exited());
    EXPECT_EQ(daemon.exit_status(), 0) << daemon.err();
    auto r = reliability_check_jsonl(other);
    auto e = reliability_check_jsonl(telemetry_file(1, "event"));
    EXPECT_EQ(r.bad + r.cut_end + e.bad + e.cut_end, 0u);
    reliability_figure("write_fail_dev_full",
                       {{"seconds", std::to_string(int(seconds))},
                        {"alive", std::to_string(alive)},
                        {"stderr_reports", std::to_string(err.reports)},
                        {"stderr_bound", std::to_string(int(seconds) + 2)},
                        {"stderr_one_off", std::to_string(err.one_off)},
                        {"other_card_lines", std::to_string(r.lines + e.lines)},
                        {"lines_bad", std::to_string(r.bad + e.bad)},
                        {"lines_truncated", std::to_string(r.cut_end + e.cut_end)},
                        {"exit_status", std::to_string(daemon.exit_status())}});
}

}  // namespace
