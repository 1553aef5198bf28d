// what the firmware-update service tells about the card: card information,
// image versions, partition table (one partition or all), partition
// metadata and transceiver version. first byte: the operation, second the
// partition, then the card's answers

#include <cstdint>
#include <string>

#include "fuzz/fuzz_rfc_setup.h"
#include "fuzz/fuzz_transport.h"
#include "fwupdate/rfc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& bdf = fuzz_rfc_setup();
    uint32_t op = fuzz_take(data, size, 1);
    uint32_t partition = fuzz_take(data, size, 1) % (RFC_PARTITION_ALL + 2);
    fuzz_card_load(data, size);
    switch ((op & 0x0f) % 5) {
    case 0: {
        rfc_card_info_s info;
        (void)rfc_card_info_get(bdf, op & 0x10 ? "card_info" : nullptr, &info);
        break;
    }
    case 1: {
        rfc_image_version_info_u info;
        (void)rfc_version_info_get(bdf, op & 0x10 ? "version" : nullptr, &info);
        break;
    }
    case 2: {
        bool supported = false;
        (void)rfc_partition_info(bdf, partition, supported);
        break;
    }
    case 3:
        (void)rfc_partition_metadata(static_cast<flash_partition_e>(partition), bdf, op & 0x10 ? 1 : 0);
        break;
    default: {
        std::string version;
        (void)rfc_xcvr_version_get(partition, bdf, &version);
        break;
    }
    }
    return 0;
}
