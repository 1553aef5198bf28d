// the built-in variant (a card held in the process) beyond the checks every
// variant runs, and the entries only the default variant leaves behind

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "emulator/cardsim_card.h"
#include "pal/pal.h"
#include "pal/pal_qsfp.h"
#include "pal/tests/pal_test_support.h"

namespace {

using namespace sdk::lib;
namespace platform = sdk::platform;

constexpr uint64_t k_reg = CARDSIM_REG_BASE, k_mem = CARDSIM_MEM_BASE;

class PalBuiltin : public ::testing::Test {
protected:
    void SetUp() override { logger_init(null_logger_cb_); }
    void TearDown() override
    {
        pal_teardown(platform::PLATFORM_TYPE_MOCK);
        logger_init(nullptr);
    }
    pal_test_env env_;
};

TEST_F(PalBuiltin, MisalignedOrBufferlessAccessesFailAndEachInitStartsAFreshCard)
{
    ASSERT_EQ(pal_init(platform::PLATFORM_TYPE_MOCK, nullptr), PAL_RET_OK);
    uint32_t ones = 0xffffffffu, r = 7;
    uint8_t b = 9;
    uint64_t va = 5;
    for (const auto& [what, call] : std::vector<std::pair<const char*, std::function<pal_ret_t()>>>{
             {"misaligned register read", [&] { return pal_reg_read(k_reg + 2, &r, 1); }},
             {"misaligned register write", [&] { return pal_reg_write(k_reg + 1, &ones, 1); }},
             {"misaligned 16-bit doorbell", [&] { return pal_ring_db16(k_reg + 1, 1); }},
             {"misaligned 64-bit doorbell", [&] { return pal_ring_db64(k_reg + 4, 1); }},
             {"a doorbell in memory", [&] { return pal_ring_db32(k_mem, 1); }},
             {"registers read as memory", [&] { return pal_mem_read(k_reg, &b, 1); }},
             {"no buffer", [&] { return pal_reg_read(k_reg, nullptr, 1); }},
             {"a block too large to count", [&] { return pal_reg_read(k_reg, &r, UINT32_MAX); }},
             {"no translation output", [&] { return pal_physical_addr_to_virtual_addr(k_mem, nullptr); }},
             {"an address not in card memory",
              [&] { return pal_virtual_addr_to_physical_addr(reinterpret_cast<uintptr_t>(&va), &va); }},
         }) {
        EXPECT_NE(call(), PAL_RET_OK) << what;
    }
    EXPECT_EQ(r, 7u) << "a refused read leaves the buffer alone";
    EXPECT_EQ(pal_mem_map(k_mem + CARDSIM_MEM_SIZE - 8, 16), nullptr);
    EXPECT_FALSE(pal_is_mem_region_avail(k_mem, CARDSIM_MEM_SIZE + 1));

    uint32_t w = 0x12345678u;
    ASSERT_EQ(pal_reg_write(k_reg + 0x40, &w, 1), PAL_RET_OK);
    EXPECT_EQ(pal_init(platform::PLATFORM_TYPE_MOCK, nullptr), PAL_RET_OK) << "a later call does nothing";
    ASSERT_EQ(pal_reg_read(k_reg + 0x40, &w, 1), PAL_RET_OK);
    EXPECT_EQ(w, 0x12345678u);
    pal_teardown(platform::PLATFORM_TYPE_MOCK);
    ASSERT_EQ(pal_init(platform::PLATFORM_TYPE_MOCK, nullptr), PAL_RET_OK);
    ASSERT_EQ(pal_reg_read(k_reg + 0x40, &w, 1), PAL_RET_OK);
    EXPECT_EQ(w, 0u);
}

// a port nobody listens on
std::string closed_port()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        addr.sin_port = htons(1);
    }
    close(s);
    return std::to_string(ntohs(addr.sin_port));
}

// a platform type no variant serves, the telnet variant refusing the type or
// failing to connect: the default entries answer without touching anything,
// and what the default leaves empty fails
TEST_F(PalBuiltin, WhatTheDefaultVariantLeavesBehind)
{
    struct case_s {
        platform::platform_type_t type;
        const char* ipaddr;
        std::string port;
    };
    for (const case_s& c : {case_s{42, nullptr, ""}, case_s{platform::PLATFORM_TYPE_JTAG, "127.0.0.1", "1"},
                            case_s{platform::PLATFORM_TYPE_MOCK, "127.0.0.1", closed_port()}}) {
        SCOPED_TRACE(c.type);
        if (c.ipaddr) {
            setenv("PAL_TELNET_IPADDR", c.ipaddr, 1);
            setenv("PAL_TELNET_PORT", c.port.c_str(), 1);
        }
        EXPECT_EQ(pal_init(c.type, nullptr), PAL_RET_NOK);
        EXPECT_EQ(pal_get_platform_type(), c.type);
        uint32_t w = 0x5555aaaau;
        EXPECT_EQ(pal_reg_read(k_reg, &w, 1), PAL_RET_OK);
        EXPECT_EQ(w, 0x5555aaaau);
        uint8_t b = 0x33;
        EXPECT_EQ(pal_mem_read(k_mem, &b, 1), PAL_RET_OK);
        EXPECT_EQ(b, 0x33);
        EXPECT_EQ(pal_mem_map(k_mem, 8), nullptr);
        EXPECT_EQ(pal_sbus_read(0, 1, 2), 0u);
        EXPECT_NE(pal_sbus_write(0, 1, 2, 3), PAL_RET_OK);
        EXPECT_NE(pal_sbus_reset(0, 1), PAL_RET_OK);
        EXPECT_FALSE(sdk::lib::pal_is_qsfp_port_reset(1));
        pal_reg_rw_ctrl_s ctrl{PAL_RW_CTRL_STOP, nullptr, nullptr};
        EXPECT_NE(pal_reg_rw_ctrl(&ctrl), PAL_RET_OK);
        pal_teardown(c.type);
    }
}

}  // namespace
