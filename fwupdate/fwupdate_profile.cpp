// profiles on the card and on the host, the logic image, the versions on flash

#include "fwupdate/fwupdate_profile.h"
#include "fwupdate/fwupdate_card_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fmt/format.h>

#include "fwupdate/fwupdate_deadline.h"
#include "fwupdate/fwupdate_install.h"
#include "fwupdate/fwupdate_shell.h"
#include "fwupdate/rfc.h"
#include "fwupdate/fwupdate_archive.h"
#include "fwupdate/fwupdate_install_list.h"
#include "fwupdate/fwupdate_package_profile.h"
#include "fwupdate/fwupdate_verify.h"
#include "ipc/shell_command.h"

namespace {

std::string version_of(const rfc_version_group_t& group, const std::string& name)
{
    for (const auto& [n, v] : group) {
        if (n == name) {
            return v;
        }
    }
    return "";
}

std::string stem(const std::string& name)
{
    size_t slash = name.rfind('/');
    std::string base = name.substr(slash == std::string::npos ? 0 : slash + 1);
    return base.substr(0, base.rfind('.'));
}

bool host_file_size(const std::string& path, uint64_t& size)
{
    std::string out;
    if (run_command(ipc_shell_command("ls -la {} | awk '{ print $5}'", {path}), out) != 0 || out.empty()) {
        return false;
    }
    try {
        size = std::stoull(out);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

std::string json_string(const std::string& s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

// the install context of one host file into one partition, with all of the
// progress between 5 and 90 to it
fwupdate_install_ctx_s single_partition_ctx(const std::string& partition, uint8_t* progress, std::string& status,
                                            const bool& abort)
{
    fwupdate_install_ctx_s ctx;
    ctx.dry_run = false;
    ctx.abort = &abort;
    ctx.progress = progress;
    ctx.status = &status;
    std::vector<std::string> parts = {partition};
    allocate_image_weight(parts, progress, ctx.weights);
    return ctx;
}

}  // namespace

int fwupdate_device_config_update(fwupdate_device_config_upd_req_s* req, uint8_t* progress, std::string& status)
{
    auto& tls = fwupdate_tls();
    fwupdate_card_lock lock;
    int rc = lock.acquire_and_refresh();
    if (rc != 0) {
        return rc;
    }
    const std::string dir = fwupdate_card_config_dir();
    const std::string manifest = dir + "/ASIC_MANIFEST";
    std::string revision = fwupdate_package_revision(manifest, rc);
    fw_tables_select(revision.empty() ? "rev2" : revision);
    std::string device_config, memory_config;
    rc = card_profile_device_memory_config_get(dir + "/card_profile.json", req->profile, device_config, memory_config);
    if (rc != 0) {
        fwupdate_log(trace_level_err, "Failed to get device and memory configs for profile %s, err %u",
                     req->profile.c_str(), rc);
        return rc;
    }
    std::string a = version_of(tls.image_version_info.soc, "Zephyr-A");
    std::string b = version_of(tls.image_version_info.soc, "Zephyr-B");
    if (a != b) {
        fwupdate_log(trace_level_err,
                     "Both the main firmware partitions must run same firmware version for profile update, "
                     "Firmware-A %s, Firmware-B %s. Please upgrade and retry",
                     a.c_str(), b.c_str());
        return FWUPDATE_ERR;
    }
    std::string blob = device_config;
    if (blob.empty() || blob == "device_config" || blob == "default" || blob == "device_config_rdma_1x800G") {
        blob = revision == "rev3" ? "device_config.img" : "device_config.dtb";
    }
    // the blob as the installed package's manifest names it
    int n = 0;
    (void)manifest_length_get(".device_config", manifest, n);
    std::string name, algorithm, hash, version;
    for (int i = 0; i < n && name.empty(); i++) {
        std::string entry = fmt::format(".device_config[{}]", i), v;
        (void)manifest_value_get_quiet(entry + ".name", manifest, v);
        if (stem(v) == stem(blob)) {
            name = v;
            (void)manifest_value_get_quiet(entry + ".verify.algorithm", manifest, algorithm);
            (void)manifest_value_get_quiet(entry + ".verify.hash", manifest, hash);
        }
    }
    (void)manifest_value_get_quiet(".software_version", manifest, version);
    uint64_t size = 0;
    if (name.empty() || !host_file_size(dir + "/" + name, size)) {
        fwupdate_log(trace_level_err, "Device config install failed for %s, err %u", blob.c_str(), FWUPDATE_ERR);
        return FWUPDATE_ERR;
    }
    // written into the main image the card does not run, which it then starts
    const std::string target = fwupdate_alt_image(tls.card_info);
    if ((rc = fwupdate_main_image_select(target)) != 0) {
        return rc;
    }
    fwupdate_deadline deadline(req->timeout_s);
    fwupdate_install_ctx_s ctx = single_partition_ctx("soc-dtb", progress, status, deadline.abort());
    rc = flash_partition_install(ctx, "soc-dtb", algorithm, name, hash, version == "null" ? "" : version, size, true);
    if (rc != 0) {
        fwupdate_log(trace_level_err, "Device config install failed for %s, err %u", name.c_str(), rc);
        return deadline.report(status) ? FWUPDATE_ABORTED : rc;
    }
    status = "Post-processing";
    rc = deadline.expired() ? FWUPDATE_ABORTED : boot_option_set(target);
    if (rc != 0) {
        return deadline.report(status) ? FWUPDATE_ABORTED : rc;
    }
    *progress = 100;
    status = "Done";
    return 0;
}

int fwupdate_activate_profile(fwupdate_activate_profile_req_s* req, fwupdate_activate_profile_rsp_s*)
{
    fwupdate_card_lock lock;
    if (int busy = lock.acquire(); busy != 0) {
        return busy;
    }
    const std::string dir = fwupdate_card_config_dir();
    if (fwupdate_make_dir(dir) != 0) {
        fwupdate_log(trace_level_err, "Failed to make config directory %s", dir.c_str());
        return FWUPDATE_ERR;
    }
    std::string out;
    if (req->profile == "default") {
        if (!fwupdate_remove(dir, {"card.conf", "card_profile.json"})) {
            fwupdate_log(trace_level_err, "Failed to cleanup card profile info, err : %u", FWUPDATE_ERR);
            return FWUPDATE_ERR;
        }
        fwupdate_log(trace_level_info, "Cleaned up card profile config data");
        return 0;
    }
    // the profiles recorded come from the engine's private, checked copy
    const std::string package = fwupdate_package_stage(req->package);
    if (package.empty()) {
        fwupdate_clean_work_dir();
        return FWUPDATE_ERR;
    }
    if (!fwupdate_package_has(package, "card_profile.json")) {
        fwupdate_log(trace_level_err, "Failed to find card_profile.json, err : %u", FWUPDATE_ERR);
        fwupdate_clean_work_dir();
        return FWUPDATE_ERR;
    }
    int rc = fwupdate_member_extract(package, "card_profile.json", dir, "card_profile.json");
    fwupdate_clean_work_dir();
    if (rc != 0) {
        fwupdate_log(trace_level_err, "Failed to extract card_profile.json from firmware package %s, err : %u",
                     req->package.c_str(), rc);
        return rc;
    }
    // written aside and moved into place: a reader never sees half a file;
    // both names are reached through the checked folder's descriptor
    private_dir conf_dir;
    std::string error;
    const std::string conf = dir + "/card.conf", tmp = conf + ".tmp";
    if (!fwupdate_private_dir(dir, conf_dir) || !private_dir_remove(conf_dir, "card.conf.tmp", error)) {
        return FWUPDATE_ERR;
    }
    const std::string text = "{\n    \"card-profile\": " + json_string(req->profile) + "\n}\n";
    int fd = private_dir_open_file(conf_dir, "card.conf.tmp", O_WRONLY | O_CREAT | O_EXCL, error);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = (fd < 0 || close(fd) == 0) && ok;
    if (!ok || renameat(conf_dir.fd(), "card.conf.tmp", conf_dir.fd(), "card.conf") != 0) {
        fwupdate_log(trace_level_err, "Failed to rename %s to %s, err : %s", tmp.c_str(), conf.c_str(),
                     error.empty() ? strerror(errno) : error.c_str());
        return FWUPDATE_ERR;
    }
    return 0;
}

int firmware_cpld_update(firmware_update_req_s* req, uint8_t* progress, std::string& status)
{
    install_sigint_guard();
    fwupdate_card_lock lock;
    if (int busy = lock.acquire(); busy != 0) {
        return busy;
    }
    const std::string& path = req->package;
    const bool gold = std::find(req->names.begin(), req->names.end(), "goldcpld") != req->names.end();
    const std::string partition = fwname_to_partition().at(gold ? "goldcpld" : "cpld");
    uint64_t size = 0;
    std::string digest;
    if (!file_exists(path) || !host_file_size(path, size) || calculate_sha512_hash(path, digest) != 0 ||
        digest.empty()) {
        fwupdate_log(trace_level_err, "CPLD binary file not accessible: %s", path.c_str());
        return FWUPDATE_ERR;
    }
    const bool never = false;
    fwupdate_install_ctx_s ctx = single_partition_ctx(partition, progress, status, never);
    int rc = flash_partition_install(ctx, partition, "sha512", path, digest, "0.0.1", size, true);
    fwupdate_final_cleanup();
    if (rc != 0) {
        return rc;
    }
    *progress = 100;
    status = "Done";
    return 0;
}

// the ports come as decimal names, 0 to 255 (the transceiver ports a board
// can carry); the image path in req->package
struct xcvr_progress_s {
    uint8_t* progress;
    size_t index;
    size_t count;
};

// one bar over all ports, never back to 0 between them
static void xcvr_progress(void* ctxt, uint8_t step, const std::string&)
{
    auto* p = static_cast<xcvr_progress_s*>(ctxt);
    *p->progress = static_cast<uint8_t>((p->index * 100 + step) / p->count);
}

static bool xcvr_port_of(const std::string& name, uint32_t& port)
{
    if (name.empty() || name.size() > 3 || name.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    port = static_cast<uint32_t>(std::stoul(name));
    return port <= 255;
}

int firmware_xcvr_update(firmware_update_req_s* req, uint8_t* progress, std::string& status)
{
    install_sigint_guard();
    fwupdate_card_lock lock;
    if (int busy = lock.acquire(); busy != 0) {
        return busy;
    }
    const std::string& path = req->package;
    const std::string partition = flash_partition_name(FLASH_PARTITION_XCVR_EEPROM);
    std::vector<uint32_t> ports;
    for (const std::string& name : req->names) {
        uint32_t port = 0;
        if (!xcvr_port_of(name, port)) {
            fwupdate_log(trace_level_err, "Invalid XCVR port %s", name.c_str());
            return FWUPDATE_ERR;
        }
        ports.push_back(port);
    }
    if (ports.empty()) {
        fwupdate_log(trace_level_err, "No XCVR port given for %s", path.c_str());
        return FWUPDATE_ERR;
    }
    uint64_t size = 0;
    if (!file_exists(path) || !host_file_size(path, size) || size == 0) {
        fwupdate_log(trace_level_err, "XCVR firmware file not accessible: %s", path.c_str());
        return FWUPDATE_ERR;
    }
    const bool never = false;
    const std::string& bdf = fwupdate_tls().vmb_bdf;
    for (size_t i = 0; i < ports.size(); i++) {
        fwupdate_log(trace_level_info, "Writing XCVR firmware %s at %s", path.c_str(), partition.c_str());
        xcvr_progress_s bar{progress, i, ports.size()};
        int rc = rfc_xcvr_write(FLASH_PARTITION_XCVR_EEPROM, ports[i], path, bdf, never, nullptr, &status,
                                xcvr_progress, &bar);
        if (rc != 0) {
            fwupdate_log(trace_level_err, "XCVR firmware update failed for port %u, err %u", ports[i],
                         static_cast<unsigned>(rc));
            return rc;
        }
    }
    *progress = 100;
    status = "Done";
    return 0;
}

struct firmware_versions_s {
    const char* fwname;
    rfc_version_group_t rfc_image_version_info_u::*group;
    std::vector<const char*> entries;  // empty: the whole group
};

int firmware_get(bool, std::string& json)
{
    auto& tls = fwupdate_tls();
    int rc = fwupdate_version_info_refresh();
    if (rc != 0) {
        return rc;
    }
    static const firmware_versions_s k_names[] = {
        {"suc", &rfc_image_version_info_u::suc, {}},
        {"cpld", &rfc_image_version_info_u::fpga, {}},
        {"soc", &rfc_image_version_info_u::soc, {}},
        {"fw_cfg", &rfc_image_version_info_u::soc, {"FWCFG-A", "FWCFG-B"}},
        {"uboot_tpl", &rfc_image_version_info_u::sri, {"Uboottpl"}},
        {"goldfw", &rfc_image_version_info_u::sri, {"Gold Ubootspl", "Gold Zephyr"}},
    };
    json = "{\n";
    for (size_t i = 0; i < std::size(k_names); i++) {
        const auto& n = k_names[i];
        const auto& group = tls.image_version_info.*n.group;
        json += fmt::format(" \"{}\": {{\n", n.fwname);
        std::vector<std::pair<std::string, std::string>> shown;
        for (const auto& entry : group) {
            const auto& [name, version] = entry;
            if (n.entries.empty() || std::find_if(n.entries.begin(), n.entries.end(), [&](const char* e) {
                                         return entry.first == e;
                                     }) != n.entries.end()) {
                shown.emplace_back(name, version);
            }
        }
        for (size_t k = 0; k < shown.size(); k++) {
            json += fmt::format("  {}: {{\n   \"version\": {}\n  }}{}\n", json_string(shown[k].first),
                                json_string(shown[k].second), k + 1 < shown.size() ? "," : "");
        }
        json += fmt::format(" }}{}\n", i + 1 < std::size(k_names) ? "," : "");
    }
    json += "}\n";
    return 0;
}
