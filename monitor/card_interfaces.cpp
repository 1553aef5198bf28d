// what the card says of its ports and LIFs: the decoders of its discovery
// responses, and the names and identifiers made of them

#include "monitor/card_interfaces.h"

#include <cstring>

#include <fmt/format.h>

#include "ipc/le_bytes.h"

namespace {

// interface index layout, most significant first
constexpr uint32_t ifindex_type(uint32_t ifx) { return (ifx >> 28) & 0xf; }
constexpr uint32_t ifindex_slot(uint32_t ifx) { return (ifx >> 24) & 0xf; }
constexpr uint32_t ifindex_parent(uint32_t ifx) { return (ifx >> 16) & 0xff; }
constexpr uint32_t ifindex_child(uint32_t ifx) { return ifx & 0xffff; }

const char* const k_ifindex_type_names[16] = {
    "none", "eth", "eth-pc", "tunnel", "uplink", "uplink-pc", "l3", "lif",
    "loopback", "control", "host", "internal-mgmt", "dpa", "crypto", "none", "none",
};

// LIF_GET_ALL record
constexpr size_t LIF_ID_OFFSET = 8;
constexpr size_t LIF_HW_ID_OFFSET = 48;
constexpr size_t LIF_NAME_OFFSET = 50;
constexpr size_t LIF_NAME_END = 128;  // the counter block address follows the name field
constexpr size_t LIF_STATS_ADDR_OFFSET = 128;
constexpr size_t LIF_CURSOR_OFFSET = 152;

}  // namespace

std::string orlixmon_uuid_text(const uint8_t b[16])
{
    return fmt::format("{:02x}{:02x}{:02x}{:02x}-{:02x}{:02x}-{:02x}{:02x}-{:02x}{:02x}-"
                       "{:02x}{:02x}{:02x}{:02x}{:02x}{:02x}",
                       b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11],
                       b[12], b[13], b[14], b[15]);
}

std::string orlixmon_port_id(const std::array<uint8_t, 6>& mac, uint32_t ifindex)
{
    uint8_t b[16] = {mac[0], mac[1], mac[2], mac[3], mac[4], mac[5], 0x42, 0x42, 0x42, 0x42, 0, 0,
                     uint8_t(ifindex >> 24), uint8_t(ifindex >> 16), uint8_t(ifindex >> 8),
                     uint8_t(ifindex)};
    return orlixmon_uuid_text(b);
}

const char* orlixmon_ifindex_type_name(uint32_t type)
{
    return k_ifindex_type_names[type & 0xf];
}

std::string orlixmon_port_name(uint32_t ifindex)
{
    if (ifindex == 0)
        return "-";
    std::string name = fmt::format("{}{}/{}", orlixmon_ifindex_type_name(ifindex_type(ifindex)),
                                   ifindex_slot(ifindex), ifindex_parent(ifindex));
    if (ifindex_child(ifindex) != 0)
        name += fmt::format("/{}", ifindex_child(ifindex));
    return name;
}

bool orlixmon_decode_device_info_mac(const uint8_t* rsp, size_t len, std::array<uint8_t, 6>& mac)
{
    if (len < ORLIX_DEVICE_INFO_RSP_SIZE)
        return false;
    std::memcpy(mac.data(), rsp + 20, mac.size());
    return true;
}

bool orlixmon_decode_port_ifindex(const uint8_t* rsp, size_t len, uint32_t& status,
                                  uint32_t* ifindexes, uint32_t& count)
{
    if (len < ORLIX_PORT_IFINDEX_RSP_SIZE)
        return false;
    status = le_at<uint32_t>(rsp, len, 0);
    count = le_at<uint32_t>(rsp, len, 4);
    // the response has room for 11 indexes; a larger count cannot be read
    if (count > ORLIX_PORT_IFINDEX_MAX)
        count = ORLIX_PORT_IFINDEX_MAX;
    for (uint32_t i = 0; i < count; ++i)
        ifindexes[i] = le_at<uint32_t>(rsp, len, 8 + 4 * i);
    return true;
}

bool orlixmon_decode_port_info(const uint8_t* rsp, size_t len, uint32_t& status, uint16_t& hw_id)
{
    if (len < ORLIX_PORT_INFO_RSP_SIZE)
        return false;
    status = le_at<uint32_t>(rsp, len, 0);
    hw_id = static_cast<uint16_t>(le_at<uint32_t>(rsp, len, 24) & 0xffff);
    return true;
}

bool orlixmon_decode_port_stats_region(const uint8_t* rsp, size_t len, uint32_t& status,
                                       uint64_t& addr, uint64_t& size)
{
    if (len < ORLIX_PORT_STATS_REGION_RSP_SIZE)
        return false;
    status = le_at<uint32_t>(rsp, len, 0);
    addr = le_at<uint64_t>(rsp, len, 8);
    size = le_at<uint32_t>(rsp, len, 16);
    return true;
}

bool orlixmon_decode_lif_record(const uint8_t* rsp, size_t len, uint32_t& status,
                                orlixmon_lif_entry_s& lif, uint16_t& next_cursor)
{
    if (len < ORLIX_LIF_GET_ALL_RSP_SIZE)
        return false;
    status = le_at<uint32_t>(rsp, len, 0);
    lif.id = orlixmon_uuid_text(rsp + LIF_ID_OFFSET);
    lif.hw_id = le_at<uint16_t>(rsp, len, LIF_HW_ID_OFFSET);
    // a name without its NUL stops at the end of its field
    const char* name = reinterpret_cast<const char*>(rsp + LIF_NAME_OFFSET);
    lif.name.assign(name, strnlen(name, LIF_NAME_END - LIF_NAME_OFFSET));
    lif.stats_addr = le_at<uint64_t>(rsp, len, LIF_STATS_ADDR_OFFSET);
    next_cursor = le_at<uint16_t>(rsp, len, LIF_CURSOR_OFFSET);
    return true;
}
