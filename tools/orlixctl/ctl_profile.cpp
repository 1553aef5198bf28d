// profile show|update: the card's profiles, and a profile installed from a
// package (or only its device configuration, or only recorded as active)

#include <CLI/CLI.hpp>

#include "aml/aml_profile.h"
#include "tools/orlixctl/ctl_fw.h"

namespace {

json profile_json(const aml_card_profile_s& p)
{
    json ports = json::array();
    for (const auto& port : p.ports) {
        ports.push_back(json{{"port", port.port}, {"breakout_mode", static_cast<int>(port.breakout_mode)}});
    }
    return json{{"name", p.name}, {"description", p.description}, {"device_config", p.device_config}, {"ports", ports}};
}

ctl_result profile_show(const std::string& name, const std::string& package)
{
    aml_card_handle_s card = ctl_select_card(name);
    aml_card_profile_get_req_s req;
    req.card = card;
    req.package = package;
    auto rsp = ctl_call(aml_card_profile_get, req);
    ctl_result r;
    r.doc = json{{"address", card.bdf}, {"active_profile", rsp.active_profile}, {"profiles", json::array()}};
    std::vector<std::vector<std::string>> rows;
    for (const auto& p : rsp.profiles) {
        r.doc["profiles"].push_back(profile_json(p));
        rows.push_back({p.name == rsp.active_profile ? "*" : "", p.name, p.device_config,
                        std::to_string(p.ports.size()), p.description});
    }
    r.table = ctl_fields({{"address", card.bdf}, {"active_profile", rsp.active_profile}}) + "\n" +
              ctl_table({"", "PROFILE", "DEVICE_CONFIG", "PORTS", "DESCRIPTION"}, rows);
    return r;
}

// how much of a profile change to make
struct profile_mode_s {
    bool device_config_only = false;  // the profile's device configuration from the installed package
    bool activate_only = false;       // record the profile only (a card running image 3)
    bool recommission = false;        // recommission the card afterwards
};

// PROFILE, or PACKAGE PROFILE
ctl_result profile_update(const std::string& name, const std::vector<std::string>& args, const profile_mode_s& mode)
{
    const std::string package = args.size() == 2 ? args[0] : "";
    const std::string profile = args.back();
    if (package.empty() && !mode.device_config_only && !mode.activate_only) {
        throw ctl_error(CTL_EXIT_FAILURE, "Error - a firmware package is needed unless --device-config-only or "
                                          "--activate-only is given");
    }
    aml_card_handle_s card = ctl_select_card(name);
    std::string what = mode.activate_only          ? "Record profile " + profile + " as active"
                       : mode.device_config_only ? "Install the device configuration of profile " + profile
                                                 : "Install profile " + profile + " from " + package;
    ctl_confirm_or_stop(what + " on card " + card.bdf + (mode.recommission ? ", then recommission it" : "") + "?");
    aml_card_profile_upd_req_s req;
    req.card = card;
    req.package = package;
    req.profile = profile;
    req.install_firmware = !mode.device_config_only;
    req.activate_only = mode.activate_only;
    req.recommission = mode.recommission;
    // the library's stages as they come, in the place of a percentage
    static const char* const k_stages[] = {AML_PROFILE_STAGE_INSTALL, AML_PROFILE_STAGE_PORTS,
                                           AML_PROFILE_STAGE_ACTIVATION, AML_PROFILE_STAGE_DONE};
    ctl_progress bar({card.bdf});
    json stages = json::array();
    req.on_stage = [&](const std::string& stage) {
        unsigned step = 0;
        for (unsigned i = 0; i < 4; i++) {
            step = stage == k_stages[i] ? i : step;
        }
        stages.push_back(stage);
        bar.update(0, step * 100 / 3, stage);
    };
    aml_card_profile_upd_rsp_s rsp;
    aml_status_e status = aml_card_profile_update(&req, &rsp);
    bar.finish();
    if (status != AML_STATUS_OK) {
        ctl_fail(status, rsp.stage + ": " + rsp.error);
    }
    ctl_result r;
    r.doc = json{{"address", card.bdf}, {"profile", profile}, {"previous_profile", rsp.previous_profile},
                 {"stage", rsp.stage}, {"stages", stages}};
    r.table = card.bdf + " profile " + rsp.previous_profile + " -> " + profile + "\n";
    return r;
}

}  // namespace

void ctl_add_profile_commands(CLI::App& app, ctl_runner& run)
{
    static std::string package;
    static std::vector<std::string> profile_args;
    static profile_mode_s mode;
    ctl_add_commands(
        ctl_add_group(app, "profile", "card profiles"),
        {{"show", "the card's profiles and the active one", true, false,
          [](CLI::App& c) { c.add_option("--package", package, "list the profiles of this package instead"); },
          [] { return profile_show(ctl_card_arg(), package); }},
         {"update", "install a profile from a package", true, true,
          [](CLI::App& c) {
              c.add_option("[PACKAGE] PROFILE", profile_args,
                           "firmware package and profile name (the package may be left out with "
                           "--device-config-only or --activate-only)")
                  ->required()
                  ->expected(1, 2);
              auto* dco = c.add_flag("--device-config-only", mode.device_config_only,
                                     "install only the profile's device configuration, from the installed package");
              c.add_flag("--activate-only", mode.activate_only,
                         "only record the profile as active (a card running image 3; ignored on others)")
                  ->excludes(dco);
              c.add_flag("--recommission", mode.recommission,
                         "recommission the card afterwards so that the profile takes effect (over a minute)");
          },
          [] { return profile_update(ctl_card_arg(), profile_args, mode); }}},
        run);
}
