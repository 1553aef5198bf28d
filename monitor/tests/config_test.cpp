#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "monitor/orlixmon_config.h"
#include "monitor/pipeline.h"

namespace {

class ConfigFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/orlix-config-test.XXXXXX";
        dir = mkdtemp(tmpl);
        path = dir + "/orlixmon.json";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // parses text; the stderr of the parser lands in err
    int parse(const std::string& text)
    {
        std::ofstream(path) << text;
        params = orlixmon_init_params_s{};
        testing::internal::CaptureStderr();
        int rc = parse_config_from_json(path, params);
        err = testing::internal::GetCapturedStderr();
        return rc;
    }

    static std::string with_lif_rules(const std::string& rules, const std::string& extra = "")
    {
        return R"({)" + extra + R"("filter": {"lif": {"counters": [)" + rules +
               R"(]}, "port": {"counters": []}}})";
    }

    std::string dir, path, err;
    orlixmon_init_params_s params;
};

TEST_F(ConfigFile, EmptyCounterListsTakeEveryDefault)
{
    ASSERT_EQ(parse(R"({"filter": {"lif": {"counters": []}, "port": {"counters": []}}})"), 0) << err;
    EXPECT_EQ(params.log_dir, "/var/log");
    EXPECT_EQ(params.telemetry_dir, "/var/run");
    EXPECT_EQ(params.liveness_poll_interval, 1000000u);
    EXPECT_EQ(params.lif_poll_interval, 100000u);
    EXPECT_EQ(params.port_poll_interval, 100000u);
    EXPECT_TRUE(params.lif_counters.empty());
    EXPECT_TRUE(params.port_counters.empty());
    EXPECT_TRUE(params.card_counters.empty());
    EXPECT_TRUE(err.empty());
}

TEST_F(ConfigFile, ReadsEveryKeyOfARule)
{
    ASSERT_EQ(parse(R"({"log_dir": "/l", "telemetry_dir": "/t",
        "filter": {"card": {"liveness_poll_interval": "2000000"},
                   "lif": {"poll_interval": 300000, "counters": [
                       {"counter": "tx_rdma_unicast_bytes", "cumulative": false,
                        "threshold": {"value": 100}, "action": {"event_record": "true"}}]},
                   "port": {"poll_interval": 200, "counters": [
                       {"counter": "frames_rx_ok", "action": {"stats_record": true, "event_record": true}}]}}})"),
              0)
        << err;
    EXPECT_EQ(params.log_dir, "/l");
    EXPECT_EQ(params.telemetry_dir, "/t");
    EXPECT_EQ(params.liveness_poll_interval, 2000000u);
    EXPECT_EQ(params.lif_poll_interval, 300000u);
    EXPECT_EQ(params.port_poll_interval, 200u);
    ASSERT_EQ(params.lif_counters.size(), 1u);
    const auto& lif = params.lif_counters[0];
    EXPECT_EQ(lif.counter, "tx_rdma_unicast_bytes");
    EXPECT_FALSE(lif.cumulative);
    EXPECT_EQ(lif.threshold, 100u);
    EXPECT_TRUE(lif.event_record);
    EXPECT_FALSE(lif.stats_record);
    ASSERT_EQ(params.port_counters.size(), 1u);
    EXPECT_TRUE(params.port_counters[0].cumulative);
    EXPECT_TRUE(params.port_counters[0].stats_record && params.port_counters[0].event_record);
}

TEST_F(ConfigFile, RuleWithoutActionNamesKindAndCounter)
{
    EXPECT_EQ(parse(with_lif_rules(R"({"counter": "rx_rdma_unicast_bytes"})")), 255);
    EXPECT_EQ(err, "Error - Neither event record nor stats record is selected for lif counter rx_rdma_unicast_bytes\n");
    EXPECT_EQ(parse(R"({"filter": {"lif": {"counters": []}, "port": {"counters": [
        {"counter": "frames_tx_ok", "action": {"stats_record": "True", "event_record": "1"}}]}}})"),
              255);
    EXPECT_EQ(err, "Error - Neither event record nor stats record is selected for port counter frames_tx_ok\n");
}

TEST_F(ConfigFile, BooleansAreTrueOnlyWhenWrittenTrue)
{
    const char* rules = R"({"counter": "a", "cumulative": false, "action": {"stats_record": true}},
                           {"counter": "b", "cumulative": "false", "action": {"stats_record": true}},
                           {"counter": "c", "action": {"stats_record": true}},
                           {"counter": "d", "cumulative": "True", "action": {"stats_record": true}})";
    ASSERT_EQ(parse(with_lif_rules(rules)), 0) << err;
    ASSERT_EQ(params.lif_counters.size(), 4u);
    EXPECT_FALSE(params.lif_counters[0].cumulative);
    EXPECT_FALSE(params.lif_counters[1].cumulative);
    EXPECT_TRUE(params.lif_counters[2].cumulative);
    EXPECT_FALSE(params.lif_counters[3].cumulative);
}

TEST_F(ConfigFile, BadNumbersFallBackToTheirDefaults)
{
    // intervals written as words, with trailing text or as floats
    ASSERT_EQ(parse(R"({"filter": {"card": {"liveness_poll_interval": "12 s"},
        "lif": {"poll_interval": "fast", "counters": [{"counter": "a", "threshold": {"value": "lots"},
        "action": {"stats_record": true}}]}, "port": {"poll_interval": "1.5e5", "counters": []}}})"),
              0)
        << err;
    EXPECT_EQ(params.liveness_poll_interval, 1000000u);
    EXPECT_EQ(params.lif_poll_interval, 100000u);
    EXPECT_EQ(params.port_poll_interval, 100000u);
    EXPECT_EQ(params.lif_counters[0].threshold, 0u);
    EXPECT_TRUE(err.empty());
}

TEST_F(ConfigFile, IntervalShorterThanOneTickIsRejected)
{
    EXPECT_EQ(parse(R"({"filter": {"lif": {"poll_interval": 99, "counters": []}, "port": {"counters": []}}})"), 255);
    EXPECT_EQ(err, "Error - filter.lif.poll_interval must be at least 100 microseconds, got 99\n");
    EXPECT_EQ(parse(R"({"filter": {"card": {"liveness_poll_interval": 0}, "lif": {"counters": []}, "port": {"counters": []}}})"),
              255);
    EXPECT_NE(err.find("filter.card.liveness_poll_interval"), std::string::npos) << err;
    EXPECT_EQ(parse(R"({"filter": {"port": {"poll_interval": 100, "counters": []}, "lif": {"counters": []}}})"), 0);
    // a minus sign wraps: far above the minimum
    EXPECT_EQ(parse(R"({"filter": {"port": {"poll_interval": "-1", "counters": []}, "lif": {"counters": []}}})"), 0);
    EXPECT_EQ(params.port_poll_interval, UINT64_MAX);
}

TEST_F(ConfigFile, StructuralErrorsNameTheProblem)
{
    EXPECT_EQ(parse(R"({"filter": {"lif": {"counters": []}}})"), 255);
    EXPECT_NE(err.find("filter.port.counters"), std::string::npos) << err;
    EXPECT_EQ(parse(with_lif_rules(R"({"action": {"stats_record": true}})")), 255);
    EXPECT_NE(err.find("counter"), std::string::npos) << err;
    EXPECT_EQ(parse("{\"filter\": "), 255);
    EXPECT_FALSE(err.empty());
    EXPECT_EQ(err.back(), '\n');
    std::filesystem::remove(path);
    params = {};
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_config_from_json(path, params), 255);
    EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
}

TEST_F(ConfigFile, RepeatedCounterKeepsBothRulesInOrder)
{
    ASSERT_EQ(parse(with_lif_rules(R"({"counter": "rx_rdma_unicast_bytes", "action": {"stats_record": true}},
                                     {"counter": "rx_rdma_unicast_bytes", "cumulative": false, "action": {"event_record": true}})")),
              0);
    ASSERT_EQ(params.lif_counters.size(), 2u);
    EXPECT_TRUE(params.lif_counters[0].cumulative);
    EXPECT_FALSE(params.lif_counters[1].cumulative);
}

TEST_F(ConfigFile, MetricsKeysAreOptionalAndCheckedWhenGiven)
{
    ASSERT_EQ(parse(with_lif_rules("")), 0) << err;
    EXPECT_EQ(params.metrics_listen, "") << "no key: no endpoint";
    EXPECT_FALSE(params.metrics_all_counters) << "the configured counters by default";
    ASSERT_EQ(parse(with_lif_rules("", R"("metrics": {"listen": "127.0.0.1:9478"},)")), 0) << err;
    EXPECT_EQ(params.metrics_listen, "127.0.0.1:9478");
    ASSERT_EQ(parse(with_lif_rules(
                  "", R"("metrics": {"listen": ":9478", "counters": "all", "web_config_file": "/etc/web.yml"},)")),
              0)
        << err;
    EXPECT_TRUE(params.metrics_all_counters);
    EXPECT_EQ(params.metrics_web_config_file, "/etc/web.yml");
    EXPECT_EQ(params.metrics_transceiver_interval, 60000000u) << "a minute by default";
    ASSERT_EQ(parse(with_lif_rules("", R"("metrics": {"listen": ":9478", "transceiver_interval": 1000000},)")), 0)
        << err;
    EXPECT_EQ(params.metrics_transceiver_interval, 1000000u);
    struct {
        const char* json;
        const char* error;
    } bad[] = {
        {R"("metrics": {"listen": ""},)", "Error - metrics.listen"},
        {R"("metrics": {"listen": "example.org:9478"},)", "Error - metrics.listen"},
        {R"("metrics": {"listen": "127.0.0.1:70000"},)", "Error - metrics.listen"},
        {R"("metrics": {"listen": 9478},)", "Error - metrics.listen"},
        {R"("metrics": {"listen": ":9478", "counters": "some"},)", "Error - metrics.counters"},
        {R"("metrics": {"listen": ":9478", "web_config_file": ""},)", "Error - metrics.web_config_file"},
        {R"("metrics": {"listen": ":9478", "web_config_file": "web.yml"},)", "Error - metrics.web_config_file"},
        {R"("metrics": {"transceiver_interval": 999999},)", "Error - metrics.transceiver_interval"},
        {R"("metrics": {"transceiver_interval": 86400000001},)", "Error - metrics.transceiver_interval"},
        {R"("metrics": {"transceiver_interval": "-1"},)", "Error - metrics.transceiver_interval"},
    };
    for (const auto& b : bad) {
        EXPECT_EQ(parse(with_lif_rules("", b.json)), 255) << b.json;
        EXPECT_EQ(err.rfind(b.error, 0), 0u) << b.json << ": " << err;
    }
}

TEST_F(ConfigFile, WorkerWaitNamesOneOfThreeModes)
{
    ASSERT_EQ(parse(with_lif_rules("")), 0) << err;
    EXPECT_EQ(params.worker_wait, ORLIXMON_WORKER_WAIT_SPIN) << "no key: spin";
    const std::pair<const char*, orlixmon_worker_wait_e> modes[] = {
        {"spin", ORLIXMON_WORKER_WAIT_SPIN}, {"sleep", ORLIXMON_WORKER_WAIT_SLEEP},
        {"tickless", ORLIXMON_WORKER_WAIT_TICKLESS}};
    for (const auto& [name, mode] : modes) {
        ASSERT_EQ(parse(with_lif_rules("", std::string(R"("worker_wait": ")") + name + R"(",)")), 0) << err;
        EXPECT_EQ(params.worker_wait, mode) << name;
    }
    EXPECT_EQ(parse(with_lif_rules("", R"("worker_wait": "Tickless",)")), 255);
    EXPECT_NE(err.find("\"Tickless\""), std::string::npos) << err;
}

// with metrics every table counter is read: the columns name each
// configured counter's place in its table
TEST(PipelineInit, MetricsInstallsTheTableReadersWithEveryColumn)
{
    orlixmon_telemetry_counter_cfg_s dup;
    dup.counter = "rx_rdma_responder_dup_requests";
    orlixmon_telemetry_counter_cfg_s tx;
    tx.counter = "tx_rdma_unicast_packets";
    pipeline_init_params_s params{{tx, dup}, {}, {}};
    pipeline_monitor_info_s plain, metrics;
    ASSERT_EQ(pipeline_init(&params, &plain), 0);
    EXPECT_FALSE(plain.metrics);
    EXPECT_EQ(plain.lif_counters_read, pipeline_lif_counters_read);
    ASSERT_EQ(pipeline_init(&params, &metrics, true), 0);
    EXPECT_TRUE(metrics.metrics);
    EXPECT_EQ(metrics.lif_counters_read, pipeline_lif_table_read);
    EXPECT_EQ(metrics.port_counters_read, pipeline_port_table_read);
    // name order: rx_rdma_responder_dup_requests first, tx_rdma_unicast_packets last
    EXPECT_EQ(metrics.lif_table_offsets, (std::vector<uint64_t>{896, 448, 456, 688, 696, 384, 392}));
    EXPECT_EQ(metrics.port_table_offsets, (std::vector<uint64_t>{16, 0}));
    EXPECT_EQ(metrics.lif_counters[0].column, 6u);
    EXPECT_EQ(metrics.lif_counters[1].column, 0u);
}

TEST(PipelineInit, ResolvesOffsetsAndRejectsNamesOfTheOtherKind)
{
    auto rule = [](const char* name) {
        orlixmon_telemetry_counter_cfg_s cfg;
        cfg.counter = name;
        cfg.stats_record = true;
        return cfg;
    };
    pipeline_init_params_s good{{rule("rx_rdma_responder_dup_requests"), rule("tx_rdma_unicast_bytes")},
                                {rule("frames_rx_ok")},
                                {}};
    pipeline_monitor_info_s info;
    ASSERT_EQ(pipeline_init(&good, &info), 0);
    EXPECT_EQ(info.record_types, (std::set<uint32_t>{2, 3}));
    ASSERT_EQ(info.lif_counters.size(), 2u);
    EXPECT_EQ(info.lif_counters[0].offset, 896u);
    EXPECT_EQ(info.lif_counters[1].offset, 384u);
    EXPECT_EQ(info.port_counters.at(0).offset, 16u);

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
