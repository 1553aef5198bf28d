// the worker's schedule on its own thread for a while (10 s by default,
// ORLIX_BENCH_SCHEDULE_S), as the worker runs it: a pass every 100 us, LIF
// and port polls at their default periods (every 1000th pass) exporting into
// telemetry files, the wait in spin or sleep mode. figures: the thread's CPU
// time over the wall time (percent of one core, for one card) and how late
// each pass woke against its deadline.

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "bench/bench_card.h"
#include "bench/bench_support.h"
#include "monitor/oper_logger.h"
#include "monitor/orlixmon_schedule.h"
#include "monitor/telemetry_export.h"
#include "monitor/worker.h"

namespace {

int64_t thread_cpu_ns()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t tv_ns(const timeval& tv) { return int64_t(tv.tv_sec) * 1000000000 + int64_t(tv.tv_usec) * 1000; }

struct schedule_result_s {
    double cpu_pct = 0;
    double sys_pct = 0;  // of it, in the kernel
    std::vector<int64_t> late_ns;
};

void run_schedule(cardsim_host& host, orlixmon_worker_wait_e mode, double seconds, const std::string& dir,
                  schedule_result_s& out)
{
    orlixmon_card_ctxt_s ctxt;
    pipeline_monitor_info_s info;
    bench_card_setup(host, 2, 4, 9, ctxt, info, telemetry_export_cb);
    ctxt.stats_logger = orlixmon_oper_logger_init(ctxt.card, dir, "stats");
    ctxt.event_logger = orlixmon_oper_logger_init(ctxt.card, dir, "event");
    pipeline_reinit();
    orlixmon_worker_thread_setup(mode);
    out.late_ns.clear();
    out.late_ns.reserve(static_cast<size_t>(seconds * 1e4) + 1000);
    const int64_t wall0 = orlixmon_monotonic_ns();
    const int64_t until = wall0 + static_cast<int64_t>(seconds * 1e9);
    const int64_t cpu0 = thread_cpu_ns();
    rusage ru0{};
    getrusage(RUSAGE_THREAD, &ru0);
    for (uint64_t pass = 0;; pass++) {
        int64_t start = orlixmon_monotonic_ns();
        if (start >= until) {
            break;
        }
        {
            // the worker's look at the card's parking state
            std::lock_guard<std::mutex> lock(ctxt.mutex);
        }
        orlixmon_worker_pass(ctxt, info, pass);
        int64_t deadline = orlixmon_worker_next_deadline(start, orlixmon_monotonic_ns());
        orlixmon_worker_wait_until(deadline, mode);
        if (out.late_ns.size() < out.late_ns.capacity()) {
            out.late_ns.push_back(orlixmon_monotonic_ns() - deadline);
        }
    }
    const int64_t cpu = thread_cpu_ns() - cpu0;
    rusage ru1{};
    getrusage(RUSAGE_THREAD, &ru1);
    const double wall = static_cast<double>(orlixmon_monotonic_ns() - wall0);
    out.cpu_pct = 100.0 * static_cast<double>(cpu) / wall;
    out.sys_pct = 100.0 * static_cast<double>(tv_ns(ru1.ru_stime) - tv_ns(ru0.ru_stime)) / wall;
    ctxt.stats_logger.reset();
    ctxt.event_logger.reset();
    orlixmon_oper_logger_deinit(ctxt.card, "stats");
    orlixmon_oper_logger_deinit(ctxt.card, "event");
}

double percentile_us(std::vector<int64_t>& v, double q)
{
    if (v.empty()) {
        return 0;
    }
    size_t k = std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return static_cast<double>(v[k]) / 1000.0;
}

void BM_WorkerSchedule(benchmark::State& state)
{
    cardsim_host* host = bench_host(state);
    if (host == nullptr) {
        return;
    }
    const auto mode = static_cast<orlixmon_worker_wait_e>(state.range(0));
    double seconds = 10;
    if (const char* s = getenv("ORLIX_BENCH_SCHEDULE_S")) {
        seconds = std::max(0.1, atof(s));
    }
    std::string dir = bench_temp_dir("schedule");
    schedule_result_s r;
    for (auto _ : state) {
        std::thread worker([&] { run_schedule(*host, mode, seconds, dir, r); });
        worker.join();
    }
    state.counters["passes"] = static_cast<double>(r.late_ns.size());
    state.counters["cpu_pct"] = r.cpu_pct;
    state.counters["sys_pct"] = r.sys_pct;
    state.counters["late_max_us"] = r.late_ns.empty() ? 0 : static_cast<double>(*std::max_element(r.late_ns.begin(), r.late_ns.end())) / 1000.0;
    state.counters["late_p99_us"] = percentile_us(r.late_ns, 0.99);
    state.counters["late_p50_us"] = percentile_us(r.late_ns, 0.50);
}

}  // namespace

BENCHMARK(BM_WorkerSchedule)->ArgName("sleep")->Arg(ORLIXMON_WORKER_WAIT_SPIN)->Arg(ORLIXMON_WORKER_WAIT_SLEEP)
    ->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
