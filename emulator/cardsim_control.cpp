// faults from outside: control words applied to the host, one line at a
// time, directly or read from a fifo on a thread of their own

#include "emulator/cardsim_control.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include "emulator/cardsim_host.h"

namespace {

struct errno_name_s {
    const char* name;
    int value;
};

const errno_name_s k_errno_names[] = {
    {"EIO", EIO},       {"ETIMEDOUT", ETIMEDOUT}, {"ENODEV", ENODEV}, {"ENXIO", ENXIO},   {"EAGAIN", EAGAIN},
    {"EBUSY", EBUSY},   {"EINVAL", EINVAL},       {"EPERM", EPERM},   {"ENOMEM", ENOMEM}, {"EFAULT", EFAULT},
    {"EINTR", EINTR},   {"ENOENT", ENOENT},       {"EPIPE", EPIPE},   {"EMSGSIZE", EMSGSIZE},
};

bool number_of(const std::string& text, unsigned long max, unsigned long& value)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    value = strtoul(text.c_str(), nullptr, 10);
    return value <= max;
}

bool errno_of(const std::string& text, unsigned long& value)
{
    for (const auto& e : k_errno_names) {
        if (text == e.name) {
            value = static_cast<unsigned long>(e.value);
            return true;
        }
    }
    return number_of(text, 4095, value) && value > 0;
}

struct control_word_s {
    const char* word;
    size_t args;      // after the card index
    size_t optional;  // of which the last ones may be left out
    bool (*apply)(cardsim_host& host, size_t card, const std::vector<std::string>& args, std::string& error);
    // changes the pci tree (device nodes, sysfs), under the tree's lock: not
    // under a request, whose handler the tree's changes may wait for
    bool tree = false;
};

bool do_hang(cardsim_host& host, size_t card, const std::vector<std::string>&, std::string&)
{
    host.set_fault(card, {cardsim_fault_e::SILENT, 0, 0, 0});
    return true;
}

bool do_answer(cardsim_host& host, size_t card, const std::vector<std::string>&, std::string&)
{
    host.clear_fault(card);
    return true;
}

bool do_errno(cardsim_host& host, size_t card, const std::vector<std::string>& args, std::string& error)
{
    unsigned long value = 0;
    if (!errno_of(args[0], value)) {
        error = "unknown errno " + args[0];
        return false;
    }
    host.set_fault(card, {cardsim_fault_e::DRIVER_ERRNO, static_cast<uint32_t>(value), 0, 0});
    return true;
}

bool do_fwerr(cardsim_host& host, size_t card, const std::vector<std::string>& args, std::string& error)
{
    unsigned long value = 0;
    if (!number_of(args[0], 0xffffffffu, value)) {
        error = "firmware errno must be a number: " + args[0];
        return false;
    }
    host.set_fault(card, {cardsim_fault_e::FW_ERRNO, static_cast<uint32_t>(value), 0, 0});
    return true;
}

bool do_delay(cardsim_host& host, size_t card, const std::vector<std::string>& args, std::string& error)
{
    unsigned long ms = 0;
    if (!number_of(args[0], 3600000, ms)) {
        error = "delay takes milliseconds (0 to 3600000): " + args[0];
        return false;
    }
    host.set_fault(card, {cardsim_fault_e::DELAY, static_cast<uint32_t>(ms), 0, 0});
    return true;
}

bool do_remove(cardsim_host& host, size_t card, const std::vector<std::string>&, std::string&)
{
    host.remove_card(card);
    return true;
}

bool do_restore(cardsim_host& host, size_t card, const std::vector<std::string>&, std::string&)
{
    host.restore_card(card);
    return true;
}

bool do_reset(cardsim_host& host, size_t card, const std::vector<std::string>&, std::string& error)
{
    if (host.reset_card(card) == CARDSIM_IMAGE_NONE) {
        error = "no whole image to boot, the card stays silent";
        return false;
    }
    return true;
}

struct flash_fault_name_s {
    const char* name;
    cardsim_flash_fault_e kind;
};

const flash_fault_name_s k_flash_faults[] = {
    {"ok", cardsim_flash_fault_e::NONE},
    {"stuck", cardsim_flash_fault_e::STUCK_IN_PROGRESS},
    {"erase-fails", cardsim_flash_fault_e::ERASE_FAILS},
    {"verify-mismatch", cardsim_flash_fault_e::VERIFY_MISMATCH},
    {"boot-lost", cardsim_flash_fault_e::BOOT_SELECT_LOST},
};

// flash N FAULT [PARTITION]: the card's flash service goes wrong, on every
// partition or on the one named
bool do_flash(cardsim_host& host, size_t card, const std::vector<std::string>& args, std::string& error)
{
    cardsim_flash_fault_s fault;
    const flash_fault_name_s* found = nullptr;
    for (const auto& f : k_flash_faults) {
        found = args[0] == f.name ? &f : found;
    }
    if (found == nullptr) {
        error = "unknown flash fault " + args[0];
        return false;
    }
    fault.kind = found->kind;
    if (args.size() > 1) {
        uint32_t p = 0;
        while (p < CARDSIM_FLASH_PARTITIONS && args[1] != cardsim_flash::partition_name(p)) {
            p++;
        }
        if (p == CARDSIM_FLASH_PARTITIONS) {
            error = "no flash partition " + args[1];
            return false;
        }
        fault.partition = p;
    }
    host.set_flash_fault(card, fault);
    return true;
}

bool do_vpd(cardsim_host& host, size_t card, const std::vector<std::string>& args, std::string& error)
{
    if (args[0] != "on" && args[0] != "off") {
        error = "vpd takes on or off";
        return false;
    }
    host.set_vpd_readable(card, args[0] == "on");
    return true;
}

struct xcvr_reading_name_s {
    const char* name;
    cardsim_xcvr_reading_e what;
};

const xcvr_reading_name_s k_xcvr_readings[] = {
    {"temperature", cardsim_xcvr_reading_e::TEMPERATURE},
    {"voltage", cardsim_xcvr_reading_e::VOLTAGE},
    {"rx-power-dbm", cardsim_xcvr_reading_e::RX_POWER_DBM},
    {"tx-power-dbm", cardsim_xcvr_reading_e::TX_POWER_DBM},
    {"tx-bias-ma", cardsim_xcvr_reading_e::TX_BIAS_MA},
};

bool decimal_of(const std::string& text, double& value)
{
    char* end = nullptr;
    value = strtod(text.c_str(), &end);
    return !text.empty() && end != nullptr && *end == '\0';
}

// xcvr N PORT WHAT VALUE [LANE]: a reading of the module in cage PORT, on
// one lane or all of them; "present on|off" puts it in or takes it out
bool do_xcvr(cardsim_host& host, size_t card, const std::vector<std::string>& args, std::string& error)
{
    cardsim_board& board = host.firmware(card).board();
    unsigned long port = 0, lane = 0;
    if (!number_of(args[0], 0xffff, port) || port == 0 || port > board.ports()) {
        error = "no transceiver cage " + args[0];
        return false;
    }
    if (args[1] == "present") {
        if (args[2] != "on" && args[2] != "off") {
            error = "present takes on or off";
            return false;
        }
        board.set_present(static_cast<uint32_t>(port), args[2] == "on");
        return true;
    }
    double value = 0;
    if (args.size() > 3 && (!number_of(args[3], 4, lane) || lane == 0)) {
        error = "lane must be 1 to 4: " + args[3];
        return false;
    }
    for (const auto& r : k_xcvr_readings) {
        if (args[1] != r.name) {
            continue;
        }
        if (!decimal_of(args[2], value) ||
            !board.set_xcvr_reading(static_cast<uint32_t>(port), r.what, value, static_cast<uint32_t>(lane))) {
            error = "bad value " + args[2] + " for " + args[1];
            return false;
        }
        return true;
    }
    error = "unknown transceiver reading " + args[1];
    return false;
}

const control_word_s k_words[] = {
    {"hang", 0, 0, do_hang},     {"answer", 0, 0, do_answer},   {"errno", 1, 0, do_errno},
    {"fwerr", 1, 0, do_fwerr},   {"delay", 1, 0, do_delay},     {"remove", 0, 0, do_remove, true},
    {"restore", 0, 0, do_restore, true}, {"flash", 2, 1, do_flash}, {"reset", 0, 0, do_reset},
    {"vpd", 1, 0, do_vpd, true}, {"xcvr", 4, 1, do_xcvr},
};

// the line's first word, empty for a blank line
std::string first_word(const std::string& line)
{
    std::istringstream in(line);
    std::string word;
    in >> word;
    return word;
}

bool changes_tree(const std::string& line)
{
    const std::string word = first_word(line);
    for (const auto& w : k_words) {
        if (word == w.word) {
            return w.tree;
        }
    }
    return false;
}

constexpr size_t k_line_max = 4096;

}  // namespace

const char* cardsim_control_help()
{
    return "control words (one a line, N is a card index as list prints it):\n"
           "  hang N          card N stops answering\n"
           "  answer N        card N answers again\n"
           "  errno N E       the driver fails card N's reads with errno E (EIO, ETIMEDOUT, 5, ...)\n"
           "  fwerr N CODE    card N's firmware answers with errno CODE\n"
           "  delay N MS      card N answers every request MS milliseconds late\n"
           "  remove N        card N disappears (device nodes and sysfs entries)\n"
           "  restore N       card N comes back, as a rescan finds it\n"
           "  reset N         card N reboots into its startup image (boot order: selected, other main, gold)\n"
           "  flash N F [P]   card N's flash service goes wrong, on partition P or all: F is stuck\n"
           "                  (polled operations stay in progress), erase-fails, verify-mismatch,\n"
           "                  boot-lost (boot image selections are not kept) or ok (no fault)\n"
           "  vpd N off|on    card N's vital product data (its serial) reads empty, or again\n"
           "  xcvr N P R V [L] the module in cage P of card N reads V on lane L or all lanes: R is\n"
           "                  temperature (C), voltage (V), rx-power-dbm, tx-power-dbm, tx-bias-ma;\n"
           "                  present on|off puts the module in or takes it out\n"
           "  tick on|off     counters advance or stand still\n";
}

bool cardsim_control_apply(cardsim_host& host, const std::string& line, std::string& error)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) {
        words.push_back(w);
    }
    if (words.empty() || words[0][0] == '#') {
        return true;
    }
    if (words[0] == "tick") {
        if (words.size() != 2 || (words[1] != "on" && words[1] != "off")) {
            error = "tick takes on or off";
            return false;
        }
        host.set_ticking(words[1] == "on");
        return true;
    }
    for (const auto& w : k_words) {
        if (words[0] != w.word) {
            continue;
        }
        if (words.size() > 2 + w.args || words.size() < 2 + w.args - w.optional) {
            error = std::string(w.word) + " takes a card index" + (w.args ? " and a value" : "") +
                    (w.optional ? " (and an optional one)" : "");
            return false;
        }
        unsigned long card = 0;
        if (!number_of(words[1], CARDSIM_CARDS_MAX, card) || card >= host.card_count()) {
            error = "no card " + words[1];
            return false;
        }
        return w.apply(host, card, std::vector<std::string>(words.begin() + 2, words.end()), error);
    }
    error = "unknown word " + words[0];
    return false;
}

cardsim_control_channel::cardsim_control_channel(cardsim_host& host, const std::string& fifo) : host_(host)
{
    struct stat st;
    if (stat(fifo.c_str(), &st) != 0) {
        if (mkfifo(fifo.c_str(), 0600) != 0) {
            error_ = "cannot make fifo " + fifo + ": " + strerror(errno);
            return;
        }
    } else if (!S_ISFIFO(st.st_mode)) {
        error_ = fifo + " is not a fifo";
        return;
    }
    // opened for writing too, so that the last writer closing is no end of file
    fd_ = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        error_ = "cannot open fifo " + fifo + ": " + strerror(errno);
        return;
    }
    // a writer's line is in the fifo once its write returns, but the reader
    // may not have run yet: each request catches up first, so that the
    // card's answer comes after every line written before it
    host_.set_on_request([this] { catch_up_(false); });
    reader_ = std::thread([this] { loop_(); });
}

cardsim_control_channel::~cardsim_control_channel()
{
    if (fd_ >= 0) {
        host_.set_on_request(nullptr);
    }
    stop_ = true;
    if (reader_.joinable()) {
        reader_.join();
    }
    if (fd_ >= 0) {
        close(fd_);
    }
}

void cardsim_control_channel::catch_up_(bool tree_too)
{
    std::lock_guard<std::mutex> lock(mutex_);
    char buf[512];
    for (ssize_t n; (n = read(fd_, buf, sizeof(buf))) > 0;) {
        pending_.append(buf, static_cast<size_t>(n));
        if (pending_.size() > k_line_max && pending_.find('\n') == std::string::npos) {
            fprintf(stderr, "orlix-cardsim: control: line too long, dropped\n");
            pending_.clear();
        }
    }
    for (size_t nl; (nl = pending_.find('\n')) != std::string::npos;) {
        std::string line = pending_.substr(0, nl);
        // the tree changes on the reader's thread, not under a request;
        // the lines after wait for it, in order
        if (!tree_too && changes_tree(line)) {
            return;
        }
        pending_.erase(0, nl + 1);
        std::string error;
        if (cardsim_control_apply(host_, line, error)) {
            fprintf(stderr, "orlix-cardsim: control: %s: done\n", line.c_str());
        } else {
            fprintf(stderr, "orlix-cardsim: control: %s: %s\n", line.c_str(), error.c_str());
        }
    }
}

void cardsim_control_channel::loop_()
{
    while (!stop_) {
        // also on a timeout: a request may have left a line for this thread
        struct pollfd p = {fd_, POLLIN, 0};
        (void)poll(&p, 1, 100);
        catch_up_(true);
    }
}
