#pragma once

// orlixctl: the operator's front end to the card management library. every
// command fills a JSON document and, for the readable form, a table; main
// prints one or the other and turns failures into exit codes.

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "aml/aml_card_handle.h"
#include "aml/aml_status.h"

using json = nlohmann::ordered_json;

// exit codes
constexpr int CTL_EXIT_OK = 0;
constexpr int CTL_EXIT_FAILURE = 1;
constexpr int CTL_EXIT_NOTHING_TO_DO = 2;
constexpr int CTL_EXIT_NOT_FOUND = 3;
constexpr int CTL_EXIT_CHECK_FAILED = 4;

// a command that cannot go on: the exit code, the code of the JSON error
// (the library status where the library failed, else the exit code) and the
// message for standard error
struct ctl_error : std::runtime_error {
    int exit_code;
    int code;
    ctl_error(int exit, const std::string& message, int error_code = -1)
        : std::runtime_error(message), exit_code(exit), code(error_code < 0 ? exit : error_code)
    {
    }
};

// a failed library call: "<status text>: <library error>", exit 1 (3 for
// "Entry/Object not found")
[[noreturn]] void ctl_fail(aml_status_e status, const std::string& error);

struct ctl_options {
    bool json = false;
    bool pretty = false;
    bool assume_yes = false;
    std::string state_dir;      // operational files (logs, work directories, dumps)
    std::string conf_dir;       // what stays installed per card
    std::string telemetry_dir;  // the daemon's telemetry files
    std::string monitor_config;        // the installed daemon configuration
    std::string telemetry_dir_source;  // how telemetry_dir was found, for the operator
};
ctl_options& ctl_opts();

// what a command leaves to print
struct ctl_result {
    json doc = json::object();
    std::string table;  // the readable form, ending in a newline
    int exit_code = CTL_EXIT_OK;
};

// a plain table: a header row and rows, columns padded to their widest cell
std::string ctl_table(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows);
// "key   value" lines
std::string ctl_fields(const std::vector<std::pair<std::string, std::string>>& fields);

// root check with the same words as the daemon's
void ctl_require_root();
// the library directories, created on first use
void ctl_library_init();

// a card named by PCI address, UUID, serial number or index of `card list`;
// 3 when no card matches
aml_card_handle_s ctl_select_card(const std::string& text);
// several cards: "all", or names separated by commas
std::vector<aml_card_handle_s> ctl_select_cards(const std::string& text);

// asks on a terminal (unless --assume-yes); false when the operator declines.
// without a terminal on standard input it refuses (exit 2, nothing done)
bool ctl_confirm(const std::string& question);
// ctl_confirm, a declined question ending the command (exit 2, nothing done)
void ctl_confirm_or_stop(const std::string& question);

// one library request: the response, or the command failed with its error
template <typename Req, typename Rsp>
Rsp ctl_call(aml_status_e (*op)(Req*, Rsp*), Req req)
{
    Rsp rsp;
    aml_status_e status = op(&req, &rsp);
    if (status != AML_STATUS_OK) {
        ctl_fail(status, rsp.error);
    }
    return rsp;
}

// one bar per card on a terminal (standard error), one line per step
// otherwise; progress never goes back
class ctl_progress {
public:
    explicit ctl_progress(const std::vector<std::string>& labels);
    ~ctl_progress();
    void update(size_t card, unsigned percent, const std::string& status);
    void finish();

private:
    struct row {
        std::string label;
        unsigned percent = 0;
        std::string status;
        bool started = false;
    };
    void draw_locked();
    std::vector<row> rows_;
    bool bars_;
    bool drawn_ = false;
    double start_;
    void* mutex_;
};

// the command groups
namespace CLI {
class App;
}
using ctl_runner = std::function<ctl_result()>;
// before anything runs: a command that takes -y, chosen without -y and
// without a terminal on standard input, is refused (exit 2) naming -y
void ctl_refuse_unconfirmed(const CLI::App& app);
// one command of a group's table: its name and help, whether it takes CARD
// (ctl_card_arg()) and -y, further arguments, and what it runs
struct ctl_command_s {
    const char* name;
    const char* help;
    bool card = true;
    bool asks = false;
    std::function<void(CLI::App&)> options;
    ctl_runner runs;
};
// adds the table's commands under parent; the chosen one's runs goes to run
void ctl_add_commands(CLI::App& parent, const std::vector<ctl_command_s>& table, ctl_runner& run);
// a group of commands under parent, one of which must be chosen
CLI::App& ctl_add_group(CLI::App& parent, const char* name, const char* help);
// the CARD the chosen command names
const std::string& ctl_card_arg();
constexpr const char* CTL_CARD_HELP = "PCI address, UUID, serial number or index from `card list`";

// each group adds its subcommands; `run` is called with the chosen command
void ctl_add_card_commands(CLI::App& app, ctl_runner& run);
void ctl_add_fw_commands(CLI::App& app, ctl_runner& run);
void ctl_add_other_commands(CLI::App& app, ctl_runner& run);
void ctl_add_telemetry_commands(CLI::App& app, ctl_runner& run);
void ctl_add_config_commands(CLI::App& app, ctl_runner& run);
void ctl_add_ops_commands(CLI::App& app, ctl_runner& run);

// "Error - unknown command 'crad'; did you mean 'card'?" for the first word
// of argv that names no command where one is needed, else empty
std::string ctl_unknown_command(CLI::App& app, int argc, char** argv);

// where the monitor writes unless its configuration says otherwise (the package's choice)
constexpr const char* CTL_PACKAGE_TELEMETRY_DIR = "/var/lib/orlixmon";
constexpr const char* CTL_MONITOR_CONFIG = "/etc/orlixmon/orlixmon.json";
// telemetry_dir unless given: the installed monitor configuration's, else the package's
void ctl_resolve_telemetry_dir();

// text helpers
std::string ctl_lower(std::string text);
std::string ctl_trim(const std::string& text);

// the engine's view of a card: running and next boot image, the versions on
// flash by group, secure boot state (fw show, card show)
json ctl_fw_state(aml_card_handle_s& card);
std::string ctl_fw_state_table(const json& state);
// "no", or which image and version run after the pending reset
std::string ctl_fw_pending_text(const json& state);
// card reset CARD: the card reboots into its next boot image
ctl_command_s ctl_card_reset_command();
