// the whole daemon, idle: orlixmon with the packaged configuration
// (deploy/orlixmon.json; its poll intervals and worker_wait replaced per run)
// under orlix-cardsim run with 1 to 16 emulated cards. once every card writes
// its stats lines the run measures ORLIX_BENCH_DAEMON_S seconds (default 20)
// of the daemon process: its CPU time (every thread's, from
// /proc/PID/task/*/schedstat: not inflated by other processes' load, unlike
// wall-clock figures), its context switches (wake-ups) and, from the
// timestamps of its stats lines, the mean LIF poll period against the
// configured one (and the period of the grid they sit on, and the instants
// without a line). the emulator's own process is not counted.

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "bench/bench_support.h"
#include "tests/support/process_runner.h"

namespace fs = std::filesystem;

namespace {

struct proc_usage_s {
    int64_t cpu_ns = 0;      // every thread's time on a cpu
    int64_t switches = 0;    // voluntary and involuntary, every thread
    int64_t user_ticks = 0;  // the process's utime and stime (clock ticks)
    int64_t sys_ticks = 0;
};

std::string read_all(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int64_t status_field(const std::string& status, const std::string& key)
{
    size_t at = status.find(key + ":");
    return at == std::string::npos ? 0 : atoll(status.c_str() + at + key.size() + 1);
}

proc_usage_s proc_usage(pid_t pid)
{
    proc_usage_s u;
    const std::string base = "/proc/" + std::to_string(pid);
    std::error_code ec;
    for (const auto& task : fs::directory_iterator(base + "/task", ec)) {
        u.cpu_ns += atoll(read_all(task.path().string() + "/schedstat").c_str());
        std::string status = read_all(task.path().string() + "/status");
        u.switches += status_field(status, "voluntary_ctxt_switches") + status_field(status, "nonvoluntary_ctxt_switches");
    }
    // fields 14 and 15 of stat, after the command name in parentheses
    std::string stat = read_all(base + "/stat");
    size_t close = stat.rfind(')');
    if (close != std::string::npos) {
        std::istringstream rest(stat.substr(close + 2));
        std::string field;
        for (int n = 3; n <= 15 && rest >> field; n++) {
            if (n == 14) {
                u.user_ticks = atoll(field.c_str());
            } else if (n == 15) {
                u.sys_ticks = atoll(field.c_str());
            }
        }
    }
    return u;
}

pid_t child_of(pid_t pid)
{
    std::string children = read_all("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    return static_cast<pid_t>(atoi(children.c_str()));
}

// "YYYY-mm-dd HH:MM:SS.mmm" in milliseconds since an epoch of its own
int64_t stamp_ms(const std::string& t)
{
    int y, mo, d, h, mi, s, ms;
    if (sscanf(t.c_str(), "%d-%d-%d %d:%d:%d.%d", &y, &mo, &d, &h, &mi, &s, &ms) != 7) {
        return -1;
    }
    // days from the civil date (proleptic Gregorian)
    y -= mo <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t days = era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return ((days * 24 + h) * 60 + mi) * 60000 + s * 1000 + ms;
}

// the timestamps of the stats lines of every LIF in the folder's stats files,
// by file and LIF name
std::map<std::string, std::vector<int64_t>> lif_stamps(const std::string& dir)
{
    std::map<std::string, std::vector<int64_t>> out;
    std::error_code ec;
    for (const auto& file : fs::directory_iterator(dir, ec)) {
        const std::string name = file.path().filename().string();
        if (name.find("_stats.log") == std::string::npos || name.find("_stats.log.") != std::string::npos) {
            continue;
        }
        std::ifstream in(file.path());
        for (std::string line; std::getline(in, line);) {
            size_t ts = line.find("\"timestamp\":\"");
            size_t lif = line.find("\"lif\": {");
            size_t nm = line.find("\"name\": \"", lif == std::string::npos ? 0 : lif);
            if (ts == std::string::npos || lif == std::string::npos || nm == std::string::npos) {
                continue;
            }
            std::string lif_name = line.substr(nm + 9, line.find('"', nm + 9) - nm - 9);
            out[name + "/" + lif_name].push_back(stamp_ms(line.substr(ts + 13, 23)));
        }
    }
    return out;
}

size_t files_with_lines(const std::string& dir)
{
    size_t n = 0;
    std::error_code ec;
    for (const auto& file : fs::directory_iterator(dir, ec)) {
        const std::string name = file.path().filename().string();
        if (name.find("_stats.log") != std::string::npos && read_all(file.path().string()).find("\"lif\"") != std::string::npos) {
            n++;
        }
    }
    return n;
}

const char* const k_wait_names[] = {"spin", "sleep", "tickless"};

void BM_DaemonIdle(benchmark::State& state)
{
    const int64_t cards = state.range(0), interval_us = state.range(1) * 1000;
    const char* wait = k_wait_names[state.range(2)];
    if (geteuid() != 0) {
        state.SkipWithError("orlixmon runs as root only");
        return;
    }
    double seconds = 20;
    if (const char* s = getenv("ORLIX_BENCH_DAEMON_S")) {
        seconds = std::max(1.0, atof(s));
    }
    const std::string dir = bench_temp_dir("daemon");
    const std::string log = dir + "/log", telemetry = dir + "/telemetry", cfg = dir + "/orlixmon.json";
    fs::create_directories(log);
    fs::create_directories(telemetry);
    std::string text = read_all(ORLIX_SOURCE_DIR "/deploy/orlixmon.json");
    text = test_replace_all(text, "/var/log/orlixmon", log);
    text = test_replace_all(text, "/var/lib/orlixmon", telemetry);
    text = test_replace_all(text, "\"poll_interval\": 1000000", "\"poll_interval\": " + std::to_string(interval_us));
    text = test_replace_all(text, "\"worker_wait\": \"tickless\"", std::string("\"worker_wait\": \"") + wait + "\"");
    test_write_file(cfg, text);
    // a name of its own: the single-instance check looks for the name
    const std::string daemon = dir + "/orlixmon-bench-" + std::to_string(getpid());
    std::error_code ec;
    fs::copy_file(ORLIX_BUILD_DIR "/monitor/orlixmon", daemon, ec);
    if (ec) {
        state.SkipWithError(("no daemon to copy: " + ec.message()).c_str());
        return;
    }

    proc_usage_s u0, u1;
    std::map<std::string, std::vector<int64_t>> stamps;
    double wall = 0;
    for (auto _ : state) {
        // the emulator builds its own testbed, not this process's
        test_process host({"/usr/bin/env", "-u", "UMOCKDEV_DIR", ORLIX_BUILD_DIR "/emulator/orlix-cardsim", "run",
                           "--cards", std::to_string(cards), "--", daemon, "-c", cfg},
                          dir);
        // the emulator passes a SIGTERM on to the daemon; a SIGKILL (the
        // process runner's last resort) would leave the daemon running
        auto stop = [&] {
            host.signal(SIGTERM);
            return host.wait(std::chrono::seconds(30));
        };
        pid_t pid = 0;
        bool ready = test_wait_until([&] { return (pid = child_of(host.pid())) > 0; }, std::chrono::seconds(20)) &&
                     test_wait_until([&] { return files_with_lines(telemetry) == static_cast<size_t>(cards); },
                                     std::chrono::seconds(60));
        if (!ready) {
            stop();
            state.SkipWithError(("the daemon did not start polling: " + host.err()).c_str());
            return;
        }
        std::this_thread::sleep_for(std::chrono::seconds(2));  // start-up done
        const auto t0 = std::chrono::steady_clock::now();
        u0 = proc_usage(pid);
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        u1 = proc_usage(pid);
        wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (!stop()) {
            state.SkipWithError("the daemon did not stop");
            return;
        }
        stamps = lif_stamps(telemetry);
    }
    const double tick_s = 1.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    const double polls_per_s = static_cast<double>(cards) * 2e6 / static_cast<double>(interval_us);  // LIFs, ports
    const double cpu_s = static_cast<double>(u1.cpu_ns - u0.cpu_ns) / 1e9;
    state.counters["cpu_pct"] = 100.0 * cpu_s / wall;
    state.counters["sys_pct"] = 100.0 * static_cast<double>(u1.sys_ticks - u0.sys_ticks) * tick_s / wall;
    state.counters["wakeups_per_s"] = static_cast<double>(u1.switches - u0.switches) / wall;
    state.counters["polls_per_s"] = polls_per_s;
    state.counters["us_per_poll"] = cpu_s * 1e6 / (polls_per_s * wall);
    // of each LIF's lines: the mean time between two (a folded poll, one
    // that woke more than a period late, makes it longer) and the period of
    // the grid they sit on (the span over the instants it holds); the worst
    // LIF of each, and the instants of all without a line
    double worst = 0, worst_grid = 0, folded = 0;
    size_t series = 0;
    for (const auto& [name, ms] : stamps) {
        if (ms.size() < 3) {
            continue;
        }
        const double span_us = 1000.0 * static_cast<double>(ms.back() - ms.front());
        const double instants = std::round(span_us / static_cast<double>(interval_us));
        double err = 100.0 * (span_us / static_cast<double>(ms.size() - 1) / static_cast<double>(interval_us) - 1.0);
        double grid = 100.0 * (span_us / instants / static_cast<double>(interval_us) - 1.0);
        worst = std::fabs(err) > std::fabs(worst) ? err : worst;
        worst_grid = std::fabs(grid) > std::fabs(worst_grid) ? grid : worst_grid;
        folded += instants + 1 - static_cast<double>(ms.size());
        series++;
    }
    state.counters["period_err_pct"] = worst;
    state.counters["grid_err_pct"] = worst_grid;
    state.counters["folded"] = folded;
    state.counters["lif_series"] = static_cast<double>(series);
}

}  // namespace

// the packaged intervals (1 s) and a hundred times as many polls (10 ms), by
// cards; the packaged intervals in sleep mode for comparison
BENCHMARK(BM_DaemonIdle)
    ->ArgNames({"cards", "interval_ms", "wait"})
    ->ArgsProduct({{1, 2, 8, 16}, {1000, 10}, {2}})
    ->Args({2, 1000, 1})
    ->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
