// the firmware-update service's answers, as its client reads them. first
// byte: bits 5-6 the group, bit 4 a variant, the low bits the operation;
// groups 1 and 2 take a second byte (partition, image type); then the
// card's answers. group 0: flash erase (by size, digest, sectors), chunked
// write, image and checksum verification, startup image check and
// selection, operation markers; 1: card information, image versions,
// partition table, partition metadata, transceiver version; 2: secure image
// information and its update, secure boot update, signed metadata and the
// signature check. an "in progress" answer aborts a poll instead of waiting

#include <sys/stat.h>

#include <algorithm>
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
        std::generate(bytes.begin(), bytes.end(), [i = 0]() mutable { return static_cast<char>(i++ * 7); });
        (void)fuzz_write_file(image, bytes);
    }
};

const std::string k_digest(2 * RFC_SHA512_LEN, 'a');

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const setup_s setup;
    const std::string& bdf = setup.bdf;
    const std::string& file = setup.image;
    const uint32_t op = fuzz_take(data, size, 1);
    const uint32_t group = (op >> 5) & 3;
    const uint32_t arg = group ? fuzz_take(data, size, 1) : 0;
    const bool flag = op & 0x10;
    const bool& abort = g_fuzz_card_in_progress;
    const auto uboot = FLASH_PARTITION_SOC_UBOOT;
    const uint32_t partition = arg % (RFC_PARTITION_ALL + 2);
    const auto type = static_cast<secure_image_type_e>(arg % 6);
    std::string digest, version;
    rfc_card_info_s card;
    rfc_image_version_info_u versions;
    bool supported = false;
    if (group == 0) {
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
    if (group == 1) {
        return fuzz_card_pick(op, data, size, {
            [&] { (void)rfc_card_info_get(bdf, flag ? "card_info" : nullptr, &card); },
            [&] { (void)rfc_version_info_get(bdf, flag ? "version" : nullptr, &versions); },
            [&] { (void)rfc_partition_info(bdf, partition, supported); },
            [&] { (void)rfc_partition_metadata(static_cast<flash_partition_e>(partition), bdf, flag ? 1 : 0); },
            [&] { (void)rfc_xcvr_version_get(partition, bdf, &version); },
        });
    }
    return fuzz_card_pick(op, data, size, {
        [&] { (void)rfc_secure_image_info(flag ? "secure_info" : nullptr, type, bdf); },
        [&] { (void)rfc_secure_image_info_update(type, SECURE_IMAGE_UPDATE_AR_COUNTER_COMMIT, bdf); },
        [&] { (void)rfc_secure_boot_update(flag ? SECURE_BOOT_OPTION_DISABLE : SECURE_BOOT_OPTION_ENABLE, bdf); },
        [&] { (void)rfc_partition_signed_metadata(FLASH_PARTITION_SOC_UBOOT, bdf); },
        [&] { (void)rfc_image_signature_verify(FLASH_PARTITION_SOC_ZEPHYR, bdf); },
    });
}
