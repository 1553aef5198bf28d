// what a card's flash holds and runs, and the package checks that need no card

#include "aml/aml_fw_info.h"

#include "aml/aml_firmware.h"
#include "aml/aml_fw_read.h"
#include "fwupdate/fwupdate.h"
#include "fwupdate/fwupdate_archive.h"
#include "fwupdate/fwupdate_verify.h"
#include "fwupdate/rfc.h"

int aml_fw_card_read(const std::string& bdf, rfc_card_info_s& card_info, rfc_image_version_info_u& versions)
{
    int rc = rfc_card_info_get(bdf, nullptr, &card_info);
    if (rc == 0) {
        rc = rfc_version_info_get(bdf, nullptr, &versions);
    }
    // the channel is the calling thread's; the next card opens its own
    (void)rfc_cleanup();
    return rc;
}

std::string aml_fw_image_of_letter(const std::string& letter)
{
    static const std::pair<const char*, const char*> k_images[] = {{"A", "fw-a"}, {"B", "fw-b"}, {"G", "fw-gold"}};
    for (const auto& [from, to] : k_images) {
        if (letter == from) {
            return to;
        }
    }
    return "unknown";
}

aml_status_e aml_card_fw_info_get(aml_card_fw_info_get_req_s* req, aml_card_fw_info_get_rsp_s* rsp)
{
    aml_fwupdate_trace_cb_ctxt_s trace;
    aml_status_e status = aml_fwupdate_call(&req->card, trace, rsp->error, fwupdate_version_info_refresh);
    if (status != AML_STATUS_OK) {
        return status;
    }
    const auto& tls = fwupdate_tls();
    const rfc_card_info_s& ci = tls.card_info;
    const rfc_image_version_info_u& vi = tls.image_version_info;
    // a written image runs only after a reset; until then the reset is pending
    rfc_card_info_s next = ci;
    next.soc_running = ci.soc_active;
    rsp->board_id = ci.board_id;
    rsp->asic = ci.asic_name;
    rsp->running_image = aml_fw_image_of_letter(ci.soc_running);
    rsp->next_boot_image = aml_fw_image_of_letter(ci.soc_active);
    rsp->running_version = rfc_running_version(ci, vi);
    rsp->stored_version = rfc_running_version(next, vi);
    rsp->reset_pending =
        ci.soc_running != ci.soc_active || (!ci.suc_startup.empty() && ci.suc_running != ci.suc_startup);
    rsp->suc_running = ci.suc_running;
    rsp->suc_startup = ci.suc_startup;
    rsp->suc = vi.suc;
    rsp->fpga = vi.fpga;
    rsp->secure_rom = vi.sri;
    rsp->soc = vi.soc;
    rsp->secure_boot = ci.secure_boot;
    rsp->secure_enable = ci.secure_enable;
    rsp->sigchk = ci.sigchk;
    rsp->hw_fuse = ci.hw_fuse;
    rsp->life_cycle_state = ci.life_cycle_state;
    rsp->key_name = ci.board_keyname;
    return AML_STATUS_OK;
}

aml_status_e aml_card_fw_version_get(aml_card_fw_version_get_req_s* req, aml_card_fw_version_get_rsp_s* rsp)
{
    rfc_card_info_s card_info;
    rfc_image_version_info_u versions;
    int rc = aml_fw_card_read(req->card.bdf, card_info, versions);
    if (rc != 0) {
        rsp->error = "ERROR - Failed to read the firmware versions of " + req->card.bdf + ", err " + std::to_string(rc);
        return sdk_ret_to_aml_status(static_cast<uint32_t>(rc));
    }
    rsp->running_version = rfc_running_version(card_info, versions);
    return AML_STATUS_OK;
}

bool aml_flash_partition_known(const std::string& name)
{
    return flash_partition_from_name(name) < FLASH_PARTITION_MAX;
}

bool aml_fw_package_members_check(const std::string& package, std::string& error)
{
    // the engine may not be bound to a card on this thread: its messages
    // come here for the one call
    auto& g = fwupdate_globals();
    auto& tls = fwupdate_tls();
    const auto cb = g.fwupdate_trace_cb;
    const auto level = g.fwupdate_trace_level;
    void* ctxt = tls.fwupdate_trace_cb_ctxt;
    aml_fwupdate_trace_cb_ctxt_s trace;
    g.fwupdate_trace_cb = aml_firmware_trace_cb;
    g.fwupdate_trace_level = trace_level_err;
    tls.fwupdate_trace_cb_ctxt = &trace;
    std::vector<fwupdate_member_s> members;
    int rc = fwupdate_package_members_check(package, members);
    g.fwupdate_trace_cb = cb;
    g.fwupdate_trace_level = level;
    tls.fwupdate_trace_cb_ctxt = ctxt;
    error = trace.last_error;
    return rc == 0;
}

bool aml_fw_digest_algorithm_ok(const std::string& algorithm)
{
    return fwupdate_digest_algorithm_ok(algorithm);
}

bool aml_fw_member_digest(const std::string& package, const std::string& member, const std::string& algorithm,
                          std::string& digest)
{
    return fwupdate_member_digest(package, member, algorithm, digest) == 0;
}
