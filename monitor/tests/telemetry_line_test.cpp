// telemetry lines and counter rules: the byte layout readers depend on, and the
// cumulative / delta / threshold arithmetic
#include <algorithm>
#include <regex>
#include <sstream>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include "monitor/pipeline_rules.h"
#include "monitor/telemetry_jsonl.h"

namespace {

const aml_card_handle_s k_card{"42424142-4300-0000-0000-000000000000", "0000:3b:00.0"};
const std::string k_head = "{\"uuid\": \"42424142-4300-0000-0000-000000000000\",\"bdf\": \"0000:3b:00.0\","
                           "\"timestamp\":\"T\",";

orlixmon_telemetry_counter_s counter(const char* name, bool cumulative, uint64_t threshold, bool event, bool stats)
{
    return {name, 0, cumulative, threshold, event, stats};
}
const orlixmon_telemetry_counter_s k_tx = counter("tx_rdma_unicast_bytes", true, 0, false, true);
const orlixmon_telemetry_counter_s k_rx = counter("rx_rdma_unicast_bytes", true, 0, false, true);

struct line_case_s {
    const char* what;
    uint32_t type;
    orlixmon_telemetry_record_type_s record_type;
    std::string id, name, description;
    std::vector<std::pair<const orlixmon_telemetry_counter_s*, uint64_t>> counters;
    int rc;
    std::string want;  // the whole line, timestamp as T; after "...": a part of it
};

const line_case_s k_lines[] = {
    {"LIF stats", ORLIXMON_TELEMETRY_TYPE_STATS, ORLIXMON_RECORD_TYPE_LIF, "00112233-4455-6677-8899-aabbccddeeff",
     "lif0", "", {{&k_tx, 42}, {&k_rx, 7}}, 0,
     k_head + "\"lif\": {\"id\": \"00112233-4455-6677-8899-aabbccddeeff\",\"name\": \"lif0\",\"counters\": "
              "[{\"name\": \"tx_rdma_unicast_bytes\",\"value\": 42}, {\"name\": \"rx_rdma_unicast_bytes\",\"value\": 7}]}}"},
    {"card event", ORLIXMON_TELEMETRY_TYPE_CARD_EVENT, ORLIXMON_RECORD_TYPE_CARD, k_card.uuid, "", "card down detected",
     {}, 0, k_head + "\"card\": {\"id\": \"" + k_card.uuid + "\",\"description\": \"card down detected\"}}"},
    {"card event of an unknown object", ORLIXMON_TELEMETRY_TYPE_CARD_EVENT, 4, k_card.uuid, "", "x", {}, 0,
     "...\"unknown\": {"},
    {"no identity and no counters", ORLIXMON_TELEMETRY_TYPE_STATS, ORLIXMON_RECORD_TYPE_PORT, "", "", "", {}, 0,
     "...\"port\": {\"counters\": []}}"},
    {"the largest value whole and unsigned", ORLIXMON_TELEMETRY_TYPE_STATS, ORLIXMON_RECORD_TYPE_PORT, "", "", "",
     {{&k_rx, UINT64_MAX}}, 0, "...\"value\": 18446744073709551615}"},
    {"stats of an unknown object", ORLIXMON_TELEMETRY_TYPE_STATS, 4, "x", "y", "", {}, 2, "untouched"},
    {"type 0", 0, ORLIXMON_RECORD_TYPE_LIF, "x", "y", "", {}, 2, "untouched"},
    {"type 4", 4, ORLIXMON_RECORD_TYPE_LIF, "x", "y", "", {}, 2, "untouched"},
};

// a record that cannot be written leaves the caller's line alone
TEST(TelemetryLine, LayoutOfEachRecordAndRefusals)
{
    const std::regex ts(R"("timestamp":"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}",)");
    for (const auto& c : k_lines) {
        orlixmon_telemetry_record_s rec(c.id, c.name);
        rec.type = c.type;
        rec.record_type = c.record_type;
        rec.description = c.description;
        for (const auto& [cfg, value] : c.counters) {
            rec.counters.push_back({cfg, value});
        }
        std::string line = "untouched";
        EXPECT_EQ(generate_jsonl_from_telemetry_record(k_card, rec, line), c.rc) << c.what;
        if (c.rc != 0) {
            EXPECT_EQ(line, c.want) << c.what;
        } else if (c.want.rfind("...", 0) == 0) {
            EXPECT_NE(line.find(c.want.substr(3)), std::string::npos) << c.what << ": " << line;
        } else {
            EXPECT_TRUE(std::regex_search(line, ts)) << line;
            EXPECT_EQ(std::regex_replace(line, ts, "\"timestamp\":\"T\","), c.want) << c.what;
        }
    }
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
    std::istringstream in(line);
    boost::property_tree::ptree tree;
    boost::property_tree::read_json(in, tree);
    EXPECT_EQ(tree.get<std::string>("port.id"), id);
    EXPECT_EQ(tree.get<std::string>("port.name"), name);
    EXPECT_EQ(tree.get<uint64_t>("port.counters..value"), 5u);
}

// one rule's reads in order: what each puts into the records and the
// previous value it leaves
TEST(CounterRules, CumulativeDeltaAndThreshold)
{
    const auto cum = counter("a", true, 0, false, true), delta = counter("b", false, 0, false, true);
    const auto thr = counter("c", false, 100, true, true), none = counter("n", false, 0, false, false);
    constexpr int64_t no = -1;
    const struct {
        const orlixmon_telemetry_counter_s* rule;
        uint64_t value, prev_after;
        int64_t stats, event;  // the value reported into each record; no: none
    } steps[] = {
        {&cum, 1000, 1000, 1000, no},
        {&cum, 1500, 1500, 1500, no},   // cumulative: the value itself
        {&delta, 1000, 1000, 1000, no}, // first read: the previous is 0
        {&delta, 1300, 1300, 300, no},
        {&thr, 1000, 1000, 1000, 1000},
        {&thr, 1099, 1099, no, no},     // below: held back, but the previous moves
        {&thr, 1199, 1199, 100, 100},   // equal passes
        {&thr, 10, 10, int64_t(uint64_t(10) - 1199), int64_t(uint64_t(10) - 1199)},  // a reset wraps
        {&none, 9, 9, no, no},          // neither action: read, nothing reported
    };
    uint64_t prev[4] = {};
    const orlixmon_telemetry_counter_s* rules[] = {&cum, &delta, &thr, &none};
    for (size_t i = 0; i < std::size(steps); i++) {
        const auto& s = steps[i];
        uint64_t& p = prev[std::find(std::begin(rules), std::end(rules), s.rule) - std::begin(rules)];
        orlixmon_telemetry_record_s stats, event;
        pipeline_apply_counter_rule(*s.rule, s.value, p, stats, event);
        EXPECT_EQ(p, s.prev_after) << "step " << i;
        for (const auto& [record, want] : {std::pair{&stats, s.stats}, std::pair{&event, s.event}}) {
            ASSERT_EQ(record->counters.size(), want == no ? 0u : 1u) << "step " << i;
            if (want != no) {
                EXPECT_EQ(record->counters[0].value, uint64_t(want)) << "step " << i;
            }
        }
    }
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
    state.clear();
    EXPECT_EQ(state.prev(orlixmon_pipeline_state_s::LIF, 39, 63), 0u);
}

}  // namespace
