#pragma once

#include <string>

// one install at a time per card: the engine holds an flock() on
// "update.lock" in the card's folder of the operational directory for the
// whole of an update, a device-config update or a boot image selection.
// flock() goes with the open file, so a second thread of the same process is
// refused as well as another process, and the lock is free again the moment
// its holder exits or dies. the holder writes "PID COMMAND" into the file for
// the refusal to name it.

// the engine's answer when another install holds the card (the firmware's
// "invalid operation": not now, try again later)
constexpr int FWUPDATE_BUSY = 3;

class fwupdate_card_lock {
public:
    fwupdate_card_lock() = default;
    ~fwupdate_card_lock();
    fwupdate_card_lock(const fwupdate_card_lock&) = delete;
    fwupdate_card_lock& operator=(const fwupdate_card_lock&) = delete;

    // takes the lock of the card the calling thread is bound to, without
    // waiting: 0, FWUPDATE_BUSY naming the holder, or FWUPDATE_ERR when the lock file
    // cannot be opened safely (each with its message through the trace)
    int acquire();
    // how every operation that writes the card starts: the lock, then the
    // card's version records read afresh; 0 or the failing step's code
    int acquire_and_refresh();

private:
    int fd_ = -1;
};
