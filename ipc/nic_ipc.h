#pragma once

// the host-card ipc layer: finding cards and exchanging requests

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ipc/ipc_cmd.h"

// the cards on the host's pcie bus, their functions and devices, and the
// channel to a card's firmware over the vosk ipc device or fwctl.

constexpr uint16_t NIC_PCI_VENDOR_ID = 0x1e7b;
constexpr uint16_t NIC_PCI_DEV_RESOURCE = 0x100f;
constexpr uint16_t NIC_PCI_DEV_IPC = 0x1012;
constexpr uint16_t NIC_PCI_DEV_CORE = 0x100c;
constexpr uint16_t NIC_PCI_DEV_FUNC_1002 = 0x1002;
constexpr uint16_t NIC_PCI_DEV_FUNC_1003 = 0x1003;
constexpr uint16_t NIC_PCI_DEV_CARD_DEFAULT = 0x1001;
constexpr size_t NIC_BDF_MAX = 32;         // characters of an address
constexpr size_t NIC_SERIAL_MAX = 14;      // characters of a serial number
constexpr size_t NIC_UUID_LEN = 36;
constexpr size_t NIC_LIST_CAPACITY_MAX = 255;

enum nic_ipc_transport_e : uint32_t {
    NIC_IPC_TRANSPORT_VOSK = 1,
    NIC_IPC_TRANSPORT_FWCTL = 2,
};

struct nic_ipc_handle_s {
    uint32_t transport = 0;
    ipc_cmd_dev_s dev;
};

// device information flags
constexpr uint32_t NIC_DEV_INFO_RESOURCE = 1u << 0;
constexpr uint32_t NIC_DEV_INFO_IPC = 1u << 1;
constexpr uint32_t NIC_DEV_INFO_CORE = 1u << 2;
constexpr uint32_t NIC_DEV_INFO_FUNC_1002 = 1u << 3;
constexpr uint32_t NIC_DEV_INFO_FUNC_1003 = 1u << 4;

struct nic_ipc_card_device_info_s {
    uint32_t flags = 0;
    std::string rsc_bdf;
    std::string ipc_bdf;
    std::string core_bdf;
    std::string func_1002_bdf;
    std::string func_1003_bdf;
    std::string ipc_dev_path;
    std::string fwctl_dev_path;
};

struct nic_ipc_card_info_s {
    std::string uuid;
    std::string serial;
    nic_ipc_card_device_info_s dev_info;
};

// transports (per thread: preferred transport, fallback allowed)
int nic_ipc_init(int transport, bool use_alternate);
int nic_ipc_open(nic_ipc_handle_s* handle, const char* card_bdf);
ssize_t nic_ipc_req_rsp(nic_ipc_handle_s* handle, uint32_t endpoint, uint32_t opcode, void* buf,
                        size_t req_len, size_t rsp_cap, uint32_t* rsp_errno);
void nic_ipc_close(nic_ipc_handle_s* handle);

int nic_vosk_ipc_open(nic_ipc_handle_s* handle, const char* path);
int nic_fwctl_ipc_open(nic_ipc_handle_s* handle, const char* path);
void nic_vosk_ipc_close(nic_ipc_handle_s* handle);
void nic_fwctl_ipc_close(nic_ipc_handle_s* handle);
ssize_t nic_vosk_ipc_req_rsp(nic_ipc_handle_s* handle, uint32_t endpoint, uint32_t opcode, void* buf,
                             size_t req_len, size_t rsp_cap, uint32_t* rsp_errno);
ssize_t nic_fwctl_ipc_req_rsp(nic_ipc_handle_s* handle, uint32_t endpoint, uint32_t opcode, void* buf,
                              size_t req_len, size_t rsp_cap, uint32_t* rsp_errno);
ssize_t nic_fwctl_ipc_req_rsp(nic_ipc_handle_s* handle, uint32_t endpoint, uint32_t opcode,
                              const void* req, size_t req_len, void* rsp, size_t rsp_cap,
                              uint32_t* rsp_errno);

// the fwctl scope of an exchange: 0 configuration, 1 debug read, 2 debug write
uint32_t nic_fwctl_scope(uint32_t endpoint, uint32_t opcode);
// the same for the two-buffer form: configuration or debug read only
uint32_t nic_fwctl_scope_rw(uint32_t endpoint, uint32_t opcode);

// card identity
std::string nic_ipc_uuid_from_serial(const std::string& serial);
// false for text that does not start with "4242" or holds non-hex digits
bool nic_ipc_serial_from_uuid(const std::string& uuid, std::string& serial);
// the serial number lspci shows for a function; false when there is none
bool nic_ipc_serial_from_bdf(const std::string& bdf, std::string& serial);

// pcie lookup
uint16_t nic_ipc_asic_pcie_device_id();
int nic_ipc_card_pcie_devices(uint16_t vendor, uint16_t device, std::vector<std::string>& bdfs,
                              size_t capacity);
int derive_pcie_bus_scan_range(const std::string& card_bdf, uint32_t* first_bus, uint32_t* last_bus);
int device_bdf_from_vmb_bdf(const std::string& card_bdf, uint16_t device_id, std::string& bdf);
int nic_ipc_vxc_core_bdf_from_card_bdf(const std::string& card_bdf, std::string& bdf);
int nic_ipc_get_device_id_from_bdf(const std::string& bdf, uint32_t* device_id);
int nic_vosk_device_path_from_vmb_bdf(const std::string& card_bdf, std::string& path);
int nic_fwctl_device_path_from_vmb_bdf(const std::string& bdf, std::string& path);
int nic_ipc_get_card_device_info(const std::string& card_bdf, nic_ipc_card_device_info_s* info);
int nic_ipc_get_card_info(const std::string& card_bdf, nic_ipc_card_info_s* info);
int nic_ipc_card_bdf_from_uuid(const std::string& uuid, std::string& card_bdf);
int nic_ipc_card_rsc_bdf_from_uuid(const std::string& uuid, std::string& rsc_bdf);
int nic_ipc_card_device_list_get(const std::string& bridge_bdf, std::vector<std::string>& bdfs,
                                 uint32_t* count);
int nic_ipc_card_bdf_from_dev_bdf(const std::string& dev_bdf, std::string& card_bdf);
bool nic_ipc_is_device_bar_map_valid(const std::string& bdf);
