// the configuration file: every key read or defaulted, and files that are
// refused with the key named; the counter rules resolved against the tables

#include <gtest/gtest.h>

#include <sstream>

#include "monitor/counter_maps.h"
#include "monitor/orlixmon_config.h"
#include "monitor/pipeline.h"
#include "tests/support/process_runner.h"

namespace {

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

// every field of what a file gave, on one line: the folders, the intervals
// (card/lif/port), the wait, the metrics keys, then the lif and port rules
// as counter:(c)umulative or (d)elta, threshold, (S)tats and (E)vent
std::string describe(const orlixmon_init_params_s& p)
{
    std::ostringstream o;
    const char* waits[] = {"spin", "sleep", "tickless"};
    o << p.log_dir << ' ' << p.telemetry_dir << ' ' << p.liveness_poll_interval << '/' << p.lif_poll_interval << '/'
      << p.port_poll_interval << ' ' << waits[p.worker_wait] << " '" << p.metrics_listen << "' "
      << (p.metrics_all_counters ? "all" : "configured") << " '" << p.metrics_web_config_file << "' "
      << p.metrics_transceiver_interval;
    for (const auto* rules : {&p.lif_counters, &p.port_counters, &p.card_counters}) {
        o << " |";
        for (const auto& r : *rules) {
            o << ' ' << r.counter << ':' << (r.cumulative ? 'c' : 'd') << r.threshold << (r.stats_record ? "S" : "")
              << (r.event_record ? "E" : "");
        }
    }
    return o.str();
}

TEST_F(ConfigFile, EveryKeyIsReadOrDefaulted)
{
    const std::string defaults = "/var/log /var/run 1000000/100000/100000 spin '' configured '' 60000000";
    const struct {
        const char* what;
        std::string json, want;
    } cases[] = {
        {"defaults: no metrics key, no endpoint", with(""), defaults + " | | |"},
        {"every key of a rule", R"({"log_dir": "/l", "telemetry_dir": "/t",
            "filter": {"card": {"liveness_poll_interval": "2000000"},
                       "lif": {"poll_interval": 300000, "counters": [
                           {"counter": "tx_rdma_unicast_bytes", "cumulative": false,
                            "threshold": {"value": 100}, "action": {"event_record": "true"}}]},
                       "port": {"poll_interval": 200, "counters": [
                           {"counter": "frames_rx_ok", "action": {"stats_record": true, "event_record": true}}]}}})",
         "/l /t 2000000/300000/200 spin '' configured '' 60000000 | tx_rdma_unicast_bytes:d100E | frames_rx_ok:c0SE |"},
        {"booleans true only when written true; a repeated counter keeps both rules in order",
         with_lif_rules(R"({"counter": "a", "cumulative": false, "action": {"stats_record": true}},
                           {"counter": "a", "cumulative": "false", "action": {"stats_record": true}},
                           {"counter": "c", "action": {"stats_record": true}},
                           {"counter": "d", "cumulative": "True", "action": {"stats_record": true}})"),
         defaults + " | a:d0S a:d0S c:c0S d:d0S | |"},
        {"bad numbers fall back to their defaults; a minus sign wraps", R"({"filter": {
            "card": {"liveness_poll_interval": "12 s"},
            "lif": {"poll_interval": "fast", "counters": [{"counter": "a", "threshold": {"value": "lots"},
                    "action": {"stats_record": true}}]},
            "port": {"poll_interval": "-1", "counters": []}}})",
         "/var/log /var/run 1000000/100000/18446744073709551615 spin '' configured '' 60000000 | a:c0S | |"},
        {"metrics keys", with(R"("metrics": {"listen": ":9478", "counters": "all", "web_config_file": "/etc/web.yml",
                                             "transceiver_interval": 1000000},)"),
         "/var/log /var/run 1000000/100000/100000 spin ':9478' all '/etc/web.yml' 1000000 | | |"},
        {"sleep", with(R"("worker_wait": "sleep",)"), test_replace_all(defaults, "spin", "sleep") + " | | |"},
        {"tickless", with(R"("worker_wait": "tickless",)"), test_replace_all(defaults, "spin", "tickless") + " | | |"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(parse(c.json), 0) << c.what << ": " << err;
        EXPECT_EQ(err, "") << c.what;
        EXPECT_EQ(describe(params), c.want) << c.what;
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
