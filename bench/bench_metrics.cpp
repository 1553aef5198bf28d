// the metrics endpoint's cost: a worker pass that publishes its tables, the
// same pass while /metrics is scraped as fast as it goes, and the text of
// one scrape

#include <atomic>
#include <iterator>
#include <thread>

#include "bench/bench_card.h"
#include "bench/bench_support.h"
#include "monitor/counter_maps.h"
#include "monitor/metrics_endpoint.h"
#include "monitor/worker.h"
#include "tests/support/http_client.h"

namespace {

std::atomic<uint64_t> g_lines{0};

int bench_export_count(orlixmon_card_ctxt_s&, orlixmon_telemetry_record_s&)
{
    g_lines.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

// what the monitor's state does for a scrape, over the benchmark's one card
orlixmon_card_ctxt_s* g_scraped = nullptr;

void collect_bench_card(orlixmon_metrics_snapshot_s& s)
{
    s.version = "bench";
    orlixmon_metrics_card_s card;
    card.address = g_scraped->card.bdf;
    card.uuid = g_scraped->card.uuid;
    card.up = g_scraped->metrics.up.load();
    card.passes = g_scraped->metrics.passes();
    g_scraped->metrics.copy(card.serial, card.firmware_version, card.lifs, card.ports);
    s.cards.push_back(std::move(card));
}

// the pass as the monitor runs it with metrics: whole tables read, the
// configured counters at their table columns
void metrics_setup(orlixmon_card_ctxt_s& ctxt, pipeline_monitor_info_s& info)
{
    info.metrics = true;
    info.lif_counters_read = pipeline_lif_table_read;
    info.port_counters_read = pipeline_port_table_read;
    struct {
        const orlixmon_counter_map_t& map;
        std::vector<uint64_t>& offsets;
        std::vector<orlixmon_telemetry_counter_s>& counters;
    } kinds[] = {{lif_counter_map, info.lif_table_offsets, info.lif_counters},
                 {port_counter_map, info.port_table_offsets, info.port_counters}};
    for (auto& k : kinds) {
        for (const auto& [name, offset] : k.map) {
            k.offsets.push_back(offset);
        }
        for (auto& c : k.counters) {
            c.column = static_cast<size_t>(std::distance(k.map.begin(), k.map.find(c.name)));
        }
    }
    ctxt.metrics.clear_objects();
    for (const auto& lif : ctxt.lifs) {
        ctxt.metrics.add_object(ORLIXMON_METRICS_LIF, lif.id, lif.name, lif_counter_map.size());
    }
    for (const auto& port : ctxt.ports) {
        ctxt.metrics.add_object(ORLIXMON_METRICS_PORT, port.id, port.name, port_counter_map.size());
    }
}

// one whole GET of /metrics; false when it did not get an answer
bool scrape(int port)
{
    return !test_http_get(port, "/metrics").empty();
}

// 2 LIFs, 4 ports, 9 counters each, lines counted; with scrape:1 another
// thread scrapes /metrics as fast as it goes all the while
void BM_WorkerPassMetrics(benchmark::State& state)
{
    cardsim_host* host = bench_host(state);
    if (host == nullptr) {
        return;
    }
    const bool scraping = state.range(0) != 0;
    orlixmon_card_ctxt_s ctxt;
    pipeline_monitor_info_s info;
    bench_card_setup(*host, 2, 4, 9, ctxt, info, bench_export_count);
    metrics_setup(ctxt, info);
    pipeline_reinit();
    g_scraped = &ctxt;

    orlixmon_metrics_endpoint endpoint(collect_bench_card);
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> scrapes{0}, failed{0};
    std::thread scraper;
    if (scraping) {
        const int port = test_free_tcp_port();
        std::string error;
        if (port < 0 || !endpoint.start("127.0.0.1:" + std::to_string(port), error)) {
            state.SkipWithError(("metrics endpoint: " + error).c_str());
            return;
        }
        scraper = std::thread([&, port] {
            while (!stop.load()) {
                (scrape(port) ? scrapes : failed).fetch_add(1);
            }
        });
        // the first answers are in before the passes are timed
        while (scrapes.load() < 3 && failed.load() < 100) {
            std::this_thread::yield();
        }
    }
    orlixmon_worker_pass(ctxt, info, 0);
    const uint64_t lines_before = g_lines.load();
    const uint64_t scrapes_before = scrapes.load();
    const uint64_t allocs = bench_allocations();
    for (auto _ : state) {
        orlixmon_worker_pass(ctxt, info, 0);
    }
    const uint64_t allocs_after = bench_allocations();
    const double scraped = static_cast<double>(scrapes.load() - scrapes_before);
    stop.store(true);
    if (scraper.joinable()) {
        scraper.join();
    }
    const double passes = static_cast<double>(state.iterations());
    state.counters["lines_per_pass"] = static_cast<double>(g_lines.load() - lines_before) / passes;
    if (!scraping) {
        // while scraping, the exposer's and the scraper's allocations would count too
        state.counters["allocs_per_pass"] = static_cast<double>(allocs_after - allocs) / passes;
    }
    state.counters["scrapes"] = scraped;
    state.counters["scrapes_per_s"] = benchmark::Counter(scraped, benchmark::Counter::kIsRate);
    state.counters["failed_scrapes"] = static_cast<double>(failed.load());
}

// the families and text of one scrape for cards cards of 32 LIFs and 4 ports
void BM_MetricsScrapeText(benchmark::State& state)
{
    orlixmon_metrics_snapshot_s s;
    s.version = "bench";
    for (int64_t c = 0; c < state.range(0); c++) {
        orlixmon_metrics_card_s card;
        card.address = "0000:" + std::to_string(20 + c) + ":00.0";
        card.uuid = "42424f52-5832-3630-3030-3030300000" + std::to_string(10 + c);
        card.files = {{"stats", 1, 0}, {"event", 1, 0}};
        for (size_t i = 0; i < BENCH_LIFS_MAX; i++) {
            card.lifs.push_back({"lif-id-" + std::to_string(i), "lif" + std::to_string(i),
                                 std::vector<uint64_t>(lif_counter_map.size(), 123456789), true});
        }
        for (size_t p = 0; p < BENCH_PORTS; p++) {
            card.ports.push_back({"port-id-" + std::to_string(p), "eth1/" + std::to_string(p + 1),
                                  std::vector<uint64_t>(port_counter_map.size(), 987654321), true});
        }
        s.cards.push_back(std::move(card));
    }
    size_t bytes = 0;
    for (auto _ : state) {
        std::string text = orlixmon_metrics_text(s);
        bytes = text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}

}  // namespace

// the scraped and the quiet pass differ by little against the noise of a
// shared machine: three runs each, and the table takes their medians
BENCHMARK(BM_WorkerPassMetrics)
    ->ArgNames({"scrape"})
    ->Arg(0)
    ->Arg(1)
    ->MinTime(2.0)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kNanosecond);
BENCHMARK(BM_MetricsScrapeText)->ArgNames({"cards"})->Arg(2)->Arg(16)->Unit(benchmark::kMicrosecond);
