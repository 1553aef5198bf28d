// the fixture of the orlixctl tests: one shell script per sequence, run under
// `orlix-cardsim run` so that the tool sees the emulated cards exactly as it
// would see real ones
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/process_runner.h"

inline std::string build_dir()
{
    const char* b = getenv("ORLIX_BUILD_DIR");
    return b ? b : ".";
}

// the functions every script may use. wait_for SECONDS CMD...: CMD every
// 0.1 s until it succeeds, for at most SECONDS times the timeout scale.
// stored N: the version card N keeps for its second bank's SoC image (where
// an install writes while the card runs the first)
constexpr const char* k_ctl_prelude = R"SH(
wait_for() { n=$(( $1 * SCALE * 10 )); shift
    until "$@"; do n=$((n - 1)); [ $n -le 0 ] && { echo "TIMEOUT $*"; return 1; }; sleep 0.1; done; }
stored() { $CTL -j fw show "$1" | jq -r '[.versions.soc[] | select(.name == "Zephyr-B") | .version][0]'; }
)SH";

// "fn 'arg' 'arg'...": a line of a script calling fn, each argument quoted
inline std::string sh_call(const std::string& fn, const std::vector<std::string>& args)
{
    std::string line = fn;
    for (const auto& a : args) {
        line += " '" + test_replace_all(a, "'", "'\\''") + "'";
    }
    return line + "\n";
}

struct run_result {
    int status = -1;
    std::string out, err;
};

class Orlixctl : public ::testing::Test {
protected:
    test_temp_dir dir{"orlixctl"};

    // the script runs in the test's own folder with $CTL the tool, private
    // state directories and the prelude; set: control lines in force on the emulated host from the start
    run_result run(const std::string& script, int seconds = 90, const std::vector<std::string>& set = {})
    {
        const std::string env = "export CTL=" + build_dir() + "/tools/orlixctl/orlixctl ORLIXCTL_STATE_DIR=" +
                                dir.file("state") + " ORLIXCTL_CONF_DIR=" + dir.file("conf") +
                                " ORLIXCTL_TELEMETRY_DIR=" + dir.file("tel") +
                                " SCALE=" + std::to_string(test_timeout_scale()) + "; mkdir -p " + dir.file("tel") +
                                "\n" + sh_call("cd", {dir.path()}) + k_ctl_prelude;
        std::vector<std::string> argv = {build_dir() + "/emulator/orlix-cardsim", "run"};
        for (const auto& line : set) {
            argv.insert(argv.end(), {"--set", line});
        }
        argv.insert(argv.end(), {"--", "sh", "-c", env + script});
        test_process p(argv, dir.path());
        EXPECT_TRUE(p.wait(std::chrono::seconds(seconds)));
        return {p.exit_status(), p.out(), p.err()};
    }

    // the shared check: each text in the output, the output shown when not
    static void expect_all(const run_result& r, const std::vector<std::string>& texts)
    {
        EXPECT_EQ(r.status, 0) << r.err;
        for (const auto& t : texts) {
            EXPECT_TRUE(test_has(r.out, t)) << "missing: " << t << "\n" << r.out << r.err;
        }
        EXPECT_FALSE(test_has(r.out, "TIMEOUT")) << r.out;
    }
};
