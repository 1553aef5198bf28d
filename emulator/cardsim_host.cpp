// building the emulated host: per card a root port, the card function with
// its bus range, and below it the resource, ipc, core and two further
// functions; driver folders, device nodes, card memory. what the kernel
// does with the tree afterwards is in cardsim_kernel.cpp, the counters in
// cardsim_counters.cpp

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstring>

#include "emulator/cardsim_devices.h"
#include "emulator/cardsim_host_tree.h"
#include "emulator/cardsim_pci.h"
#include "ipc/le_bytes.h"

namespace {

constexpr uint16_t k_root_port_vendor = 0x8086, k_root_port_device = 0x2030;
constexpr uint32_t k_first_bus = 0x20, k_buses_per_card = 4;
constexpr uint64_t k_bar_base = 0xc0000000, k_bar_span_per_card = 0x4000000;
constexpr uint32_t k_hdr_magic = 0x70616c78, k_hdr_version = 1;

std::string bdf_text(uint32_t bus, uint32_t dev, uint32_t fn)
{
    return fmt::format("0000:{:02x}:{:02x}.{:x}", bus, dev, fn);
}

// a bridge function on bus `primary` forwarding buses secondary..subordinate
cardsim_function_s bridge(const std::string& bdf, uint16_t vendor, uint16_t device, uint32_t primary,
                          uint32_t secondary, uint32_t subordinate)
{
    cardsim_function_s fn;
    fn.bdf = bdf;
    fn.vendor = vendor;
    fn.device = device;
    fn.class_code = CARDSIM_CLASS_BRIDGE;
    fn.bridge = true;
    fn.primary_bus = static_cast<uint8_t>(primary);
    fn.secondary_bus = static_cast<uint8_t>(secondary);
    fn.subordinate_bus = static_cast<uint8_t>(subordinate);
    return fn;
}

}  // namespace

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
    for (const char* driver : CARDSIM_PCI_DRIVERS) {
        std::string dir = root_dir() + "/sys/bus/pci/drivers/" + driver;
        if (!cardsim_make_driver_dir(dir)) {
            error_ = fmt::format("cannot make {}", dir);
            return;
        }
    }
    std::string aux_dir = root_dir() + "/sys/bus/auxiliary/drivers/" + CARDSIM_AUX_DRIVER;
    if (!cardsim_make_driver_dir(aux_dir) || !cardsim_make_dirs(root_dir() + "/sys/bus/auxiliary/devices")) {
        error_ = fmt::format("cannot make {}", aux_dir);
        return;
    }
    watch_drivers_();
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
    UMockdevTestbed* tb = cardsim_tb(testbed_);
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

    info.root_port_bdf = bdf_text(0, static_cast<uint32_t>(index) + 1, 0);
    cardsim_function_s port = bridge(info.root_port_bdf, k_root_port_vendor, k_root_port_device, 0, bus, bus + 2);
    port.root_port = true;
    port.error_caps = spec.port_error_caps;
    std::string port_path = add_function(tb, port, "");
    if (port_path.empty()) {
        error_ = fmt::format("card {}: cannot add its root port", index);
        return false;
    }
    card->syspaths[info.root_port_bdf] = port_path;
    watch_function_(info.root_port_bdf, port_path);
    return add_card_tree_(*card);
}

// the card function and everything below it: functions, card memory,
// drivers, device nodes
bool cardsim_host::add_card_tree_(card_s& card_ref)
{
    UMockdevTestbed* tb = cardsim_tb(testbed_);
    std::string root = root_dir();
    card_s* card = &card_ref;
    size_t index = card->index;
    const cardsim_card_spec_s& spec = card->spec;
    cardsim_card_info_s& info = card->info;
    uint32_t bus = k_first_bus + k_buses_per_card * static_cast<uint32_t>(index);
    std::string port_path = card->syspaths[info.root_port_bdf];

    // the card function is the upstream port of the card's own switch
    info.card_bdf = bdf_text(bus, 0, 0);
    cardsim_function_s cardfn = bridge(info.card_bdf, CARDSIM_VENDOR, CARDSIM_CARD_DEVICE, bus, bus + 1, bus + 2);
    std::string card_path = port_path.empty() ? "" : add_function(tb, cardfn, port_path);
    if (card_path.empty()) {
        error_ = fmt::format("card {}: cannot add its pci functions", index);
        return false;
    }
    card->syspaths[info.card_bdf] = card_path;
    card->present = true;
    watch_function_(info.card_bdf, card_path);

    uint64_t bar = k_bar_base + k_bar_span_per_card * index;
    for (const auto& f : CARDSIM_FUNCTIONS) {
        cardsim_function_s fn;
        fn.bdf = info.*f.bdf = bdf_text(bus + f.bus_offset, f.dev, f.fn);
        fn.vendor = CARDSIM_VENDOR;
        fn.device = f.device;
        fn.class_code = f.class_code;
        fn.serial = spec.serial;
        if (f.device == 0x100f) {
            fn.bars = {{bar, CARDSIM_REG_SIZE}, {bar + 0x1000000, CARDSIM_MEM_SIZE}, {bar + 0x2000000, CARDSIM_HDR_SIZE}};
        } else {
            fn.bars = {{bar + 0x3000000 + 0x100000 * (&f - CARDSIM_FUNCTIONS), 0x10000}};
        }
        std::string path = add_function(tb, fn, card_path);
        if (path.empty()) {
            error_ = fmt::format("card {}: cannot add function {}", index, fn.bdf);
            return false;
        }
        card->syspaths[fn.bdf] = path;
        card->resources[fn.bdf] = cardsim_resource_text(fn);
        watch_function_(fn.bdf, path);
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

    info.rdma_aux = fmt::format("plenx.rdma.{}", index);
    std::string aux_path = card->syspaths[info.func_1002_bdf] + "/" + info.rdma_aux;
    if (!cardsim_make_dirs(root + aux_path)) {
        error_ = fmt::format("card {}: cannot make {}", index, aux_path);
        return false;
    }
    std::string aux_link = root + "/sys/bus/auxiliary/devices/" + info.rdma_aux;
    unlink(aux_link.c_str());
    if (symlink((root + aux_path).c_str(), aux_link.c_str()) != 0 || !bind_card_drivers_(*card)) {
        error_ = fmt::format("card {}: cannot make its driver folders: {}", index, strerror(errno));
        return false;
    }
    if (spec.ipc_device) {
        info.ipc_devnode = fmt::format("/dev/voskipcdev{}", index);
        if (!add_char_device(tb, card->syspaths[info.ipc_bdf], "misc", fmt::format("voskipcdev{}", index),
                             info.ipc_devnode, fmt::format("10:{}", 60 + index), error_)) {
            return false;
        }
    }
    if (spec.fwctl_device) {
        info.fwctl_devnode = fmt::format("/dev/fwctl/fwctl{}", index);
        if (!add_char_device(tb, card->syspaths[info.core_bdf], "fwctl", fmt::format("fwctl{}", index),
                             info.fwctl_devnode, fmt::format("239:{}", index), error_)) {
            return false;
        }
    }
    return attach_devices_(*card, error_);
}

// the firmware behind the card's device nodes
bool cardsim_host::attach_devices_(card_s& card, std::string& error)
{
    UMockdevTestbed* tb = cardsim_tb(testbed_);
    if (!card.info.ipc_devnode.empty()) {
        card.ipc_handler = cardsim_ipc_device_new(card.fw.get(), &card.unplugged);
        if (!cardsim_attach(tb, card.info.ipc_devnode, card.ipc_handler, error)) {
            return false;
        }
    }
    if (!card.info.fwctl_devnode.empty()) {
        card.fwctl_handler = cardsim_fwctl_device_new(card.fw.get(), &card.unplugged);
        if (!cardsim_attach(tb, card.info.fwctl_devnode, card.fwctl_handler, error)) {
            return false;
        }
    }
    return true;
}

void cardsim_host::detach_devices_(card_s& card)
{
    std::pair<const std::string*, UMockdevIoctlBase**> nodes[] = {{&card.info.ipc_devnode, &card.ipc_handler},
                                                                  {&card.info.fwctl_devnode, &card.fwctl_handler}};
    for (auto& [node, handler] : nodes) {
        if (*handler == nullptr) {
            continue;
        }
        GError* err = nullptr;
        umockdev_testbed_detach_ioctl(cardsim_tb(testbed_), node->c_str(), &err);
        g_clear_error(&err);
        g_object_unref(*handler);
        *handler = nullptr;
    }
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
    UMockdevTestbed* tb = cardsim_tb(testbed_);
    for (auto& card : cards_) {
        detach_devices_(*card);
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

void cardsim_host::set_on_request(const std::function<void()>& fn)
{
    for (auto& card : cards_) {
        card->fw->set_on_request(fn);
    }
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

std::string cardsim_host::root_dir() const
{
    gchar* dir = testbed_ ? umockdev_testbed_get_root_dir(cardsim_tb(testbed_)) : nullptr;
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

void cardsim_host::set_vpd_readable(size_t index, bool readable)
{
    std::lock_guard<std::mutex> lock(tree_mutex_);
    card_s& card = *cards_.at(index);
    const std::string root = root_dir();
    auto vpd = cardsim_vpd(card.info.serial);
    for (const auto& [bdf, syspath] : card.syspaths) {
        if (access((root + syspath + "/vpd").c_str(), F_OK) == 0) {
            umockdev_testbed_set_attribute_binary(cardsim_tb(testbed_), syspath.c_str(), "vpd", vpd.data(),
                                                  readable ? vpd.size() : 0);
        }
    }
}
