#pragma once

#include <cstdint>
#include <string>
#include <vector>

// the sysfs face of one pci function: its config space, vpd and resource
// table, as lspci and setpci read them

struct cardsim_bar_s {
    uint64_t start = 0;
    uint64_t size = 0;
};

struct cardsim_function_s {
    std::string bdf;  // "0000:3b:00.0"
    uint16_t vendor = 0;
    uint16_t device = 0;
    uint32_t class_code = 0;  // 0x020000, 0x060400, ...
    bool bridge = false;      // type 1 header with bus numbers
    uint8_t primary_bus = 0, secondary_bus = 0, subordinate_bus = 0;
    std::string serial;       // empty: no vpd capability
    std::vector<cardsim_bar_s> bars;  // memory bars, from bar 0
    bool root_port = false;   // a pcie express capability of a root port
    bool error_caps = false;  // with aer and dpc in the extended config space
};

// where the root port's extended capabilities sit, and the values they start with
constexpr size_t CARDSIM_ECAP_AER_AT = 0x100;
constexpr size_t CARDSIM_ECAP_DPC_AT = 0x160;
constexpr uint32_t CARDSIM_AER_UEMSK_DEFAULT = 0x00100000;  // unsupported request masked
constexpr uint16_t CARDSIM_DPC_CTL_DEFAULT = 0x0041;        // trigger on fatal errors, interrupt on

constexpr size_t CARDSIM_CONFIG_SIZE = 4096;

std::vector<uint8_t> cardsim_config_space(const cardsim_function_s& fn);

// an identifier string, a read-only section with the serial number and its
// checksum, and the end tag
std::vector<uint8_t> cardsim_vpd(const std::string& serial);

// the "resource" attribute: one line per bar and region, unused ones zero
std::string cardsim_resource_text(const cardsim_function_s& fn);
