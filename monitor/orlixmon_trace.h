#pragma once

// the monitor's trace log and its macros

#include "log/trace_logger.h"
#include "monitor/orlixmon_config.h"

// the monitor's trace logger; null until orlixmon_trace_init has run. the
// signal thread runs before it is set: the pointer is stored and loaded
// atomically
extern utils::log* g_trace_logger;

// opens orlixmon.log (debug and up) and orlixmon-err.log (errors) in the
// log directory; 0, or 255 with a message on stderr
int orlixmon_trace_init(const orlixmon_init_params_s* params);

// every monitor message: "[function:line] text", written only when the
// trace level admits it, flushed at once
#define ORLIXMON_TRACE_(tlevel_, slevel_, fmt_, ...)                                              \
    do {                                                                                          \
        utils::log* trace_log_ = __atomic_load_n(&g_trace_logger, __ATOMIC_ACQUIRE);              \
        if (trace_log_ && trace_log_->logger() && trace_log_->trace_level() >= (tlevel_)) {        \
            trace_log_->logger()->log(slevel_, "[{}:{}] " fmt_, __func__, __LINE__, ##__VA_ARGS__); \
            trace_log_->flush();                                                                  \
        }                                                                                         \
    } while (0)

#define ORLIXMON_TRACE_ERR(fmt_, ...) \
    ORLIXMON_TRACE_(trace_level_err, spdlog::level::err, fmt_, ##__VA_ARGS__)
#define ORLIXMON_TRACE_WARN(fmt_, ...) \
    ORLIXMON_TRACE_(trace_level_warn, spdlog::level::warn, fmt_, ##__VA_ARGS__)
#define ORLIXMON_TRACE_INFO(fmt_, ...) \
    ORLIXMON_TRACE_(trace_level_info, spdlog::level::info, fmt_, ##__VA_ARGS__)
#define ORLIXMON_TRACE_DEBUG(fmt_, ...) \
    ORLIXMON_TRACE_(trace_level_debug, spdlog::level::debug, fmt_, ##__VA_ARGS__)
#define ORLIXMON_TRACE_VERBOSE(fmt_, ...) \
    ORLIXMON_TRACE_(trace_level_verbose, spdlog::level::trace, fmt_, ##__VA_ARGS__)
