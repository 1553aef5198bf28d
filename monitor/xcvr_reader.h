#pragma once

// reading the modules' diagnostic pages

#include <cstdint>
#include <string>
#include <vector>

#include "monitor/xcvr_diag.h"

// the transceiver reader: a thread of its own, started only with the
// metrics endpoint, that reads every module's diagnostics at its slow
// period. never on a worker's polling path, and a slow or hung card holds
// neither the liveness checks nor the other cards up

// the cages a card's ports sit in: the parent number of each ethernet
// port's interface index, once each, in order
std::vector<uint32_t> orlixmon_xcvr_cages(const std::vector<uint32_t>& port_ifindexes);

// reads the cages of the card at bdf on the calling thread, over a channel
// of its own that is closed again before returning. a cage whose presence
// cannot be asked is left out
std::vector<orlixmon_xcvr_diag_s> orlixmon_xcvr_read_card(const std::string& bdf, const std::vector<uint32_t>& cages);

// the thread: a pass over the cards that are up every interval_us until the
// running flag is cleared; returns 0
int orlixmon_xcvr_reader(uint64_t interval_us);
