// the command line itself: an unknown command word named with the nearest
// known one, instead of CLI11's "A subcommand is required"

#include <cstring>

#include <CLI/CLI.hpp>

#include "monitor/orlixmon_config_keys.h"
#include "tools/orlixctl/ctl.h"

namespace {

// true when the option named by arg takes the next argument as its value
bool takes_value(CLI::App* app, const std::string& arg)
{
    if (arg.find('=') != std::string::npos) {
        return false;
    }
    for (CLI::App* a = app; a != nullptr; a = a->get_parent()) {
        const CLI::Option* opt = a->get_option_no_throw(arg);
        if (opt != nullptr) {
            return opt->get_items_expected_max() > 0;
        }
    }
    return false;
}

}  // namespace

std::string ctl_unknown_command(CLI::App& app, int argc, char** argv)
{
    CLI::App* level = &app;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--") {
            return "";
        }
        if (arg.size() > 1 && arg[0] == '-') {
            i += takes_value(level, arg) ? 1 : 0;
            continue;
        }
        std::vector<CLI::App*> subs = level->get_subcommands([](CLI::App*) { return true; });
        if (subs.empty()) {
            return "";  // the operands of a command
        }
        CLI::App* next = nullptr;
        std::vector<std::string> names;
        for (CLI::App* s : subs) {
            names.push_back(s->get_name());
            next = s->check_name(arg) ? s : next;
        }
        if (next == nullptr) {
            std::string near = orlixmon_closest_word(arg, names);
            std::string of = level == &app ? "" : " of '" + level->get_name() + "'";
            return "Error - unknown command '" + arg + "'" + of + (near.empty() ? "" : "; did you mean '" + near + "'?");
        }
        level = next;
    }
    return "";
}
