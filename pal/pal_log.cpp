// the platform layer's printf-style messages and their verbosity switch

#include "pal/pal_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "log/module_trace.h"
#include "log/trace_level.h"

static std::atomic<int> g_pal_log_enable{0};

void pal_set_log_enable(int enable)
{
    g_pal_log_enable = enable;
}

static bool pal_log_passes(uint32_t level)
{
    if (level == trace_level_err || level == trace_level_warn) {
        return true;
    }
    return level >= trace_level_info && level <= trace_level_verbose && g_pal_log_enable;
}

int pal_log(uint32_t level, const char* format, ...)
{
    if (!pal_log_passes(level)) {
        return 0;
    }
    char text[k_logger_msg_max];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    uint32_t module_id = logger_get_module_id();
    if (static_cast<int32_t>(module_id) >= 0) {
        return logger_trace_cb()(module_id, level, "Pal-trace %s", text);
    }
    return printf("Pal-trace %s\n", text);
}
