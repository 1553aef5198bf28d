// the engine's process-wide and per-thread state (see fwupdate_state.h)

#include "fwupdate/fwupdate_state.h"

#include <sys/time.h>
#include <time.h>

#include <cstdarg>
#include <cstdio>

static constexpr size_t k_msg_max = 2048;

fwupdate_thread_state_s& fwupdate_tls()
{
    static thread_local fwupdate_thread_state_s state;
    return state;
}

fwupdate_process_state_s& fwupdate_globals()
{
    static fwupdate_process_state_s state;
    return state;
}

std::string fwupdate_timestamp()
{
    timeval tv;
    gettimeofday(&tv, nullptr);
    tm local;
    localtime_r(&tv.tv_sec, &local);
    char buf[64];
    size_t n = strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S", &local);
    snprintf(buf + n, sizeof(buf) - n, ".%ld", static_cast<long>(tv.tv_usec));
    return buf;
}

static void deliver(fwupdate_trace_cb_t cb, trace_level_e configured, void* ctxt, trace_level_e level,
                    const char* format, va_list args)
{
    if (cb == nullptr || configured < level) {
        return;
    }
    char body[k_msg_max];
    if (vsnprintf(body, sizeof(body), format, args) < 0) {
        body[0] = '\0';
    }
    cb(ctxt, level, "[%s] %s", fwupdate_timestamp().c_str(), body);
}

void fwupdate_log(trace_level_e level, const char* format, ...)
{
    const auto& g = fwupdate_globals();
    va_list args;
    va_start(args, format);
    deliver(g.fwupdate_trace_cb, g.fwupdate_trace_level, fwupdate_tls().fwupdate_trace_cb_ctxt, level, format, args);
    va_end(args);
}

void rfc_log(trace_level_e level, const char* format, ...)
{
    const auto& g = fwupdate_globals();
    va_list args;
    va_start(args, format);
    deliver(g.rfc_trace_cb, g.rfc_trace_level, fwupdate_tls().rfc_trace_cb_ctxt, level, format, args);
    va_end(args);
}

std::string fwupdate_card_config_dir()
{
    return fwupdate_globals().conf_dir + "/" + fwupdate_tls().vmb_bdf;
}
