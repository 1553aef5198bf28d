// SFF-8636 diagnostics: monitored values at lower memory bytes 22-57, the
// latched interrupt flags at bytes 3-14, the thresholds on upper page 3

#include "monitor/xcvr_diag.h"

namespace {

constexpr size_t k_status = 2;
constexpr uint8_t k_data_not_ready = 0x01, k_flat_mem = 0x04;
constexpr size_t k_los = 3, k_fault = 4, k_temperature = 22, k_vcc = 26;
constexpr size_t k_rx_power = 34, k_tx_bias = 42, k_tx_power = 50;

// units of each quantity's 16-bit word per base unit: a division rounds
// as the decimal reading does (1000 x 0.1 uW is 1e-4 W, not 9.99...e-5)
constexpr double k_per_unit[ORLIXMON_XCVR_QUANTITIES] = {
    256,     // temperature: signed, 1/256 degree
    10000,   // supply voltage: 100 uV
    1e7,     // rx power: 0.1 uW
    500000,  // tx bias: 2 uA
    1e7,     // tx power: 0.1 uW
};

// where each quantity's flags and thresholds are: the flag byte of lanes
// 1-2 (lanes 3-4 in the next one; temperature and voltage have one lane,
// in the high nibble) and the first threshold's address on page 3
struct quantity_layout_s {
    size_t flag_byte;
    size_t threshold_at;
};

constexpr quantity_layout_s k_layout[ORLIXMON_XCVR_QUANTITIES] = {
    {6, 128}, {7, 144}, {9, 176}, {11, 184}, {13, 192},
};

uint16_t word(const uint8_t* p, size_t at)
{
    return static_cast<uint16_t>(p[at] << 8 | p[at + 1]);
}

double value_of(orlixmon_xcvr_quantity_e q, const uint8_t* p, size_t at)
{
    const uint16_t w = word(p, at);
    return (q == ORLIXMON_XCVR_TEMPERATURE ? static_cast<double>(static_cast<int16_t>(w)) : w) / k_per_unit[q];
}

// a nibble of flags: high alarm, low alarm, high warning, low warning from its top bit down
orlixmon_xcvr_flags_t nibble(uint8_t byte, bool high)
{
    const uint8_t n = high ? byte >> 4 : byte & 0x0f;
    return {(n & 8) != 0, (n & 4) != 0, (n & 2) != 0, (n & 1) != 0};
}

}  // namespace

bool orlixmon_xcvr_flat_memory(const uint8_t* lower)
{
    return (lower[k_status] & k_flat_mem) != 0;
}

void orlixmon_xcvr_decode(const uint8_t* lower, const uint8_t* page3, orlixmon_xcvr_diag_s& d)
{
    d.valid = (lower[k_status] & k_data_not_ready) == 0;
    if (!d.valid) {
        return;
    }
    d.temperature_c = value_of(ORLIXMON_XCVR_TEMPERATURE, lower, k_temperature);
    d.supply_v = value_of(ORLIXMON_XCVR_SUPPLY_VOLTAGE, lower, k_vcc);
    for (size_t lane = 0; lane < ORLIXMON_XCVR_LANES; lane++) {
        d.rx_power_w[lane] = value_of(ORLIXMON_XCVR_RX_POWER, lower, k_rx_power + 2 * lane);
        d.tx_bias_a[lane] = value_of(ORLIXMON_XCVR_TX_BIAS, lower, k_tx_bias + 2 * lane);
        d.tx_power_w[lane] = value_of(ORLIXMON_XCVR_TX_POWER, lower, k_tx_power + 2 * lane);
        d.rx_los[lane] = (lower[k_los] >> lane) & 1;
        d.tx_los[lane] = (lower[k_los] >> (4 + lane)) & 1;
        d.tx_fault[lane] = (lower[k_fault] >> lane) & 1;
    }
    for (size_t q = 0; q < ORLIXMON_XCVR_QUANTITIES; q++) {
        const size_t flag_byte = k_layout[q].flag_byte;
        if (q <= ORLIXMON_XCVR_SUPPLY_VOLTAGE) {
            d.flags[q][0] = nibble(lower[flag_byte], true);
            continue;
        }
        for (size_t lane = 0; lane < ORLIXMON_XCVR_LANES; lane++) {
            d.flags[q][lane] = nibble(lower[flag_byte + lane / 2], lane % 2 == 0);
        }
    }
    d.thresholds = page3 != nullptr;
    if (page3 == nullptr) {
        return;
    }
    for (size_t q = 0; q < ORLIXMON_XCVR_QUANTITIES; q++) {
        for (size_t level = 0; level < ORLIXMON_XCVR_LEVELS; level++) {
            d.limits[q][level] = value_of(static_cast<orlixmon_xcvr_quantity_e>(q), page3,
                                          k_layout[q].threshold_at - ORLIXMON_XCVR_PAGE_SIZE + 2 * level);
        }
    }
}
