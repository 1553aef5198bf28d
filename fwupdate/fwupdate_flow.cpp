// installing a package on the card, and choosing the image it boots next

#include <signal.h>

#include <algorithm>
#include <cstdlib>

#include <fmt/format.h>

#include "fwupdate/fwupdate.h"
#include "fwupdate/fwupdate_card_lock.h"
#include "fwupdate/fwupdate_deadline.h"
#include "fwupdate/fwupdate_install.h"
#include "fwupdate/fwupdate_shell.h"
#include "fwupdate/rfc.h"
#include "fwupdate/fwupdate_archive.h"
#include "fwupdate/fwupdate_compat.h"
#include "fwupdate/fwupdate_install_list.h"
#include "fwupdate/fwupdate_package_profile.h"
#include "fwupdate/fwupdate_verify.h"
#include "ipc/shell_command.h"

namespace {

bool holds(const std::vector<std::string>& names, const char* name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

std::string work_dir()
{
    return fwupdate_tls().fwupgrade_bdf_dir;
}

std::string asic_manifest()
{
    return work_dir() + "/ASIC_MANIFEST";
}

// the package manifest into the work directory, and each ASIC's manifest
// after its digest is checked
int package_manifest_extract(const std::string& package)
{
    std::string out;
    const std::string manifest = work_dir() + "/MANIFEST";
    if (fwupdate_member_extract(package, "MANIFEST", work_dir(), "MANIFEST") != 0) {
        fwupdate_log(trace_level_err, "Unable to extract MANIFEST");
        return FWUPDATE_ERR;
    }
    int n = 0;
    if (manifest_length_get(".asic_compat_list", manifest, n) != 0 || n == 0) {
        fwupdate_log(trace_level_err, "Package corrupted, %s not found", ".asic_compat_list");
        return FWUPDATE_ERR;
    }
    for (int i = 0; i < n; i++) {
        std::string asic, name, algorithm, hash, digest;
        (void)manifest_value_get_quiet(fmt::format(".asic_compat_list[{}]", i), manifest, asic);
        std::string key = ".asic_manifests[" + std::string("\"") + asic + "\"]";
        (void)manifest_value_get_quiet(key + ".name", manifest, name);
        if (name.empty() || name == "null") {
            fwupdate_log(trace_level_err, "Package corrupted, %s not found", asic.c_str());
            return FWUPDATE_ERR;
        }
        (void)manifest_value_get_quiet(key + ".verify.algorithm", manifest, algorithm);
        if (algorithm.empty() || algorithm == "null" || !fwupdate_digest_algorithm_ok(algorithm)) {
            fwupdate_log(trace_level_err, "Package corrupted, %s hash algorithm not found", asic.c_str());
            return FWUPDATE_ERR;
        }
        (void)manifest_value_get_quiet(key + ".verify.hash", manifest, hash);
        if (hash.empty() || hash == "null") {
            fwupdate_log(trace_level_err, "Package corrupted, %s hash not found", asic.c_str());
            return FWUPDATE_ERR;
        }
        if (fwupdate_member_digest(package, name, algorithm, digest) != 0 || digest != hash) {
            fwupdate_log(trace_level_err, "Package corrupted, %s hash verification failed", asic.c_str());
            return FWUPDATE_ERR;
        }
        if (fwupdate_member_extract(package, name, work_dir(), "ASIC_MANIFEST") != 0) {
            fwupdate_log(trace_level_err, "Package corrupted, %s not found", asic.c_str());
            return FWUPDATE_ERR;
        }
    }
    return 0;
}

// true when the ASIC manifest named in the package carries the gold image
bool package_has_gold(const std::string& package)
{
    std::string name;
    if (run_command(ipc_shell_command("tar xfO {} MANIFEST 2>/dev/null", {package}) +
                        " | jq -r '.asic_manifests[.asic_compat_list[0]].name'",
                    name) != 0 ||
        name.empty() || name == "null") {
        return false;
    }
    std::string out;
    return run_command(ipc_shell_command("tar xfO {} {} 2>/dev/null", {package, name}) +
                           " | jq -e '.firmware | has(\"gold\") or has(\"goldfip\")' > /dev/null",
                       out) == 0;
}

std::string running_version(const rfc_card_info_s& ci, const rfc_image_version_info_u& vi)
{
    const char* key = ci.soc_running == "A" ? "Zephyr-A" : ci.soc_running == "B" ? "Zephyr-B" : "Gold Zephyr";
    const auto& group = ci.soc_running == "G" ? vi.sri : vi.soc;
    for (const auto& [n, v] : group) {
        if (n == key) {
            return v;
        }
    }
    return "unknown";
}

}  // namespace

int fwupdate_package_prepare(const std::string& package, std::vector<std::string>& names,
                             const std::string& device_config, fwupdate_install_ctx_s& ctx)
{
    auto& tls = fwupdate_tls();
    const std::string running = running_version(tls.card_info, tls.image_version_info);
    fwupdate_globals().asic_name = tls.card_info.asic_name;
    const std::string board_id = tls.card_info.board_id;
    std::string out;
    if (run_command("tar xfO {} > /dev/null 2>&1", {package}, out) != 0) {
        fwupdate_log(trace_level_err, "Invalid/corrupted package file");
        return FWUPDATE_ERR;
    }
    if (run_command("tar xfO {} MANIFEST > /dev/null 2>&1", {package}, out) != 0) {
        fwupdate_log(trace_level_err, "Invalid package file %s, package file does not contain MANIFEST",
                     fwupdate_package_display(package).c_str());
        return FWUPDATE_ERR;
    }
    int rc = package_manifest_extract(package);
    if (rc != 0) {
        fwupdate_log(trace_level_err, "Package verification failed, err %u", rc);
        return rc;
    }
    if (holds(names, "all")) {
        std::vector<std::string> keys;
        std::string from = file_exists(asic_manifest()) ? asic_manifest() : work_dir() + "/MANIFEST";
        (void)manifest_keys_get(".firmware", from, keys);
        for (const auto& k : keys) {
            if (k.find("gold") != std::string::npos) {
                fwupdate_log(trace_level_err, "\"-g\" option required to install goldfw");
                return FWUPDATE_ERR;
            }
        }
    }
    if ((rc = check_package_compatibility(board_id)) != 0) {
        return rc;
    }
    std::string revision = fwupdate_package_revision(work_dir() + "/MANIFEST", rc);
    if (revision.empty()) {
        return rc ? rc : FWUPDATE_ERR;
    }
    fw_tables_select(revision);
    if ((rc = check_install_list(names)) != 0) {
        return rc;
    }
    if ((rc = verify_package(package)) != 0) {
        fwupdate_log(trace_level_err, "Package verification failed, err %u", rc);
        return rc;
    }
    std::string version;
    (void)manifest_value_get_quiet(".software_version", asic_manifest(), version);
    fwupdate_log(trace_level_info, "Installing package version %s from running %s",
                 version == "null" || version.empty() ? "unknown" : version.c_str(), running.c_str());
    if ((rc = fwupdate_package_unpack(package)) != 0) {
        fwupdate_log(trace_level_err, "Extracting image %s failed, err %u", package.c_str(), rc);
        return rc;
    }

    ctx.package = package;
    ctx.board_id = board_id;
    ctx.revision = revision;
    ctx.device_config = device_config;
    ctx.dry_run = true;
    fwupdate_log(trace_level_info, "Starting dry run");
    rc = install_images(ctx, names);
    if (rc != 0 && rc != FWUPDATE_NOTHING_TO_DO) {
        fwupdate_log(trace_level_err, "Package component images verification failed, err %u", rc);
        return rc;
    }
    fwupdate_log(trace_level_info, "Finished dry run");
    return rc;
}

namespace {

// the steps between telling the card an update starts and post-processing
int update_body(firmware_update_req_s* req, std::vector<std::string>& names, const std::string& device_config,
                const std::string& target, const bool& abort, uint8_t* progress, std::string& status)
{
    fwupdate_install_ctx_s ctx;
    ctx.abort = &abort;
    ctx.progress = progress;
    ctx.status = &status;
    int rc = fwupdate_package_prepare(req->package, names, device_config, ctx);
    if (rc != 0 && rc != FWUPDATE_NOTHING_TO_DO) {
        return rc;
    }
    // the writes go to the main image the card does not run, and to no other
    if ((rc = fwupdate_main_image_select(target)) != 0) {
        return rc;
    }
    allocate_image_weight(ctx.partitions, progress, ctx.weights);
    ctx.dry_run = false;
    rc = install_images(ctx, names);
    if (rc == 0 || rc == FWUPDATE_NOTHING_TO_DO) {
        fwupdate_tls().installed = ctx.plan;
    }
    return rc;
}

}  // namespace

static void ignore_interrupt(int) {}

void install_sigint_guard()
{
    struct sigaction sa = {};
    sa.sa_handler = ignore_interrupt;
    sigaction(SIGINT, &sa, nullptr);
}

int firmware_update(firmware_update_req_s* req, uint8_t* progress, std::string& status)
{
    install_sigint_guard();
    auto& tls = fwupdate_tls();
    // a second install on the card is refused before anything is touched
    fwupdate_card_lock lock;
    int rc = lock.acquire_and_refresh();
    if (rc != 0) {
        return rc;
    }
    // every check that decides the install reads the engine's private,
    // checked copy only: a file swapped behind the caller's path changes nothing
    firmware_update_req_s staged = *req;
    staged.package = fwupdate_package_stage(req->package);
    if (staged.package.empty()) {
        fwupdate_final_cleanup();
        return FWUPDATE_ERR;
    }
    std::vector<std::string> names = req->names;
    std::string device_config, memory_config;
    rc = get_card_profile(&staged, device_config, memory_config);
    req->profile = staged.profile;
    if (rc != 0) {
        return rc;
    }
    if (names.empty()) {
        names = {"all"};
    }
    if (!holds(names, "all") && holds(names, "goldfw") && !package_has_gold(staged.package)) {
        fwupdate_log(trace_level_err, "Invalid image %s for goldfw update, no gold/goldfip found in MANIFEST",
                     req->package.c_str());
        // the private copy goes like after any other refusal
        fwupdate_final_cleanup();
        return FWUPDATE_BAD_REQUEST;
    }
    const bool all = holds(names, "all");
    const bool gold = holds(names, "goldfw");
    tls.upgrade_all = req->upgrade_all;
    tls.reset = req->reset;

    tls.installed.clear();

    // the bound of the whole update, from here to the boot image selection
    fwupdate_deadline deadline(req->timeout_s);
    fwupdate_log(trace_level_debug, "Starting fwupdate operation for PCIe BDF: %s", tls.vmb_bdf.c_str());
    rc = rfc_start_fwupdate_operation(tls.vmb_bdf);
    if (rc == 0) {
        fwupdate_log(trace_level_info, "Successfully started fwupdate operation for PCIe BDF: %s", tls.vmb_bdf.c_str());
        // the image written is the one the card is pointed at afterwards
        const std::string target = fwupdate_alt_image(tls.card_info);
        rc = update_body(&staged, names, device_config, target, deadline.abort(), progress, status);
        if (rc == 0 || rc == FWUPDATE_NOTHING_TO_DO) {
            status = "Post-processing";
            // past the deadline the boot selection is not touched
            int post = deadline.expired() ? FWUPDATE_ABORTED : all ? boot_option_set(target) : 0;
            if (post != 0) {
                rc = post;
            } else if (!req->reset) {
                *progress = 100;
                status = "Done";
            }
        }
        if ((rc == 0 || rc == FWUPDATE_NOTHING_TO_DO) && !gold) {
            firmware_update_req_s copy = staged;
            (void)extract_package_files(false, &copy);
        }
        if (rc != 0 && rc != FWUPDATE_NOTHING_TO_DO) {
            fwupdate_log(trace_level_debug, "Aborting fwupdate operation for PCIe BDF: %s", tls.vmb_bdf.c_str());
            if (rfc_abort_fwupdate_operation(tls.vmb_bdf) == 0) {
                fwupdate_log(trace_level_info, "Successfully aborted fwupdate operation for PCIe BDF: %s",
                             tls.vmb_bdf.c_str());
            }
            // the last error names the step the time ran out in
            if (deadline.report(status)) {
                rc = FWUPDATE_ABORTED;
            }
        }
    }
    fwupdate_final_cleanup();
    return rc;
}

