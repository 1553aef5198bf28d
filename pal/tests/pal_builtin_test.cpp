// the built-in variant (a card held in the process) and the entries that only
// the default variant leaves behind

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "log/module_trace.h"
#include "pal/pal.h"
#include "pal/pal_qsfp.h"

namespace {

using namespace sdk::lib;
namespace platform = sdk::platform;

constexpr uint64_t k_reg_base = 0x20000000, k_reg_size = 0x10000;
constexpr uint64_t k_mem_base = 0x40000000, k_mem_size = 0x100000;

// no variable that would lead elsewhere; the layer torn down after each case
class PalBuiltin : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* name : k_names) {
            const char* v = getenv(name);
            saved_.emplace_back(v != nullptr, v ? v : "");
            unsetenv(name);
        }
        logger_init(null_logger_cb_);
    }
    void TearDown() override
    {
        pal_teardown(platform::PLATFORM_TYPE_MOCK);
        logger_init(nullptr);
        for (size_t i = 0; i < saved_.size(); i++) {
            if (saved_[i].first) {
                setenv(k_names[i], saved_[i].second.c_str(), 1);
            } else {
                unsetenv(k_names[i]);
            }
        }
    }
    static constexpr const char* k_names[] = {"PAL_J2C_PORT", "PAL_TELNET_PORT", "PAL_TELNET_IPADDR"};
    std::vector<std::pair<bool, std::string>> saved_;
};

TEST_F(PalBuiltin, WhatIsWrittenReadsBack)
{
    for (platform::platform_type_t type : {platform::PLATFORM_TYPE_SIM, platform::PLATFORM_TYPE_MOCK}) {
        SCOPED_TRACE(type);
        ASSERT_EQ(pal_init(type, nullptr), PAL_RET_OK);
        EXPECT_EQ(pal_get_platform_type(), type);

        // a fresh card is all zero
        uint32_t r[4] = {1, 1, 1, 1};
        ASSERT_EQ(pal_reg_read(k_reg_base, r, 4), PAL_RET_OK);
        EXPECT_EQ(r[0] | r[1] | r[2] | r[3], 0u);

        // register blocks, the first and the last word
        const uint32_t w[4] = {0x11223344u, 0xdeadbeefu, 0u, 0xffffffffu};
        ASSERT_EQ(pal_reg_write(k_reg_base + 0x100, w, 4), PAL_RET_OK);
        ASSERT_EQ(pal_reg_read(k_reg_base + 0x100, r, 4), PAL_RET_OK);
        EXPECT_EQ(memcmp(r, w, sizeof(w)), 0);
        ASSERT_EQ(pal_reg_read(k_reg_base + 0x104, r, 1), PAL_RET_OK);
        EXPECT_EQ(r[0], 0xdeadbeefu);
        uint32_t edge = 0xa1b2c3d4u, back = 0;
        ASSERT_EQ(pal_reg_write(k_reg_base, &edge, 1), PAL_RET_OK);
        ASSERT_EQ(pal_reg_write(k_reg_base + k_reg_size - 4, &edge, 1), PAL_RET_OK);
        ASSERT_EQ(pal_reg_read(k_reg_base + k_reg_size - 4, &back, 1), PAL_RET_OK);
        EXPECT_EQ(back, edge);

        // doorbells of each width land in the register space
        ASSERT_EQ(pal_ring_db64(k_reg_base + 0x200, 0x0102030405060708ull), PAL_RET_OK);
        ASSERT_EQ(pal_ring_db32(k_reg_base + 0x208, 0xcafef00du), PAL_RET_OK);
        ASSERT_EQ(pal_ring_db16(k_reg_base + 0x20e, 0xbeef), PAL_RET_OK);
        ASSERT_EQ(pal_reg_read(k_reg_base + 0x200, r, 4), PAL_RET_OK);
        EXPECT_EQ(r[0], 0x05060708u);
        EXPECT_EQ(r[1], 0x01020304u);
        EXPECT_EQ(r[2], 0xcafef00du);
        EXPECT_EQ(r[3], 0xbeef0000u);

        // memory: odd address and length, fills, the last byte
        std::vector<uint8_t> bytes(301), got(301);
        for (size_t i = 0; i < bytes.size(); i++) {
            bytes[i] = static_cast<uint8_t>(i * 7 + 3);
        }
        ASSERT_EQ(pal_mem_write(k_mem_base + 0x8001, bytes.data(), bytes.size()), PAL_RET_OK);
        ASSERT_EQ(pal_mem_read(k_mem_base + 0x8001, got.data(), got.size()), PAL_RET_OK);
        EXPECT_EQ(got, bytes);
        ASSERT_EQ(pal_mem_set(k_mem_base + 0x8003, 0x5a, 10), PAL_RET_OK);
        ASSERT_EQ(pal_mem_read(k_mem_base + 0x8001, got.data(), 14), PAL_RET_OK);
        EXPECT_EQ(got[1], bytes[1]);
        for (size_t i = 2; i < 12; i++) {
            EXPECT_EQ(got[i], 0x5a) << i;
        }
        EXPECT_EQ(got[12], bytes[12]);
        uint8_t last = 0x77, last_back = 0;
        ASSERT_EQ(pal_mem_write(k_mem_base + k_mem_size - 1, &last, 1), PAL_RET_OK);
        ASSERT_EQ(pal_mem_read(k_mem_base + k_mem_size - 1, &last_back, 1), PAL_RET_OK);
        EXPECT_EQ(last_back, 0x77);

        // translation and mapping point at the same bytes
        uint64_t va = 0, pa = 0;
        ASSERT_EQ(pal_physical_addr_to_virtual_addr(k_mem_base + 0x8001, &va), PAL_RET_OK);
        EXPECT_EQ(memcmp(reinterpret_cast<const void*>(va), bytes.data(), 2), 0);
        ASSERT_EQ(pal_virtual_addr_to_physical_addr(va, &pa), PAL_RET_OK);
        EXPECT_EQ(pa, k_mem_base + 0x8001);
        auto* mapped = static_cast<uint8_t*>(pal_mem_map(k_mem_base + 0x9000, 16));
        ASSERT_NE(mapped, nullptr);
        mapped[0] = 0x42;
        ASSERT_EQ(pal_mem_read(k_mem_base + 0x9000, &last_back, 1), PAL_RET_OK);
        EXPECT_EQ(last_back, 0x42);
        pal_mem_unmap(mapped);
        EXPECT_TRUE(pal_is_mem_region_avail(k_mem_base, k_mem_size));
        EXPECT_FALSE(pal_is_mem_region_avail(k_mem_base, k_mem_size + 1));

        pal_teardown(type);
    }
}

TEST_F(PalBuiltin, AccessesOutsideOrMisalignedFailAndTouchNothing)
{
    ASSERT_EQ(pal_init(platform::PLATFORM_TYPE_MOCK, nullptr), PAL_RET_OK);
    uint32_t ones[2] = {0xffffffffu, 0xffffffffu}, r[2] = {7, 7};

    // registers: before, after, across the end, misaligned, no buffer
    EXPECT_NE(pal_reg_read(k_reg_base - 4, r, 1), PAL_RET_OK);
    EXPECT_NE(pal_reg_read(k_reg_base + k_reg_size, r, 1), PAL_RET_OK);
    EXPECT_NE(pal_reg_write(k_reg_base + k_reg_size - 4, ones, 2), PAL_RET_OK);
    EXPECT_NE(pal_reg_read(k_reg_base + 2, r, 1), PAL_RET_OK);
    EXPECT_NE(pal_reg_write(k_reg_base + 1, ones, 1), PAL_RET_OK);
    EXPECT_NE(pal_reg_read(k_reg_base, nullptr, 1), PAL_RET_OK);
    EXPECT_NE(pal_reg_read(UINT64_MAX - 3, r, 2), PAL_RET_OK);
    EXPECT_NE(pal_reg_read(k_reg_base, r, UINT32_MAX), PAL_RET_OK);
    EXPECT_EQ(r[0], 7u) << "a refused read leaves the buffer alone";
    ASSERT_EQ(pal_reg_read(k_reg_base + k_reg_size - 4, r, 1), PAL_RET_OK);
    EXPECT_EQ(r[0], 0u) << "a refused block writes none of its words";
    EXPECT_NE(pal_ring_db16(k_reg_base + 1, 1), PAL_RET_OK);
    EXPECT_NE(pal_ring_db32(k_reg_base + 2, 1), PAL_RET_OK);
    EXPECT_NE(pal_ring_db64(k_reg_base + 4, 1), PAL_RET_OK);
    EXPECT_NE(pal_ring_db64(k_reg_base + k_reg_size, 1), PAL_RET_OK);
    EXPECT_NE(pal_ring_db32(k_mem_base, 1), PAL_RET_OK) << "doorbells are registers";

    // memory
    uint8_t b[4] = {9, 9, 9, 9};
    EXPECT_NE(pal_mem_read(k_mem_base - 1, b, 1), PAL_RET_OK);
    EXPECT_NE(pal_mem_read(k_mem_base + k_mem_size, b, 1), PAL_RET_OK);
    EXPECT_NE(pal_mem_write(k_mem_base + k_mem_size - 2, b, 3), PAL_RET_OK);
    EXPECT_NE(pal_mem_set(k_mem_base + k_mem_size - 2, 0x11, 3), PAL_RET_OK);
    EXPECT_NE(pal_mem_set(UINT64_MAX, 0x11, 2), PAL_RET_OK);
    EXPECT_NE(pal_mem_read(k_reg_base, b, 1), PAL_RET_OK) << "registers are not memory";
    EXPECT_NE(pal_mem_write(k_mem_base, nullptr, 1), PAL_RET_OK);
    ASSERT_EQ(pal_mem_read(k_mem_base + k_mem_size - 2, b, 2), PAL_RET_OK);
    EXPECT_EQ(b[0] | b[1], 0) << "a refused write or fill changes nothing";

    uint64_t va = 5, pa = 5;
    EXPECT_NE(pal_physical_addr_to_virtual_addr(k_mem_base + k_mem_size, &va), PAL_RET_OK);
    EXPECT_NE(pal_virtual_addr_to_physical_addr(reinterpret_cast<uintptr_t>(&pa), &pa), PAL_RET_OK);
    EXPECT_EQ(pal_mem_map(k_mem_base + k_mem_size - 8, 16), nullptr);
    EXPECT_NE(pal_physical_addr_to_virtual_addr(k_mem_base, nullptr), PAL_RET_OK);
}

TEST_F(PalBuiltin, EachInitStartsAFreshCard)
{
    ASSERT_EQ(pal_init(platform::PLATFORM_TYPE_MOCK, nullptr), PAL_RET_OK);
    uint32_t w = 0x12345678u;
    ASSERT_EQ(pal_reg_write(k_reg_base + 0x40, &w, 1), PAL_RET_OK);
    ASSERT_EQ(pal_mem_set(k_mem_base, 0xee, 64), PAL_RET_OK);
    EXPECT_EQ(pal_init(platform::PLATFORM_TYPE_MOCK, nullptr), PAL_RET_OK) << "a later call does nothing";
    ASSERT_EQ(pal_reg_read(k_reg_base + 0x40, &w, 1), PAL_RET_OK);
    EXPECT_EQ(w, 0x12345678u);
    pal_teardown(platform::PLATFORM_TYPE_MOCK);
    ASSERT_EQ(pal_init(platform::PLATFORM_TYPE_SIM, nullptr), PAL_RET_OK);
    ASSERT_EQ(pal_reg_read(k_reg_base + 0x40, &w, 1), PAL_RET_OK);
    EXPECT_EQ(w, 0u);
    uint8_t b = 1;
    ASSERT_EQ(pal_mem_read(k_mem_base + 63, &b, 1), PAL_RET_OK);
    EXPECT_EQ(b, 0);
}

// what only the default variant installs: its entries answer without
// touching anything, and what it leaves empty fails
void expect_default_table_only()
{
    uint32_t w = 0x5555aaaau;
    EXPECT_EQ(pal_reg_read(k_reg_base, &w, 1), PAL_RET_OK);
    EXPECT_EQ(w, 0x5555aaaau);
    uint8_t b = 0x33;
    EXPECT_EQ(pal_mem_read(k_mem_base, &b, 1), PAL_RET_OK);
    EXPECT_EQ(b, 0x33);
    EXPECT_EQ(pal_mem_map(k_mem_base, 8), nullptr);

    EXPECT_EQ(pal_table()->sbus_read, nullptr);
    EXPECT_EQ(pal_sbus_read(0, 1, 2), 0u);
    EXPECT_NE(pal_sbus_write(0, 1, 2, 3), PAL_RET_OK);
    EXPECT_NE(pal_sbus_reset(0, 1), PAL_RET_OK);
    const uint8_t pkt[4] = {1, 2, 3, 4};
    EXPECT_NE(pal_step_cpu_pkt(pkt, sizeof(pkt)), PAL_RET_OK);
    EXPECT_FALSE(sdk::lib::pal_is_qsfp_port_reset(1));
    EXPECT_NE(pal_reg_batch_write(k_reg_base, &w, 1), PAL_RET_OK);
    pal_reg_rw_ctrl_s ctrl{PAL_RW_CTRL_STOP, nullptr, nullptr};
    EXPECT_NE(pal_reg_rw_ctrl(&ctrl), PAL_RET_OK);
}

TEST_F(PalBuiltin, EntriesTheDefaultVariantLeavesEmptyFailCleanly)
{
    // a platform type no variant serves
    EXPECT_EQ(pal_init(42, nullptr), PAL_RET_NOK);
    EXPECT_EQ(pal_get_platform_type(), 42u);
    expect_default_table_only();
    pal_teardown(42);

    // the telnet variant, refused by type, and failing to connect
    setenv("PAL_TELNET_IPADDR", "127.0.0.1", 1);
    setenv("PAL_TELNET_PORT", "1", 1);
    EXPECT_EQ(pal_init(platform::PLATFORM_TYPE_JTAG, nullptr), PAL_RET_NOK);
    expect_default_table_only();
    pal_teardown(platform::PLATFORM_TYPE_JTAG);

    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    setenv("PAL_TELNET_PORT", std::to_string(ntohs(addr.sin_port)).c_str(), 1);
    close(s);  // nobody listens there now
    EXPECT_EQ(pal_init(platform::PLATFORM_TYPE_MOCK, nullptr), PAL_RET_NOK);
    expect_default_table_only();
}

}  // namespace
