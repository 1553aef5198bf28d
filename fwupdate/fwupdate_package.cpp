// a package on the host: what is extracted, whether it suits the card, which
// firmware names it installs, and the card profile it installs with

#include <cstdio>
#include <cstdlib>
#include <regex>

#include <fmt/format.h>

#include "fwupdate/fwupdate.h"
#include "fwupdate/fwupdate_shell.h"
#include "fwupdate/rfc.h"
#include "ipc/shell_command.h"

namespace {

std::string work_manifest()
{
    return fwupdate_tls().fwupgrade_bdf_dir + "/MANIFEST";
}

// a text as a JSON string literal inside a jq filter
std::string json_quote(const std::string& s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

int env_number(const char* name, int fallback)
{
    const char* v = getenv(name);
    return v ? static_cast<int>(strtol(v, nullptr, 10)) : fallback;
}

}  // namespace

int extract_package_files(bool fip, firmware_update_req_s* req)
{
    const std::string dir = fwupdate_card_config_dir();
    const std::string& asic = asic_list()[0];
    const char* pattern = fip ? "fip*" : "zephyr*";
    std::string out;
    (void)run_command(ipc_shell_command("rm -f {}/ASIC_MANIFEST {}/device_config* {}/card_profile.json {}/", 
                                        {dir, dir + "/" + asic, dir, dir + "/" + asic}) +
                          pattern + " 2>/dev/null",
                      out);
    int rc = run_command("tar -axf {} -C {}/ --no-anchored --wildcards 'device_config*'", {req->package, dir}, out);
    if (rc != 0) {
        fwupdate_log(trace_level_err, "Failed to extract device config DTBs, err %u", rc);
        return rc;
    }
    rc = run_command("tar -axf {} -C {}/ --no-anchored --wildcards {}", {req->package, dir, asic + "/" + pattern}, out);
    if (rc != 0) {
        fwupdate_log(trace_level_err, "Failed to extract zephyr/fip images, err %u", rc);
        return rc;
    }
    rc = run_command("tar -axf {} --no-anchored {} -O > {}", {req->package, asic + "/MANIFEST", dir + "/ASIC_MANIFEST"},
                     out);
    if (rc != 0) {
        fwupdate_log(trace_level_err, "Failed to extract manifest file from firmware package %s, err %u",
                     req->package.c_str(), rc);
        return rc;
    }
    if (run_command("tar -axf {} --no-anchored card_profile.json -O > /dev/null 2>&1", {req->package}, out) == 0) {
        (void)run_command("tar -axf {} --no-anchored card_profile.json -O > {}",
                          {req->package, dir + "/card_profile.json"}, out);
    }
    return 0;
}

// board policy: true when the package accepts the board
static bool board_accepted(const std::string& board_id, const std::string& manifest)
{
    std::string policy;
    (void)manifest_value_get_quiet(".package_compat.board_policy", manifest, policy);
    if (policy == "accept") {
        fwupdate_log(trace_level_debug, "Board policy accepted");
        std::string second;
        (void)manifest_value_get_quiet(".package_compat.board_policy2", manifest, second);
        if (second == "null" || second.empty()) {
            return true;
        }
        policy = second;
    }
    if (policy == "accept") {
        fwupdate_log(trace_level_debug, "Board policy accepted");
        return true;
    }
    if (policy == "match-boardid") {
        if (board_id == "unknown") {
            fwupdate_log(trace_level_warn, "Board id unknown, compatibility assumed");
            return true;
        }
        int length = 0;
        if (manifest_length_get(".package_compat.boardid", manifest, length) != 0) {
            fwupdate_log(trace_level_err, "Failed to get length of .package_compat.boardid list");
            return false;
        }
        if (length == 0) {
            fwupdate_log(trace_level_err, "Board id %s not found in MANIFEST", board_id.c_str());
            return false;
        }
        for (int i = 0; i < length; i++) {
            std::string id;
            (void)manifest_value_get_quiet(fmt::format(".package_compat.boardid[{}]", i), manifest, id);
            if (id == board_id) {
                fwupdate_log(trace_level_debug, "Board id %s found in MANIFEST", board_id.c_str());
                return true;
            }
        }
        fwupdate_log(trace_level_err, "Board id not %s found in MANIFEST", board_id.c_str());
        return false;
    }
    fwupdate_log(trace_level_debug, "Unknown policy %s", policy.c_str());
    return false;
}

static bool parse_release(const std::string& version, std::string& tree, std::string& build)
{
    static const std::regex patterns[] = {
        std::regex("([0-9]+.[0-9]+.[0-9]+-[a-zA-Z])-([0-9]+)"),
        std::regex("([0-9]+.[0-9]+-[a-zA-Z])-([0-9]+)"),
        std::regex("([0-9]+.[0-9]+.[0-9]+)-([0-9]+)"),
    };
    for (const auto& re : patterns) {
        std::smatch m;
        if (std::regex_search(version, m, re) && m[1].matched && m[2].matched) {
            tree = m[1];
            build = m[2];
            return true;
        }
    }
    return false;
}

static bool is_number(const std::string& s)
{
    return !s.empty() && s.size() < 18 && s.find_first_not_of("0123456789") == std::string::npos;
}

// 255 when a range of the revocation list holds the build
static int revocation_check(const std::string& board_id, const std::string& manifest)
{
    std::string revoked = fwupdate_globals().conf_dir + asic_list()[0] + "/fwcompat-revoked.json";
    if (!file_exists(revoked)) {
        fwupdate_log(trace_level_debug, "Firmware revoke db doesn't exist");
        return 0;
    }
    std::string version;
    (void)manifest_value_get_quiet(".software_version", manifest, version);
    if (version.empty() || version == "null") {
        fwupdate_log(trace_level_debug, "Software version not found");
        return 0;
    }
    std::string tree, build;
    if (!parse_release(version, tree, build)) {
        return 0;
    }
    std::string ranges = "." + std::string("[") + json_quote(board_id) + "][" + json_quote(tree) + "]";
    int length = 0;
    if (manifest_length_get(ranges, revoked, length) != 0) {
        return 0;
    }
    for (int i = 0; i < length; i++) {
        std::string min, max, out;
        (void)run_command("jq -r {} {}", {ranges + fmt::format("[{}].min | tostring", i), revoked}, min);
        (void)run_command("jq -r {} {}", {ranges + fmt::format("[{}].max | tostring", i), revoked}, max);
        if (min == "null" || max == "null" || min.empty() || max.empty()) {
            continue;
        }
        bool hit = false;
        if (min == "#" && max == "#") {
            fwupdate_log(trace_level_err, "Release tree %s, build %s revoked for board %s", tree.c_str(), build.c_str(),
                         board_id.c_str());
            hit = true;
        } else if (is_number(min) && is_number(max) && is_number(build)) {
            long long b = std::stoll(build);
            hit = std::stoll(min) < b && b < std::stoll(max);
            if (hit) {
                fwupdate_log(trace_level_err,
                             "Release tree %s, build %s revoked for board %s , build is in the range %s - %s",
                             tree.c_str(), build.c_str(), board_id.c_str(), min.c_str(), max.c_str());
            }
        }
        if (hit) {
            fwupdate_log(trace_level_err, "Firmware version incompatible with this board %s", board_id.c_str());
            return 255;
        }
    }
    return 0;
}

int check_package_compatibility(const std::string& board_id)
{
    const std::string& asic = fwupdate_globals().asic_name;
    if (asic != asic_list()[0]) {
        return 0;
    }
    fwupdate_log(trace_level_debug, "Board compat board id %s", board_id.c_str());
    const std::string manifest = work_manifest();
    bool asic_ok = false;
    for (size_t i = 0; i < asic_list().size(); i++) {
        std::string name;
        (void)manifest_value_get_quiet(fmt::format(".asic_compat_list[{}]", i), manifest, name);
        asic_ok = asic_ok || name == asic;
    }
    if (!asic_ok) {
        fwupdate_log(trace_level_err, "Firmware image is not compatible with this device");
        return 255;
    }
    if (!board_accepted(board_id, manifest)) {
        fwupdate_log(trace_level_err, "Package file incompatible with this board %s", board_id.c_str());
        return 255;
    }
    return revocation_check(board_id, manifest);
}

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
    std::string revision = fwupdate_package_revision(work_manifest(), rc);
    if (revision.empty()) {
        return rc;
    }
    if (revision == "rev3") {
        fwupdate_log(trace_level_err, "Secure upgrade is not supported for talmira yet");
        return 255;
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

int card_profile_device_memory_config_get(const std::string& profile_file, const std::string& profile,
                                          std::string& device_config, std::string& memory_config)
{
    std::string out;
    int length = 0;
    if (run_command("jq -r '.profile | length ' {}", {profile_file}, out) != 0) {
        return 255;
    }
    try {
        length = std::stoi(out);
    } catch (const std::exception&) {
        return 255;
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
    return 255;
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
    bool has_profile_file =
        run_command("tar -axf {} --no-anchored card_profile.json -O > /dev/null 2>&1", {req->package}, out) == 0;
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
                             rc ? rc : 255);
                fwupdate_final_cleanup();
                return rc ? rc : 255;
            }
        }
        if (!has_profile_file && active != "default") {
            fwupdate_log(trace_level_err,
                         "Image %s doesn't support current profile %s, please update to default profile and retry "
                         "the upgrade",
                         req->package.c_str(), active.c_str());
            fwupdate_final_cleanup();
            return 255;
        }
        profile = active;
        if (has_profile_file) {
            req->profile = active;
        }
    }
    if (profile == "default" && !has_profile_file) {
        return 0;
    }
    const std::string work_file = fwupdate_tls().fwupgrade_bdf_dir + "card_profile.json";
    int rc = run_command("tar -axf {} --no-anchored card_profile.json -O > {} 2>/dev/null", {req->package, work_file}, out);
    if (rc != 0) {
        fwupdate_log(trace_level_err, "Unable to extract card_profile.json from firmware package %s, err %u",
                     req->package.c_str(), rc);
        fwupdate_final_cleanup();
        return rc;
    }
    rc = card_profile_device_memory_config_get(work_file, profile, device_config, memory_config);
    if (rc != 0) {
        if (requested) {
            fwupdate_log(trace_level_err, "Profile %s not found in firmware package %s, err %u", profile.c_str(),
                         req->package.c_str(), rc);
        } else {
            fwupdate_log(trace_level_err,
                         "Image %s doesn't support current profile %s, please update to default profile and retry "
                         "the upgrade, err %u",
                         req->package.c_str(), profile.c_str(), rc);
        }
        fwupdate_final_cleanup();
        return rc;
    }
    return 0;
}
