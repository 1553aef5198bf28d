// the worker's loop (orlixmon_worker_loop) on its own thread for a while (10 s
// by default, ORLIX_BENCH_SCHEDULE_S) in each waiting mode, on the host as it
// is, beside busy processes or at real-time priority: LIF polls every 10 ms and port polls every 25 ms (2 LIFs, 4
// ports, 9 counters) exporting into telemetry files. the counter readers note
// the start of each poll on the monotonic clock. figures: the thread's CPU
// time over the wall time (percent of one core, for one card) and its
// wake-ups a second; how late the n-th poll of each kind started against its
// instant t0 + n x period; the mean period of each kind against its
// configured one.

#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "bench/bench_card.h"
#include "bench/bench_support.h"
#include "monitor/oper_logger.h"
#include "monitor/orlixmon_schedule.h"
#include "monitor/orlixmon_state.h"
#include "monitor/telemetry_export.h"
#include "monitor/worker.h"

namespace {

constexpr int64_t k_lif_period_ns = 10000000;
constexpr int64_t k_port_period_ns = 25000000;

int64_t thread_cpu_ns()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t tv_ns(const timeval& tv) { return int64_t(tv.tv_sec) * 1000000000 + int64_t(tv.tv_usec) * 1000; }

// the starts of the polls, LIF and port; the worker thread alone writes
std::vector<int64_t> g_lif_polls, g_port_polls;

int lif_read_noted(orlixmon_card_ctxt_s& ctxt, pipeline_monitor_info_s& info, size_t index, uint64_t base,
                   orlixmon_telemetry_record_s& stats, orlixmon_telemetry_record_s& event)
{
    if (index == 0) {
        g_lif_polls.push_back(orlixmon_monotonic_ns());
    }
    return pipeline_lif_counters_read(ctxt, info, index, base, stats, event);
}

int port_read_noted(orlixmon_card_ctxt_s& ctxt, pipeline_monitor_info_s& info, size_t index, uint64_t base,
                    orlixmon_telemetry_record_s& stats, orlixmon_telemetry_record_s& event)
{
    if (index == 0) {
        g_port_polls.push_back(orlixmon_monotonic_ns());
    }
    return pipeline_port_counters_read(ctxt, info, index, base, stats, event);
}

struct schedule_result_s {
    double cpu_pct = 0;
    double sys_pct = 0;  // of it, in the kernel
    double wakeups_per_s = 0;
    std::vector<int64_t> late_ns;  // of every poll against its instant
    double lif_period_err_pct = 0, port_period_err_pct = 0;
    double missed = 0;  // instants with no poll of their own
};

// the lateness of each poll against t0 + n x period, and the mean period's
// relative error
void judge(const std::vector<int64_t>& polls, int64_t t0, int64_t period, int64_t end, schedule_result_s& out,
           double& period_err_pct)
{
    for (size_t n = 0; n < polls.size(); n++) {
        out.late_ns.push_back(polls[n] - (t0 + static_cast<int64_t>(n) * period));
    }
    if (polls.size() > 1) {
        double mean = static_cast<double>(polls.back() - polls.front()) / static_cast<double>(polls.size() - 1);
        period_err_pct = 100.0 * (mean / static_cast<double>(period) - 1.0);
    }
    out.missed += static_cast<double>((end - t0) / period + 1) - static_cast<double>(polls.size());
}

void run_schedule(cardsim_host& host, orlixmon_worker_wait_e mode, double seconds, const std::string& dir,
                  schedule_result_s& out)
{
    orlixmon_card_ctxt_s ctxt;
    pipeline_monitor_info_s info;
    bench_card_setup(host, 2, 4, 9, ctxt, info, telemetry_export_cb);
    info.lif_counters_read = lif_read_noted;
    info.port_counters_read = port_read_noted;
    ctxt.stats_logger = orlixmon_oper_logger_init(ctxt.card, dir, "stats");
    ctxt.event_logger = orlixmon_oper_logger_init(ctxt.card, dir, "event");
    pipeline_reinit();
    g_lif_polls.clear();
    g_port_polls.clear();
    g_lif_polls.reserve(static_cast<size_t>(seconds * 1e9 / k_lif_period_ns) + 100);
    g_port_polls.reserve(static_cast<size_t>(seconds * 1e9 / k_port_period_ns) + 100);
    g_orlixmon_schedule.lif_poll = k_lif_period_ns / ORLIXMON_TICK_NS;
    g_orlixmon_schedule.port_poll = k_port_period_ns / ORLIXMON_TICK_NS;

    // the stop comes from this thread's own timer, as the health checker's would
    std::thread stopper([&ctxt, seconds] {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        std::lock_guard<std::mutex> lock(ctxt.mutex);
        ctxt.stop = true;
        ctxt.cond.notify_all();
    });
    rusage ru0{}, ru1{};
    getrusage(RUSAGE_THREAD, &ru0);
    const int64_t cpu0 = thread_cpu_ns();
    const int64_t t0 = orlixmon_monotonic_ns();
    orlixmon_worker_loop(ctxt, info, mode);
    const int64_t t1 = orlixmon_monotonic_ns();
    const int64_t cpu = thread_cpu_ns() - cpu0;
    getrusage(RUSAGE_THREAD, &ru1);
    stopper.join();

    const double wall = static_cast<double>(t1 - t0);
    out.cpu_pct = 100.0 * static_cast<double>(cpu) / wall;
    out.sys_pct = 100.0 * static_cast<double>(tv_ns(ru1.ru_stime) - tv_ns(ru0.ru_stime)) / wall;
    out.wakeups_per_s = static_cast<double>((ru1.ru_nvcsw - ru0.ru_nvcsw) + (ru1.ru_nivcsw - ru0.ru_nivcsw)) / wall * 1e9;
    out.late_ns.clear();
    out.missed = 0;
    judge(g_lif_polls, t0, k_lif_period_ns, t1, out, out.lif_period_err_pct);
    judge(g_port_polls, t0, k_port_period_ns, t1, out, out.port_period_err_pct);
    ctxt.stats_logger.reset();
    ctxt.event_logger.reset();
    orlixmon_oper_logger_deinit(ctxt.card, "stats");
    orlixmon_oper_logger_deinit(ctxt.card, "event");
}

double percentile_us(std::vector<int64_t> v, double q)
{
    if (v.empty()) {
        return 0;
    }
    size_t k = std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return static_cast<double>(v[k]) / 1000.0;
}

// one busy process per core while it lives, each in a session of its own:
// load from elsewhere on the host, which the scheduler weighs as it weighs
// any other program's (with autogroups, threads of this process would only
// share this process's own part of the machine)
class busy_load {
public:
    explicit busy_load(bool on)
    {
        for (unsigned i = 0; on && i < std::max(1u, std::thread::hardware_concurrency()); i++) {
            pid_t pid = fork();
            if (pid == 0) {
                setsid();
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                for (volatile uint64_t spin = 0;; spin = spin + 1) {
                }
            }
            if (pid > 0) {
                pids_.push_back(pid);
            }
        }
    }
    ~busy_load()
    {
        for (pid_t pid : pids_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

private:
    std::vector<pid_t> pids_;
};

void BM_WorkerSchedule(benchmark::State& state)
{
    cardsim_host* host = bench_host(state);
    if (host == nullptr) {
        return;
    }
    static bool running = [] {
        orlixmon_init_params_s params;
        return g_orlixmon_state.init(&params) == 0;  // the running flag the loop tests
    }();
    if (!running) {
        state.SkipWithError("the monitor state did not start");
        return;
    }
    const auto mode = static_cast<orlixmon_worker_wait_e>(state.range(0));
    double seconds = 10;
    if (const char* s = getenv("ORLIX_BENCH_SCHEDULE_S")) {
        seconds = std::max(0.1, atof(s));
    }
    std::string dir = bench_temp_dir("schedule");
    schedule_result_s r;
    const int64_t setting = state.range(1);
    for (auto _ : state) {
        busy_load load(setting == 1);
        std::thread worker([&] {
            if (setting == 2) {
                // the competition for the cores taken out: what is left is
                // the loop's own lateness (the timer and the wake-up path)
                sched_param param{};
                param.sched_priority = 1;
                if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0) {
                    r.cpu_pct = -1;
                    return;
                }
            }
            run_schedule(*host, mode, seconds, dir, r);
        });
        worker.join();
    }
    if (r.cpu_pct < 0) {
        state.SkipWithError("no real-time priority for the worker thread");
        return;
    }
    state.counters["polls"] = static_cast<double>(r.late_ns.size());
    state.counters["missed"] = r.missed;
    state.counters["cpu_pct"] = r.cpu_pct;
    state.counters["sys_pct"] = r.sys_pct;
    state.counters["wakeups_per_s"] = r.wakeups_per_s;
    state.counters["late_max_us"] = r.late_ns.empty() ? 0 : static_cast<double>(*std::max_element(r.late_ns.begin(), r.late_ns.end())) / 1000.0;
    state.counters["late_p99_us"] = percentile_us(r.late_ns, 0.99);
    state.counters["late_p50_us"] = percentile_us(r.late_ns, 0.50);
    state.counters["lif_period_err_pct"] = r.lif_period_err_pct;
    state.counters["port_period_err_pct"] = r.port_period_err_pct;
}

}  // namespace

// setting 0: the host as it is; 1: beside busy processes; 2: the worker at
// real-time priority (not with spin, which would take a core from the host)
BENCHMARK(BM_WorkerSchedule)
    ->ArgNames({"wait", "setting"})
    ->ArgsProduct({{ORLIXMON_WORKER_WAIT_SPIN, ORLIXMON_WORKER_WAIT_SLEEP, ORLIXMON_WORKER_WAIT_TICKLESS}, {0, 1}})
    ->Args({ORLIXMON_WORKER_WAIT_SLEEP, 2})
    ->Args({ORLIXMON_WORKER_WAIT_TICKLESS, 2})
    ->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
