#pragma once

// the library's process-wide state, its one-time initialisation and the
// folders it works in (uses utils)

#include <string>

#include "aml/aml_status.h"

constexpr const char* AML_DEFAULT_CONF_DIR = "/etc/kovra/orlix/";
constexpr const char* AML_DEFAULT_OPER_DIR = "/tmp/orlix/";

struct aml_init_params_s {
    std::string oper_dir;
    std::string conf_dir;
    // the card requests skip the firmware errno and negative result checks
    // and go straight to the response size check
    bool skip_ipc_errno_check = false;
};

struct aml_state_s {
    bool initialised = false;
    std::string oper_dir;
    std::string conf_dir;
    bool skip_ipc_errno_check = false;
};

// written only by aml_init, read without a lock: initialise before starting
// threads that use the library
extern aml_state_s g_aml_state;

// the calling thread's test setting, refreshed from AML_TEST_ENV by every
// handle validation
extern thread_local int g_aml_test_env;

// once per process: creates both directories and stores them; a second call
// returns 0 and changes nothing
aml_status_e aml_init(const aml_init_params_s& params);

// the configured directories, or their defaults while none is configured
std::string aml_conf_dir();
std::string aml_oper_dir();
// aml_oper_dir() + "/fwupgrade/fwupgrade-logs-" + name + ".log"
std::string aml_debug_log_file(const std::string& name);

// reads AML_TEST_ENV (decimal) into g_aml_test_env when it is set
void aml_test_env_refresh();
