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

namespace {
std::string g_card;
}

const std::string& ctl_card_arg()
{
    return g_card;
}

CLI::App& ctl_add_group(CLI::App& parent, const char* name, const char* help)
{
    CLI::App* group = parent.add_subcommand(name, help);
    group->require_subcommand(1);
    return *group;
}

void ctl_add_commands(CLI::App& parent, const std::vector<ctl_command_s>& table, ctl_runner& run)
{
    for (const auto& c : table) {
        CLI::App* sub = parent.add_subcommand(c.name, c.help);
        if (c.card) {
            sub->add_option("CARD", g_card, CTL_CARD_HELP)->required();
        }
        if (c.options) {
            c.options(*sub);
        }
        if (c.asks) {
            sub->add_flag("-y,--assume-yes", ctl_opts().assume_yes, "do not ask for confirmation");
        }
        sub->callback([&run, runs = c.runs] { run = runs; });
    }
}
