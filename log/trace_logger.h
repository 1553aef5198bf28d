#pragma once

// the trace logger

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include <spdlog/spdlog.h>

#include "log/trace_level.h"

namespace utils {

// cpus of the asynchronous logging thread (bit n = cpu n); set by the first
// logger made, 0 until then
extern uint64_t g_logger_cpu_mask;

struct trace_params_s {
    const char* name = nullptr;
    uint64_t cpu_mask = 0;
    bool sync = false;
    const char* err_file = nullptr;
    const char* trace_file = nullptr;
    uint64_t file_size = 0;
    uint64_t num_files = 0;
    trace_level_e trace_level = trace_level_none;
};

// one trace logger: an spdlog logger over rotating files (errors in one,
// everything in the other) or over syslog
class log {
public:
    static log* factory(const char* name, uint64_t cpu_mask, sdk::types::log_mode_e log_mode,
                        bool syslog, const char* err_file, const char* trace_file, uint64_t file_size,
                        uint64_t num_files, trace_level_e err_file_level, trace_level_e trace_level,
                        sdk::types::syslog_level_e syslog_level, bool flag);
    static void destroy(log* logger);

    void set_trace_level(trace_level_e level);
    void set_syslog_level(sdk::types::syslog_level_e level);
    trace_level_e trace_level() const { return trace_level_.load(); }
    sdk::types::syslog_level_e syslog_level() const { return syslog_level_.load(); }
    bool syslog_mode() const { return syslog_; }
    const std::string& err_file() const { return err_file_; }
    const std::string& trace_file() const { return trace_file_; }
    void flush();
    std::shared_ptr<spdlog::logger> logger() const { return logger_; }

    static void set_cpu_affinity();
    static spdlog::level::level_enum trace_level_to_spdlog_level(trace_level_e level);
    static spdlog::level::level_enum syslog_level_to_spdlog_level(sdk::types::syslog_level_e level);

private:
    log() = default;
    ~log() = default;
    bool init(const char* name, uint64_t cpu_mask, sdk::types::log_mode_e log_mode, bool syslog,
              const char* err_file, const char* trace_file, uint64_t file_size, uint64_t num_files,
              trace_level_e err_file_level, trace_level_e trace_level,
              sdk::types::syslog_level_e syslog_level);

    bool syslog_ = false;
    std::atomic<trace_level_e> trace_level_{trace_level_none};
    std::atomic<sdk::types::syslog_level_e> syslog_level_{sdk::types::log_none};
    std::shared_ptr<spdlog::logger> logger_;
    std::string err_file_;
    std::string trace_file_;
};

// the monitor's entry points to the above
log* trace_init(trace_params_s* params);
void trace_update(trace_level_e level, log* logger);
void flush_logs(log* logger);
void trace_cleanup(log* logger);

// the line pattern of every trace file
extern const char* const k_trace_pattern;

}  // namespace utils
