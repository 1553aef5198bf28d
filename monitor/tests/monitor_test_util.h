#pragma once

// what the monitor's tests share: text checks and lines, a shell command's
// output, the value of one sample, scrapes until a condition holds, a
// process's listening ports and the fixture of a private daemon. every
// bound is a plain build's: test_wait_until and test_process::wait scale it

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/http_client.h"
#include "tests/support/process_runner.h"

// the lines of text, without their ends
inline std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// what a shell command prints on standard output
inline std::string shell(const std::string& cmd)
{
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof(buf), p)) > 0;) {
            out.append(buf, n);
        }
        pclose(p);
    }
    return out;
}

// the value of the first sample whose name and labels begin with prefix; -1
// when the text has none
inline double sample(const std::string& text, const std::string& prefix)
{
    for (size_t at = text.find("\n" + prefix); at != std::string::npos; at = text.find("\n" + prefix, at + 1)) {
        std::string line = text.substr(at + 1, text.find('\n', at + 1) - at - 1);
        size_t blank = line.rfind(' ');
        if (blank != std::string::npos) {
            return std::stod(line.substr(blank + 1));
        }
    }
    return -1;
}

// scrapes /metrics of port until done holds for a scrape (kept in text),
// within bound seconds
inline bool scrape_until(int port, std::string& text, const std::function<bool(const std::string&)>& done,
                         int bound = 20)
{
    return test_wait_until([&] { return done(text = test_http_get(port, "/metrics")); }, std::chrono::seconds(bound));
}

// the local ports of the TCP sockets process pid listens on
inline std::vector<int> listening_ports_of(pid_t pid)
{
    std::vector<int> ports;
    std::istringstream lines(shell("ss -Hltnp | grep 'pid=" + std::to_string(pid) + ",'"));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string state, recv_q, send_q, local;
        words >> state >> recv_q >> send_q >> local;
        ports.push_back(atoi(local.substr(local.rfind(':') + 1).c_str()));
    }
    return ports;
}

// a private copy of the daemon (root only) with its log and telemetry
// folders; a subclass's SetUp returns when this one skipped or failed
class monitor_daemon_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0) {
            GTEST_SKIP() << "orlixmon runs as root only";
        }
        bin = test_private_daemon(dir, "om");
        ASSERT_FALSE(bin.empty());
        std::filesystem::create_directory(log_dir());
        std::filesystem::create_directory(telemetry_dir());
    }
    bool set_up_failed() const { return IsSkipped() || HasFatalFailure(); }

    std::string log_dir() const { return dir.file("log"); }
    std::string telemetry_dir() const { return dir.file("telemetry"); }
    std::string trace() const { return test_read_file(log_dir() + "/orlixmon.log"); }

    // bin with args, behind the words of prefix (a wrapper program)
    std::unique_ptr<test_process> start(std::vector<std::string> args, std::vector<std::string> prefix = {})
    {
        prefix.push_back(bin);
        prefix.insert(prefix.end(), args.begin(), args.end());
        return std::make_unique<test_process>(prefix, dir.path());
    }

    test_temp_dir dir{"orlixmon"};
    std::string bin;
};
