// the metrics endpoint's cost: a worker pass that publishes its tables, the
// same pass while /metrics is scraped as fast as it goes, the text of one
// scrape, and how long a scrape waits while other clients hold connections
// half open or scrape in a loop

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iterator>
#include <thread>
#include <vector>

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
        // while scraping, the server's and the scraper's allocations would count too
        state.counters["allocs_per_pass"] = static_cast<double>(allocs_after - allocs) / passes;
    }
    state.counters["scrapes"] = scraped;
    state.counters["scrapes_per_s"] = benchmark::Counter(scraped, benchmark::Counter::kIsRate);
    state.counters["failed_scrapes"] = static_cast<double>(failed.load());
}

// cards cards of 32 LIFs and 4 ports, every counter read
orlixmon_metrics_snapshot_s big_snapshot(int64_t cards)
{
    orlixmon_metrics_snapshot_s s;
    s.version = "bench";
    for (int64_t c = 0; c < cards; c++) {
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
    return s;
}

// the families and text of one scrape for cards cards of 32 LIFs and 4 ports
void BM_MetricsScrapeText(benchmark::State& state)
{
    orlixmon_metrics_snapshot_s s = big_snapshot(state.range(0));
    size_t bytes = 0;
    for (auto _ : state) {
        std::string text = orlixmon_metrics_text(s);
        bytes = text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}

void collect_two_big_cards(orlixmon_metrics_snapshot_s& s)
{
    static const orlixmon_metrics_snapshot_s snapshot = big_snapshot(2);
    s = snapshot;
}

enum load_e { LOAD_NONE = 0, LOAD_SLOW = 1, LOAD_LOOPING = 2 };

// the wall time of one whole scrape of two cards (32 LIFs, 4 ports, every
// counter) while, by load: nothing else; 256 connections hold half a
// request (128 from each of two addresses, the most one address may hold);
// 64 clients scrape in a loop from another address
void BM_MetricsScrapeUnderLoad(benchmark::State& state)
{
    const auto load = static_cast<load_e>(state.range(0));
    const int port = test_free_tcp_port();
    orlixmon_metrics_endpoint endpoint(collect_two_big_cards);
    orlixmon_metrics_select_s all;
    std::string error;
    if (port < 0 || !endpoint.start("127.0.0.1:" + std::to_string(port), error, {"", all})) {
        state.SkipWithError(("metrics endpoint: " + error).c_str());
        return;
    }
    std::vector<int> slow;
    if (load == LOAD_SLOW) {
        for (const char* from : {"127.0.0.2", "127.0.0.3"}) {
            for (unsigned i = 0; i < orlixmon_metrics_endpoint::k_connections_per_ip; i++) {
                slow.push_back(test_http_half_request(port, from));
            }
        }
        if (std::count(slow.begin(), slow.end(), -1) > 0) {
            state.SkipWithError("could not open the slow connections");
        }
    }
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> looped{0}, failed{0};
    std::vector<std::thread> loopers;
    for (int i = 0; load == LOAD_LOOPING && i < 64; i++) {
        loopers.emplace_back([&] {
            while (!stop.load()) {
                (test_http_get(port, "/metrics", "127.0.0.4").find("200 OK") != std::string::npos ? looped : failed)
                    .fetch_add(1);
            }
        });
    }
    while (load == LOAD_LOOPING && looped.load() < 64 && failed.load() < 64) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    double max_s = 0;
    uint64_t over_1s = 0, bad = 0;
    const uint64_t looped_before = looped.load();
    const auto began = std::chrono::steady_clock::now();
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        bool ok = test_http_get(port, "/metrics").find("200 OK") != std::string::npos;
        double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(took);
        max_s = std::max(max_s, took);
        over_1s += took > 1.0;
        bad += !ok;
    }
    const double looped_rate = static_cast<double>(looped.load() - looped_before) /
                               std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    stop.store(true);
    for (auto& t : loopers) {
        t.join();
    }
    for (int fd : slow) {
        if (fd >= 0) {
            close(fd);
        }
    }
    if (!slow.empty()) {
        // the server drops them before the next run opens its own
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    state.counters["max_ms"] = max_s * 1e3;
    state.counters["over_1s"] = static_cast<double>(over_1s);
    state.counters["failed"] = static_cast<double>(bad + failed.load());
    state.counters["other_scrapes_per_s"] = looped_rate;
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
// the slow connections last the idle timeout (10 s): a run stays well inside
BENCHMARK(BM_MetricsScrapeUnderLoad)
    ->ArgNames({"load"})
    ->Arg(LOAD_NONE)
    ->Arg(LOAD_SLOW)
    ->Arg(LOAD_LOOPING)
    ->UseManualTime()
    ->MinTime(2.0)
    ->Unit(benchmark::kMillisecond);
