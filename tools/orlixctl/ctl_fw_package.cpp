// fw inspect: a package's manifest, versions and declared digests checked
// against its members, without a card. the package is untrusted input: it is
// listed and refused when unsafe to unpack before any member is read

#include <sys/stat.h>

#include <CLI/CLI.hpp>

#include "aml/aml_fw_info.h"
#include "ipc/shell_command.h"
#include "tools/orlixctl/ctl_fw.h"

namespace {

// one package member's bytes (at most a few MiB of manifest)
bool member_text(const std::string& package, const std::string& member, std::string& text)
{
    ipc_shell_result_s r = ipc_shell_run(ipc_shell_command("tar xfO {} {} 2>/dev/null", {package, member}), 100000);
    text.clear();
    for (const auto& l : r.lines) {
        text += l + "\n";
    }
    return r.ok();
}

json parse_manifest(const std::string& package, const std::string& member)
{
    std::string text;
    if (!member_text(package, member, text)) {
        throw ctl_error(CTL_EXIT_CHECK_FAILED, "Error - package " + package + " has no " + member);
    }
    json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
        throw ctl_error(CTL_EXIT_CHECK_FAILED, "Error - " + member + " of package " + package + " is not valid JSON");
    }
    return doc;
}

std::string str_of(const json& j, const char* key)
{
    return j.is_object() && j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : "";
}

// one declared file: its digest against the member's
json check_entry(const std::string& package, const std::string& object, const std::string& kind, const json& e,
                 bool& ok)
{
    std::string name = str_of(e, "name");
    std::string algorithm = e.contains("verify") ? str_of(e["verify"], "algorithm") : "";
    std::string hash = e.contains("verify") ? str_of(e["verify"], "hash") : "";
    json out{{"object", object}, {"kind", kind}, {"name", name}, {"image_version", str_of(e, "image_version")},
             {"algorithm", algorithm}};
    std::string digest, problem;
    if (name.empty()) {
        problem = "no file name";
    } else if (!aml_fw_digest_algorithm_ok(algorithm)) {
        problem = "unsupported digest algorithm \"" + algorithm + "\"";
    } else if (!aml_fw_member_digest(package, name, algorithm, digest)) {
        problem = "not in the archive";
    } else if (digest != hash) {
        // the engine compares the text as declared, and the digest tools
        // write lower case
        problem = ctl_lower(digest) == ctl_lower(hash) ? "digest in upper case (the update refuses it)"
                                                       : "digest mismatch";
    }
    out["digest_ok"] = problem.empty();
    if (!problem.empty()) {
        out["problem"] = problem;
        ok = false;
    }
    return out;
}

}  // namespace

void ctl_require_package_file(const std::string& package)
{
    struct stat st;
    if (stat(package.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        throw ctl_error(CTL_EXIT_NOT_FOUND, "Error - package " + package + " is not a readable file");
    }
}

json ctl_fw_inspect_package(const std::string& package, bool& ok)
{
    ctl_require_package_file(package);
    std::string refused;
    if (!aml_fw_package_members_check(package, refused)) {
        refused = ctl_trim(refused);
        // the engine's reason names the member
        throw ctl_error(CTL_EXIT_CHECK_FAILED,
                        refused.empty() ? "Error - package " + package + " is not a firmware package"
                                        : "Error - " + refused);
    }
    ok = true;
    json manifest = parse_manifest(package, "MANIFEST");
    json doc{{"package", package},
             {"package_version", str_of(manifest, "package_version")},
             {"software_version", str_of(manifest, "software_version")},
             {"asics", json::array()},
             {"images", json::array()}};
    if (manifest.contains("package_compat")) {
        doc["package_compat"] = manifest["package_compat"];
    }
    if (!manifest.contains("asic_manifests") || !manifest["asic_manifests"].is_object() ||
        manifest["asic_manifests"].empty()) {
        throw ctl_error(CTL_EXIT_CHECK_FAILED, "Error - MANIFEST of package " + package + " names no ASIC manifest");
    }
    for (auto& [asic, entry] : manifest["asic_manifests"].items()) {
        json a = check_entry(package, asic, "manifest", entry, ok);
        doc["asics"].push_back(json{{"asic", asic}, {"manifest", a["name"]}, {"digest_ok", a["digest_ok"]}});
        if (!a["digest_ok"].get<bool>()) {
            doc["images"].push_back(a);
            continue;
        }
        json am = parse_manifest(package, a["name"]);
        if (am.contains("firmware") && am["firmware"].is_object()) {
            for (auto& [object, obj] : am["firmware"].items()) {
                if (!obj.contains("files") || !obj["files"].is_object()) {
                    continue;
                }
                for (auto& [kind, files] : obj["files"].items()) {
                    for (const auto& f : files.is_array() ? files : json::array()) {
                        doc["images"].push_back(check_entry(package, object, kind, f, ok));
                    }
                }
            }
        }
        for (const char* list : {"bitfiles", "fw_cfg", "device_config", "oprom"}) {
            if (am.contains(list) && am[list].is_array()) {
                for (const auto& f : am[list]) {
                    doc["images"].push_back(check_entry(package, list, list, f, ok));
                }
            }
        }
    }
    doc["digest_ok"] = ok;
    return doc;
}

namespace {

std::string inspect_table(const json& doc)
{
    std::vector<std::vector<std::string>> rows;
    for (const auto& i : doc["images"]) {
        rows.push_back({i["object"], i["kind"], i["name"], i["image_version"], i["algorithm"],
                        i["digest_ok"].get<bool>() ? "ok" : i.value("problem", "bad")});
    }
    return ctl_fields({{"package", doc["package"]},
                       {"package_version", doc["package_version"]},
                       {"software_version", doc["software_version"]},
                       {"digests", doc["digest_ok"].get<bool>() ? "all match" : "FAILED"}}) +
           "\n" + ctl_table({"OBJECT", "KIND", "FILE", "VERSION", "DIGEST", "CHECK"}, rows);
}

ctl_result fw_inspect(const std::string& package)
{
    bool ok = true;
    ctl_result r;
    r.doc = ctl_fw_inspect_package(package, ok);
    r.table = inspect_table(r.doc);
    if (!ok) {
        // the document still goes out, the failure is also on standard error
        fprintf(stderr, "Error - package %s failed its digest check\n", package.c_str());
        r.exit_code = CTL_EXIT_CHECK_FAILED;
    }
    return r;
}

}  // namespace

ctl_command_s ctl_fw_inspect_command()
{
    static std::string package;
    return {"inspect", "a package's manifest, versions and digest check (no card)", false, false,
            [](CLI::App& c) { c.add_option("PACKAGE", package, "firmware package")->required(); },
            [] { return fw_inspect(package); }};
}
