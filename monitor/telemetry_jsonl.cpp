// one telemetry record as one JSON line

#include "monitor/telemetry_jsonl.h"

#include <chrono>
#include <cstring>
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
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
        // the run of bytes that need no escape goes in one piece
        const char* run = p;
        while (p < end) {
            unsigned char c = static_cast<unsigned char>(*p);
            if (c < 0x20 || c == 0x7f || c == '"' || c == '\\')
                break;
            p++;
        }
        out.append(run, static_cast<size_t>(p - run));
        if (p == end)
            break;
        unsigned char c = static_cast<unsigned char>(*p++);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default: {
            static const char k_hex[] = "0123456789abcdef";
            char u[6] = {'\\', 'u', '0', '0', k_hex[c >> 4], k_hex[c & 0xf]};
            out.append(u, sizeof u);
        }
        }
    }
}

namespace {

// the time stamp into text (at least 32 bytes); its length
size_t timestamp_now(char* text)
{
    auto now = std::chrono::system_clock::now();
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
    std::time_t secs = std::chrono::system_clock::to_time_t(now);
    // the date and time of day change once a second: a worker writes many
    // lines a second and keeps the text of the current one
    thread_local std::time_t cached_secs = -1;
    thread_local char cached[24];
    thread_local size_t cached_len = 0;
    if (secs != cached_secs) {
        std::tm tm{};
        localtime_r(&secs, &tm);
        cached_len = std::strftime(cached, sizeof cached, "%Y-%m-%d %H:%M:%S", &tm);
        cached_secs = secs;
    }
    memcpy(text, cached, cached_len);
    size_t n = cached_len;
    int ms = static_cast<int>((ns / 1000000) % 1000);
    text[n++] = '.';
    text[n++] = static_cast<char>('0' + ms / 100);
    text[n++] = static_cast<char>('0' + ms / 10 % 10);
    text[n++] = static_cast<char>('0' + ms % 10);
    text[n] = '\0';
    return n;
}

}  // namespace

std::string telemetry_timestamp_now()
{
    char text[32];
    return std::string(text, timestamp_now(text));
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

    // built in place: a caller that keeps its line keeps its capacity
    std::string& out = line;
    out.clear();
    out.reserve(160 + record.counters.size() * 48);
    char stamp[32];
    size_t stamp_len = timestamp_now(stamp);
    out += "{\"uuid\": ";
    append_quoted(out, card.uuid);
    out += ",\"bdf\": ";
    append_quoted(out, card.bdf);
    out += ",\"timestamp\":\"";
    out.append(stamp, stamp_len);
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
    return 0;
}
