// the archive boundary, where a package's bytes enter the host: listing and
// checking its members, the private copy, unpacking into the stage folder and
// extracting single members into checked private folders

#include "fwupdate/fwupdate_archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

#include <fmt/format.h>

#include "fwupdate/fwupdate_shell.h"
#include "ipc/private_dir.h"
#include "ipc/shell_command.h"

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
        return FWUPDATE_ERR;
    }
    std::string out;
    if (!remove_earlier_results(dir, asic, fip ? "fip" : "zephyr")) {
        return FWUPDATE_ERR;
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
    if (fwupdate_member_extract(package, asic + "/MANIFEST", dir, "ASIC_MANIFEST") != 0) {
        fwupdate_log(trace_level_err, "Failed to extract manifest file from firmware package %s, err %u",
                     req->package.c_str(), FWUPDATE_ERR);
        return FWUPDATE_ERR;
    }
    if (fwupdate_package_has(package, "card_profile.json") &&
        fwupdate_member_extract(package, "card_profile.json", dir, "card_profile.json") != 0) {
        return FWUPDATE_ERR;
    }
    return 0;
}

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
        return FWUPDATE_ERR;
    }
    for (const auto& line : r.lines) {
        fwupdate_member_s m;
        if (!parse_listing_line(line, m)) {
            fwupdate_log(trace_level_err, "Invalid package file %s, unreadable member list entry %s",
                         fwupdate_package_display(package).c_str(), fwupdate_member_quoted(line).c_str());
            return FWUPDATE_ERR;
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
        return FWUPDATE_ERR;
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
            return FWUPDATE_ERR;
        } else if (m.type == 'h') {
            fwupdate_log(trace_level_err, "Invalid package file %s, member %s is a hard link to %s", shown.c_str(),
                         q.c_str(), fwupdate_member_quoted(m.link).c_str());
            return FWUPDATE_ERR;
        } else if (m.type != '-' && m.type != 'd') {
            why = "is neither a regular file nor a directory";
        }
        if (why != nullptr) {
            fwupdate_log(trace_level_err, "Invalid package file %s, member %s %s", shown.c_str(), q.c_str(), why);
            return FWUPDATE_ERR;
        }
        m.name = fwupdate_member_name_normal(m.name);
        if (m.name.empty() || !seen.insert(m.name).second) {
            fwupdate_log(trace_level_err, "Invalid package file %s, member %s appears more than once", shown.c_str(),
                         q.c_str());
            return FWUPDATE_ERR;
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
        return FWUPDATE_ERR;
    }
    if (!private_dir_remove(work_dir, "stage", error) || !private_dir_sub(work_dir, "stage", true, stage_dir, error)) {
        fwupdate_log(trace_level_err, "%s", error.c_str());
        return FWUPDATE_ERR;
    }
    std::vector<fwupdate_member_s> members;
    if (fwupdate_package_members_check(package, members) != 0) {
        return FWUPDATE_ERR;
    }
    // a second line of defence: no owners or modes from the archive, nothing
    // that exists replaced (GNU tar: -k leaves the stage directory's own mode
    // alone too, and cannot be combined with --no-overwrite-dir), no leading
    // "/" or ".." honoured (no -P)
    if (run_command("tar -xf {} -C {} --no-same-owner --no-same-permissions --keep-old-files > /dev/null 2>&1",
                    {package, stage}, out) != 0) {
        return FWUPDATE_ERR;
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
            return FWUPDATE_ERR;
        }
    }
    if (ec) {
        fwupdate_log(trace_level_err, "Failed to read %s, err - %s", stage.c_str(), ec.message().c_str());
        return FWUPDATE_ERR;
    }
    return 0;
}

namespace {

// a single member put on the host is a manifest or a profile: kept in memory
constexpr uint64_t k_member_max = 16u << 20;

// the regular file stored as NAME, or else the one whose name ends in "/NAME"
// (where tar's --no-anchored would find it); false when there is no such
// single member
bool member_find(const std::string& package, const std::string& name, fwupdate_member_s& found)
{
    std::vector<fwupdate_member_s> members;
    if (fwupdate_package_list(package, members) != 0) {
        return false;
    }
    const std::string tail = "/" + name;
    int ends = 0;
    for (const auto& m : members) {
        const std::string n = fwupdate_member_name_normal(m.name);
        if (m.type != '-') {
            continue;
        }
        if (n == name) {
            found = m;
            return true;
        }
        if (n.size() > tail.size() && n.compare(n.size() - tail.size(), tail.size(), tail) == 0) {
            found = m;
            ends++;
        }
    }
    return ends == 1;
}

}  // namespace

bool fwupdate_package_has(const std::string& package, const std::string& name)
{
    fwupdate_member_s m;
    return member_find(package, name, m);
}

int fwupdate_member_extract(const std::string& package, const std::string& name, const std::string& dir,
                            const std::string& file)
{
    const std::string shown = fwupdate_package_display(package);
    fwupdate_member_s m;
    if (!member_find(package, name, m) || !fwupdate_member_name_safe(m.name) || m.size > k_member_max) {
        fwupdate_log(trace_level_err, "Invalid package file %s, no single readable member %s", shown.c_str(),
                     fwupdate_member_quoted(name).c_str());
        return FWUPDATE_ERR;
    }
    // the member by its exact stored name, its bytes to standard output
    std::string text;
    if (run_command("tar -xOf {} --no-wildcards -- {} 2>/dev/null", {package, m.name}, text) != 0) {
        fwupdate_log(trace_level_err, "Failed to read %s from package file %s", fwupdate_member_quoted(name).c_str(),
                     shown.c_str());
        return FWUPDATE_ERR;
    }
    // the output comes back as lines: a final newline is restored from the
    // listed size, and any other difference means the package changed
    if (text.size() + 1 == m.size) {
        text += '\n';
    }
    std::string error;
    if (text.size() != m.size) {
        fwupdate_log(trace_level_err, "Invalid package file %s, member %s changed while it was read", shown.c_str(),
                     fwupdate_member_quoted(name).c_str());
        return FWUPDATE_ERR;
    }
    if (!private_file_write(without_trailing_slash(dir) + "/" + file, text, false, error)) {
        fwupdate_log(trace_level_err, "%s", error.c_str());
        return FWUPDATE_ERR;
    }
    return 0;
}
