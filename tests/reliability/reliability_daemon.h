#pragma once

// the fixture of the fault tests that run the daemon: a private copy of it
// on an emulated host, its own log and telemetry folders, a configuration
// with the poll periods the test asks for, and the checks each run ends with

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "emulator/cardsim_host.h"
#include "tests/reliability/reliability_support.h"
#include "tests/support/process_runner.h"

class ReliabilityDaemon : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0) {
            GTEST_SKIP() << "orlixmon runs as root only";
        }
        bin = test_private_daemon(dir, "omrel");
        ASSERT_FALSE(bin.empty());
    }

    void boot(size_t cards)
    {
        host = std::make_unique<cardsim_host>(cardsim_host_options_s{cards, {}, 50});
        ASSERT_TRUE(host->ok()) << host->error();
    }
    // fresh log and telemetry folders (named by tag) and a configuration
    // polling counters every poll_us and liveness every liveness_us
    void configure(const std::string& tag, uint64_t poll_us, uint64_t liveness_us = 200000)
    {
        namespace fs = std::filesystem;
        log_dir = dir.file("log-" + tag);
        telemetry_dir = dir.file("telemetry-" + tag);
        config = dir.file("orlixmon-" + tag + ".json");
        for (const auto& d : {log_dir, telemetry_dir}) {
            fs::remove_all(d);
            fs::create_directory(d);
        }
        const std::string poll = std::to_string(poll_us);
        test_write_file(config, R"({"log_dir": ")" + log_dir + R"(", "telemetry_dir": ")" + telemetry_dir + R"(",
            "worker_wait": "sleep", "filter": {"card": {"liveness_poll_interval": )" + std::to_string(liveness_us) + R"(},
              "lif": {"poll_interval": )" + poll + R"(, "counters": [
                {"counter": "tx_rdma_unicast_bytes", "cumulative": true, "action": {"stats_record": true}}]},
              "port": {"poll_interval": )" + poll + R"(, "counters": [
                {"counter": "frames_tx_ok", "cumulative": true, "action": {"stats_record": true}}]}}})");
    }
    // the daemon with the last configuration, argv put before it (a wrapper
    // such as env, prlimit or valgrind)
    void start(std::vector<std::string> argv = {})
    {
        argv.insert(argv.end(), {bin, "-c", config});
        daemon = std::make_unique<test_process>(argv, dir.path());
        ASSERT_TRUE(daemon->started());
    }
    bool alive() { return kill(daemon->pid(), 0) == 0 && !daemon->wait(std::chrono::milliseconds(0)); }
    // SIGTERM ends it within bound, with status 0 and its farewell; false
    // when it did not
    bool stop_cleanly(std::chrono::milliseconds bound)
    {
        daemon->signal(SIGTERM);
        if (!daemon->wait(bound)) {
            ADD_FAILURE() << "no end after SIGTERM: a worker is stuck";
            return false;
        }
        EXPECT_TRUE(daemon->exited()) << daemon->err();
        EXPECT_EQ(daemon->exit_status(), 0) << daemon->err();
        EXPECT_NE(daemon->out().find("Exiting ORLIX monitor ..."), std::string::npos);
        return daemon->exited() && daemon->exit_status() == 0;
    }

    std::string file(size_t card, const char* kind) const
    {
        return telemetry_dir + "/card_" + host->card(card).card_bdf + "_" + kind + ".log";
    }
    size_t size(size_t card, const char* kind = "stats") const
    {
        std::error_code ec;
        auto n = std::filesystem::file_size(file(card, kind), ec);
        return ec ? 0 : static_cast<size_t>(n);
    }
    std::string events(size_t card) const { return test_read_file(file(card, "event")); }
    std::string trace() const { return test_read_file(log_dir + "/orlixmon.log"); }
    bool monitored(size_t card) const
    {
        return trace().find("Starting to monitor " + host->card(card).card_bdf) != std::string::npos;
    }
    // every telemetry file of every card, its lines checked (not the full
    // device a test may have put in a file's place)
    jsonl_check_s check_files() const
    {
        jsonl_check_s all;
        for (size_t c = 0; c < host->card_count(); c++) {
            for (const char* kind : {"stats", "event"}) {
                if (std::filesystem::is_regular_file(file(c, kind))) {
                    all += reliability_check_jsonl(file(c, kind));
                }
            }
        }
        return all;
    }

    const int scale = test_timeout_scale();
    test_temp_dir dir{"orlix-rel"};
    std::unique_ptr<cardsim_host> host;
    std::unique_ptr<test_process> daemon;
    std::string bin, log_dir, telemetry_dir, config;
};
