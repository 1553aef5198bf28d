// confirmation of the commands that change a card or the host. a command that
// takes -y is one that asks; without a terminal to ask on, it refuses unless
// -y was given, the way package managers do: a script's "echo n |" or
// "</dev/null" must never be taken for a yes

#include <unistd.h>

#include <cstdio>
#include <iostream>

#include <CLI/CLI.hpp>

#include "tools/orlixctl/ctl.h"

namespace {

[[noreturn]] void refuse(const std::string& what)
{
    throw ctl_error(CTL_EXIT_NOTHING_TO_DO, "Error - " + what +
                                                " needs confirmation and standard input is not a terminal: "
                                                "add -y (--assume-yes) to go ahead; nothing done");
}

}  // namespace

void ctl_refuse_unconfirmed(const CLI::App& app)
{
    if (ctl_opts().assume_yes || isatty(STDIN_FILENO)) {
        return;
    }
    // the command chosen: the last subcommand parsed, with its path
    const CLI::App* cmd = &app;
    std::string path;
    while (!cmd->get_subcommands().empty()) {
        cmd = cmd->get_subcommands().front();
        path += (path.empty() ? "" : " ") + cmd->get_name();
    }
    if (cmd->get_option_no_throw("--assume-yes") == nullptr) {
        return;
    }
    // a rehearsal changes nothing and asks nothing
    const CLI::Option* dry = cmd->get_option_no_throw("--dry-run");
    if (dry != nullptr && dry->count() > 0) {
        return;
    }
    refuse("orlixctl " + path);
}

bool ctl_confirm(const std::string& question)
{
    if (ctl_opts().assume_yes) {
        return true;
    }
    if (!isatty(STDIN_FILENO)) {
        refuse("\"" + question + "\"");
    }
    fprintf(stderr, "%s [y/N] ", question.c_str());
    fflush(stderr);
    std::string answer;
    if (!std::getline(std::cin, answer)) {
        return false;
    }
    answer = ctl_lower(ctl_trim(answer));
    return answer == "y" || answer == "yes";
}

void ctl_confirm_or_stop(const std::string& question)
{
    if (!ctl_confirm(question)) {
        throw ctl_error(CTL_EXIT_NOTHING_TO_DO, "Error - not confirmed, nothing done");
    }
}
