#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "fwupdate/fwupdate_state.h"
#include "fwupdate/fwupdate_tables.h"

// the firmware update engine: installs a package's images on one card's
// flash, checks them and selects the image the card boots next. every call
// works on the card the calling thread gave to fwupdate_init.

constexpr int FWUPDATE_OK = 0;
constexpr int FWUPDATE_BAD_REQUEST = 2;
constexpr int FWUPDATE_NOTHING_TO_DO = 11;
constexpr int FWUPDATE_ABORTED = 39;
constexpr int FWUPDATE_ERR = 255;

// the bound of one update unless the caller gives another: a whole package
// takes minutes on a card, an hour is a card that no longer finishes
constexpr uint32_t FWUPDATE_TIMEOUT_DEFAULT_S = 3600;

struct firmware_update_req_s {
    std::string package;
    std::vector<std::string> names;  // empty: "all"
    std::string profile;             // empty: the card's active profile
    bool reset = false;
    bool upgrade_all = false;
    // at the deadline the update stops between chunks or polls and returns
    // 39, the next boot image left as it was; 0: no deadline
    uint32_t timeout_s = FWUPDATE_TIMEOUT_DEFAULT_S;
};

int fwupdate_init(fwupdate_init_params_s params);

// the update. an interrupt cannot cut it short: from the first update on,
// SIGINT runs a handler that does nothing
void install_sigint_guard();
int firmware_update(firmware_update_req_s* req, uint8_t* progress, std::string& status);
int boot_option_set(const std::string& image_name);

// what the card's flash holds against a package, partition by partition,
// through the card's own checksums; nothing is written to the card
struct fwupdate_flash_check_s {
    fwupdate_image_s image;  // what the package puts there
    std::string expected;    // SHA-512 of the package's image, upper case
    std::string card;        // what the card digests over the same length
    bool match = false;
};
// 0 when every partition the package would write was compared (results say
// which match), else the failing step's code: the package or the card could
// not be read, 39 at the deadline. names as firmware_update's (empty: "all")
int fwupdate_flash_check(const std::string& package, const std::vector<std::string>& names,
                         std::vector<fwupdate_flash_check_s>& results,
                         uint32_t timeout_s = FWUPDATE_TIMEOUT_DEFAULT_S);
int next_boot_image_set(const std::string& image_name);
// the main image the card does not run, as an image name: "mainfwb" while it
// runs A, "mainfwa" while it runs B or gold. "altfw" means this one, and
// every install writes it
// reads the card's version records into the thread's state, logging a failure
int fwupdate_version_info_refresh();

std::string fwupdate_alt_image(const rfc_card_info_s& card_info);
// points the card's flash service at a main image ("mainfwa", "mainfwb")
// before its partitions are written
int fwupdate_main_image_select(const std::string& image_name);
