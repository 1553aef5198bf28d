#pragma once

// discovery of a card's ports and LIFs

#include <vector>

#include "monitor/card_context.h"

// asks the card's firmware for its ports / LIFs, in firmware order.
// 0, 62 when the ipc channel cannot be opened, 255 on any other failure
int orlixmon_card_port_get(orlixmon_card_ctxt_s& ctxt, std::vector<orlixmon_port_entry_s>& ports);
int orlixmon_card_lif_get(orlixmon_card_ctxt_s& ctxt, std::vector<orlixmon_lif_entry_s>& lifs);
