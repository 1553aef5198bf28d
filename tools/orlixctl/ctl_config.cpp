// config check: a monitor configuration read as the daemon reads it, with
// its own parser and its own messages; and where the daemon's telemetry
// files are, from the installed configuration

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "monitor/orlixmon_config.h"
#include "monitor/pipeline.h"
#include "tools/orlixctl/ctl.h"

namespace {

// the daemon's readers write their reasons to standard error: run one with
// standard error going to a memory file and give back what it wrote
template <typename F>
int capture_stderr(F&& f, std::string& text)
{
    fflush(stderr);
    int mem = memfd_create("orlixctl-stderr", MFD_CLOEXEC);
    int saved = mem < 0 ? -1 : dup(STDERR_FILENO);
    if (mem < 0 || saved < 0 || dup2(mem, STDERR_FILENO) < 0) {
        if (mem >= 0) {
            close(mem);
        }
        if (saved >= 0) {
            close(saved);
        }
        return f();  // the messages go to the terminal instead
    }
    int rc = f();
    fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    char buf[4096];
    ssize_t n;
    lseek(mem, 0, SEEK_SET);
    while ((n = read(mem, buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<size_t>(n));
    }
    close(mem);
    return rc;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> out;
    size_t from = 0;
    for (size_t nl; from < text.size(); from = nl + 1) {
        nl = text.find('\n', from);
        nl = nl == std::string::npos ? text.size() : nl;
        std::string l = ctl_trim(text.substr(from, nl - from));
        if (!l.empty()) {
            out.push_back(l);
        }
    }
    return out;
}

bool is_directory(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

ctl_result config_check(const std::string& file)
{
    orlixmon_init_params_s params{};
    std::string said;
    int rc = capture_stderr([&] { return parse_config_from_json(file, params); }, said);
    std::vector<std::string> errors = lines_of(said);
    if (rc == 0) {
        // what the daemon checks next at start, with its words
        const std::pair<const std::string*, const char*> dirs[] = {
            {&params.log_dir, "Log directory "},
            {&params.telemetry_dir, "Telemetry directory "},
        };
        for (const auto& [dir, text] : dirs) {
            if (!is_directory(*dir)) {
                errors.push_back(text + *dir + " doesn't exist or not accessible");
            }
        }
        pipeline_init_params_s counters{params.lif_counters, params.port_counters, params.card_counters};
        pipeline_monitor_info_s info;
        said.clear();
        if (capture_stderr([&] { return pipeline_init(&counters, &info); }, said) != 0) {
            for (const auto& l : lines_of(said)) {
                errors.push_back(l);
            }
        }
    }
    ctl_result r;
    r.doc = json{{"file", file}, {"valid", errors.empty()}, {"errors", errors},
                 {"warnings", params.config_warnings}};
    for (const auto& e : errors) {
        r.table += e + "\n";
    }
    for (const auto& w : params.config_warnings) {
        r.table += "Warning - " + w + "\n";
    }
    if (!errors.empty()) {
        r.table += file + ": the monitor would not start\n";
        r.exit_code = CTL_EXIT_FAILURE;
    } else if (!params.config_warnings.empty()) {
        r.table += fmt::format("{}: valid, with {} warning{}\n", file, params.config_warnings.size(),
                               params.config_warnings.size() == 1 ? "" : "s");
        r.exit_code = CTL_EXIT_CHECK_FAILED;
    } else {
        r.table += file + ": valid\n";
    }
    return r;
}

}  // namespace

void ctl_resolve_telemetry_dir()
{
    ctl_options& o = ctl_opts();
    if (!o.telemetry_dir.empty()) {
        o.telemetry_dir_source = "given";
        return;
    }
    orlixmon_init_params_s params{};
    std::string said;
    if (access(o.monitor_config.c_str(), F_OK) != 0) {
        o.telemetry_dir_source = o.monitor_config + " not found, the package's default";
    } else if (capture_stderr([&] { return parse_config_from_json(o.monitor_config, params); }, said) != 0) {
        o.telemetry_dir_source = o.monitor_config + " unreadable (" + ctl_trim(said) + "), the package's default";
    } else {
        o.telemetry_dir = params.telemetry_dir;
        o.telemetry_dir_source = "telemetry_dir of " + o.monitor_config;
        return;
    }
    o.telemetry_dir = CTL_PACKAGE_TELEMETRY_DIR;
}

void ctl_add_config_commands(CLI::App& app, ctl_runner& run)
{
    static std::string file;
    ctl_add_commands(ctl_add_group(app, "config", "the monitor's configuration"),
                     {{"check", "read a configuration as the monitor does and tell what is wrong", false, false,
                       [](CLI::App& c) { c.add_option("FILE", file, "the configuration file")->required(); },
                       [] { return config_check(file); }}},
                     run);
}
