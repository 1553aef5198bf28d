#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <fmt/format.h>

#include "log/banner_file_sink.h"
#include "log/boot_count.h"
#include "log/boot_number_flag.h"
#include "log/tests/log_test_util.h"
#include "log/trace_logger.h"

namespace {

class BootCountEnv : public ::testing::Test {
protected:
    void SetUp() override { setenv("PERSISTENT_LOG_DIR", dir.path().c_str(), 1); }
    void TearDown() override { unsetenv("PERSISTENT_LOG_DIR"); }
    void set_boot_count(const std::string& text) { write_file(dir.file("boot_count.txt"), text); }
    log_temp_dir dir;
};

TEST(BootCount, ParsesLeadingNumberOfFirstLine)
{
    EXPECT_EQ(logger_parse_boot_count("12"), 12);
    EXPECT_EQ(logger_parse_boot_count("7 and more"), 7);
    EXPECT_EQ(logger_parse_boot_count("  +42"), 42);
    EXPECT_EQ(logger_parse_boot_count("-3"), -3);
    EXPECT_EQ(logger_parse_boot_count("boot"), 0);
    EXPECT_EQ(logger_parse_boot_count(""), 0);
    EXPECT_EQ(logger_parse_boot_count("99999999999999999999999"), 0);
}

TEST(BootCount, BannerPrintsUnsigned32Bit)
{
    EXPECT_EQ(logger_boot_banner(12), "*** Boot #12 ***\n");
    EXPECT_EQ(logger_boot_banner(-1), "*** Boot #4294967295 ***\n");
}

TEST_F(BootCountEnv, FileLocationAndFallbacks)
{
    EXPECT_EQ(logger_boot_count_path(), dir.file("boot_count.txt"));
    EXPECT_EQ(logger_read_boot_count(), 0);  // missing
    set_boot_count("");
    EXPECT_EQ(logger_read_boot_count(), 0);
    set_boot_count("7\n9\n");
    EXPECT_EQ(logger_read_boot_count(), 7);
    unsetenv("PERSISTENT_LOG_DIR");
    EXPECT_EQ(logger_boot_count_path(), "/obfl/boot_count.txt");
}

using BannerFile = BootCountEnv;

TEST_F(BannerFile, EveryOpenWritesTheBanner)
{
    set_boot_count("12\n");
    std::string path = dir.file("card.log");
    {
        auto logger = std::make_shared<spdlog::logger>(
            "banner_a", std::make_shared<utils::banner_file_sink_mt>(path, 1 << 20, 5));
        logger->set_pattern("%v");
        logger->info("first");
        logger->flush();
    }
    {
        auto logger = std::make_shared<spdlog::logger>(
            "banner_b", std::make_shared<utils::banner_file_sink_mt>(path, 1 << 20, 5));
        logger->set_pattern("%v");
        logger->info("second");
        logger->flush();
    }
    EXPECT_EQ(read_lines(path), (std::vector<std::string>{"*** Boot #12 ***", "first",
                                                           "*** Boot #12 ***", "second"}));
}

TEST_F(BannerFile, RotatesIntoNumberedCopiesKeepingFive)
{
    std::string path = dir.file("t.log");
    auto sink = std::make_shared<utils::banner_file_sink_mt>(path, 100, 5);
    spdlog::logger logger("rotate", sink);
    logger.set_pattern("%v");
    // 40 bytes a line: two lines fit beside the banner, the third rotates
    for (int i = 0; i < 20; i++) {
        logger.info("{:039d}", i);
    }
    logger.flush();
    for (int n = 1; n <= 5; n++) {
        auto lines = read_lines(path + "." + std::to_string(n));
        ASSERT_EQ(lines.size(), 3u) << n;
        EXPECT_EQ(lines[0], "*** Boot #0 ***");
    }
    EXPECT_FALSE(std::filesystem::exists(path + ".6"));
    auto current = read_lines(path);
    ASSERT_EQ(current.size(), 3u);
    EXPECT_EQ(current[0], "*** Boot #0 ***");
    EXPECT_EQ(std::stoi(current[2]), 19);
    // copy 1 is the newest of the copies
    EXPECT_EQ(std::stoi(read_lines(path + ".1")[2]), 17);
}

TEST_F(BannerFile, LineLongerThanTheLimitDoesNotRotateEmptyFiles)
{
    std::string path = dir.file("big.log");
    spdlog::logger logger("big", std::make_shared<utils::banner_file_sink_mt>(path, 10, 5));
    logger.set_pattern("%v");
    logger.info(std::string(50, 'x'));
    logger.flush();
    EXPECT_EQ(read_lines(path).size(), 2u);
    EXPECT_FALSE(std::filesystem::exists(path + ".1"));
}

// every line of a file ends whole: no fragment of a line anywhere
void expect_whole_lines(const std::string& path, const std::string& prefix)
{
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n') << path;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("*** Boot", 0) == 0) {
            continue;
        }
        EXPECT_EQ(line.size(), prefix.size() + 6) << "'" << line << "'";
        EXPECT_EQ(line.rfind(prefix, 0), 0u) << "'" << line << "'";
    }
}

TEST_F(BannerFile, ARotationWhoseRenameFailsKeepsEveryLine)
{
    std::string path = dir.file("keep.log");
    // a copy name taken by a folder that is not empty: the file cannot move there
    std::filesystem::create_directories(path + ".1/busy");
    int total = 0;
    {
        spdlog::logger logger("keep", std::make_shared<utils::banner_file_sink_mt>(path, 100, 1));
        logger.set_pattern("%v");
        for (int i = 0; i < 20; i++) {
            logger.info("line-{:06d}", i);
        }
        // once the name is free again a later rotation goes through
        std::filesystem::remove_all(path + ".1");
        for (total = 20; !std::filesystem::is_regular_file(path + ".1") && total < 100; total++) {
            logger.info("line-{:06d}", total);
        }
        logger.info("line-{:06d}", total++);
    }
    // every line is in the file or its copy, once, in order
    std::vector<std::string> all;
    for (const std::string& p : {path + ".1", path}) {
        for (const auto& line : read_lines(p)) {
            if (line.rfind("*** Boot", 0) != 0) {
                all.push_back(line);
            }
        }
    }
    ASSERT_LT(total, 100) << "never rotated again";
    ASSERT_EQ(all.size(), static_cast<size_t>(total));
    for (int i = 0; i < total; i++) {
        EXPECT_EQ(all[i], fmt::format("line-{:06d}", i));
    }
}

// the open files limit set below the sink's own descriptor: once the sink
// closes its file for a rotation, it cannot open one again
class fd_limit_guard {
public:
    explicit fd_limit_guard(rlim_t soft)
    {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit tight = saved_;
        tight.rlim_cur = soft;
        ok_ = setrlimit(RLIMIT_NOFILE, &tight) == 0;
    }
    ~fd_limit_guard() { lift(); }
    void lift() { setrlimit(RLIMIT_NOFILE, &saved_); }
    bool ok() const { return ok_; }

private:
    rlimit saved_{};
    bool ok_ = false;
};

TEST_F(BannerFile, AReopenThatFailsAfterRotationLosesNoCopyAndReopensWithItsBanner)
{
    std::string path = dir.file("reopen.log");
    // the lowest free descriptor is the one the sink takes; all below it are in use
    int next_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(next_fd, 0);
    close(next_fd);
    spdlog::logger logger("reopen", std::make_shared<utils::banner_file_sink_mt>(path, 100, 3));
    logger.set_pattern("%v");
    int errors = 0;
    logger.set_error_handler([&errors](const std::string&) { errors++; });
    // 40 bytes a line, two to a file: lines 0 to 5 fill copies 2, 1 and the file
    for (int i = 0; i < 6; i++) {
        logger.info("{:039d}", i);
    }
    {
        fd_limit_guard limit(static_cast<rlim_t>(next_fd));
        ASSERT_TRUE(limit.ok());
        logger.info("{:039d}", 6);  // rotates, the reopen fails
        logger.info("{:039d}", 7);  // still no file: lost, and no second rotation
        limit.lift();
        logger.info("{:039d}", 8);
    }
    EXPECT_EQ(errors, 2);
    const struct {
        std::string file;
        std::vector<int> lines;
    } expected[] = {
        {path + ".3", {0, 1}}, {path + ".2", {2, 3}}, {path + ".1", {4, 5}}, {path, {8}},
    };
    for (const auto& e : expected) {
        auto lines = read_lines(e.file);
        ASSERT_EQ(lines.size(), e.lines.size() + 1) << e.file;
        EXPECT_EQ(lines[0], "*** Boot #0 ***") << e.file;
        for (size_t i = 0; i < e.lines.size(); i++) {
            EXPECT_EQ(std::stoi(lines[i + 1]), e.lines[i]) << e.file;
        }
    }
}

TEST_F(BannerFile, FailedWritesLeaveNoFragmentAndLinesResumeWhole)
{
    std::string path = dir.file("limit.log");
    int errors = 0;
    {
        spdlog::logger logger("limit", std::make_shared<utils::banner_file_sink_mt>(path, 1 << 20, 5));
        logger.set_pattern("%v");
        logger.set_error_handler([&](const std::string&) { errors++; });
        for (int i = 0; i < 10; i++) {
            logger.info("line-{:06d}", i);
        }
        // a file size limit a few bytes into the next line: the system takes part of it
        struct sigaction ignore = {}, old = {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGXFSZ, &ignore, &old);
        struct rlimit saved;
        getrlimit(RLIMIT_FSIZE, &saved);
        struct rlimit tight = saved;
        tight.rlim_cur = std::filesystem::file_size(path) + 5;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
        for (int i = 10; i < 20; i++) {
            logger.info("line-{:06d}", i);
        }
        setrlimit(RLIMIT_FSIZE, &saved);
        sigaction(SIGXFSZ, &old, nullptr);
        EXPECT_EQ(errors, 10);
        for (int i = 20; i < 25; i++) {
            logger.info("line-{:06d}", i);
        }
    }
    expect_whole_lines(path, "line-");
    auto lines = read_lines(path);
    ASSERT_EQ(lines.size(), 16u) << "the banner, 10 lines before and 5 after";
    EXPECT_EQ(lines[10], "line-000009");
    EXPECT_EQ(lines[11], "line-000020");

    // a device that is always full: every line fails, the caller goes on
    spdlog::logger full("full", std::make_shared<utils::banner_file_sink_mt>("/dev/full", 1 << 20, 5));
    int full_errors = 0;
    full.set_error_handler([&](const std::string& what) {
        full_errors++;
        EXPECT_NE(what.find("/dev/full"), std::string::npos) << what;
    });
    full.info("nowhere");
    EXPECT_EQ(full_errors, 1);
}

TEST_F(BannerFile, UnopenableFileNamesThePath)
{
    // a path under a regular file can never be created
    write_file(dir.file("plain"), "");
    std::string path = dir.file("plain/x.log");
    try {
        utils::banner_file_sink_mt sink(path, 100, 5);
        FAIL() << "opened " << path;
    } catch (const spdlog::spdlog_ex& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Failed opening file " + path + " for writing", 0), 0u)
            << e.what();
    }
}

class TraceLogger : public BootCountEnv {
protected:
    utils::log* make(trace_level_e level, const char* trace_name = "trace.log")
    {
        trace = dir.file(trace_name ? trace_name : "none");
        err = dir.file("err.log");
        utils::trace_params_s params;
        params.name = "test";
        params.sync = true;
        params.err_file = err.c_str();
        params.trace_file = trace_name ? trace.c_str() : nullptr;
        params.file_size = 1 << 20;
        params.num_files = 5;
        params.trace_level = level;
        return utils::trace_init(&params);
    }
    void emit_all(utils::log* l)
    {
        l->logger()->trace("verbose");
        l->logger()->debug("debug");
        l->logger()->info("info");
        l->logger()->error("error");
        l->flush();
    }
    // message texts of the lines after the banner
    std::vector<std::string> messages(const std::string& path)
    {
        std::vector<std::string> out;
        for (auto& line : read_lines(path)) {
            if (line.rfind("*** Boot #", 0) != 0) {
                out.push_back(line.substr(line.find(") ") + 2));
            }
        }
        return out;
    }
    std::string trace, err;
};

TEST_F(TraceLogger, DebugLevelSplitsErrorsFromEverythingElse)
{
    utils::log* l = make(trace_level_debug);
    ASSERT_NE(l, nullptr);
    emit_all(l);
    EXPECT_EQ(messages(trace), (std::vector<std::string>{"debug", "info", "error"}));
    EXPECT_EQ(messages(err), (std::vector<std::string>{"error"}));
    utils::trace_cleanup(l);
}

TEST_F(TraceLogger, OutOfRangeLevelsWriteNothing)
{
    for (auto level : {trace_level_e(0), trace_level_e(6)}) {
        utils::log* l = make(level);
        ASSERT_NE(l, nullptr);
        emit_all(l);
        EXPECT_TRUE(messages(trace).empty()) << level;
        utils::trace_cleanup(l);
    }
}

TEST_F(TraceLogger, LevelChangesWhileRunning)
{
    utils::log* l = make(trace_level_err);
    utils::trace_update(trace_level_verbose, l);
    EXPECT_EQ(l->trace_level(), trace_level_verbose);
    emit_all(l);
    EXPECT_EQ(messages(trace).size(), 4u);
    utils::trace_cleanup(l);
}

TEST_F(TraceLogger, LinePrefixCarriesLevelBootNumberTimeAndThread)
{
    set_boot_count("31\n");
    utils::log* l = make(trace_level_info);
    l->logger()->info("[{}:{}] hello", "fn", 12);
    l->flush();
    auto lines = read_lines(trace);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "*** Boot #31 ***");
    std::regex line(R"(I \[31 \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}\] \(\d+\) \[fn:12\] hello)");
    EXPECT_TRUE(std::regex_match(lines[1], line)) << lines[1];
    utils::trace_cleanup(l);
}

TEST_F(TraceLogger, MissingArgumentsGiveNoLogger)
{
    EXPECT_EQ(make(trace_level_info, nullptr), nullptr);
    EXPECT_EQ(utils::trace_init(nullptr), nullptr);
    EXPECT_EQ(utils::log::factory(nullptr, 0, sdk::types::log_mode_sync, false, "a", "b", 10, 1,
                                  trace_level_err, trace_level_info, sdk::types::log_none, true),
              nullptr);
    EXPECT_EQ(utils::log::factory("x", 0, sdk::types::log_mode_sync, false, nullptr, nullptr, 10, 1,
                                  trace_level_err, trace_level_info, sdk::types::log_none, true),
              nullptr);
    // a trace file in a missing directory fails the init, not the process
    write_file(dir.file("plain"), "");
    std::string bad = dir.file("plain/dir.log");
    EXPECT_EQ(utils::log::factory("x", 0, sdk::types::log_mode_sync, false, nullptr, bad.c_str(),
                                  10, 1, trace_level_err, trace_level_info, sdk::types::log_none,
                                  true),
              nullptr);
}

TEST(TraceLevels, MapToSpdlogLevels)
{
    using L = spdlog::level::level_enum;
    const L expect[] = {L::off, L::err, L::warn, L::info, L::debug, L::trace, L::off};
    for (uint32_t i = 0; i < 7; i++) {
        EXPECT_EQ(utils::log::trace_level_to_spdlog_level(trace_level_e(i)), expect[i]) << i;
    }
    const L sys[] = {L::off, L::critical, L::critical, L::critical, L::err,
                     L::warn, L::info, L::info, L::debug, L::off};
    for (uint32_t i = 0; i < 10; i++) {
        EXPECT_EQ(utils::log::syslog_level_to_spdlog_level(sdk::types::syslog_level_e(i)), sys[i]) << i;
    }
}

}  // namespace
