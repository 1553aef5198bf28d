// the engine's name tables and the working copies a package revision selects

#include "fwupdate/fwupdate_tables.h"

#include <iterator>

const fw_name_map_t& fw_rev2_fwname_to_fwobj()
{
    static const fw_name_map_t t = {
        {"partition_table", "partition_table"}, {"uboot_tpl", "uboot_tpl"}, {"suc", "suc"},
        {"soc", "soc"}, {"dtb", "device_config"}, {"cpld", "cpld"}, {"oprom", "oprom"},
        {"fw_cfg", "fw_cfg"}, {"goldfw", "gold"},
    };
    return t;
}

const fw_name_map_t& fw_rev2_fwobj_to_fwtype()
{
    // oprom has no type: it is installed by a step of its own
    static const fw_name_map_t t = {
        {"partition_table", "partition_table"}, {"uboot_tpl", "uboot_tpl"}, {"suc", "suc"}, {"soc", "soc"},
        {"device_config", "device_config"}, {"cpld", "cpld"}, {"fw_cfg", "fw_cfg"}, {"gold", "gold"},
    };
    return t;
}

const fw_files_map_t& fw_rev2_fwtype_to_files()
{
    static const fw_files_map_t t = {
        {"partition_table", {"image"}},
        {"uboot_tpl", {"image"}},
        {"suc", {"kernel_fit", "boot"}},
        {"soc", {"kernel_fit", "uboot", "uboot_spl"}},
        {"device_config", {"device_config"}},
        {"cpld", {"cpld"}},
        {"goldcpld", {"cpld"}},
        {"fw_cfg", {"fw_cfg"}},
        {"gold", {"kernel_fit", "goldubootspl"}},
    };
    return t;
}

const fw_name_map_t& fwname_to_partition()
{
    static const fw_name_map_t t = {
        {"partition_table", "soc-partition-table"}, {"dtb", "soc-dtb"}, {"oprom", "oprom"},
        {"fw_cfg", "soc-fwcfg"}, {"cpld", "fpga-cfg"}, {"goldcpld", "fpga-gold-cfg"},
    };
    return t;
}

const std::map<std::pair<std::string, std::string>, std::string>& fwfile_to_partition()
{
    static const std::map<std::pair<std::string, std::string>, std::string> t = {
        {{"kernel_fit", "soc"}, "soc-zephyr"},   {{"uboot", "soc"}, "soc-uboot"},
        {{"uboot_spl", "soc"}, "soc-ubootspl"},  {{"kernel_fit", "suc"}, "suc-app"},
        {{"boot", "suc"}, "suc-boot"},           {{"goldubootspl", "goldfw"}, "soc-gold-ubootspl"},
        {{"kernel_fit", "goldfw"}, "soc-gold-zephyr"},
    };
    return t;
}

const std::vector<std::string>& asic_list()
{
    static const std::vector<std::string> t = {"talmira"};
    return t;
}

const std::unordered_map<std::string, uint32_t>& fwname_to_weight()
{
    static const std::unordered_map<std::string, uint32_t> t = {
        {"suc-boot", 20},   {"suc-app", 90},         {"soc-partition-table", 20}, {"soc-gold-ubootspl", 20},
        {"soc-gold-zephyr", 80}, {"soc-ubootspl", 20}, {"soc-uboot", 20},          {"soc-uboottpl", 20},
        {"soc-zephyr", 90}, {"soc-dtb", 20},         {"oprom", 20},               {"fpga-boot", 100},
        {"fpga-cfg", 100},
    };
    return t;
}

// the working copies of one thread
static thread_local fw_name_map_t t_fwname_to_fwobj;
static thread_local fw_name_map_t t_fwobj_to_fwtype;
static thread_local fw_files_map_t t_fwtype_to_files;

fw_name_map_t& fwname_to_fwobj()
{
    return t_fwname_to_fwobj;
}

fw_name_map_t& fwobj_to_fwtype()
{
    return t_fwobj_to_fwtype;
}

fw_files_map_t& fwtype_to_files()
{
    return t_fwtype_to_files;
}

void fw_tables_select(const std::string& revision)
{
    if (revision == "rev2") {
        t_fwname_to_fwobj = fw_rev2_fwname_to_fwobj();
        t_fwobj_to_fwtype = fw_rev2_fwobj_to_fwtype();
        t_fwtype_to_files = fw_rev2_fwtype_to_files();
    } else if (revision == "rev3") {
        // no secure-package tables yet: every lookup misses
        t_fwname_to_fwobj.clear();
        t_fwobj_to_fwtype.clear();
        t_fwtype_to_files.clear();
    }
}

static const char* const k_partition_names[FLASH_PARTITION_MAX] = {
    "suc-boot",    "suc-app",      "soc-partition-table", "soc-gold-ubootspl", "soc-gold-zephyr", "softrom-0",
    "softrom-1",   "hallgardfw",   "soc-ubootspl",        "soc-uboot",         "soc-zephyr",      "soc-dtb",
    "oprom",       "soc-fwcfg",    "runtime-log",         "coredump",          "fpga-boot",       "fpga-cfg",
    "soc-uboottpl", "xcvr-eeprom", "fpga-gold-cfg",
};

flash_partition_e flash_partition_from_name(const std::string& name)
{
    for (uint32_t p = 0; p < FLASH_PARTITION_MAX; p++) {
        if (name == k_partition_names[p]) {
            return static_cast<flash_partition_e>(p);
        }
    }
    return FLASH_PARTITION_MAX;
}

const char* flash_partition_name(uint32_t partition)
{
    return partition < FLASH_PARTITION_MAX ? k_partition_names[partition] : "";
}

struct boot_image_name_s {
    const char* text;
    firmware_image_type_e type;
};

static const boot_image_name_s k_boot_image_names[] = {
    {"fw-a", FIRMWARE_IMAGE_FW_A},
    {"fw-b", FIRMWARE_IMAGE_FW_B},
    {"fw-gold", FIRMWARE_IMAGE_FW_GOLD},
    {"a35-goldfw", FIRMWARE_IMAGE_FW_GOLD},
};

firmware_image_type_e boot_image_type_from_name(const std::string& text)
{
    for (const auto& n : k_boot_image_names) {
        if (text == n.text) {
            return n.type;
        }
    }
    return FIRMWARE_IMAGE_INVALID;
}

const char* boot_image_type_name(firmware_image_type_e type)
{
    return type < FIRMWARE_IMAGE_INVALID ? k_boot_image_names[type].text : "invalid";
}
