// one worker pass over one card: every LIF and port read and its counters'
// rules applied, without export (the records are built and dropped)

#include "bench/bench_card.h"
#include "bench/bench_support.h"
#include "monitor/worker.h"

namespace {

void BM_WorkerPass(benchmark::State& state)
{
    cardsim_host* host = bench_host(state);
    if (host == nullptr) {
        return;
    }
    const size_t lifs = static_cast<size_t>(state.range(0));
    const size_t ports = static_cast<size_t>(state.range(1));
    const size_t counters = static_cast<size_t>(state.range(2));
    orlixmon_card_ctxt_s ctxt;
    pipeline_monitor_info_s info;
    bench_card_setup(*host, lifs, ports, counters, ctxt, info, bench_export_none);
    pipeline_reinit();
    // start-up: the first pass grows the previous values and the records
    orlixmon_worker_pass(ctxt, info, 0);
    uint64_t allocs = bench_allocations();
    for (auto _ : state) {
        // pass 0 is one that polls both LIFs and ports
        orlixmon_worker_pass(ctxt, info, 0);
    }
    double passes = static_cast<double>(state.iterations());
    state.counters["allocs_per_pass"] = static_cast<double>(bench_allocations() - allocs) / passes;
    state.counters["objects_x_counters"] = static_cast<double>((lifs + ports) * counters);
    state.counters["ns_per_counter"] =
        benchmark::Counter(static_cast<double>((lifs + ports) * counters),
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK(BM_WorkerPass)
    ->ArgNames({"lifs", "ports", "counters"})
    ->ArgsProduct({{1, 2, 8, 32}, {4}, {1, 9, 32}})
    ->Unit(benchmark::kNanosecond);
