// orlixmon as a process: what it prints and how it ends, from start-up
// failures to an orderly stop on a signal

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "monitor/tests/monitor_test_util.h"

namespace fs = std::filesystem;

namespace {

const char* k_root_error =
    "Error - ORLIX monitor requires root privileges, please login as superuser or use sudo\n";

std::string usage(const std::string& argv0)
{
    return "Usage: " + argv0 +
           " [OPTIONS]\n  -h, --help           show this help message\n  -c, --config-file    specify config file\n";
}

// each test runs its own copy of the daemon under a name of its own, so that
// tests running side by side never see each other as "already running"
class Orlixmon : public monitor_daemon_test {
protected:
    // a configuration in the test folder; returns its path
    std::string config(const std::string& log, const std::string& telemetry,
                       const std::string& port_counter = "frames_rx_ok", const std::string& extra = "")
    {
        static int n = 0;
        std::string path = dir.file("config" + std::to_string(n++) + ".json");
        test_write_file(path, R"({"log_dir": ")" + log + R"(", "telemetry_dir": ")" + telemetry + R"(", )" + extra +
                                  R"("filter": {"lif": {"counters": [{"counter": "tx_rdma_unicast_bytes",
                                  "action": {"stats_record": true}}]}, "port": {"counters": [{"counter": ")" +
                                  port_counter + R"(", "action": {"event_record": true}}]}}})");
        return path;
    }
    std::string good_config() { return config(log_dir(), telemetry_dir()); }

    // runs to the end
    std::unique_ptr<test_process> run(std::vector<std::string> args)
    {
        auto p = start(std::move(args));
        EXPECT_TRUE(p->wait()) << "did not end";
        return p;
    }

    // the daemon is up once its health checker has logged
    bool wait_running()
    {
        return test_wait_until([this] { return test_has(trace(), "Starting health monitoring"); });
    }
};

TEST_F(Orlixmon, NonRootIsRefusedBeforeOptionsAreRead)
{
    if (!fs::exists("/usr/bin/setpriv")) {
        GTEST_SKIP() << "no setpriv";
    }
    test_process p({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", bin, "-h"}, dir.path());
    ASSERT_TRUE(p.wait());
    EXPECT_EQ(p.exit_status(), 255);
    EXPECT_EQ(p.err(), k_root_error);
    EXPECT_EQ(p.out(), "");
}

// help, bad options, a missing config file option, and the last -c wins
TEST_F(Orlixmon, CommandLines)
{
    const std::string mandatory = "Error - \"config-file\" is mandatory\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out, err;  // err: a part of standard error, or all of it when it ends a line
    } cases[] = {
        {{"-h"}, 0, usage(bin), ""},
        {{"--help", "ignored"}, 0, usage(bin), ""},
        {{"-x"}, 255, usage(bin), "invalid option"},
        {{"--bogus"}, 255, usage(bin), "unrecognized option"},
        {{"-c"}, 255, usage(bin), "requires an argument"},
        {{}, 255, usage(bin), mandatory},
        {{"-c", ""}, 255, usage(bin), mandatory},
        {{"stray", "words"}, 255, usage(bin), mandatory},
        {{"-c", config(log_dir(), dir.file("first")), "--config-file", config(log_dir(), dir.file("second"))}, 255, "",
         "Telemetry directory " + dir.file("second") + " doesn't exist or not accessible\n"},
    };
    for (const auto& c : cases) {
        auto p = run(c.args);
        const std::string label = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(p->exit_status(), c.status) << label;
        EXPECT_EQ(p->out(), c.out) << label;
        if (c.err.empty() || c.err.back() == '\n') {
            EXPECT_EQ(p->err(), c.err) << label;
        } else {
            EXPECT_NE(p->err().find(c.err), std::string::npos) << label << ": " << p->err();
        }
    }
}

TEST_F(Orlixmon, StartUpFailuresNameTheirCause)
{
    test_write_file(dir.file("plain"), "x");
    std::string trace_blocked = dir.file("blocked");
    fs::create_directories(trace_blocked + "/orlixmon.log");
    // a telemetry folder anyone can write: a link or file could wait at a card's name
    std::string open_tel = dir.file("open");
    fs::create_directories(open_tel);
    chmod(open_tel.c_str(), 01777);
    // the metrics address held by another socket
    int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(holder, 4), 0);
    ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const std::string taken = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    const std::string warned = config(log_dir(), telemetry_dir(), "tx_rdma_unicast_bytes",
                                      R"("metrics": {"listn": "127.0.0.1:1"}, "worker_wait": "sleep", "filtr": 1, )");
    const struct {
        std::string config;
        std::string err;
    } cases[] = {
        {config(dir.file("plain"), telemetry_dir()),
         "Log directory " + dir.file("plain") + " doesn't exist or not accessible\n"},
        {config(dir.file("nolog"), telemetry_dir()),
         "Log directory " + dir.file("nolog") + " doesn't exist or not accessible\n"},
        {config(log_dir(), dir.file("notel")),
         "Telemetry directory " + dir.file("notel") + " doesn't exist or not accessible\n"},
        {config(log_dir(), telemetry_dir(), "tx_rdma_unicast_bytes"),
         "Error - tx_rdma_unicast_bytes is not a valid port counter\nFailed to initiate ORLIX monitor ...\n"},
        {config(trace_blocked, telemetry_dir()), "Failed to create log files, abort...\nFailed to initiate ORLIX monitor ...\n"},
        // a misspelt key is taken as written (the defaults apply) and told; the
        // bad port counter then ends the start
        {warned, "Warning - " + warned + ": unknown key \"metrics.listn\" (did you mean \"metrics.listen\"?)\n" +
                     "Warning - " + warned + ": unknown key \"filtr\" (did you mean \"filter\"?)\n" +
                     "Error - tx_rdma_unicast_bytes is not a valid port counter\nFailed to initiate ORLIX monitor ...\n"},
        {config(log_dir(), telemetry_dir(), "frames_rx_ok", R"("metrics": {"listen": ")" + taken + R"("},)"),
         "Error - cannot listen on " + taken + " for metrics: Address already in use\nFailed to initiate ORLIX monitor ...\n"},
        {config(log_dir(), open_tel), "Directory " + open_tel +
                                          " can be written by other users (mode 1777): it is not a private directory; "
                                          "remove it or choose another directory\n"},
    };
    for (const auto& c : cases) {
        auto p = run({"-c", c.config});
        EXPECT_EQ(p->exit_status(), 255) << c.err;
        EXPECT_EQ(p->err(), c.err);
        EXPECT_EQ(p->out(), "");
    }
    close(holder);
    EXPECT_FALSE(test_has(trace(), "Starting to monitor"));
    EXPECT_TRUE(test_has(trace(),
                    "configuration: unknown key \"metrics.listn\" (did you mean \"metrics.listen\"?)"))
        << "the warning in the trace too";
    // a file that is not there (files that are not JSON or say too much: ConfigFile)
    auto none = run({"-c", dir.file("none.json")});
    EXPECT_EQ(none->exit_status(), 255);
    EXPECT_TRUE(test_has(none->err(), dir.file("none.json")) && none->err().back() == '\n') << none->err();
}

// a running daemon refuses a second one, and ends on SIGTERM and SIGINT
TEST_F(Orlixmon, SecondInstanceIsRefusedAndStopSignalsEndItCleanly)
{
    for (int signo : {SIGTERM, SIGINT}) {
        auto p = start({"-c", good_config()});
        ASSERT_TRUE(wait_running()) << trace() << p->err();
        // no metrics key: no TCP listening socket (umockdev's and netlink ones are not TCP)
        EXPECT_EQ(listening_ports_of(p->pid()), std::vector<int>{});
        auto second = run({"-h"});
        EXPECT_EQ(second->exit_status(), 255);
        EXPECT_EQ(second->err(), "Error - " + fs::path(bin).filename().string() + " is already running\n");
        EXPECT_EQ(second->out(), "");
        p->signal(signo);
        ASSERT_TRUE(p->wait());
        EXPECT_TRUE(p->exited());
        EXPECT_EQ(p->exit_status(), 0);
        EXPECT_EQ(p->out(), "Exiting ORLIX monitor ...\n");
        EXPECT_EQ(p->err(), "");
        const std::string log = trace();
        EXPECT_EQ(log.rfind("*** Boot #", 0), 0u);
        EXPECT_TRUE(test_has(log, ") [orlixmon_signal_handler:")) << log;
        EXPECT_TRUE(test_has(log, "received signal " + std::to_string(signo) + ", exiting ...")) << log;
        fs::remove(log_dir() + "/orlixmon.log");
    }
}

}  // namespace
