// the trace logger: a trace file and an error file at a level

#include "log/trace_logger.h"

#include <pthread.h>
#include <sched.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <spdlog/async.h>
#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/syslog_sink.h>
#include <syslog.h>

#include "log/banner_file_sink.h"
#include "log/boot_number_flag.h"

namespace utils {

uint64_t g_logger_cpu_mask = 0;

const char* const k_trace_pattern = "%L [%Q %Y-%m-%d %H:%M:%S.%f] (%t) %v";

static constexpr size_t k_async_queue_size = 131072;
static constexpr auto k_async_flush_period = std::chrono::milliseconds(50);

// indexed by trace_level_e
static const spdlog::level::level_enum k_trace_levels[] = {
    spdlog::level::off,
    spdlog::level::err,
    spdlog::level::warn,
    spdlog::level::info,
    spdlog::level::debug,
    spdlog::level::trace,
};

// indexed by sdk::types::syslog_level_e
static const spdlog::level::level_enum k_syslog_levels[] = {
    spdlog::level::off,
    spdlog::level::critical,
    spdlog::level::critical,
    spdlog::level::critical,
    spdlog::level::err,
    spdlog::level::warn,
    spdlog::level::info,
    spdlog::level::info,
    spdlog::level::debug,
};

// flushes the asynchronous loggers on a fixed period (the registry's own
// periodic flush counts whole seconds and only sees registered loggers)
class async_flusher {
public:
    static async_flusher& instance()
    {
        static async_flusher flusher;
        return flusher;
    }
    void add(const std::shared_ptr<spdlog::logger>& logger)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        loggers_.push_back(logger);
        if (!thread_.joinable()) {
            thread_ = std::thread([this] { run_(); });
        }
    }
    ~async_flusher()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        cond_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

private:
    void run_()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!cond_.wait_for(lock, k_async_flush_period, [this] { return stop_; })) {
            for (auto& weak : loggers_) {
                if (auto logger = weak.lock()) {
                    logger->flush();
                }
            }
        }
    }
    std::mutex mutex_;
    std::condition_variable cond_;
    std::vector<std::weak_ptr<spdlog::logger>> loggers_;
    std::thread thread_;
    bool stop_ = false;
};

spdlog::level::level_enum log::trace_level_to_spdlog_level(trace_level_e level)
{
    return level < std::size(k_trace_levels) ? k_trace_levels[level] : spdlog::level::off;
}

spdlog::level::level_enum log::syslog_level_to_spdlog_level(sdk::types::syslog_level_e level)
{
    return level < std::size(k_syslog_levels) ? k_syslog_levels[level] : spdlog::level::off;
}

void log::set_cpu_affinity()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = 0; cpu < 64; cpu++) {
        if (g_logger_cpu_mask & (1ULL << cpu)) {
            CPU_SET(cpu, &set);
        }
    }
    if (CPU_COUNT(&set) > 0) {
        (void)pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
    }
}

bool log::init(const char* name, uint64_t cpu_mask, sdk::types::log_mode_e log_mode, bool syslog,
               const char* err_file, const char* trace_file, uint64_t file_size, uint64_t num_files,
               trace_level_e err_file_level, trace_level_e trace_level,
               sdk::types::syslog_level_e syslog_level)
{
    if (g_logger_cpu_mask == 0) {
        g_logger_cpu_mask = cpu_mask;
    }
    syslog_ = syslog;
    trace_level_ = trace_level;
    syslog_level_ = syslog_level;
    err_file_ = err_file ? err_file : "";
    trace_file_ = trace_file ? trace_file : "";

    try {
        bool async = log_mode == sdk::types::log_mode_async;
        if (async && !spdlog::thread_pool()) {
            spdlog::init_thread_pool(k_async_queue_size, 1, [] { set_cpu_affinity(); });
        }
        std::shared_ptr<spdlog::sinks::sink> sink;
        if (syslog_) {
            sink = std::make_shared<spdlog::sinks::syslog_sink_mt>(name, LOG_PID, LOG_USER, true);
        } else {
            auto dist = std::make_shared<spdlog::sinks::dist_sink_mt>();
            if (!err_file_.empty()) {
                auto err = std::make_shared<banner_file_sink_mt>(err_file_, file_size, num_files);
                err->set_level(trace_level_to_spdlog_level(err_file_level));
                dist->add_sink(err);
            }
            if (!trace_file_.empty()) {
                auto all = std::make_shared<banner_file_sink_mt>(trace_file_, file_size, num_files);
                all->set_level(spdlog::level::trace);
                dist->add_sink(all);
            }
            sink = dist;
        }
        if (async) {
            logger_ = std::make_shared<spdlog::async_logger>(name, sink, spdlog::thread_pool(),
                                                             spdlog::async_overflow_policy::overrun_oldest);
        } else {
            logger_ = std::make_shared<spdlog::logger>(name, sink);
        }
        if (syslog_) {
            spdlog::drop(name);
            spdlog::register_logger(logger_);
        }
        logger_->set_formatter(make_boot_pattern_formatter(k_trace_pattern));
        logger_->set_level(syslog_ ? syslog_level_to_spdlog_level(syslog_level)
                                   : trace_level_to_spdlog_level(trace_level));
        logger_->flush_on(spdlog::level::err);
        if (async) {
            async_flusher::instance().add(logger_);
        }
    } catch (const spdlog::spdlog_ex&) {
        logger_.reset();
    }
    return logger_ != nullptr;
}

log* log::factory(const char* name, uint64_t cpu_mask, sdk::types::log_mode_e log_mode, bool syslog,
                  const char* err_file, const char* trace_file, uint64_t file_size, uint64_t num_files,
                  trace_level_e err_file_level, trace_level_e trace_level,
                  sdk::types::syslog_level_e syslog_level, bool /*flag*/)
{
    if (!name || (!err_file && !trace_file)) {
        return nullptr;
    }
    log* logger = new log();
    if (!logger->init(name, cpu_mask, log_mode, syslog, err_file, trace_file, file_size, num_files,
                      err_file_level, trace_level, syslog_level)) {
        destroy(logger);
        return nullptr;
    }
    return logger;
}

void log::destroy(log* logger)
{
    delete logger;
}

void log::set_trace_level(trace_level_e level)
{
    if (!syslog_ && logger_) {
        logger_->set_level(trace_level_to_spdlog_level(level));
    }
    trace_level_ = level;
}

void log::set_syslog_level(sdk::types::syslog_level_e level)
{
    if (!syslog_) {
        return;
    }
    if (logger_) {
        logger_->set_level(syslog_level_to_spdlog_level(level));
    }
    syslog_level_ = level;
}

void log::flush()
{
    if (logger_) {
        logger_->flush();
    }
}

log* trace_init(trace_params_s* params)
{
    if (!params || !params->name || !params->trace_file) {
        return nullptr;
    }
    return log::factory(params->name, params->cpu_mask,
                        params->sync ? sdk::types::log_mode_sync : sdk::types::log_mode_async, false,
                        params->err_file, params->trace_file, params->file_size, params->num_files,
                        trace_level_err, params->trace_level, sdk::types::log_none, true);
}

void trace_update(trace_level_e level, log* logger)
{
    if (logger) {
        logger->set_trace_level(level);
    }
}

void flush_logs(log* logger)
{
    if (logger) {
        logger->flush();
    }
}

void trace_cleanup(log* logger)
{
    log::destroy(logger);
}

}  // namespace utils
