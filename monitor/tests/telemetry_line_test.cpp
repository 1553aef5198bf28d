// telemetry lines and counter rules: the byte layout readers depend on, and the
// cumulative / delta / threshold arithmetic
#include <regex>
#include <sstream>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include "monitor/pipeline_rules.h"
#include "monitor/telemetry_jsonl.h"

namespace {

const aml_card_handle_s k_card{"42424142-4300-0000-0000-000000000000", "0000:3b:00.0"};
const std::string k_ts = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})";

// the line with its timestamp replaced, so it can be compared whole
std::string without_timestamp(const std::string& line)
{
    return std::regex_replace(line, std::regex(k_ts), "T");
}

boost::property_tree::ptree parse(const std::string& line)
{
    std::istringstream in(line);
    boost::property_tree::ptree tree;
    boost::property_tree::read_json(in, tree);
    return tree;
}

orlixmon_telemetry_counter_s counter(const char* name, bool cumulative, uint64_t threshold,
                                     bool event, bool stats)
{
    return {name, 0, cumulative, threshold, event, stats};
}

}  // namespace

TEST(TelemetryLine, StatsRecordOfLifIsByteExact)
{
    std::string id = "00112233-4455-6677-8899-aabbccddeeff", name = "lif0";
    auto tx = counter("tx_rdma_unicast_bytes", true, 0, false, true);
    auto rx = counter("rx_rdma_unicast_bytes", true, 0, false, true);
    orlixmon_telemetry_record_s rec(id, name);
    rec.type = ORLIXMON_TELEMETRY_TYPE_STATS;
    rec.record_type = ORLIXMON_RECORD_TYPE_LIF;
    rec.counters = {{&tx, 42}, {&rx, 7}};

    std::string line;
    ASSERT_EQ(generate_jsonl_from_telemetry_record(k_card, rec, line), 0);
    EXPECT_TRUE(std::regex_search(line, std::regex("\"timestamp\":\"" + k_ts + "\",")));
    EXPECT_EQ(without_timestamp(line),
              "{\"uuid\": \"42424142-4300-0000-0000-000000000000\",\"bdf\": \"0000:3b:00.0\","
              "\"timestamp\":\"T\",\"lif\": {\"id\": \"00112233-4455-6677-8899-aabbccddeeff\","
              "\"name\": \"lif0\",\"counters\": [{\"name\": \"tx_rdma_unicast_bytes\",\"value\": 42}, "
              "{\"name\": \"rx_rdma_unicast_bytes\",\"value\": 7}]}}");
    EXPECT_EQ(parse(line).get<uint64_t>("lif.counters..value"), 42u);
}

TEST(TelemetryLine, CardEventAndEdgeShapes)
{
    std::string uuid = k_card.uuid, empty;
    orlixmon_telemetry_record_s ev(uuid, empty);
    ev.type = ORLIXMON_TELEMETRY_TYPE_CARD_EVENT;
    ev.record_type = ORLIXMON_RECORD_TYPE_CARD;
    ev.description = "card down detected";
    std::string line;
    ASSERT_EQ(generate_jsonl_from_telemetry_record(k_card, ev, line), 0);
    EXPECT_EQ(without_timestamp(line),
              "{\"uuid\": \"" + uuid + "\",\"bdf\": \"0000:3b:00.0\",\"timestamp\":\"T\",\"card\": "
              "{\"id\": \"" + uuid + "\",\"description\": \"card down detected\"}}");

    // a card event of an unknown object still goes out, under "unknown"
    ev.record_type = 4;
    ASSERT_EQ(generate_jsonl_from_telemetry_record(k_card, ev, line), 0);
    EXPECT_NE(line.find("\"unknown\": {"), std::string::npos);

    // no identity and no counters
    orlixmon_telemetry_record_s st(empty, empty);
    st.type = ORLIXMON_TELEMETRY_TYPE_STATS;
    st.record_type = ORLIXMON_RECORD_TYPE_PORT;
    ASSERT_EQ(generate_jsonl_from_telemetry_record(k_card, st, line), 0);
    EXPECT_NE(line.find("\"port\": {\"counters\": []}}"), std::string::npos) << line;

    // the largest value prints whole and unsigned
    auto c = counter("frames_rx_ok", true, 0, false, true);
    st.counters = {{&c, UINT64_MAX}};
    ASSERT_EQ(generate_jsonl_from_telemetry_record(k_card, st, line), 0);
    EXPECT_NE(line.find("\"value\": 18446744073709551615}"), std::string::npos);
}

TEST(TelemetryLine, UnwritableRecordsLeaveTheLineAlone)
{
    std::string id = "x", name = "y", line = "untouched";
    orlixmon_telemetry_record_s rec(id, name);
    rec.type = ORLIXMON_TELEMETRY_TYPE_STATS;
    rec.record_type = 4;
    EXPECT_EQ(generate_jsonl_from_telemetry_record(k_card, rec, line), 2);
    rec.type = 0;
    rec.record_type = ORLIXMON_RECORD_TYPE_LIF;
    EXPECT_EQ(generate_jsonl_from_telemetry_record(k_card, rec, line), 2);
    rec.type = 4;
    EXPECT_EQ(generate_jsonl_from_telemetry_record(k_card, rec, line), 2);
    EXPECT_EQ(line, "untouched");
}

TEST(TelemetryLine, NamesFromFirmwareAreEscapedSoTheLineParses)
{
    std::string id = "id\"1", name = std::string("eth\\1\n\x01\"}") + "\t";
    orlixmon_telemetry_record_s rec(id, name);
    rec.type = ORLIXMON_TELEMETRY_TYPE_COUNTER_EVENT;
    rec.record_type = ORLIXMON_RECORD_TYPE_PORT;
    auto c = counter("frames_tx_ok", true, 0, true, false);
    rec.counters = {{&c, 5}};
    std::string line;
    ASSERT_EQ(generate_jsonl_from_telemetry_record(k_card, rec, line), 0);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    auto tree = parse(line);
    EXPECT_EQ(tree.get<std::string>("port.id"), id);
    EXPECT_EQ(tree.get<std::string>("port.name"), name);
}

TEST(CounterRules, CumulativeDeltaAndThreshold)
{
    auto cum = counter("a", true, 0, false, true);
    auto delta = counter("b", false, 0, false, true);
    auto thr = counter("c", false, 100, true, true);
    orlixmon_telemetry_record_s stats, event;
    uint64_t p_cum = 0, p_delta = 0, p_thr = 0;

    // first read: previous is 0, so a delta reports the whole value
    pipeline_apply_counter_rule(cum, 1000, p_cum, stats, event);
    pipeline_apply_counter_rule(delta, 1000, p_delta, stats, event);
    pipeline_apply_counter_rule(thr, 1000, p_thr, stats, event);
    ASSERT_EQ(stats.counters.size(), 3u);
    EXPECT_EQ(stats.counters[0].value, 1000u);
    EXPECT_EQ(stats.counters[1].value, 1000u);
    ASSERT_EQ(event.counters.size(), 1u);
    EXPECT_EQ(event.counters[0].value, 1000u);

    // threshold 100 from 1000: 1099 is held back but becomes the previous value
    stats.counters.clear();
    event.counters.clear();
    pipeline_apply_counter_rule(thr, 1099, p_thr, stats, event);
    EXPECT_TRUE(stats.counters.empty());
    EXPECT_EQ(p_thr, 1099u);
    pipeline_apply_counter_rule(thr, 1199, p_thr, stats, event);  // equal passes
    ASSERT_EQ(stats.counters.size(), 1u);
    EXPECT_EQ(stats.counters[0].value, 100u);

    // a counter that went down (card reset) wraps, and the drop counts for the threshold
    stats.counters.clear();
    pipeline_apply_counter_rule(thr, 10, p_thr, stats, event);
    ASSERT_EQ(stats.counters.size(), 1u);
    EXPECT_EQ(stats.counters[0].value, uint64_t(10) - uint64_t(1199));

    // neither action: read, the previous value kept, nothing reported
    auto none = counter("n", false, 0, false, false);
    stats.counters.clear();
    event.counters.clear();
    uint64_t prev = 3;
    pipeline_apply_counter_rule(none, 9, prev, stats, event);
    EXPECT_TRUE(stats.counters.empty() && event.counters.empty());
    EXPECT_EQ(prev, 9u);
}

TEST(CounterRules, StateKeepsEveryObjectAndCounter)
{
    orlixmon_pipeline_state_s state;
    // more LIFs, ports and counters than a fixed table would hold
    for (size_t obj = 0; obj < 40; ++obj)
        for (size_t pos = 0; pos < 64; ++pos) {
            state.prev(orlixmon_pipeline_state_s::LIF, obj, pos) = obj * 1000 + pos;
            state.prev(orlixmon_pipeline_state_s::PORT, obj, pos) = obj * 2000 + pos;
        }
    EXPECT_EQ(state.prev(orlixmon_pipeline_state_s::LIF, 39, 63), 39063u);
    EXPECT_EQ(state.prev(orlixmon_pipeline_state_s::PORT, 3, 40), 6040u);
    EXPECT_EQ(state.prev(orlixmon_pipeline_state_s::LIF, 2, 0), 2000u);
    state.clear();
    EXPECT_EQ(state.prev(orlixmon_pipeline_state_s::LIF, 39, 63), 0u);
}
