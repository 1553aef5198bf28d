#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fwupdate/fwupdate.h"

// the engine's entry points beside the package install: a profile's device
// configuration, recording the active profile, the logic image, and the
// versions on flash

struct fwupdate_device_config_upd_req_s {
    std::string profile;
    uint32_t timeout_s = FWUPDATE_TIMEOUT_DEFAULT_S;  // as firmware_update_req_s's
};

struct fwupdate_activate_profile_req_s {
    std::string package;  // the package whose card_profile.json is kept
    std::string profile;  // "default" forgets the stored profile
};
struct fwupdate_activate_profile_rsp_s {};

// the CPLD image install takes the image path in req->package, and
// req->names = {"goldcpld"} selects the gold logic partition
int fwupdate_device_config_update(fwupdate_device_config_upd_req_s* req, uint8_t* progress, std::string& status);
int fwupdate_activate_profile(fwupdate_activate_profile_req_s* req, fwupdate_activate_profile_rsp_s* rsp);
int firmware_cpld_update(firmware_update_req_s* req, uint8_t* progress, std::string& status);
// transceiver firmware: the image path in req->package, the ports as decimal
// names in req->names ({"0", "3"}), each written in turn
int firmware_xcvr_update(firmware_update_req_s* req, uint8_t* progress, std::string& status);
// the versions on flash, per firmware name, as JSON text
int firmware_get(bool all, std::string& json);
