// building the emulated host: per card a root port, the card function with
// its bus range, and below it the resource, ipc, core and two further
// functions; driver folders, device nodes, card memory

#include "emulator/cardsim_host.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <umockdev.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "emulator/cardsim_devices.h"
#include "emulator/cardsim_pci.h"
#include "ipc/le_bytes.h"

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

// host drivers of the card's functions; the network function's driver makes
// an auxiliary device that its own driver takes
const char* driver_of(uint16_t device)
{
    switch (device) {
    case 0x1012:
        return "vosk_ipc";
    case 0x100c:
        return "vxc_core";
    case 0x1002:
        return "plenx";
    default:
        return nullptr;
    }
}
constexpr const char* k_aux_driver = "plenx_rdma";

enum watch_kind_e { WATCH_PCI_DRIVER = 1, WATCH_AUX_DRIVER, WATCH_FUNCTION };

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
    size_t index = 0;
    cardsim_card_spec_s spec;
    // while removed: the links the tree had into the card's folders, in the
    // order a rescan puts them back, and the resource tables
    std::vector<std::pair<std::string, std::string>> removed_links;
    std::map<std::string, std::string> resources;
    bool present = false;            // the functions below the root port are in the tree
    uint16_t unassigned_device = 0;  // comes back from the next rescan without its bar
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
                                      "class", cls.c_str(), "irq", "0", "resource", resource.c_str(),
                                      "remove", "", "rescan", ""};
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

// a driver folder with the bind and unbind files the kernel gives it
static bool make_driver_dir(const std::string& dir)
{
    if (!make_dirs(dir)) {
        return false;
    }
    for (const char* name : {"/bind", "/unbind"}) {
        std::string file = dir + name;
        if (access(file.c_str(), F_OK) != 0) {
            std::ofstream(file).flush();
        }
    }
    return access((dir + "/unbind").c_str(), F_OK) == 0;
}

// a driver folder entry for a function, and the function's driver link
static bool bind_driver(const std::string& root, const std::string& driver, const std::string& bdf,
                        const std::string& syspath, const std::string& bus = "pci")
{
    std::string dir = root + "/sys/bus/" + bus + "/drivers/" + driver;
    if (!make_driver_dir(dir)) {
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

cardsim_host::cardsim_host(const cardsim_host_options_s& options)
{
    if (options.cards > CARDSIM_CARDS_MAX) {
        error_ = fmt::format("at most {} cards", CARDSIM_CARDS_MAX);
        return;
    }
    testbed_ = umockdev_testbed_new();
    inotify_fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (inotify_fd_ < 0 || wake_fd_ < 0) {
        error_ = fmt::format("cannot watch the testbed: {}", strerror(errno));
        return;
    }
    for (const char* driver : {"vosk_ipc", "vxc_core", "plenx"}) {
        std::string dir = root_dir() + "/sys/bus/pci/drivers/" + driver;
        if (!make_driver_dir(dir)) {
            error_ = fmt::format("cannot make {}", dir);
            return;
        }
        watch_(dir, WATCH_PCI_DRIVER, driver);
    }
    std::string aux_dir = root_dir() + "/sys/bus/auxiliary/drivers/" + k_aux_driver;
    if (!make_driver_dir(aux_dir) || !make_dirs(root_dir() + "/sys/bus/auxiliary/devices")) {
        error_ = fmt::format("cannot make {}", aux_dir);
        return;
    }
    watch_(aux_dir, WATCH_AUX_DRIVER, k_aux_driver);
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
    if (ok()) {
        watcher_ = std::thread(&cardsim_host::watcher_loop_, this);
    }
}

bool cardsim_host::build_card_(size_t index, const cardsim_card_spec_s& spec)
{
    UMockdevTestbed* tb = tb_of(testbed_);
    std::string root = root_dir();
    // listed at once, so that whatever is attached is also released
    cards_.push_back(std::make_unique<card_s>());
    card_s* card = cards_.back().get();
    card->index = index;
    card->spec = spec;
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
    port.root_port = true;
    port.error_caps = spec.port_error_caps;
    std::string port_path = add_function(tb, port, "");
    if (port_path.empty()) {
        error_ = fmt::format("card {}: cannot add its root port", index);
        return false;
    }
    card->syspaths[info.root_port_bdf] = port_path;
    watch_(root + port_path, WATCH_FUNCTION, info.root_port_bdf);
    return add_card_tree_(*card);
}

// the card function and everything below it: functions, card memory,
// drivers, device nodes
bool cardsim_host::add_card_tree_(card_s& card_ref)
{
    UMockdevTestbed* tb = tb_of(testbed_);
    std::string root = root_dir();
    card_s* card = &card_ref;
    size_t index = card->index;
    const cardsim_card_spec_s& spec = card->spec;
    cardsim_card_info_s& info = card->info;
    uint32_t bus = k_first_bus + k_buses_per_card * static_cast<uint32_t>(index);
    std::string port_path = card->syspaths[info.root_port_bdf];

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
    card->syspaths[info.card_bdf] = card_path;
    card->present = true;
    watch_(root + card_path, WATCH_FUNCTION, info.card_bdf);

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
        card->resources[fn.bdf] = cardsim_resource_text(fn);
        watch_(root + path, WATCH_FUNCTION, fn.bdf);
    }

    // the resource function's windows: registers, memory and the header
    const std::string& rsc_path = card->syspaths[info.rsc_bdf];
    std::vector<uint8_t> zeros(CARDSIM_MEM_SIZE, 0);
    umockdev_testbed_set_attribute_binary(tb, rsc_path.c_str(), "resource0", zeros.data(), CARDSIM_REG_SIZE);
    umockdev_testbed_set_attribute_binary(tb, rsc_path.c_str(), "resource2", zeros.data(), CARDSIM_MEM_SIZE);
    std::vector<uint8_t> hdr(CARDSIM_HDR_SIZE, 0);
    le_put(hdr.data(), hdr.size(), 0, k_hdr_magic);
    le_put(hdr.data(), hdr.size(), 4, k_hdr_version);
    le_put(hdr.data(), hdr.size(), 16, uint64_t{CARDSIM_REG_BASE});
    le_put(hdr.data(), hdr.size(), 24, uint64_t{CARDSIM_MEM_BASE});
    umockdev_testbed_set_attribute_binary(tb, rsc_path.c_str(), "resource4", hdr.data(), hdr.size());
    card->mem = map_file(root + rsc_path + "/resource2", CARDSIM_MEM_SIZE);
    if (card->mem == nullptr) {
        error_ = fmt::format("card {}: cannot map its memory: {}", index, strerror(errno));
        return false;
    }

    const std::string& ipc_path = card->syspaths[info.ipc_bdf];
    const std::string& core_path = card->syspaths[info.core_bdf];
    const std::string& net_path = card->syspaths[info.func_1002_bdf];
    info.rdma_aux = fmt::format("plenx.rdma.{}", index);
    std::string aux_path = net_path + "/" + info.rdma_aux;
    if (!make_dirs(root + aux_path)) {
        error_ = fmt::format("card {}: cannot make {}", index, aux_path);
        return false;
    }
    std::ofstream(root + aux_path + "/uevent") << "DRIVER=" << k_aux_driver << "\nMODALIAS=auxiliary:plenx.rdma\n";
    std::string aux_link = root + "/sys/bus/auxiliary/devices/" + info.rdma_aux;
    unlink(aux_link.c_str());
    if (symlink((root + aux_path).c_str(), aux_link.c_str()) != 0 ||
        !bind_driver(root, "vosk_ipc", info.ipc_bdf, ipc_path) || !bind_driver(root, "vxc_core", info.core_bdf, core_path) ||
        !bind_driver(root, "plenx", info.func_1002_bdf, net_path) ||
        !bind_driver(root, k_aux_driver, info.rdma_aux, aux_path, "auxiliary")) {
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
    if (watcher_.joinable()) {
        uint64_t one = 1;
        (void)!write(wake_fd_, &one, sizeof(one));
        watcher_.join();
    }
    for (int fd : {inotify_fd_, wake_fd_}) {
        if (fd >= 0) {
            close(fd);
        }
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

uint32_t cardsim_host::reset_card(size_t index)
{
    return cards_.at(index)->fw->reboot();
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
    std::lock_guard<std::mutex> lock(tree_mutex_);
    uint8_t* mem = cards_.at(index)->mem;
    uint64_t* p = mem ? slot(mem, card_addr) : nullptr;
    return p ? __atomic_load_n(p, __ATOMIC_RELAXED) : 0;
}

void cardsim_host::set_counter(size_t index, uint64_t card_addr, uint64_t value)
{
    std::lock_guard<std::mutex> lock(tree_mutex_);
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
    std::lock_guard<std::mutex> lock(tree_mutex_);
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
    std::lock_guard<std::mutex> lock(tree_mutex_);
    for (const auto& card : cards_) {
        auto it = card->syspaths.find(bdf);
        if (it != card->syspaths.end()) {
            return root_dir() + it->second;
        }
    }
    return {};
}

bool cardsim_host::card_present(size_t index) const
{
    std::lock_guard<std::mutex> lock(tree_mutex_);
    return cards_.at(index)->present;
}

void cardsim_host::set_vpd_readable(size_t index, bool readable)
{
    std::lock_guard<std::mutex> lock(tree_mutex_);
    card_s& card = *cards_.at(index);
    const std::string root = root_dir();
    auto vpd = cardsim_vpd(card.info.serial);
    for (const auto& [bdf, syspath] : card.syspaths) {
        if (access((root + syspath + "/vpd").c_str(), F_OK) == 0) {
            umockdev_testbed_set_attribute_binary(tb_of(testbed_), syspath.c_str(), "vpd", vpd.data(),
                                                  readable ? vpd.size() : 0);
        }
    }
}

void cardsim_host::set_rescan_unassigned(size_t index, uint16_t device)
{
    std::lock_guard<std::mutex> lock(tree_mutex_);
    cards_.at(index)->unassigned_device = device;
}

void cardsim_host::watch_(const std::string& dir, int kind, const std::string& name)
{
    int wd = inotify_add_watch(inotify_fd_, dir.c_str(), IN_CLOSE_WRITE);
    if (wd >= 0) {
        watches_[wd] = watch_s{kind, name};
    }
}

static std::string read_value(const std::string& path)
{
    std::ifstream in(path);
    std::string value;
    in >> value;
    return value;
}

static bool is_dir(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// the card leaves the tree as the kernel takes it out: drivers first, their
// device nodes with them, then the functions. its folders are kept aside
// (out of /sys) so that a rescan puts the whole card back at once: the
// product reads the tree right after its rescan write and must not find
// half a card.
static std::string removed_dir(const std::string& root)
{
    return root + "/cardsim-removed";
}

void cardsim_host::remove_card_tree_(card_s& card)
{
    UMockdevTestbed* tb = tb_of(testbed_);
    std::string root = root_dir();
    cardsim_card_info_s& info = card.info;
    std::pair<const std::string*, UMockdevIoctlBase**> nodes[] = {{&info.ipc_devnode, &card.ipc_handler},
                                                                  {&info.fwctl_devnode, &card.fwctl_handler}};
    for (auto& [node, handler] : nodes) {
        if (*handler == nullptr) {
            continue;
        }
        GError* err = nullptr;
        umockdev_testbed_detach_ioctl(tb, node->c_str(), &err);
        g_clear_error(&err);
        g_object_unref(*handler);
        *handler = nullptr;
    }
    std::vector<std::string> links;
    for (const std::string* bdf : {&info.rsc_bdf, &info.ipc_bdf, &info.core_bdf, &info.func_1002_bdf,
                                   &info.func_1003_bdf, &info.card_bdf}) {
        for (const char* driver : {"vosk_ipc", "vxc_core", "plenx"}) {
            unlink((root + "/sys/bus/pci/drivers/" + driver + "/" + *bdf).c_str());
        }
        links.push_back(root + "/sys/bus/pci/devices/" + *bdf);
    }
    unlink((root + "/sys/bus/auxiliary/drivers/" + k_aux_driver + "/" + info.rdma_aux).c_str());
    for (std::string link : {"/sys/bus/auxiliary/devices/" + info.rdma_aux,
                             "/sys/class/misc/" + info.ipc_devnode.substr(info.ipc_devnode.rfind('/') + 1),
                             "/sys/class/fwctl/" + info.fwctl_devnode.substr(info.fwctl_devnode.rfind('/') + 1),
                             info.ipc_devnode, info.fwctl_devnode}) {
        links.insert(links.begin(), root + link);
    }
    // the card function's own link goes first and comes back last
    card.removed_links.clear();
    for (auto it = links.rbegin(); it != links.rend(); ++it) {
        char target[512] = {};
        ssize_t n = readlink(it->c_str(), target, sizeof(target) - 1);
        if (n > 0 && unlink(it->c_str()) == 0) {
            card.removed_links.insert(card.removed_links.begin(), {*it, std::string(target, static_cast<size_t>(n))});
        }
    }
    std::string card_dir = root + card.syspaths[info.card_bdf];
    (void)make_dirs(removed_dir(root));
    if (rename(card_dir.c_str(), (removed_dir(root) + "/" + info.card_bdf).c_str()) == 0) {
        card.present = false;
    }
}

// a rescan finds the card again: its folders, drivers probing, device nodes
void cardsim_host::restore_card_tree_(card_s& card)
{
    UMockdevTestbed* tb = tb_of(testbed_);
    std::string root = root_dir();
    cardsim_card_info_s& info = card.info;
    std::string kept = removed_dir(root) + "/" + info.card_bdf;
    for (const auto& [bdf, syspath] : card.syspaths) {
        if (bdf == info.root_port_bdf || bdf == info.card_bdf) {
            continue;
        }
        // the path below the card's own folder, in the folder kept aside
        std::string inner = kept + syspath.substr(card.syspaths[info.card_bdf].size());
        std::string text = card.resources[bdf];
        uint32_t device = 0;
        for (const auto& f : k_functions) {
            device = info.*f.bdf == bdf ? f.device : device;
        }
        if (device != 0 && device == card.unassigned_device) {
            cardsim_function_s bare;
            text = cardsim_resource_text(bare);
        }
        std::ofstream(inner + "/resource") << text;
    }
    card.unassigned_device = 0;
    if (rename(kept.c_str(), (root + card.syspaths[info.card_bdf]).c_str()) != 0) {
        return;
    }
    std::string error;
    if (!info.ipc_devnode.empty()) {
        card.ipc_handler = cardsim_ipc_device_new(card.fw.get());
        (void)cardsim_attach(tb, info.ipc_devnode, card.ipc_handler, error);
    }
    if (!info.fwctl_devnode.empty()) {
        card.fwctl_handler = cardsim_fwctl_device_new(card.fw.get());
        (void)cardsim_attach(tb, info.fwctl_devnode, card.fwctl_handler, error);
    }
    for (const auto& f : k_functions) {
        if (const char* driver = driver_of(f.device)) {
            (void)bind_driver(root, driver, info.*f.bdf, card.syspaths[info.*f.bdf]);
        }
    }
    (void)bind_driver(root, k_aux_driver, info.rdma_aux, card.syspaths[info.func_1002_bdf] + "/" + info.rdma_aux,
                      "auxiliary");
    std::ofstream(root + card.syspaths[info.func_1002_bdf] + "/" + info.rdma_aux + "/uevent")
        << "DRIVER=" << k_aux_driver << "\nMODALIAS=auxiliary:plenx.rdma\n";
    for (const auto& [link, target] : card.removed_links) {
        (void)symlink(target.c_str(), link.c_str());
    }
    card.removed_links.clear();
    card.present = true;
}

void cardsim_host::watcher_loop_()
{
    alignas(struct inotify_event) char buf[4096];
    while (!stop_) {
        struct pollfd fds[2] = {{inotify_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents) {
            return;
        }
        ssize_t len = read(inotify_fd_, buf, sizeof(buf));
        for (ssize_t at = 0; at > -1 && at < len;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(buf + at);
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
            std::lock_guard<std::mutex> lock(tree_mutex_);
            auto it = watches_.find(event->wd);
            if (it == watches_.end()) {
                continue;
            }
            if (event->mask & IN_IGNORED) {
                watches_.erase(it);
                continue;
            }
            std::string file = event->len ? event->name : "";
            if (file != "bind" && file != "unbind" && file != "remove" && file != "rescan") {
                continue;
            }
            std::string dir;
            for (const auto& card : cards_) {
                auto found = card->syspaths.find(it->second.name);
                if (it->second.kind == WATCH_FUNCTION && found != card->syspaths.end()) {
                    dir = root_dir() + found->second;
                }
            }
            std::string value = read_value(it->second.kind == WATCH_FUNCTION
                                               ? dir + "/" + file
                                               : root_dir() + "/sys/bus/" +
                                                     (it->second.kind == WATCH_PCI_DRIVER ? "pci" : "auxiliary") +
                                                     "/drivers/" + it->second.name + "/" + file);
            if (!value.empty()) {
                watch_s watch = it->second;
                sysfs_written_(watch, file, value);
                tree_changes_++;
            }
        }
    }
}

void cardsim_host::remove_card(size_t index)
{
    std::lock_guard<std::mutex> lock(tree_mutex_);
    if (index < cards_.size() && cards_[index]->present) {
        remove_card_tree_(*cards_[index]);
    }
}

void cardsim_host::restore_card(size_t index)
{
    std::lock_guard<std::mutex> lock(tree_mutex_);
    if (index < cards_.size() && !cards_[index]->present) {
        restore_card_tree_(*cards_[index]);
    }
}

// what the kernel does on a write into a driver's bind or unbind or into a
// function's remove or rescan; called with the tree locked
void cardsim_host::sysfs_written_(const watch_s& watch, const std::string& file, const std::string& value)
{
    std::string root = root_dir();
    if (watch.kind == WATCH_FUNCTION) {
        for (auto& card : cards_) {
            if (file == "remove" && watch.name == card->info.card_bdf && card->present) {
                remove_card_tree_(*card);
            } else if (file == "rescan" && watch.name == card->info.root_port_bdf && !card->present) {
                restore_card_tree_(*card);
            }
        }
        return;
    }
    bool aux = watch.kind == WATCH_AUX_DRIVER;
    std::string driver_dir = root + "/sys/bus/" + (aux ? "auxiliary" : "pci") + "/drivers/" + watch.name;
    std::string entry = driver_dir + "/" + value;
    for (auto& card : cards_) {
        const cardsim_card_info_s& info = card->info;
        std::string syspath;
        if (aux && value == info.rdma_aux && card->present) {
            syspath = card->syspaths[info.func_1002_bdf] + "/" + info.rdma_aux;
        } else if (!aux) {
            auto it = card->syspaths.find(value);
            if (it == card->syspaths.end()) {
                continue;
            }
            const char* driver = nullptr;
            for (const auto& f : k_functions) {
                if (info.*f.bdf == value) {
                    driver = driver_of(f.device);
                }
            }
            if (driver == nullptr || watch.name != driver) {
                continue;  // the kernel refuses a driver that does not match
            }
            syspath = it->second;
        } else {
            continue;
        }
        // the network function's driver takes its auxiliary device with it
        bool net = !aux && value == info.func_1002_bdf;
        std::string aux_path = card->syspaths[info.func_1002_bdf] + "/" + info.rdma_aux;
        if (file == "unbind" && is_dir(entry)) {
            unlink(entry.c_str());
            unlink((root + syspath + "/driver").c_str());
            if (aux || net) {
                unlink((root + "/sys/bus/auxiliary/drivers/" + k_aux_driver + "/" + info.rdma_aux).c_str());
                unlink((root + aux_path + "/driver").c_str());
                std::ofstream(root + aux_path + "/uevent") << "MODALIAS=auxiliary:plenx.rdma\n";
            }
        } else if (file == "bind" && !is_dir(entry)) {
            (void)bind_driver(root, watch.name, value, syspath, aux ? "auxiliary" : "pci");
            if (aux || net) {
                (void)bind_driver(root, k_aux_driver, info.rdma_aux, aux_path, "auxiliary");
                std::ofstream(root + aux_path + "/uevent")
                    << "DRIVER=" << k_aux_driver << "\nMODALIAS=auxiliary:plenx.rdma\n";
            }
        }
    }
}
