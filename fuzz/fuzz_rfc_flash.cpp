// the flash operations of the firmware-update service: erase (by size, by
// digest, by sectors), chunked write of a file, image and checksum
// verification, startup image checks and selections, the operation markers.
// first byte: the operation, then the card's answers. an "in progress"
// answer aborts the poll instead of waiting for the next round.

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_rfc_setup.h"
#include "fuzz/fuzz_transport.h"
#include "fwupdate/rfc.h"
#include "fwupdate/rfc_wire.h"

namespace {

// an image of a few write chunks
const std::string& image_file()
{
    static const std::string path = [] {
        std::string bytes(2100, '\0');
        for (size_t i = 0; i < bytes.size(); i++) {
            bytes[i] = static_cast<char>(i * 7);
        }
        (void)fuzz_write_file(fuzz_scratch_dir() + "/image.bin", bytes);
        return fuzz_scratch_dir() + "/image.bin";
    }();
    return path;
}

const std::string k_digest(2 * RFC_SHA512_LEN, 'a');

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& bdf = fuzz_rfc_setup();
    const std::string& file = image_file();
    uint32_t op = fuzz_take(data, size, 1);
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
