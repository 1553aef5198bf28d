// installing a package on one card with its read-back, and comparing a
// card's flash with a package

#include "aml/aml_fw_update.h"

#include "aml/aml_card_validate.h"
#include "aml/aml_firmware.h"
#include "aml/aml_fw_read.h"
#include "fwupdate/fwupdate.h"

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

std::string version_in(const rfc_version_group_t& group, const std::string& name)
{
    for (const auto& [n, v] : group) {
        if (n == name) {
            return v;
        }
    }
    return "";
}

// after firmware_update wrote on this thread: the card's next boot image and
// versions read back against what was written. "" when the card would boot
// it, else the difference
std::string readback(bool gold)
{
    auto& tls = fwupdate_tls();
    const std::vector<fwupdate_image_s> written = tls.installed;
    rfc_card_info_s ci;
    rfc_image_version_info_u vi;
    int rc = aml_fw_card_read(tls.vmb_bdf, ci, vi);
    if (rc != 0) {
        return "the card's next boot image and versions could not be read back, err " + std::to_string(rc);
    }
    std::string next = aml_fw_image_of_letter(ci.soc_active);
    next = next == "unknown" ? "an unknown image" : next;
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

std::vector<std::string> image_names(bool gold)
{
    return gold ? std::vector<std::string>{"goldfw"} : std::vector<std::string>{};
}

}  // namespace

aml_status_e aml_card_fw_update(aml_card_fw_update_req_s* req, aml_card_fw_update_rsp_s* rsp)
{
    uint8_t progress = 0;
    std::string step;
    aml_fwupdate_trace_cb_ctxt_s trace;
    // the engine reports on this thread, so its progress is safe to read here
    trace.on_message = [&] {
        if (req->on_progress) {
            req->on_progress(progress, step);
        }
    };
    aml_status_e status = aml_fwupdate_call(&req->card, trace, rsp->error, [&] {
        if (req->on_progress) {
            req->on_progress(0, "");
        }
        // where the install writes: the main image the card does not run
        const std::string alt = fwupdate_alt_image(fwupdate_tls().card_info);
        firmware_update_req_s install;
        install.package = req->package;
        install.names = image_names(req->gold);
        install.timeout_s = req->timeout_s;
        int rc = firmware_update(&install, &progress, step);
        rsp->progress = progress;
        if (rc == FWUPDATE_NOTHING_TO_DO) {
            rsp->nothing_to_do = true;
            return FWUPDATE_OK;
        }
        if (rc == FWUPDATE_OK) {
            rsp->written_image = req->gold ? "fw-gold" : alt == "mainfwb" ? "fw-b" : "fw-a";
            rsp->readback = readback(req->gold);
        }
        return rc;
    });
    if (status == AML_STATUS_OK && !rsp->readback.empty()) {
        // success only once the card reads back as what was written
        rsp->error = aml_card_error_msg(&req->card, "installed, but " + rsp->readback);
        return AML_STATUS_GENERIC_ERR;
    }
    return status;
}

aml_status_e aml_card_fw_verify(aml_card_fw_verify_req_s* req, aml_card_fw_verify_rsp_s* rsp)
{
    aml_fwupdate_trace_cb_ctxt_s trace;
    return aml_fwupdate_call(&req->card, trace, rsp->error, [&] {
        std::vector<fwupdate_flash_check_s> results;
        int rc = fwupdate_flash_check(req->package, image_names(req->gold), results, req->timeout_s);
        for (const auto& c : results) {
            rsp->partitions.push_back({c.image.partition, c.image.path.substr(c.image.path.rfind('/') + 1),
                                       c.image.version, c.image.size, c.match, c.expected, c.card});
        }
        return rc;
    });
}
