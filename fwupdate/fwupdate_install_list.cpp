// the firmware names an update installs and their progress weights

#include "fwupdate/fwupdate_install_list.h"

#include <algorithm>
#include <cstdlib>

#include "fwupdate/fwupdate.h"
#include "fwupdate/fwupdate_shell.h"

namespace {

int env_number(const char* name, int fallback)
{
    const char* v = getenv(name);
    return v ? static_cast<int>(strtol(v, nullptr, 10)) : fallback;
}

}  // namespace

std::string fwupdate_package_revision(const std::string& manifest, int& rc)
{
    std::string version;
    rc = manifest_value_get_quiet(".package_version", manifest, version);
    if (rc != 0) {
        fwupdate_log(trace_level_err, "Failed to get package version, err %u", rc);
        return "";
    }
    if (version == "null" || version == "2") {
        return "rev2";
    }
    if (version == "3") {
        return "rev3";
    }
    fwupdate_log(trace_level_err, "Unknown package version %s", version.c_str());
    rc = FWUPDATE_BAD_REQUEST;
    return "";
}

int check_install_list(std::vector<std::string>& names)
{
    int rc = 0;
    std::string revision = fwupdate_package_revision(fwupdate_work_manifest(), rc);
    if (revision.empty()) {
        return rc;
    }
    if (revision == "rev3") {
        fwupdate_log(trace_level_err, "Secure upgrade is not supported for talmira yet");
        return FWUPDATE_ERR;
    }
    bool suc_update = env_number("ORLIX_SUC_UPDATE", 1) != 0;
    std::vector<std::string> out;
    for (const auto& name : names) {
        if (name == "goldfw") {
            out.push_back(name);
        } else if (name == "all") {
            out = suc_update ? std::vector<std::string>{"soc", "uboot_tpl", "dtb", "fw_cfg", "cpld", "suc", "oprom"}
                             : std::vector<std::string>{"soc", "dtb", "fw_cfg", "oprom"};
            if (getenv("ORLIX_UBOOT_TPL_UPDATE")) {
                fwupdate_globals().uboottpl_skip_version_check = true;
            }
        } else {
            fwupdate_log(trace_level_err, "Unknown firmware name %s", name.c_str());
            return FWUPDATE_BAD_REQUEST;
        }
    }
    names = out;
    return 0;
}

void allocate_image_weight(std::vector<std::string>& partitions, uint8_t* progress,
                           std::unordered_map<std::string, uint32_t>& weights)
{
    constexpr uint32_t k_share = 85, k_default_weight = 20;
    *progress = 5;
    size_t n = std::min<size_t>(partitions.size(), 255);
    if (n == 0) {
        return;
    }
    auto weight_of = [](const std::string& p) {
        auto it = fwname_to_weight().find(p);
        return it == fwname_to_weight().end() ? k_default_weight : it->second;
    };
    uint32_t total = 0;
    for (size_t i = 0; i < n; i++) {
        total += weight_of(partitions[i]);
    }
    uint32_t given = 0;
    for (size_t i = 0; i < n; i++) {
        uint32_t share = i + 1 < n ? weight_of(partitions[i]) * k_share / total : k_share - given;
        given += share;
        fwupdate_log(trace_level_debug, "Allocated weight for %s: %u", partitions[i].c_str(), share);
        weights[partitions[i]] = share;
    }
}
