#pragma once

// the LIF and port counter tables

#include <cstdint>
#include <map>
#include <string>

// valid counter names and the byte offset of each 64-bit counter in the
// statistics block of one LIF, one port, or the card
using orlixmon_counter_map_t = std::map<std::string, uint64_t>;

extern const orlixmon_counter_map_t lif_counter_map;
extern const orlixmon_counter_map_t port_counter_map;
extern const orlixmon_counter_map_t card_counter_map;
