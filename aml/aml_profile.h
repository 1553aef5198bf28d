#pragma once

// card profiles: reading them from a package or a card's configuration
// directory, port breakout modes, and changing a card's profile

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "aml/aml_card_handle.h"
#include "aml/aml_pcie.h"
#include "aml/aml_status.h"
#include "aml/aml_utils.h"
#include "fwupdate/fwupdate.h"

// card profiles: the configurations a card can take (a device configuration
// installed into its flash and a breakout mode per port), listed in the
// card_profile.json of every firmware package and kept, with the name of the
// active profile in card.conf, in the card's configuration directory
// aml_conf_dir() + "/" + bdf + "/" (where the update engine records them).

// one port of a profile
struct aml_port_profile_cfg_s {
    uint32_t port = 0;  // 1 or more
    aml_port_breakout_mode_e breakout_mode = AML_PORT_BREAKOUT_MODE_NONE;
};

struct aml_card_profile_s {
    std::string name;
    std::string description;
    std::string device_config;  // the device configuration the profile installs
    std::vector<aml_port_profile_cfg_s> ports;  // in file order
};

constexpr const char* AML_CARD_PROFILE_FILE = "card_profile.json";
constexpr const char* AML_CARD_CONF_FILE = "card.conf";
constexpr const char* AML_DEFAULT_CARD_PROFILE = "default";

// the profile a card has when no profile file is available
aml_card_profile_s aml_default_card_profile();

// the card's configuration directory, with a trailing '/'
std::string aml_card_conf_dir(const aml_card_handle_s* handle);

// reads the profiles of a card_profile.json text, in order, keeping those
// named exactly filter (all with an empty filter). port numbers are read as
// strtoul with base 0 does (decimal, 0x hexadecimal, 0 octal), mode names
// after lower-casing (an unknown name gives mode 0). 0 on success; 11 for a
// port number that reads as 0 and for text that is not a profile list
// (malformed JSON, no "profile", a profile without "description" or
// "device_config"); the profiles read before the fault stay in profiles.
aml_status_e aml_parse_card_profile_json(const std::string& json_text, std::string name_filter,
                                         std::vector<aml_card_profile_s>& profiles);

struct aml_card_profile_get_req_s {
    aml_card_handle_s card;
    std::string package;  // firmware package to read the profiles from; "" for the card's own
};
struct aml_card_profile_get_rsp_s {
    std::string error;
    std::vector<aml_card_profile_s> profiles;
    // the card's active profile ("default" without card.conf); left empty
    // when the profiles come from a package
    std::string active_profile;
};

// the profiles of a package, or those of the card with its active profile
// (the built-in default profile when the card keeps no profile file)
aml_status_e aml_card_profile_get(aml_card_profile_get_req_s* req, aml_card_profile_get_rsp_s* rsp);

// the stages of a profile update, in order
constexpr const char* AML_PROFILE_STAGE_INSTALL = "card profile";
constexpr const char* AML_PROFILE_STAGE_PORTS = "Port Profile";
constexpr const char* AML_PROFILE_STAGE_ACTIVATION = "Activation";
constexpr const char* AML_PROFILE_STAGE_DONE = "Done";

// the running-image value (DEVICE_INFO) of a card whose ports are not set up
// by a profile update
constexpr uint8_t AML_PROFILE_NO_PORTS_RUNNING_IMAGE = 3;

struct aml_card_profile_upd_req_s {
    aml_card_handle_s card;
    std::string package;  // the firmware package; the profile is recorded from it
    std::string profile;  // the profile to take
    // options handed to firmware_update; its package and profile are set
    // from the two fields above. its timeout_s (an hour unless set, 0 for
    // none) bounds the install stage, a device configuration alone too
    firmware_update_req_s install;
    // true: install the package, with the profile's device configuration.
    // false: install only the profile's device configuration, from the
    // package already installed on the card (and read the ports from the
    // package when one is given, else from the card's profile file)
    bool install_firmware = true;
    // on a card that runs image 3: install nothing and only record the
    // profile. ignored on any other running image
    bool activate_only = false;
    // recommission the card once the profile is recorded, so that the new
    // configuration takes effect (takes over a minute: the card is rescanned)
    bool recommission = false;
    // seconds the card gets to reboot before the bus is rescanned
    uint32_t rescan_delay_s = AML_RECOMMISSION_RESCAN_DELAY_S;
    // told each stage as the update enters it (the stages above, in order),
    // on the calling thread: an install takes minutes
    std::function<void(const std::string& stage)> on_stage;
};
struct aml_card_profile_upd_rsp_s {
    std::string error;
    std::string stage;            // the stage the update ended in: "Done" on success
    std::string previous_profile; // the card's profile before the update ("default" without card.conf)
    uint8_t progress = 0;         // the engine's progress of the install stage
    std::string install_status;   // the engine's last status text of the install stage
};

// changes a card's profile: install stage, port breakout modes, recording
// the profile as active. a failure ends the update where it is; nothing done
// before it is undone.
aml_status_e aml_card_profile_update(aml_card_profile_upd_req_s* req, aml_card_profile_upd_rsp_s* rsp);

// the port stage alone: one PORT_BREAKOUT_MODE_UPDATE per port, in order,
// over one channel to the validated card; stops at the first failure. no
// channel is opened for no ports.
aml_status_e aml_card_port_profile_apply(aml_card_handle_s* handle, const std::vector<aml_port_profile_cfg_s>& ports,
                                         std::string& error);
