// building the emulated host: per card a root port, the card function with
// its bus range, and below it the resource, ipc, core and two further
// functions; driver folders, device nodes, card memory

#include "emulator/cardsim_host.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <umockdev.h>

#include <fmt/format.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>

#include "emulator/cardsim_devices.h"
#include "emulator/cardsim_pci.h"

namespace {

constexpr uint16_t k_root_port_vendor = 0x8086, k_root_port_device = 0x2030;
constexpr uint32_t k_class_bridge = 0x060400, k_class_network = 0x020000, k_class_other = 0x088000;
constexpr uint32_t k_first_bus = 0x20, k_buses_per_card = 4;
constexpr uint64_t k_bar_base = 0xc0000000, k_bar_span_per_card = 0x4000000;
constexpr uint32_t k_hdr_magic = 0x70616c78, k_hdr_version = 1;

// the functions below the card function: bus offset from the card's bus,
// device, function, id, class, and where the info keeps the address
struct fn_layout_s {
    uint32_t bus_offset;
    uint32_t dev, fn;
    uint16_t device;
    uint32_t class_code;
    std::string cardsim_card_info_s::*bdf;
};

const fn_layout_s k_functions[] = {
    {1, 0, 0, 0x100f, k_class_other, &cardsim_card_info_s::rsc_bdf},
    {1, 0, 1, 0x1012, k_class_other, &cardsim_card_info_s::ipc_bdf},
    {1, 0, 2, 0x100c, k_class_network, &cardsim_card_info_s::core_bdf},
    {2, 0, 0, 0x1002, k_class_network, &cardsim_card_info_s::func_1002_bdf},
    {2, 0, 1, 0x1003, k_class_network, &cardsim_card_info_s::func_1003_bdf},
};

std::string bdf_text(uint32_t bus, uint32_t dev, uint32_t fn)
{
    return fmt::format("0000:{:02x}:{:02x}.{:x}", bus, dev, fn);
}

bool make_dirs(const std::string& path)
{
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return !ec;
}

}  // namespace

struct cardsim_host::card_s {
    cardsim_card_info_s info;
    std::unique_ptr<cardsim_firmware> fw;
    uint64_t step = 1;
    uint8_t* mem = nullptr;  // resource2, shared with the host's mapping
    UMockdevIoctlBase* ipc_handler = nullptr;
    UMockdevIoctlBase* fwctl_handler = nullptr;
    std::map<std::string, std::string> syspaths;  // bdf -> /sys/devices/...
};

static UMockdevTestbed* tb_of(void* p)
{
    return static_cast<UMockdevTestbed*>(p);
}

// one pci function in the testbed; its /sys path, or empty
static std::string add_function(UMockdevTestbed* tb, const cardsim_function_s& fn, const std::string& parent)
{
    std::string vendor = fmt::format("0x{:04x}", fn.vendor), device = fmt::format("0x{:04x}", fn.device);
    std::string cls = fmt::format("0x{:06x}", fn.class_code);
    std::string resource = cardsim_resource_text(fn);
    std::string secondary = std::to_string(fn.secondary_bus), subordinate = std::to_string(fn.subordinate_bus);
    std::vector<const char*> attrs = {"vendor", vendor.c_str(), "device", device.c_str(),
                                      "subsystem_vendor", vendor.c_str(), "subsystem_device", device.c_str(),
                                      "class", cls.c_str(), "irq", "0", "resource", resource.c_str()};
    if (fn.bridge) {
        attrs.insert(attrs.end(), {"secondary_bus_number", secondary.c_str(), "subordinate_bus_number",
                                   subordinate.c_str()});
    }
    attrs.push_back(nullptr);
    std::string pci_id = fmt::format("{:04X}:{:04X}", fn.vendor, fn.device);
    const char* props[] = {"PCI_SLOT_NAME", fn.bdf.c_str(), "PCI_ID", pci_id.c_str(), nullptr};
    gchar* path = umockdev_testbed_add_devicev(tb, "pci", fn.bdf.c_str(), parent.empty() ? nullptr : parent.c_str(),
                                               const_cast<gchar**>(attrs.data()), const_cast<gchar**>(props));
    if (path == nullptr) {
        return {};
    }
    std::string syspath = path;
    g_free(path);
    auto config = cardsim_config_space(fn);
    umockdev_testbed_set_attribute_binary(tb, syspath.c_str(), "config", config.data(), config.size());
    if (!fn.serial.empty()) {
        auto vpd = cardsim_vpd(fn.serial);
        umockdev_testbed_set_attribute_binary(tb, syspath.c_str(), "vpd", vpd.data(), vpd.size());
    }
    return syspath;
}

// a driver folder entry for a function, and the function's driver link
static bool bind_driver(const std::string& root, const std::string& driver, const std::string& bdf,
                        const std::string& syspath)
{
    std::string dir = root + "/sys/bus/pci/drivers/" + driver;
    if (!make_dirs(dir)) {
        return false;
    }
    std::string entry = dir + "/" + bdf;
    unlink(entry.c_str());
    std::string link = root + syspath + "/driver";
    unlink(link.c_str());
    return symlink((root + syspath).c_str(), entry.c_str()) == 0 && symlink(dir.c_str(), link.c_str()) == 0;
}

static bool add_char_device(UMockdevTestbed* tb, const std::string& syspath, const std::string& cls,
                            const std::string& name, const std::string& devnode, const std::string& devnum,
                            std::string& error)
{
    // the /sys prefix is implied in the description
    std::string desc = fmt::format("P: {}/{}/{}\nN: {}\nE: SUBSYSTEM={}\nE: DEVNAME={}\nA: dev={}\n",
                                   syspath.substr(4), cls, name, devnode.substr(5), cls, devnode, devnum);
    GError* err = nullptr;
    if (!umockdev_testbed_add_from_string(tb, desc.c_str(), &err)) {
        error = fmt::format("cannot add {}: {}", devnode, err ? err->message : "?");
        g_clear_error(&err);
        return false;
    }
    return true;
}

static uint8_t* map_file(const std::string& path, size_t size)
{
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    void* va = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return va == MAP_FAILED ? nullptr : static_cast<uint8_t*>(va);
}

static void put_le(uint8_t* p, uint64_t v, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

cardsim_host::cardsim_host(const cardsim_host_options_s& options)
{
    if (options.cards > CARDSIM_CARDS_MAX) {
        error_ = fmt::format("at most {} cards", CARDSIM_CARDS_MAX);
        return;
    }
    testbed_ = umockdev_testbed_new();
    for (size_t i = 0; i < options.cards && ok(); i++) {
        cardsim_card_spec_s spec = i < options.specs.size() ? options.specs[i] : cardsim_default_card(i);
        if (spec.lifs.size() > CARDSIM_LIF_MAX) {
            error_ = fmt::format("card {}: at most {} LIFs", i, CARDSIM_LIF_MAX);
            break;
        }
        (void)build_card_(i, spec);
    }
    if (ok() && options.tick_ms > 0) {
        ticker_ = std::thread(&cardsim_host::ticker_loop_, this, options.tick_ms);
    }
}

bool cardsim_host::build_card_(size_t index, const cardsim_card_spec_s& spec)
{
    UMockdevTestbed* tb = tb_of(testbed_);
    std::string root = root_dir();
    // listed at once, so that whatever is attached is also released
    cards_.push_back(std::make_unique<card_s>());
    card_s* card = cards_.back().get();
    card->fw = std::make_unique<cardsim_firmware>(spec);
    card->step = spec.counter_step;
    cardsim_card_info_s& info = card->info;
    info.serial = spec.serial;
    uint32_t bus = k_first_bus + k_buses_per_card * static_cast<uint32_t>(index);

    cardsim_function_s port;
    port.bdf = info.root_port_bdf = bdf_text(0, static_cast<uint32_t>(index) + 1, 0);
    port.vendor = k_root_port_vendor;
    port.device = k_root_port_device;
    port.class_code = k_class_bridge;
    port.bridge = true;
    port.secondary_bus = static_cast<uint8_t>(bus);
    port.subordinate_bus = static_cast<uint8_t>(bus + 2);
    std::string port_path = add_function(tb, port, "");

    // the card function is the upstream port of the card's own switch
    cardsim_function_s cardfn;
    cardfn.bdf = info.card_bdf = bdf_text(bus, 0, 0);
    cardfn.vendor = CARDSIM_VENDOR;
    cardfn.device = CARDSIM_CARD_DEVICE;
    cardfn.class_code = k_class_bridge;
    cardfn.bridge = true;
    cardfn.primary_bus = static_cast<uint8_t>(bus);
    cardfn.secondary_bus = static_cast<uint8_t>(bus + 1);
    cardfn.subordinate_bus = static_cast<uint8_t>(bus + 2);
    std::string card_path = port_path.empty() ? "" : add_function(tb, cardfn, port_path);
    if (card_path.empty()) {
        error_ = fmt::format("card {}: cannot add its pci functions", index);
        return false;
    }
    card->syspaths[info.root_port_bdf] = port_path;
    card->syspaths[info.card_bdf] = card_path;

    uint64_t bar = k_bar_base + k_bar_span_per_card * index;
    for (const auto& f : k_functions) {
        cardsim_function_s fn;
        fn.bdf = info.*f.bdf = bdf_text(bus + f.bus_offset, f.dev, f.fn);
        fn.vendor = CARDSIM_VENDOR;
        fn.device = f.device;
        fn.class_code = f.class_code;
        fn.serial = spec.serial;
        if (f.device == 0x100f) {
            fn.bars = {{bar, CARDSIM_REG_SIZE}, {bar + 0x1000000, CARDSIM_MEM_SIZE}, {bar + 0x2000000, CARDSIM_HDR_SIZE}};
        } else {
            fn.bars = {{bar + 0x3000000 + 0x100000 * (&f - k_functions), 0x10000}};
        }
        std::string path = add_function(tb, fn, card_path);
        if (path.empty()) {
            error_ = fmt::format("card {}: cannot add function {}", index, fn.bdf);
            return false;
        }
        card->syspaths[fn.bdf] = path;
    }

    // the resource function's windows: registers, memory and the header
    const std::string& rsc_path = card->syspaths[info.rsc_bdf];
    std::vector<uint8_t> zeros(CARDSIM_MEM_SIZE, 0);
    umockdev_testbed_set_attribute_binary(tb, rsc_path.c_str(), "resource0", zeros.data(), CARDSIM_REG_SIZE);
    umockdev_testbed_set_attribute_binary(tb, rsc_path.c_str(), "resource2", zeros.data(), CARDSIM_MEM_SIZE);
    std::vector<uint8_t> hdr(CARDSIM_HDR_SIZE, 0);
    put_le(&hdr[0], k_hdr_magic, 4);
    put_le(&hdr[4], k_hdr_version, 4);
    put_le(&hdr[16], CARDSIM_REG_BASE, 8);
    put_le(&hdr[24], CARDSIM_MEM_BASE, 8);
    umockdev_testbed_set_attribute_binary(tb, rsc_path.c_str(), "resource4", hdr.data(), hdr.size());
    card->mem = map_file(root + rsc_path + "/resource2", CARDSIM_MEM_SIZE);
    if (card->mem == nullptr) {
        error_ = fmt::format("card {}: cannot map its memory: {}", index, strerror(errno));
        return false;
    }

    const std::string& ipc_path = card->syspaths[info.ipc_bdf];
    const std::string& core_path = card->syspaths[info.core_bdf];
    if (!bind_driver(root, "vosk_ipc", info.ipc_bdf, ipc_path) || !bind_driver(root, "vxc_core", info.core_bdf, core_path)) {
        error_ = fmt::format("card {}: cannot make its driver folders: {}", index, strerror(errno));
        return false;
    }
    if (spec.ipc_device) {
        info.ipc_devnode = fmt::format("/dev/voskipcdev{}", index);
        if (!add_char_device(tb, ipc_path, "misc", fmt::format("voskipcdev{}", index), info.ipc_devnode,
                             fmt::format("10:{}", 60 + index), error_)) {
            return false;
        }
        card->ipc_handler = cardsim_ipc_device_new(card->fw.get());
        if (!cardsim_attach(tb, info.ipc_devnode, card->ipc_handler, error_)) {
            return false;
        }
    }
    if (spec.fwctl_device) {
        info.fwctl_devnode = fmt::format("/dev/fwctl/fwctl{}", index);
        if (!add_char_device(tb, core_path, "fwctl", fmt::format("fwctl{}", index), info.fwctl_devnode,
                             fmt::format("239:{}", index), error_)) {
            return false;
        }
        card->fwctl_handler = cardsim_fwctl_device_new(card->fw.get());
        if (!cardsim_attach(tb, info.fwctl_devnode, card->fwctl_handler, error_)) {
            return false;
        }
    }
    return true;
}

cardsim_host::~cardsim_host()
{
    stop_ = true;
    if (ticker_.joinable()) {
        ticker_.join();
    }
    UMockdevTestbed* tb = tb_of(testbed_);
    for (auto& card : cards_) {
        for (const auto* node : {&card->info.ipc_devnode, &card->info.fwctl_devnode}) {
            if (!node->empty()) {
                GError* err = nullptr;
                umockdev_testbed_detach_ioctl(tb, node->c_str(), &err);
                g_clear_error(&err);
            }
        }
        if (card->ipc_handler) {
            g_object_unref(card->ipc_handler);
        }
        if (card->fwctl_handler) {
            g_object_unref(card->fwctl_handler);
        }
        if (card->mem) {
            munmap(card->mem, CARDSIM_MEM_SIZE);
        }
    }
    cards_.clear();
    if (tb) {
        g_object_unref(tb);
    }
}

const cardsim_card_info_s& cardsim_host::card(size_t index) const
{
    return cards_.at(index)->info;
}

cardsim_firmware& cardsim_host::firmware(size_t index)
{
    return *cards_.at(index)->fw;
}

void cardsim_host::set_fault(size_t index, const cardsim_fault_s& fault)
{
    cards_.at(index)->fw->set_fault(fault);
}

cardsim_flash& cardsim_host::flash(size_t index)
{
    return cards_.at(index)->fw->flash();
}

std::vector<uint8_t> cardsim_host::partition_bytes(size_t index, uint32_t partition) const
{
    return cards_.at(index)->fw->flash().bytes(partition);
}

uint32_t cardsim_host::boot_image(size_t index) const
{
    return cards_.at(index)->fw->flash().boot_image();
}

void cardsim_host::set_flash_fault(size_t index, const cardsim_flash_fault_s& fault)
{
    cards_.at(index)->fw->flash().set_fault(fault);
}

static uint64_t* slot(uint8_t* mem, uint64_t card_addr)
{
    if (card_addr < CARDSIM_MEM_BASE || card_addr + 8 > CARDSIM_MEM_BASE + CARDSIM_MEM_SIZE || card_addr % 8) {
        return nullptr;
    }
    return reinterpret_cast<uint64_t*>(mem + (card_addr - CARDSIM_MEM_BASE));
}

uint64_t cardsim_host::counter(size_t index, uint64_t card_addr) const
{
    uint8_t* mem = cards_.at(index)->mem;
    uint64_t* p = mem ? slot(mem, card_addr) : nullptr;
    return p ? __atomic_load_n(p, __ATOMIC_RELAXED) : 0;
}

void cardsim_host::set_counter(size_t index, uint64_t card_addr, uint64_t value)
{
    uint8_t* mem = cards_.at(index)->mem;
    if (uint64_t* p = mem ? slot(mem, card_addr) : nullptr) {
        __atomic_store_n(p, value, __ATOMIC_RELAXED);
    }
}

// slot k of every counter block grows by step * (k + 1)
static void advance_block(uint8_t* mem, uint64_t first, uint64_t size, uint64_t step)
{
    for (uint64_t k = 0; k < size / 8; k++) {
        uint64_t* p = slot(mem, first + 8 * k);
        __atomic_fetch_add(p, step * (k + 1), __ATOMIC_RELAXED);
    }
}

void cardsim_host::tick()
{
    for (auto& card : cards_) {
        if (card->mem == nullptr) {
            continue;
        }
        advance_block(card->mem, CARDSIM_PORT_REGION, CARDSIM_PORT_REGION_SIZE, card->step);
        for (size_t l = 0; l < card->fw->spec().lifs.size(); l++) {
            advance_block(card->mem, cardsim_lif_block(l), CARDSIM_LIF_BLOCK_SIZE, card->step);
        }
    }
}

void cardsim_host::ticker_loop_(uint32_t tick_ms)
{
    auto next = std::chrono::steady_clock::now();
    while (!stop_) {
        next += std::chrono::milliseconds(tick_ms);
        std::this_thread::sleep_until(next);
        if (ticking_) {
            tick();
        }
    }
}

std::string cardsim_host::root_dir() const
{
    gchar* dir = testbed_ ? umockdev_testbed_get_root_dir(tb_of(testbed_)) : nullptr;
    std::string root = dir ? dir : "";
    g_free(dir);
    return root;
}

std::string cardsim_host::sysfs_dir(const std::string& bdf) const
{
    for (const auto& card : cards_) {
        auto it = card->syspaths.find(bdf);
        if (it != card->syspaths.end()) {
            return root_dir() + it->second;
        }
    }
    return {};
}
