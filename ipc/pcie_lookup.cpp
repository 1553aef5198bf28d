// finding cards, their functions and their devices in sysfs and through lspci

#include <fmt/format.h>

#include <cinttypes>
#include <cstdio>
#include <map>

#include "ipc/nic_ipc.h"
#include "ipc/shell_command.h"
#include "ipc/sysfs_attr.h"

// card device ids in the order they are looked for
static const uint16_t k_card_device_ids[] = {0x1478, 0x000c, 0x1008};
static constexpr size_t k_lspci_line_max = 80;
static constexpr size_t k_domain_bus_len = 7;  // "DDDD:BB"
static constexpr uint32_t k_max_switch_devices = 32;
static constexpr size_t k_uuid_lookup_capacity = 16;

static std::string lspci_list_command(uint16_t vendor, uint16_t device)
{
    return ipc_shell_command("lspci -Dn -d {}", {fmt::format("{:04x}:{:04x}", vendor, device)});
}

uint16_t nic_ipc_asic_pcie_device_id()
{
    for (uint16_t id : k_card_device_ids) {
        auto result = ipc_shell_run(lspci_list_command(NIC_PCI_VENDOR_ID, id), 1);
        if (!result.lines.empty()) {
            return id;
        }
    }
    return NIC_PCI_DEV_CARD_DEFAULT;
}

int nic_ipc_card_pcie_devices(uint16_t vendor, uint16_t device, std::vector<std::string>& bdfs,
                              size_t capacity)
{
    bdfs.clear();
    capacity = std::min(capacity, NIC_LIST_CAPACITY_MAX);
    auto result = ipc_shell_run(lspci_list_command(vendor, device));
    if (!result.started) {
        return -1;
    }
    for (const auto& full : result.lines) {
        if (bdfs.size() >= capacity) {
            break;
        }
        std::string line = full.substr(0, k_lspci_line_max);
        line = line.substr(0, line.find(' '));
        // one entry per bus: further functions of a card are skipped
        if (!bdfs.empty() && bdfs.back().compare(0, k_domain_bus_len, line, 0, k_domain_bus_len) == 0) {
            continue;
        }
        bdfs.push_back(line.substr(0, NIC_BDF_MAX));
    }
    if (!result.ok()) {
        return -1;
    }
    return static_cast<int>(bdfs.size());
}

// "DDDD:BB:DD.F" -> domain and bus texts
static bool split_bdf(const std::string& bdf, std::string& domain, std::string& bus)
{
    size_t first = bdf.find(':');
    if (first == std::string::npos) {
        return false;
    }
    size_t second = bdf.find(':', first + 1);
    domain = bdf.substr(0, first);
    bus = bdf.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    return true;
}

int derive_pcie_bus_scan_range(const std::string& card_bdf, uint32_t* first_bus, uint32_t* last_bus)
{
    std::string domain, bus;
    if (!ipc_sysfs_name_ok(card_bdf) || !split_bdf(card_bdf, domain, bus)) {
        return -1;
    }
    uint32_t first = 0xFFFFFFFF, last = 0;
    for (uint32_t d = 0; d < k_max_switch_devices; d++) {
        std::string port = fmt::format("{}:{}:{:02x}.0", domain, bus, d);
        uint64_t secondary = 0, subordinate = 0;
        if (!ipc_sysfs_read_number(ipc_sysfs_pci_path(port, "secondary_bus_number"), 10, secondary)) {
            break;
        }
        first = std::min<uint32_t>(first, static_cast<uint32_t>(secondary));
        if (!ipc_sysfs_read_number(ipc_sysfs_pci_path(port, "subordinate_bus_number"), 10, subordinate)) {
            break;
        }
        last = std::max<uint32_t>(last, static_cast<uint32_t>(subordinate));
    }
    if (last == 0 || first == 0xFFFFFFFF) {
        return -1;
    }
    *first_bus = first;
    *last_bus = last;
    return 0;
}

int nic_ipc_get_device_id_from_bdf(const std::string& bdf, uint32_t* device_id)
{
    uint64_t vendor = 0, device = 0;
    if (!ipc_sysfs_name_ok(bdf) || !ipc_sysfs_read_number(ipc_sysfs_pci_path(bdf, "vendor"), 16, vendor) ||
        vendor != NIC_PCI_VENDOR_ID) {
        return -4;
    }
    if (!ipc_sysfs_read_number(ipc_sysfs_pci_path(bdf, "device"), 16, device)) {
        return -5;
    }
    *device_id = static_cast<uint32_t>(device);
    return 0;
}

int device_bdf_from_vmb_bdf(const std::string& card_bdf, uint16_t device_id, std::string& bdf)
{
    uint32_t first = 0, last = 0;
    if (derive_pcie_bus_scan_range(card_bdf, &first, &last) != 0) {
        return -1;
    }
    size_t colon = card_bdf.find(':');
    if (colon == std::string::npos || first > last) {
        return -1;
    }
    std::string domain = card_bdf.substr(0, std::min<size_t>(colon, 4));
    for (uint32_t bus = first; bus <= last; bus++) {
        std::vector<std::string> names;
        if (!ipc_sysfs_match(IPC_SYSFS_PCI_DEVICES, fmt::format("{}:{:02x}:*", domain, bus), names)) {
            continue;
        }
        for (const auto& name : names) {
            uint64_t id = 0;
            if (ipc_sysfs_read_number(ipc_sysfs_pci_path(name, "device"), 16, id) && id == device_id) {
                bdf = name.substr(0, NIC_BDF_MAX);
                return 0;
            }
        }
    }
    return -1;
}

int nic_ipc_vxc_core_bdf_from_card_bdf(const std::string& card_bdf, std::string& bdf)
{
    return device_bdf_from_vmb_bdf(card_bdf, NIC_PCI_DEV_CORE, bdf);
}

// the first entry of a driver's class folder for a function whose name holds tag
static int driver_device_path(const std::string& driver, const std::string& bdf, const char* cls,
                              const char* tag, const char* dev_prefix, std::string& path)
{
    std::vector<std::string> names;
    if (!ipc_sysfs_list(std::string(IPC_SYSFS_PCI_DRIVERS) + driver + "/" + bdf + "/" + cls, names)) {
        return -1;
    }
    for (const auto& name : names) {
        if (name.find(tag) != std::string::npos && ipc_sysfs_name_ok(name)) {
            path = dev_prefix + name;
            return 0;
        }
    }
    return -1;
}

int nic_vosk_device_path_from_vmb_bdf(const std::string& card_bdf, std::string& path)
{
    std::string ipc_bdf;
    int rc = device_bdf_from_vmb_bdf(card_bdf, NIC_PCI_DEV_IPC, ipc_bdf);
    if (rc != 0) {
        return rc;
    }
    return driver_device_path("vosk_ipc", ipc_bdf, "misc", "voskipcdev", "/dev/", path);
}

int nic_fwctl_device_path_from_vmb_bdf(const std::string& bdf, std::string& path)
{
    uint32_t id = 0;
    if (nic_ipc_get_device_id_from_bdf(bdf, &id) != 0) {
        return -5;
    }
    std::string core_bdf = bdf;
    if (id != NIC_PCI_DEV_CORE) {
        int rc = nic_ipc_vxc_core_bdf_from_card_bdf(bdf, core_bdf);
        if (rc != 0) {
            return rc;
        }
    }
    return driver_device_path("vxc_core", core_bdf, "fwctl", "fwctl", "/dev/fwctl/", path);
}

struct dev_info_function_s {
    uint16_t device_id;
    uint32_t flag;
    std::string nic_ipc_card_device_info_s::*bdf;
};

// functions found by id alone; ipc and core also need their device
static const dev_info_function_s k_plain_functions[] = {
    {NIC_PCI_DEV_RESOURCE, NIC_DEV_INFO_RESOURCE, &nic_ipc_card_device_info_s::rsc_bdf},
    {NIC_PCI_DEV_FUNC_1002, NIC_DEV_INFO_FUNC_1002, &nic_ipc_card_device_info_s::func_1002_bdf},
    {NIC_PCI_DEV_FUNC_1003, NIC_DEV_INFO_FUNC_1003, &nic_ipc_card_device_info_s::func_1003_bdf},
};

int nic_ipc_get_card_device_info(const std::string& card_bdf, nic_ipc_card_device_info_s* info)
{
    for (const auto& f : k_plain_functions) {
        if (device_bdf_from_vmb_bdf(card_bdf, f.device_id, info->*f.bdf) == 0) {
            info->flags |= f.flag;
        }
    }
    if (device_bdf_from_vmb_bdf(card_bdf, NIC_PCI_DEV_IPC, info->ipc_bdf) == 0 &&
        nic_vosk_device_path_from_vmb_bdf(card_bdf, info->ipc_dev_path) == 0) {
        info->flags |= NIC_DEV_INFO_IPC;
    }
    if (device_bdf_from_vmb_bdf(card_bdf, NIC_PCI_DEV_CORE, info->core_bdf) == 0 &&
        nic_fwctl_device_path_from_vmb_bdf(info->core_bdf, info->fwctl_dev_path) == 0) {
        info->flags |= NIC_DEV_INFO_CORE;
    }
    return 0;
}

int nic_ipc_get_card_info(const std::string& card_bdf, nic_ipc_card_info_s* info)
{
    nic_ipc_get_card_device_info(card_bdf, &info->dev_info);
    const auto& dev = info->dev_info;
    const std::string* serial_of = nullptr;
    if (dev.flags & NIC_DEV_INFO_IPC) {
        serial_of = &dev.ipc_bdf;
    } else if (dev.flags & NIC_DEV_INFO_CORE) {
        serial_of = &dev.core_bdf;
    }
    if (serial_of && !nic_ipc_serial_from_bdf(*serial_of, info->serial)) {
        return -1;
    }
    info->uuid = nic_ipc_uuid_from_serial(info->serial);
    return 0;
}

// serial number -> address of the functions of one device id
static std::map<std::string, std::string> serial_map(uint16_t device_id)
{
    std::vector<std::string> bdfs;
    (void)nic_ipc_card_pcie_devices(NIC_PCI_VENDOR_ID, device_id, bdfs, k_uuid_lookup_capacity);
    std::map<std::string, std::string> map;
    for (const auto& bdf : bdfs) {
        std::string serial;
        if (nic_ipc_serial_from_bdf(bdf, serial)) {
            map.emplace(serial, bdf);
        }
    }
    return map;
}

// the address of the card function fn_id whose serial the uuid names
static bool function_of_uuid(uint16_t fn_id, const std::string& uuid, std::string& fn_bdf)
{
    auto serials = serial_map(fn_id);
    std::string serial;
    if (serials.empty() || !nic_ipc_serial_from_uuid(uuid, serial)) {
        return false;
    }
    auto found = serials.find(serial);
    if (found == serials.end()) {
        return false;
    }
    fn_bdf = found->second;
    return true;
}

int nic_ipc_card_bdf_from_uuid(const std::string& uuid, std::string& card_bdf)
{
    std::vector<std::string> ipc_fns;
    (void)nic_ipc_card_pcie_devices(NIC_PCI_VENDOR_ID, NIC_PCI_DEV_IPC, ipc_fns, k_uuid_lookup_capacity);
    std::string fn_bdf;
    if (!function_of_uuid(ipc_fns.empty() ? NIC_PCI_DEV_CORE : NIC_PCI_DEV_IPC, uuid, fn_bdf)) {
        return -1;
    }
    std::vector<std::string> cards;
    (void)nic_ipc_card_pcie_devices(NIC_PCI_VENDOR_ID, nic_ipc_asic_pcie_device_id(), cards,
                                    k_uuid_lookup_capacity);
    for (const auto& card : cards) {
        std::string fn;
        if (device_bdf_from_vmb_bdf(card, NIC_PCI_DEV_IPC, fn) != 0 &&
            device_bdf_from_vmb_bdf(card, NIC_PCI_DEV_CORE, fn) != 0) {
            continue;
        }
        if (fn.compare(0, NIC_BDF_MAX, fn_bdf, 0, NIC_BDF_MAX) == 0) {
            card_bdf = card;
            return 0;
        }
    }
    return -1;
}

int nic_ipc_card_rsc_bdf_from_uuid(const std::string& uuid, std::string& rsc_bdf)
{
    std::string fn_bdf;
    if (!function_of_uuid(NIC_PCI_DEV_RESOURCE, uuid, fn_bdf)) {
        return -1;
    }
    rsc_bdf = fn_bdf.substr(0, NIC_BDF_MAX);
    return 0;
}

int nic_ipc_card_device_list_get(const std::string& bridge_bdf, std::vector<std::string>& bdfs,
                                 uint32_t* count)
{
    uint64_t secondary = 0, subordinate = 0;
    if (!ipc_sysfs_name_ok(bridge_bdf) ||
        !ipc_sysfs_read_number(ipc_sysfs_pci_path(bridge_bdf, "secondary_bus_number"), 10, secondary) ||
        !ipc_sysfs_read_number(ipc_sysfs_pci_path(bridge_bdf, "subordinate_bus_number"), 10, subordinate)) {
        return -1;
    }
    std::vector<std::string> names;
    if (!ipc_sysfs_list(IPC_SYSFS_PCI_DEVICES, names)) {
        return -1;
    }
    bdfs.clear();
    for (const auto& name : names) {
        if (name.size() < 12 || name[0] == '.') {
            continue;
        }
        unsigned bus = 0;
        if (sscanf(name.substr(5, 2).c_str(), "%x", &bus) != 1 || bus < secondary || bus > subordinate) {
            continue;
        }
        uint64_t vendor = 0;
        if (ipc_sysfs_read_number(ipc_sysfs_pci_path(name, "vendor"), 16, vendor) && vendor == NIC_PCI_VENDOR_ID) {
            bdfs.push_back(name.substr(0, NIC_BDF_MAX));
        }
    }
    *count = static_cast<uint32_t>(bdfs.size());
    return 0;
}

int nic_ipc_card_bdf_from_dev_bdf(const std::string& dev_bdf, std::string& card_bdf)
{
    uint32_t id = 0;
    int rc = nic_ipc_get_device_id_from_bdf(dev_bdf, &id);
    if (rc != 0) {
        return rc;
    }
    uint16_t card_id = nic_ipc_asic_pcie_device_id();
    if (id == card_id) {
        card_bdf = dev_bdf;
        return 0;
    }
    std::vector<std::string> cards;
    if (nic_ipc_card_pcie_devices(NIC_PCI_VENDOR_ID, card_id, cards, k_uuid_lookup_capacity) < 0) {
        return -1;
    }
    for (const auto& card : cards) {
        std::vector<std::string> fns;
        uint32_t count = 0;
        if (nic_ipc_card_device_list_get(card, fns, &count) != 0) {
            continue;
        }
        for (const auto& fn : fns) {
            if (fn.compare(0, NIC_BDF_MAX, dev_bdf, 0, NIC_BDF_MAX) == 0) {
                card_bdf = card;
                return 0;
            }
        }
    }
    return -5;
}

bool nic_ipc_is_device_bar_map_valid(const std::string& bdf)
{
    std::vector<std::string> lines;
    if (!ipc_sysfs_name_ok(bdf) || !ipc_sysfs_read_lines(ipc_sysfs_pci_path(bdf, "resource"), lines)) {
        return false;
    }
    bool assigned = false;
    for (const auto& line : lines) {
        uint64_t start = 0, end = 0, flags = 0;
        if (sscanf(line.c_str(), "%" SCNx64 " %" SCNx64 " %" SCNx64, &start, &end, &flags) != 3) {
            return false;
        }
        if (flags == 0 || (flags & 1)) {
            continue;
        }
        if (start == 0 && end == 0) {
            return false;
        }
        assigned = true;
    }
    return assigned;
}
