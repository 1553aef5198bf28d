#include "monitor/orlixmon_trace.h"

#include <cstdio>

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
    __atomic_store_n(&g_trace_logger, logger, __ATOMIC_RELEASE);
    if (logger == nullptr) {
        fprintf(stderr, "Failed to create log files, abort...\n");
        return 255;
    }
    return 0;
}
