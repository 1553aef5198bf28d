// orlix-cardsim: an emulated host with ORLIX cards for a command to run on.
//
//   orlix-cardsim run [--cards N] [--ports P] [--lifs L] [--tick-ms T] [--busy-polls B] [--control FIFO] [--set LINE]... -- COMMAND [ARG...]
//   orlix-cardsim list [--cards N] [--ports P] [--lifs L]

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
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

struct option_s {
    const char* name;
    size_t shape_s::*field;
    size_t min, max;
};

const option_s k_options[] = {
    {"--cards", &shape_s::cards, 1, CARDSIM_CARDS_MAX},
    {"--ports", &shape_s::ports, 0, 11},
    {"--lifs", &shape_s::lifs, 1, CARDSIM_LIF_MAX},
    {"--tick-ms", &shape_s::tick_ms, 0, 3600000},
    {"--busy-polls", &shape_s::busy_polls, 0, 1000},
};

int usage(const char* why)
{
    if (why) {
        fprintf(stderr, "orlix-cardsim: %s\n", why);
    }
    fprintf(why ? stderr : stdout,
            "usage: orlix-cardsim run [--cards N] [--ports P] [--lifs L] [--tick-ms T] [--busy-polls B] [--control FIFO] "
            "[--set LINE]... -- COMMAND [ARG...]\n"
            "       orlix-cardsim list [--cards N] [--ports P] [--lifs L]\n"
            "       orlix-cardsim --help | --version\n\n"
            "run builds an emulated host and runs COMMAND in it (with the umockdev preload); list prints the\n"
            "cards. --busy-polls B makes every polled flash operation (erase, checksum, verification) answer\n"
            "\"in progress\" B times before it is done (0 by default). --control FIFO reads faults from a fifo\n"
            "(made when missing) while COMMAND runs, e.g.\n"
            "  echo 'hang 1' > FIFO\n"
            "--set LINE applies one control line before COMMAND starts (as many as given, in order), e.g.\n"
            "  --set 'flash 1 stuck'\n\n%s",
            cardsim_control_help());
    return why ? 2 : 0;
}

// the options up to "--" or the end; the rest is the command
bool parse_args(int argc, char** argv, shape_s& shape, std::vector<std::string>& command, std::string& error)
{
    for (int i = 2; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--") {
            command.assign(argv + i + 1, argv + argc);
            return true;
        }
        if (arg == "--set") {
            if (i + 1 >= argc || *argv[i + 1] == '\0') {
                error = "--set takes a control line";
                return false;
            }
            shape.set.push_back(argv[++i]);
            continue;
        }
        if (arg == "--control") {
            if (i + 1 >= argc || *argv[i + 1] == '\0') {
                error = "--control takes the path of a fifo";
                return false;
            }
            shape.control = argv[++i];
            continue;
        }
        const option_s* opt = nullptr;
        for (const auto& o : k_options) {
            opt = arg == o.name ? &o : opt;
        }
        if (opt == nullptr) {
            error = "unknown option " + arg;
            return false;
        }
        char* end = nullptr;
        errno = 0;
        unsigned long long v = i + 1 < argc ? strtoull(argv[i + 1], &end, 10) : 0;
        if (i + 1 >= argc || *argv[i + 1] == '\0' || *argv[i + 1] == '-' || *end != '\0' || errno != 0 ||
            v < opt->min || v > opt->max) {
            error = fmt::format("{} takes a number from {} to {}", opt->name, opt->min, opt->max);
            return false;
        }
        shape.*opt->field = static_cast<size_t>(v);
        i++;
    }
    return true;
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

}  // namespace

int main(int argc, char** argv)
{
    ensure_preload(argv);
    if (argc < 2) {
        return usage("missing command");
    }
    std::string verb = argv[1];
    if (verb == "--version" || verb == "-V") {
        printf("orlix-cardsim %s\n", ORLIX_VERSION);
        return 0;
    }
    if (verb == "--help" || verb == "-h" || verb == "help") {
        return usage(nullptr);
    }
    if (verb != "run" && verb != "list") {
        return usage(("unknown command " + verb).c_str());
    }
    shape_s shape;
    std::vector<std::string> command;
    std::string error;
    if (!parse_args(argc, argv, shape, command, error)) {
        return usage(error.c_str());
    }
    if (verb == "run" && command.empty()) {
        return usage("run needs a command after --");
    }

    cardsim_host host(host_options(shape));
    if (!host.ok()) {
        fprintf(stderr, "orlix-cardsim: %s\n", host.error().c_str());
        return 1;
    }
    if (verb == "list") {
        print_cards(host, stdout);
        return 0;
    }
    for (size_t i = 0; i < host.card_count(); i++) {
        host.flash(i).set_busy_polls(static_cast<uint32_t>(shape.busy_polls));
    }
    for (const auto& line : shape.set) {
        std::string error;
        if (!cardsim_control_apply(host, line, error)) {
            return usage(("--set " + line + ": " + error).c_str());
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
