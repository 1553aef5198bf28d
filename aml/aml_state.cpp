// the library's process-wide state, its one-time initialisation and the
// folders it works in

#include "aml/aml_state.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "aml/aml_utils.h"

aml_state_s g_aml_state;
thread_local int g_aml_test_env = 0;

// test setting that refuses initialisation
static constexpr int k_test_env_fail_init = 1;

void aml_test_env_refresh()
{
    const char* text = getenv("AML_TEST_ENV");
    if (text == nullptr) {
        return;
    }
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    // text that is not a number, or out of range, counts as no setting
    if (end == text || errno == ERANGE || value < INT_MIN || value > INT_MAX) {
        value = 0;
    }
    g_aml_test_env = static_cast<int>(value);
}

aml_status_e aml_init(const aml_init_params_s& params)
{
    if (g_aml_state.initialised) {
        return AML_STATUS_OK;
    }
    if (g_aml_test_env == k_test_env_fail_init) {
        return AML_STATUS_INVALID_INPUT;
    }
    for (const std::string* dir : {&params.oper_dir, &params.conf_dir}) {
        std::string error;
        if (make_dir(*dir, error) != 0) {
            fprintf(stderr, "%s", error.c_str());
            return AML_STATUS_GENERIC_ERR;
        }
    }
    g_aml_state.oper_dir = params.oper_dir;
    g_aml_state.conf_dir = params.conf_dir;
    g_aml_state.skip_ipc_errno_check = params.skip_ipc_errno_check;
    g_aml_state.initialised = true;
    return AML_STATUS_OK;
}

std::string aml_conf_dir()
{
    return g_aml_state.initialised ? g_aml_state.conf_dir : AML_DEFAULT_CONF_DIR;
}

std::string aml_oper_dir()
{
    return g_aml_state.initialised ? g_aml_state.oper_dir : AML_DEFAULT_OPER_DIR;
}

std::string aml_debug_log_file(const std::string& name)
{
    return aml_oper_dir() + "/fwupgrade/fwupgrade-logs-" + name + ".log";
}
