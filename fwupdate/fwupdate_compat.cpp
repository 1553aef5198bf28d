// whether a package suits the card: ASIC, board policy, revoked releases

#include "fwupdate/fwupdate_compat.h"

#include <regex>

#include <fmt/format.h>

#include "fwupdate/fwupdate.h"
#include "fwupdate/fwupdate_shell.h"

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

// FWUPDATE_ERR when a range of the revocation list holds the build
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
    // the board id (the card's word) and the release tree (the package's)
    // reach jq as string variables
    const std::string ranges = ".[$a0][$a1]";
    const std::vector<std::string> args = {board_id, tree};
    int length = 0;
    if (manifest_length_get(ranges, args, revoked, length) != 0) {
        return 0;
    }
    for (int i = 0; i < length; i++) {
        std::string min, max;
        (void)jq_query(ranges + fmt::format("[{}].min | tostring", i), args, revoked, min);
        (void)jq_query(ranges + fmt::format("[{}].max | tostring", i), args, revoked, max);
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
            return FWUPDATE_ERR;
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
    const std::string manifest = fwupdate_work_manifest();
    bool asic_ok = false;
    for (size_t i = 0; i < asic_list().size(); i++) {
        std::string name;
        (void)manifest_value_get_quiet(fmt::format(".asic_compat_list[{}]", i), manifest, name);
        asic_ok = asic_ok || name == asic;
    }
    if (!asic_ok) {
        fwupdate_log(trace_level_err, "Firmware image is not compatible with this device");
        return FWUPDATE_ERR;
    }
    if (!board_accepted(board_id, manifest)) {
        fwupdate_log(trace_level_err, "Package file incompatible with this board %s", board_id.c_str());
        return FWUPDATE_ERR;
    }
    return revocation_check(board_id, manifest);
}
