#pragma once

// the decoders of a card's discovery responses and the names made of them

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// one logical interface of a card, as its firmware reports it
struct orlixmon_lif_entry_s {
    std::string id;    // 16-byte identifier as UUID text
    std::string name;
    uint16_t hw_id = 0;
    uint64_t stats_addr = 0;  // card-memory address of the LIF's counter block
};

// one port of a card
struct orlixmon_port_entry_s {
    std::string id;    // UUID text from the card MAC and the interface index
    std::string name;  // eth1/1, uplink1/2/3, ...
    uint32_t ifindex = 0;
    uint16_t hw_id = 0;
    uint64_t stats_addr = 0;  // card-memory address of the port counter region
    uint64_t stats_size = 0;
};

// firmware response sizes of the discovery exchanges
constexpr size_t ORLIX_DEVICE_INFO_RSP_SIZE = 388;
constexpr size_t ORLIX_PORT_IFINDEX_RSP_SIZE = 52;
constexpr size_t ORLIX_PORT_INFO_RSP_SIZE = 928;
constexpr size_t ORLIX_PORT_STATS_REGION_RSP_SIZE = 24;
constexpr size_t ORLIX_LIF_GET_ALL_RSP_SIZE = 160;
constexpr size_t ORLIX_PORT_IFINDEX_MAX = 11;
constexpr uint16_t ORLIX_LIF_CURSOR_END = 0xffff;

// "%02x%02x%02x%02x-%02x%02x-..." of 16 bytes
std::string orlixmon_uuid_text(const uint8_t bytes[16]);

// a port's identifier: MAC, 42 42 42 42 00 00, interface index big-endian
std::string orlixmon_port_id(const std::array<uint8_t, 6>& mac, uint32_t ifindex);

// a port's name from its interface index: "-" for 0, else type/slot/parent[/child]
std::string orlixmon_port_name(uint32_t ifindex);

// the name of a 4-bit interface type
const char* orlixmon_ifindex_type_name(uint32_t type);

// response decoders: each checks the length it is given and reads nothing past it.
// they return false when the response is too short.
bool orlixmon_decode_device_info_mac(const uint8_t* rsp, size_t len, std::array<uint8_t, 6>& mac);

// status, and up to 11 interface indexes: a count above what the response holds is cut
bool orlixmon_decode_port_ifindex(const uint8_t* rsp, size_t len, uint32_t& status,
                                  uint32_t* ifindexes, uint32_t& count);

bool orlixmon_decode_port_info(const uint8_t* rsp, size_t len, uint32_t& status, uint16_t& hw_id);

bool orlixmon_decode_port_stats_region(const uint8_t* rsp, size_t len, uint32_t& status,
                                       uint64_t& addr, uint64_t& size);

// one LIF record and the cursor of the next one. the name is read up to its NUL or
// the end of its field, whichever comes first.
bool orlixmon_decode_lif_record(const uint8_t* rsp, size_t len, uint32_t& status,
                                orlixmon_lif_entry_s& lif, uint16_t& next_cursor);
