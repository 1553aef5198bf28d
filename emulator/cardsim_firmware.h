#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "emulator/cardsim_board.h"
#include "emulator/cardsim_card.h"
#include "emulator/cardsim_dispatch.h"
#include "emulator/cardsim_flash.h"

// the card firmware's side of the request/response exchanges: what the
// firmware answers to an endpoint, an opcode and a request body, and the
// faults a test can make it commit.

enum class cardsim_fault_e {
    NONE,
    SILENT,          // no answer at all
    DRIVER_ERRNO,    // the device's read fails with `value`
    FW_ERRNO,        // the response header carries firmware errno `value`
    WRONG_OPCODE,    // the response echoes another opcode
    SHORT_BODY,      // the body is cut to `value` bytes
    OVERSIZED_BODY,  // the body is `value` bytes longer than it should be
    WRONG_NONCE,     // the heartbeat echoes another nonce
    STATUS_11,       // the status word of the body is 11
    DELAY,           // the answer comes `value` milliseconds late
};

struct cardsim_fault_s {
    cardsim_fault_e kind = cardsim_fault_e::NONE;
    uint32_t value = 0;
    // the exchange it applies to; 0 and 0 for every exchange
    uint32_t endpoint = 0;
    uint32_t opcode = 0;
};

struct cardsim_reply_s {
    bool silent = false;
    int driver_errno = 0;
    uint32_t fw_errno = 0;
    uint32_t opcode = 0;
    std::vector<uint8_t> body;
    uint32_t delay_ms = 0;  // the answer can be read this long after the request
};

// endpoints and opcodes the model answers itself
constexpr uint32_t CARDSIM_EP_CARD = 0x13, CARDSIM_EP_PORT = 0x11, CARDSIM_EP_LIF = 0x12;
constexpr uint32_t CARDSIM_OP_HEARTBEAT = 0x10000, CARDSIM_OP_DEVICE_INFO = 0x10001;
constexpr uint32_t CARDSIM_OP_PORT_INFO = 0x10000, CARDSIM_OP_PORT_IFINDEX = 0x1000b;
constexpr uint32_t CARDSIM_OP_PORT_STATS_REGION = 0x1001b, CARDSIM_OP_LIF_GET_ALL = 0x10001;
constexpr uint32_t CARDSIM_EP_DEVICE = 0x0b;
constexpr uint32_t CARDSIM_OP_COREDUMP_CLEAR = 0x1000b, CARDSIM_OP_SUC_COREDUMP_CLEAR = 0x10010;
constexpr uint32_t CARDSIM_OP_CARD_RESET = 0x10008;

class cardsim_firmware {
public:
    explicit cardsim_firmware(cardsim_card_spec_s spec);

    cardsim_reply_s handle(uint32_t endpoint, uint32_t opcode, const uint8_t* req, size_t len);

    void set_fault(const cardsim_fault_s& fault);
    cardsim_fault_s fault() const;
    // the card as it is now: a cleared coredump has size 0
    cardsim_card_spec_s spec() const;
    // the card stores a new coredump (CARD_COREDUMP or SUC_COREDUMP) of this size
    void make_coredump(cardsim_dump_e dump, uint32_t size);
    uint64_t requests() const;
    // the card reboots into its startup image (CARDSIM_IMAGE_NONE: nothing
    // boots and the card falls silent); what it was told to fake goes with it
    uint32_t reboot();
    // the firmware-update service and its flash (endpoint 12)
    cardsim_flash& flash() { return flash_; }
    // the board services: CPLD, sensors, FRU (endpoint 6) and transceivers (7)
    cardsim_board& board() { return board_; }
    // called first on every request, outside the card's own locks: what was
    // told to the card from outside before the request comes before its
    // answer. empty for none; returns once no earlier call is running
    void set_on_request(std::function<void()> fn);

private:
    cardsim_card_spec_s spec_;
    cardsim_flash flash_;
    cardsim_board board_;
    mutable std::mutex mutex_;
    cardsim_fault_s fault_;
    uint64_t requests_ = 0;
    std::mutex on_request_mutex_;  // held while on_request_ runs
    std::function<void()> on_request_;
    uint32_t reboot_locked_();
};

// the response body size of a catalogued exchange; 0 when it is not known
size_t cardsim_response_size(uint32_t endpoint, uint32_t opcode);
