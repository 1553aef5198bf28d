// the emulated kernel: writes into the driver folders' bind and unbind and
// into a function's remove and rescan take effect on a watcher thread
// (inotify on the testbed), as the kernel would carry them out; a removed
// card is kept aside and comes back whole with a rescan

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "emulator/cardsim_host_tree.h"
#include "emulator/cardsim_pci.h"

namespace {

enum watch_kind_e { WATCH_PCI_DRIVER = 1, WATCH_AUX_DRIVER, WATCH_FUNCTION };

std::string read_value(const std::string& path)
{
    std::ifstream in(path);
    std::string value;
    in >> value;
    return value;
}

bool is_dir(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// where a removed card's folders are kept, out of /sys
std::string removed_dir(const std::string& root)
{
    return root + "/cardsim-removed";
}

}  // namespace

const char* cardsim_driver_at(const cardsim_card_info_s& info, const std::string& bdf)
{
    for (const auto& f : CARDSIM_FUNCTIONS) {
        if (info.*f.bdf == bdf) {
            return f.driver;
        }
    }
    return nullptr;
}

bool cardsim_make_dirs(const std::string& path)
{
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return !ec;
}

bool cardsim_make_driver_dir(const std::string& dir)
{
    if (!cardsim_make_dirs(dir)) {
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

bool cardsim_bind_driver(const std::string& root, const std::string& driver, const std::string& bdf,
                        const std::string& syspath, const std::string& bus)
{
    std::string dir = root + "/sys/bus/" + bus + "/drivers/" + driver;
    if (!cardsim_make_driver_dir(dir)) {
        return false;
    }
    std::string entry = dir + "/" + bdf;
    unlink(entry.c_str());
    std::string link = root + syspath + "/driver";
    unlink(link.c_str());
    return symlink((root + syspath).c_str(), entry.c_str()) == 0 && symlink(dir.c_str(), link.c_str()) == 0;
}

void cardsim_aux_uevent(const std::string& dir, bool bound)
{
    std::ofstream(dir + "/uevent") << (bound ? std::string("DRIVER=") + CARDSIM_AUX_DRIVER + "\n" : "")
                                   << "MODALIAS=auxiliary:plenx.rdma\n";
}

void cardsim_host::watch_drivers_()
{
    for (const char* driver : CARDSIM_PCI_DRIVERS) {
        watch_(root_dir() + "/sys/bus/pci/drivers/" + driver, WATCH_PCI_DRIVER, driver);
    }
    watch_(root_dir() + "/sys/bus/auxiliary/drivers/" + CARDSIM_AUX_DRIVER, WATCH_AUX_DRIVER, CARDSIM_AUX_DRIVER);
}

void cardsim_host::watch_function_(const std::string& bdf, const std::string& syspath)
{
    watch_(root_dir() + syspath, WATCH_FUNCTION, bdf);
}

void cardsim_host::watch_(const std::string& dir, int kind, const std::string& name)
{
    int wd = inotify_add_watch(inotify_fd_, dir.c_str(), IN_CLOSE_WRITE);
    if (wd >= 0) {
        watches_[wd] = watch_s{kind, name};
    }
}

// the card leaves the tree as the kernel takes it out: drivers first, their
// device nodes with them, then the functions. its folders are kept aside
// (out of /sys) so that a rescan puts the whole card back at once: the
// product reads the tree right after its rescan write and must not find
// half a card. the device handlers stay: a descriptor opened before fails
// its calls (ENODEV) instead of losing its socket
void cardsim_host::remove_card_tree_(card_s& card)
{
    std::string root = root_dir();
    cardsim_card_info_s& info = card.info;
    card.unplugged = true;
    std::vector<std::string> links;
    for (const std::string* bdf : {&info.rsc_bdf, &info.ipc_bdf, &info.core_bdf, &info.func_1002_bdf,
                                   &info.func_1003_bdf, &info.card_bdf}) {
        for (const char* driver : CARDSIM_PCI_DRIVERS) {
            unlink((root + "/sys/bus/pci/drivers/" + driver + "/" + *bdf).c_str());
        }
        links.push_back(root + "/sys/bus/pci/devices/" + *bdf);
    }
    unlink((root + "/sys/bus/auxiliary/drivers/" + CARDSIM_AUX_DRIVER + "/" + info.rdma_aux).c_str());
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
    (void)cardsim_make_dirs(removed_dir(root));
    if (rename(card_dir.c_str(), (removed_dir(root) + "/" + info.card_bdf).c_str()) == 0) {
        card.present = false;
    }
}

// every function of the card bound to its driver, as probing leaves it
bool cardsim_host::bind_card_drivers_(card_s& card)
{
    std::string root = root_dir();
    const cardsim_card_info_s& info = card.info;
    bool ok = true;
    for (const auto& f : CARDSIM_FUNCTIONS) {
        if (const char* driver = f.driver) {
            ok = cardsim_bind_driver(root, driver, info.*f.bdf, card.syspaths[info.*f.bdf]) && ok;
        }
    }
    std::string aux_path = card.syspaths[info.func_1002_bdf] + "/" + info.rdma_aux;
    ok = cardsim_bind_driver(root, CARDSIM_AUX_DRIVER, info.rdma_aux, aux_path, "auxiliary") && ok;
    cardsim_aux_uevent(root + aux_path, true);
    return ok;
}

// a rescan finds the card again: its folders, drivers probing, device nodes
void cardsim_host::restore_card_tree_(card_s& card)
{
    std::string root = root_dir();
    cardsim_card_info_s& info = card.info;
    std::string kept = removed_dir(root) + "/" + info.card_bdf;
    for (const auto& f : CARDSIM_FUNCTIONS) {
        const std::string& bdf = info.*f.bdf;
        // the path below the card's own folder, in the folder kept aside
        std::string inner = kept + card.syspaths[bdf].substr(card.syspaths[info.card_bdf].size());
        bool unassigned = f.device == card.unassigned_device;
        std::ofstream(inner + "/resource") << (unassigned ? cardsim_resource_text({}) : card.resources[bdf]);
    }
    card.unassigned_device = 0;
    if (rename(kept.c_str(), (root + card.syspaths[info.card_bdf]).c_str()) != 0) {
        return;
    }
    card.unplugged = false;
    (void)bind_card_drivers_(card);
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
            const char* driver = cardsim_driver_at(info, value);
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
                unlink((root + "/sys/bus/auxiliary/drivers/" + CARDSIM_AUX_DRIVER + "/" + info.rdma_aux).c_str());
                unlink((root + aux_path + "/driver").c_str());
                cardsim_aux_uevent(root + aux_path, false);
            }
        } else if (file == "bind" && !is_dir(entry)) {
            (void)cardsim_bind_driver(root, watch.name, value, syspath, aux ? "auxiliary" : "pci");
            if (aux || net) {
                (void)cardsim_bind_driver(root, CARDSIM_AUX_DRIVER, info.rdma_aux, aux_path, "auxiliary");
                cardsim_aux_uevent(root + aux_path, true);
            }
        }
    }
}

bool cardsim_host::card_present(size_t index) const
{
    std::lock_guard<std::mutex> lock(tree_mutex_);
    return cards_.at(index)->present;
}

void cardsim_host::set_rescan_unassigned(size_t index, uint16_t device)
{
    std::lock_guard<std::mutex> lock(tree_mutex_);
    cards_.at(index)->unassigned_device = device;
}
