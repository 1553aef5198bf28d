// a worker pass without export allocates nothing once it has run once: the
// records, the previous values and the counter lists keep their storage.
// every operator new of this binary is counted.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "emulator/cardsim_host.h"
#include "ipc/nic_ipc.h"
#include "monitor/counter_maps.h"
#include "monitor/pipeline.h"
#include "monitor/worker.h"
#include "pal/pal.h"

namespace {

std::atomic<uint64_t> g_allocations{0};

}  // namespace

void* operator new(std::size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

// what the export saw: records and reported values, without allocating
struct export_seen_s {
    uint64_t stats = 0, events = 0, values = 0, sum = 0;
};
export_seen_s g_seen;

int counting_export(orlixmon_card_ctxt_s&, orlixmon_telemetry_record_s& record)
{
    (record.type == ORLIXMON_TELEMETRY_TYPE_STATS ? g_seen.stats : g_seen.events)++;
    for (const auto& c : record.counters) {
        g_seen.values++;
        g_seen.sum += c.value;
    }
    return 0;
}

class WorkerAllocations : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(host.ok()) << host.error();
        const cardsim_card_info_s& card = host.card(0);
        ctxt.card = {nic_ipc_uuid_from_serial(card.serial), card.card_bdf};
        ASSERT_EQ(orlixmon_card_sdk_init(&ctxt.card), 0);
        for (size_t i = 0; i < 2; i++) {
            ctxt.lifs.push_back({"lif-id-" + std::to_string(i), "lif" + std::to_string(i), uint16_t(i + 1),
                                 cardsim_lif_block(i)});
        }
        for (uint32_t p = 1; p <= 4; p++) {
            ctxt.ports.push_back({"port-id-" + std::to_string(p), "eth1/" + std::to_string(p),
                                  cardsim_ifindex(CARDSIM_IFTYPE_ETH, 1, p), uint16_t(p), CARDSIM_PORT_REGION,
                                  CARDSIM_PORT_REGION_SIZE});
        }
        init_pipeline(false);
        pipeline_reinit();
    }

    // every LIF counter and every port counter: deltas into both records,
    // cumulative values into stats, one behind a threshold; with metrics the
    // passes read whole tables
    void init_pipeline(bool metrics)
    {
        pipeline_init_params_s params;
        for (const auto& [name, offset] : lif_counter_map) {
            params.lif_counters.push_back({name, false, params.lif_counters.empty() ? 1u : 0u, true, true});
        }
        for (const auto& [name, offset] : port_counter_map) {
            params.port_counters.push_back({name, true, 0, false, true});
        }
        info = {};
        ASSERT_EQ(pipeline_init(&params, &info, metrics), 0);
        info.export_cb = counting_export;
        g_seen = {};
    }

    // a stats and an event record per LIF, a stats record per port, each
    // with its counters
    void expect_work(uint64_t passes)
    {
        const uint64_t lifs = ctxt.lifs.size(), ports = ctxt.ports.size();
        EXPECT_EQ(g_seen.stats, passes * (lifs + ports));
        EXPECT_EQ(g_seen.events, passes * lifs);
        EXPECT_EQ(g_seen.values, passes * (lifs * lif_counter_map.size() * 2 + ports * port_counter_map.size()));
        EXPECT_GT(g_seen.sum, 0u);
        g_seen = {};
    }

    // allocations made inside passes passes, the counters moving between them
    uint64_t allocations_over(size_t passes)
    {
        uint64_t total = 0;
        for (size_t i = 0; i < passes; i++) {
            host.tick();
            uint64_t before = g_allocations.load();
            orlixmon_worker_pass(ctxt, info, 0);
            total += g_allocations.load() - before;
        }
        return total;
    }

    // one host for the binary: the test thread binds to its card once
    static cardsim_host& shared_host()
    {
        static cardsim_host h{{1, {}, 0}};
        return h;
    }
    cardsim_host& host = shared_host();
    orlixmon_card_ctxt_s ctxt;
    pipeline_monitor_info_s info;
};

// the first pass grows the previous values and records; then nothing while
// the passes do their work. a LIF added by rediscovery allocates its
// previous values once, then no more. with the metrics endpoint the passes
// read whole tables and publish them: still nothing allocated, the rules
// see what they saw, and the published totals are the card's
TEST_F(WorkerAllocations, PassesAfterTheFirstAllocateNothing)
{
    orlixmon_worker_pass(ctxt, info, 0);
    g_seen = {};
    EXPECT_EQ(allocations_over(300), 0u);
    expect_work(300);
    {
        std::lock_guard<std::mutex> lock(ctxt.lists_mutex);
        ctxt.lifs.push_back({"lif-id-2", "lif2", 3, cardsim_lif_block(2)});
    }
    EXPECT_GT(allocations_over(1), 0u) << "the new LIF's previous values";
    EXPECT_EQ(allocations_over(300), 0u);
    g_seen = {};
    ctxt.lifs.pop_back();  // the emulated card has two: the third's counters stand still

    init_pipeline(true);
    for (const auto& lif : ctxt.lifs) {
        ctxt.metrics.add_object(ORLIXMON_METRICS_LIF, lif.id, lif.name, lif_counter_map.size());
    }
    for (const auto& port : ctxt.ports) {
        ctxt.metrics.add_object(ORLIXMON_METRICS_PORT, port.id, port.name, port_counter_map.size());
    }
    orlixmon_worker_pass(ctxt, info, 0);
    g_seen = {};
    EXPECT_EQ(allocations_over(300), 0u) << "publishing metrics";
    expect_work(300);

    std::string serial, version;
    std::vector<orlixmon_metrics_object_s> lifs, ports;
    ctxt.metrics.copy(serial, version, lifs, ports);
    ASSERT_EQ(lifs.size(), 2u);
    ASSERT_EQ(ports.size(), 4u);
    size_t column = 0;
    for (const auto& [name, offset] : lif_counter_map) {
        uint64_t on_card = 0;
        ASSERT_EQ(sdk::lib::pal_mem_read(ctxt.lifs[1].stats_addr + offset, reinterpret_cast<uint8_t*>(&on_card), 8, 0),
                  sdk::lib::PAL_RET_OK);
        EXPECT_TRUE(lifs[1].read);
        EXPECT_EQ(lifs[1].values[column++], on_card) << name;
    }
}

}  // namespace
