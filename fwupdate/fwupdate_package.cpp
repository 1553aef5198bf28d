// a package on the host: what is extracted, whether it suits the card, which
// firmware names it installs, and the card profile it installs with

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <set>

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

int env_number(const char* name, int fallback)
{
    const char* v = getenv(name);
    return v ? static_cast<int>(strtol(v, nullptr, 10)) : fallback;
}

}  // namespace

// the copy this thread checked, when package is the one it was copied from
static std::string staged_copy_of(const std::string& package);

// what an earlier install left in the card's configuration folder: its ASIC
// manifest and card profile, the ASIC's device configs and images
static bool remove_earlier_results(const std::string& dir, const std::string& asic, const std::string& images)
{
    private_dir card, asic_dir;
    std::string error;
    if (!fwupdate_private_dir(dir, card) || !fwupdate_remove(dir, {"ASIC_MANIFEST", "card_profile.json"})) {
        return false;
    }
    struct stat st = {};
    if (fstatat(card.fd(), asic.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return true;
    }
    std::vector<std::string> names;
    if (!private_dir_sub(card, asic, false, asic_dir, error) || !private_dir_list(asic_dir, names)) {
        fwupdate_log(trace_level_err, "%s", error.empty() ? ("Failed to read " + dir + "/" + asic).c_str() : error.c_str());
        return false;
    }
    for (const auto& name : names) {
        if ((name.rfind("device_config", 0) == 0 || name.rfind(images, 0) == 0) &&
            !private_dir_remove(asic_dir, name, error)) {
            fwupdate_log(trace_level_err, "%s", error.c_str());
            return false;
        }
    }
    return true;
}

int extract_package_files(bool fip, firmware_update_req_s* req)
{
    const std::string dir = fwupdate_card_config_dir();
    const std::string& asic = asic_list()[0];
    const char* pattern = fip ? "fip*" : "zephyr*";
    // what was verified is what stays installed: the private copy, when there is one
    const std::string package = staged_copy_of(req->package);
    std::vector<fwupdate_member_s> members;
    if (fwupdate_package_members_check(package, members) != 0) {
        return 255;
    }
    std::string out;
    if (!remove_earlier_results(dir, asic, fip ? "fip" : "zephyr")) {
        return 255;
    }
    const char* safe = " --no-same-owner --no-same-permissions --no-overwrite-dir";
    int rc = run_command(std::string("tar -axf {} -C {}/ --no-anchored --wildcards 'device_config*'") + safe,
                         {package, dir}, out);
    if (rc != 0) {
        fwupdate_log(trace_level_err, "Failed to extract device config DTBs, err %u", rc);
        return rc;
    }
    rc = run_command(std::string("tar -axf {} -C {}/ --no-anchored --wildcards {}") + safe,
                     {package, dir, asic + "/" + pattern}, out);
    if (rc != 0) {
        fwupdate_log(trace_level_err, "Failed to extract zephyr/fip images, err %u", rc);
        return rc;
    }
    rc = run_command("tar -axf {} --no-anchored {} -O > {}", {package, asic + "/MANIFEST", dir + "/ASIC_MANIFEST"},
                     out);
    if (rc != 0) {
        fwupdate_log(trace_level_err, "Failed to extract manifest file from firmware package %s, err %u",
                     req->package.c_str(), rc);
        return rc;
    }
    if (run_command("tar -axf {} --no-anchored card_profile.json -O > /dev/null 2>&1", {package}, out) == 0) {
        (void)run_command("tar -axf {} --no-anchored card_profile.json -O > {}",
                          {package, dir + "/card_profile.json"}, out);
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
                         fwupdate_package_display(req->package).c_str(), active.c_str());
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

// ---- untrusted packages: listing, private copy, unpacking ----

namespace {

// the package this thread copied into its work directory
struct staged_package_s {
    std::string original;
    std::string copy;
};
thread_local staged_package_s t_staged;

std::string without_trailing_slash(std::string dir)
{
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    return dir;
}

// one name in tar's "c" quoting: the text from the opening quote at line[at];
// at ends after the closing quote. false when the quoting is broken
bool unquote_c(const std::string& line, size_t& at, std::string& out)
{
    out.clear();
    if (at >= line.size() || line[at] != '"') {
        return false;
    }
    for (at++; at < line.size(); at++) {
        char c = line[at];
        if (c == '"') {
            at++;
            return true;
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++at >= line.size()) {
            return false;
        }
        c = line[at];
        static const char k_from[] = "abfnrtv\\\"?'";
        static const char k_to[] = "\a\b\f\n\r\t\v\\\"?'";
        const char* hit = strchr(k_from, c);
        if (hit != nullptr && c != '\0') {
            out += k_to[hit - k_from];
        } else if (c >= '0' && c <= '7') {
            int v = 0;
            for (int n = 0; n < 3 && at < line.size() && line[at] >= '0' && line[at] <= '7'; n++, at++) {
                v = v * 8 + (line[at] - '0');
            }
            at--;
            out += static_cast<char>(v);
        } else {
            return false;
        }
    }
    return false;
}

// one line of "tar -tv --quoting-style=c --numeric-owner": mode, owner, size
// (or major,minor), date, time, the quoted name and for links their target
bool parse_listing_line(const std::string& line, fwupdate_member_s& m)
{
    size_t quote = line.find('"');
    if (line.empty() || quote == std::string::npos) {
        return false;
    }
    m = {};
    m.type = line[0];
    // the third field is the size
    size_t at = 0;
    std::string fields[3];
    for (auto& f : fields) {
        while (at < quote && line[at] == ' ') {
            at++;
        }
        size_t end = line.find(' ', at);
        if (end == std::string::npos || end > quote) {
            return false;
        }
        f = line.substr(at, end - at);
        at = end;
    }
    if (m.type == '-' || m.type == 'd') {
        const std::string& size = fields[2];
        if (size.empty() || size.size() > 19 || size.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        m.size = std::stoull(size);
    }
    at = quote;
    std::string raw;
    if (!unquote_c(line, at, raw)) {
        return false;
    }
    m.name = raw;
    const std::string rest = line.substr(at);
    const char* const k_arrows[] = {" -> ", " link to "};
    for (const char* arrow : k_arrows) {
        if (rest.compare(0, strlen(arrow), arrow) == 0) {
            size_t t = at + strlen(arrow);
            if (!unquote_c(line, t, m.link) || t != line.size()) {
                return false;
            }
            return m.type == 'l' || m.type == 'h';
        }
    }
    return rest.empty();
}

}  // namespace

std::string fwupdate_member_name_normal(const std::string& name)
{
    std::string out;
    size_t at = 0;
    while (at < name.size()) {
        size_t end = name.find('/', at);
        if (end == std::string::npos) {
            end = name.size();
        }
        std::string part = name.substr(at, end - at);
        // "./" only at the start: "a/./b" stays as tar stores it
        if (!(part.empty() || (part == "." && out.empty()))) {
            out += (out.empty() ? "" : "/") + part;
        }
        at = end + 1;
    }
    return (!name.empty() && name[0] == '/' ? "/" : "") + out;
}

bool fwupdate_member_name_safe(const std::string& name)
{
    if (name.empty() || name[0] == '/') {
        return false;
    }
    size_t at = 0;
    while (at <= name.size()) {
        size_t end = name.find('/', at);
        if (end == std::string::npos) {
            end = name.size();
        }
        if (name.compare(at, end - at, "..") == 0 && end - at == 2) {
            return false;
        }
        at = end + 1;
    }
    return true;
}

std::string fwupdate_member_quoted(const std::string& name)
{
    std::string out = "\"";
    for (unsigned char c : name) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            out += fmt::format("\\{:03o}", c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

int fwupdate_package_list(const std::string& package, std::vector<fwupdate_member_s>& members)
{
    members.clear();
    // -P: the names as stored, not with their leading "/" or "../" taken off
    ipc_shell_result_s r = ipc_shell_run(
        ipc_shell_command("tar -tvPf {} --quoting-style=c --numeric-owner --full-time 2>/dev/null", {package}));
    if (!r.ok()) {
        return 255;
    }
    for (const auto& line : r.lines) {
        fwupdate_member_s m;
        if (!parse_listing_line(line, m)) {
            fwupdate_log(trace_level_err, "Invalid package file %s, unreadable member list entry %s",
                         fwupdate_package_display(package).c_str(), fwupdate_member_quoted(line).c_str());
            return 255;
        }
        members.push_back(m);
    }
    return 0;
}

int fwupdate_package_members_check(const std::string& package, std::vector<fwupdate_member_s>& members)
{
    const std::string shown = fwupdate_package_display(package);
    if (fwupdate_package_list(package, members) != 0) {
        fwupdate_log(trace_level_err, "Invalid/corrupted package file");
        return 255;
    }
    std::set<std::string> seen;
    for (auto& m : members) {
        const std::string q = fwupdate_member_quoted(m.name);
        const char* why = nullptr;
        if (!m.name.empty() && m.name[0] == '/') {
            why = "has an absolute path";
        } else if (!fwupdate_member_name_safe(m.name)) {
            why = "leaves the directory it is unpacked into";
        } else if (m.type == 'l') {
            fwupdate_log(trace_level_err, "Invalid package file %s, member %s is a symbolic link to %s", shown.c_str(),
                         q.c_str(), fwupdate_member_quoted(m.link).c_str());
            return 255;
        } else if (m.type == 'h') {
            fwupdate_log(trace_level_err, "Invalid package file %s, member %s is a hard link to %s", shown.c_str(),
                         q.c_str(), fwupdate_member_quoted(m.link).c_str());
            return 255;
        } else if (m.type != '-' && m.type != 'd') {
            why = "is neither a regular file nor a directory";
        }
        if (why != nullptr) {
            fwupdate_log(trace_level_err, "Invalid package file %s, member %s %s", shown.c_str(), q.c_str(), why);
            return 255;
        }
        m.name = fwupdate_member_name_normal(m.name);
        if (m.name.empty() || !seen.insert(m.name).second) {
            fwupdate_log(trace_level_err, "Invalid package file %s, member %s appears more than once", shown.c_str(),
                         q.c_str());
            return 255;
        }
    }
    return 0;
}

static std::string staged_copy_of(const std::string& package)
{
    return !t_staged.copy.empty() && package == t_staged.original && file_exists(t_staged.copy) ? t_staged.copy
                                                                                                 : package;
}

std::string fwupdate_package_display(const std::string& package)
{
    return !t_staged.copy.empty() && package == t_staged.copy ? t_staged.original : package;
}

std::string fwupdate_stage_dir()
{
    return without_trailing_slash(fwupdate_tls().fwupgrade_bdf_dir) + "/stage/";
}

std::string fwupdate_package_stage(const std::string& package)
{
    t_staged = {};
    const std::string work = without_trailing_slash(fwupdate_tls().fwupgrade_bdf_dir);
    private_dir work_dir, copy_dir;
    std::string error;
    if (work.empty() || !fwupdate_private_dir(work, work_dir)) {
        fwupdate_log(trace_level_err, "Work directory %s is not a private directory of this engine", work.c_str());
        return "";
    }
    const std::string dir = work + "/package";
    // earlier leftovers go through the folder's descriptor, links as links
    if (!private_dir_remove(work_dir, "package", error) || !private_dir_remove(work_dir, "stage", error) ||
        !private_dir_sub(work_dir, "package", true, copy_dir, error)) {
        fwupdate_log(trace_level_err, "%s", error.c_str());
        return "";
    }
    std::string base = package.substr(package.rfind('/') == std::string::npos ? 0 : package.rfind('/') + 1);
    if (base.empty() || base == "." || base == "..") {
        base = "package";
    }
    const std::string copy = dir + "/" + base;

    struct stat st = {};
    int in = open(package.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0 || fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        fwupdate_log(trace_level_err, "Unable to read package file %s, %s", package.c_str(),
                     in < 0 ? strerror(errno) : "not a regular file");
        fwupdate_log(trace_level_err, "Invalid/corrupted package file");
        if (in >= 0) {
            close(in);
        }
        return "";
    }
    int to = private_dir_open_file(copy_dir, base, O_WRONLY | O_CREAT | O_EXCL, error);
    bool ok = to >= 0;
    char buf[1 << 16];
    while (ok) {
        ssize_t n = read(in, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        for (ssize_t done = 0; ok && done < n;) {
            ssize_t w = write(to, buf + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) {
                continue;
            }
            ok = w > 0;
            done += ok ? w : 0;
        }
    }
    int err = errno;
    close(in);
    if (to >= 0 && close(to) != 0) {
        ok = false;
    }
    if (!ok) {
        fwupdate_log(trace_level_err, "Failed to copy package file %s into %s, err - %s", package.c_str(), dir.c_str(),
                     strerror(err));
        return "";
    }
    t_staged = {package, copy};
    fwupdate_log(trace_level_debug, "Package %s copied to %s", package.c_str(), copy.c_str());
    std::vector<fwupdate_member_s> members;
    if (fwupdate_package_members_check(copy, members) != 0) {
        return "";
    }
    return copy;
}

int fwupdate_package_unpack(const std::string& package)
{
    const std::string stage = without_trailing_slash(fwupdate_stage_dir());
    std::string out, error;
    private_dir work_dir, stage_dir;
    if (!fwupdate_private_dir(without_trailing_slash(fwupdate_tls().fwupgrade_bdf_dir), work_dir)) {
        return 255;
    }
    if (!private_dir_remove(work_dir, "stage", error) || !private_dir_sub(work_dir, "stage", true, stage_dir, error)) {
        fwupdate_log(trace_level_err, "%s", error.c_str());
        return 255;
    }
    std::vector<fwupdate_member_s> members;
    if (fwupdate_package_members_check(package, members) != 0) {
        return 255;
    }
    // a second line of defence: no owners or modes from the archive, nothing
    // that exists replaced (GNU tar: -k leaves the stage directory's own mode
    // alone too, and cannot be combined with --no-overwrite-dir), no leading
    // "/" or ".." honoured (no -P)
    if (run_command("tar -xf {} -C {} --no-same-owner --no-same-permissions --keep-old-files > /dev/null 2>&1",
                    {package, stage}, out) != 0) {
        return 255;
    }
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(stage, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        auto type = it->symlink_status(ec).type();
        if (type != std::filesystem::file_type::regular && type != std::filesystem::file_type::directory) {
            std::string path = it->path().string();
            fwupdate_log(trace_level_err, "Invalid package file %s, %s is neither a regular file nor a directory",
                         fwupdate_package_display(package).c_str(), fwupdate_member_quoted(path).c_str());
            if (!private_dir_empty(stage_dir, error)) {
                fwupdate_log(trace_level_err, "%s", error.c_str());
            }
            return 255;
        }
    }
    if (ec) {
        fwupdate_log(trace_level_err, "Failed to read %s, err - %s", stage.c_str(), ec.message().c_str());
        return 255;
    }
    return 0;
}
