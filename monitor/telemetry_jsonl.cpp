#include "monitor/telemetry_jsonl.h"

#include <chrono>
#include <ctime>

#include <fmt/format.h>

namespace {

const std::string k_empty;

const char* const k_object_keys[] = {
    nullptr,  // 0: no such record type
    "card",   // ORLIXMON_RECORD_TYPE_CARD
    "lif",    // ORLIXMON_RECORD_TYPE_LIF
    "port",   // ORLIXMON_RECORD_TYPE_PORT
};

const std::string& deref(const std::string* s) { return s ? *s : k_empty; }

void append_quoted(std::string& out, const std::string& text)
{
    out += '"';
    telemetry_json_escape_append(out, text);
    out += '"';
}

}  // namespace

const char* telemetry_record_object_key(orlixmon_telemetry_record_type_s record_type)
{
    if (record_type >= ORLIXMON_RECORD_TYPE_CARD && record_type <= ORLIXMON_RECORD_TYPE_PORT)
        return k_object_keys[record_type];
    return "unknown";
}

// names, ids and descriptions come from card firmware: a quote or a control
// byte in them must not break the line for the readers of the file
void telemetry_json_escape_append(std::string& out, const std::string& text)
{
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (c < 0x20 || c == 0x7f)
                out += fmt::format("\\u{:04x}", c);
            else
                out += static_cast<char>(c);
        }
    }
}

std::string telemetry_timestamp_now()
{
    auto now = std::chrono::system_clock::now();
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
    std::time_t secs = std::chrono::system_clock::to_time_t(now);
    std::tm tm{};
    localtime_r(&secs, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return fmt::format("{}.{:03d}", text, static_cast<int>((ns / 1000000) % 1000));
}

int generate_jsonl_from_telemetry_record(const aml_card_handle_s& card,
                                         const orlixmon_telemetry_record_s& record,
                                         std::string& line)
{
    const char* key = telemetry_record_object_key(record.record_type);
    bool counters_body;
    switch (record.type) {
    case ORLIXMON_TELEMETRY_TYPE_STATS:
    case ORLIXMON_TELEMETRY_TYPE_COUNTER_EVENT:
        if (record.record_type < ORLIXMON_RECORD_TYPE_CARD || record.record_type > ORLIXMON_RECORD_TYPE_PORT)
            return 2;
        counters_body = true;
        break;
    case ORLIXMON_TELEMETRY_TYPE_CARD_EVENT:
        counters_body = false;
        break;
    default:
        return 2;
    }

    std::string out;
    out.reserve(160 + record.counters.size() * 48);
    out += "{\"uuid\": ";
    append_quoted(out, card.uuid);
    out += ",\"bdf\": ";
    append_quoted(out, card.bdf);
    out += ",\"timestamp\":\"";
    out += telemetry_timestamp_now();
    out += "\",\"";
    out += key;
    out += "\": {";

    const std::string& id = deref(record.id);
    const std::string& name = deref(record.name);
    if (!id.empty()) {
        out += "\"id\": ";
        append_quoted(out, id);
        out += ',';
    }
    if (!name.empty()) {
        out += "\"name\": ";
        append_quoted(out, name);
        out += ',';
    }

    if (!counters_body) {
        out += "\"description\": ";
        append_quoted(out, record.description);
        out += "}}";
    } else {
        out += "\"counters\": [";
        bool first = true;
        for (const auto& c : record.counters) {
            if (!first)
                out += ", ";
            first = false;
            out += "{\"name\": ";
            append_quoted(out, c.counter ? c.counter->name : k_empty);
            out += ",\"value\": ";
            out += fmt::format_int(c.value).c_str();
            out += '}';
        }
        out += "]}}";
    }
    line = std::move(out);
    return 0;
}
