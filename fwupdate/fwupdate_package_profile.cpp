// the card profile an install uses, from the request, the card and the package

#include "fwupdate/fwupdate_package_profile.h"

#include <fmt/format.h>

#include "fwupdate/fwupdate_archive.h"
#include "fwupdate/fwupdate_shell.h"

int card_profile_device_memory_config_get(const std::string& profile_file, const std::string& profile,
                                          std::string& device_config, std::string& memory_config)
{
    std::string out;
    int length = 0;
    if (run_command("jq -r '.profile | length ' {}", {profile_file}, out) != 0) {
        return FWUPDATE_ERR;
    }
    try {
        length = std::stoi(out);
    } catch (const std::exception&) {
        return FWUPDATE_ERR;
    }
    for (int i = 0; i < length; i++) {
        std::string name;
        int rc = run_command("jq -r {} {}", {fmt::format(".profile[{}].name", i), profile_file}, name);
        if (rc != 0) {
            fwupdate_log(trace_level_err, "Failed to get value for .profile[%u].name, err %u", i, rc);
            return rc;
        }
        if (name != profile) {
            continue;
        }
        std::string dc, mc;
        rc = run_command("jq -r {} {}", {fmt::format(".profile[{}].device_config", i), profile_file}, dc);
        if (rc != 0) {
            fwupdate_log(trace_level_err, "Failed to get value for .profile[%u].device_config, err %u", i, rc);
            return rc;
        }
        (void)run_command("jq -r {} {}", {fmt::format(".profile[{}].memory_config", i), profile_file}, mc);
        device_config = dc;
        memory_config = mc;
        return 0;
    }
    fwupdate_log(trace_level_err, "Unable to find profile %s", profile.c_str());
    return FWUPDATE_ERR;
}

int get_card_profile(firmware_update_req_s* req, std::string& device_config, std::string& memory_config)
{
    for (const auto& name : req->names) {
        if (name == "goldfw") {
            fwupdate_log(trace_level_info, "Goldfw image upgrade triggered, skipping card profile check");
            return 0;
        }
    }
    const std::string dir = fwupdate_card_config_dir();
    std::string out;
    bool has_profile_file = fwupdate_package_has(req->package, "card_profile.json");
    bool requested = !req->profile.empty();
    std::string profile = req->profile;
    if (!requested) {
        std::string conf = dir + "/card.conf";
        std::string active = "default";
        if (file_exists(conf)) {
            active.clear();
            int rc = run_command("jq -r '.\"card-profile\"' {}", {conf}, active);
            if (rc != 0 || active.empty() || active == "null") {
                fwupdate_log(trace_level_err, "Failed to find active card profile in %s, err %u", conf.c_str(),
                             rc ? rc : FWUPDATE_ERR);
                fwupdate_final_cleanup();
                return rc ? rc : FWUPDATE_ERR;
            }
        }
        if (!has_profile_file && active != "default") {
            fwupdate_log(trace_level_err,
                         "Image %s doesn't support current profile %s, please update to default profile and retry "
                         "the upgrade",
                         fwupdate_package_display(req->package).c_str(), active.c_str());
            fwupdate_final_cleanup();
            return FWUPDATE_ERR;
        }
        profile = active;
        if (has_profile_file) {
            req->profile = active;
        }
    }
    if (profile == "default" && !has_profile_file) {
        return 0;
    }
    const std::string& work = fwupdate_tls().fwupgrade_bdf_dir;
    const std::string work_file = work + "card_profile.json";
    int rc = fwupdate_member_extract(req->package, "card_profile.json", work, "card_profile.json");
    if (rc != 0) {
        fwupdate_log(trace_level_err, "Unable to extract card_profile.json from firmware package %s, err %u",
                     fwupdate_package_display(req->package).c_str(), rc);
        fwupdate_final_cleanup();
        return rc;
    }
    rc = card_profile_device_memory_config_get(work_file, profile, device_config, memory_config);
    if (rc != 0) {
        if (requested) {
            fwupdate_log(trace_level_err, "Profile %s not found in firmware package %s, err %u", profile.c_str(),
                         fwupdate_package_display(req->package).c_str(), rc);
        } else {
            fwupdate_log(trace_level_err,
                         "Image %s doesn't support current profile %s, please update to default profile and retry "
                         "the upgrade, err %u",
                         fwupdate_package_display(req->package).c_str(), profile.c_str(), rc);
        }
        fwupdate_final_cleanup();
        return rc;
    }
    return 0;
}
