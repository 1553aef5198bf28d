#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <spdlog/spdlog.h>

#include "monitor/oper_logger.h"
#include "monitor/orlixmon_trace.h"
#include "monitor/single_instance.h"

namespace {

std::vector<std::string> lines_of(const std::string& path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class MonitorLogs : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/orlix-monlog-test.XXXXXX";
        dir = mkdtemp(tmpl);
        setenv("PERSISTENT_LOG_DIR", dir.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("PERSISTENT_LOG_DIR");
        std::filesystem::remove_all(dir);
    }
    std::string dir;
};

TEST_F(MonitorLogs, TelemetryFileNamesFollowTheCard)
{
    aml_card_handle_s card{"42424242-3030-3030-3030-303030303030", "0000:3b:00.0"};
    EXPECT_EQ(orlixmon_oper_logger_path(card, "/var/run", "stats"), "/var/run/card_0000:3b:00.0_stats.log");
    EXPECT_EQ(orlixmon_oper_logger_name(card, "stats"), "logger_stats_0000:3b:00.0");
    EXPECT_EQ(orlixmon_oper_logger_path(card, "/d", ""), "/d/card_0000:3b:00.0.log");
    EXPECT_EQ(orlixmon_oper_logger_name(card, ""), "logger_0000:3b:00.0");
}

TEST_F(MonitorLogs, ReopenedTelemetryFileAppendsWithAFreshBanner)
{
    std::ofstream(dir + "/boot_count.txt") << "12\n";
    aml_card_handle_s card{"u", "0000:3b:00.0"};
    auto first = orlixmon_oper_logger_init(card, dir, "event");
    ASSERT_TRUE(first);
    EXPECT_EQ(spdlog::get("logger_event_0000:3b:00.0"), first);
    first->info("{}", "{\"a\":1}");
    first->flush();
    auto second = orlixmon_oper_logger_init(card, dir, "event");
    ASSERT_TRUE(second);
    EXPECT_EQ(spdlog::get("logger_event_0000:3b:00.0"), second);
    second->info("{}", "{\"a\":2}");
    second->flush();
    EXPECT_EQ(lines_of(dir + "/card_0000:3b:00.0_event.log"),
              (std::vector<std::string>{"*** Boot #12 ***", "{\"a\":1}", "*** Boot #12 ***", "{\"a\":2}"}));
    orlixmon_oper_logger_deinit(card, "event");
    EXPECT_FALSE(spdlog::get("logger_event_0000:3b:00.0"));
    // the handle still writes after the registry let go of it
    second->info("late");
    second->flush();
    EXPECT_EQ(lines_of(dir + "/card_0000:3b:00.0_event.log").back(), "late");
}

TEST_F(MonitorLogs, UnopenableTelemetryFileGivesNoLogger)
{
    std::filesystem::create_directory(dir + "/card_x_stats.log");
    EXPECT_FALSE(orlixmon_oper_logger_init({"u", "x"}, dir, "stats"));
}

// g_trace_logger is process-wide: one test walks its whole life
TEST_F(MonitorLogs, TraceLoggerFilesAndMessageConvention)
{
    orlixmon_init_params_s params;
    params.log_dir = dir + "/missing";
    testing::internal::CaptureStderr();
    std::filesystem::create_directories(params.log_dir + "/orlixmon.log");  // a folder: cannot open
    EXPECT_EQ(orlixmon_trace_init(&params), 255);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to create log files, abort...\n");
    EXPECT_EQ(g_trace_logger, nullptr);
    ORLIXMON_TRACE_ERR("no logger: {}", "dropped");  // must not crash

    params.log_dir = dir;
    ASSERT_EQ(orlixmon_trace_init(&params), 0);
    ASSERT_NE(g_trace_logger, nullptr);
    EXPECT_EQ(g_trace_logger->trace_level(), trace_level_debug);
    ORLIXMON_TRACE_VERBOSE("verbose {}", 5);
    ORLIXMON_TRACE_DEBUG("debug {}", 4);
    int line = __LINE__ + 1;
    ORLIXMON_TRACE_ERR("ORLIX {} - error {}", "0000:3b:00.0", 1);
    auto trace = lines_of(dir + "/orlixmon.log");
    auto errors = lines_of(dir + "/orlixmon-err.log");
    ASSERT_EQ(trace.size(), 3u);
    EXPECT_EQ(trace[0], "*** Boot #0 ***");
    EXPECT_EQ(trace[1].substr(0, 2), "D ");
    EXPECT_NE(trace[1].find(") [TestBody:"), std::string::npos) << trace[1];
    std::string expect_err = ") [TestBody:" + std::to_string(line) + "] ORLIX 0000:3b:00.0 - error 1";
    EXPECT_EQ(trace[2].substr(trace[2].size() - expect_err.size()), expect_err);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[1], trace[2]);
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
