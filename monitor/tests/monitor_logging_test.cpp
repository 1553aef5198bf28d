// the monitor's own logs: telemetry files and the health events in them, the
// trace, the journal lines and their rate limit, and the single instance check

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <spdlog/spdlog.h>

#include "monitor/journal_events.h"
#include "monitor/oper_logger.h"
#include "monitor/orlixmon_trace.h"
#include "monitor/single_instance.h"
#include "monitor/telemetry_export.h"
#include "monitor/tests/monitor_test_util.h"

namespace {

std::vector<std::string> file_lines(const std::string& path) { return lines_of(test_read_file(path)); }

class MonitorLogs : public ::testing::Test {
protected:
    void SetUp() override { setenv("PERSISTENT_LOG_DIR", dir.c_str(), 1); }
    void TearDown() override { unsetenv("PERSISTENT_LOG_DIR"); }
    test_temp_dir tmp{"orlix-monlog"};
    const std::string dir = tmp.path();
};

// a card's telemetry file: named after the card, appended to with a fresh
// banner when the card is opened again, written by a handle the registry let go
TEST_F(MonitorLogs, ReopenedTelemetryFileAppendsWithAFreshBanner)
{
    std::ofstream(dir + "/boot_count.txt") << "12\n";
    aml_card_handle_s card{"u", "0000:3b:00.0"};
    EXPECT_EQ(orlixmon_oper_logger_path(card, "/d", ""), "/d/card_0000:3b:00.0.log");
    auto first = orlixmon_oper_logger_init(card, dir, "event");
    ASSERT_TRUE(first);
    first->info("{}", "{\"a\":1}");
    auto second = orlixmon_oper_logger_init(card, dir, "event");
    ASSERT_TRUE(second);
    EXPECT_EQ(spdlog::get("logger_event_0000:3b:00.0"), second);
    second->info("{}", "{\"a\":2}");
    orlixmon_oper_logger_deinit(card, "event");
    EXPECT_FALSE(spdlog::get("logger_event_0000:3b:00.0"));
    second->info("late");
    second->flush();
    EXPECT_EQ(file_lines(dir + "/card_0000:3b:00.0_event.log"),
              (std::vector<std::string>{"*** Boot #12 ***", "{\"a\":1}", "*** Boot #12 ***", "{\"a\":2}", "late"}));
}

// a telemetry file the sink refuses (a folder here; links and fifos are the
// sink's own refusals) gives no logger rather than an exception
TEST_F(MonitorLogs, TelemetryFileThatIsNotAPlainFileGivesNoLogger)
{
    const aml_card_handle_s card{"u", "x"};
    std::filesystem::create_directory(orlixmon_oper_logger_path(card, dir, "stats"));
    EXPECT_FALSE(orlixmon_oper_logger_init(card, dir, "stats"));
}

// the health checker's event goes to the event file alone; a record of no
// known type is refused; a card without loggers drops the line and succeeds.
// (counter records in their files: OrlixmonEmulated)
TEST_F(MonitorLogs, HealthEventsAndRecordsWithoutAFile)
{
    orlixmon_card_ctxt_s ctxt;
    ctxt.card = {"42424142-4300-0000-0000-000000000000", "0000:3b:00.0"};
    ctxt.stats_logger = orlixmon_oper_logger_init(ctxt.card, dir, "stats");
    ctxt.event_logger = orlixmon_oper_logger_init(ctxt.card, dir, "event");
    ASSERT_TRUE(ctxt.stats_logger && ctxt.event_logger);
    orlixmon_post_health_check_event(ctxt, "card down detected");
    std::string id = "id-p", name = "eth1/1";
    orlixmon_telemetry_record_s bad(id, name);
    bad.type = 9;
    EXPECT_NE(telemetry_export_cb(ctxt, bad), 0);
    orlixmon_oper_logger_deinit(ctxt.card, "stats");
    orlixmon_oper_logger_deinit(ctxt.card, "event");

    EXPECT_FALSE(test_has(test_read_file(dir + "/card_0000:3b:00.0_stats.log"), "card down"));
    const std::string event_file = test_read_file(dir + "/card_0000:3b:00.0_event.log");
    EXPECT_TRUE(test_has(event_file, "\"description\": \"card down detected\"")) << event_file;
    EXPECT_TRUE(test_has(event_file, "\"id\": \"42424142-4300-0000-0000-000000000000\"")) << event_file;
    orlixmon_card_ctxt_s bare;
    bad.type = ORLIXMON_TELEMETRY_TYPE_STATS;
    bad.record_type = ORLIXMON_RECORD_TYPE_PORT;
    EXPECT_EQ(telemetry_export_cb(bare, bad), 0);
}

// g_trace_logger is process-wide: one test walks its whole life, under
// systemd (standard error is the stream JOURNAL_STREAM names): no verbose
// lines at the default level, errors in their own file too, and the start,
// the warnings and the errors on standard error with their level. (a trace
// file that cannot be opened: Orlixmon.StartUpFailuresNameTheirCause)
TEST_F(MonitorLogs, TraceLoggerFilesAndTheJournal)
{
    ASSERT_EQ(g_trace_logger, nullptr);
    ORLIXMON_TRACE_ERR("no logger: {}", "dropped");  // must not crash
    const std::string journal = dir + "/journal";
    int fd = open(journal.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
    EXPECT_EQ(orlixmon_journal_stream(STDOUT_FILENO), -1) << "another file than the one named";
    const int saved = dup(STDERR_FILENO);
    ASSERT_EQ(dup2(fd, STDERR_FILENO), STDERR_FILENO);
    orlixmon_init_params_s params;
    params.log_dir = dir;
    params.telemetry_dir = "/var/lib/orlixmon";
    const int rc = orlixmon_trace_init(&params);
    ORLIXMON_TRACE_VERBOSE("verbose {}", 5);
    ORLIXMON_TRACE_DEBUG("debug {}", 4);
    ORLIXMON_TRACE_INFO("info stays in the trace log");
    int line = __LINE__ + 1;
    ORLIXMON_TRACE_WARN("ORLIX {} - warning", "0000:3b:00.0");
    ORLIXMON_TRACE_ERR("ORLIX {} - error", "0000:3b:00.0");
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(fd);
    unsetenv("JOURNAL_STREAM");
    ASSERT_EQ(rc, 0);
    auto trace = file_lines(dir + "/orlixmon.log");
    auto errors = file_lines(dir + "/orlixmon-err.log");
    ASSERT_EQ(trace.size(), 5u) << "the banner, debug, info, warning and error: no verbose at the default level";
    EXPECT_EQ(trace[1].substr(0, 2), "D ");
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[1], trace[4]);
    auto lines = file_lines(journal);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "<5>ORLIX monitor 0.1.0 starting: trace log " + dir + "/orlixmon.log, telemetry in /var/lib/orlixmon");
    EXPECT_EQ(lines[1], "<4>[TestBody:" + std::to_string(line) + "] ORLIX 0000:3b:00.0 - warning");
    EXPECT_EQ(lines[2], "<3>[TestBody:" + std::to_string(line + 1) + "] ORLIX 0000:3b:00.0 - error");
}

// a card that flaps or a failure of every poll: 5 lines of one text a
// minute, 100 of all, and the next line let through counts the dropped ones
TEST(JournalLimit, BoundsEachTextAndAllTextsAndCountsWhatItDropped)
{
    constexpr int64_t s = 1000000000;
    orlixmon_journal_limit limit(5, 8, 60 * s);
    struct step_s {
        const char* text;
        int64_t at;
        int times;
        bool admitted;
        uint64_t dropped;  // of the last of them, when admitted
    } steps[] = {
        {"card 1 down", 0, 5, true, 0},
        {"card 1 down", 1 * s, 2, false, 0},   // its sixth and seventh in the minute
        {"card 2 down", 2 * s, 3, true, 0},    // another text: 8 in all now
        {"card 3 down", 3 * s, 1, false, 0},   // over the total
        {"card 2 down", 59 * s, 1, false, 0},  // still over the total
        {"card 1 down", 60 * s, 1, true, 2 + 2},  // a new minute: its two and the total's two
        {"card 3 down", 61 * s, 1, true, 0},
    };
    for (const auto& step : steps) {
        for (int i = 0; i < step.times; i++) {
            uint64_t dropped = 99;
            bool admitted = limit.admit(step.text, step.at, dropped);
            EXPECT_EQ(admitted, step.admitted) << step.text << " at " << step.at / s << " s, #" << i;
            if (admitted && i + 1 == step.times) {
                EXPECT_EQ(dropped, step.dropped) << step.text << " at " << step.at / s << " s";
            }
        }
    }
}

TEST(SingleInstance, MatchesTheExactCommandNameOfAnotherProcess)
{
    const std::string me = "orlixmon";
    struct {
        std::vector<std::string> ps;
        bool running;
    } cases[] = {
        {{"    1 systemd", "  123 orlixmon"}, false},                    // itself
        {{"  123 orlixmon", " 1123 orlixmon"}, true},                    // a pid holding our pid
        {{"   12 orlixmon"}, true},                                      // a pid inside ours
        {{"  400 orlixmon-helper", "  401 xorlixmon", "  402 orlix"}, false},
        {{"  500 vim orlixmon"}, false},
        {{"garbage", "", "   77"}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(orlixmon_ps_lines_show_instance(c.ps, me, 123), c.running) << c.ps.back();
    }
    // the kernel keeps 15 characters of a longer name
    EXPECT_TRUE(orlixmon_ps_lines_show_instance({"  9 orlixmon-with-a"}, "orlixmon-with-a-long-name", 1));
    EXPECT_FALSE(orlixmon_other_instance_running("orlixmon-never-started", getpid()));
}

}  // namespace
