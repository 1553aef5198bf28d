// what a card's flash holds against a package: the package goes through the
// update's own host-side steps and dry run, then the card digests each
// partition the package would write. nothing is written to the card, and the
// card is not told an update starts.

#include <fmt/format.h>

#include "fwupdate/fwupdate.h"
#include "fwupdate/fwupdate_card_lock.h"
#include "fwupdate/fwupdate_deadline.h"
#include "fwupdate/fwupdate_install.h"
#include "fwupdate/fwupdate_shell.h"
#include "fwupdate/rfc.h"
#include "fwupdate/fwupdate_archive.h"
#include "fwupdate/fwupdate_package_profile.h"
#include "fwupdate/fwupdate_verify.h"

namespace {

std::string upper(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

// the card digests with SHA-512 only: an image declared with another
// algorithm is digested here
int expected_sha512(const fwupdate_image_s& image, std::string& digest)
{
    if (image.algorithm == "sha512") {
        digest = upper(image.digest);
        return 0;
    }
    int rc = calculate_sha512_hash(image.path, digest);
    if (rc != 0 || digest.size() != 128) {
        fwupdate_log(trace_level_err, "Failed to get hash for %s", image.path.c_str());
        return rc ? rc : FWUPDATE_ERR;
    }
    digest = upper(digest);
    return 0;
}

int check_body(const std::string& package, std::vector<std::string>& names, const bool& abort, std::string& status,
               std::vector<fwupdate_flash_check_s>& results)
{
    auto& tls = fwupdate_tls();
    int rc = fwupdate_version_info_refresh();
    if (rc != 0) {
        return rc;
    }
    // every check reads the engine's private, checked copy only
    firmware_update_req_s req;
    req.package = fwupdate_package_stage(package);
    if (req.package.empty()) {
        return FWUPDATE_ERR;
    }
    req.names = names;
    std::string device_config, memory_config;
    if ((rc = get_card_profile(&req, device_config, memory_config)) != 0) {
        return rc;
    }
    uint8_t progress = 0;
    fwupdate_install_ctx_s ctx;
    ctx.abort = &abort;
    ctx.every_image = true;
    ctx.progress = &progress;
    ctx.status = &status;
    rc = fwupdate_package_prepare(req.package, names, device_config, ctx);
    if (rc != 0 && rc != FWUPDATE_NOTHING_TO_DO) {
        return rc;
    }
    // the card digests the main image its flash service is pointed at: the
    // one the card boots next (the one it runs while gold is selected)
    const std::string& next = tls.card_info.soc_active == "G" ? tls.card_info.soc_running : tls.card_info.soc_active;
    const firmware_image_type_e bank = next == "B" ? FIRMWARE_IMAGE_FW_B : FIRMWARE_IMAGE_FW_A;
    if ((rc = rfc_firmware_type(bank, tls.vmb_bdf)) != 0) {
        fwupdate_log(trace_level_err, "Failed to select main image %s for the check, err %u", boot_image_type_name(bank),
                     rc);
        return rc;
    }
    for (const auto& image : ctx.plan) {
        fwupdate_flash_check_s r;
        r.image = image;
        if ((rc = expected_sha512(image, r.expected)) != 0) {
            return rc;
        }
        status = "Verify [" + image.partition + "]";
        rc = rfc_partition_checksum(flash_partition_from_name(image.partition), image.size, tls.vmb_bdf, abort,
                                    r.card);
        if (rc != 0) {
            fwupdate_log(trace_level_err, "Failed to get the checksum of %s, err %u", image.partition.c_str(), rc);
            return rc;
        }
        r.match = r.card == r.expected;
        const std::string file = image.path.substr(image.path.rfind('/') + 1);
        fwupdate_log(trace_level_info, "Flash partition %s %s %s of the package", image.partition.c_str(),
                     r.match ? "matches" : "does not match", file.c_str());
        results.push_back(r);
    }
    return 0;
}

}  // namespace

int fwupdate_flash_check(const std::string& package, const std::vector<std::string>& names,
                         std::vector<fwupdate_flash_check_s>& results, uint32_t timeout_s)
{
    results.clear();
    // the check unpacks into the card's work directory, which an install uses
    fwupdate_card_lock lock;
    if (int busy = lock.acquire(); busy != 0) {
        return busy;
    }
    std::vector<std::string> list = names.empty() ? std::vector<std::string>{"all"} : names;
    std::string step;
    int rc = 0;
    {
        // a card that never finishes a checksum costs at most the timeout
        fwupdate_deadline deadline(timeout_s);
        rc = check_body(package, list, deadline.abort(), step, results);
        if (rc != 0 && deadline.report(step, "Flash check")) {
            rc = FWUPDATE_ABORTED;
        }
    }
    fwupdate_final_cleanup();
    return rc;
}
