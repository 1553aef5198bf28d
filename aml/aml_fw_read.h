#pragma once

// inside the library: the card's state and version records read straight
// from its flash service, shared by the info calls and an install's read-back

#include <string>

#include "fwupdate/fwupdate_state.h"

// 0, or the flash client's failure code; the calling thread's channel is closed after
int aml_fw_card_read(const std::string& bdf, rfc_card_info_s& card_info, rfc_image_version_info_u& versions);

// the card's image letter ("A", "B", "G") as the library names images
std::string aml_fw_image_of_letter(const std::string& letter);
