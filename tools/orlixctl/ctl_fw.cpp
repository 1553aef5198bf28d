// fw show|inspect|update|boot-image set|erase, secure-boot show|update,
// profile show|update

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <functional>
#include <thread>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "aml/aml_card_validate.h"
#include "aml/aml_firmware.h"
#include "aml/aml_profile.h"
#include "aml/aml_trace.h"
#include "aml/aml_utils.h"
#include "fwupdate/fwupdate.h"
#include "fwupdate/fwupdate_profile.h"
#include "fwupdate/fwupdate_shell.h"
#include "fwupdate/rfc.h"
#include "fwupdate/fwupdate_archive.h"
#include "fwupdate/fwupdate_verify.h"
#include "ipc/shell_command.h"
#include "tools/orlixctl/ctl.h"
#include "tools/orlixctl/ctl_engine.h"

void engine_cb(void* ctxt, trace_level_e level, const char* format, ...)
{
    auto* t = static_cast<engine_trace*>(ctxt);
    if (t == nullptr) {
        return;
    }
    char small[1024];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(small, sizeof small, format, ap);
    va_end(ap);
    std::string msg;
    if (n >= static_cast<int>(sizeof small)) {
        msg.resize(n + 1);
        va_start(ap, format);
        vsnprintf(msg.data(), msg.size(), format, ap);
        va_end(ap);
        msg.resize(n);
    } else if (n > 0) {
        msg = small;
    }
    t->aml.messages += msg + "\n";
    if (level == trace_level_err) {
        t->aml.last_error = aml_remove_log_timestamp(msg);
    }
    // the engine reports on this thread, so its progress is safe to read here
    if (t->bar != nullptr && t->progress != nullptr) {
        t->bar->update(t->index, *t->progress, t->status->empty() ? "Starting" : *t->status);
    }
}

// validates the card and starts the engine on it for this thread
void engine_start(aml_card_handle_s& card, engine_trace& t)
{
    aml_status_e status = aml_card_handle_validate(&card);
    if (status != AML_STATUS_OK) {
        ctl_fail(status, aml_card_error_msg(&card, "ERROR - Invalid card handle"));
    }
    fwupdate_init_params_s p;
    aml_fill_fwupdate_init_params(&card, &t.aml, &p);
    p.trace_cb = engine_cb;
    p.trace_cb_ctxt = &t;
    int rc = fwupdate_init(p);
    if (rc != 0) {
        std::string error;
        aml_handle_fwupdate_failure(&card, &t.aml, error);
        ctl_fail(sdk_ret_to_aml_status(static_cast<uint32_t>(rc)), error);
    }
}

namespace {

std::string image_of_letter(const std::string& letter)
{
    return letter == "A" ? "fw-a" : letter == "B" ? "fw-b" : letter == "G" ? "fw-gold" : "unknown";
}

// the engine's image names as the cards' tools write them
std::string image_of_engine_name(const std::string& name)
{
    return name == "mainfwa" ? "fw-a" : name == "mainfwb" ? "fw-b" : name == "goldfw" ? "fw-gold" : name;
}

json group_json(const rfc_version_group_t& group)
{
    json out = json::array();
    for (const auto& [name, version] : group) {
        out.push_back(json{{"name", name}, {"version", version}});
    }
    return out;
}

// a firmware version as packages and cards write it: the release, dotted
// numbers ("1.4.2"), optionally followed by a build tag, "-E-57" (release
// tree "1.4.2-E", build 57) or "-57". a card reports either form
struct fw_version_s {
    std::vector<unsigned long> release;  // empty: the text starts with no number
    std::string tree;                    // the tree's letter, "" when the tag has none
    bool has_build = false;
    unsigned long build = 0;
};

fw_version_s parse_version(const std::string& text)
{
    fw_version_s v;
    auto number = [&text](size_t& i, unsigned long& out) {
        size_t j = i;
        while (j < text.size() && isdigit(static_cast<unsigned char>(text[j]))) {
            j++;
        }
        if (j == i) {
            return false;
        }
        // more than nine digits is no version a card writes; the rest is cut
        out = std::stoul(text.substr(i, std::min<size_t>(j - i, 9)));
        i = j;
        return true;
    };
    size_t i = 0;
    for (unsigned long n = 0; number(i, n);) {
        v.release.push_back(n);
        if (i >= text.size() || text[i] != '.') {
            break;
        }
        i++;
    }
    if (v.release.empty() || i >= text.size() || text[i] != '-') {
        return v;
    }
    size_t at = i + 1;
    std::string tree;
    if (at + 1 < text.size() && isalpha(static_cast<unsigned char>(text[at])) && text[at + 1] == '-') {
        tree = text.substr(at, 1);
        at += 2;
    }
    unsigned long build = 0;
    if (number(at, build) && at == text.size()) {
        v.tree = tree;
        v.has_build = true;
        v.build = build;
    }
    return v;
}

enum class version_order_e { OLDER, SAME, NEWER, UNKNOWN };

// where the package's version stands against the running one. the releases
// decide, missing fields counting as zero ("1.4" is "1.4.0"); the build
// number decides between two builds of one release tree only, so "1.4.0-E-12"
// is the release a card reporting "1.4.0" runs. text without a release
// number (a card's "unknown") compares with nothing
version_order_e version_order(const std::string& package, const std::string& running)
{
    fw_version_s p = parse_version(package), r = parse_version(running);
    if (p.release.empty() || r.release.empty()) {
        return version_order_e::UNKNOWN;
    }
    size_t n = std::max(p.release.size(), r.release.size());
    p.release.resize(n, 0);
    r.release.resize(n, 0);
    if (p.release != r.release) {
        return p.release < r.release ? version_order_e::OLDER : version_order_e::NEWER;
    }
    if (p.has_build && r.has_build && p.tree == r.tree && p.build != r.build) {
        return p.build < r.build ? version_order_e::OLDER : version_order_e::NEWER;
    }
    return version_order_e::SAME;
}

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
    } else if (!fwupdate_digest_algorithm_ok(algorithm)) {
        problem = "unsupported digest algorithm \"" + algorithm + "\"";
    } else if (fwupdate_member_digest(package, name, algorithm, digest) != 0) {
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

// runs an engine step that needs no card, with the engine's last error
// collected (the engine may not be bound to a card on this thread yet)
int engine_messages(std::string& last_error, const std::function<int()>& step)
{
    auto& g = fwupdate_globals();
    auto& tls = fwupdate_tls();
    const auto cb = g.fwupdate_trace_cb;
    const auto level = g.fwupdate_trace_level;
    void* ctxt = tls.fwupdate_trace_cb_ctxt;
    engine_trace t;
    g.fwupdate_trace_cb = engine_cb;
    g.fwupdate_trace_level = trace_level_err;
    tls.fwupdate_trace_cb_ctxt = &t;
    int rc = step();
    g.fwupdate_trace_cb = cb;
    g.fwupdate_trace_level = level;
    tls.fwupdate_trace_cb_ctxt = ctxt;
    last_error = ctl_trim(t.aml.last_error);
    return rc;
}

json inspect_package(const std::string& package, bool& ok)
{
    struct stat st;
    if (stat(package.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        throw ctl_error(CTL_EXIT_NOT_FOUND, "Error - package " + package + " is not a readable file");
    }
    std::vector<fwupdate_member_s> members;
    std::string refused;
    if (engine_messages(refused, [&] { return fwupdate_package_members_check(package, members); }) != 0) {
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
    r.doc = inspect_package(package, ok);
    r.table = inspect_table(r.doc);
    if (!ok) {
        // the document still goes out, the failure is also on standard error
        fprintf(stderr, "Error - package %s failed its digest check\n", package.c_str());
        r.exit_code = CTL_EXIT_CHECK_FAILED;
    }
    return r;
}

ctl_result fw_show(const std::string& name)
{
    aml_card_handle_s card = ctl_select_card(name);
    ctl_result r;
    r.doc = ctl_fw_state(card);
    r.table = ctl_fw_state_table(r.doc);
    return r;
}

struct update_args {
    std::string cards, package;
    bool dry_run = false, gold = false, allow_older = false;
    uint32_t timeout_s = FWUPDATE_TIMEOUT_DEFAULT_S;
};
update_args g_update;

struct card_outcome {
    aml_card_handle_s card;
    std::string running_version;
    int exit_code = CTL_EXIT_OK;
    std::string result;  // "updated", "up to date", "would update", failure text
    uint8_t progress = 0;
    std::string status;
    std::string written_image;  // where a successful install wrote
    bool reset_pending = false;
};

ctl_result fw_update()
{
    const update_args& a = g_update;
    std::vector<aml_card_handle_s> cards = ctl_select_cards(a.cards);
    bool ok = true;
    json pkg = inspect_package(a.package, ok);
    if (!ok) {
        throw ctl_error(CTL_EXIT_CHECK_FAILED, "Error - package " + a.package + " failed its digest check: nothing done");
    }
    const std::string version = pkg["software_version"];
    std::vector<card_outcome> outcomes(cards.size());
    // what each card runs now: read only
    for (size_t i = 0; i < cards.size(); i++) {
        outcomes[i].card = cards[i];
        json state = ctl_fw_state(outcomes[i].card);
        outcomes[i].running_version = state["running_version"];
        // a gold image is installed whatever the main image runs
        version_order_e order = a.gold ? version_order_e::UNKNOWN : version_order(version, outcomes[i].running_version);
        if (order != version_order_e::SAME && !a.gold && state["reset_pending"].get<bool>() &&
            version_order(version, state["stored_version"]) == version_order_e::SAME) {
            // written already, waiting for the reset: writing it again changes nothing
            outcomes[i].exit_code = CTL_EXIT_NOTHING_TO_DO;
            outcomes[i].result = "already stored in " + state["next_boot_image"].get<std::string>() +
                                 ", pending reset (orlixctl card reset " + cards[i].bdf + " runs it)";
        } else if (order == version_order_e::SAME) {
            outcomes[i].exit_code = CTL_EXIT_NOTHING_TO_DO;
            const std::string& running = outcomes[i].running_version;
            outcomes[i].result = "already at " + running + (running == version ? "" : " (package " + version + ")");
        } else if (order == version_order_e::OLDER && !a.allow_older) {
            outcomes[i].exit_code = CTL_EXIT_CHECK_FAILED;
            outcomes[i].result = "package " + version + " is older than the running " +
                                 outcomes[i].running_version + " (--allow-older installs it)";
        }
    }
    std::vector<size_t> todo;
    for (size_t i = 0; i < outcomes.size(); i++) {
        if (outcomes[i].exit_code == CTL_EXIT_OK) {
            todo.push_back(i);
            if (a.dry_run) {
                outcomes[i].result = "would install " + version + " over " + outcomes[i].running_version;
            }
        }
    }
    if (!a.dry_run && !todo.empty()) {
        std::string names;
        for (size_t i : todo) {
            names += (names.empty() ? "" : ", ") + outcomes[i].card.bdf;
        }
        if (!ctl_confirm("Install " + a.package + " (" + version + ") on " + names + "?")) {
            throw ctl_error(CTL_EXIT_NOTHING_TO_DO, "Error - not confirmed, nothing done");
        }
        std::vector<std::string> labels;
        for (size_t i : todo) {
            labels.push_back(outcomes[i].card.bdf);
        }
        ctl_progress bar(labels);
        std::vector<std::thread> threads;
        for (size_t k = 0; k < todo.size(); k++) {
            threads.emplace_back([&, k] {
                card_outcome& o = outcomes[todo[k]];
                engine_trace t;
                t.progress = &o.progress;
                t.status = &o.status;
                t.bar = &bar;
                t.index = k;
                try {
                    engine_start(o.card, t);
                } catch (const ctl_error& e) {
                    o.exit_code = e.exit_code;
                    o.result = e.what();
                    return;
                }
                bar.update(k, 0, "Starting");
                // where the install writes: the main image the card does not run
                const std::string written =
                    a.gold ? "fw-gold" : image_of_engine_name(fwupdate_alt_image(fwupdate_tls().card_info));
                firmware_update_req_s req;
                req.package = a.package;
                if (a.gold) {
                    req.names = {"goldfw"};
                }
                req.timeout_s = a.timeout_s;
                int rc = firmware_update(&req, &o.progress, o.status);
                // success only once the card reads back as what was written
                std::string readback = rc == FWUPDATE_OK ? ctl_fw_readback(a.gold) : "";
                if (!readback.empty()) {
                    bar.update(k, o.progress, "Failed");
                    o.result = "installed, but " + readback;
                    o.exit_code = CTL_EXIT_FAILURE;
                } else if (rc == FWUPDATE_OK || rc == FWUPDATE_NOTHING_TO_DO) {
                    bar.update(k, 100, "Done");
                    o.written_image = rc == FWUPDATE_OK ? written : "";
                    o.reset_pending = rc == FWUPDATE_OK && !a.gold;
                    o.result = rc != FWUPDATE_OK ? "nothing had to be written"
                               : a.gold      ? "updated to " + version + " in " + written
                                             : "updated to " + version + " in " + written +
                                              ", pending reset: it runs after orlixctl card reset " + o.card.bdf;
                    o.exit_code = rc == FWUPDATE_OK ? CTL_EXIT_OK : CTL_EXIT_NOTHING_TO_DO;
                } else {
                    bar.update(k, o.progress, "Failed");
                    std::string error;
                    aml_handle_fwupdate_failure(&o.card, &t.aml, error);
                    aml_status_e st = sdk_ret_to_aml_status(static_cast<uint32_t>(rc));
                    o.result = aml_status_to_str(st) + ": " + ctl_trim(error);
                    o.exit_code = CTL_EXIT_FAILURE;
                }
            });
        }
        for (auto& th : threads) {
            th.join();
        }
        bar.finish();
    }
    ctl_result r;
    r.doc = json{{"package", a.package}, {"version", version}, {"dry_run", a.dry_run}, {"cards", json::array()}};
    std::vector<std::vector<std::string>> rows;
    int worst = CTL_EXIT_OK;
    bool all_nothing = true;
    for (const auto& o : outcomes) {
        r.doc["cards"].push_back(json{{"address", o.card.bdf},
                                      {"uuid", o.card.uuid},
                                      {"running_version", o.running_version},
                                      {"exit_code", o.exit_code},
                                      {"result", o.result},
                                      {"written_image", o.written_image},
                                      {"reset_pending", o.reset_pending}});
        rows.push_back({o.card.bdf, o.running_version, o.result});
        if (o.exit_code != CTL_EXIT_NOTHING_TO_DO) {
            all_nothing = false;
            if (o.exit_code != CTL_EXIT_OK && worst == CTL_EXIT_OK) {
                worst = o.exit_code;
            }
            if (o.exit_code != CTL_EXIT_OK && o.exit_code != CTL_EXIT_NOTHING_TO_DO) {
                fprintf(stderr, "Error - %s: %s\n", o.card.bdf.c_str(), o.result.c_str());
            }
        }
    }
    r.exit_code = all_nothing ? CTL_EXIT_NOTHING_TO_DO : worst;
    r.table = ctl_table({"ADDRESS", "RUNNING", "RESULT"}, rows);
    return r;
}

ctl_result fw_boot_image_set(const std::string& name, const std::string& image)
{
    aml_card_handle_s card = ctl_select_card(name);
    if (!ctl_confirm("Boot card " + card.bdf + " from " + image + " at its next reset?")) {
        throw ctl_error(CTL_EXIT_NOTHING_TO_DO, "Error - not confirmed, nothing done");
    }
    aml_card_next_boot_image_update_req_s req;
    req.card = card;
    req.image = image;
    aml_card_next_boot_image_update_rsp_s rsp;
    aml_status_e status = aml_card_next_boot_image_update(&req, &rsp);
    if (status != AML_STATUS_OK) {
        ctl_fail(status, rsp.error);
    }
    ctl_result r;
    r.doc = json{{"address", card.bdf}, {"next_boot_image", image}};
    r.table = card.bdf + " boots " + image + " next\n";
    return r;
}

ctl_result fw_erase(const std::string& name, const std::string& partition)
{
    if (flash_partition_from_name(partition) >= FLASH_PARTITION_MAX) {
        throw ctl_error(CTL_EXIT_NOT_FOUND, "Error - no flash partition \"" + partition + "\"");
    }
    aml_card_handle_s card = ctl_select_card(name);
    if (!ctl_confirm("Erase partition " + partition + " of card " + card.bdf + "?")) {
        throw ctl_error(CTL_EXIT_NOTHING_TO_DO, "Error - not confirmed, nothing done");
    }
    aml_card_flash_partition_erase_req_s req;
    req.card = card;
    req.partition = partition;
    aml_card_flash_partition_erase_rsp_s rsp;
    aml_status_e status = aml_card_flash_partition_erase(&req, &rsp);
    if (status != AML_STATUS_OK) {
        ctl_fail(status, rsp.error);
    }
    ctl_result r;
    r.doc = json{{"address", card.bdf}, {"erased", partition}};
    r.table = card.bdf + " partition " + partition + " erased\n";
    return r;
}

ctl_result secure_boot_show(const std::string& name)
{
    aml_card_handle_s card = ctl_select_card(name);
    json fw = ctl_fw_state(card);
    ctl_result r;
    r.doc = json{{"address", card.bdf}};
    for (auto& [k, v] : fw["secure_boot"].items()) {
        r.doc[k] = v;
    }
    std::vector<std::pair<std::string, std::string>> fields;
    for (auto& [k, v] : r.doc.items()) {
        fields.emplace_back(k, v.is_string() ? v.get<std::string>() : v.dump());
    }
    r.table = ctl_fields(fields);
    return r;
}

ctl_result secure_boot_update(const std::string& name, const std::string& state)
{
    aml_card_handle_s card = ctl_select_card(name);
    if (!ctl_confirm((state == "enable" ? "Enable" : "Disable") + std::string(" secure boot on card ") + card.bdf +
                     "?")) {
        throw ctl_error(CTL_EXIT_NOTHING_TO_DO, "Error - not confirmed, nothing done");
    }
    aml_card_secure_boot_update_req_s req;
    req.card = card;
    req.option = state == "enable" ? 1 : 2;
    aml_card_secure_boot_update_rsp_s rsp;
    aml_status_e status = aml_card_secure_boot_update(&req, &rsp);
    if (status != AML_STATUS_OK) {
        ctl_fail(status, rsp.error);
    }
    ctl_result r;
    r.doc = json{{"address", card.bdf}, {"secure_boot", state == "enable"}};
    r.table = card.bdf + " secure boot " + state + "d\n";
    return r;
}

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
    aml_card_profile_get_rsp_s rsp;
    aml_status_e status = aml_card_profile_get(&req, &rsp);
    if (status != AML_STATUS_OK) {
        ctl_fail(status, rsp.error);
    }
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
    if (!ctl_confirm(what + " on card " + card.bdf + (mode.recommission ? ", then recommission it" : "") + "?")) {
        throw ctl_error(CTL_EXIT_NOTHING_TO_DO, "Error - not confirmed, nothing done");
    }
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

json ctl_fw_state(aml_card_handle_s& card)
{
    engine_trace t;
    engine_start(card, t);
    std::string text;
    int rc = firmware_get(true, text);
    if (rc != 0) {
        std::string error;
        aml_handle_fwupdate_failure(&card, &t.aml, error);
        ctl_fail(sdk_ret_to_aml_status(static_cast<uint32_t>(rc)), error);
    }
    const auto& tls = fwupdate_tls();
    const rfc_card_info_s& ci = tls.card_info;
    const rfc_image_version_info_u& vi = tls.image_version_info;
    // what the card runs against what it boots next: a written image runs
    // only after a reset, until then the reset is pending
    rfc_card_info_s next = ci;
    next.soc_running = ci.soc_active;
    bool pending = ci.soc_running != ci.soc_active || (!ci.suc_startup.empty() && ci.suc_running != ci.suc_startup);
    return json{{"address", card.bdf},
                {"board_id", ci.board_id},
                {"asic", ci.asic_name},
                {"running_image", image_of_letter(ci.soc_running)},
                {"running_version", rfc_running_version(ci, vi)},
                {"next_boot_image", image_of_letter(ci.soc_active)},
                {"stored_version", rfc_running_version(next, vi)},
                {"reset_pending", pending},
                {"suc_running", ci.suc_running},
                {"suc_startup", ci.suc_startup},
                {"versions",
                 {{"suc", group_json(vi.suc)},
                  {"fpga", group_json(vi.fpga)},
                  {"secure_rom", group_json(vi.sri)},
                  {"soc", group_json(vi.soc)}}},
                {"secure_boot",
                 {{"secure_boot", ci.secure_boot},
                  {"secure_enable", ci.secure_enable},
                  {"sigchk", ci.sigchk},
                  {"hw_fuse", ci.hw_fuse},
                  {"life_cycle_state", ci.life_cycle_state},
                  {"key_name", ci.board_keyname}}}};
}

std::string ctl_fw_state_table(const json& s)
{
    std::vector<std::vector<std::string>> rows;
    for (auto& [group, entries] : s["versions"].items()) {
        for (const auto& e : entries) {
            rows.push_back({group, e["name"], e["version"]});
        }
    }
    return ctl_fields({{"board_id", s["board_id"]},
                       {"running_image", s["running_image"]},
                       {"running_version", s["running_version"]},
                       {"next_boot_image", s["next_boot_image"]},
                       {"stored_version", s["stored_version"]},
                       {"reset_pending", ctl_fw_pending_text(s)},
                       {"secure_boot", s["secure_boot"]["secure_boot"].get<int>() ? "on" : "off"},
                       {"life_cycle_state", s["secure_boot"]["life_cycle_state"]}}) +
           "\n" + ctl_table({"GROUP", "IMAGE", "VERSION"}, rows);
}

void ctl_add_fw_commands(CLI::App& app, ctl_runner& run)
{
    static std::string name, package, image, partition, state, profile;
    const char* card_help = "PCI address, UUID, serial number or index from `card list`";
    auto* fw = app.add_subcommand("fw", "card firmware");
    fw->require_subcommand(1);
    auto* show = fw->add_subcommand("show", "running and stored versions, boot image, next boot image");
    show->add_option("CARD", name, card_help)->required();
    show->callback([&run] { run = [] { return fw_show(name); }; });
    auto* inspect = fw->add_subcommand("inspect", "a package's manifest, versions and digest check (no card)");
    inspect->add_option("PACKAGE", package, "firmware package")->required();
    inspect->callback([&run] { run = [] { return fw_inspect(package); }; });
    auto* upd = fw->add_subcommand("update", "install a firmware package");
    upd->add_option("CARD", g_update.cards, std::string(card_help) + "; several with commas, or \"all\"")
        ->required();
    upd->add_option("PACKAGE", g_update.package, "firmware package")->required();
    upd->add_flag("--dry-run", g_update.dry_run, "check the package and the cards, change nothing");
    upd->add_flag("--gold", g_update.gold, "install the package's gold image");
    upd->add_flag("--allow-older", g_update.allow_older, "install a version older than the running one");
    upd->add_option("--timeout", g_update.timeout_s,
                    "give up a card's install after SECONDS, leaving its boot image as it was (0: never)")
        ->type_name("SECONDS")
        ->capture_default_str();
    upd->add_flag("-y,--assume-yes", ctl_opts().assume_yes, "do not ask for confirmation");
    upd->callback([&run] { run = fw_update; });
    auto* boot = fw->add_subcommand("boot-image", "the image the card boots next");
    boot->require_subcommand(1);
    auto* bset = boot->add_subcommand("set", "select the next boot image");
    bset->add_option("CARD", name, card_help)->required();
    bset->add_option("IMAGE", image, "fw-a, fw-b, fw-gold or fw-alt")
        ->required()
        ->check(CLI::IsMember({"fw-a", "fw-b", "fw-gold", "fw-alt"}));
    bset->add_flag("-y,--assume-yes", ctl_opts().assume_yes, "do not ask for confirmation");
    bset->callback([&run] { run = [] { return fw_boot_image_set(name, image); }; });
    auto* erase = fw->add_subcommand("erase", "erase one flash partition");
    erase->add_option("CARD", name, card_help)->required();
    erase->add_option("PARTITION", partition, "partition name, e.g. soc-dtb")->required();
    erase->add_flag("-y,--assume-yes", ctl_opts().assume_yes, "do not ask for confirmation");
    erase->callback([&run] { run = [] { return fw_erase(name, partition); }; });
    ctl_add_fw_verify(fw, run);

    auto* sb = app.add_subcommand("secure-boot", "secure boot state");
    sb->require_subcommand(1);
    auto* sbshow = sb->add_subcommand("show", "secure boot and lifecycle state");
    sbshow->add_option("CARD", name, card_help)->required();
    sbshow->callback([&run] { run = [] { return secure_boot_show(name); }; });
    auto* sbupd = sb->add_subcommand("update", "turn secure boot on or off");
    sbupd->add_option("CARD", name, card_help)->required();
    sbupd->add_option("STATE", state, "enable or disable")->required()->check(CLI::IsMember({"enable", "disable"}));
    sbupd->add_flag("-y,--assume-yes", ctl_opts().assume_yes, "do not ask for confirmation");
    sbupd->callback([&run] { run = [] { return secure_boot_update(name, state); }; });

    auto* pr = app.add_subcommand("profile", "card profiles");
    pr->require_subcommand(1);
    auto* prshow = pr->add_subcommand("show", "the card's profiles and the active one");
    prshow->add_option("CARD", name, card_help)->required();
    prshow->add_option("--package", package, "list the profiles of this package instead");
    prshow->callback([&run] { run = [] { return profile_show(name, package); }; });
    static std::vector<std::string> profile_args;
    static profile_mode_s mode;
    auto* prupd = pr->add_subcommand("update", "install a profile from a package");
    prupd->add_option("CARD", name, card_help)->required();
    prupd->add_option("[PACKAGE] PROFILE", profile_args,
                      "firmware package and profile name (the package may be left out with "
                      "--device-config-only or --activate-only)")
        ->required()
        ->expected(1, 2);
    auto* dco = prupd->add_flag("--device-config-only", mode.device_config_only,
                                "install only the profile's device configuration, from the installed package");
    prupd->add_flag("--activate-only", mode.activate_only,
                    "only record the profile as active (a card running image 3; ignored on others)")
        ->excludes(dco);
    prupd->add_flag("--recommission", mode.recommission,
                    "recommission the card afterwards so that the profile takes effect (over a minute)");
    prupd->add_flag("-y,--assume-yes", ctl_opts().assume_yes, "do not ask for confirmation");
    prupd->callback([&run] { run = [] { return profile_update(name, profile_args, mode); }; });
}
