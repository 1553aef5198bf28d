#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "fwupdate/fwupdate.h"
#include "ipc/shell_command.h"
#include "tests/support/process_runner.h"

// the engine's messages, as a caller of the engine receives them
struct fw_trace_capture {
    std::vector<std::string> lines;
    std::vector<trace_level_e> levels;

    static void cb(void* ctxt, trace_level_e level, const char* format, ...)
    {
        char buf[4096];
        va_list args;
        va_start(args, format);
        vsnprintf(buf, sizeof(buf), format, args);
        va_end(args);
        auto* self = static_cast<fw_trace_capture*>(ctxt);
        self->lines.push_back(buf);
        self->levels.push_back(level);
    }
    // true when a message (without its time stamp) is exactly text
    bool has(const std::string& text) const
    {
        for (const auto& l : lines) {
            size_t close = l.find("] ");
            if (close != std::string::npos && l.substr(close + 2) == text) {
                return true;
            }
        }
        return false;
    }
    std::string all() const
    {
        std::string s;
        for (const auto& l : lines) {
            s += l + "\n";
        }
        return s;
    }
};

// binds the calling thread's engine state to folders of a test, without a
// card: enough for the host-side steps
inline void fw_bind_host_only(const test_temp_dir& dir, fw_trace_capture& trace, const std::string& bdf = "0000:20:00.0")
{
    auto& g = fwupdate_globals();
    auto& tls = fwupdate_tls();
    g.oper_dir = dir.file("oper");
    g.conf_dir = dir.file("conf");
    g.asic_name = "talmira";
    g.fwupdate_trace_cb = fw_trace_capture::cb;
    g.fwupdate_trace_level = trace_level_verbose;
    g.rfc_trace_cb = fw_trace_capture::cb;
    g.rfc_trace_level = trace_level_verbose;
    tls.fwupdate_trace_cb_ctxt = &trace;
    tls.rfc_trace_cb_ctxt = &trace;
    tls.vmb_bdf = bdf;
    tls.fwupgrade_bdf_dir = g.oper_dir + "/fwupgrade/" + bdf + "/";
    tls.dev_oper_dir = g.oper_dir + "/" + bdf + "/";
    std::string out;
    for (const auto& d : {tls.fwupgrade_bdf_dir, g.conf_dir + "/" + bdf + "/", tls.dev_oper_dir}) {
        ipc_shell_run(ipc_shell_command("mkdir -p {}", {d}));
    }
}
