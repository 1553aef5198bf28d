// the host-side digest checks of a package, before anything is written

#include "fwupdate/fwupdate_verify.h"

#include <algorithm>

#include <fmt/format.h>

#include "fwupdate/fwupdate.h"
#include "fwupdate/fwupdate_shell.h"
#include "fwupdate/fwupdate_archive.h"
#include "ipc/shell_command.h"

namespace {

struct digest_tool_s {
    const char* algorithm;
    const char* tool;     // reading the standard input, the digest alone out
    const char* program;
};

const digest_tool_s k_digest_tools[] = {
    {"md5", "md5sum | awk '{ print $1 }'", "md5sum"},
    {"sha256", "sha256sum | awk '{ print $1 }'", "sha256sum"},
    {"sha512", "sha512sum | awk '{ print $1 }'", "sha512sum"},
};

const digest_tool_s* tool_of(const std::string& algorithm)
{
    for (const auto& t : k_digest_tools) {
        if (algorithm == t.algorithm) {
            return &t;
        }
    }
    return nullptr;
}

const char* const k_lists[] = {"bitfiles", "fw_cfg", "device_config", "oprom"};

std::string asic_manifest()
{
    return fwupdate_tls().fwupgrade_bdf_dir + "/ASIC_MANIFEST";
}

// the member list verify_package read, for the entry checks it runs
struct listing_s {
    std::string package;
    std::vector<fwupdate_member_s> members;
};
thread_local listing_s t_listing;

// before a member is digested: it must be in the archive, and no larger than
// the size its manifest entry declares (when it declares one); 0 or FWUPDATE_ERR with
// the message
int member_listed_check(const std::string& package, const std::string& entry, const std::string& name,
                        const std::string& manifest)
{
    listing_s fresh;
    const listing_s* listing = &t_listing;
    if (t_listing.package != package) {
        fresh.package = package;
        if (fwupdate_package_members_check(package, fresh.members) != 0) {
            return FWUPDATE_ERR;
        }
        listing = &fresh;
    }
    const std::string shown = fwupdate_package_display(package);
    const std::string want = fwupdate_member_name_normal(name);
    const fwupdate_member_s* found = nullptr;
    for (const auto& m : listing->members) {
        found = m.name == want && m.type == '-' ? &m : found;
    }
    if (!fwupdate_member_name_safe(name) || found == nullptr) {
        fwupdate_log(trace_level_err, "Invalid package file %s, member %s named in the manifest is not in the archive",
                     shown.c_str(), fwupdate_member_quoted(name).c_str());
        return FWUPDATE_ERR;
    }
    std::string declared;
    (void)manifest_value_get_quiet(entry + ".size", manifest, declared);
    if (declared.empty() || declared == "null") {
        return 0;
    }
    if (declared.size() > 19 || declared.find_first_not_of("0123456789") != std::string::npos) {
        fwupdate_log(trace_level_err, "Invalid package file %s, member %s has a declared size %s that is no size",
                     shown.c_str(), fwupdate_member_quoted(name).c_str(), declared.c_str());
        return FWUPDATE_ERR;
    }
    unsigned long long size = std::stoull(declared);
    if (found->size > size) {
        fwupdate_log(trace_level_err, "Invalid package file %s, member %s holds %llu bytes, its manifest declares %llu",
                     shown.c_str(), fwupdate_member_quoted(name).c_str(),
                     static_cast<unsigned long long>(found->size), size);
        return FWUPDATE_ERR;
    }
    return 0;
}

}  // namespace

int fwupdate_file_digest(const std::string& path, const std::string& algorithm, std::string& digest)
{
    const digest_tool_s* t = tool_of(algorithm);
    digest.clear();
    if (t == nullptr) {
        return FWUPDATE_ERR;
    }
    int rc = run_command(std::string(t->program) + ipc_shell_command(" < {} 2>/dev/null", {path}) +
                             " | awk '{ print $1 }'",
                         digest);
    return rc == 0 && !digest.empty() ? 0 : FWUPDATE_ERR;
}

bool fwupdate_digest_algorithm_ok(const std::string& algorithm)
{
    return tool_of(algorithm) != nullptr;
}

int fwupdate_member_digest(const std::string& package, const std::string& member, const std::string& algorithm,
                           std::string& digest)
{
    const digest_tool_s* t = tool_of(algorithm);
    if (t == nullptr) {
        return FWUPDATE_ERR;
    }
    digest.clear();
    // a missing member digests nothing: its empty output is no digest
    int rc = run_command(ipc_shell_command("tar xfO {} {} | ", {package, member}) + t->tool,
                         digest);
    return rc == 0 && !digest.empty() ? 0 : FWUPDATE_ERR;
}

int calculate_sha512_hash(const std::string& path, std::string& digest)
{
    digest.clear();
    ipc_shell_result_s r = ipc_shell_run(ipc_shell_command("sha512sum {} 2>/dev/null | awk '{ print $1}'", {path}), 1);
    if (!r.started) {
        return FWUPDATE_ERR;
    }
    if (!r.lines.empty()) {
        digest = r.lines[0].substr(0, 128);
    }
    return 0;
}

int verify_fileobj_hash(const std::string& package, const std::string& fwobj, const std::string& fileobj,
                        const std::string& manifest)
{
    const std::string base = ".firmware." + fwobj + ".files." + fileobj;
    int length = 0;
    int rc = manifest_length_get(base, manifest, length);
    if (rc != 0) {
        fwupdate_log(trace_level_err, "Failed to get length for .firmware.%s.files.%s, err %u", fwobj.c_str(),
                     fileobj.c_str(), rc);
        return rc;
    }
    if (length == 0) {
        fwupdate_log(trace_level_err, "No images found for fwobj %s fileobj %s", fwobj.c_str(), fileobj.c_str());
        return FWUPDATE_ERR;
    }
    for (int i = 0; i < length; i++) {
        std::string name, algorithm, hash, digest;
        const std::string entry = fmt::format("{}[{}]", base, i);
        if ((rc = manifest_value_get_quiet(entry + ".name", manifest, name)) != 0) {
            fwupdate_log(trace_level_err, "Failed to get value for .firmware.%s.files.%s[%u].name, err %u",
                         fwobj.c_str(), fileobj.c_str(), i, rc);
            return rc;
        }
        if (name.empty() || name == "null") {
            fwupdate_log(trace_level_err, "Path not found for fwobj %s fileobj %s fileobj index %u", fwobj.c_str(),
                         fileobj.c_str(), i);
            return FWUPDATE_ERR;
        }
        fwupdate_log(trace_level_info, "Verifying package file %s", name.c_str());
        if ((rc = manifest_value_get_quiet(entry + ".verify.algorithm", manifest, algorithm)) != 0) {
            fwupdate_log(trace_level_err, "Failed to get value for .firmware.%s.files.%s[%u].verify.algorithm, err %u",
                         fwobj.c_str(), fileobj.c_str(), i, rc);
            return rc;
        }
        if (algorithm.empty() || algorithm == "null") {
            fwupdate_log(trace_level_err, "Hash algorithm not found for fwobj %s fileobj %s fileobj index %u",
                         fwobj.c_str(), fileobj.c_str(), i);
            return FWUPDATE_ERR;
        }
        if (!fwupdate_digest_algorithm_ok(algorithm)) {
            fwupdate_log(trace_level_err, "Unsupported algorithm %s for fwobj %s fileobj %s fileobj index %u",
                         algorithm.c_str(), fwobj.c_str(), fileobj.c_str(), i);
            return FWUPDATE_ERR;
        }
        if ((rc = manifest_value_get_quiet(entry + ".verify.hash", manifest, hash)) != 0) {
            fwupdate_log(trace_level_err, "Failed to get value for .firmware.%s.files.%s[%u].verify.hash, err %u",
                         fwobj.c_str(), fileobj.c_str(), i, rc);
            return rc;
        }
        if (hash.empty() || hash == "null") {
            fwupdate_log(trace_level_err, "hash value not found for %s", name.c_str());
            return FWUPDATE_ERR;
        }
        if (member_listed_check(package, entry, name, manifest) != 0) {
            fwupdate_log(trace_level_err, "Verification failed for %s", name.c_str());
            return FWUPDATE_ERR;
        }
        if (fwupdate_member_digest(package, name, algorithm, digest) != 0) {
            fwupdate_log(trace_level_err, "Failed to get hash for algo %s", algorithm.c_str());
            return FWUPDATE_ERR;
        }
        if (digest != hash) {
            fwupdate_log(trace_level_info, "FAILED\n");
            fwupdate_log(trace_level_err, "Verification failed for %s", name.c_str());
            return FWUPDATE_ERR;
        }
    }
    return 0;
}

int verify_list_hash(const std::string& package, const std::string& list, const std::string& manifest)
{
    int length = 0;
    if (manifest_length_get("." + list, manifest, length) != 0) {
        return FWUPDATE_ERR;
    }
    for (int i = 0; i < length; i++) {
        std::string name, algorithm, hash, digest;
        const std::string entry = fmt::format(".{}[{}]", list, i);
        (void)manifest_value_get_quiet(entry + ".name", manifest, name);
        if (name.empty() || name == "null") {
            fwupdate_log(trace_level_err, "Package %s verification failed, required file data not found",
                         fwupdate_package_display(package).c_str());
            return FWUPDATE_ERR;
        }
        fwupdate_log(trace_level_info, "Verifying %s file %s", list.c_str(), name.c_str());
        (void)manifest_value_get_quiet(entry + ".verify.algorithm", manifest, algorithm);
        if (algorithm.empty() || algorithm == "null" || !fwupdate_digest_algorithm_ok(algorithm)) {
            fwupdate_log(trace_level_err, "Package %s verification failed, required hash algorithm not found",
                         fwupdate_package_display(package).c_str());
            return FWUPDATE_ERR;
        }
        (void)manifest_value_get_quiet(entry + ".verify.hash", manifest, hash);
        if (hash.empty() || hash == "null") {
            fwupdate_log(trace_level_err, "Package %s verification failed, required hash value not found",
                         fwupdate_package_display(package).c_str());
            return FWUPDATE_ERR;
        }
        if (member_listed_check(package, entry, name, manifest) != 0) {
            fwupdate_log(trace_level_err, "Package %s verification failed for %s",
                         fwupdate_package_display(package).c_str(), name.c_str());
            return FWUPDATE_ERR;
        }
        if (fwupdate_member_digest(package, name, algorithm, digest) != 0) {
            fwupdate_log(trace_level_err, "Failed to get hash for algo %s", algorithm.c_str());
            return FWUPDATE_ERR;
        }
        if (digest != hash) {
            fwupdate_log(trace_level_err, "Package %s verification failed for %s",
                         fwupdate_package_display(package).c_str(), name.c_str());
            fwupdate_log(trace_level_info, "FAILED\n");
            return FWUPDATE_ERR;
        }
    }
    return 0;
}

static int verify_package_listed(const std::string& package, const std::string& manifest);

int verify_package(const std::string& package)
{
    const std::string manifest = asic_manifest();
    fwupdate_log(trace_level_info, "Verifying package");
    // every entry check below works on this one listing
    t_listing = {};
    listing_s listing;
    if (fwupdate_package_members_check(package, listing.members) != 0) {
        return FWUPDATE_ERR;
    }
    listing.package = package;
    t_listing = std::move(listing);
    int rc = verify_package_listed(package, manifest);
    t_listing = {};
    return rc;
}

static int verify_package_listed(const std::string& package, const std::string& manifest)
{
    std::string version;
    int rc = manifest_value_get_quiet(".software_version", manifest, version);
    if (rc != 0) {
        fwupdate_log(trace_level_err, "Failed to get value for .software_version, err %u", rc);
        return rc;
    }
    if (version != "null" && !version.empty()) {
        fwupdate_log(trace_level_info, "Software version %s", version.c_str());
    }
    int length = 0;
    if ((rc = manifest_length_get(".firmware", manifest, length)) != 0) {
        fwupdate_log(trace_level_err, "Failed to get length for .firmware, err %u", rc);
        return rc;
    }
    size_t verified = 0;
    std::vector<std::string> objects;
    if (length > 0 && (rc = manifest_keys_get(".firmware", manifest, objects)) != 0) {
        fwupdate_log(trace_level_err, "Failed to get the manifest keys, err %u", rc);
        return rc;
    }
    for (const auto& obj : objects) {
        auto type_it = fwobj_to_fwtype().find(obj);
        if (type_it == fwobj_to_fwtype().end()) {
            fwupdate_log(trace_level_err, "Unknown firmware object %s", obj.c_str());
            return FWUPDATE_ERR;
        }
        auto files_it = fwtype_to_files().find(type_it->second);
        if (files_it == fwtype_to_files().end()) {
            fwupdate_log(trace_level_err, "Unknown firmware type %s", type_it->second.c_str());
            return FWUPDATE_ERR;
        }
        std::string type;
        (void)manifest_value_get_quiet(".firmware." + obj + ".type", manifest, type);
        if (type != type_it->second) {
            fwupdate_log(trace_level_err, "Invalid image type %s", obj.c_str());
            return FWUPDATE_ERR;
        }
        std::vector<std::string> kinds;
        if ((rc = manifest_keys_get(".firmware." + obj + ".files", manifest, kinds)) != 0) {
            fwupdate_log(trace_level_err, "Failed to get the manifest keys, err %u", rc);
            return rc;
        }
        const auto& expected = files_it->second;
        for (const auto& kind : kinds) {
            if (std::find(expected.begin(), expected.end(), kind) == expected.end()) {
                fwupdate_log(trace_level_err, "Unexpected file type %s for %s", kind.c_str(), obj.c_str());
                return FWUPDATE_ERR;
            }
        }
        for (const auto& kind : expected) {
            if (std::find(kinds.begin(), kinds.end(), kind) == kinds.end()) {
                fwupdate_log(trace_level_err, "Expected file type %s not found", kind.c_str());
                return FWUPDATE_ERR;
            }
        }
        for (const auto& kind : kinds) {
            if ((rc = verify_fileobj_hash(package, obj, kind, manifest)) != 0) {
                fwupdate_log(trace_level_err, "Package %s verification failed, err %u",
                             fwupdate_package_display(package).c_str(), rc);
                return rc;
            }
        }
        verified++;
    }
    for (const char* list : k_lists) {
        int n = 0;
        if ((rc = manifest_length_get(std::string(".") + list, manifest, n)) != 0) {
            fwupdate_log(trace_level_err, "Failed to get length for .%s, err %u", list, rc);
            return rc;
        }
        if (n > 0) {
            if ((rc = verify_list_hash(package, list, manifest)) != 0) {
                fwupdate_log(trace_level_err, "Package %s verification failed, err %u",
                             fwupdate_package_display(package).c_str(), rc);
                return rc;
            }
            verified += static_cast<size_t>(n);
        }
    }
    if (verified == 0) {
        fwupdate_log(trace_level_err, "Package verification failed, no content");
        return FWUPDATE_ERR;
    }
    fwupdate_log(trace_level_info, "Package file OK");
    return 0;
}
