#pragma once

// the card handle every library call takes: a uuid, an address, or both

#include <string>

// names one card in every library operation: the card UUID, the PCIe address of
// the card function, or both. validation fills the one that is missing.
struct aml_card_handle_s {
    std::string uuid;  // 36-character card UUID, or empty
    std::string bdf;   // DDDD:BB:DD.F of the card function, or empty
};
