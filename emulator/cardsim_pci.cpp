// what a pci function shows in sysfs: its config space (capabilities, bus
// numbers, bars), its vital product data and its resource lines

#include "emulator/cardsim_pci.h"

#include <fmt/format.h>

#include "ipc/le_bytes.h"

namespace {

constexpr size_t k_cap_vpd_at = 0x40;
constexpr uint8_t k_cap_id_vpd = 0x03;
constexpr size_t k_cap_express_at = 0x60;
constexpr uint8_t k_cap_id_express = 0x10;
constexpr uint16_t k_express_root_port_v2 = 0x0042;  // version 2, type 4
constexpr uint16_t k_ecap_id_aer = 0x0001, k_ecap_id_dpc = 0x001d;
constexpr size_t k_resource_lines = 13;  // six bars, rom, bridge windows
constexpr uint64_t k_flags_mem64 = 0x140204;

void put_tag(std::vector<uint8_t>& out, uint8_t tag, const std::vector<uint8_t>& data)
{
    out.push_back(tag);
    out.push_back(static_cast<uint8_t>(data.size()));
    out.push_back(static_cast<uint8_t>(data.size() >> 8));
    out.insert(out.end(), data.begin(), data.end());
}

}  // namespace

std::vector<uint8_t> cardsim_config_space(const cardsim_function_s& fn)
{
    std::vector<uint8_t> c(CARDSIM_CONFIG_SIZE, 0);
    le_put<uint16_t>(c.data(), c.size(), 0x00, fn.vendor);
    le_put<uint16_t>(c.data(), c.size(), 0x02, fn.device);
    le_put<uint16_t>(c.data(), c.size(), 0x04, 0x0006);  // memory space and bus master
    c[0x08] = 0x01;          // revision
    c[0x09] = static_cast<uint8_t>(fn.class_code);
    c[0x0a] = static_cast<uint8_t>(fn.class_code >> 8);
    c[0x0b] = static_cast<uint8_t>(fn.class_code >> 16);
    c[0x0e] = fn.bridge ? 0x01 : 0x00;
    if (fn.bridge) {
        c[0x18] = fn.primary_bus;
        c[0x19] = fn.secondary_bus;
        c[0x1a] = fn.subordinate_bus;
    } else {
        for (size_t i = 0; i < fn.bars.size() && i < 3; i++) {
            // 64-bit memory bars take two slots each
            le_put<uint32_t>(c.data(), c.size(), 0x10 + 8 * i, static_cast<uint32_t>(fn.bars[i].start) | 0x4);
            le_put<uint32_t>(c.data(), c.size(), 0x14 + 8 * i, static_cast<uint32_t>(fn.bars[i].start >> 32));
        }
    }
    if (!fn.serial.empty()) {
        le_put<uint16_t>(c.data(), c.size(), 0x06, 0x0010);  // capability list
        c[0x34] = k_cap_vpd_at;
        c[k_cap_vpd_at] = k_cap_id_vpd;
        c[k_cap_vpd_at + 1] = 0;
    }
    if (fn.root_port) {
        // lspci and setpci look for extended capabilities only on pcie
        // functions: the express capability comes first in the chain
        le_put<uint16_t>(c.data(), c.size(), 0x06, 0x0010);
        c[fn.serial.empty() ? 0x34 : k_cap_vpd_at + 1] = k_cap_express_at;
        c[k_cap_express_at] = k_cap_id_express;
        le_put<uint16_t>(c.data(), c.size(), k_cap_express_at + 2, k_express_root_port_v2);
    }
    if (fn.root_port && fn.error_caps) {
        // header: id, version 4 bits, next offset 12 bits
        le_put<uint32_t>(c.data(), c.size(), CARDSIM_ECAP_AER_AT,
                         k_ecap_id_aer | 2u << 16 | static_cast<uint32_t>(CARDSIM_ECAP_DPC_AT) << 20);
        le_put<uint32_t>(c.data(), c.size(), CARDSIM_ECAP_AER_AT + 8, CARDSIM_AER_UEMSK_DEFAULT);
        le_put<uint32_t>(c.data(), c.size(), CARDSIM_ECAP_DPC_AT, k_ecap_id_dpc | 1u << 16);
        le_put<uint16_t>(c.data(), c.size(), CARDSIM_ECAP_DPC_AT + 6, CARDSIM_DPC_CTL_DEFAULT);
    }
    return c;
}

std::vector<uint8_t> cardsim_vpd(const std::string& serial)
{
    std::vector<uint8_t> out;
    std::string id = "ORLIX emulated network card";
    put_tag(out, 0x82, std::vector<uint8_t>(id.begin(), id.end()));

    std::vector<uint8_t> ro = {'S', 'N', static_cast<uint8_t>(serial.size())};
    ro.insert(ro.end(), serial.begin(), serial.end());
    ro.insert(ro.end(), {'R', 'V', 1, 0});
    put_tag(out, 0x90, ro);
    // the checksum byte makes every byte up to it sum to zero
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < out.size(); i++) {
        sum = static_cast<uint8_t>(sum + out[i]);
    }
    out.back() = static_cast<uint8_t>(-sum);
    out.push_back(0x78);
    return out;
}

std::string cardsim_resource_text(const cardsim_function_s& fn)
{
    std::string text;
    for (size_t line = 0; line < k_resource_lines; line++) {
        // bars sit at even indexes: each 64-bit bar spans two
        size_t bar = line / 2;
        if (line < 6 && line % 2 == 0 && bar < fn.bars.size() && fn.bars[bar].size) {
            const auto& b = fn.bars[bar];
            text += fmt::format("0x{:016x} 0x{:016x} 0x{:016x}\n", b.start, b.start + b.size - 1, k_flags_mem64);
        } else {
            text += fmt::format("0x{:016x} 0x{:016x} 0x{:016x}\n", 0, 0, 0);
        }
    }
    return text;
}
