#pragma once

// telemetry records as JSON lines

#include <string>

#include "aml/aml_card_handle.h"
#include "monitor/telemetry_record.h"

// serialises one record into one JSON line (no trailing newline).
// returns 0 and replaces line, or 2 and leaves line as it was.
int generate_jsonl_from_telemetry_record(const aml_card_handle_s& card,
                                         const orlixmon_telemetry_record_s& record,
                                         std::string& line);

// the object key of a record type: "card", "lif", "port" or "unknown"
const char* telemetry_record_object_key(orlixmon_telemetry_record_type_s record_type);

// appends text with the escapes JSON needs (quote, backslash, control bytes)
void telemetry_json_escape_append(std::string& out, const std::string& text);

// local wall-clock time as "YYYY-MM-DD HH:MM:SS.mmm"
std::string telemetry_timestamp_now();
