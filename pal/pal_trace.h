#pragma once

#include "log/module_trace.h"
#include "log/trace_level.h"

// the platform layer's own messages: module id 1, "[file:line] " first
#define PAL_TRACE(level_, fmt_, ...) \
    logger_trace_cb()(1, (level_), "[%s:%d] " fmt_, __FILE__, __LINE__, ##__VA_ARGS__)
#define PAL_TRACE_ERR(fmt_, ...) PAL_TRACE(trace_level_err, fmt_, ##__VA_ARGS__)
#define PAL_TRACE_INFO(fmt_, ...) PAL_TRACE(trace_level_info, fmt_, ##__VA_ARGS__)
#define PAL_TRACE_DEBUG(fmt_, ...) PAL_TRACE(trace_level_debug, fmt_, ##__VA_ARGS__)
