#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

class cardsim_host;

// faults and card removal driven from outside the emulator, one line a
// command, so that any program can be tested as a black box:
//
//   hang N            card N stops answering
//   answer N          card N answers again (clears its fault)
//   errno N E         the driver fails card N's reads with errno E (EIO, 5, ...)
//   fwerr N CODE      card N's firmware answers with errno CODE
//   delay N MS        card N answers every request MS milliseconds late
//   remove N          card N disappears: device nodes and sysfs entries gone
//   restore N         card N comes back, as a rescan would find it
//   reset N           card N reboots into its startup image (or the next
//                     whole one of its boot order; none: it stops answering)
//   flash N F [P]     card N's flash service goes wrong (stuck, erase-fails,
//                     verify-mismatch, boot-lost; ok clears it), on partition P or all
//   vpd N off|on      card N's vital product data (its serial) reads empty, or again
//   xcvr N P R V [L]  the module in cage P of card N reads V (temperature,
//                     voltage, rx-power-dbm, tx-power-dbm, tx-bias-ma) on
//                     lane L or every lane; "present on|off" too
//   tick on|off       counters advance or stand still
//
// N is the card's index as `orlix-cardsim list` prints it. blank lines and
// lines starting with # are skipped.

// the words and what they do, for the usage text
const char* cardsim_control_help();

// carries out one line; false with the reason for a line it cannot take
bool cardsim_control_apply(cardsim_host& host, const std::string& line, std::string& error);

// reads lines from a fifo (made when it does not exist) on a thread of its
// own until it is destroyed; each line's outcome goes to standard error.
// a line written before a request to a card is carried out before the card
// answers it (remove, restore and vpd, which change the pci tree, and the
// lines after them: a moment later, on the channel's thread)
class cardsim_control_channel {
public:
    cardsim_control_channel(cardsim_host& host, const std::string& fifo);
    ~cardsim_control_channel();
    cardsim_control_channel(const cardsim_control_channel&) = delete;
    cardsim_control_channel& operator=(const cardsim_control_channel&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

private:
    void loop_();
    // reads what the fifo holds and carries out its whole lines; with
    // tree_too false (under a request) it stops before a line that changes
    // the pci tree
    void catch_up_(bool tree_too);

    cardsim_host& host_;
    std::string error_;
    int fd_ = -1;
    std::mutex mutex_;      // one reader of the fifo at a time, lines in order
    std::string pending_;   // read, not yet carried out
    std::atomic<bool> stop_{false};
    std::thread reader_;
};
