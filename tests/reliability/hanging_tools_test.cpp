// lspci, setpci, tar and jq that hang or fail, put first on PATH for the
// call: the product function that runs the tool ends within the shell bound,
// leaves no process of the tool's group and no zombie, and fails with a
// clear error

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <set>
#include <sstream>

#include "fwupdate/fwupdate_shell.h"
#include "fwupdate/fwupdate_archive.h"
#include "ipc/nic_ipc.h"
#include "ipc/shell_command.h"
#include "pal/pal_hw_x86.h"
#include "tests/reliability/reliability_support.h"
#include "tests/support/process_runner.h"

namespace fs = std::filesystem;

namespace {

using clock_type = std::chrono::steady_clock;

constexpr uint32_t k_bound_ms = 300;
// the group gets SIGTERM, then SIGKILL: what ending it may add to the
// bound; a failing tool's call may take k_fail_ms. both grow with a
// sanitizer's slowdown
const long k_end_slack_ms = 2500, k_fail_ms = 2000;
constexpr int k_tries = 3;

struct tool_case_s {
    const char* tool;
    const char* caller;
    // runs the product function; true when it reported failure
    std::function<bool(const test_temp_dir&)> call;
};

class HangingTools : public ::testing::Test {
protected:
    void SetUp() override { old_path = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin"; }
    void TearDown() override
    {
        setenv("PATH", old_path.c_str(), 1);
        ipc_shell_set_default_timeout_ms(0);
    }

    // the stand-in: writes its pid and process group, then hangs or fails
    void fake(const std::string& tool, bool hang)
    {
        std::string path = bin_dir() + "/" + tool;
        test_write_file(path, "#!/bin/sh\necho $$ $(cut -d' ' -f5 /proc/$$/stat) >> '" + dir.file("pids") + "'\n" +
                                  (hang ? "trap '' TERM\nsleep 30\n" : "echo \"" + tool + ": failed\" >&2\nexit 1\n"));
        chmod(path.c_str(), 0755);
        setenv("PATH", (bin_dir() + ":" + old_path).c_str(), 1);
    }
    std::string bin_dir()
    {
        std::string d = dir.file("bin");
        mkdir(d.c_str(), 0755);
        return d;
    }
    // processes of the groups the stand-ins ran in that still run, at most
    // a second after the call (-1: no stand-in ran); a killed one that waits
    // for its new parent (init) to reap it does not count
    int left_running()
    {
        std::istringstream in(test_read_file(dir.file("pids")));
        std::set<pid_t> groups;
        for (pid_t pid = 0, pgrp = 0; in >> pid >> pgrp;) {
            groups.insert(pgrp);
        }
        int alive = 0;
        test_wait_until([&] {
            alive = 0;
            for (const auto& entry : fs::directory_iterator("/proc")) {
                if (entry.path().filename().string().find_first_not_of("0123456789") != std::string::npos) {
                    continue;  // not a process
                }
                std::string stat = test_read_file(entry.path().string() + "/stat");
                std::istringstream fields(stat.substr(std::min(stat.size(), stat.rfind(')') + 1)));
                char state = 0;
                pid_t ppid = 0, group = 0;
                alive += fields >> state >> ppid >> group && groups.count(group) && state != 'Z' && state != 'X';
            }
            return alive == 0;
        }, std::chrono::seconds(1));
        return groups.empty() ? -1 : alive;
    }

    std::string old_path;
    test_temp_dir dir{"orlix-hang"};
};

TEST_F(HangingTools, EachToolIsEndedWithinItsBoundAndTheCallerFails)
{
    test_write_file(dir.file("package.tar"), "not an archive");
    test_write_file(dir.file("MANIFEST"), R"({"package_version": "1.2.3"})");
    const tool_case_s cases[] = {
        {"lspci", "nic_ipc_card_pcie_devices",
         [](const test_temp_dir&) {
             std::vector<std::string> bdfs;
             return nic_ipc_card_pcie_devices(NIC_PCI_VENDOR_ID, NIC_PCI_DEV_RESOURCE, bdfs, 16) < 0;
         }},
        {"setpci", "palx86_init_with_rsc_bdf",
         [](const test_temp_dir&) { return palx86_init_with_rsc_bdf("0000:01:00.0") != 0; }},
        {"tar", "fwupdate_package_list",
         [](const test_temp_dir& d) {
             std::vector<fwupdate_member_s> members;
             return fwupdate_package_list(d.file("package.tar"), members) != 0;
         }},
        {"jq", "manifest_value_get",
         [](const test_temp_dir& d) {
             std::string value;
             return manifest_value_get(".package_version", d.file("MANIFEST"), value) != 0;
         }},
    };
    ipc_shell_set_default_timeout_ms(k_bound_ms);
    for (const auto& c : cases) {
        for (bool hang : {true, false}) {
            int failed = 0, over_bound = 0, zombies = 0, left_running_n = 0, messages = 0;
            long max_ms = 0;
            for (int i = 0; i < k_tries; i++) {
                unlink(dir.file("pids").c_str());
                fake(c.tool, hang);
                testing::internal::CaptureStderr();
                auto start = clock_type::now();
                bool reported = c.call(dir);
                long ms = std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start).count();
                std::string err = testing::internal::GetCapturedStderr();
                setenv("PATH", old_path.c_str(), 1);
                failed += reported;
                max_ms = std::max(max_ms, ms);
                const long scale = test_timeout_scale();
                long bound = hang ? long(k_bound_ms) + k_end_slack_ms * scale : k_fail_ms * scale;
                over_bound += ms > bound;
                zombies += reliability_zombie_child();
                const int alive = left_running();
                EXPECT_EQ(alive, 0) << c.tool << ": the stand-in never ran (-1), or its group lives on";
                left_running_n += std::max(alive, 0);
                // a hanging tool is named on standard error with its bound
                bool named = !hang || (err.find("did not finish within " + std::to_string(k_bound_ms) + " ms") !=
                                           std::string::npos &&
                                       err.find(c.tool) != std::string::npos);
                messages += named;
                EXPECT_TRUE(named) << c.tool << ": " << err;
                EXPECT_TRUE(reported) << c.caller << " did not fail with a " << (hang ? "hanging " : "failing ")
                                      << c.tool;
                EXPECT_LE(ms, bound) << c.tool;
            }
            EXPECT_EQ(zombies, 0) << c.tool;
            reliability_figure(std::string("tool_") + c.tool + (hang ? "_hang" : "_fail"),
                               {{"caller", c.caller}, {"tries", k_tries}, {"caller_failed", failed},
                                {"bound_ms", hang ? k_bound_ms : 0}, {"max_ms", max_ms}, {"over_bound", over_bound},
                                {"message_on_stderr", messages}, {"zombies", zombies}, {"left_running", left_running_n}});
        }
    }
}

}  // namespace
