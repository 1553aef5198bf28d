// the installers of the firmware names, and the partition install step

#include "fwupdate/fwupdate_install.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "fwupdate/fwupdate.h"
#include "fwupdate/fwupdate_shell.h"
#include "fwupdate/rfc.h"
#include "fwupdate/fwupdate_archive.h"
#include "fwupdate/fwupdate_verify.h"
#include "ipc/shell_command.h"

namespace {

std::string asic_manifest()
{
    return fwupdate_tls().fwupgrade_bdf_dir + "/ASIC_MANIFEST";
}

std::string value_of(const std::string& key)
{
    std::string v;
    (void)manifest_value_get_quiet(key, asic_manifest(), v);
    return v == "null" ? "" : v;
}

int length_of(const std::string& key, int& n)
{
    return manifest_length_get(key, asic_manifest(), n);
}

// a member as unpacked into the private stage directory: a regular file (not
// a link) whose path stays inside it, and its size
bool staged_member(const std::string& member, std::string& path, uint64_t& size)
{
    struct stat st = {};
    if (!fwupdate_member_name_safe(member)) {
        return false;
    }
    path = fwupdate_stage_dir() + fwupdate_member_name_normal(member);
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

// true when the entry's board_id (a value or a list) holds board
bool entry_has_board(const std::string& entry, const std::string& board)
{
    std::string out;
    return run_command("jq -e --arg b {} {} {} > /dev/null 2>&1",
                       {board, entry + ".board_id | (if type == \"array\" then . else [.] end) | map(tostring) | index($b) != null",
                        asic_manifest()},
                       out) == 0;
}

// one manifest entry: its name, digest algorithm, digest, version
struct image_entry_s {
    std::string name, algorithm, hash, version;
};

image_entry_s entry_at(const std::string& entry)
{
    return {value_of(entry + ".name"), value_of(entry + ".verify.algorithm"), value_of(entry + ".verify.hash"),
            value_of(entry + ".image_version")};
}

// digests the unpacked member, the very file that is flashed, and compares;
// the size comes with it
int check_member(fwupdate_install_ctx_s& ctx, const image_entry_s& e, uint64_t& size, std::string& got)
{
    std::string path;
    if (!staged_member(e.name, path, size)) {
        fwupdate_log(trace_level_err, "Failed to find %s in the package %s", e.name.c_str(),
                     fwupdate_package_display(ctx.package).c_str());
        return FWUPDATE_ERR;
    }
    if (fwupdate_file_digest(path, e.algorithm, got) != 0 || got != e.hash) {
        return FWUPDATE_ERR;
    }
    fwupdate_log(trace_level_verbose, "Install image path %s, algo %s, want hash %s, got hash %s", e.name.c_str(),
                 e.algorithm.c_str(), e.hash.c_str(), got.c_str());
    return 0;
}

// the firmware objects made of typed files: soc, suc, gold, uboot_tpl
int install_fwobj(fwupdate_install_ctx_s& ctx, const std::string& obj, const std::string& fwname)
{
    if (ctx.package.empty()) {
        fwupdate_log(trace_level_err, "Expecting package in install firmware image");
        return FWUPDATE_ERR;
    }
    std::string type;
    int rc = manifest_value_get_quiet(".firmware." + obj + ".type", asic_manifest(), type);
    if (rc != 0) {
        fwupdate_log(trace_level_err, "Failed to get value for .firmware.%s.type, err %u", obj.c_str(), rc);
        return rc;
    }
    fwupdate_log(trace_level_info, "Installing %s, type %s", obj.c_str(), type.c_str());
    auto files = fwtype_to_files().find(type);
    if (files == fwtype_to_files().end()) {
        fwupdate_log(trace_level_err, "Unknown firmware type %s", type.c_str());
        return FWUPDATE_ERR;
    }
    for (const auto& kind : files->second) {
        const std::string base = ".firmware." + obj + ".files." + kind;
        int n = 0;
        if ((rc = length_of(base, n)) != 0) {
            fwupdate_log(trace_level_err, "Failed to get length for .firmware.%s.files.%s, err %u", obj.c_str(),
                         kind.c_str(), rc);
            return rc;
        }
        if (n == 0) {
            fwupdate_log(trace_level_err, "No images found for fwobj %s fileobj %s", obj.c_str(), kind.c_str());
            return FWUPDATE_ERR;
        }
        int chosen = 0;
        if (obj == "soc" && kind == "kernel_fit") {
            chosen = -1;
            for (int i = 0; i < n && chosen < 0; i++) {
                if (value_of(fmt::format("{}[{}].name", base, i)).find("zephyr_pcie.img") != std::string::npos) {
                    chosen = i;
                }
            }
        } else if (obj == "suc") {
            chosen = -1;
            for (const std::string& board : {ctx.board_id, std::string("#")}) {
                for (int i = 0; i < n && chosen < 0; i++) {
                    if (entry_has_board(fmt::format("{}[{}]", base, i), board)) {
                        chosen = i;
                    }
                }
            }
        }
        if (chosen < 0) {
            fwupdate_log(trace_level_err, "No images found for fwobj %s fileobj %s", obj.c_str(), kind.c_str());
            return FWUPDATE_ERR;
        }
        image_entry_s e = entry_at(fmt::format("{}[{}]", base, chosen));
        if (e.algorithm.empty() || e.hash.empty()) {
            fwupdate_log(trace_level_err, "Failed to get hash for %s, err %u", e.name.c_str(), FWUPDATE_ERR);
            return FWUPDATE_ERR;
        }
        uint64_t size = 0;
        std::string got;
        if (check_member(ctx, e, size, got) != 0) {
            fwupdate_log(trace_level_err, "Image hash verification failed for %s, manifest hash %s, calculated hash %s",
                         e.name.c_str(), e.hash.c_str(), got.c_str());
            return FWUPDATE_ERR;
        }
        std::string version = (kind == "kernel_fit" && (obj == "soc" || obj == "gold")) ? value_of(".software_version")
                                                                                      : e.version;
        std::string partition;
        if (obj == "soc") {
            partition = kind == "uboot_spl" ? "soc-ubootspl" : kind == "uboot" ? "soc-uboot" : "soc-zephyr";
        } else if (obj == "suc") {
            partition = kind == "boot" ? "suc-boot" : "suc-app";
        } else if (obj == "uboot_tpl") {
            partition = "soc-uboottpl";
        } else if (obj == "gold") {
            partition = e.name.find("uboot_spl") != std::string::npos ? "soc-gold-ubootspl" : "soc-gold-zephyr";
        } else {
            fwupdate_log(trace_level_err, "Invalid %s to install", obj.c_str());
            return FWUPDATE_ERR;
        }
        fwupdate_log(trace_level_info, "Image path %s, size %u", e.name.c_str(), static_cast<unsigned>(size));
        fwupdate_log(trace_level_info, "algo %s, hash %s", e.algorithm.c_str(), e.hash.c_str());
        if ((rc = flash_partition_install(ctx, partition, e.algorithm, e.name, e.hash, version, size)) != 0) {
            return rc;
        }
    }
    (void)fwname;
    fwupdate_log(trace_level_info, "Done");
    return 0;
}

// dotted versions as numbers; true when a is newer than b
bool version_newer(const std::string& a, const std::string& b)
{
    auto parts = [](const std::string& v) {
        std::vector<long> out;
        size_t at = 0;
        while (at <= v.size()) {
            size_t dot = v.find('.', at);
            std::string p = v.substr(at, dot == std::string::npos ? std::string::npos : dot - at);
            out.push_back(p.empty() || p.find_first_not_of("0123456789") != std::string::npos ? 0 : std::stol(p));
            if (dot == std::string::npos) {
                break;
            }
            at = dot + 1;
        }
        return out;
    };
    // missing components count as zero
    std::vector<long> x = parts(a), y = parts(b);
    x.resize(std::max(x.size(), y.size()), 0);
    y.resize(x.size(), 0);
    return x > y;
}

std::string running_version(const rfc_version_group_t& group, const std::string& name)
{
    for (const auto& [n, v] : group) {
        if (n == name) {
            return v;
        }
    }
    return "";
}

int install_uboot_tpl(fwupdate_install_ctx_s& ctx, const std::string& obj, const std::string& fwname)
{
    if (fwupdate_globals().uboottpl_skip_version_check || ctx.every_image) {
        fwupdate_log(trace_level_info, "Skip uboot tpl verison check");
    } else {
        std::string manifest = value_of(".firmware.uboot_tpl.files.image[0].image_version");
        std::string running = running_version(fwupdate_tls().image_version_info.sri, "Uboottpl");
        fwupdate_log(trace_level_info, "Uboot-tpl version running %s manifest %s", running.c_str(), manifest.c_str());
        if (!version_newer(manifest, running)) {
            fwupdate_log(trace_level_debug, "uboot_tpl cur=%s, new=%s, install=NO", running.c_str(), manifest.c_str());
            fwupdate_log(trace_level_info, "Uboot_tpl update not required");
            return FWUPDATE_NOTHING_TO_DO;
        }
        fwupdate_log(trace_level_debug, "Uboot_tpl cur=%s, new=%s, install=YES", running.c_str(), manifest.c_str());
    }
    int rc = install_fwobj(ctx, obj, fwname);
    if (rc != 0) {
        fwupdate_log(trace_level_err, "Uboot_tpl update required validation failed");
    }
    return rc;
}

// one entry of a list (fw_cfg, oprom, bitfiles, device_config) into a partition
int install_list_entry(fwupdate_install_ctx_s& ctx, const std::string& entry, const std::string& partition,
                       const std::string& version_fallback, std::string& name_out)
{
    image_entry_s e = entry_at(entry);
    name_out = e.name;
    uint64_t size = 0;
    std::string got;
    if (check_member(ctx, e, size, got) != 0) {
        return FWUPDATE_ERR;
    }
    return flash_partition_install(ctx, partition, e.algorithm, e.name, e.hash,
                                   e.version.empty() ? version_fallback : e.version, size);
}

int install_fw_cfg(fwupdate_install_ctx_s& ctx, const std::string&, const std::string& fwname)
{
    fwupdate_log(trace_level_info, "Installing catalog firmware");
    int n = 0;
    (void)length_of(".fw_cfg", n);
    int chosen = -1;
    if (ctx.board_id.empty()) {
        fwupdate_log(trace_level_debug, "Board id is empty, fallback to default fw_cfg");
    } else {
        for (int i = 0; i < n && chosen < 0; i++) {
            if (entry_has_board(fmt::format(".fw_cfg[{}]", i), ctx.board_id)) {
                chosen = i;
            }
        }
        if (chosen < 0) {
            fwupdate_log(trace_level_debug, "Firmware config with board id %s not found, install default firmware config",
                         ctx.board_id.c_str());
        }
    }
    for (int i = 0; i < n && chosen < 0; i++) {
        if (value_of(fmt::format(".fw_cfg[{}].name", i)).find("firmware_config_default") != std::string::npos) {
            chosen = i;
        }
    }
    if (chosen < 0) {
        fwupdate_log(trace_level_err, "Default firmware config and firmware config with board id %s not found",
                     ctx.board_id.c_str());
        return FWUPDATE_ERR;
    }
    std::string name;
    int rc = install_list_entry(ctx, fmt::format(".fw_cfg[{}]", chosen), fwname_to_partition().at(fwname),
                                value_of(".software_version"), name);
    if (rc != 0) {
        fwupdate_log(trace_level_err, "Catalogue install verification failed path %s", name.c_str());
        return rc;
    }
    if (!ctx.dry_run) {
        fwupdate_log(trace_level_info, "Installed device catalogue successfully");
    }
    return 0;
}

int install_oprom(fwupdate_install_ctx_s& ctx, const std::string&, const std::string& fwname)
{
    fwupdate_log(trace_level_info, "Installing oprom binary");
    fwupdate_log(trace_level_info, "Installing oprom binary for board %s", ctx.board_id.c_str());
    int n = 0;
    if (length_of(".oprom", n) != 0 || n == 0) {
        fwupdate_log(trace_level_err, "Oprom binary not present in the package");
        return FWUPDATE_ERR;
    }
    image_entry_s e = entry_at(".oprom[0]");
    if (e.algorithm.empty()) {
        fwupdate_log(trace_level_err, "Oprom install failed for %s, required hash algorithm not found, err %u",
                     e.name.c_str(), FWUPDATE_ERR);
        return FWUPDATE_ERR;
    }
    if (e.hash.empty()) {
        fwupdate_log(trace_level_err, "Oprom install failed for %s, required hash value not found, err %u",
                     e.name.c_str(), FWUPDATE_ERR);
        return FWUPDATE_ERR;
    }
    std::string name;
    int rc = install_list_entry(ctx, ".oprom[0]", fwname_to_partition().at(fwname), value_of(".software_version"), name);
    if (rc != 0) {
        fwupdate_log(trace_level_err, "Oprom install verification failed path %s", name.c_str());
        return rc;
    }
    if (!ctx.dry_run) {
        fwupdate_log(trace_level_info, "Installed oprom binary successfully");
    }
    return 0;
}

int install_cpld(fwupdate_install_ctx_s& ctx, const std::string&, const std::string& fwname)
{
    int n = 0;
    (void)length_of(".bitfiles", n);
    for (int i = 0; i < n; i++) {
        std::string entry = fmt::format(".bitfiles[{}]", i);
        if (!entry_has_board(entry, ctx.board_id)) {
            continue;
        }
        std::string name;
        if (install_list_entry(ctx, entry, fwname_to_partition().at(fwname), "0.0.1", name) != 0) {
            fwupdate_log(trace_level_err, "Installing bitfile images failed");
            return FWUPDATE_ERR;
        }
        return 0;
    }
    // no logic image for this board: nothing to write
    return FWUPDATE_NOTHING_TO_DO;
}

std::string stem(const std::string& name)
{
    std::string base = name.substr(name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1);
    return base.substr(0, base.rfind('.'));
}

int install_device_config(fwupdate_install_ctx_s& ctx, const std::string&, const std::string& fwname)
{
    fwupdate_log(trace_level_info, "Installing device config");
    std::string blob = ctx.device_config;
    if (blob.empty() || blob == "device_config" || blob == "default" || blob == "device_config_rdma_1x800G") {
        blob = ctx.revision == "rev2" ? "device_config.dtb" : "device_config.img";
    }
    fwupdate_log(trace_level_debug, "Device config install file %s", blob.c_str());
    int n = 0;
    (void)length_of(".device_config", n);
    for (int i = 0; i < n; i++) {
        std::string entry = fmt::format(".device_config[{}]", i);
        if (stem(value_of(entry + ".name")) != stem(blob)) {
            continue;
        }
        std::string name;
        if (install_list_entry(ctx, entry, fwname_to_partition().at(fwname), value_of(".software_version"), name) != 0) {
            fwupdate_log(trace_level_err, "Device config dtb hash verification failed for %s", name.c_str());
            return FWUPDATE_ERR;
        }
        if (!ctx.dry_run) {
            fwupdate_log(trace_level_info, "Installed device config %s successfully", name.c_str());
        }
        return 0;
    }
    fwupdate_log(trace_level_err, "Failed to find %s profile in the package", blob.c_str());
    return FWUPDATE_ERR;
}

using installer_fn = int (*)(fwupdate_install_ctx_s&, const std::string& obj, const std::string& fwname);

struct installer_s {
    const char* object;
    installer_fn install;
    const char* failure;  // with the code, when the installer has its own
};

const installer_s k_installers[] = {
    {"device_config", install_device_config, "Installing device config failed, err %u"},
    {"fw_cfg", install_fw_cfg, "Installing device catalog firmware failed, err %u"},
    {"cpld", install_cpld, nullptr},
    {"oprom", install_oprom, nullptr},
    {"uboot_tpl", install_uboot_tpl, nullptr},
};

}  // namespace

int flash_partition_install(fwupdate_install_ctx_s& ctx, const std::string& partition, const std::string& algorithm,
                            const std::string& file, const std::string& digest, const std::string& version,
                            uint64_t size, bool from_host)
{
    auto& tls = fwupdate_tls();
    std::string path;
    uint64_t staged_size = 0;
    if (!from_host && !staged_member(file, path, staged_size)) {
        fwupdate_log(trace_level_err, "Failed to find %s in the package %s", file.c_str(),
                     fwupdate_package_display(ctx.package).c_str());
        return FWUPDATE_ERR;
    }
    // package files come from the private stage directory; host files are
    // named from the card config dir, or by their own absolute path
    if (from_host) {
        path = file.empty() || file[0] != '/' ? fwupdate_card_config_dir() + "/" + file : file;
    }
    if (ctx.dry_run) {
        ctx.partitions.push_back(partition);
        ctx.plan.push_back({partition, path, algorithm, digest, version, size});
        return 0;
    }
    flash_partition_e id = flash_partition_from_name(partition);
    uint32_t w = ctx.weights.count(partition) ? ctx.weights[partition] : 0;
    // the card digests with SHA-512 only: an image declared with another
    // algorithm is digested here for the card
    std::string sha512 = digest;
    if (algorithm != "sha512" && calculate_sha512_hash(path, sha512) != 0) {
        sha512.clear();
    }
    const bool never = false;
    const bool& abort = ctx.abort ? *ctx.abort : never;

    *ctx.status = "Erase [" + partition + "]";
    fwupdate_log(trace_level_info, "Erasing %s", partition.c_str());
    int rc = rfc_flash_erase_based_on_hash(id, size, "sha512", sha512, version, tls.vmb_bdf, abort);
    if (rc != 0) {
        fwupdate_log(trace_level_err, "Flash update failed for erase %s, err %u", partition.c_str(), rc);
        return rc;
    }
    *ctx.progress = static_cast<uint8_t>(*ctx.progress + w * 60 / 100);
    sleep(1);

    *ctx.status = "Install [" + partition + "]";
    fwupdate_log(trace_level_info, "Installing %s at %s", path.c_str(), partition.c_str());
    rc = rfc_flash_write(id, path, tls.vmb_bdf, abort);
    if (rc != 0) {
        rfc_log(trace_level_err, "failed in write flash ret %d", rc);
        fwupdate_log(trace_level_err, "Flash update failed for flash write %s, err %u", partition.c_str(), rc);
        return rc;
    }
    *ctx.progress = static_cast<uint8_t>(*ctx.progress + w - w * 60 / 100 - w * 20 / 100);
    sleep(1);

    *ctx.status = "Verify [" + partition + "]";
    fwupdate_log(trace_level_info, "Verifying %s", partition.c_str());
    rc = rfc_verify_image(id, path, sha512, tls.vmb_bdf, abort);
    if (rc != 0) {
        fwupdate_log(trace_level_err, "Flash update failed for verify checksum %s, err %u", partition.c_str(), rc);
        return rc;
    }
    *ctx.progress = static_cast<uint8_t>(*ctx.progress + w * 20 / 100);
    fwupdate_log(trace_level_info, "%s programmed successfully", partition.c_str());
    return 0;
}

int install_images(fwupdate_install_ctx_s& ctx, const std::vector<std::string>& names)
{
    int result = FWUPDATE_NOTHING_TO_DO;
    for (const auto& name : names) {
        auto obj = fwname_to_fwobj().find(name);
        if (obj == fwname_to_fwobj().end()) {
            fwupdate_log(trace_level_err, "Unknown firmware name %s", name.c_str());
            return FWUPDATE_BAD_REQUEST;
        }
        const installer_s* special = nullptr;
        for (const auto& i : k_installers) {
            special = obj->second == i.object ? &i : special;
        }
        int rc = special ? special->install(ctx, obj->second, name) : install_fwobj(ctx, obj->second, name);
        if (rc == FWUPDATE_NOTHING_TO_DO) {
            continue;
        }
        if (rc != 0) {
            if (special && special->failure) {
                fwupdate_log(trace_level_err, special->failure, rc);
            }
            return rc;
        }
        result = 0;
    }
    return result;
}
