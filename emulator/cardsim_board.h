#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <vector>

#include "emulator/cardsim_dispatch.h"

// the card's board services as its firmware answers them: the CPLD, the
// power and temperature sensors and the FRU memory (endpoint 6), and the
// transceiver cages with their modules' memory (endpoint 7). every record is
// little-endian; the layouts are in docs/emulator.md.

constexpr uint32_t CARDSIM_EP_CPLD = 0x06;
constexpr uint32_t CARDSIM_EP_XCVR = 0x07;

// answer status words of the board services
constexpr uint32_t CARDSIM_BOARD_OK = 0;
constexpr uint32_t CARDSIM_BOARD_MORE = 1;        // a chunked read has more to come
constexpr uint32_t CARDSIM_BOARD_EIO = 5;         // the module did not answer
constexpr uint32_t CARDSIM_BOARD_ENODEV = 19;     // no module in the cage
constexpr uint32_t CARDSIM_BOARD_EINVAL = 22;     // bad port, range or argument

constexpr size_t CARDSIM_FRU_SIZE = 1024;
constexpr size_t CARDSIM_XCVR_LOWER = 128;        // bytes 0..127, byte 127 selects the page
constexpr size_t CARDSIM_XCVR_PAGE = 128;         // each upper page, at bytes 128..255
constexpr size_t CARDSIM_XCVR_PAGES = 256;
constexpr size_t CARDSIM_XCVR_DOM_SIZE = 1024;
constexpr size_t CARDSIM_XCVR_CHUNK = 512;         // read data per answer at most
constexpr size_t CARDSIM_XCVR_WRITE_MAX = 212;

struct cardsim_cpld_s {
    uint32_t rev = 3;
    uint32_t id = 101;
    uint32_t minor_rev = 2;
    uint32_t boot_status = 0;
    uint32_t reset_cause = 0;
    uint32_t reset_events = 0;
    uint8_t led_a = 0, led_b = 0;  // the system LED, reported as a | b << 8
    uint8_t card_status = 0;
    std::array<uint8_t, 4> fw_version{};
    uint32_t fw_select = 0;
    std::array<uint8_t, 256> regs{};
    // a non-zero value: every CPLD and sensor answer carries this status
    uint32_t status = 0;
};

struct cardsim_sensors_s {
    uint32_t pin = 18000, pout1 = 9000, pout2 = 7000;   // milliwatts
    uint32_t vin = 12000, vout1 = 850, vout2 = 1200;    // millivolts
    uint32_t board_temp = 41, die_temp = 57, hwtrip_temp = 110;  // degrees
};

// one transceiver cage and the module in it. ports are numbered from 1.
struct cardsim_xcvr_s {
    bool present = true;
    bool in_reset = false;
    bool low_power = false;
    bool powered = true;
    bool power_failure = false;
    bool power_ctrl = true;
    bool intr_pending = false;
    uint8_t led_colour = 0, led_frequency = 0;
    uint8_t link_status = 0;
    uint32_t temperature = 0;
    // module memory: the lower 128 bytes, then 256 upper pages of 128 bytes.
    // byte 127 of the lower memory selects the page that bytes 128..255
    // show; a read past byte 255 goes on into the following pages.
    std::vector<uint8_t> lower = std::vector<uint8_t>(CARDSIM_XCVR_LOWER, 0);
    std::vector<uint8_t> upper = std::vector<uint8_t>(CARDSIM_XCVR_PAGE * CARDSIM_XCVR_PAGES, 0);
    std::vector<uint8_t> dom = std::vector<uint8_t>(CARDSIM_XCVR_DOM_SIZE, 0);
    // how many bytes 127 was written with, the module's page selects
    uint32_t page_selects = 0;
};

// the monitored readings of a module that can be changed (SFF-8636 lower
// memory bytes 22-57); the flags of bytes 6-14 follow them against the
// thresholds on page 3
enum class cardsim_xcvr_reading_e {
    TEMPERATURE,   // degrees celsius
    VOLTAGE,       // supply voltage, volts
    RX_POWER_DBM,  // per lane
    TX_POWER_DBM,  // per lane
    TX_BIAS_MA,    // per lane
};

// a healthy module's diagnostics in the memory of x: readings, thresholds
// on page 3, no flag set
void cardsim_xcvr_healthy(cardsim_xcvr_s& x);
// sets one reading of x, on lane 1-4 or every lane (0), and its flags
// again; false for a value that does not fit its field
bool cardsim_xcvr_set_reading(cardsim_xcvr_s& x, cardsim_xcvr_reading_e what, double value, uint32_t lane);

enum class cardsim_xcvr_fault_e {
    NONE,
    READ_FAILS,   // reads of module memory and monitoring data answer status `value`
    WRITE_FAILS,  // writes of module memory answer status `value`
    READ_STALLS,  // reads answer "more to come" with no data, forever
    LONG_CHUNK,   // every read answer carries 512 bytes, whatever was asked
};

struct cardsim_xcvr_fault_s {
    cardsim_xcvr_fault_e kind = cardsim_xcvr_fault_e::NONE;
    uint32_t value = CARDSIM_BOARD_EIO;
    uint32_t port = 0;  // 0: every port
};

// one request the board services received
struct cardsim_board_request_s {
    uint32_t endpoint = 0;
    uint32_t opcode = 0;
    std::vector<uint8_t> body;
    uint32_t word(size_t at) const;  // a 32-bit field of the body, 0 past its end
};

struct cardsim_board_reply_s {
    uint32_t fw_errno = 0;  // 95 for an opcode the services do not have
    std::vector<uint8_t> body;
};

class cardsim_board {
public:
    // `ports` transceiver cages, numbered 1..ports, each with a module whose
    // memory holds a recognisable pattern (see docs/emulator.md)
    explicit cardsim_board(size_t ports);

    // one exchange of endpoint 6 or 7
    cardsim_board_reply_s handle(uint32_t endpoint, uint32_t opcode, const uint8_t* req, size_t len);
    // the answer size of an exchange; 0 when it is not known
    static size_t response_size(uint32_t endpoint, uint32_t opcode);

    cardsim_cpld_s cpld() const;
    void set_cpld(const cardsim_cpld_s& cpld);
    cardsim_sensors_s sensors() const;
    void set_sensors(const cardsim_sensors_s& sensors);
    std::vector<uint8_t> fru() const;
    void set_fru(const std::vector<uint8_t>& fru);  // cut or padded with 0xff to 1 KiB

    size_t ports() const;
    // a copy of cage `port` (1..ports); an empty default one for another port
    cardsim_xcvr_s xcvr(uint32_t port) const;
    void set_xcvr(uint32_t port, const cardsim_xcvr_s& xcvr);
    void set_present(uint32_t port, bool present);
    // a module's reading (cardsim_xcvr_set_reading); false for no such port or a bad value
    bool set_xcvr_reading(uint32_t port, cardsim_xcvr_reading_e what, double value, uint32_t lane = 0);
    // the page byte 127 selects now
    uint8_t selected_page(uint32_t port) const;
    void set_xcvr_fault(const cardsim_xcvr_fault_s& fault);

    // the requests received, oldest first (the last 4096)
    std::vector<cardsim_board_request_s> requests() const;
    std::vector<cardsim_board_request_s> requests(uint32_t endpoint, uint32_t opcode) const;
    void clear_requests();

private:
    // the handlers of the dispatch tables, called with the lock held
    static void cpld_answer_(cardsim_board& b, uint32_t opcode, const uint8_t* req, size_t len,
                             std::vector<uint8_t>& rsp);
    static void xcvr_answer_(cardsim_board& b, uint32_t opcode, const uint8_t* req, size_t len,
                             std::vector<uint8_t>& rsp);
    static const cardsim_op_s<cardsim_board> k_cpld_ops[];
    static const cardsim_op_s<cardsim_board> k_xcvr_ops[];
    static const cardsim_op_s<cardsim_board>* find_op_(uint32_t endpoint, uint32_t opcode);
    bool fault_on_(cardsim_xcvr_fault_e kind, uint32_t port) const;

    mutable std::mutex mutex_;
    cardsim_cpld_s cpld_;
    cardsim_sensors_s sensors_;
    std::vector<uint8_t> fru_;
    std::vector<cardsim_xcvr_s> xcvrs_;
    cardsim_xcvr_fault_s fault_;
    std::vector<cardsim_board_request_s> requests_;
};
