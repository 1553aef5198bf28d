#pragma once

// the lower layers' trace callback

#include <cstdint>

// the lower layers (platform layer and below) report through one
// process-wide printf-style callback that the program installs:
// (module id, trace level 1..5, format, ...)
typedef int (*logger_trace_cb_t)(uint32_t mod_id, uint32_t level, const char* format, ...);

// the longest message the ready-made callbacks format, with its terminator
constexpr int k_logger_msg_max = 1024;

void logger_init(logger_trace_cb_t cb);
// the installed callback, or stdout_logger_cb_ when none is
logger_trace_cb_t logger_trace_cb();
bool logger_is_trace_cb_set();

// prints the message, cut to 1023 characters, and a newline on stdout
int stdout_logger_cb_(uint32_t mod_id, uint32_t level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// drops the message
int null_logger_cb_(uint32_t mod_id, uint32_t level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// the calling thread's module id; the first id registered by any thread is
// also the default of threads that never register
void logger_register_module_id(int32_t id);
uint32_t logger_get_module_id();
