#pragma once

// trace levels

#include <cstdint>

// how much a trace logger writes; call sites test it before they format
enum trace_level_e : uint32_t {
    trace_level_none = 0,
    trace_level_err = 1,
    trace_level_warn = 2,
    trace_level_info = 3,
    trace_level_debug = 4,
    trace_level_verbose = 5,
};

namespace sdk {
namespace types {

enum syslog_level_e : uint32_t {
    log_none = 0,
    log_emerg = 1,
    log_alert = 2,
    log_crit = 3,
    log_err = 4,
    log_warn = 5,
    log_notice = 6,
    log_info = 7,
    log_debug = 8,
};

enum log_mode_e : uint32_t {
    log_mode_sync = 0,
    log_mode_async = 1,
};

}  // namespace types
}  // namespace sdk
