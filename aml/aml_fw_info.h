#pragma once

// what a card's flash holds and runs, and the firmware packages orlixctl
// looks into, in the library's own records: callers need none of the update
// engine's headers

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "aml/aml_card_handle.h"
#include "aml/aml_status.h"

// the versions of one group of images on flash: (name, version) in the card's order
using aml_fw_versions_t = std::vector<std::pair<std::string, std::string>>;

// the bound of one install or flash comparison unless the caller gives
// another: a whole package takes minutes, an hour is a card that no longer finishes
constexpr uint32_t AML_FW_TIMEOUT_DEFAULT_S = 3600;

struct aml_card_fw_info_get_req_s {
    aml_card_handle_s card;
};
struct aml_card_fw_info_get_rsp_s {
    std::string error;
    std::string board_id, asic;
    std::string running_image;    // "fw-a", "fw-b", "fw-gold" or "unknown"
    std::string next_boot_image;  // the image the card starts after a reset, named alike
    std::string running_version;  // the running main image's version, "unknown" when unnamed
    std::string stored_version;   // the version of the next boot image
    bool reset_pending = false;   // what runs after a reset differs from what runs now
    std::string suc_running, suc_startup;
    aml_fw_versions_t suc, fpga, secure_rom, soc;
    // secure boot
    unsigned secure_boot = 0, secure_enable = 0, sigchk = 0, hw_fuse = 0;
    std::string life_cycle_state, key_name;
};
// reads the card's state and version records through the update engine; a
// failure leaves the engine's messages in the card's update log
aml_status_e aml_card_fw_info_get(aml_card_fw_info_get_req_s* req, aml_card_fw_info_get_rsp_s* rsp);

struct aml_card_fw_version_get_req_s {
    aml_card_handle_s card;  // validated already: the address is used as it is
};
struct aml_card_fw_version_get_rsp_s {
    std::string error;
    std::string running_version;
};
// the running main image's version straight from the card's flash service:
// no engine, no log, for callers that ask often (the monitor's info metric)
aml_status_e aml_card_fw_version_get(aml_card_fw_version_get_req_s* req, aml_card_fw_version_get_rsp_s* rsp);

// a flash partition's name the engine knows ("soc-dtb", "soc-zephyr", ...)
bool aml_flash_partition_known(const std::string& name);

// packages, no card involved. the members are checked as an install unpacks
// them (no absolute names, "..", links, devices or names given twice); false
// with the engine's reason, naming the member
bool aml_fw_package_members_check(const std::string& package, std::string& error);
// a digest algorithm an install accepts ("md5", "sha256", "sha512")
bool aml_fw_digest_algorithm_ok(const std::string& algorithm);
// the digest of one member as the install computes it; false when the member
// cannot be read
bool aml_fw_member_digest(const std::string& package, const std::string& member, const std::string& algorithm,
                          std::string& digest);
