// orlixmon's entry point: root check, single instance, options, then the monitor

#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include <spdlog/spdlog.h>

#include "ipc/private_dir.h"
#include "monitor/orlixmon.h"
#include "monitor/orlixmon_config.h"
#include "monitor/orlixmon_state.h"
#include "monitor/single_instance.h"

static const struct option k_long_options[] = {
    {"help", no_argument, nullptr, 'h'},
    {"config-file", required_argument, nullptr, 'c'},
    {nullptr, 0, nullptr, 0},
};

static void print_usage(const char* argv0)
{
    printf("Usage: %s [OPTIONS]\n"
           "  -h, --help           show this help message\n"
           "  -c, --config-file    specify config file\n",
           argv0);
}

static bool is_directory(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

struct dir_check_s {
    std::string orlixmon_init_params_s::*dir;
    const char* message;
};

static const dir_check_s k_dir_checks[] = {
    {&orlixmon_init_params_s::log_dir, "Log directory %s doesn't exist or not accessible\n"},
    {&orlixmon_init_params_s::telemetry_dir, "Telemetry directory %s doesn't exist or not accessible\n"},
};

// a failing telemetry or trace file is reported at most once a second, with
// the number of failures since the last report: a full disk must not flood
// standard error
static void report_log_error(const std::string& msg)
{
    static std::mutex lock;
    static std::chrono::steady_clock::time_point last;
    static unsigned long quiet = 0;
    std::lock_guard<std::mutex> guard(lock);
    auto now = std::chrono::steady_clock::now();
    if (last.time_since_epoch().count() != 0 && now - last < std::chrono::seconds(1)) {
        quiet++;
        return;
    }
    if (quiet > 0) {
        fprintf(stderr, "spdlog error: %s (and %lu more since the last report)\n", msg.c_str(), quiet);
    } else {
        fprintf(stderr, "spdlog error: %s\n", msg.c_str());
    }
    last = now;
    quiet = 0;
}

int main(int argc, char** argv)
{
    const char* argv0 = argc > 0 ? argv[0] : "orlixmon";
    std::string program(argv0);
    program = program.substr(program.find_last_of('/') + 1);

    if (geteuid() != 0) {
        fprintf(stderr, "Error - ORLIX monitor requires root privileges, please login as superuser or use sudo\n");
        return -1;
    }
    if (orlixmon_other_instance_running(program, getpid())) {
        fprintf(stderr, "Error - %s is already running\n", program.c_str());
        return -1;
    }
    // a file size limit makes a write fail (and is reported) instead of
    // ending the process
    signal(SIGXFSZ, SIG_IGN);
    spdlog::set_error_handler(report_log_error);

    std::string config_file;
    for (;;) {
        int opt = getopt_long(argc, argv, "hc:", k_long_options, nullptr);
        if (opt == -1) {
            break;
        }
        switch (opt) {
        case 'c':
            config_file = optarg;
            break;
        case 'h':
            print_usage(argv0);
            return 0;
        default:
            print_usage(argv0);
            return -1;
        }
    }
    if (config_file.empty()) {
        fprintf(stderr, "Error - \"config-file\" is mandatory\n");
        print_usage(argv0);
        return -1;
    }

    orlixmon_init_params_s params{};
    if (parse_config_from_json(config_file, params) != 0) {
        return -1;
    }
    // the file is taken as written; what it says by mistake is only told
    for (const auto& warning : params.config_warnings) {
        fprintf(stderr, "Warning - %s: %s\n", config_file.c_str(), warning.c_str());
    }
    for (const auto& check : k_dir_checks) {
        if (!is_directory(params.*check.dir)) {
            fprintf(stderr, check.message, (params.*check.dir).c_str());
            return -1;
        }
        // root's log and telemetry files go only where no other user can
        // put a link or a file of theirs first
        private_dir dir;
        std::string why;
        if (!private_dir_open(params.*check.dir, false, dir, why)) {
            fprintf(stderr, "%s\n", why.c_str());
            return -1;
        }
    }
    orlixmon_signals_init();
    int rc = orlixmon_init(&params);
    // in order, while the logging library is still there: the signal thread,
    // then the cards (workers, telemetry files, their loggers)
    orlixmon_signals_end();
    g_orlixmon_state.release();
    if (rc != 0) {
        fprintf(stderr, "Failed to initiate ORLIX monitor ...\n");
        return -1;
    }
    printf("Exiting ORLIX monitor ...\n");
    return 0;
}
