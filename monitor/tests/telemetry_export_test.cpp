// the telemetry pass over a card's LIFs and ports

#include <gtest/gtest.h>

#include "monitor/telemetry_export.h"

namespace {

// what the fake reader and export saw, in order
std::vector<std::string> g_calls;
int g_read_fails_at = -1;  // object index whose read fails

int fake_read(orlixmon_card_ctxt_s&, pipeline_monitor_info_s& info, size_t index, uint64_t base,
              orlixmon_telemetry_record_s& stats, orlixmon_telemetry_record_s& event)
{
    g_calls.push_back("read " + std::to_string(index) + " @" + std::to_string(base));
    if (static_cast<int>(index) == g_read_fails_at) {
        return 7;
    }
    // every configured counter reported into the records it names, value = base
    for (const auto& c : info.lif_counters) {
        if (c.stats_record) stats.counters.push_back({&c, base});
        if (c.event_record) event.counters.push_back({&c, base});
    }
    return 0;
}

int fake_export(orlixmon_card_ctxt_s&, orlixmon_telemetry_record_s& record)
{
    g_calls.push_back("export " + *record.name + " type " + std::to_string(record.type) + " rt " +
                      std::to_string(record.record_type));
    return 0;
}

class TelemetryPass : public ::testing::Test {
protected:
    void SetUp() override
    {
        ctxt.card = {"42424142-4300-0000-0000-000000000000", "0000:3b:00.0"};
        ctxt.lifs = {{"id-a", "lif-a", 1, 1000}, {"id-b", "lif-b", 2, 2000}};
        ctxt.ports = {{"id-p", "eth1/1", 0x11010000, 3, 5000, 64}};
        info.export_cb = fake_export;
        info.lif_counters_read = fake_read;
        info.port_counters_read = fake_read;
    }
    orlixmon_card_ctxt_s ctxt;
    pipeline_monitor_info_s info;
};

// stats then event for each object in list order; empty records are not
// exported (one kind empty: WorkerAllocations, ports without event rules);
// a failing read ends the pass with its code
TEST_F(TelemetryPass, RecordsOfEachObjectInListOrder)
{
    using v = std::vector<std::string>;
    const struct {
        bool stats, event;
        int fails_at, rc;
        v calls;
    } cases[] = {
        {true, true, -1, 0,
         {"read 0 @1000", "export lif-a type 1 rt 2", "export lif-a type 3 rt 2", "read 1 @2000",
          "export lif-b type 1 rt 2", "export lif-b type 3 rt 2", "read 0 @5000", "export eth1/1 type 1 rt 3",
          "export eth1/1 type 3 rt 3"}},
        {false, false, -1, 0, {"read 0 @1000", "read 1 @2000", "read 0 @5000"}},
        {true, false, 0, 7, {"read 0 @1000"}},
    };
    for (const auto& c : cases) {
        g_calls.clear();
        g_read_fails_at = c.fails_at;
        info.lif_counters.clear();
        if (c.stats || c.event) {
            info.lif_counters = {{"tx_rdma_unicast_bytes", 384, true, 0, c.event, c.stats}};
        }
        int rc = orlixmon_handle_lif_telemetry(ctxt, info);
        EXPECT_EQ(rc, c.rc);
        if (rc == 0) {
            EXPECT_EQ(orlixmon_handle_port_telemetry(ctxt, info), 0);
        }
        EXPECT_EQ(g_calls, c.calls);
    }
}

}  // namespace
