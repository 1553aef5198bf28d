// the card's firmware-update service: its exchange table, and the exchanges
// that work the flash (erase, write, checksum, verify, boot image
// selection). the information exchanges are in cardsim_flash_info.cpp, the
// state set from outside in cardsim_flash_state.cpp

#include "emulator/cardsim_flash.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "emulator/cardsim_flash_layout.h"
#include "ipc/le_bytes.h"

using namespace cardsim_flash_layout;

const cardsim_flash::entry_s cardsim_flash::k_entries[] = {
    {0x10001, 4, &cardsim_flash::firmware_select_},
    {0x10002, 1, &cardsim_flash::erase_},
    {0x10003, 8, &cardsim_flash::write_},
    {0x10004, 1, &cardsim_flash::boot_ops_},
    {0x10005, 65, &cardsim_flash::checksum_},
    {0x10006, 1000, &cardsim_flash::metadata_},
    {0x10007, 924, &cardsim_flash::startup_verify_},
    {0x10008, 353, &cardsim_flash::card_info_},
    {0x10009, 1016, &cardsim_flash::partition_info_},
    {0x1000a, 1, &cardsim_flash::sector_erase_},
    {0x1000b, 904, &cardsim_flash::secure_boot_},
    {0x1000c, 628, &cardsim_flash::secure_info_},
    {0x1000d, 4, &cardsim_flash::secure_info_update_},
    {0x1000e, 864, &cardsim_flash::signed_metadata_},
    {0x1000f, 1, &cardsim_flash::image_verify_},
    {0x10010, 72, &cardsim_flash::signature_verify_},
    {0x10015, 904, &cardsim_flash::version_info_},
    {0x10016, 1, &cardsim_flash::erase_hash_},
    {0x10017, 65, &cardsim_flash::startup_checksum_},
    {0x1001a, 4, &cardsim_flash::abort_},
    {0x1001b, 4, &cardsim_flash::start_},
    {0x1001c, 16, &cardsim_flash::xcvr_write_},
    {0x1001d, 132, &cardsim_flash::xcvr_version_},
};

size_t cardsim_flash::response_size(uint32_t opcode)
{
    for (const auto& e : k_entries) {
        if (e.opcode == opcode) {
            return e.rsp_size;
        }
    }
    return 0;
}

cardsim_flash::cardsim_flash(std::string serial) : serial_(std::move(serial))
{
    for (const auto& group : k_version_groups) {
        for (const char* name : group) {
            versions_[name] = k_default_version;
        }
    }
    versions_["DTB-A Name"] = versions_["DTB-B Name"] = "device_config";
    firmware_select_state_ = CARDSIM_IMAGE_B;
    // as shipped, every bank holds a whole image of the default version
    for (uint32_t b = 0; b < 2; b++) {
        for (uint32_t i = 0; i < CARDSIM_FLASH_PARTITIONS; i++) {
            const char* name = bank_version_name_(b, i);
            parts_[b][i].version = name ? versions_[name] : "";
        }
    }
}

cardsim_flash_reply_s cardsim_flash::handle(uint32_t opcode, const uint8_t* req, size_t len)
{
    static const uint8_t none = 0;
    if (req == nullptr) {
        req = &none;
        len = 0;
    }
    cardsim_flash_reply_s reply;
    auto it = std::find_if(std::begin(k_entries), std::end(k_entries),
                           [&](const entry_s& e) { return e.opcode == opcode; });
    if (it == std::end(k_entries)) {
        reply.fw_errno = 95;
        return reply;
    }
    reply.body.assign(it->rsp_size, 0);
    std::lock_guard<std::mutex> lock(mutex_);
    (this->*(it->fn))(req, len, reply.body);
    return reply;
}

// ---- helpers, called with the lock held

// a polled operation: true when it is done now, false when this answer is
// "in progress" (its status already in the answer)
bool cardsim_flash::polled_(uint32_t opcode, uint32_t partition, std::vector<uint8_t>& rsp)
{
    if (poll_(opcode, partition)) {
        return true;
    }
    status8(rsp, CARDSIM_FLASH_IN_PROGRESS);
    return false;
}

bool cardsim_flash::faulty_(cardsim_flash_fault_e kind, uint32_t partition) const
{
    return fault_.kind == kind && (fault_.partition == CARDSIM_FLASH_ANY || fault_.partition == partition);
}

bool cardsim_flash::poll_(uint32_t opcode, uint32_t partition)
{
    if (faulty_(cardsim_flash_fault_e::STUCK_IN_PROGRESS, partition)) {
        return false;
    }
    auto key = std::make_pair(opcode, partition);
    auto it = pending_.find(key);
    if (it == pending_.end()) {
        if (busy_polls_ == 0) {
            return true;
        }
        pending_[key] = busy_polls_ - 1;
        return false;
    }
    if (it->second == 0) {
        pending_.erase(it);
        return true;
    }
    it->second--;
    return false;
}

uint32_t cardsim_flash::bank_(uint32_t partition, uint32_t image) const
{
    const partition_def_s& d = k_parts[partition];
    bool banked = d.version_a && d.version_b && strcmp(d.version_a, d.version_b) != 0;
    return banked && image == CARDSIM_IMAGE_B ? 1 : 0;
}

const char* cardsim_flash::bank_version_name_(uint32_t bank, uint32_t partition) const
{
    return bank == 1 ? k_parts[partition].version_b : k_parts[partition].version_a;
}

bool cardsim_flash::intact_(uint32_t bank, uint32_t partition) const
{
    const partition_s& p = parts_[bank][partition];
    if (p.factory) {
        return true;
    }
    return p.announced && p.size > 0 && p.written >= p.size && bank_digest_(bank, partition, p.size) == p.digest;
}

bool cardsim_flash::bootable_(uint32_t image) const
{
    const uint32_t* first = image == CARDSIM_IMAGE_GOLD ? std::begin(k_gold_boot_parts) : std::begin(k_main_boot_parts);
    const uint32_t* last = image == CARDSIM_IMAGE_GOLD ? std::end(k_gold_boot_parts) : std::end(k_main_boot_parts);
    for (const uint32_t* part = first; part != last; part++) {
        uint32_t bank = bank_(*part, image);
        const char* name = bank_version_name_(bank, *part);
        auto record = versions_.find(name ? name : "");
        if (!intact_(bank, *part) || record == versions_.end() || record->second != parts_[bank][*part].version) {
            return false;
        }
    }
    return true;
}

void cardsim_flash::erase_range_(uint32_t partition, size_t from, size_t to)
{
    partition_s& p = part_(partition);
    // whatever image the bank held is gone, in part or whole
    p.factory = false;
    p.announced = false;
    if (from == 0 && to >= k_parts[partition].size) {
        p.data.clear();
        p.data.shrink_to_fit();
        p.written = 0;
        return;
    }
    if (!p.data.empty()) {
        std::fill(p.data.begin() + from, p.data.begin() + to, 0xff);
    }
    if (from < p.written && to >= p.written) {
        p.written = from;
    }
}

cardsim_sha512::digest_t cardsim_flash::digest_(uint32_t partition, uint64_t size) const
{
    cardsim_sha512::digest_t d = bank_digest_(bank_(partition, firmware_select_state_), partition, size);
    if (faulty_(cardsim_flash_fault_e::VERIFY_MISMATCH, partition)) {
        d[0] ^= 0x01;
    }
    return d;
}

cardsim_sha512::digest_t cardsim_flash::bank_digest_(uint32_t bank, uint32_t partition, uint64_t size) const
{
    const partition_s& p = parts_[bank][partition];
    size_t n = size == 0 ? p.written : static_cast<size_t>(size);
    cardsim_sha512 sha;
    size_t stored = std::min(n, p.data.size());
    if (stored > 0) {
        sha.update(p.data.data(), stored);
    }
    static const std::vector<uint8_t> erased(4096, 0xff);
    for (size_t left = n - stored; left > 0;) {
        size_t k = std::min(left, erased.size());
        sha.update(erased.data(), k);
        left -= k;
    }
    return sha.finish();
}

const char* cardsim_flash::version_name_(uint32_t partition) const
{
    if (partition >= CARDSIM_FLASH_PARTITIONS) {
        return nullptr;
    }
    const partition_def_s& d = k_parts[partition];
    return firmware_select_state_ == CARDSIM_IMAGE_A ? d.version_a : d.version_b;
}

// ---- the exchanges

// type@0 u32 (0 A, 1 B): the main image the service works on; answer status@0 u32
void cardsim_flash::firmware_select_(const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    uint32_t type = le_at<uint32_t>(req, len, 0);
    if (len < 4 || type > CARDSIM_IMAGE_B) {
        le_put<uint32_t>(rsp.data(), rsp.size(), 0, CARDSIM_FLASH_BAD_REQUEST);
        return;
    }
    firmware_select_state_ = type;
    le_put<uint32_t>(rsp.data(), rsp.size(), 0, CARDSIM_FLASH_DONE);
}

// partition@0 u32, size@8 u64 (0: the whole partition); polled
void cardsim_flash::erase_(const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    uint32_t part = le_at<uint32_t>(req, len, 0);
    uint64_t size = le_at<uint64_t>(req, len, 8);
    if (len < 16 || part >= CARDSIM_FLASH_PARTITIONS || size > k_parts[part].size) {
        status8(rsp, CARDSIM_FLASH_BAD_REQUEST);
        return;
    }
    (void)erase_polled_(0x10002, part, rsp);
}

// the whole partition erased by a polled operation: false, with the
// status in the answer, while it is in progress or when it fails
bool cardsim_flash::erase_polled_(uint32_t opcode, uint32_t part, std::vector<uint8_t>& rsp)
{
    if (!polled_(opcode, part, rsp)) {
        return false;
    }
    if (faulty_(cardsim_flash_fault_e::ERASE_FAILS, part)) {
        status8(rsp, CARDSIM_FLASH_IO_ERROR);
        return false;
    }
    erase_range_(part, 0, k_parts[part].size);
    status8(rsp, CARDSIM_FLASH_DONE);
    return true;
}

// partition@0, size@8 u64, digest type@16 u32 (2), version length@20 u8,
// digest@21, version@85; polled; the version is recorded when done
void cardsim_flash::erase_hash_(const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    uint32_t part = le_at<uint32_t>(req, len, 0);
    uint64_t size = le_at<uint64_t>(req, len, 8);
    if (len < 408 || part >= CARDSIM_FLASH_PARTITIONS || size > k_parts[part].size ||
        le_at<uint32_t>(req, len, 16) != 2 || req[20] > 62) {
        status8(rsp, CARDSIM_FLASH_BAD_REQUEST);
        return;
    }
    if (!erase_polled_(0x10016, part, rsp)) {
        return;
    }
    // the card checks the image against what this request announced when it boots
    partition_s& p = part_(part);
    p.announced = true;
    p.size = size;
    std::copy(req + 21, req + 21 + p.digest.size(), p.digest.begin());
    p.version = std::string(reinterpret_cast<const char*>(req + 85), req[20]);
    if (const char* name = version_name_(part)) {
        versions_[name] = p.version;
    }
    status8(rsp, CARDSIM_FLASH_DONE);
}

// partition@0 u32, sector count@4 u32, offset@8 u64, size@16 u64, both
// whole sectors; done at once
void cardsim_flash::sector_erase_(const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    uint32_t part = le_at<uint32_t>(req, len, 0);
    uint64_t offset = le_at<uint64_t>(req, len, 8), size = le_at<uint64_t>(req, len, 16);
    if (len < 168 || part >= CARDSIM_FLASH_PARTITIONS || size == 0 || offset % CARDSIM_FLASH_SECTOR != 0 ||
        size % CARDSIM_FLASH_SECTOR != 0 || offset > k_parts[part].size || size > k_parts[part].size - offset) {
        status8(rsp, CARDSIM_FLASH_BAD_REQUEST);
        return;
    }
    if (faulty_(cardsim_flash_fault_e::ERASE_FAILS, part)) {
        status8(rsp, CARDSIM_FLASH_IO_ERROR);
        return;
    }
    erase_range_(part, static_cast<size_t>(offset), static_cast<size_t>(offset + size));
    status8(rsp, CARDSIM_FLASH_DONE);
}

// a 32-byte header, partition@0 u32, offset@8 u64, length@16 u32, then the
// data; answer status@0 u8, bytes written@4 u32
void cardsim_flash::write_(const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    uint32_t part = le_at<uint32_t>(req, len, 0);
    uint64_t offset = le_at<uint64_t>(req, len, 8);
    uint32_t n = le_at<uint32_t>(req, len, 16);
    if (len < 32 || part >= CARDSIM_FLASH_PARTITIONS || n != len - 32 || offset > k_parts[part].size ||
        n > k_parts[part].size - offset) {
        status8(rsp, CARDSIM_FLASH_BAD_REQUEST);
        return;
    }
    for (const auto& p : pending_) {
        if (p.first.second == part && (p.first.first == 0x10002 || p.first.first == 0x10016)) {
            status8(rsp, CARDSIM_FLASH_BUSY);
            return;
        }
    }
    partition_s& p = part_(part);
    p.factory = false;
    if (p.data.empty() && n > 0) {
        p.data.assign(k_parts[part].size, 0xff);
    }
    for (uint32_t i = 0; i < n; i++) {
        p.data[offset + i] &= req[32 + i];
    }
    p.written = std::max<size_t>(p.written, offset + n);
    status8(rsp, CARDSIM_FLASH_DONE);
    le_put<uint32_t>(rsp.data(), rsp.size(), 4, n);
}

// image type@0 u32 (0 A, 1 B, 2 gold): the image the card boots next
void cardsim_flash::boot_ops_(const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    uint32_t type = le_at<uint32_t>(req, len, 0);
    if (len < 4 || type > CARDSIM_IMAGE_GOLD) {
        status8(rsp, CARDSIM_FLASH_BAD_REQUEST);
        return;
    }
    if (!faulty_(cardsim_flash_fault_e::BOOT_SELECT_LOST, CARDSIM_FLASH_ANY)) {
        boot_image_ = type;
        // the SuC starts from the main image's bank; gold leaves it where it was
        suc_boot_ = type == CARDSIM_IMAGE_GOLD ? suc_boot_ : type;
    }
    status8(rsp, CARDSIM_FLASH_DONE);
}

// partition@0 u32, size@8 u64 (0: what was written); polled; status@0, digest@1
void cardsim_flash::checksum_(const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    uint32_t part = le_at<uint32_t>(req, len, 0);
    uint64_t size = le_at<uint64_t>(req, len, 8);
    if (len < 16 || part >= CARDSIM_FLASH_PARTITIONS || size > k_parts[part].size) {
        status8(rsp, CARDSIM_FLASH_BAD_REQUEST);
        return;
    }
    if (!polled_(0x10005, part, rsp)) {
        return;
    }
    put_digest(rsp, digest_(part, size));
    status8(rsp, CARDSIM_FLASH_DONE);
}

// partition@0 u32: the partition of the image the card boots next; polled;
// status@0 (5: the image fails its check), digest@1 of the image, version@68
// char[64] it was written with, image type@132 u32 (the startup image)
void cardsim_flash::startup_verify_(const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    uint32_t part = le_at<uint32_t>(req, len, 0);
    if (len < 4 || part >= CARDSIM_FLASH_PARTITIONS) {
        status8(rsp, CARDSIM_FLASH_BAD_REQUEST);
        return;
    }
    if (!polled_(0x10007, part, rsp)) {
        return;
    }
    uint32_t bank = bank_(part, boot_image_);
    const partition_s& p = parts_[bank][part];
    le_put<uint32_t>(rsp.data(), rsp.size(), 132, boot_image_);
    if (!intact_(bank, part)) {
        status8(rsp, CARDSIM_FLASH_IO_ERROR);
        return;
    }
    put_digest(rsp, bank_digest_(bank, part, p.factory ? p.written : p.size));
    put_text(rsp, 68, 64, p.version);
    status8(rsp, CARDSIM_FLASH_DONE);
}

// partition@0 u32, size@8 u64, hash type@16 u32 (2), hash length@20 u16
// (64), digest@22; polled; answer 0 match, 4 digesting, 1 mismatch
void cardsim_flash::image_verify_(const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    uint32_t part = le_at<uint32_t>(req, len, 0);
    uint64_t size = le_at<uint64_t>(req, len, 8);
    if (len < 88 || part >= CARDSIM_FLASH_PARTITIONS || size > k_parts[part].size ||
        le_at<uint32_t>(req, len, 16) != 2 || le_at<uint16_t>(req, len, 20) != 64) {
        status8(rsp, CARDSIM_FLASH_BAD_REQUEST);
        return;
    }
    if (!polled_(0x1000f, part, rsp)) {
        return;
    }
    cardsim_sha512::digest_t d = digest_(part, size);
    status8(rsp, memcmp(d.data(), req + 22, d.size()) == 0 ? CARDSIM_FLASH_DONE : CARDSIM_FLASH_BAD_REQUEST);
}

// partition@0 u32, image type@4 u32 (0..2); polled; status@0 (5: the image
// of that boot image fails its check), then the version text it was written
// with from @1: what the card finds in the image, not its version record
void cardsim_flash::startup_checksum_(const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    uint32_t part = le_at<uint32_t>(req, len, 0), type = le_at<uint32_t>(req, len, 4);
    if (len < 8 || part >= CARDSIM_FLASH_PARTITIONS || type > CARDSIM_IMAGE_GOLD) {
        status8(rsp, CARDSIM_FLASH_BAD_REQUEST);
        return;
    }
    if (!polled_(0x10017, part, rsp)) {
        return;
    }
    uint32_t bank = bank_(part, type);
    if (!intact_(bank, part)) {
        status8(rsp, CARDSIM_FLASH_IO_ERROR);
        return;
    }
    put_text(rsp, 1, 64, parts_[bank][part].version);
    status8(rsp, CARDSIM_FLASH_DONE);
}

// abandons the update and every polled operation; status@0 u32
void cardsim_flash::abort_(const uint8_t*, size_t, std::vector<uint8_t>& rsp)
{
    started_ = false;
    pending_.clear();
    le_put<uint32_t>(rsp.data(), rsp.size(), 0, CARDSIM_FLASH_DONE);
}

void cardsim_flash::start_(const uint8_t*, size_t, std::vector<uint8_t>& rsp)
{
    started_ = true;
    le_put<uint32_t>(rsp.data(), rsp.size(), 0, CARDSIM_FLASH_DONE);
}
