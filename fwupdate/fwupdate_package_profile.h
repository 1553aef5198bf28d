#pragma once

#include <string>

#include "fwupdate/fwupdate.h"

// the card profile an install uses: the one asked for, else the card's
// active one, looked up in the package's card_profile.json
int get_card_profile(firmware_update_req_s* req, std::string& device_config, std::string& memory_config);
// a profile's device and memory configs from a card_profile.json
int card_profile_device_memory_config_get(const std::string& profile_file, const std::string& profile,
                                          std::string& device_config, std::string& memory_config);
