#pragma once

// the modules' diagnostics decoded into base units and flags

#include <array>
#include <cstddef>
#include <cstdint>

// a QSFP module's digital diagnostics as SFF-8636 lays them out: the lower
// memory (bytes 0-127) and upper page 3 (the thresholds, bytes 128-255),
// turned into base units

constexpr size_t ORLIXMON_XCVR_LANES = 4;
constexpr size_t ORLIXMON_XCVR_PAGE_SIZE = 128;
constexpr uint32_t ORLIXMON_XCVR_THRESHOLD_PAGE = 3;

// the four levels of one quantity: what its flags say, or its thresholds
enum orlixmon_xcvr_level_e {
    ORLIXMON_XCVR_HIGH_ALARM = 0,
    ORLIXMON_XCVR_LOW_ALARM = 1,
    ORLIXMON_XCVR_HIGH_WARNING = 2,
    ORLIXMON_XCVR_LOW_WARNING = 3,
};
constexpr size_t ORLIXMON_XCVR_LEVELS = 4;

// the quantities that have flags and thresholds
enum orlixmon_xcvr_quantity_e {
    ORLIXMON_XCVR_TEMPERATURE = 0,
    ORLIXMON_XCVR_SUPPLY_VOLTAGE = 1,
    ORLIXMON_XCVR_RX_POWER = 2,
    ORLIXMON_XCVR_TX_BIAS = 3,
    ORLIXMON_XCVR_TX_POWER = 4,
};
constexpr size_t ORLIXMON_XCVR_QUANTITIES = 5;

using orlixmon_xcvr_flags_t = std::array<bool, ORLIXMON_XCVR_LEVELS>;
using orlixmon_xcvr_lanes_t = std::array<double, ORLIXMON_XCVR_LANES>;

struct orlixmon_xcvr_diag_s {
    uint32_t port = 0;        // the cage, from 1
    bool present = false;     // a module in the cage
    bool valid = false;       // its monitoring values were read and ready
    bool thresholds = false;  // page 3 was read (paged memory only)
    double temperature_c = 0;
    double supply_v = 0;
    orlixmon_xcvr_lanes_t rx_power_w{};
    orlixmon_xcvr_lanes_t tx_power_w{};
    orlixmon_xcvr_lanes_t tx_bias_a{};
    // latched flags: [quantity][lane][level]; temperature and voltage on lane 0
    std::array<std::array<orlixmon_xcvr_flags_t, ORLIXMON_XCVR_LANES>, ORLIXMON_XCVR_QUANTITIES> flags{};
    std::array<bool, ORLIXMON_XCVR_LANES> rx_los{}, tx_los{}, tx_fault{};
    // [quantity][level], in the quantity's base unit
    std::array<std::array<double, ORLIXMON_XCVR_LEVELS>, ORLIXMON_XCVR_QUANTITIES> limits{};
};

// lower memory byte 2: the module has no upper pages but page 0
bool orlixmon_xcvr_flat_memory(const uint8_t* lower);

// the values of lower memory and, when page3 is not null, the thresholds of
// upper page 3 (its 128 bytes from address 128). a module whose data is not
// ready yet (byte 2 bit 0) gives no values
void orlixmon_xcvr_decode(const uint8_t* lower, const uint8_t* page3, orlixmon_xcvr_diag_s& diag);
