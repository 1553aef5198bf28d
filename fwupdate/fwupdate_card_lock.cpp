// the per-card install lock (see fwupdate_card_lock.h)

#include "fwupdate/fwupdate_card_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fwupdate/fwupdate.h"
#include "ipc/private_dir.h"

namespace {

constexpr const char* k_lock_name = "update.lock";

// the lock file in the card's checked folder, never through a link
int open_lock(const std::string& oper_dir, const std::string& bdf, std::string& error)
{
    private_dir base, card;
    if (!private_dir_open(oper_dir, true, base, error) || !private_dir_sub(base, bdf, true, card, error)) {
        return -1;
    }
    return private_dir_open_file(card, k_lock_name, O_RDWR | O_CREAT, error);
}

std::string own_command()
{
    char comm[64] = {};
    int fd = open("/proc/self/comm", O_RDONLY | O_CLOEXEC);
    ssize_t n = fd >= 0 ? read(fd, comm, sizeof comm - 1) : -1;
    if (fd >= 0) {
        close(fd);
    }
    std::string out = n > 0 ? std::string(comm, static_cast<size_t>(n)) : "unknown";
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) {
        out.pop_back();
    }
    return out;
}

// what the holder wrote: "PID COMMAND" as "PID (COMMAND)"; the file is only
// root's, but its text is still read as untrusted (printable, bounded)
std::string read_holder(int fd)
{
    char buf[128] = {};
    ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
    std::string text;
    for (ssize_t i = 0; i < n && buf[i] != '\n'; i++) {
        text += (buf[i] >= 0x20 && buf[i] < 0x7f) ? buf[i] : '?';
    }
    size_t sp = text.find(' ');
    if (text.empty() || sp == std::string::npos) {
        return text.empty() ? "an unknown process" : "pid " + text;
    }
    return "pid " + text.substr(0, sp) + " (" + text.substr(sp + 1) + ")";
}

}  // namespace

fwupdate_card_lock::~fwupdate_card_lock()
{
    if (fd_ >= 0) {
        // the text goes with the lock; the file stays, removing it would let
        // a waiter lock a file nobody else opens any more
        (void)ftruncate(fd_, 0);
        close(fd_);
    }
}

int fwupdate_card_lock::acquire()
{
    const auto& tls = fwupdate_tls();
    std::string error;
    int fd = open_lock(fwupdate_globals().oper_dir, tls.vmb_bdf, error);
    if (fd < 0) {
        fwupdate_log(trace_level_err, "Failed to open the update lock of %s: %s", tls.vmb_bdf.c_str(), error.c_str());
        return FWUPDATE_ERR;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        std::string holder = err == EWOULDBLOCK ? read_holder(fd) : "";
        close(fd);
        if (err != EWOULDBLOCK) {
            fwupdate_log(trace_level_err, "Failed to lock %s for the update: %s", tls.vmb_bdf.c_str(), strerror(err));
            return FWUPDATE_ERR;
        }
        fwupdate_log(trace_level_err, "Card %s is busy: %s is installing on it, try again when it has finished",
                     tls.vmb_bdf.c_str(), holder.c_str());
        return FWUPDATE_BUSY;
    }
    std::string text = std::to_string(getpid()) + " " + own_command() + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        // the lock holds all the same; only the name in a refusal is lost
        fwupdate_log(trace_level_warn, "Failed to write the holder of the update lock of %s", tls.vmb_bdf.c_str());
    }
    fd_ = fd;
    return 0;
}

int fwupdate_card_lock::acquire_and_refresh()
{
    int rc = acquire();
    return rc != 0 ? rc : fwupdate_version_info_refresh();
}
