#pragma once

// the emulated host's own parts, shared by its builder (cardsim_host.cpp),
// its counters (cardsim_counters.cpp) and its emulated kernel
// (cardsim_kernel.cpp): what each card keeps, the layout of its functions,
// and the driver folders the kernel keeps

#include <umockdev.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "emulator/cardsim_host.h"

struct cardsim_host::card_s {
    cardsim_card_info_s info;
    std::unique_ptr<cardsim_firmware> fw;
    uint64_t step = 1;
    uint8_t* mem = nullptr;  // resource2, shared with the host's mapping
    UMockdevIoctlBase* ipc_handler = nullptr;
    UMockdevIoctlBase* fwctl_handler = nullptr;
    // the driver let go of the card: calls on descriptors still open fail
    std::atomic<bool> unplugged{false};
    std::map<std::string, std::string> syspaths;  // bdf -> /sys/devices/...
    size_t index = 0;
    cardsim_card_spec_s spec;
    // while removed: the links the tree had into the card's folders, in the
    // order a rescan puts them back, and the resource tables
    std::vector<std::pair<std::string, std::string>> removed_links;
    std::map<std::string, std::string> resources;
    bool present = false;            // the functions below the root port are in the tree
    uint16_t unassigned_device = 0;  // comes back from the next rescan without its bar
};

constexpr uint32_t CARDSIM_CLASS_BRIDGE = 0x060400, CARDSIM_CLASS_NETWORK = 0x020000, CARDSIM_CLASS_OTHER = 0x088000;

// the functions below the card function: bus offset from the card's bus,
// device, function, id, class, where the info keeps the address, and the
// host driver that takes it (null for none)
struct cardsim_fn_layout_s {
    uint32_t bus_offset;
    uint32_t dev, fn;
    uint16_t device;
    uint32_t class_code;
    std::string cardsim_card_info_s::*bdf;
    const char* driver;
};

inline const cardsim_fn_layout_s CARDSIM_FUNCTIONS[] = {
    {1, 0, 0, 0x100f, CARDSIM_CLASS_OTHER, &cardsim_card_info_s::rsc_bdf, nullptr},
    {1, 0, 1, 0x1012, CARDSIM_CLASS_OTHER, &cardsim_card_info_s::ipc_bdf, "vosk_ipc"},
    {1, 0, 2, 0x100c, CARDSIM_CLASS_NETWORK, &cardsim_card_info_s::core_bdf, "vxc_core"},
    {2, 0, 0, 0x1002, CARDSIM_CLASS_NETWORK, &cardsim_card_info_s::func_1002_bdf, "plenx"},
    {2, 0, 1, 0x1003, CARDSIM_CLASS_NETWORK, &cardsim_card_info_s::func_1003_bdf, nullptr},
};

// the host drivers of the table above; the network function's driver makes
// an auxiliary device that its own driver takes
inline const char* const CARDSIM_PCI_DRIVERS[] = {"vosk_ipc", "vxc_core", "plenx"};
constexpr const char* CARDSIM_AUX_DRIVER = "plenx_rdma";

// the host driver of the card's function at this address; null for none
const char* cardsim_driver_at(const cardsim_card_info_s& info, const std::string& bdf);

bool cardsim_make_dirs(const std::string& path);
// a driver folder with the bind and unbind files the kernel gives it
bool cardsim_make_driver_dir(const std::string& dir);
// a driver folder entry for a function, and the function's driver link
bool cardsim_bind_driver(const std::string& root, const std::string& driver, const std::string& bdf,
                         const std::string& syspath, const std::string& bus = "pci");
// the auxiliary device's uevent, naming its driver while one is bound
void cardsim_aux_uevent(const std::string& dir, bool bound);

inline UMockdevTestbed* cardsim_tb(void* p)
{
    return static_cast<UMockdevTestbed*>(p);
}
