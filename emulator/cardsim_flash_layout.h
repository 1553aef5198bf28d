#pragma once

// the card's flash as its firmware-update service describes it: the
// partitions, the version records, the boot order, and the answer fields
// every exchange fills in. shared by the service's exchanges
// (cardsim_flash.cpp, cardsim_flash_info.cpp) and its state (cardsim_flash_state.cpp)

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "emulator/cardsim_flash.h"

namespace cardsim_flash_layout {

struct partition_def_s {
    const char* name;
    size_t size;
    const char* version_a;  // the version entry that describes it, by bank; null: none
    const char* version_b;
    bool gold;
    bool upgradable;
    bool signed_image;
};

constexpr size_t KiB = 1024, MiB = 1024 * KiB;

// flash_partition_e order
inline const partition_def_s k_parts[CARDSIM_FLASH_PARTITIONS] = {
    {"suc-boot", 256 * KiB, "uboot_a", "uboot_b", false, true, false},
    {"suc-app", 1 * MiB, "app_a", "app_b", false, true, false},
    {"soc-partition-table", 64 * KiB, nullptr, nullptr, false, true, false},
    {"soc-gold-ubootspl", 256 * KiB, "Gold Ubootspl", "Gold Ubootspl", true, true, true},
    {"soc-gold-zephyr", 4 * MiB, "Gold Zephyr", "Gold Zephyr", true, true, true},
    {"softrom-0", 256 * KiB, "softrom_0", "softrom_0", false, true, false},
    {"softrom-1", 256 * KiB, "softrom_1", "softrom_1", false, true, false},
    {"hallgardfw", 512 * KiB, "Hallgard-A", "Hallgard-B", false, true, true},
    {"soc-ubootspl", 256 * KiB, "Ubootspl-A", "Ubootspl-B", false, true, true},
    {"soc-uboot", 1 * MiB, "Uboot-A", "Uboot-B", false, true, true},
    {"soc-zephyr", 4 * MiB, "Zephyr-A", "Zephyr-B", false, true, true},
    {"soc-dtb", 256 * KiB, "DTB-A", "DTB-B", false, true, false},
    {"oprom", 256 * KiB, "Oprom-A", "Oprom-B", false, true, false},
    {"soc-fwcfg", 256 * KiB, nullptr, nullptr, false, true, false},
    {"runtime-log", 1 * MiB, nullptr, nullptr, false, false, false},
    {"coredump", 2 * MiB, nullptr, nullptr, false, false, false},
    {"fpga-boot", 1 * MiB, "fpga_boot_a", "fpga_boot_b", false, true, false},
    {"fpga-cfg", 1 * MiB, "fpga_cfg_a", "fpga_cfg_b", false, true, false},
    {"soc-uboottpl", 256 * KiB, "Uboottpl", "Uboottpl", false, true, true},
    {"xcvr-eeprom", 256 * KiB, nullptr, nullptr, false, true, false},
    {"fpga-gold-cfg", 1 * MiB, nullptr, nullptr, true, true, false},
};

// VERSION_INFO_GET groups, by selector
inline const std::vector<std::vector<const char*>> k_version_groups = {
    {"uboot_a", "app_a", "uboot_b", "app_b"},
    {"fpga_boot_a", "fpga_cfg_a", "fpga_boot_b", "fpga_cfg_b"},
    {"softrom_0", "softrom_1", "Uboottpl", "Gold Ubootspl", "Gold Zephyr"},
    {"Hallgard-A", "Ubootspl-A", "Uboot-A", "Zephyr-A", "DTB-A Name", "DTB-A", "Oprom-A", "Hallgard-B",
     "Ubootspl-B", "Uboot-B", "Zephyr-B", "DTB-B Name", "DTB-B", "Oprom-B"},
};

// the SoC partitions a main image boots from, and those of the gold image
inline const uint32_t k_main_boot_parts[] = {8, 9, 10};  // soc-ubootspl, soc-uboot, soc-zephyr
inline const uint32_t k_gold_boot_parts[] = {3, 4};      // soc-gold-ubootspl, soc-gold-zephyr

// the boot order: the selected image first, then the others in turn
inline const uint32_t k_boot_order[3][3] = {
    {CARDSIM_IMAGE_A, CARDSIM_IMAGE_B, CARDSIM_IMAGE_GOLD},
    {CARDSIM_IMAGE_B, CARDSIM_IMAGE_A, CARDSIM_IMAGE_GOLD},
    {CARDSIM_IMAGE_GOLD, CARDSIM_IMAGE_A, CARDSIM_IMAGE_B},
};

constexpr const char* k_default_version = "1.4.0";
constexpr uint32_t k_ipc_version = 1;
constexpr size_t k_version_field = 32;

// NUL-padded text in a field of `field` bytes, the last byte always NUL
inline void put_text(std::vector<uint8_t>& b, size_t at, size_t field, const std::string& text)
{
    size_t n = std::min(text.size(), field - 1);
    if (at + n <= b.size()) {
        memcpy(b.data() + at, text.data(), n);
    }
}

inline void put_digest(std::vector<uint8_t>& b, const cardsim_sha512::digest_t& d)
{
    std::copy(d.begin(), d.end(), b.begin() + 1);
}

// the one-byte (or word) status most answers start with
inline void status8(std::vector<uint8_t>& b, uint8_t s)
{
    b[0] = s;
}

}  // namespace cardsim_flash_layout
