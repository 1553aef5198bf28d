// the process-wide trace callback of the lower layers and their module ids

#include "log/module_trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

// every card worker installs its callback: set and read from many threads
static std::atomic<logger_trace_cb_t> trace_cb_{nullptr};
static int32_t g_default_module_id = -1;
static thread_local int32_t t_module_id = -1;

void logger_init(logger_trace_cb_t cb)
{
    trace_cb_ = cb;
}

logger_trace_cb_t logger_trace_cb()
{
    logger_trace_cb_t cb = trace_cb_.load();
    return cb ? cb : stdout_logger_cb_;
}

bool logger_is_trace_cb_set()
{
    return trace_cb_.load() != nullptr;
}

int stdout_logger_cb_(uint32_t, uint32_t, const char* format, ...)
{
    char buf[k_logger_msg_max];
    va_list args;
    va_start(args, format);
    vsnprintf(buf, sizeof(buf), format, args);
    va_end(args);
    return printf("%s\n", buf);
}

int null_logger_cb_(uint32_t, uint32_t, const char*, ...)
{
    return 0;
}

void logger_register_module_id(int32_t id)
{
    t_module_id = id;
    if (g_default_module_id == -1) {
        g_default_module_id = id;
    }
}

uint32_t logger_get_module_id()
{
    if (t_module_id >= 0) {
        return static_cast<uint32_t>(t_module_id);
    }
    if (g_default_module_id >= 0) {
        return static_cast<uint32_t>(g_default_module_id);
    }
    return UINT32_MAX;
}
