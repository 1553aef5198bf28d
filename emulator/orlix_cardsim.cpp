// orlix-cardsim: an emulated host with ORLIX cards for a command to run on.
//
//   orlix-cardsim run [--cards N] [--ports P] [--lifs L] [--tick-ms T] [--busy-polls B]
//                     [--control FIFO] [--set LINE]... -- COMMAND [ARG...]
//   orlix-cardsim list [--cards N] [--ports P] [--lifs L] [--tick-ms T]
//
// the command line is read with CLI11; a line it cannot take ends the
// program with a message and status 2

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "emulator/cardsim_control.h"
#include "emulator/cardsim_host.h"

namespace {

constexpr const char* k_preload = "libumockdev-preload.so.0";
volatile sig_atomic_t g_child = 0;

void forward_signal(int signo)
{
    if (g_child > 0) {
        kill(g_child, signo);
    }
}

struct shape_s {
    size_t cards = 2;
    size_t ports = 2;
    size_t lifs = 2;
    size_t tick_ms = 100;
    // "in progress" answers of each polled flash operation. the emulated
    // flash is done at once, and the host waits 10 s before it asks again
    // after an erase's "in progress" (2 s after a verification's): a whole
    // command gets the answer at once unless it asks for the polling
    size_t busy_polls = 0;
    std::string control;  // fifo of control lines, empty for none
    std::vector<std::string> set;  // control lines in force before the command starts
};

// a whole decimal number from min to max: no sign, no base prefix, no blanks
CLI::Validator number(size_t min, size_t max)
{
    return CLI::Validator(
        [min, max](std::string& text) -> std::string {
            bool digits = !text.empty() && text.size() <= 20 &&
                          std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
            errno = 0;
            unsigned long long v = digits ? strtoull(text.c_str(), nullptr, 10) : 0;
            if (!digits || errno != 0 || v < min || v > max) {
                return fmt::format("takes a number from {} to {}", min, max);
            }
            return {};
        },
        fmt::format("{}..{}", min, max));
}

const CLI::Validator k_control_line(
    [](std::string& text) -> std::string { return text.empty() ? "takes a control line" : ""; }, "");
// a path, not the next option or the "--" before the command
const CLI::Validator k_fifo_path(
    [](std::string& text) -> std::string {
        return text.empty() || text[0] == '-' ? "takes the path of a fifo (./" + text + " for one that starts with -)"
                                              : "";
    },
    "");

// the card shape, which run and list both take
void add_shape_options(CLI::App* cmd, shape_s& shape)
{
    cmd->add_option("--cards", shape.cards, "the number of cards")->check(number(1, CARDSIM_CARDS_MAX));
    cmd->add_option("--ports", shape.ports, "ports per card")->check(number(0, 11));
    cmd->add_option("--lifs", shape.lifs, "logical interfaces per card")->check(number(1, CARDSIM_LIF_MAX));
    cmd->add_option("--tick-ms", shape.tick_ms, "milliseconds between two advances of the counters")
        ->check(number(0, 3600000));
}

cardsim_host_options_s host_options(const shape_s& shape)
{
    cardsim_host_options_s options;
    options.cards = shape.cards;
    options.tick_ms = static_cast<uint32_t>(shape.tick_ms);
    for (size_t i = 0; i < shape.cards; i++) {
        cardsim_card_spec_s spec = cardsim_default_card(i);
        spec.port_ifindexes.clear();
        for (size_t p = 0; p < shape.ports; p++) {
            spec.port_ifindexes.push_back(cardsim_ifindex(CARDSIM_IFTYPE_ETH, 1, static_cast<uint32_t>(p + 1)));
        }
        cardsim_lif_spec_s proto = spec.lifs[0];
        spec.lifs.clear();
        for (size_t l = 0; l < shape.lifs; l++) {
            cardsim_lif_spec_s lif = proto;
            lif.name = fmt::format("lif{}", l);
            lif.id[14] = static_cast<uint8_t>(l >> 8);
            lif.id[15] = static_cast<uint8_t>(l);
            lif.hw_id = static_cast<uint16_t>(0x40 + l);
            spec.lifs.push_back(lif);
        }
        options.specs.push_back(spec);
    }
    return options;
}

void print_cards(const cardsim_host& host, FILE* out)
{
    for (size_t i = 0; i < host.card_count(); i++) {
        const auto& c = host.card(i);
        fmt::print(out, "card {}: {} serial {} resource {} ipc {} ({}) core {} ({})\n", i, c.card_bdf, c.serial,
                   c.rsc_bdf, c.ipc_bdf, c.ipc_devnode, c.core_bdf, c.fwctl_devnode);
    }
}

// the command inherits the testbed (UMOCKDEV_DIR) and gets the preload
int run_command(const std::vector<std::string>& command)
{
    pid_t pid = fork();
    if (pid < 0) {
        perror("orlix-cardsim: fork");
        return 1;
    }
    if (pid == 0) {
        std::vector<char*> argv;
        for (const auto& a : command) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        fprintf(stderr, "orlix-cardsim: cannot run %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    g_child = pid;
    struct sigaction sa = {};
    sa.sa_handler = forward_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

// the testbed's own checks of /sys paths go through the preload too: the
// emulator runs under it, and starts itself again when it was not
void ensure_preload(char** argv)
{
    const char* have = getenv("LD_PRELOAD");
    if (have && strstr(have, k_preload)) {
        return;
    }
    std::string preload = have && *have ? std::string(have) + ":" + k_preload : k_preload;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    execv("/proc/self/exe", argv);
    fprintf(stderr, "orlix-cardsim: cannot restart with %s: %s\n", k_preload, strerror(errno));
    exit(1);
}

// a bad command line: the reason and where to read more, status 2
int usage_error(const std::string& why)
{
    fprintf(stderr, "orlix-cardsim: %s\nrun orlix-cardsim --help for the commands and options\n", why.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    ensure_preload(argv);
    shape_s shape;
    std::vector<std::string> command;
    CLI::App app{"an emulated host with ORLIX cards for a command to run on", "orlix-cardsim"};
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.set_version_flag("-V,--version", std::string("orlix-cardsim ") + ORLIX_VERSION);
    app.require_subcommand(1);
    app.footer(cardsim_control_help());
    CLI::App* run = app.add_subcommand("run", "build an emulated host and run COMMAND in it (with the umockdev "
                                              "preload): run [options] -- COMMAND [ARG...]");
    add_shape_options(run, shape);
    run->add_option("--busy-polls", shape.busy_polls,
                    "every polled flash operation (erase, checksum, verification) answers \"in progress\" this many "
                    "times before it is done")
        ->check(number(0, 1000));
    run->add_option("--control", shape.control,
                    "read control lines from this fifo (made when missing) while COMMAND runs")
        ->check(k_fifo_path);
    run->add_option("--set", shape.set, "apply one control line before COMMAND starts (as many as given, in order)")
        ->check(k_control_line)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    CLI::App* list = app.add_subcommand("list", "print the cards a run with the same options builds");
    add_shape_options(list, shape);

    // "help" as a command too; a clear word for a command that is not one
    std::string verb = argc > 1 ? argv[1] : "";
    if (argc == 2 && verb == "help") {
        std::cout << app.help();
        return 0;
    }
    if (verb.empty() || (verb[0] != '-' && verb != "run" && verb != "list")) {
        return usage_error(verb.empty() ? "missing command" : "unknown command " + verb);
    }
    // the command starts after "--" only, so that its own options are not
    // taken for ours: the parser sees what comes before it
    char** end = std::find(argv + 1, argv + argc, std::string("--"));
    bool marked = end != argv + argc;
    if (marked) {
        command.assign(end + 1, argv + argc);
    }
    try {
        app.parse(static_cast<int>(end - argv), argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return usage_error(e.what());
    }
    if (run->parsed() && command.empty()) {
        return usage_error("run needs a command after --");
    }
    if (!run->parsed() && marked) {
        return usage_error("list takes no command");
    }

    cardsim_host host(host_options(shape));
    if (!host.ok()) {
        fprintf(stderr, "orlix-cardsim: %s\n", host.error().c_str());
        return 1;
    }
    if (list->parsed()) {
        print_cards(host, stdout);
        return 0;
    }
    for (size_t i = 0; i < host.card_count(); i++) {
        host.flash(i).set_busy_polls(static_cast<uint32_t>(shape.busy_polls));
    }
    for (const auto& line : shape.set) {
        std::string error;
        if (!cardsim_control_apply(host, line, error)) {
            return usage_error("--set " + line + ": " + error);
        }
    }
    print_cards(host, stderr);
    std::unique_ptr<cardsim_control_channel> control;
    if (!shape.control.empty()) {
        control = std::make_unique<cardsim_control_channel>(host, shape.control);
        if (!control->ok()) {
            fprintf(stderr, "orlix-cardsim: %s\n", control->error().c_str());
            return 1;
        }
    }
    return run_command(command);
}
