// the secure-boot answers of the firmware-update service: secure image
// information of each type, its update, secure boot update, the signed
// metadata and the signature check that follows its key name. first byte:
// the operation, second the image type, then the card's answers

#include <cstdint>
#include <string>

#include "fuzz/fuzz_rfc_setup.h"
#include "fuzz/fuzz_transport.h"
#include "fwupdate/rfc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& bdf = fuzz_rfc_setup();
    uint32_t op = fuzz_take(data, size, 1);
    auto type = static_cast<secure_image_type_e>(fuzz_take(data, size, 1) % 6);
    const bool flag = op & 0x10;
    return fuzz_card_pick(op, data, size, {
        [&] { (void)rfc_secure_image_info(flag ? "secure_info" : nullptr, type, bdf); },
        [&] { (void)rfc_secure_image_info_update(type, SECURE_IMAGE_UPDATE_AR_COUNTER_COMMIT, bdf); },
        [&] { (void)rfc_secure_boot_update(flag ? SECURE_BOOT_OPTION_DISABLE : SECURE_BOOT_OPTION_ENABLE, bdf); },
        [&] { (void)rfc_partition_signed_metadata(FLASH_PARTITION_SOC_UBOOT, bdf); },
        [&] { (void)rfc_image_signature_verify(FLASH_PARTITION_SOC_ZEPHYR, bdf); },
    });
}
