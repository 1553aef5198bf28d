// the configuration file: every key read or defaulted, and files that are
// refused with the key named; the counter rules resolved against the tables

#include <gtest/gtest.h>

#include <functional>

#include "monitor/counter_maps.h"
#include "monitor/orlixmon_config.h"
#include "monitor/pipeline.h"
#include "tests/support/process_runner.h"

namespace {

using params_t = const orlixmon_init_params_s&;

class ConfigFile : public ::testing::Test {
protected:
    // parses text; the stderr of the parser lands in err
    int parse(const std::string& text)
    {
        test_write_file(path, text);
        params = orlixmon_init_params_s{};
        testing::internal::CaptureStderr();
        int rc = parse_config_from_json(path, params);
        err = testing::internal::GetCapturedStderr();
        return rc;
    }

    // extra keys beside a filter of these lif rules and no port rules
    static std::string with_lif_rules(const std::string& rules, const std::string& extra = "")
    {
        return "{" + extra + R"("filter": {"lif": {"counters": [)" + rules + R"(]}, "port": {"counters": []}}})";
    }
    static std::string with(const std::string& extra) { return with_lif_rules("", extra); }

    test_temp_dir dir{"orlix-config"};
    const std::string path = dir.file("orlixmon.json");
    std::string err;
    orlixmon_init_params_s params;
};

TEST_F(ConfigFile, EveryKeyIsReadOrDefaulted)
{
    const struct {
        const char* what;
        std::string json;
        std::function<void(params_t)> check;
    } cases[] = {
        {"defaults", with(""), [](params_t p) {
             EXPECT_EQ(p.log_dir, "/var/log");
             EXPECT_EQ(p.telemetry_dir, "/var/run");
             EXPECT_EQ(p.liveness_poll_interval, 1000000u);
             EXPECT_EQ(p.lif_poll_interval, 100000u);
             EXPECT_EQ(p.port_poll_interval, 100000u);
             EXPECT_TRUE(p.lif_counters.empty() && p.port_counters.empty() && p.card_counters.empty());
             EXPECT_EQ(p.worker_wait, ORLIXMON_WORKER_WAIT_SPIN);
             EXPECT_EQ(p.metrics_listen, "") << "no key: no endpoint";
             EXPECT_FALSE(p.metrics_all_counters) << "the configured counters by default";
             EXPECT_EQ(p.metrics_transceiver_interval, 60000000u) << "a minute by default";
         }},
        {"every key of a rule", R"({"log_dir": "/l", "telemetry_dir": "/t",
            "filter": {"card": {"liveness_poll_interval": "2000000"},
                       "lif": {"poll_interval": 300000, "counters": [
                           {"counter": "tx_rdma_unicast_bytes", "cumulative": false,
                            "threshold": {"value": 100}, "action": {"event_record": "true"}}]},
                       "port": {"poll_interval": 200, "counters": [
                           {"counter": "frames_rx_ok", "action": {"stats_record": true, "event_record": true}}]}}})",
         [](params_t p) {
             EXPECT_EQ(p.log_dir, "/l");
             EXPECT_EQ(p.telemetry_dir, "/t");
             EXPECT_EQ(p.liveness_poll_interval, 2000000u);
             EXPECT_EQ(p.lif_poll_interval, 300000u);
             EXPECT_EQ(p.port_poll_interval, 200u);
             ASSERT_EQ(p.lif_counters.size(), 1u);
             const auto& lif = p.lif_counters[0];
             EXPECT_EQ(lif.counter, "tx_rdma_unicast_bytes");
             EXPECT_TRUE(!lif.cumulative && lif.threshold == 100 && lif.event_record && !lif.stats_record);
             ASSERT_EQ(p.port_counters.size(), 1u);
             EXPECT_TRUE(p.port_counters[0].cumulative && p.port_counters[0].stats_record &&
                         p.port_counters[0].event_record);
         }},
        {"booleans true only when written true; a repeated counter keeps both rules in order",
         with_lif_rules(R"({"counter": "a", "cumulative": false, "action": {"stats_record": true}},
                           {"counter": "a", "cumulative": "false", "action": {"stats_record": true}},
                           {"counter": "c", "action": {"stats_record": true}},
                           {"counter": "d", "cumulative": "True", "action": {"stats_record": true}})"),
         [](params_t p) {
             ASSERT_EQ(p.lif_counters.size(), 4u);
             EXPECT_EQ(p.lif_counters[0].counter, "a");
             EXPECT_EQ(p.lif_counters[1].counter, "a");
             EXPECT_TRUE(!p.lif_counters[0].cumulative && !p.lif_counters[1].cumulative &&
                         p.lif_counters[2].cumulative && !p.lif_counters[3].cumulative);
         }},
        {"bad numbers fall back to their defaults; a minus sign wraps", R"({"filter": {
            "card": {"liveness_poll_interval": "12 s"},
            "lif": {"poll_interval": "fast", "counters": [{"counter": "a", "threshold": {"value": "lots"},
                    "action": {"stats_record": true}}]},
            "port": {"poll_interval": "-1", "counters": []}}})",
         [](params_t p) {
             EXPECT_EQ(p.liveness_poll_interval, 1000000u);
             EXPECT_EQ(p.lif_poll_interval, 100000u);
             EXPECT_EQ(p.lif_counters[0].threshold, 0u);
             EXPECT_EQ(p.port_poll_interval, UINT64_MAX);
         }},
        {"metrics keys", with(R"("metrics": {"listen": ":9478", "counters": "all", "web_config_file": "/etc/web.yml",
                                             "transceiver_interval": 1000000},)"),
         [](params_t p) {
             EXPECT_EQ(p.metrics_listen, ":9478");
             EXPECT_TRUE(p.metrics_all_counters);
             EXPECT_EQ(p.metrics_web_config_file, "/etc/web.yml");
             EXPECT_EQ(p.metrics_transceiver_interval, 1000000u);
         }},
        {"sleep", with(R"("worker_wait": "sleep",)"), [](params_t p) { EXPECT_EQ(p.worker_wait, ORLIXMON_WORKER_WAIT_SLEEP); }},
        {"tickless", with(R"("worker_wait": "tickless",)"),
         [](params_t p) { EXPECT_EQ(p.worker_wait, ORLIXMON_WORKER_WAIT_TICKLESS); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(parse(c.json), 0) << err;
        EXPECT_EQ(err, "");
        c.check(params);
    }
}

TEST_F(ConfigFile, BadFilesAreRefusedWithTheKeyNamed)
{
    const struct {
        std::string json;
        const char* error;  // the start of what standard error says
    } cases[] = {
        {with_lif_rules(R"({"counter": "rx_rdma_unicast_bytes"})"),
         "Error - Neither event record nor stats record is selected for lif counter rx_rdma_unicast_bytes\n"},
        {R"({"filter": {"lif": {"counters": []}, "port": {"counters": [
            {"counter": "frames_tx_ok", "action": {"stats_record": "True", "event_record": "1"}}]}}})",
         "Error - Neither event record nor stats record is selected for port counter frames_tx_ok\n"},
        {R"({"filter": {"lif": {"poll_interval": 99, "counters": []}, "port": {"counters": []}}})",
         "Error - filter.lif.poll_interval must be at least 100 microseconds, got 99\n"},
        {R"({"filter": {"card": {"liveness_poll_interval": 0}, "lif": {"counters": []}, "port": {"counters": []}}})",
         "Error - filter.card.liveness_poll_interval"},
        {R"({"filter": {"lif": {"counters": []}}})", "No such node (filter.port.counters)"},
        {with_lif_rules(R"({"action": {"stats_record": true}})"), "No such node (counter)"},
        {"{\"filter\": ", ""},
        {with(R"("metrics": {"listen": 9478},)"), "Error - metrics.listen"},
        {with(R"("metrics": {"listen": "example.org:9478"},)"), "Error - metrics.listen"},
        {with(R"("metrics": {"listen": ":9478", "counters": "some"},)"), "Error - metrics.counters"},
        {with(R"("metrics": {"listen": ":9478", "web_config_file": ""},)"), "Error - metrics.web_config_file"},
        {with(R"("metrics": {"listen": ":9478", "web_config_file": "web.yml"},)"), "Error - metrics.web_config_file"},
        {with(R"("metrics": {"transceiver_interval": 999999},)"), "Error - metrics.transceiver_interval"},
        {with(R"("metrics": {"transceiver_interval": 86400000001},)"), "Error - metrics.transceiver_interval"},
        {with(R"("metrics": {"transceiver_interval": "-1"},)"), "Error - metrics.transceiver_interval"},
        {with(R"("worker_wait": "Tickless",)"), "Error - "},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse(c.json), 255) << c.json;
        EXPECT_EQ(err.rfind(c.error, 0), 0u) << c.json << ": " << err;
        EXPECT_TRUE(!err.empty() && err.back() == '\n') << c.json << ": " << err;
    }
    EXPECT_NE(err.find("\"Tickless\""), std::string::npos) << err;
}

// the rules resolved against the counter tables: offsets and record types;
// with metrics every table counter is read, the columns naming each
// configured counter's place in its table; names of another kind refused
TEST(PipelineInit, ResolvesTheRulesAndRejectsNamesOfTheOtherKind)
{
    auto rule = [](const char* name) {
        orlixmon_telemetry_counter_cfg_s cfg;
        cfg.counter = name;
        cfg.stats_record = true;
        return cfg;
    };
    pipeline_init_params_s good{{rule("tx_rdma_unicast_packets"), rule("rx_rdma_responder_dup_requests")},
                                {rule("frames_rx_ok")},
                                {}};
    pipeline_monitor_info_s plain, metrics;
    ASSERT_EQ(pipeline_init(&good, &plain), 0);
    EXPECT_EQ(plain.record_types, (std::set<uint32_t>{2, 3}));
    EXPECT_FALSE(plain.metrics);
    EXPECT_EQ(plain.lif_counters_read, pipeline_lif_counters_read);
    ASSERT_EQ(plain.lif_counters.size(), 2u);
    EXPECT_EQ(plain.lif_counters[1].offset, 896u);
    EXPECT_EQ(plain.port_counters.at(0).offset, 16u);
    ASSERT_EQ(pipeline_init(&good, &metrics, true), 0);
    EXPECT_TRUE(metrics.metrics);
    EXPECT_EQ(metrics.lif_counters_read, pipeline_lif_table_read);
    EXPECT_EQ(metrics.port_counters_read, pipeline_port_table_read);
    // the whole tables in name order, each rule's column pointing at its own counter
    EXPECT_EQ(metrics.lif_table_offsets.size(), lif_counter_map.size());
    EXPECT_EQ(metrics.lif_table_offsets.front(), 896u) << "rx_rdma_responder_dup_requests first";
    EXPECT_EQ(metrics.port_table_offsets, (std::vector<uint64_t>{16, 0}));
    for (const auto& rule : metrics.lif_counters) {
        EXPECT_EQ(metrics.lif_table_offsets.at(rule.column), rule.offset) << rule.name;
    }

    const struct {
        pipeline_init_params_s params;
        const char* message;
    } bad[] = {
        {{{}, {rule("tx_rdma_unicast_bytes")}, {}}, "Error - tx_rdma_unicast_bytes is not a valid port counter\n"},
        {{{rule("frames_tx_ok")}, {}, {}}, "Error - frames_tx_ok is not a valid lif counter\n"},
        {{{rule("TX_RDMA_UNICAST_BYTES")}, {}, {}}, "Error - TX_RDMA_UNICAST_BYTES is not a valid lif counter\n"},
        {{{}, {}, {rule("frames_tx_ok")}}, "Error - frames_tx_ok is not a valid card counter\n"},
    };
    for (auto b : bad) {
        pipeline_monitor_info_s out;
        testing::internal::CaptureStderr();
        EXPECT_EQ(pipeline_init(&b.params, &out), 255);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), b.message);
    }
}

}  // namespace
