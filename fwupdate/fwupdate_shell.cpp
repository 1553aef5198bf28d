#include "fwupdate/fwupdate_shell.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "fwupdate/fwupdate_state.h"
#include "fwupdate/rfc.h"
#include "ipc/shell_command.h"

int run_command(const std::string& command, std::string& output)
{
    ipc_shell_result_s r = ipc_shell_run(command);
    std::string text;
    for (size_t i = 0; i < r.lines.size(); i++) {
        text += r.lines[i];
        if (i + 1 < r.lines.size()) {
            text += '\n';
        }
    }
    output += text;
    return r.ok() ? 0 : 255;
}

int run_command(std::string_view tmpl, std::initializer_list<std::string_view> values, std::string& output)
{
    return run_command(ipc_shell_command(tmpl, values), output);
}

bool file_exists(const std::string& path)
{
    FILE* f = fopen(path.c_str(), "r");
    if (f == nullptr) {
        return false;
    }
    fclose(f);
    return true;
}

static int jq_query(const std::string& filter, const std::string& manifest, std::string& value)
{
    value.clear();
    return run_command("jq -r {} {} 2>/dev/null", {filter, manifest}, value);
}

static std::string work_manifest()
{
    return fwupdate_tls().fwupgrade_bdf_dir + "/MANIFEST";
}

int manifest_value_get_quiet(const std::string& key, const std::string& manifest, std::string& value)
{
    std::string filter = key + " | tostring";
    int rc = jq_query(filter, manifest, value);
    if (rc != 0 || value.empty() || value == "null") {
        std::string fallback = work_manifest();
        std::string second;
        if (fallback != manifest && file_exists(fallback) && jq_query(filter, fallback, second) == 0 &&
            !second.empty() && (rc != 0 || second != "null")) {
            value = second;
            rc = 0;
        }
    }
    return rc;
}

int manifest_value_get(const std::string& key, const std::string& manifest, std::string& value)
{
    int rc = manifest_value_get_quiet(key, manifest, value);
    if (rc != 0) {
        fwupdate_log(trace_level_err, "Failed to get the values for %s", key.c_str());
        return rc;
    }
    if (value == "null") {
        fwupdate_log(trace_level_err, "manifest value %s not found", key.c_str());
        return 255;
    }
    return 0;
}

int manifest_length_get(const std::string& key, const std::string& manifest, int& length)
{
    std::string out;
    int rc = jq_query(key + " | length", manifest, out);
    if (rc != 0) {
        return rc;
    }
    try {
        length = std::stoi(out);
    } catch (const std::exception&) {
        return 255;
    }
    return 0;
}

int manifest_keys_get(const std::string& key, const std::string& manifest, std::vector<std::string>& keys)
{
    std::string out;
    int rc = jq_query(key + " | keys_unsorted | join(\" \")", manifest, out);
    if (rc != 0) {
        return rc;
    }
    keys.clear();
    size_t at = 0;
    while (at < out.size()) {
        size_t end = out.find(' ', at);
        if (end == std::string::npos) {
            end = out.size();
        }
        if (end > at) {
            keys.push_back(out.substr(at, end - at));
        }
        at = end + 1;
    }
    return 0;
}

int fwupdate_make_dir(const std::string& path)
{
    ipc_shell_result_s r = ipc_shell_run(ipc_shell_command("mkdir -p {}", {path}));
    if (!r.started) {
        fprintf(stderr, "Failed to create directory %s, err - %s\n", path.c_str(), strerror(errno));
        return 255;
    }
    if (!r.ok()) {
        int status = r.exited ? r.exit_status : 255;
        fprintf(stderr, "Failed to create directory %s, err - %d%s%s\n", path.c_str(), status,
                r.errors.empty() ? "" : ": ", r.errors.c_str());
        return status == 0 ? 255 : status;
    }
    return 0;
}

void fwupdate_clean_work_dir()
{
    const std::string& dir = fwupdate_tls().fwupgrade_bdf_dir;
    // "rm -rf DIR/*" with an empty DIR would be "rm -rf /*"
    if (dir.size() < 2 || dir[0] != '/' || dir.find("/fwupgrade/") == std::string::npos) {
        return;
    }
    std::string out;
    (void)run_command(ipc_shell_command("rm -rf {}", {dir}) + "/*", out);
}

void fwupdate_final_cleanup()
{
    auto& tls = fwupdate_tls();
    if (!tls.vmb_bdf.empty()) {
        remove((fwupdate_globals().oper_dir + "/" + tls.vmb_bdf + "/upgrade_card_info.txt").c_str());
    }
    fwupdate_clean_work_dir();
    rfc_cleanup();
}
