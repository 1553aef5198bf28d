// the card's firmware-update service: partitions, erase/write/verify, boot
// image selection, card and version information, secure-boot state

#include "emulator/cardsim_flash.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "ipc/le_bytes.h"

namespace {

struct partition_def_s {
    const char* name;
    size_t size;
    const char* version_a;  // the version entry that describes it, by bank; null: none
    const char* version_b;
    bool gold;
    bool upgradable;
    bool signed_image;
};

constexpr size_t KiB = 1024, MiB = 1024 * KiB;

// flash_partition_e order
const partition_def_s k_parts[CARDSIM_FLASH_PARTITIONS] = {
    {"suc-boot", 256 * KiB, "uboot_a", "uboot_b", false, true, false},
    {"suc-app", 1 * MiB, "app_a", "app_b", false, true, false},
    {"soc-partition-table", 64 * KiB, nullptr, nullptr, false, true, false},
    {"soc-gold-ubootspl", 256 * KiB, "Gold Ubootspl", "Gold Ubootspl", true, true, true},
    {"soc-gold-zephyr", 4 * MiB, "Gold Zephyr", "Gold Zephyr", true, true, true},
    {"softrom-0", 256 * KiB, "softrom_0", "softrom_0", false, true, false},
    {"softrom-1", 256 * KiB, "softrom_1", "softrom_1", false, true, false},
    {"hallgardfw", 512 * KiB, "Hallgard-A", "Hallgard-B", false, true, true},
    {"soc-ubootspl", 256 * KiB, "Ubootspl-A", "Ubootspl-B", false, true, true},
    {"soc-uboot", 1 * MiB, "Uboot-A", "Uboot-B", false, true, true},
    {"soc-zephyr", 4 * MiB, "Zephyr-A", "Zephyr-B", false, true, true},
    {"soc-dtb", 256 * KiB, "DTB-A", "DTB-B", false, true, false},
    {"oprom", 256 * KiB, "Oprom-A", "Oprom-B", false, true, false},
    {"soc-fwcfg", 256 * KiB, nullptr, nullptr, false, true, false},
    {"runtime-log", 1 * MiB, nullptr, nullptr, false, false, false},
    {"coredump", 2 * MiB, nullptr, nullptr, false, false, false},
    {"fpga-boot", 1 * MiB, "fpga_boot_a", "fpga_boot_b", false, true, false},
    {"fpga-cfg", 1 * MiB, "fpga_cfg_a", "fpga_cfg_b", false, true, false},
    {"soc-uboottpl", 256 * KiB, "Uboottpl", "Uboottpl", false, true, true},
    {"xcvr-eeprom", 256 * KiB, nullptr, nullptr, false, true, false},
    {"fpga-gold-cfg", 1 * MiB, nullptr, nullptr, true, true, false},
};

// VERSION_INFO_GET groups, by selector
const std::vector<std::vector<const char*>> k_version_groups = {
    {"uboot_a", "app_a", "uboot_b", "app_b"},
    {"fpga_boot_a", "fpga_cfg_a", "fpga_boot_b", "fpga_cfg_b"},
    {"softrom_0", "softrom_1", "Uboottpl", "Gold Ubootspl", "Gold Zephyr"},
    {"Hallgard-A", "Ubootspl-A", "Uboot-A", "Zephyr-A", "DTB-A Name", "DTB-A", "Oprom-A", "Hallgard-B",
     "Ubootspl-B", "Uboot-B", "Zephyr-B", "DTB-B Name", "DTB-B", "Oprom-B"},
};

// the SoC partitions a main image boots from, and those of the gold image
const uint32_t k_main_boot_parts[] = {8, 9, 10};  // soc-ubootspl, soc-uboot, soc-zephyr
const uint32_t k_gold_boot_parts[] = {3, 4};      // soc-gold-ubootspl, soc-gold-zephyr

// the boot order: the selected image first, then the others in turn
const uint32_t k_boot_order[3][3] = {
    {CARDSIM_IMAGE_A, CARDSIM_IMAGE_B, CARDSIM_IMAGE_GOLD},
    {CARDSIM_IMAGE_B, CARDSIM_IMAGE_A, CARDSIM_IMAGE_GOLD},
    {CARDSIM_IMAGE_GOLD, CARDSIM_IMAGE_A, CARDSIM_IMAGE_B},
};

constexpr const char* k_default_version = "1.4.0";
constexpr uint32_t k_ipc_version = 1;
constexpr size_t k_version_field = 32;

// NUL-padded text in a field of `field` bytes, the last byte always NUL
void put_text(std::vector<uint8_t>& b, size_t at, size_t field, const std::string& text)
{
    size_t n = std::min(text.size(), field - 1);
    if (at + n <= b.size()) {
        memcpy(b.data() + at, text.data(), n);
    }
}

void put_digest(std::vector<uint8_t>& b, const cardsim_sha512::digest_t& d)
{
    std::copy(d.begin(), d.end(), b.begin() + 1);
}

// the one-byte (or word) status most answers start with
void status8(std::vector<uint8_t>& b, uint8_t s)
{
    b[0] = s;
}

}  // namespace

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
    if (!poll_(0x10002, part)) {
        status8(rsp, CARDSIM_FLASH_IN_PROGRESS);
        return;
    }
    if (faulty_(cardsim_flash_fault_e::ERASE_FAILS, part)) {
        status8(rsp, CARDSIM_FLASH_IO_ERROR);
        return;
    }
    erase_range_(part, 0, k_parts[part].size);
    status8(rsp, CARDSIM_FLASH_DONE);
}

// partition@0, size@8 u64, digest type@16 u32 (2), version length@20 u8,
// digest@21, version@85; polled; the version is recorded when done
void cardsim_flash::erase_hash_(const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    uint32_t part = le_at<uint32_t>(req, len, 0);
    uint64_t size = le_at<uint64_t>(req, len, 8);
    if (len < 408 || part >= CARDSIM_FLASH_PARTITIONS || size > k_parts[part].size || le_at<uint32_t>(req, len, 16) != 2 ||
        req[20] > 62) {
        status8(rsp, CARDSIM_FLASH_BAD_REQUEST);
        return;
    }
    if (!poll_(0x10016, part)) {
        status8(rsp, CARDSIM_FLASH_IN_PROGRESS);
        return;
    }
    if (faulty_(cardsim_flash_fault_e::ERASE_FAILS, part)) {
        status8(rsp, CARDSIM_FLASH_IO_ERROR);
        return;
    }
    erase_range_(part, 0, k_parts[part].size);
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
    if (!poll_(0x10005, part)) {
        status8(rsp, CARDSIM_FLASH_IN_PROGRESS);
        return;
    }
    put_digest(rsp, digest_(part, size));
    status8(rsp, CARDSIM_FLASH_DONE);
}

// partition@0 u32; status@0 u8, profile name@8 char[64], version@72 char[64]
void cardsim_flash::metadata_(const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    uint32_t part = le_at<uint32_t>(req, len, 0);
    if (len < 4 || part >= CARDSIM_FLASH_PARTITIONS) {
        status8(rsp, CARDSIM_FLASH_BAD_REQUEST);
        return;
    }
    const char* name = version_name_(part);
    if (name == nullptr) {
        status8(rsp, CARDSIM_FLASH_UNSUPPORTED);
        return;
    }
    if (part == 11) {
        put_text(rsp, 8, 64, versions_[std::string(name) + " Name"]);
    }
    put_text(rsp, 72, 64, versions_[name]);
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
    if (!poll_(0x10007, part)) {
        status8(rsp, CARDSIM_FLASH_IN_PROGRESS);
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

void cardsim_flash::card_info_(const uint8_t*, size_t, std::vector<uint8_t>& rsp)
{
    // lifecycle as the card information numbers it: 0 open, 1 soft_prod,
    // 2 prod, 3 disabled, 4 anything else
    uint8_t lcs = 4;
    switch (lcs_) {
    case cardsim_lcs_e::OPEN: lcs = 0; break;
    case cardsim_lcs_e::SOFT_PROD: lcs = 1; break;
    case cardsim_lcs_e::PROD: lcs = 2; break;
    case cardsim_lcs_e::DISABLED: lcs = 3; break;
    case cardsim_lcs_e::RIP: lcs = 4; break;
    }
    status8(rsp, CARDSIM_FLASH_DONE);
    le_put<uint32_t>(rsp.data(), rsp.size(), 4, k_ipc_version);
    le_put<uint32_t>(rsp.data(), rsp.size(), 8, board_id_);
    rsp[12] = 0;  // talmira
    rsp[13] = 1;  // hardware fuse
    rsp[14] = 1;  // signature check
    rsp[15] = enrolled_ ? 1 : 0;
    rsp[16] = secure_on_ ? 1 : 0;
    rsp[17] = lcs;
    rsp[18] = static_cast<uint8_t>(running_image_);
    rsp[19] = static_cast<uint8_t>(boot_image_);
    rsp[20] = static_cast<uint8_t>(suc_running_);
    rsp[21] = static_cast<uint8_t>(suc_boot_);
    le_put<uint64_t>(rsp.data(), rsp.size(), 24, uint64_t{1} << static_cast<uint32_t>(lcs_));
    put_text(rsp, 32, 32, signing_key_);
    put_text(rsp, 64, 32, serial_);
}

// partition@0 u32, scope@4 u32 (0 all partitions, answer 1016 bytes; 1 the
// one partition, answer 158); status@0 u8, count@4 u32, 48-byte entries from 8
void cardsim_flash::partition_info_(const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    uint32_t part = le_at<uint32_t>(req, len, 0), scope = le_at<uint32_t>(req, len, 4);
    if (scope == 1) {
        rsp.assign(158, 0);
    }
    if (len < 8 || scope > 1 || (scope == 1 && part >= CARDSIM_FLASH_PARTITIONS)) {
        status8(rsp, CARDSIM_FLASH_BAD_REQUEST);
        return;
    }
    uint32_t first = scope == 1 ? part : 0, last = scope == 1 ? part + 1 : CARDSIM_FLASH_PARTITIONS;
    size_t at = 8;
    for (uint32_t i = first; i < last; i++, at += 48) {
        const partition_def_s& d = k_parts[i];
        // the entry describes the bank the service works on; it runs (starts)
        // when that is the image running (starting)
        uint32_t type = d.gold ? CARDSIM_IMAGE_GOLD : firmware_select_state_;
        rsp[at + 0] = static_cast<uint8_t>(i);
        rsp[at + 1] = static_cast<uint8_t>(type);
        rsp[at + 2] = type == running_image_ ? 1 : 0;
        rsp[at + 3] = type == boot_image_ ? 1 : 0;
        rsp[at + 4] = d.upgradable ? 1 : 0;
        le_put<uint64_t>(rsp.data(), rsp.size(), at + 8, d.size);
        if (const char* name = version_name_(i)) {
            put_text(rsp, at + 16, 32, versions_[name]);
        }
    }
    status8(rsp, CARDSIM_FLASH_DONE);
    le_put<uint32_t>(rsp.data(), rsp.size(), 4, last - first);
}

// option@0 u32: 1 enable, 2 disable; answer status@0 u32: 0, 100 not
// enrolled, 101 lifecycle prod, 6 gold image is a secure one
void cardsim_flash::secure_boot_(const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    uint32_t option = le_at<uint32_t>(req, len, 0);
    if (len < 4 || (option != 1 && option != 2)) {
        le_put<uint32_t>(rsp.data(), rsp.size(), 0, CARDSIM_FLASH_BAD_REQUEST);
        return;
    }
    if (!enrolled_) {
        le_put<uint32_t>(rsp.data(), rsp.size(), 0, 100);
        return;
    }
    if (option == 2 && lcs_ == cardsim_lcs_e::PROD) {
        le_put<uint32_t>(rsp.data(), rsp.size(), 0, 101);
        return;
    }
    if (option == 2 && gold_secure_) {
        le_put<uint32_t>(rsp.data(), rsp.size(), 0, 6);
        return;
    }
    secure_on_ = option == 1;
    le_put<uint32_t>(rsp.data(), rsp.size(), 0, CARDSIM_FLASH_DONE);
}

// image type@0 u32 (1..4); status@0 u32, ipc version@4, type@8, current and
// next boot partition@12/@16 (types 2, 4), anti-rollback records@24..@68
// (type 2), bl31 version@72 char[64] (type 3), fuses and lifecycle@136..@152 (type 1)
void cardsim_flash::secure_info_(const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    uint32_t type = le_at<uint32_t>(req, len, 0);
    if (len < 4 || type == 0 || type > 4) {
        le_put<uint32_t>(rsp.data(), rsp.size(), 0, CARDSIM_FLASH_UNSUPPORTED);
        return;
    }
    le_put<uint32_t>(rsp.data(), rsp.size(), 4, k_ipc_version);
    le_put<uint32_t>(rsp.data(), rsp.size(), 8, type);
    if (type == 2 || type == 4) {
        le_put<uint32_t>(rsp.data(), rsp.size(), 12, running_image_);
        le_put<uint32_t>(rsp.data(), rsp.size(), 16, boot_image_);
    }
    if (type == 2) {
        le_put<uint64_t>(rsp.data(), rsp.size(), 24, 1);       // bl1 anti-rollback nv count
        le_put<uint32_t>(rsp.data(), rsp.size(), 32, 1);       // bl1 anti-rollback version
        le_put<uint64_t>(rsp.data(), rsp.size(), 40, 0x10400); // bl1 version
        le_put<uint64_t>(rsp.data(), rsp.size(), 48, 0x10400); // hallgard version
        le_put<uint64_t>(rsp.data(), rsp.size(), 56, 1);
        le_put<uint32_t>(rsp.data(), rsp.size(), 64, 1);
    }
    if (type == 3) {
        put_text(rsp, 72, 64, "v2.8(release)");
    }
    if (type == 1) {
        le_put<uint32_t>(rsp.data(), rsp.size(), 136, secure_on_ ? 0x3 : 0x1);
        le_put<uint32_t>(rsp.data(), rsp.size(), 140, 0x1);
        le_put<uint32_t>(rsp.data(), rsp.size(), 144, enrolled_ ? 1 : 0);
        le_put<uint32_t>(rsp.data(), rsp.size(), 148, static_cast<uint32_t>(lcs_));
        le_put<uint32_t>(rsp.data(), rsp.size(), 152, static_cast<uint32_t>(lcs_));
    }
    le_put<uint32_t>(rsp.data(), rsp.size(), 0, CARDSIM_FLASH_DONE);
}

// image type@0 u32, operation@4 u32; accepted for types 1..4, nothing changes
void cardsim_flash::secure_info_update_(const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    uint32_t type = le_at<uint32_t>(req, len, 0);
    le_put<uint32_t>(rsp.data(), rsp.size(), 0, len >= 8 && type >= 1 && type <= 4 ? CARDSIM_FLASH_DONE : CARDSIM_FLASH_UNSUPPORTED);
}

// partition@0 u32; status@0 u32, text length@4 u32, JSON text@8
void cardsim_flash::signed_metadata_(const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    uint32_t part = le_at<uint32_t>(req, len, 0);
    if (len < 4 || part >= CARDSIM_FLASH_PARTITIONS || !k_parts[part].signed_image) {
        le_put<uint32_t>(rsp.data(), rsp.size(), 0, CARDSIM_FLASH_UNSUPPORTED);
        return;
    }
    const char* name = version_name_(part);
    std::string json = fmt::format("{{\"partition\": \"{}\", \"key_name\": \"{}\", \"version\": \"{}\"}}",
                                   k_parts[part].name, signing_key_, name ? versions_[name] : "");
    put_text(rsp, 8, rsp.size() - 8, json);
    le_put<uint32_t>(rsp.data(), rsp.size(), 4, static_cast<uint32_t>(std::min(json.size(), rsp.size() - 9)));
    le_put<uint32_t>(rsp.data(), rsp.size(), 0, CARDSIM_FLASH_DONE);
}

// partition@0 u32, size@8 u64, hash type@16 u32 (2), hash length@20 u16
// (64), digest@22; polled; answer 0 match, 4 digesting, 1 mismatch
void cardsim_flash::image_verify_(const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    uint32_t part = le_at<uint32_t>(req, len, 0);
    uint64_t size = le_at<uint64_t>(req, len, 8);
    if (len < 88 || part >= CARDSIM_FLASH_PARTITIONS || size > k_parts[part].size || le_at<uint32_t>(req, len, 16) != 2 ||
        le_at<uint16_t>(req, len, 20) != 64) {
        status8(rsp, CARDSIM_FLASH_BAD_REQUEST);
        return;
    }
    if (!poll_(0x1000f, part)) {
        status8(rsp, CARDSIM_FLASH_IN_PROGRESS);
        return;
    }
    cardsim_sha512::digest_t d = digest_(part, size);
    status8(rsp, memcmp(d.data(), req + 22, d.size()) == 0 ? CARDSIM_FLASH_DONE : CARDSIM_FLASH_BAD_REQUEST);
}

// partition@0 u32, key length@4 u32, PEM key text@8; status@0 u32
void cardsim_flash::signature_verify_(const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    uint32_t part = le_at<uint32_t>(req, len, 0), key_len = le_at<uint32_t>(req, len, 4);
    if (len < 8 || part >= CARDSIM_FLASH_PARTITIONS || !k_parts[part].signed_image) {
        le_put<uint32_t>(rsp.data(), rsp.size(), 0, CARDSIM_FLASH_UNSUPPORTED);
        return;
    }
    std::string key = key_len <= len - 8 ? std::string(reinterpret_cast<const char*>(req + 8), key_len) : "";
    bool ok = key.find("PUBLIC KEY") != std::string::npos && part_(part).written > 0;
    le_put<uint32_t>(rsp.data(), rsp.size(), 0, ok ? CARDSIM_FLASH_DONE : CARDSIM_FLASH_BAD_REQUEST);
}

// group@0 u32 (0 SuC, 1 FPGA, 2 secure ROM group, 3 SoC); status@0 u8,
// count@4 u32, entries of name char[32] and version char[32] from 8
void cardsim_flash::version_info_(const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    uint32_t group = le_at<uint32_t>(req, len, 0);
    if (len < 4 || group >= k_version_groups.size()) {
        status8(rsp, CARDSIM_FLASH_BAD_REQUEST);
        return;
    }
    const auto& names = k_version_groups[group];
    size_t at = 8;
    for (const char* name : names) {
        put_text(rsp, at, k_version_field, name);
        put_text(rsp, at + k_version_field, k_version_field, versions_[name]);
        at += 2 * k_version_field;
    }
    le_put<uint32_t>(rsp.data(), rsp.size(), 4, static_cast<uint32_t>(names.size()));
    status8(rsp, CARDSIM_FLASH_DONE);
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
    if (!poll_(0x10017, part)) {
        status8(rsp, CARDSIM_FLASH_IN_PROGRESS);
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

// a 32-byte header, port@0 u32, partition@4 u32 (19), offset@8 u64,
// length@16 u32, then the data; status@0 u8, bytes written@4 u32, port@8 u32
void cardsim_flash::xcvr_write_(const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    uint32_t port = le_at<uint32_t>(req, len, 0), part = le_at<uint32_t>(req, len, 4), n = le_at<uint32_t>(req, len, 16);
    uint64_t offset = le_at<uint64_t>(req, len, 8);
    constexpr uint32_t xcvr = 19;
    if (len < 32 || part != xcvr || n != len - 32 || offset > k_parts[xcvr].size || n > k_parts[xcvr].size - offset) {
        status8(rsp, CARDSIM_FLASH_BAD_REQUEST);
        return;
    }
    partition_s& p = parts_[0][xcvr];
    if (p.data.empty()) {
        p.data.assign(k_parts[xcvr].size, 0xff);
    }
    memcpy(p.data.data() + offset, req + 32, n);
    p.written = std::max<size_t>(p.written, offset + n);
    status8(rsp, CARDSIM_FLASH_DONE);
    le_put<uint32_t>(rsp.data(), rsp.size(), 4, n);
    le_put<uint32_t>(rsp.data(), rsp.size(), 8, port);
}

// port@0 u8; status@0 u8, port@4 u32, version@8 char[64]
void cardsim_flash::xcvr_version_(const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    if (len < 1) {
        status8(rsp, CARDSIM_FLASH_BAD_REQUEST);
        return;
    }
    le_put<uint32_t>(rsp.data(), rsp.size(), 4, req[0]);
    put_text(rsp, 8, 64, k_default_version);
    status8(rsp, CARDSIM_FLASH_DONE);
}

// ---- what tests read and set

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
