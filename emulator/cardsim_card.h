#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "emulator/cardsim_dumps.h"

// what one emulated card is: its identity, its interfaces and the devices
// its functions expose. everything has a default, so a host of N cards
// needs no more than N.

struct cardsim_lif_spec_s {
    std::string name;
    std::array<uint8_t, 16> id{};
    uint16_t hw_id = 0;
};

struct cardsim_card_spec_s {
    std::string serial;              // at most 14 characters
    std::array<uint8_t, 6> mac{};
    std::vector<uint32_t> port_ifindexes;
    std::vector<cardsim_lif_spec_s> lifs;
    bool ipc_device = true;    // the IPC function's misc device
    bool fwctl_device = true;  // the core function's fwctl device
    bool port_error_caps = true;  // aer and dpc on the root port above the card
    uint64_t counter_step = 1; // growth of counter slot k per tick: step * (k + 1)
    // the stored coredumps and device trees the firmware hands out in chunks
    // (emulator/cardsim_dumps.h), in bytes; 0: none stored
    uint32_t coredump_size = 2500;
    uint32_t suc_coredump_size = 1200;
    std::array<uint32_t, 4> dtb_sizes{{1000, 512, 2048, 700}};  // DTB types 1 to 4
    cardsim_dump_fault_s dump_fault;  // how the card gets handing them out wrong
    int64_t clock_offset_s = 0;       // the card's clock (UTC) minus the host's, set by a time update
    uint8_t cmb = 0;                  // the CMB setting
    uint32_t dump_size(cardsim_dump_e dump) const;
    void set_dump_size(cardsim_dump_e dump, uint32_t size);
};

// the defaults of card index i: serial "ORX2600000i", MAC 00:ae:cd:01:0i:00,
// ports eth1/1 and eth1/2, LIFs "lif0" and "lif1"
cardsim_card_spec_s cardsim_default_card(size_t index);

// the interface index of a port: type, slot, parent and child
constexpr uint32_t cardsim_ifindex(uint32_t type, uint32_t slot, uint32_t parent, uint32_t child = 0)
{
    return (type & 0xf) << 28 | (slot & 0xf) << 24 | (parent & 0xff) << 16 | (child & 0xffff);
}
constexpr uint32_t CARDSIM_IFTYPE_ETH = 1;

// card memory: where the firmware keeps its counters, as card addresses
constexpr uint64_t CARDSIM_REG_BASE = 0x20000000;
constexpr uint64_t CARDSIM_REG_SIZE = 0x10000;
constexpr uint64_t CARDSIM_MEM_BASE = 0x40000000;
constexpr uint64_t CARDSIM_MEM_SIZE = 0x100000;
constexpr uint64_t CARDSIM_HDR_SIZE = 0x1000;
constexpr uint64_t CARDSIM_PORT_REGION = CARDSIM_MEM_BASE + 0x1000;
constexpr uint64_t CARDSIM_PORT_REGION_SIZE = 0x1000;
constexpr uint64_t CARDSIM_LIF_BLOCKS = CARDSIM_MEM_BASE + 0x10000;
constexpr uint64_t CARDSIM_LIF_BLOCK_SIZE = 0x400;
constexpr size_t CARDSIM_LIF_MAX = (CARDSIM_MEM_SIZE - (CARDSIM_LIF_BLOCKS - CARDSIM_MEM_BASE)) / CARDSIM_LIF_BLOCK_SIZE;

constexpr uint64_t cardsim_lif_block(size_t lif)
{
    return CARDSIM_LIF_BLOCKS + lif * CARDSIM_LIF_BLOCK_SIZE;
}
