// the secure-boot answers of the firmware-update service: secure image
// information of each type, its update, secure boot update, the signed
// metadata and the signature check that follows its key name. first byte:
// the operation, second the image type, then the card's answers

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "fuzz/fuzz_files.h"
#include "fuzz/fuzz_rfc_setup.h"
#include "fuzz/fuzz_transport.h"
#include "fwupdate/rfc.h"

namespace {

// the public key the signature check sends, where the client looks for it
void key_setup()
{
    static const bool done = [] {
        const std::string& dir = fuzz_scratch_dir();
        std::string keys = dir + "/fwkeys";
        (void)mkdir(keys.c_str(), 0700);
        const std::string pem = "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n";
        for (const char* name : {"eng", "prod"}) {
            (void)fuzz_write_file(keys + "/" + name + "_key-pub.pem", reinterpret_cast<const uint8_t*>(pem.data()),
                                  pem.size());
        }
        setenv("ORLIX_CONF_DIR", dir.c_str(), 1);
        return true;
    }();
    (void)done;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& bdf = fuzz_rfc_setup();
    key_setup();
    uint32_t op = fuzz_take(data, size, 1);
    auto type = static_cast<secure_image_type_e>(fuzz_take(data, size, 1) % 6);
    fuzz_card_load(data, size);
    switch ((op & 0x0f) % 5) {
    case 0:
        (void)rfc_secure_image_info(op & 0x10 ? "secure_info" : nullptr, type, bdf);
        break;
    case 1:
        (void)rfc_secure_image_info_update(type, SECURE_IMAGE_UPDATE_AR_COUNTER_COMMIT, bdf);
        break;
    case 2:
        (void)rfc_secure_boot_update(op & 0x10 ? SECURE_BOOT_OPTION_DISABLE : SECURE_BOOT_OPTION_ENABLE, bdf);
        break;
    case 3:
        (void)rfc_partition_signed_metadata(FLASH_PARTITION_SOC_UBOOT, bdf);
        break;
    default:
        (void)rfc_image_signature_verify(FLASH_PARTITION_SOC_ZEPHYR, bdf);
        break;
    }
    return 0;
}
