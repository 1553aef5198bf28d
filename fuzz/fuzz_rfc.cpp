// the firmware-update service, as its client reads the card's answers.
// first byte: bits 5-6 the group, bit 4 a variant, the low bits the
// operation; for the information and secure groups a second byte (the
// partition, the image type); then the card's answers.
//   group 0, flash: erase (by size, by digest, by sectors), chunked write of
//     a file, image and checksum verification, startup image checks and
//     selections, the operation markers
//   group 1, information: card information, image versions, partition table
//     (one partition or all), partition metadata, transceiver version
//   group 2, secure boot: secure image information of each type, its update,
//     secure boot update, the signed metadata and the signature check that
//     follows its key name
// an "in progress" answer aborts a poll instead of waiting for the next round.

#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_transport.h"
#include "fwupdate/fwupdate_state.h"
#include "fwupdate/rfc.h"
#include "fwupdate/rfc_wire.h"

namespace {

// the client once per process: its output files in the scratch directory,
// and there too the public keys the signature check sends, where the client
// looks for them; an image of a few write chunks
struct setup_s {
    std::string bdf = "0000:3b:00.0";
    std::string image = fuzz_scratch_dir() + "/image.bin";

    setup_s()
    {
        const std::string& dir = fuzz_scratch_dir();
        fwupdate_tls().dev_oper_dir = dir + "/";
        (void)mkdir((dir + "/fwkeys").c_str(), 0700);
        const std::string key = "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n";
        for (const char* name : {"eng", "prod"}) {
            (void)fuzz_write_file(dir + "/fwkeys/" + name + "_key-pub.pem", key);
        }
        setenv("ORLIX_CONF_DIR", dir.c_str(), 1);
        std::string bytes(2100, '\0');
        for (size_t i = 0; i < bytes.size(); i++) {
            bytes[i] = static_cast<char>(i * 7);
        }
        (void)fuzz_write_file(image, bytes);
    }
};

const std::string k_digest(2 * RFC_SHA512_LEN, 'a');

int flash(const std::string& bdf, const std::string& file, uint32_t op, const uint8_t* data, size_t size)
{
    const bool flag = op & 0x10;
    const bool& abort = g_fuzz_card_in_progress;
    const auto uboot = FLASH_PARTITION_SOC_UBOOT;
    std::string digest;
    return fuzz_card_pick(op, data, size, {
        [&] { (void)rfc_flash_erase(uboot, 1 << 20, bdf, abort); },
        [&] { (void)rfc_flash_erase_based_on_hash(FLASH_PARTITION_SOC_ZEPHYR, 4096, "sha512", k_digest, "1.2.3", bdf, abort); },
        [&] { (void)rfc_flash_write(flag ? FLASH_PARTITION_SUC_APP : uboot, file, bdf, abort); },
        [&] { (void)rfc_verify_image(uboot, file, k_digest, bdf, abort); },
        [&] { (void)rfc_verify_checksum(uboot, file, k_digest, bdf, abort); },
        [&] {
            // its poll cannot be aborted: an "in progress" answer would wait
            if (!fuzz_card_has_in_progress()) {
                (void)rfc_validate_startup_image(FIRMWARE_IMAGE_FW_A, uboot, bdf, digest);
            }
        },
        [&] { (void)rfc_flash_sector_erase(FLASH_PARTITION_SOC_DTB, 20 * RFC_FLASH_SECTOR_SIZE, bdf); },
        [&] { (void)rfc_set_startup_image(flag ? FIRMWARE_IMAGE_FW_B : FIRMWARE_IMAGE_FW_A, bdf), (void)rfc_firmware_type(1, bdf); },
        [&] { (void)rfc_start_fwupdate_operation(bdf), (void)rfc_abort_fwupdate_operation(bdf); },
    });
}

int info(const std::string& bdf, uint32_t op, const uint8_t* data, size_t size)
{
    const bool flag = op & 0x10;
    uint32_t partition = fuzz_take(data, size, 1) % (RFC_PARTITION_ALL + 2);
    rfc_card_info_s card;
    rfc_image_version_info_u versions;
    bool supported = false;
    std::string version;
    return fuzz_card_pick(op, data, size, {
        [&] { (void)rfc_card_info_get(bdf, flag ? "card_info" : nullptr, &card); },
        [&] { (void)rfc_version_info_get(bdf, flag ? "version" : nullptr, &versions); },
        [&] { (void)rfc_partition_info(bdf, partition, supported); },
        [&] { (void)rfc_partition_metadata(static_cast<flash_partition_e>(partition), bdf, flag ? 1 : 0); },
        [&] { (void)rfc_xcvr_version_get(partition, bdf, &version); },
    });
}

int secure(const std::string& bdf, uint32_t op, const uint8_t* data, size_t size)
{
    const bool flag = op & 0x10;
    auto type = static_cast<secure_image_type_e>(fuzz_take(data, size, 1) % 6);
    return fuzz_card_pick(op, data, size, {
        [&] { (void)rfc_secure_image_info(flag ? "secure_info" : nullptr, type, bdf); },
        [&] { (void)rfc_secure_image_info_update(type, SECURE_IMAGE_UPDATE_AR_COUNTER_COMMIT, bdf); },
        [&] { (void)rfc_secure_boot_update(flag ? SECURE_BOOT_OPTION_DISABLE : SECURE_BOOT_OPTION_ENABLE, bdf); },
        [&] { (void)rfc_partition_signed_metadata(FLASH_PARTITION_SOC_UBOOT, bdf); },
        [&] { (void)rfc_image_signature_verify(FLASH_PARTITION_SOC_ZEPHYR, bdf); },
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const setup_s setup;
    uint32_t op = fuzz_take(data, size, 1);
    switch ((op >> 5) & 3) {
    case 0:
        return flash(setup.bdf, setup.image, op, data, size);
    case 1:
        return info(setup.bdf, op, data, size);
    default:
        return secure(setup.bdf, op, data, size);
    }
}
