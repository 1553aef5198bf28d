// the card's flash from outside the service: what the host builder and the
// control channel read and set (partitions, versions, lifecycle, faults),
// and the reboot that picks the image the card runs

#include <mutex>

#include "emulator/cardsim_flash_layout.h"

using namespace cardsim_flash_layout;

const char* cardsim_flash::partition_name(uint32_t partition)
{
    return partition < CARDSIM_FLASH_PARTITIONS ? k_parts[partition].name : "";
}

size_t cardsim_flash::partition_size(uint32_t partition) const
{
    return partition < CARDSIM_FLASH_PARTITIONS ? k_parts[partition].size : 0;
}

std::vector<uint8_t> cardsim_flash::bytes(uint32_t partition) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (partition >= CARDSIM_FLASH_PARTITIONS) {
        return {};
    }
    const partition_s& p = part_(partition);
    if (p.data.empty()) {
        return std::vector<uint8_t>(p.written, 0xff);
    }
    return std::vector<uint8_t>(p.data.begin(), p.data.begin() + p.written);
}

size_t cardsim_flash::written(uint32_t partition) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return partition < CARDSIM_FLASH_PARTITIONS ? part_(partition).written : 0;
}

bool cardsim_flash::write(uint32_t partition, uint64_t offset, const std::vector<uint8_t>& data)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (partition >= CARDSIM_FLASH_PARTITIONS || offset > k_parts[partition].size ||
        data.size() > k_parts[partition].size - offset) {
        return false;
    }
    partition_s& p = part_(partition);
    p.factory = false;
    if (p.data.empty()) {
        p.data.assign(k_parts[partition].size, 0xff);
    }
    for (size_t i = 0; i < data.size(); i++) {
        p.data[offset + i] &= data[i];
    }
    p.written = std::max<size_t>(p.written, offset + data.size());
    return true;
}

uint32_t cardsim_flash::boot_image() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return boot_image_;
}

void cardsim_flash::set_running_image(uint32_t image)
{
    std::lock_guard<std::mutex> lock(mutex_);
    running_image_ = std::min(image, CARDSIM_IMAGE_GOLD);
    // a card starts what it runs and works on the other main image
    boot_image_ = running_image_;
    firmware_select_state_ = running_image_ == CARDSIM_IMAGE_A ? CARDSIM_IMAGE_B : CARDSIM_IMAGE_A;
    if (running_image_ != CARDSIM_IMAGE_GOLD) {
        suc_boot_ = suc_running_ = running_image_;
    }
}

uint32_t cardsim_flash::running_image() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return running_image_;
}

uint32_t cardsim_flash::reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    // whatever the service was doing dies with the reboot
    started_ = false;
    pending_.clear();
    suc_running_ = suc_boot_;
    for (uint32_t image : k_boot_order[std::min(boot_image_, CARDSIM_IMAGE_GOLD)]) {
        if (bootable_(image)) {
            running_image_ = image;
            firmware_select_state_ = image == CARDSIM_IMAGE_A ? CARDSIM_IMAGE_B : CARDSIM_IMAGE_A;
            return image;
        }
    }
    return CARDSIM_IMAGE_NONE;
}

bool cardsim_flash::bootable(uint32_t image) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return image <= CARDSIM_IMAGE_GOLD && bootable_(image);
}

uint32_t cardsim_flash::firmware_select() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return firmware_select_state_;
}

bool cardsim_flash::operation_started() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return started_;
}

std::string cardsim_flash::version(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = versions_.find(name);
    return it == versions_.end() ? "" : it->second;
}

void cardsim_flash::set_version(const std::string& name, const std::string& text)
{
    std::lock_guard<std::mutex> lock(mutex_);
    versions_[name] = text;
    // a bank as shipped was shipped with it; a written image keeps the
    // version it was written with, so its record no longer matches
    for (uint32_t b = 0; b < 2; b++) {
        for (uint32_t i = 0; i < CARDSIM_FLASH_PARTITIONS; i++) {
            const char* n = bank_version_name_(b, i);
            if (n && name == n && parts_[b][i].factory) {
                parts_[b][i].version = text;
            }
        }
    }
}

void cardsim_flash::set_board_id(uint32_t id)
{
    std::lock_guard<std::mutex> lock(mutex_);
    board_id_ = id;
}

void cardsim_flash::set_lifecycle(cardsim_lcs_e lcs)
{
    std::lock_guard<std::mutex> lock(mutex_);
    lcs_ = lcs;
}

void cardsim_flash::set_secure(bool enrolled, bool gold_is_secure)
{
    std::lock_guard<std::mutex> lock(mutex_);
    enrolled_ = enrolled;
    gold_secure_ = gold_is_secure;
}

bool cardsim_flash::secure_boot() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return secure_on_;
}

void cardsim_flash::set_signing_key(const std::string& name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    signing_key_ = name;
}

void cardsim_flash::set_busy_polls(uint32_t n)
{
    std::lock_guard<std::mutex> lock(mutex_);
    busy_polls_ = n;
    pending_.clear();
}

void cardsim_flash::set_fault(const cardsim_flash_fault_s& fault)
{
    std::lock_guard<std::mutex> lock(mutex_);
    fault_ = fault;
}

cardsim_flash_fault_s cardsim_flash::fault() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return fault_;
}

