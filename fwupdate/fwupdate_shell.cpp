// running the command-line tools, manifest queries, the engine's private folders

#include "fwupdate/fwupdate_shell.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "fwupdate/fwupdate.h"
#include "fwupdate/rfc.h"
#include "ipc/private_dir.h"
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
    return r.ok() ? 0 : FWUPDATE_ERR;
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

int jq_query(const std::string& filter, const std::vector<std::string>& args, const std::string& file,
             std::string& value)
{
    value.clear();
    // values reach jq as its own string variables ($a0, $a1, ...), never as
    // filter text
    std::string command = "jq -r";
    for (size_t i = 0; i < args.size(); i++) {
        command += " --arg a" + std::to_string(i) + " " + ipc_shell_quote(args[i]);
    }
    return run_command(command + ipc_shell_command(" {} {} 2>/dev/null", {filter, file}), value);
}

static int jq_query(const std::string& filter, const std::string& manifest, std::string& value)
{
    return jq_query(filter, {}, manifest, value);
}

std::string fwupdate_work_manifest()
{
    return fwupdate_tls().fwupgrade_bdf_dir + "/MANIFEST";
}

int manifest_value_get_quiet(const std::string& key, const std::string& manifest, std::string& value)
{
    return manifest_value_get_quiet(key, {}, manifest, value);
}

int manifest_value_get_quiet(const std::string& key, const std::vector<std::string>& args,
                             const std::string& manifest, std::string& value)
{
    std::string filter = key + " | tostring";
    int rc = jq_query(filter, args, manifest, value);
    if (rc != 0 || value.empty() || value == "null") {
        std::string fallback = fwupdate_work_manifest();
        std::string second;
        if (fallback != manifest && file_exists(fallback) && jq_query(filter, args, fallback, second) == 0 &&
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
        return FWUPDATE_ERR;
    }
    return 0;
}

int manifest_length_get(const std::string& key, const std::string& manifest, int& length)
{
    return manifest_length_get(key, {}, manifest, length);
}

int manifest_length_get(const std::string& key, const std::vector<std::string>& args, const std::string& manifest,
                        int& length)
{
    std::string out;
    int rc = jq_query(key + " | length", args, manifest, out);
    if (rc != 0) {
        return rc;
    }
    try {
        length = std::stoi(out);
    } catch (const std::exception&) {
        return FWUPDATE_ERR;
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

int fwupdate_make_dir(const std::string& path, const std::string& below)
{
    private_dir base, dir;
    std::string error;
    if (!private_dir_open(path, true, base, error) ||
        (!below.empty() && !private_dir_sub(base, below, true, dir, error))) {
        fprintf(stderr, "%s\n", error.c_str());
        fwupdate_log(trace_level_err, "%s", error.c_str());
        return FWUPDATE_ERR;
    }
    return 0;
}

bool fwupdate_private_dir(const std::string& path, private_dir& dir)
{
    std::string error;
    if (!private_dir_open(path, false, dir, error)) {
        fwupdate_log(trace_level_err, "%s", error.c_str());
        return false;
    }
    return true;
}

bool fwupdate_remove(const std::string& dir_path, std::initializer_list<std::string_view> names)
{
    private_dir dir;
    if (!fwupdate_private_dir(dir_path, dir)) {
        return false;
    }
    bool ok = true;
    for (std::string_view name : names) {
        std::string error;
        if (!private_dir_remove(dir, std::string(name), error)) {
            fwupdate_log(trace_level_err, "%s", error.c_str());
            ok = false;
        }
    }
    return ok;
}

bool fwupdate_write_output(const std::string& path, const std::string& text)
{
    std::string error;
    if (!private_file_write(path, text, false, error)) {
        rfc_log(trace_level_err, "Failed to open file %s", path.c_str());
        rfc_log(trace_level_err, "%s", error.c_str());
        return false;
    }
    return true;
}

void fwupdate_clean_work_dir()
{
    const std::string& path = fwupdate_tls().fwupgrade_bdf_dir;
    // never initialised: nothing of ours to empty
    if (path.empty()) {
        return;
    }
    // through descriptors of the checked folder: a link in it is removed as
    // a link, a folder swapped for a link or another user's is refused
    private_dir dir;
    std::string error;
    if (!fwupdate_private_dir(path, dir) || !private_dir_empty(dir, error)) {
        if (!error.empty()) {
            fwupdate_log(trace_level_err, "%s", error.c_str());
        }
    }
}

void fwupdate_final_cleanup()
{
    auto& tls = fwupdate_tls();
    if (!tls.vmb_bdf.empty()) {
        (void)fwupdate_remove(fwupdate_globals().oper_dir + "/" + tls.vmb_bdf, {"upgrade_card_info.txt"});
    }
    fwupdate_clean_work_dir();
    rfc_cleanup();
}
