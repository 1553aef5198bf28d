// shell commands run for the library (quoting, bounds, hanging tools,
// standard error, signals) and the sysfs attribute readers

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "ipc/shell_command.h"
#include "ipc/sysfs_attr.h"
#include "tests/support/process_runner.h"

namespace {

// values stay one word whatever they hold; holes filled in order, extra ones
// kept; status, the bound on stored lines, a signal, a missing program, a
// last line without its end
TEST(ShellCommand, ResultsOfCommands)
{
    EXPECT_EQ(ipc_shell_command("a {} b {} c {}", {"1", "2"}), "a '1' b '2' c {}");
    EXPECT_EQ(ipc_shell_quote("it's"), "'it'\\''s'");
    using v = std::vector<std::string>;
    const struct {
        std::string command;
        size_t max_lines;
        int status;  // -1: ended by a signal
        v lines;
    } cases[] = {
        {"seq 1 1000", 3, 0, {"1", "2", "3"}},
        {"exit 3", SIZE_MAX, 3, {}},
        {"kill -9 $$", SIZE_MAX, -1, {}},
        {"/nonexistent/program 2>/dev/null", SIZE_MAX, 127, {}},
        {"printf 'no newline'", SIZE_MAX, 0, {"no newline"}},
        {ipc_shell_command("printf '%s|%s|%s|%s\\n' {} {} {} {}",
                           {"a b", "x; touch /tmp/orlix-pwned", "$(id)", "`id`"}),
         SIZE_MAX, 0, {"a b|x; touch /tmp/orlix-pwned|$(id)|`id`"}},
        {ipc_shell_command("printf '%s|%s|%s\\n' {} {} {}", {"q'\"", "", "-n"}), SIZE_MAX, 0, {"q'\"||-n"}},
    };
    for (const auto& c : cases) {
        auto r = ipc_shell_run(c.command, c.max_lines);
        EXPECT_TRUE(r.started) << c.command;
        EXPECT_EQ(r.exited, c.status >= 0) << c.command;
        if (c.status >= 0) {
            EXPECT_EQ(r.exit_status, c.status) << c.command;
        }
        EXPECT_EQ(r.ok(), c.status == 0) << c.command;
        EXPECT_EQ(r.lines, c.lines) << c.command;
    }
    EXPECT_FALSE(std::filesystem::exists("/tmp/orlix-pwned"));
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
    // a shell that waits on a child, a command that ignores SIGTERM, one that
    // closed its output but keeps running; what came before the bound is kept
    const std::pair<const char*, std::vector<std::string>> hanging[] = {
        {"sleep 30; echo never", {}}, {"trap '' TERM; sleep 30", {}}, {"exec >/dev/null; sleep 30", {}},
        {"echo first; sleep 30 & sleep 30", {"first"}}};
    for (const auto& [command, lines] : hanging) {
        auto start = clock::now();
        auto r = ipc_shell_run(command, SIZE_MAX, 300);
        auto took = std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - start).count();
        EXPECT_TRUE(r.started && r.timed_out && !r.ok()) << command;
        EXPECT_EQ(r.lines, lines) << command;
        EXPECT_LT(took, 3000 * test_timeout_scale()) << command;
        EXPECT_FALSE(has_zombie_child()) << command;
    }

    // the process-wide bound applies when a call names none
    ipc_shell_set_default_timeout_ms(200);
    EXPECT_TRUE(ipc_shell_run("sleep 30").timed_out);
    ipc_shell_set_default_timeout_ms(0);
    EXPECT_EQ(ipc_shell_default_timeout_ms(), IPC_SHELL_DEFAULT_TIMEOUT_MS);
    EXPECT_FALSE(ipc_shell_run("true").timed_out);
    EXPECT_FALSE(has_zombie_child());
}

std::vector<std::string> g_stderr_seen;

// standard error goes to the callback and the result, bounded, and never to
// this process's own standard error
TEST(ShellCommand, StandardErrorGoesToTheCallbackAndTheResultNotTheTerminal)
{
    ipc_shell_set_stderr_cb([](const std::string& command, const std::string& text) {
        g_stderr_seen.push_back(command + " => " + text);
    });
    test_temp_dir dir("orlix-shell-err");
    int saved = dup(STDERR_FILENO);
    int file = open(dir.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(file, 0);
    dup2(file, STDERR_FILENO);
    const std::pair<const char*, const char*> cases[] = {  // a command, its failure ("" for none)
        {"echo out; echo 'Unable to load libkmod resources' >&2", ""},
        {"echo 'no such device' >&2; exit 2", "exit status 2: no such device"},
        {"head -c 100000 /dev/zero | tr '\\0' x >&2; echo out", ""},
    };
    for (const auto& [command, failure] : cases) {
        auto r = ipc_shell_run(command);
        EXPECT_EQ(r.ok(), *failure == '\0') << command;
        EXPECT_EQ(r.lines, std::vector<std::string>(r.ok() ? 1 : 0, "out")) << command;
        EXPECT_FALSE(r.errors.empty()) << command;
        EXPECT_LE(r.errors.size(), 4096u) << command << ": kept within its bound";
        EXPECT_EQ(r.ok() ? "" : r.failure(), failure);
    }
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(file);
    ipc_shell_set_stderr_cb(nullptr);
    EXPECT_EQ(test_read_file(dir.file("err")), "");
    ASSERT_EQ(g_stderr_seen.size(), 3u);
    EXPECT_EQ(g_stderr_seen[0], std::string(cases[0].first) + " => Unable to load libkmod resources");
}

// the daemon blocks its stop signals in every thread and ignores a few
// others: none of that may reach the tools it runs
TEST(ShellCommand, ChildrenStartWithDefaultSignalsSoAStopReachesThem)
{
    sigset_t stop, old_mask;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, &old_mask);
    auto old_xfsz = signal(SIGXFSZ, SIG_IGN);
    auto old_hup = signal(SIGHUP, SIG_IGN);

    // the C library's own signals (32 up to SIGRTMIN) are its business: it
    // takes them over in every program that uses them
    uint64_t libc_own = 0;
    for (int sig = 32; sig < SIGRTMIN; sig++) {
        libc_own |= uint64_t{1} << (sig - 1);
    }
    auto r = ipc_shell_run("sed -n 's/^Sig\\(Blk\\|Ign\\):\t//p' /proc/self/status");
    ASSERT_EQ(r.lines.size(), 2u) << r.failure();
    EXPECT_EQ(std::stoull(r.lines[0], nullptr, 16) & ~libc_own, 0u) << "blocked: " << r.lines[0];
    EXPECT_EQ(std::stoull(r.lines[1], nullptr, 16) & ~libc_own, 0u) << "ignored: " << r.lines[1];

    // a tool that hangs; the stop goes to its process group, as a service
    // manager or an operator's kill would send it
    test_temp_dir dir("orlix-shell-pid");
    const std::string pid_file = dir.file("pid");
    std::thread stopper([&] {
        test_wait_until([&] { return test_read_file(pid_file).find('\n') != std::string::npos; },
                        std::chrono::seconds(20));
        pid_t pgrp = atoi(test_read_file(pid_file).c_str());
        if (pgrp > 0) {
            kill(-pgrp, SIGTERM);
        }
    });
    r = ipc_shell_run(ipc_shell_command("echo $$ > {}; sleep 30", {pid_file}), SIZE_MAX, 20000 * test_timeout_scale());
    stopper.join();
    EXPECT_TRUE(r.started);
    EXPECT_FALSE(r.timed_out) << "the stop did not reach the hanging tool";
    EXPECT_FALSE(r.exited) << "ended by the signal";

    signal(SIGHUP, old_hup);
    signal(SIGXFSZ, old_xfsz);
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
}

TEST(SysfsFiles, ReadsListsAndRefusesPathSyntax)
{
    test_temp_dir dir("orlix-sysfs");
    for (const auto& [name, text] : {std::pair<const char*, const char*>{"vendor", "0x1e7b\n"}, {"bus", "61\n"},
                                     {"bad", "zz\n"}, {"voskipcdev0", "a\nb\n"}, {"voskipcdev1", ""}}) {
        test_write_file(dir.file(name), text);
    }
    std::string line;
    EXPECT_TRUE(ipc_sysfs_read_line(dir.file("vendor"), line));
    EXPECT_EQ(line, "0x1e7b");
    EXPECT_FALSE(ipc_sysfs_read_line(dir.file("none"), line));
    const struct {
        const char* name;
        int base;
        bool ok;
        uint64_t value;
    } numbers[] = {{"vendor", 16, true, 0x1e7b}, {"bus", 10, true, 61}, {"bad", 16, false, 0}, {"none", 10, false, 0}};
    for (const auto& n : numbers) {
        uint64_t value = 0;
        EXPECT_EQ(ipc_sysfs_read_number(dir.file(n.name), n.base, value), n.ok) << n.name;
        EXPECT_EQ(value, n.value) << n.name;
    }
    std::vector<std::string> names;
    EXPECT_TRUE(ipc_sysfs_read_lines(dir.file("voskipcdev0"), names));
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(ipc_sysfs_match(dir.path(), "voskipcdev*", names));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"voskipcdev0", "voskipcdev1"}));
    EXPECT_TRUE(ipc_sysfs_list(dir.path(), names));
    EXPECT_EQ(names.size(), 5u);
    EXPECT_FALSE(ipc_sysfs_list(dir.file("none"), names));

    for (const char* name : {"0000:3b:00.0", "", ".", "..", "a/b", "x\n"}) {
        EXPECT_EQ(ipc_sysfs_name_ok(name), *name == '0') << name;
    }
    EXPECT_EQ(ipc_sysfs_pci_path("0000:3b:00.0", "vendor"), "/sys/bus/pci/devices/0000:3b:00.0/vendor");
}

}  // namespace
