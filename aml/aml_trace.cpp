// the firmware update engine's messages, gathered per operation

#include "aml/aml_trace.h"

#include <cstdarg>

#include "aml/aml_utils.h"

// the longest message kept, without its terminator
static constexpr size_t k_trace_msg_max = 1023;

void aml_firmware_trace_cb(void* ctxt, trace_level_e level, const char* format, ...)
{
    auto* trace = static_cast<aml_fwupdate_trace_cb_ctxt_s*>(ctxt);
    if (trace == nullptr || format == nullptr) {
        return;
    }
    char buf[k_trace_msg_max + 1];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buf, sizeof(buf), format, args);
    va_end(args);
    if (n < 0) {
        buf[0] = '\0';
    }
    if (level >= trace_level_err && level <= trace_level_verbose) {
        trace->messages += buf;
        trace->messages += '\n';
        if (level == trace_level_err) {
            trace->last_error = aml_remove_log_timestamp(buf);
        }
    }
    if (trace->log_file != nullptr) {
        fprintf(trace->log_file, "%s\n", buf);
        fflush(trace->log_file);
    }
    if (trace->on_message) {
        trace->on_message();
    }
}
