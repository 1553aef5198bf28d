// what a card would boot after an update, and fw verify: the card's flash
// against a package through the card's own checksums

#include <sys/stat.h>

#include <CLI/CLI.hpp>

#include "aml/aml_card_validate.h"
#include "aml/aml_firmware.h"
#include "fwupdate/fwupdate.h"
#include "fwupdate/rfc.h"
#include "tools/orlixctl/ctl_engine.h"

namespace {

// where the card keeps the version of what a partition holds: one entry per
// main image ("Zephyr-A", "Zephyr-B") or one for the card
struct version_entry_s {
    const char* partition;
    const char* entry;
    bool per_image;
    rfc_version_group_t rfc_image_version_info_u::*group;
};

const version_entry_s k_version_entries[] = {
    {"hallgardfw", "Hallgard", true, &rfc_image_version_info_u::soc},
    {"soc-ubootspl", "Ubootspl", true, &rfc_image_version_info_u::soc},
    {"soc-uboot", "Uboot", true, &rfc_image_version_info_u::soc},
    {"soc-zephyr", "Zephyr", true, &rfc_image_version_info_u::soc},
    {"soc-dtb", "DTB", true, &rfc_image_version_info_u::soc},
    {"oprom", "Oprom", true, &rfc_image_version_info_u::soc},
    {"soc-uboottpl", "Uboottpl", false, &rfc_image_version_info_u::sri},
    {"soc-gold-ubootspl", "Gold Ubootspl", false, &rfc_image_version_info_u::sri},
    {"soc-gold-zephyr", "Gold Zephyr", false, &rfc_image_version_info_u::sri},
};

std::string boot_image_name(const std::string& letter)
{
    return letter == "A" ? "fw-a" : letter == "B" ? "fw-b" : letter == "G" ? "fw-gold" : "an unknown image";
}

std::string version_in(const rfc_version_group_t& group, const std::string& name)
{
    for (const auto& [n, v] : group) {
        if (n == name) {
            return v;
        }
    }
    return "";
}

std::string short_digest(const std::string& d)
{
    return d.size() > 16 ? d.substr(0, 16) + "..." : d;
}

ctl_result fw_verify(const std::string& name, const std::string& package, bool gold, uint32_t timeout_s)
{
    struct stat st;
    if (stat(package.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        throw ctl_error(CTL_EXIT_NOT_FOUND, "Error - package " + package + " is not a readable file");
    }
    aml_card_handle_s card = ctl_select_card(name);
    engine_trace t;
    engine_start(card, t);
    std::vector<fwupdate_flash_check_s> results;
    int rc = fwupdate_flash_check(package, gold ? std::vector<std::string>{"goldfw"} : std::vector<std::string>{},
                                  results, timeout_s);
    if (rc != 0) {
        std::string error;
        aml_handle_fwupdate_failure(&card, &t.aml, error);
        ctl_fail(sdk_ret_to_aml_status(static_cast<uint32_t>(rc)), error);
    }
    ctl_result r;
    r.doc = json{{"address", card.bdf}, {"package", package}, {"match", true}, {"partitions", json::array()}};
    std::vector<std::vector<std::string>> rows;
    std::string differ;
    for (const auto& c : results) {
        const std::string file = c.image.path.substr(c.image.path.rfind('/') + 1);
        r.doc["partitions"].push_back(json{{"partition", c.image.partition},
                                           {"file", file},
                                           {"version", c.image.version},
                                           {"size", c.image.size},
                                           {"match", c.match},
                                           {"package_sha512", c.expected},
                                           {"card_sha512", c.card}});
        rows.push_back({c.image.partition, file, c.image.version, std::to_string(c.image.size),
                        c.match ? "match" : "MISMATCH (card " + short_digest(c.card) + ")"});
        if (!c.match) {
            differ += (differ.empty() ? "" : ", ") + c.image.partition;
        }
    }
    r.doc["match"] = differ.empty() && !results.empty();
    r.table = ctl_fields({{"address", card.bdf},
                          {"package", package},
                          {"flash", differ.empty() ? "matches the package" : "differs from the package"}}) +
              "\n" + ctl_table({"PARTITION", "FILE", "VERSION", "SIZE", "CHECK"}, rows);
    if (results.empty()) {
        fprintf(stderr, "Error - %s: the package writes no partition to compare\n", card.bdf.c_str());
        r.exit_code = CTL_EXIT_CHECK_FAILED;
    } else if (!differ.empty()) {
        fprintf(stderr, "Error - %s: flash differs from package %s in %s\n", card.bdf.c_str(), package.c_str(),
                differ.c_str());
        r.exit_code = CTL_EXIT_CHECK_FAILED;
    }
    return r;
}

}  // namespace

std::string ctl_fw_readback(bool gold)
{
    auto& tls = fwupdate_tls();
    const std::vector<fwupdate_image_s> written = tls.installed;
    rfc_card_info_s ci;
    rfc_image_version_info_u vi;
    int rc = rfc_card_info_get(tls.vmb_bdf, nullptr, &ci);
    if (rc == 0) {
        rc = rfc_version_info_get(tls.vmb_bdf, nullptr, &vi);
    }
    rfc_cleanup();
    if (rc != 0) {
        return "the card's next boot image and versions could not be read back, err " + std::to_string(rc);
    }
    const std::string next = boot_image_name(ci.soc_active);
    std::string diff;
    bool main_image = false;
    for (const auto& w : written) {
        for (const auto& e : k_version_entries) {
            if (w.partition != e.partition) {
                continue;
            }
            main_image = main_image || e.per_image;
            const std::string entry = e.per_image ? std::string(e.entry) + "-" + ci.soc_active : e.entry;
            const std::string have = version_in(vi.*e.group, entry);
            if (have != w.version) {
                diff += (diff.empty() ? "" : "; ") + w.partition + " holds " + (have.empty() ? "nothing" : have) +
                        ", not the installed " + w.version;
            }
        }
    }
    // a gold install leaves the boot selection alone; a main one must point
    // the card at a main image that holds what was written
    if (!gold && main_image && ci.soc_active != "A" && ci.soc_active != "B") {
        return "the card boots " + next + " next, not the main image written";
    }
    if (diff.empty()) {
        return "";
    }
    return gold ? "the gold image " + diff : "the card boots " + next + " next: " + diff;
}

void ctl_add_fw_verify(CLI::App* fw, ctl_runner& run)
{
    static std::string name, package;
    static bool gold = false;
    static uint32_t timeout_s = FWUPDATE_TIMEOUT_DEFAULT_S;
    auto* verify = fw->add_subcommand("verify", "compare the card's flash with a package (writes nothing)");
    verify->add_option("CARD", name, "PCI address, UUID, serial number or index from `card list`")->required();
    verify->add_option("PACKAGE", package, "firmware package")->required();
    verify->add_flag("--gold", gold, "compare the package's gold image");
    verify->add_option("--timeout", timeout_s, "give up after SECONDS (0: never)")
        ->type_name("SECONDS")
        ->capture_default_str();
    verify->callback([&run] { run = [] { return fw_verify(name, package, gold, timeout_s); }; });
}
