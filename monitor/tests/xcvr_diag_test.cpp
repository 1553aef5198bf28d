// the modules' diagnostics: SFF-8636 bytes to base units, flags and
// thresholds, and the cages of the ports

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "monitor/xcvr_diag.h"
#include "monitor/xcvr_reader.h"

namespace {

struct decode_case_s {
    const char* name;
    std::function<void(uint8_t* lower, uint8_t* page3)> bytes;
    bool with_page3;
    std::function<void(const orlixmon_xcvr_diag_s&)> check;
};

void put(uint8_t* p, size_t at, uint16_t w)
{
    p[at] = static_cast<uint8_t>(w >> 8);
    p[at + 1] = static_cast<uint8_t>(w);
}

using d_t = const orlixmon_xcvr_diag_s&;
constexpr size_t P3 = 128;  // page 3 addresses start here

const decode_case_s k_cases[] = {
    // (the other readings in base units: MetricsEmulated, through the daemon)
    {"tx power lane 4", [](uint8_t* l, uint8_t*) { put(l, 56, 65535); }, false,
     [](d_t d) { EXPECT_NEAR(d.tx_power_w[3], 6.5535e-3, 1e-12); EXPECT_FALSE(d.thresholds); }},
    {"temperature below zero", [](uint8_t* l, uint8_t*) { put(l, 22, 0xff00); }, false,
     [](d_t d) { EXPECT_DOUBLE_EQ(d.temperature_c, -1.0); }},
    {"flags by quantity, lane and level", [](uint8_t* l, uint8_t*) {
         l[3] = 0x21;  // rx los lane 1, tx los lane 2
         l[4] = 0x08;  // tx fault lane 4
         l[6] = 0x80;  // temperature high alarm
         l[7] = 0x10;  // voltage low warning
         l[9] = 0x01;  // rx power lane 2 low warning
         l[10] = 0x40; // rx power lane 3 low alarm
         l[14] = 0x02; // tx power lane 4 high warning
     }, false, [](d_t d) {
         EXPECT_TRUE(d.rx_los[0] && !d.rx_los[1] && d.tx_los[1] && !d.tx_los[0]);
         EXPECT_TRUE(d.tx_fault[3] && !d.tx_fault[0]);
         EXPECT_EQ(d.flags[ORLIXMON_XCVR_TEMPERATURE][0], (orlixmon_xcvr_flags_t{true, false, false, false}));
         EXPECT_EQ(d.flags[ORLIXMON_XCVR_SUPPLY_VOLTAGE][0], (orlixmon_xcvr_flags_t{false, false, false, true}));
         EXPECT_EQ(d.flags[ORLIXMON_XCVR_RX_POWER][1], (orlixmon_xcvr_flags_t{false, false, false, true}));
         EXPECT_EQ(d.flags[ORLIXMON_XCVR_RX_POWER][2], (orlixmon_xcvr_flags_t{false, true, false, false}));
         EXPECT_EQ(d.flags[ORLIXMON_XCVR_RX_POWER][0], (orlixmon_xcvr_flags_t{}));
         EXPECT_EQ(d.flags[ORLIXMON_XCVR_TX_POWER][3], (orlixmon_xcvr_flags_t{false, false, true, false}));
         EXPECT_EQ(d.flags[ORLIXMON_XCVR_TX_BIAS][3], (orlixmon_xcvr_flags_t{}));
     }},
    {"thresholds of page 3", [](uint8_t*, uint8_t* p) {
         put(p, 128 - P3, 75 * 256);  // temperature high alarm
         put(p, 150 - P3, 31350);     // voltage low warning
         put(p, 182 - P3, 1000);      // rx power low warning: 100 uW
         put(p, 184 - P3, 7500);      // tx bias high alarm: 15 mA
         put(p, 198 - P3, 1413);      // tx power low warning
     }, true, [](d_t d) {
         EXPECT_TRUE(d.thresholds);
         EXPECT_DOUBLE_EQ(d.limits[ORLIXMON_XCVR_TEMPERATURE][ORLIXMON_XCVR_HIGH_ALARM], 75.0);
         EXPECT_NEAR(d.limits[ORLIXMON_XCVR_SUPPLY_VOLTAGE][ORLIXMON_XCVR_LOW_WARNING], 3.135, 1e-9);
         EXPECT_NEAR(d.limits[ORLIXMON_XCVR_RX_POWER][ORLIXMON_XCVR_LOW_WARNING], 100e-6, 1e-12);
         EXPECT_NEAR(d.limits[ORLIXMON_XCVR_TX_BIAS][ORLIXMON_XCVR_HIGH_ALARM], 15e-3, 1e-12);
         EXPECT_NEAR(d.limits[ORLIXMON_XCVR_TX_POWER][ORLIXMON_XCVR_LOW_WARNING], 141.3e-6, 1e-12);
         EXPECT_EQ(d.limits[ORLIXMON_XCVR_RX_POWER][ORLIXMON_XCVR_HIGH_ALARM], 0);
     }},
    {"data not ready: no values", [](uint8_t* l, uint8_t*) {
         l[2] = 0x01;
         put(l, 22, 0x1900);
         l[6] = 0x80;
     }, true, [](d_t d) {
         EXPECT_FALSE(d.valid);
         EXPECT_EQ(d.temperature_c, 0);
         EXPECT_FALSE(d.flags[ORLIXMON_XCVR_TEMPERATURE][0][0]);
     }},
};

TEST(XcvrDiag, DecodesTheDiagnosticPages)
{
    for (const auto& c : k_cases) {
        SCOPED_TRACE(c.name);
        uint8_t lower[128] = {}, page3[128] = {};
        c.bytes(lower, page3);
        orlixmon_xcvr_diag_s d;
        orlixmon_xcvr_decode(lower, c.with_page3 ? page3 : nullptr, d);
        c.check(d);
    }
    uint8_t flat[128] = {};
    EXPECT_FALSE(orlixmon_xcvr_flat_memory(flat));
    flat[2] = 0x04;
    EXPECT_TRUE(orlixmon_xcvr_flat_memory(flat));
}

// eth ports share their parent's cage; other interfaces have none
TEST(XcvrDiag, CagesOfThePorts)
{
    auto ifx = [](uint32_t type, uint32_t parent, uint32_t child) { return type << 28 | 1u << 24 | parent << 16 | child; };
    EXPECT_EQ(orlixmon_xcvr_cages({ifx(1, 1, 0), ifx(1, 2, 1), ifx(1, 2, 2), ifx(4, 3, 0), ifx(1, 0, 0)}),
              (std::vector<uint32_t>{1, 2}));
}

}  // namespace
