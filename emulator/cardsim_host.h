#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emulator/cardsim_card.h"
#include "emulator/cardsim_firmware.h"

// an emulated host with ORLIX cards: a umockdev testbed with each card's pci
// functions, its character devices and its firmware, and a ticker that
// advances the counters in card memory. while it lives, this process and its
// children (run with the umockdev preload) see the testbed as /sys and /dev.

struct cardsim_host_options_s {
    size_t cards = 2;
    // the first specs.size() cards take these instead of the defaults
    std::vector<cardsim_card_spec_s> specs;
    // counters advance every tick_ms; 0: only on tick()
    uint32_t tick_ms = 100;
};

// where one card's functions and devices are
struct cardsim_card_info_s {
    std::string root_port_bdf;
    std::string card_bdf;
    std::string rsc_bdf, ipc_bdf, core_bdf, func_1002_bdf, func_1003_bdf;
    std::string ipc_devnode;    // "/dev/voskipcdev0", empty without one
    std::string fwctl_devnode;  // "/dev/fwctl/fwctl0", empty without one
    std::string rdma_aux;       // "plenx.rdma.0": the auxiliary device under func_1002
    std::string serial;
};

constexpr uint16_t CARDSIM_VENDOR = 0x1e7b;
constexpr uint16_t CARDSIM_CARD_DEVICE = 0x1478;
constexpr size_t CARDSIM_CARDS_MAX = 16;

class cardsim_host {
public:
    explicit cardsim_host(const cardsim_host_options_s& options = {});
    ~cardsim_host();
    cardsim_host(const cardsim_host&) = delete;
    cardsim_host& operator=(const cardsim_host&) = delete;

    // false when the testbed could not be built; error() says why
    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    size_t card_count() const { return cards_.size(); }
    const cardsim_card_info_s& card(size_t index) const;
    cardsim_firmware& firmware(size_t index);
    void set_fault(size_t index, const cardsim_fault_s& fault);
    void clear_fault(size_t index) { set_fault(index, {}); }
    // every card calls fn first on each request (cardsim_firmware::set_on_request)
    void set_on_request(const std::function<void()>& fn);

    // the card's flash behind its firmware-update service (endpoint 12)
    cardsim_flash& flash(size_t index);
    // a partition's bytes, up to what was written since its last erase
    std::vector<uint8_t> partition_bytes(size_t index, uint32_t partition) const;
    // the image the card boots next: CARDSIM_IMAGE_A, _B or _GOLD
    uint32_t boot_image(size_t index) const;
    // the card reboots (cardsim_flash::reset): it comes up answering, running
    // the image it booted, which this returns; a card that finds no whole
    // image stops answering and CARDSIM_IMAGE_NONE comes back
    uint32_t reset_card(size_t index);
    void set_flash_fault(size_t index, const cardsim_flash_fault_s& fault);
    void clear_flash_fault(size_t index) { set_flash_fault(index, {}); }

    // a counter in card memory, by card address
    uint64_t counter(size_t index, uint64_t card_addr) const;
    void set_counter(size_t index, uint64_t card_addr, uint64_t value);
    // advances every counter of every card once
    void tick();
    // stops or restarts the ticker's advancing
    void set_ticking(bool on) { ticking_ = on; }

    // the pci tree as the kernel keeps it: writes into bind and unbind of the
    // driver folders and into remove and rescan of the functions take effect
    // a moment after the write, on the watcher thread.
    // false while the card's functions are removed
    bool card_present(size_t index) const;
    // the function with this device id comes back from the next rescan
    // without its memory assigned (a zero resource line); 0 for none
    void set_rescan_unassigned(size_t index, uint16_t device);
    // the vital product data of the card's functions reads empty (false), as
    // from a card whose vpd engine hangs: its serial number, and so its
    // identity, cannot be read; true gives it back
    void set_vpd_readable(size_t index, bool readable);
    // the card disappears as a surprise removal would take it (device nodes
    // and sysfs entries gone), and comes back as a rescan finds it
    void remove_card(size_t index);
    void restore_card(size_t index);
    // sysfs writes the watcher has carried out so far
    uint64_t tree_changes() const { return tree_changes_; }

    // the testbed's folder, which the preload shows as /
    std::string root_dir() const;
    // the testbed folder of a function's sysfs directory
    std::string sysfs_dir(const std::string& bdf) const;

private:
    struct card_s;
    // a watched testbed folder: a driver folder (name: the driver) or a
    // function's folder (name: its address)
    struct watch_s {
        int kind = 0;
        std::string name;
    };
    bool build_card_(size_t index, const cardsim_card_spec_s& spec);
    bool add_card_tree_(card_s& card);
    void remove_card_tree_(card_s& card);
    void restore_card_tree_(card_s& card);
    bool attach_devices_(card_s& card, std::string& error);
    void detach_devices_(card_s& card);
    bool bind_card_drivers_(card_s& card);
    void ticker_loop_(uint32_t tick_ms);
    void watch_drivers_();
    void watch_function_(const std::string& bdf, const std::string& syspath);
    void watch_(const std::string& dir, int kind, const std::string& name);
    void watcher_loop_();
    void sysfs_written_(const watch_s& watch, const std::string& file, const std::string& value);

    void* testbed_ = nullptr;
    std::string error_;
    std::vector<std::unique_ptr<card_s>> cards_;
    std::atomic<bool> ticking_{true};
    std::atomic<bool> stop_{false};
    std::thread ticker_;
    // guards the tree: paths, card memory mappings, device handlers
    mutable std::mutex tree_mutex_;
    int inotify_fd_ = -1;
    int wake_fd_ = -1;
    std::map<int, watch_s> watches_;
    std::atomic<uint64_t> tree_changes_{0};
    std::thread watcher_;
};
