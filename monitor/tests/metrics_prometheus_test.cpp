// the metrics endpoint as a Prometheus server sees it: orlixmon on an
// emulated host (orlix-cardsim run --control) scraped by Debian's prometheus
// with the shipped alerts loaded, read back through the server's HTTP API

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "monitor/tests/monitor_test_util.h"

namespace fs = std::filesystem;
using std::chrono::seconds;

namespace {

std::string env_or(const char* name, const char* fallback)
{
    const char* v = getenv(name);
    return v ? v : fallback;
}

class MetricsPrometheus : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0) {
            GTEST_SKIP() << "orlixmon runs as root only";
        }
        bin = test_private_daemon(dir, "omprm");
        ASSERT_FALSE(bin.empty());
        fs::create_directory(dir.file("log"));
        fs::create_directory(dir.file("telemetry"));
    }

    void TearDown() override
    {
        stop_monitor();
        if (prometheus) {
            prometheus->signal(SIGTERM);
            if (!prometheus->wait(scaled(20))) {
                prometheus->signal(SIGKILL);
            }
            prometheus.reset();
        }
    }

    // the daemon's configuration; metrics is the JSON value of the key, none when empty
    void write_config(const std::string& metrics)
    {
        test_write_file(dir.file("orlixmon.json"), R"({
            "log_dir": ")" + dir.file("log") + R"(", "telemetry_dir": ")" + dir.file("telemetry") + R"(",
            "worker_wait": "sleep",)" + (metrics.empty() ? "" : "\"metrics\": " + metrics + ",") + R"(
            "filter": {
              "card": {"liveness_poll_interval": 1000000},
              "lif": {"poll_interval": 200000, "counters": [
                {"counter": "tx_rdma_unicast_bytes", "cumulative": true, "action": {"stats_record": true}}]},
              "port": {"poll_interval": 200000, "counters": [
                {"counter": "frames_rx_ok", "cumulative": true, "action": {"stats_record": true}}]}}})");
    }

    // the daemon on a host of two emulated cards whose faults the fifo sets;
    // the shell records the daemon's pid and becomes it
    void start_monitor()
    {
        fs::remove(dir.file("daemon.pid"));
        fs::remove(dir.file("log") + "/orlixmon.log");  // a start's lines are its own
        const std::string script = "echo $$ > '" + dir.file("daemon.pid") + "'; exec '" + bin + "' -c '" +
                                   dir.file("orlixmon.json") + "'";
        cardsim = std::make_unique<test_process>(
            std::vector<std::string>{build + "/emulator/orlix-cardsim", "run", "--control", dir.file("control"), "--",
                                     "sh", "-c", script},
            dir.path());
        ASSERT_TRUE(cardsim->started());
        ASSERT_TRUE(test_wait_until(
            [&] { return test_read_file(dir.file("daemon.pid")).find('\n') != std::string::npos; }, scaled(20)))
            << cardsim->err();
        daemon_pid = atoi(test_read_file(dir.file("daemon.pid")).c_str());
        ASSERT_GT(daemon_pid, 0);
        // the emulator prints its cards first: "card N: ADDRESS serial ..."
        for (int c = 0; c < 2; c++) {
            std::string tag = "card " + std::to_string(c) + ": ";
            ASSERT_TRUE(test_wait_until([&] { return has(cardsim->err(), tag); }, scaled(20)))
                << cardsim->err();
            std::string err = cardsim->err();
            size_t at = err.find(tag) + tag.size();
            address[c] = err.substr(at, err.find(' ', at) - at);
        }
    }

    bool daemon_running() const
    {
        return daemon_pid > 0 && test_read_file("/proc/" + std::to_string(daemon_pid) + "/comm") ==
                                     fs::path(bin).filename().string() + "\n";
    }

    // SIGTERM to the daemon (the emulator ends with it), SIGKILL when it does not go
    void stop_monitor()
    {
        if (!cardsim) {
            return;
        }
        if (daemon_running()) {
            kill(daemon_pid, SIGTERM);
        }
        if (!cardsim->wait(scaled(30))) {
            ADD_FAILURE() << "the monitor did not stop on SIGTERM";
            if (daemon_running()) {
                kill(daemon_pid, SIGKILL);
            }
            if (!cardsim->wait(scaled(10))) {
                cardsim->signal(SIGKILL);
            }
        }
        daemon_pid = -1;
    }

    bool monitoring_both() const
    {
        std::string log = test_read_file(dir.file("log") + "/orlixmon.log");
        return log.find("Starting to monitor " + address[0]) != std::string::npos &&
               log.find("Starting to monitor " + address[1]) != std::string::npos;
    }

    // an instant query; one "LABEL VALUE" line per series, sorted, LABEL the
    // value of the series' label `by`
    std::string query(const std::string& promql, const std::string& by = "address") const
    {
        return shell("curl -sf --max-time 5 http://127.0.0.1:" + std::to_string(prometheus_port) +
                     "/api/v1/query --data-urlencode 'query=" + promql + "' | jq -r '.data.result[] | (.metric." + by +
                     " // \"\") + \" \" + .value[1]' 2>/dev/null | sort");
    }
    bool wait_query(const std::string& promql, const std::string& want, const std::string& by = "address",
                    int secs = 60) const
    {
        return test_wait_until([&] { return query(promql, by) == want; }, scaled(secs));
    }

    void control(const std::string& line)
    {
        // the emulator holds the fifo open for reading and writing: no wait here
        int fd = open(dir.file("control").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fd, 0) << "no control fifo: " << strerror(errno);
        std::string text = line + "\n";
        EXPECT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
        close(fd);
        const std::string done = "control: " + line + ": done";
        EXPECT_TRUE(test_wait_until([&] { return has(cardsim->err(), done); }, scaled(20))) << cardsim->err();
    }

    const std::string build = env_or("ORLIX_BUILD_DIR", ".");
    const std::string source = env_or("ORLIX_SOURCE_DIR", ".");
    test_temp_dir dir{"orlixmon-prom"};
    std::string bin;
    std::unique_ptr<test_process> cardsim, prometheus;
    pid_t daemon_pid = -1;
    std::string address[2];
    int prometheus_port = -1;
};

TEST_F(MetricsPrometheus, ServerScrapesBothCardsAndSeesOneGoDown)
{
    int monitor_port = test_free_tcp_port();
    prometheus_port = test_free_tcp_port();
    for (int i = 0; i < 10 && prometheus_port == monitor_port; i++) {
        prometheus_port = test_free_tcp_port();
    }
    ASSERT_GT(monitor_port, 0);
    ASSERT_GT(prometheus_port, 0);
    ASSERT_NE(monitor_port, prometheus_port);
    const std::string target = "127.0.0.1:" + std::to_string(monitor_port);
    write_config("{\"listen\": \"" + target + "\"}");
    start_monitor();
    std::string text;
    ASSERT_TRUE(scrape_until(monitor_port, text, [](const std::string& t) { return has(t, "orlix_build_info{version="); }, 30))
        << cardsim->err();

    // the server as a fleet runs it, scraping every second, with the shipped alerts
    test_write_file(dir.file("prometheus.yml"), "global:\n"
                                                "  scrape_interval: 1s\n"
                                                "  scrape_timeout: 1s\n"
                                                "  evaluation_interval: 1s\n"
                                                "rule_files:\n"
                                                "  - " + source + "/deploy/prometheus/orlixmon-alerts.yml\n"
                                                "scrape_configs:\n"
                                                "  - job_name: orlixmon\n"
                                                "    static_configs:\n"
                                                "      - targets: [\"" + target + "\"]\n");
    prometheus = std::make_unique<test_process>(
        std::vector<std::string>{"/usr/bin/prometheus", "--config.file=" + dir.file("prometheus.yml"),
                                 "--web.listen-address=127.0.0.1:" + std::to_string(prometheus_port),
                                 "--storage.tsdb.path=" + dir.file("tsdb"), "--log.level=warn"},
        dir.path());
    ASSERT_TRUE(prometheus->started());
    ASSERT_TRUE(test_wait_until([&] { return shell("curl -sf --max-time 2 http://127.0.0.1:" +
                                                   std::to_string(prometheus_port) + "/-/ready") != ""; },
                                scaled(60)))
        << prometheus->err();

    EXPECT_EQ(listening_ports_of(daemon_pid), std::vector<int>{monitor_port}) << "one listening socket, on its port";

    // a scrape that the server took whole: the target is up, both cards too
    EXPECT_TRUE(wait_query("up{job=\"orlixmon\"}", target + " 1\n", "instance")) << prometheus->err();
    const std::string both_up = address[0] + " 1\n" + address[1] + " 1\n";
    ASSERT_TRUE(wait_query("orlix_card_up", both_up)) << query("orlix_card_up") << prometheus->err();
    EXPECT_TRUE(wait_query("count by (address) (orlix_card_info{serial!=\"\",uuid!=\"\"})", both_up));
    // two ports and two LIFs a card, each with its labels, once read
    const std::string two_each = address[0] + " 2\n" + address[1] + " 2\n";
    EXPECT_TRUE(wait_query("count by (address) (orlix_port_frames_rx_ok_total{id!=\"\",name!=\"\"})", two_each))
        << query("orlix_port_frames_rx_ok_total");
    EXPECT_TRUE(wait_query("count by (address) (orlix_lif_tx_rdma_unicast_bytes_total{id!=\"\",name!=\"\"})", two_each))
        << query("orlix_lif_tx_rdma_unicast_bytes_total");
    EXPECT_TRUE(wait_query("count by (address) (orlix_monitor_pass_duration_seconds_count > 0)",
                           address[0] + " 1\n" + address[1] + " 1\n"));

    // the emulated counters run: the stored port counter grows between scrapes
    const std::string frames = "sum by (address) (orlix_port_frames_rx_ok_total{address=\"" + address[0] + "\"})";
    std::string first = query(frames);
    ASSERT_NE(first, "");
    double v0 = atof(first.substr(first.find(' ') + 1).c_str());
    EXPECT_TRUE(test_wait_until(
        [&] {
            std::string now = query(frames);
            return !now.empty() && atof(now.substr(now.find(' ') + 1).c_str()) > v0;
        },
        scaled(30)))
        << first << " stays " << query(frames);
    EXPECT_TRUE(test_wait_until([&] { return query("increase(orlix_port_frames_rx_ok_total[10s]) > 0") != ""; },
                                scaled(30)));

    // card 1 stops answering: down in the server, its alert pending, card 0 untouched
    ASSERT_TRUE(test_wait_until([&] { return monitoring_both(); }, scaled(30)));
    control("hang 1");
    EXPECT_TRUE(wait_query("orlix_card_up", address[0] + " 1\n" + address[1] + " 0\n", "address", 90))
        << query("orlix_card_up") << test_read_file(dir.file("log") + "/orlixmon.log");
    EXPECT_TRUE(wait_query("ALERTS{alertname=\"OrlixCardDown\",alertstate=\"pending\"}", address[1] + " 1\n"))
        << query("ALERTS", "alertname");
    EXPECT_TRUE(wait_query("count by (address) (orlix_card_liveness_failures_total > 0)", address[1] + " 1\n"))
        << query("orlix_card_liveness_failures_total");
    EXPECT_EQ(query("up{job=\"orlixmon\"}", "instance"), target + " 1\n") << "a hung card does not hold up a scrape";
}

}  // namespace
