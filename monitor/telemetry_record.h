#pragma once

// a telemetry record: one object's counters of one kind

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// telemetry record kinds: where a record goes and how it is written
enum orlixmon_telemetry_type_e : uint32_t {
    ORLIXMON_TELEMETRY_TYPE_STATS = 1,
    ORLIXMON_TELEMETRY_TYPE_CARD_EVENT = 2,
    ORLIXMON_TELEMETRY_TYPE_COUNTER_EVENT = 3,
};

// the object a record describes
using orlixmon_telemetry_record_type_s = uint32_t;
constexpr orlixmon_telemetry_record_type_s ORLIXMON_RECORD_TYPE_CARD = 1;
constexpr orlixmon_telemetry_record_type_s ORLIXMON_RECORD_TYPE_LIF = 2;
constexpr orlixmon_telemetry_record_type_s ORLIXMON_RECORD_TYPE_PORT = 3;

// one configured counter, resolved to its offset in the object's counter block
struct orlixmon_telemetry_counter_s {
    std::string name;
    uint64_t offset = 0;
    bool cumulative = true;
    uint64_t threshold = 0;  // 0: no threshold
    bool event_record = false;
    bool stats_record = false;
    size_t column = 0;  // its place in its counter table (the table's name order)
};

// one reported value; the counter outlives every record that names it
struct orlixmon_counter_s {
    const orlixmon_telemetry_counter_s* counter;
    uint64_t value;
};

// one record, alive for one export only: it refers to the entry's strings
struct orlixmon_telemetry_record_s {
    uint32_t type = 0;
    orlixmon_telemetry_record_type_s record_type = 0;
    const std::string* id = nullptr;
    const std::string* name = nullptr;
    std::vector<orlixmon_counter_s> counters;
    std::string description;

    orlixmon_telemetry_record_s() = default;
    orlixmon_telemetry_record_s(const std::string& id_ref, const std::string& name_ref)
        : id(&id_ref), name(&name_ref) {}
};
