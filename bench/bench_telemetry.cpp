// one telemetry line: building it, and writing it with its flush to a
// card's telemetry file

#include "bench/bench_card.h"
#include "bench/bench_support.h"
#include "monitor/oper_logger.h"
#include "monitor/telemetry_export.h"
#include "monitor/telemetry_jsonl.h"

namespace {

struct line_fixture_s {
    aml_card_handle_s card{"42424f52-5832-3630-3030-303030300000", "0000:3b:00.0"};
    std::string id = "01000000-0000-0000-0000-000000000000", name = "lif0";
    std::vector<orlixmon_telemetry_counter_s> counters;
    orlixmon_telemetry_record_s record{id, name};

    line_fixture_s(uint32_t type, size_t n) : counters(bench_counters("lif", n))
    {
        record.type = type;
        record.record_type = ORLIXMON_RECORD_TYPE_LIF;
        uint64_t value = 1234567890123;
        for (const auto& c : counters) {
            record.counters.push_back({&c, value++});
        }
    }
};

uint32_t type_of(int64_t arg)
{
    return arg == 0 ? ORLIXMON_TELEMETRY_TYPE_STATS : ORLIXMON_TELEMETRY_TYPE_COUNTER_EVENT;
}

void BM_TelemetryLineBuild(benchmark::State& state)
{
    line_fixture_s f(type_of(state.range(0)), static_cast<size_t>(state.range(1)));
    std::string line;
    generate_jsonl_from_telemetry_record(f.card, f.record, line);
    uint64_t allocs = bench_allocations();
    for (auto _ : state) {
        generate_jsonl_from_telemetry_record(f.card, f.record, line);
        benchmark::DoNotOptimize(line.data());
    }
    state.counters["allocs_per_line"] =
        static_cast<double>(bench_allocations() - allocs) / static_cast<double>(state.iterations());
    state.counters["bytes"] = static_cast<double>(line.size());
}

// telemetry_export_cb as the worker calls it: the line built, handed to the
// card's logger and flushed
void BM_TelemetryLineWrite(benchmark::State& state)
{
    line_fixture_s f(type_of(state.range(0)), static_cast<size_t>(state.range(1)));
    std::string dir = bench_temp_dir("lines");
    orlixmon_card_ctxt_s ctxt;
    ctxt.card = f.card;
    ctxt.stats_logger = orlixmon_oper_logger_init(ctxt.card, dir, "stats");
    ctxt.event_logger = orlixmon_oper_logger_init(ctxt.card, dir, "event");
    if (!ctxt.stats_logger || !ctxt.event_logger) {
        state.SkipWithError("telemetry files could not be opened");
        return;
    }
    telemetry_export_cb(ctxt, f.record);
    uint64_t allocs = bench_allocations();
    uint64_t writes = bench_writes();
    for (auto _ : state) {
        telemetry_export_cb(ctxt, f.record);
    }
    double lines = static_cast<double>(state.iterations());
    state.counters["allocs_per_line"] = static_cast<double>(bench_allocations() - allocs) / lines;
    state.counters["writes_per_line"] = static_cast<double>(bench_writes() - writes) / lines;
    ctxt.stats_logger.reset();
    ctxt.event_logger.reset();
    orlixmon_oper_logger_deinit(f.card, "stats");
    orlixmon_oper_logger_deinit(f.card, "event");
}

}  // namespace

// type 0: stats, 1: counter event
BENCHMARK(BM_TelemetryLineBuild)->ArgNames({"event", "counters"})->ArgsProduct({{0, 1}, {1, 9}});
BENCHMARK(BM_TelemetryLineWrite)->ArgNames({"event", "counters"})->ArgsProduct({{0, 1}, {1, 9}});
