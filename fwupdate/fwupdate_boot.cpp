// choosing the image the card boots next. an install writes the main image
// the card does not run and points the card at exactly that image; before
// the card is pointed anywhere its startup images are checked against their
// version records on flash, and afterwards the selection is read back.

#include <cstdlib>
#include <string>
#include <vector>

#include "fwupdate/fwupdate.h"
#include "fwupdate/fwupdate_card_lock.h"
#include "fwupdate/fwupdate_shell.h"
#include "fwupdate/rfc.h"
#include "fwupdate/fwupdate_install_list.h"

namespace {

int env_number(const char* name, int fallback)
{
    const char* v = getenv(name);
    return v ? static_cast<int>(strtol(v, nullptr, 10)) : fallback;
}

// where the version record of a startup partition is, by boot image
struct version_record_s {
    const char* partition;
    const char* a;
    const char* b;
    const char* gold;
};
const version_record_s k_records[] = {
    {"soc-ubootspl", "Ubootspl-A", "Ubootspl-B", nullptr},
    {"soc-uboot", "Uboot-A", "Uboot-B", nullptr},
    {"soc-zephyr", "Zephyr-A", "Zephyr-B", nullptr},
    {"suc-boot", "uboot_a", "uboot_b", nullptr},
    {"suc-app", "app_a", "app_b", nullptr},
    {"soc-gold-ubootspl", nullptr, nullptr, "Gold Ubootspl"},
    {"soc-gold-zephyr", nullptr, nullptr, "Gold Zephyr"},
};

// the version record on flash of a partition's image for a boot image, from
// the versions last read; false when the card keeps none
bool version_record(const std::string& partition, firmware_image_type_e image, std::string& version)
{
    const char* key = nullptr;
    for (const auto& r : k_records) {
        if (partition == r.partition) {
            key = image == FIRMWARE_IMAGE_FW_A ? r.a : image == FIRMWARE_IMAGE_FW_B ? r.b : r.gold;
        }
    }
    const auto& vi = fwupdate_tls().image_version_info;
    for (const auto* group : {&vi.suc, &vi.fpga, &vi.sri, &vi.soc}) {
        for (const auto& [name, v] : *group) {
            if (key != nullptr && name == key) {
                version = v;
                return true;
            }
        }
    }
    return false;
}

struct image_name_s {
    const char* name;  // image name of the callers
    const char* boot;  // boot image text
    const char* letter;  // as the card reports it
};
const image_name_s k_images[] = {
    {"mainfwa", "fw-a", "A"},
    {"mainfwb", "fw-b", "B"},
    {"goldfw", "fw-gold", "G"},
};

const image_name_s* image_of(const std::string& name)
{
    for (const auto& i : k_images) {
        if (name == i.name) {
            return &i;
        }
    }
    return nullptr;
}

const char* boot_of_letter(const std::string& letter)
{
    for (const auto& i : k_images) {
        if (letter == i.letter) {
            return i.boot;
        }
    }
    return "unknown";
}

// the startup partitions of a firmware name, in the order of its files
int startup_partitions(const std::string& fwname, std::vector<std::string>& partitions)
{
    auto obj = fwname_to_fwobj().find(fwname);
    if (obj == fwname_to_fwobj().end()) {
        fwupdate_log(trace_level_err, "Unknown firmware name %s", fwname.c_str());
        return FWUPDATE_ERR;
    }
    auto type = fwobj_to_fwtype().find(obj->second);
    if (type == fwobj_to_fwtype().end()) {
        fwupdate_log(trace_level_err, "Unknown firmware object %s", obj->second.c_str());
        return FWUPDATE_ERR;
    }
    auto files = fwtype_to_files().find(type->second);
    if (files == fwtype_to_files().end()) {
        fwupdate_log(trace_level_err, "Unknown firmware type %s", type->second.c_str());
        return FWUPDATE_ERR;
    }
    for (const auto& kind : files->second) {
        auto part = fwfile_to_partition().find({kind, fwname});
        if (part == fwfile_to_partition().end()) {
            fwupdate_log(trace_level_err, "Invalid file name %s", kind.c_str());
            return FWUPDATE_ERR;
        }
        partitions.push_back(part->second);
    }
    return 0;
}

// the card digests each startup partition of an object for the boot image
// and names the version it finds; that must be the image's version record
int startup_image_verify(const std::string& fwname, firmware_image_type_e image)
{
    std::vector<std::string> partitions;
    int rc = startup_partitions(fwname, partitions);
    const auto& tls = fwupdate_tls();
    for (size_t i = 0; rc == 0 && i < partitions.size(); i++) {
        const std::string& part = partitions[i];
        std::string found, record, running;
        rc = rfc_validate_startup_image(image, flash_partition_from_name(part), tls.vmb_bdf, found);
        if (rc != 0) {
            fwupdate_log(trace_level_err, "Verify image checksum based on firmware region failed for %s, err %u",
                         part.c_str(), rc);
            break;
        }
        firmware_image_type_e runs = boot_image_type_from_name(boot_of_letter(tls.card_info.soc_running));
        if (!version_record(part, runs, running)) {
            running = "unknown";
        }
        fwupdate_log(trace_level_info, "%s new startup image version %s vs running %s", part.c_str(), found.c_str(),
                     running.c_str());
        if (!version_record(part, image, record) || found != record) {
            fwupdate_log(trace_level_err,
                         "Startup image %s of %s holds version %s, its version record on flash says %s", part.c_str(),
                         boot_image_type_name(image), found.c_str(), record.empty() ? "nothing" : record.c_str());
            fwupdate_log(trace_level_err, "Verify image checksum based on firmware region failed for %s, err %u",
                         part.c_str(), FWUPDATE_ERR);
            rc = FWUPDATE_ERR;
            break;
        }
        fwupdate_log(trace_level_info, "Verify image checksum based on firmware region is success for %s",
                     part.c_str());
    }
    return rc;
}

// after BOOT_OPS_SET: the card must name the image as its next one, and its
// startup partitions must hold what their version records say
int boot_option_read_back(const image_name_s& want, const std::string& fwname)
{
    auto& tls = fwupdate_tls();
    rfc_card_info_s ci;
    int rc = rfc_card_info_get(tls.vmb_bdf, nullptr, &ci);
    if (rc != 0) {
        fwupdate_log(trace_level_err, "Failed to get card info for %s, err %u", tls.vmb_bdf.c_str(), rc);
        return rc;
    }
    tls.card_info = ci;
    if (ci.soc_active != want.letter) {
        fwupdate_log(trace_level_err, "Boot option %s did not take, the card starts %s next", want.boot,
                     boot_of_letter(ci.soc_active));
        return FWUPDATE_ERR;
    }
    std::vector<std::string> partitions;
    if ((rc = startup_partitions(fwname, partitions)) != 0) {
        return rc;
    }
    firmware_image_type_e type = boot_image_type_from_name(want.boot);
    for (const auto& part : partitions) {
        rfc_startup_image_s got;
        std::string record;
        if ((rc = rfc_validate_startup_image(flash_partition_from_name(part), tls.vmb_bdf, got)) != 0) {
            fwupdate_log(trace_level_err, "Failed to read back startup image %s of %s, err %u", part.c_str(),
                         want.boot, rc);
            return rc;
        }
        if (got.image != type || !version_record(part, type, record) || got.version != record) {
            fwupdate_log(trace_level_err, "Startup image %s reads back as %s version %s, expected %s version %s",
                         part.c_str(), boot_image_type_name(got.image), got.version.c_str(), want.boot,
                         record.c_str());
            return FWUPDATE_ERR;
        }
    }
    return 0;
}

}  // namespace

int fwupdate_version_info_refresh()
{
    auto& tls = fwupdate_tls();
    int rc = rfc_version_info_get(tls.vmb_bdf, nullptr, &tls.image_version_info);
    if (rc != 0) {
        fwupdate_log(trace_level_err, "Failed to get image version info for %s, err %u", tls.vmb_bdf.c_str(), rc);
    }
    return rc;
}

std::string fwupdate_alt_image(const rfc_card_info_s& card_info)
{
    return card_info.soc_running == "A" ? "mainfwb" : "mainfwa";
}

int fwupdate_main_image_select(const std::string& image_name)
{
    auto& tls = fwupdate_tls();
    const image_name_s* image = image_of(image_name);
    firmware_image_type_e type = image ? boot_image_type_from_name(image->boot) : FIRMWARE_IMAGE_INVALID;
    if (type != FIRMWARE_IMAGE_FW_A && type != FIRMWARE_IMAGE_FW_B) {
        fwupdate_log(trace_level_err, "Unknown image name %s", image_name.c_str());
        return FWUPDATE_BAD_REQUEST;
    }
    fwupdate_log(trace_level_info, "Writing main image %s, the card runs %s", image->boot,
                 tls.card_info.soc_running.c_str());
    int rc = rfc_firmware_type(type, tls.vmb_bdf);
    if (rc != 0) {
        fwupdate_log(trace_level_err, "Failed to select main image %s for writing, err %u", image->boot, rc);
    }
    return rc;
}

int boot_option_set(const std::string& image_name)
{
    auto& tls = fwupdate_tls();
    int suc = env_number("ORLIX_SUC_UPDATE", 1);
    fwupdate_log(trace_level_info, "Suc image verification %d", suc);
    fwupdate_log(trace_level_info, "Startup fw %s soc active %s", image_name.c_str(), tls.card_info.soc_active.c_str());
    const image_name_s* image = image_of(image_name == "altfw" ? fwupdate_alt_image(tls.card_info) : image_name);
    if (image == nullptr) {
        fwupdate_log(trace_level_err, "Unknown image name %s", image_name.c_str());
        return FWUPDATE_BAD_REQUEST;
    }
    firmware_image_type_e type = boot_image_type_from_name(image->boot);
    // the records as they are now, after whatever was just written
    int rc = fwupdate_version_info_refresh();
    if (rc != 0) {
        return rc;
    }
    const char* soc = type == FIRMWARE_IMAGE_FW_GOLD ? "goldfw" : "soc";
    fwupdate_log(trace_level_info, "Verifying image checksum for %s", image->boot);
    rc = startup_image_verify(soc, type);
    if (rc == 0 && type != FIRMWARE_IMAGE_FW_GOLD && suc != 0) {
        rc = startup_image_verify("suc", type);
    }
    if (rc != 0) {
        return rc;
    }
    rc = rfc_set_startup_image(type, tls.vmb_bdf);
    if (rc != 0) {
        fwupdate_log(trace_level_err, "Unable to set boot option %s, err %u", image->boot, rc);
        // the request may have reached the card before its answer was lost
        rfc_card_info_s ci;
        if (rfc_card_info_get(tls.vmb_bdf, nullptr, &ci) == 0) {
            fwupdate_log(trace_level_err, "The card starts %s next", boot_of_letter(ci.soc_active));
        }
        return rc;
    }
    if ((rc = boot_option_read_back(*image, soc)) != 0) {
        return rc;
    }
    fwupdate_log(trace_level_info, "Boot option %s programmed successfully", image->boot);
    return 0;
}

int next_boot_image_set(const std::string& image_name)
{
    install_sigint_guard();
    fwupdate_card_lock lock;
    int rc = lock.acquire_and_refresh();
    if (rc != 0) {
        return rc;
    }
    // the installed package's revision picks the name tables
    std::string revision = fwupdate_package_revision(fwupdate_card_config_dir() + "/ASIC_MANIFEST", rc);
    fw_tables_select(revision.empty() ? "rev2" : revision);
    return boot_option_set(image_name);
}
