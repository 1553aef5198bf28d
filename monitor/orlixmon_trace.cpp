// the monitor's trace log: its files, its level and the journal copy

#include "monitor/orlixmon_trace.h"

#include <unistd.h>

#include <cstdio>

#include "monitor/journal_events.h"

utils::log* g_trace_logger = nullptr;

static constexpr uint64_t k_trace_file_size = 10485760;
static constexpr uint64_t k_trace_num_files = 5;

int orlixmon_trace_init(const orlixmon_init_params_s* params)
{
    std::string trace_file = params->log_dir + "/orlixmon.log";
    std::string err_file = params->log_dir + "/orlixmon-err.log";
    utils::trace_params_s trace_params;
    trace_params.name = "orlixmon";
    trace_params.cpu_mask = 0;
    trace_params.sync = true;
    trace_params.err_file = err_file.c_str();
    trace_params.trace_file = trace_file.c_str();
    trace_params.file_size = k_trace_file_size;
    trace_params.num_files = k_trace_num_files;
    trace_params.trace_level = trace_level_debug;
    utils::log* logger = utils::trace_init(&trace_params);
    // under systemd the warnings and errors go to the journal as well, with
    // a line that the monitor starts; set up before any other thread logs
    const int journal_fd = orlixmon_journal_stream(STDERR_FILENO);
    if (logger != nullptr && journal_fd >= 0) {
        orlixmon_journal_open(journal_fd);
        logger->logger()->sinks().push_back(orlixmon_journal_sink());
        orlixmon_journal(ORLIXMON_JOURNAL_NOTICE,
                         fmt::format("ORLIX monitor {} starting: trace log {}, telemetry in {}", ORLIXMON_VERSION,
                                     trace_file, params->telemetry_dir));
    }
    __atomic_store_n(&g_trace_logger, logger, __ATOMIC_RELEASE);
    if (logger == nullptr) {
        fprintf(stderr, "Failed to create log files, abort...\n");
        return 255;
    }
    return 0;
}
