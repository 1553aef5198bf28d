#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// the engine's vocabulary: firmware names, objects, types, the files they are
// made of, the card's flash partitions and its boot images

enum flash_partition_e : uint32_t {
    FLASH_PARTITION_SUC_BOOT = 0,
    FLASH_PARTITION_SUC_APP = 1,
    FLASH_PARTITION_SOC_PARTITION_TABLE = 2,
    FLASH_PARTITION_SOC_GOLD_UBOOTSPL = 3,
    FLASH_PARTITION_SOC_GOLD_ZEPHYR = 4,
    FLASH_PARTITION_SOFTROM_0 = 5,
    FLASH_PARTITION_SOFTROM_1 = 6,
    FLASH_PARTITION_HALLGARDFW = 7,
    FLASH_PARTITION_SOC_UBOOTSPL = 8,
    FLASH_PARTITION_SOC_UBOOT = 9,
    FLASH_PARTITION_SOC_ZEPHYR = 10,
    FLASH_PARTITION_SOC_DTB = 11,
    FLASH_PARTITION_OPROM = 12,
    FLASH_PARTITION_SOC_FWCFG = 13,
    FLASH_PARTITION_RUNTIME_LOG = 14,
    FLASH_PARTITION_COREDUMP = 15,
    FLASH_PARTITION_FPGA_BOOT = 16,
    FLASH_PARTITION_FPGA_CFG = 17,
    FLASH_PARTITION_SOC_UBOOTTPL = 18,
    FLASH_PARTITION_XCVR_EEPROM = 19,
    FLASH_PARTITION_FPGA_GOLD_CFG = 20,
    FLASH_PARTITION_MAX = 21,
};

enum firmware_image_type_e : uint32_t {
    FIRMWARE_IMAGE_FW_A = 0,
    FIRMWARE_IMAGE_FW_B = 1,
    FIRMWARE_IMAGE_FW_GOLD = 2,
    FIRMWARE_IMAGE_INVALID = 3,
};

using fw_name_map_t = std::unordered_map<std::string, std::string>;
using fw_files_map_t = std::unordered_map<std::string, std::vector<std::string>>;

// the constant tables of package revision "rev2"
const fw_name_map_t& fw_rev2_fwname_to_fwobj();
const fw_name_map_t& fw_rev2_fwobj_to_fwtype();
const fw_files_map_t& fw_rev2_fwtype_to_files();
const fw_name_map_t& fwname_to_partition();
const std::map<std::pair<std::string, std::string>, std::string>& fwfile_to_partition();
const std::vector<std::string>& asic_list();
const std::unordered_map<std::string, uint32_t>& fwname_to_weight();

// the calling thread's working copies, filled by fw_tables_select
fw_name_map_t& fwname_to_fwobj();
fw_name_map_t& fwobj_to_fwtype();
fw_files_map_t& fwtype_to_files();
// "rev2" or "rev3"; any other revision leaves the working copies as they are
void fw_tables_select(const std::string& revision);

// exact names; FLASH_PARTITION_MAX when not one
flash_partition_e flash_partition_from_name(const std::string& name);
// the partition's name, "" for FLASH_PARTITION_MAX and above
const char* flash_partition_name(uint32_t partition);

// "fw-a", "fw-b", "fw-gold" / "a35-goldfw"; anything else is invalid
firmware_image_type_e boot_image_type_from_name(const std::string& text);
const char* boot_image_type_name(firmware_image_type_e type);
