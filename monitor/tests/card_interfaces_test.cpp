// port and LIF records as the firmware sends them: names, identifiers and the
// bounds of what a response may make us read
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/le_bytes.h"
#include "monitor/card_interfaces.h"

namespace {

uint32_t ifindex(uint32_t type, uint32_t slot, uint32_t parent, uint32_t child)
{
    return type << 28 | slot << 24 | parent << 16 | child;
}

}  // namespace

TEST(PortNames, FromInterfaceIndex)
{
    const std::pair<uint32_t, const char*> cases[] = {
        {ifindex(1, 1, 1, 0), "eth1/1"},          {ifindex(4, 1, 2, 3), "uplink1/2/3"}, {0, "-"},
        {ifindex(15, 1, 1, 9), "none1/1/9"},     {ifindex(11, 15, 255, 65535), "internal-mgmt15/255/65535"},
    };
    for (const auto& [ifx, name] : cases) {
        EXPECT_EQ(orlixmon_port_name(ifx), name);
    }
}

// a port's identifier: its card's MAC, a marker and the index big-endian
TEST(PortNames, IdFromMacMarkerAndBigEndianIndex)
{
    std::array<uint8_t, 6> mac{0x00, 0xae, 0xcd, 0x01, 0x02, 0x03};
    EXPECT_EQ(orlixmon_port_id(mac, 0x11010000), "00aecd01-0203-4242-4242-000011010000");
    EXPECT_EQ(orlixmon_port_id(mac, 0).substr(28), "00000000");
}

TEST(DiscoveryDecoders, ResponsesAreReadWithinTheirBounds)
{
    std::vector<uint8_t> buf(1024, 0);
    std::array<uint8_t, 6> mac{};
    uint32_t status, count, idx[ORLIX_PORT_IFINDEX_MAX];
    uint16_t hw_id, cursor;
    uint64_t addr, size;
    orlixmon_lif_entry_s lif;
    EXPECT_FALSE(orlixmon_decode_device_info_mac(buf.data(), 387, mac));
    EXPECT_FALSE(orlixmon_decode_port_ifindex(buf.data(), 51, status, idx, count));
    EXPECT_FALSE(orlixmon_decode_port_info(buf.data(), 927, status, hw_id));
    EXPECT_FALSE(orlixmon_decode_port_stats_region(buf.data(), 23, status, addr, size));
    EXPECT_FALSE(orlixmon_decode_lif_record(buf.data(), 159, status, lif, cursor));

    // a count beyond what the response holds is cut to it
    buf.assign(ORLIX_PORT_IFINDEX_RSP_SIZE, 0);
    le_put(buf.data(), buf.size(), 4, 4, 200);
    for (size_t i = 0; i < ORLIX_PORT_IFINDEX_MAX; ++i)
        le_put(buf.data(), buf.size(), 8 + 4 * i, 4, 0x11010000 + i);
    status = 1;
    ASSERT_TRUE(orlixmon_decode_port_ifindex(buf.data(), buf.size(), status, idx, count));
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(count, ORLIX_PORT_IFINDEX_MAX);
    EXPECT_EQ(idx[10], 0x1101000au);
}

TEST(DiscoveryDecoders, LifRecordFields)
{
    std::vector<uint8_t> buf(ORLIX_LIF_GET_ALL_RSP_SIZE, 0);
    le_put(buf.data(), buf.size(), 0, 4, 11);
    for (int i = 0; i < 16; ++i)
        buf[8 + i] = uint8_t(0x10 + i);
    le_put(buf.data(), buf.size(), 48, 2, 0x1234);
    std::memcpy(&buf[50], "lif-host0", 9);
    le_put(buf.data(), buf.size(), 128, 8, 0x1000000200ull);
    le_put(buf.data(), buf.size(), 152, 2, 0xffff);
    uint32_t status = 0;
    uint16_t cursor = 0;
    orlixmon_lif_entry_s lif;
    ASSERT_TRUE(orlixmon_decode_lif_record(buf.data(), buf.size(), status, lif, cursor));
    EXPECT_EQ(status, 11u);
    EXPECT_EQ(lif.id, "10111213-1415-1617-1819-1a1b1c1d1e1f");
    EXPECT_EQ(lif.hw_id, 0x1234);
    EXPECT_EQ(lif.name, "lif-host0");
    EXPECT_EQ(lif.stats_addr, 0x1000000200ull);
    EXPECT_EQ(cursor, ORLIX_LIF_CURSOR_END);

    // a name that fills its field without a NUL stops before the address
    std::memset(&buf[50], 'x', 128 - 50);
    ASSERT_TRUE(orlixmon_decode_lif_record(buf.data(), buf.size(), status, lif, cursor));
    EXPECT_EQ(lif.name, std::string(78, 'x'));
}
