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
    const bool flag = op & 0x10;
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
