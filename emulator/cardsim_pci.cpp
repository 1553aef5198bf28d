#include "emulator/cardsim_pci.h"

#include <fmt/format.h>

namespace {

constexpr size_t k_cap_vpd_at = 0x40;
constexpr uint8_t k_cap_id_vpd = 0x03;
constexpr size_t k_cap_express_at = 0x60;
constexpr uint8_t k_cap_id_express = 0x10;
constexpr uint16_t k_express_root_port_v2 = 0x0042;  // version 2, type 4
constexpr uint16_t k_ecap_id_aer = 0x0001, k_ecap_id_dpc = 0x001d;
constexpr size_t k_resource_lines = 13;  // six bars, rom, bridge windows
constexpr uint64_t k_flags_mem64 = 0x140204;

void put16(std::vector<uint8_t>& b, size_t at, uint16_t v)
{
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    put16(b, at, static_cast<uint16_t>(v));
    put16(b, at + 2, static_cast<uint16_t>(v >> 16));
}

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
    put16(c, 0x00, fn.vendor);
    put16(c, 0x02, fn.device);
    put16(c, 0x04, 0x0006);  // memory space and bus master
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
            put32(c, 0x10 + 8 * i, static_cast<uint32_t>(fn.bars[i].start) | 0x4);
            put32(c, 0x14 + 8 * i, static_cast<uint32_t>(fn.bars[i].start >> 32));
        }
    }
    if (!fn.serial.empty()) {
        put16(c, 0x06, 0x0010);  // capability list
        c[0x34] = k_cap_vpd_at;
        c[k_cap_vpd_at] = k_cap_id_vpd;
        c[k_cap_vpd_at + 1] = 0;
    }
    if (fn.root_port) {
        // lspci and setpci look for extended capabilities only on pcie
        // functions: the express capability comes first in the chain
        put16(c, 0x06, 0x0010);
        c[fn.serial.empty() ? 0x34 : k_cap_vpd_at + 1] = k_cap_express_at;
        c[k_cap_express_at] = k_cap_id_express;
        put16(c, k_cap_express_at + 2, k_express_root_port_v2);
    }
    if (fn.root_port && fn.error_caps) {
        // header: id, version 4 bits, next offset 12 bits
        put32(c, CARDSIM_ECAP_AER_AT, k_ecap_id_aer | 2u << 16 | static_cast<uint32_t>(CARDSIM_ECAP_DPC_AT) << 20);
        put32(c, CARDSIM_ECAP_AER_AT + 8, CARDSIM_AER_UEMSK_DEFAULT);
        put32(c, CARDSIM_ECAP_DPC_AT, k_ecap_id_dpc | 1u << 16);
        put16(c, CARDSIM_ECAP_DPC_AT + 6, CARDSIM_DPC_CTL_DEFAULT);
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
