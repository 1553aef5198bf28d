#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "ipc/shell_command.h"
#include "ipc/sysfs_attr.h"

namespace {

TEST(ShellCommand, ValuesStayOneWordWhateverTheyHold)
{
    EXPECT_EQ(ipc_shell_quote("plain"), "'plain'");
    EXPECT_EQ(ipc_shell_quote("it's"), "'it'\\''s'");
    const char* hostile[] = {"a b", "x; touch /tmp/orlix-pwned", "$(id)", "`id`", "q'\"", "", "-n"};
    for (const char* value : hostile) {
        auto r = ipc_shell_run(ipc_shell_command("printf '%s\\n' {}", {value}));
        ASSERT_TRUE(r.ok()) << value;
        ASSERT_EQ(r.lines.size(), 1u) << value;
        EXPECT_EQ(r.lines[0], value);
    }
    EXPECT_FALSE(std::filesystem::exists("/tmp/orlix-pwned"));
}

TEST(ShellCommand, FillsHolesInOrderAndKeepsExtraOnes)
{
    EXPECT_EQ(ipc_shell_command("a {} b {} c {}", {"1", "2"}), "a '1' b '2' c {}");
}

TEST(ShellCommand, ReportsStatusAndBoundsStoredLines)
{
    auto r = ipc_shell_run("seq 1 1000", 3);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.lines, (std::vector<std::string>{"1", "2", "3"}));
    r = ipc_shell_run("exit 3");
    EXPECT_TRUE(r.started && r.exited);
    EXPECT_EQ(r.exit_status, 3);
    EXPECT_FALSE(r.ok());
}

// a child of this process that has ended but was not reaped
bool has_zombie_child()
{
    siginfo_t info{};
    return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

TEST(ShellCommand, AHangingCommandIsEndedWithItsGroupWithinTheBound)
{
    using clock = std::chrono::steady_clock;
    // a shell that waits on a child, a command that ignores SIGTERM, and one
    // that closed its output but keeps running
    const char* hanging[] = {"sleep 30; echo never", "trap '' TERM; sleep 30", "exec >/dev/null; sleep 30",
                             "echo first; sleep 30 & sleep 30"};
    for (const char* command : hanging) {
        auto start = clock::now();
        auto r = ipc_shell_run(command, SIZE_MAX, 300);
        auto took = std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - start).count();
        EXPECT_TRUE(r.started) << command;
        EXPECT_TRUE(r.timed_out) << command;
        EXPECT_FALSE(r.ok()) << command;
        EXPECT_LT(took, 3000) << command;
        EXPECT_FALSE(has_zombie_child()) << command;
    }
    auto r = ipc_shell_run("echo first; sleep 30", SIZE_MAX, 300);
    EXPECT_EQ(r.lines, (std::vector<std::string>{"first"})) << "what came before the bound is kept";

    // the process-wide bound applies when a call names none
    ipc_shell_set_default_timeout_ms(200);
    EXPECT_TRUE(ipc_shell_run("sleep 30").timed_out);
    ipc_shell_set_default_timeout_ms(0);
    EXPECT_EQ(ipc_shell_default_timeout_ms(), IPC_SHELL_DEFAULT_TIMEOUT_MS);
    EXPECT_FALSE(ipc_shell_run("true").timed_out);
    EXPECT_FALSE(has_zombie_child());
}

TEST(ShellCommand, SignalsAndMissingProgramsAreFailures)
{
    auto r = ipc_shell_run("kill -9 $$");
    EXPECT_TRUE(r.started);
    EXPECT_FALSE(r.exited) << "ended by a signal";
    EXPECT_FALSE(r.ok());
    r = ipc_shell_run("/nonexistent/program 2>/dev/null");
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_status, 127);
    r = ipc_shell_run("printf 'no newline'");
    EXPECT_EQ(r.lines, (std::vector<std::string>{"no newline"}));
}

class SysfsFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/orlix-sysfs-test.XXXXXX";
        dir = mkdtemp(tmpl);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string put(const std::string& name, const std::string& text)
    {
        std::ofstream(dir + "/" + name) << text;
        return dir + "/" + name;
    }
    std::string dir;
};

TEST_F(SysfsFiles, ReadsLinesAndNumbers)
{
    std::string line;
    EXPECT_TRUE(ipc_sysfs_read_line(put("vendor", "0x1e7b\n"), line));
    EXPECT_EQ(line, "0x1e7b");
    uint64_t value = 0;
    EXPECT_TRUE(ipc_sysfs_read_number(dir + "/vendor", 16, value));
    EXPECT_EQ(value, 0x1e7bu);
    EXPECT_TRUE(ipc_sysfs_read_number(put("bus", "61\n"), 10, value));
    EXPECT_EQ(value, 61u);
    EXPECT_FALSE(ipc_sysfs_read_number(put("bad", "zz\n"), 16, value));
    EXPECT_FALSE(ipc_sysfs_read_line(dir + "/none", line));
    std::vector<std::string> lines;
    EXPECT_TRUE(ipc_sysfs_read_lines(put("res", "a\nb\n"), lines));
    EXPECT_EQ(lines, (std::vector<std::string>{"a", "b"}));
}

TEST_F(SysfsFiles, ListsAndMatchesEntries)
{
    put("voskipcdev0", "");
    put("voskipcdev1", "");
    put("other", "");
    std::vector<std::string> names;
    EXPECT_TRUE(ipc_sysfs_match(dir, "voskipcdev*", names));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"voskipcdev0", "voskipcdev1"}));
    EXPECT_TRUE(ipc_sysfs_list(dir, names));
    EXPECT_EQ(names.size(), 3u);
    EXPECT_FALSE(ipc_sysfs_list(dir + "/none", names));
}

TEST(SysfsNames, RejectsPathSyntax)
{
    EXPECT_TRUE(ipc_sysfs_name_ok("0000:3b:00.0"));
    for (const char* bad : {"", ".", "..", "a/b", "x\n"}) {
        EXPECT_FALSE(ipc_sysfs_name_ok(bad)) << bad;
    }
    EXPECT_EQ(ipc_sysfs_pci_path("0000:3b:00.0", "vendor"), "/sys/bus/pci/devices/0000:3b:00.0/vendor");
}

}  // namespace
