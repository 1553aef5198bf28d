// the fixture of the orlixctl tests: one shell script per case, run under
// `orlix-cardsim run` so that the tool sees the emulated cards exactly as it
// would see real ones
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
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

// text holds what somewhere
inline bool has(const std::string& text, const std::string& what)
{
    return text.find(what) != std::string::npos;
}

struct run_result {
    int status = -1;
    std::string out, err;
};

class Orlixctl : public ::testing::Test {
protected:
    test_temp_dir dir{"orlixctl"};

    // the script runs with $CTL the tool, private state directories and
    // $WAIT_SCALE, the factor of its own polling bounds (test_timeout_scale());
    // set: control lines in force on the emulated host from the start
    run_result run(const std::string& script, const std::string& cards_opt = "", int seconds = 90,
                   const std::vector<std::string>& set = {})
    {
        std::string env = "export CTL=" + build_dir() + "/tools/orlixctl/orlixctl ORLIXCTL_STATE_DIR=" +
                          dir.file("state") + " ORLIXCTL_CONF_DIR=" + dir.file("conf") +
                          " ORLIXCTL_TELEMETRY_DIR=" + dir.file("tel") + " WAIT_SCALE=" + std::to_string(test_timeout_scale()) +
                          "; mkdir -p " + dir.file("tel") + "; ";
        std::vector<std::string> argv = {build_dir() + "/emulator/orlix-cardsim", "run"};
        if (!cards_opt.empty()) {
            argv.push_back("--cards");
            argv.push_back(cards_opt);
        }
        for (const auto& line : set) {
            argv.insert(argv.end(), {"--set", line});
        }
        argv.insert(argv.end(), {"--", "sh", "-c", env + script});
        test_process p(argv, dir.path());
        EXPECT_TRUE(p.wait(std::chrono::seconds(seconds)));  // scaled by the wait
        return {p.exit_status(), p.out(), p.err()};
    }
};
