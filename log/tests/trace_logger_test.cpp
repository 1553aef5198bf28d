// the boot banner, the rotated banner files (rotation, failed renames and
// reopens, partial writes, names that are not plain files) and the trace
// logger's levels and line prefix

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include <fmt/format.h>

#include "log/banner_file_sink.h"
#include "log/boot_count.h"
#include "log/trace_logger.h"
#include "tests/support/process_runner.h"

namespace fs = std::filesystem;

namespace {

// the lines of a file, the boot banners left out when told
std::vector<std::string> lines_of(const std::string& path, bool banners = true)
{
    std::istringstream in(test_read_file(path));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (banners || line.rfind("*** Boot #", 0) != 0) {
            lines.push_back(line);
        }
    }
    return lines;
}

// a soft limit of resource until the end of the scope
struct rlimit_guard {
    rlimit_guard(int resource, rlim_t soft) : resource(resource)
    {
        getrlimit(resource, &saved);
        rlimit tight = saved;
        tight.rlim_cur = soft;
        ok = setrlimit(resource, &tight) == 0;
    }
    ~rlimit_guard() { setrlimit(resource, &saved); }
    int resource;
    rlimit saved{};
    bool ok = false;
};

class LogFiles : public ::testing::Test {
protected:
    void SetUp() override { setenv("PERSISTENT_LOG_DIR", dir.path().c_str(), 1); }
    void TearDown() override { unsetenv("PERSISTENT_LOG_DIR"); }
    void set_boot_count(const std::string& text) { test_write_file(dir.file("boot_count.txt"), text); }

    // a logger of message text only on a banner file at name
    std::unique_ptr<spdlog::logger> open(const std::string& name, size_t max_size, size_t max_files)
    {
        auto l = std::make_unique<spdlog::logger>(
            name, std::make_shared<utils::banner_file_sink_mt>(dir.file(name), max_size, max_files));
        l->set_pattern("%v");
        l->set_error_handler([this](const std::string&) { errors++; });
        return l;
    }

    test_temp_dir dir{"orlix-log"};
    int errors = 0;
};

TEST_F(LogFiles, BootCountFileAndBanner)
{
    const std::pair<const char*, int> counts[] = {
        {"12", 12}, {"7 and more", 7}, {"  +42", 42}, {"-3", -3}, {"boot", 0}, {"", 0}, {"99999999999999999999999", 0},
    };
    for (const auto& [text, n] : counts) {
        EXPECT_EQ(logger_parse_boot_count(text), n) << text;
    }
    EXPECT_EQ(logger_boot_banner(-1), "*** Boot #4294967295 ***\n") << "printed unsigned";
    EXPECT_EQ(logger_boot_count_path(), dir.file("boot_count.txt"));
    EXPECT_EQ(logger_read_boot_count(), 0) << "missing";
    set_boot_count("7\n9\n");
    EXPECT_EQ(logger_read_boot_count(), 7);
    unsetenv("PERSISTENT_LOG_DIR");
    EXPECT_EQ(logger_boot_count_path(), "/obfl/boot_count.txt");
}

// every open writes the banner; 40-byte lines, two beside the banner, the
// third rotates; five copies, copy 1 the newest; a line longer than the limit
// does not rotate empty files away
TEST_F(LogFiles, EveryOpenWritesTheBannerAndRotationKeepsFiveCopies)
{
    set_boot_count("12\n");
    for (const char* text : {"first", "second"}) {
        open("card.log", 1 << 20, 5)->info(text);
    }
    EXPECT_EQ(lines_of(dir.file("card.log")),
              (std::vector<std::string>{"*** Boot #12 ***", "first", "*** Boot #12 ***", "second"}));

    auto logger = open("t.log", 100, 5);
    for (int i = 0; i < 20; i++) {
        logger->info("{:039d}", i);
    }
    for (int n = 0; n <= 5; n++) {
        auto lines = lines_of(utils::banner_file_sink_mt::copy_name(dir.file("t.log"), n));
        ASSERT_EQ(lines.size(), 3u) << n;
        EXPECT_EQ(lines[0], "*** Boot #12 ***");
        EXPECT_EQ(std::stoi(lines[2]), n == 0 ? 19 : 19 - 2 * n) << n;
    }
    EXPECT_FALSE(fs::exists(dir.file("t.log.6")));

    open("big.log", 10, 5)->info(std::string(50, 'x'));
    EXPECT_EQ(lines_of(dir.file("big.log")).size(), 2u);
    EXPECT_FALSE(fs::exists(dir.file("big.log.1")));
}

TEST_F(LogFiles, ARotationWhoseRenameFailsKeepsEveryLine)
{
    const std::string path = dir.file("keep.log");
    // a copy name taken by a folder that is not empty: the file cannot move there
    fs::create_directories(path + ".1/busy");
    int total = 0;
    {
        auto logger = open("keep.log", 100, 1);
        for (; total < 20; total++) {
            logger->info("line-{:06d}", total);
        }
        // once the name is free again a later rotation goes through
        fs::remove_all(path + ".1");
        for (; !fs::is_regular_file(path + ".1") && total < 100; total++) {
            logger->info("line-{:06d}", total);
        }
        logger->info("line-{:06d}", total++);
    }
    ASSERT_LT(total, 100) << "never rotated again";
    std::vector<std::string> all = lines_of(path + ".1", false), rest = lines_of(path, false);
    all.insert(all.end(), rest.begin(), rest.end());
    ASSERT_EQ(all.size(), static_cast<size_t>(total)) << "every line once";
    for (int i = 0; i < total; i++) {
        EXPECT_EQ(all[i], fmt::format("line-{:06d}", i)) << "in order";
    }
}

// the open files limit set below the sink's own descriptor: once the sink
// closes its file for a rotation it cannot open one again; no copy is lost
// and the next line reopens the file with its banner
TEST_F(LogFiles, AReopenThatFailsAfterRotationLosesNoCopy)
{
    int next_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);  // the lowest free descriptor: the sink's
    ASSERT_GE(next_fd, 0);
    close(next_fd);
    auto logger = open("reopen.log", 100, 3);
    for (int i = 0; i < 6; i++) {
        logger->info("{:039d}", i);  // lines 0 to 5 fill copies 2, 1 and the file
    }
    {
        rlimit_guard limit(RLIMIT_NOFILE, static_cast<rlim_t>(next_fd));
        ASSERT_TRUE(limit.ok);
        logger->info("{:039d}", 6);  // rotates, the reopen fails
        logger->info("{:039d}", 7);  // still no file: lost, and no second rotation
    }
    logger->info("{:039d}", 8);
    EXPECT_EQ(errors, 2);
    const std::pair<const char*, std::vector<int>> expected[] = {
        {"reopen.log.3", {0, 1}}, {"reopen.log.2", {2, 3}}, {"reopen.log.1", {4, 5}}, {"reopen.log", {8}}};
    for (const auto& [file, want] : expected) {
        auto lines = lines_of(dir.file(file));
        ASSERT_EQ(lines.size(), want.size() + 1) << file;
        EXPECT_EQ(lines[0], "*** Boot #0 ***") << file;
        for (size_t i = 0; i < want.size(); i++) {
            EXPECT_EQ(std::stoi(lines[i + 1]), want[i]) << file;
        }
    }
}

// a file size limit a few bytes into the next line: the system takes part
// of it, the fragment is cut off and later lines resume whole
TEST_F(LogFiles, FailedWritesLeaveNoFragmentAndLinesResumeWhole)
{
    const std::string path = dir.file("limit.log");
    {
        auto logger = open("limit.log", 1 << 20, 5);
        for (int i = 0; i < 10; i++) {
            logger->info("line-{:06d}", i);
        }
        struct sigaction ignore = {}, old = {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGXFSZ, &ignore, &old);
        {
            rlimit_guard limit(RLIMIT_FSIZE, fs::file_size(path) + 5);
            ASSERT_TRUE(limit.ok);
            for (int i = 10; i < 20; i++) {
                logger->info("line-{:06d}", i);
            }
        }
        sigaction(SIGXFSZ, &old, nullptr);
        EXPECT_EQ(errors, 10);
        for (int i = 20; i < 25; i++) {
            logger->info("line-{:06d}", i);
        }
    }
    const std::string text = test_read_file(path);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    auto lines = lines_of(path);
    ASSERT_EQ(lines.size(), 16u) << "the banner, 10 lines before and 5 after";
    for (size_t i = 1; i < lines.size(); i++) {
        EXPECT_TRUE(std::regex_match(lines[i], std::regex("line-\\d{6}"))) << "'" << lines[i] << "'";
    }
    EXPECT_EQ(lines[11], "line-000020");

    // a device that is always full: every line fails, the caller goes on
    spdlog::logger full("full", std::make_shared<utils::banner_file_sink_mt>("/dev/full", 1 << 20, 5));
    std::string what;
    full.set_error_handler([&](const std::string& w) { what = w; });
    full.info("nowhere");
    EXPECT_TRUE(test_has(what, "/dev/full")) << what;
}

// names where no plain file can be made, or where one was planted: refused
// with the path named, nothing written through a link or into a fifo
TEST_F(LogFiles, NamesThatAreNotPlainFilesAreRefused)
{
    test_write_file(dir.file("plain"), "");
    test_write_file(dir.file("victim"), "keep");
    fs::create_symlink(dir.file("victim"), dir.file("link.log"));
    fs::create_symlink(dir.file("absent"), dir.file("dangling.log"));
    ASSERT_EQ(mkfifo(dir.file("fifo.log").c_str(), 0600), 0);
    const std::pair<const char*, const char*> cases[] = {{"plain/x.log", ""}, {"fifo.log", ""},
        {"link.log", ": it is a symbolic link"}, {"dangling.log", ": it is a symbolic link"}};
    for (const auto& [name, why] : cases) {
        try {
            utils::banner_file_sink_mt sink(dir.file(name), 100, 5);
            ADD_FAILURE() << "opened " << name;
        } catch (const spdlog::spdlog_ex& e) {
            EXPECT_EQ(std::string(e.what()).rfind("Failed opening file " + dir.file(name) + " for writing" + why, 0),
                      0u)
                << e.what();
        }
    }
    EXPECT_EQ(test_read_file(dir.file("victim")), "keep");
    EXPECT_FALSE(fs::exists(dir.file("absent")));
}

class TraceLogger : public LogFiles {
protected:
    utils::log* make(trace_level_e level)
    {
        utils::trace_params_s params{"test", 0, true, err.c_str(), trace.c_str(), 1 << 20, 5, level};
        return utils::trace_init(&params);
    }
    // message texts of the lines after the banner
    std::vector<std::string> messages(const std::string& path)
    {
        std::vector<std::string> out = lines_of(path, false);
        for (auto& line : out) {
            line = line.substr(line.find(") ") + 2);
        }
        return out;
    }
    const std::string trace = dir.file("trace.log"), err = dir.file("err.log");
};

// each level, one changed while running, and levels out of range; every
// line begins with its level, the boot number, the time and the thread
TEST_F(TraceLogger, LevelsSelectTheLinesAndErrorsGoToTheirOwnFile)
{
    set_boot_count("31\n");
    using v = std::vector<std::string>;
    const struct {
        trace_level_e level, update;
        v lines;
    } cases[] = {
        {trace_level_debug, trace_level_debug, {"debug", "info", "error"}},
        {trace_level_err, trace_level_verbose, {"verbose", "debug", "info", "error"}},
        {trace_level_e(0), trace_level_e(0), {}},
        {trace_level_e(6), trace_level_e(6), {}},
    };
    for (const auto& c : cases) {
        fs::remove(trace);
        fs::remove(err);
        utils::log* l = make(c.level);
        ASSERT_NE(l, nullptr);
        utils::trace_update(c.update, l);
        l->logger()->trace("verbose");
        l->logger()->debug("debug");
        l->logger()->info("info");
        l->logger()->error("error");
        l->flush();
        EXPECT_EQ(messages(trace), c.lines) << c.level;
        auto lines = lines_of(trace);
        if (lines.size() > 1) {
            EXPECT_EQ(lines[0], "*** Boot #31 ***");
            EXPECT_TRUE(std::regex_match(lines.back(), std::regex(R"(E \[31 \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}\] )"
                                                                  R"(\(\d+\) error)")))
                << lines.back();
        }
        if (!c.lines.empty()) {
            EXPECT_EQ(messages(err), v{"error"}) << c.level;
        }
        utils::trace_cleanup(l);
    }
}

TEST_F(TraceLogger, MissingArgumentsOrFilesGiveNoLogger)
{
    EXPECT_EQ(utils::trace_init(nullptr), nullptr);
    test_write_file(dir.file("plain"), "");
    const std::string bad = dir.file("plain/dir.log");
    for (const auto& [name, file] : {std::pair<const char*, const char*>{nullptr, "a"}, {"x", nullptr}, {"x", bad.c_str()}}) {
        EXPECT_EQ(utils::log::factory(name, 0, sdk::types::log_mode_sync, false, nullptr, file, 10, 1, trace_level_err,
                                      trace_level_info, sdk::types::log_none, true),
                  nullptr)
            << (file ? file : "no trace file");
    }
}

}  // namespace
