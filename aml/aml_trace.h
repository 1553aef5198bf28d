#pragma once

// the firmware update engine's messages, gathered per operation

#include <cstdio>
#include <functional>
#include <string>

#include "log/trace_level.h"

// what the firmware update engine's messages leave behind for one operation
struct aml_fwupdate_trace_cb_ctxt_s {
    std::string messages;    // every message of level 1 to 5, one a line
    std::string last_error;  // the last level-1 message without its time stamp
    FILE* log_file = nullptr;
    // after each message, on the engine's thread (a caller's progress display)
    std::function<void()> on_message;
};

// the trace callback handed to the firmware update engine; ctxt is an
// aml_fwupdate_trace_cb_ctxt_s, and without one the call does nothing
void aml_firmware_trace_cb(void* ctxt, trace_level_e level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
