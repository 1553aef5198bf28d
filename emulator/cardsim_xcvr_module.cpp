// a module's digital diagnostics as SFF-8636 keeps them: readings in lower
// memory, thresholds on upper page 3, and flags that follow the readings

#include <cmath>

#include "emulator/cardsim_board.h"

namespace {

constexpr size_t k_temperature = 22, k_vcc = 26, k_rx_power = 34, k_tx_bias = 42, k_tx_power = 50;
constexpr size_t k_lanes = 4;

struct quantity_s {
    size_t value_at;     // lower memory; per lane quantities: lane 1's word
    size_t flag_byte;    // lanes 1-2 (3-4 in the next byte); one-lane ones in the high nibble
    size_t limits_at;    // page 3 address: high alarm, low alarm, high warning, low warning
    double unit;         // of the 16-bit word
    bool is_signed;
    bool per_lane;
    double limits[4];    // a healthy module's thresholds
    double healthy;      // and reading
};

// temperature (C), supply voltage (V), rx power, tx bias, tx power (W, A)
const quantity_s k_quantities[] = {
    {k_temperature, 6, 128, 1.0 / 256, true, false, {75, -5, 70, 0}, 22.09},
    {k_vcc, 7, 144, 100e-6, false, false, {3.63, 2.97, 3.465, 3.135}, 3.3},
    {k_rx_power, 9, 176, 0.1e-6, false, true, {2.1878e-3, 40.7e-6, 1.7378e-3, 100e-6}, 631e-6},
    {k_tx_bias, 11, 184, 2e-6, false, true, {15e-3, 2e-3, 13e-3, 3e-3}, 7e-3},
    {k_tx_power, 13, 192, 0.1e-6, false, true, {2.1878e-3, 89.1e-6, 1.7378e-3, 141.3e-6}, 794e-6},
};

enum { TEMPERATURE, VOLTAGE, RX_POWER, TX_BIAS, TX_POWER };

uint8_t* page3(cardsim_xcvr_s& x, size_t at)
{
    return &x.upper[3 * CARDSIM_XCVR_PAGE + (at - CARDSIM_XCVR_LOWER)];
}

// a value as its word; false when it does not fit
bool to_word(const quantity_s& q, double value, uint16_t& w)
{
    const double units = std::round(value / q.unit);
    if (!std::isfinite(units) || units < (q.is_signed ? -32768.0 : 0.0) || units > (q.is_signed ? 32767.0 : 65535.0)) {
        return false;
    }
    w = static_cast<uint16_t>(static_cast<int32_t>(units));
    return true;
}

double from_word(const quantity_s& q, const uint8_t* p)
{
    const uint16_t w = static_cast<uint16_t>(p[0] << 8 | p[1]);
    return (q.is_signed ? static_cast<int16_t>(w) : w) * q.unit;
}

void put_word(uint8_t* p, uint16_t w)
{
    p[0] = static_cast<uint8_t>(w >> 8);
    p[1] = static_cast<uint8_t>(w);
}

// the flags of every quantity from its readings against its thresholds
void update_flags(cardsim_xcvr_s& x)
{
    for (const auto& q : k_quantities) {
        const size_t lanes = q.per_lane ? k_lanes : 1;
        for (size_t lane = 0; lane < lanes; lane++) {
            const double v = from_word(q, &x.lower[q.value_at + 2 * lane]);
            double lim[4];
            for (size_t l = 0; l < 4; l++) {
                lim[l] = from_word(q, page3(x, q.limits_at + 2 * l));
            }
            const uint8_t nibble = static_cast<uint8_t>((v > lim[0]) << 3 | (v < lim[1]) << 2 | (v > lim[2]) << 1 |
                                                        (v < lim[3]));
            uint8_t& byte = x.lower[q.flag_byte + lane / 2];
            const bool high = lane % 2 == 0;
            byte = high ? static_cast<uint8_t>((byte & 0x0f) | nibble << 4) : static_cast<uint8_t>((byte & 0xf0) | nibble);
        }
    }
}

}  // namespace

void cardsim_xcvr_healthy(cardsim_xcvr_s& x)
{
    for (size_t b = 3; b <= 14; b++) {
        x.lower[b] = 0;
    }
    for (const auto& q : k_quantities) {
        uint16_t w = 0;
        for (size_t l = 0; l < 4; l++) {
            (void)to_word(q, q.limits[l], w);
            put_word(page3(x, q.limits_at + 2 * l), w);
        }
        (void)to_word(q, q.healthy, w);
        for (size_t lane = 0; lane < (q.per_lane ? k_lanes : 1); lane++) {
            put_word(&x.lower[q.value_at + 2 * lane], w);
        }
    }
    update_flags(x);
}

bool cardsim_xcvr_set_reading(cardsim_xcvr_s& x, cardsim_xcvr_reading_e what, double value, uint32_t lane)
{
    static const struct {
        cardsim_xcvr_reading_e what;
        int quantity;
        bool dbm;    // given in dBm, kept in watts
        double scale;  // to the base unit
    } k_readings[] = {
        {cardsim_xcvr_reading_e::TEMPERATURE, TEMPERATURE, false, 1},
        {cardsim_xcvr_reading_e::VOLTAGE, VOLTAGE, false, 1},
        {cardsim_xcvr_reading_e::RX_POWER_DBM, RX_POWER, true, 1},
        {cardsim_xcvr_reading_e::TX_POWER_DBM, TX_POWER, true, 1},
        {cardsim_xcvr_reading_e::TX_BIAS_MA, TX_BIAS, false, 1e-3},
    };
    for (const auto& r : k_readings) {
        if (r.what != what) {
            continue;
        }
        const quantity_s& q = k_quantities[r.quantity];
        const double base = r.dbm ? std::pow(10.0, value / 10) * 1e-3 : value * r.scale;
        uint16_t w = 0;
        if (lane > (q.per_lane ? k_lanes : 0) || !to_word(q, base, w)) {
            return false;
        }
        for (size_t l = 0; l < (q.per_lane ? k_lanes : 1); l++) {
            if (lane == 0 || lane == l + 1) {
                put_word(&x.lower[q.value_at + 2 * l], w);
            }
        }
        update_flags(x);
        return true;
    }
    return false;
}
