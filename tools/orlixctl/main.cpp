// orlixctl [-j|--json] [-p|--pretty] OBJECT COMMAND [CARD] [ARGS]

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include <CLI/CLI.hpp>

#include "tools/orlixctl/ctl.h"

namespace {

// a command word that names nothing
constexpr int CTL_EXIT_USAGE = 2;

const char* env_or(const char* name, const char* fallback)
{
    const char* v = getenv(name);
    return v != nullptr && *v != '\0' ? v : fallback;
}

void print_json(const json& doc)
{
    std::cout << doc.dump(ctl_opts().pretty ? 2 : -1) << std::endl;
}

// the error on standard error and, with --json, as the document
int report_error(int exit_code, int code, const std::string& message)
{
    std::cerr << message << std::endl;
    if (ctl_opts().json) {
        print_json(json{{"error", {{"code", code}, {"message", message}}}});
    }
    return exit_code;
}

}  // namespace

int main(int argc, char** argv)
{
    // the global flags are honoured whatever else fails to parse
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "-j") || !strcmp(argv[i], "--json")) {
            ctl_opts().json = true;
        }
    }
    ctl_options& o = ctl_opts();
    // root's own folder: a predictable name in /tmp could be taken by any user first
    o.state_dir = env_or("ORLIXCTL_STATE_DIR", "/var/lib/orlix");
    o.conf_dir = env_or("ORLIXCTL_CONF_DIR", "/etc/kovra/orlix/");
    o.telemetry_dir = env_or("ORLIXCTL_TELEMETRY_DIR", "");
    o.monitor_config = env_or("ORLIXCTL_MONITOR_CONFIG", CTL_MONITOR_CONFIG);

    CLI::App app{"orlixctl: manage the ORLIX cards of this host", "orlixctl"};
    app.require_subcommand(1);
    app.fallthrough();
    app.add_flag("-j,--json", o.json, "print one JSON document on standard output");
    app.add_flag("-p,--pretty", o.pretty, "indent the JSON document");
    app.add_option("--state-dir", o.state_dir, "operational files: logs, work directories (ORLIXCTL_STATE_DIR)")
        ->capture_default_str();
    app.add_option("--conf-dir", o.conf_dir, "the card configuration files (ORLIXCTL_CONF_DIR)")->capture_default_str();
    app.add_option("--telemetry-dir", o.telemetry_dir,
                   "the monitor's telemetry files (ORLIXCTL_TELEMETRY_DIR; default: telemetry_dir of the monitor "
                   "configuration, else /var/lib/orlixmon)");
    app.add_option("--monitor-config", o.monitor_config, "the installed monitor configuration (ORLIXCTL_MONITOR_CONFIG)")
        ->capture_default_str();
    app.set_version_flag("-V,--version", std::string("orlixctl ") + ORLIX_VERSION);

    ctl_runner run;
    ctl_add_card_commands(app, run);
    ctl_add_fw_commands(app, run);
    ctl_add_other_commands(app, run);
    ctl_add_telemetry_commands(app, run);
    ctl_add_config_commands(app, run);
    ctl_add_ops_commands(app, run);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::string unknown = ctl_unknown_command(app, argc, argv);
        if (!unknown.empty()) {
            return report_error(CTL_EXIT_USAGE, CTL_EXIT_USAGE, unknown);
        }
        if (o.json) {
            // CLI11's own text on standard error, the document on standard output
            int rc = app.exit(e, std::cerr, std::cerr);
            print_json(json{{"error", {{"code", rc}, {"message", e.what()}}}});
            return rc;
        }
        return app.exit(e);
    }
    if (!run) {
        std::string unknown = ctl_unknown_command(app, argc, argv);
        if (!unknown.empty()) {
            return report_error(CTL_EXIT_USAGE, CTL_EXIT_USAGE, unknown);
        }
        std::cerr << app.help() << std::endl;
        return static_cast<int>(CLI::ExitCodes::RequiredError);
    }
    try {
        ctl_refuse_unconfirmed(app);
        ctl_result r = run();
        if (o.json) {
            print_json(r.doc);
        } else {
            std::cout << r.table << std::flush;
        }
        return r.exit_code;
    } catch (const ctl_error& e) {
        return report_error(e.exit_code, e.code, e.what());
    } catch (const std::exception& e) {
        return report_error(CTL_EXIT_FAILURE, CTL_EXIT_FAILURE, std::string("Error - ") + e.what());
    }
}
