// the flash service's information exchanges: the card, its partitions and
// version records, secure boot and its image information, signed metadata,
// and the transceivers' eeprom

#include <fmt/format.h>

#include "emulator/cardsim_flash_layout.h"
#include "ipc/le_bytes.h"

using namespace cardsim_flash_layout;

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
    bool known = len >= 8 && type >= 1 && type <= 4;
    le_put<uint32_t>(rsp.data(), rsp.size(), 0, known ? CARDSIM_FLASH_DONE : CARDSIM_FLASH_UNSUPPORTED);
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

// a 32-byte header, port@0 u32, partition@4 u32 (19), offset@8 u64,
// length@16 u32, then the data; status@0 u8, bytes written@4 u32, port@8 u32
void cardsim_flash::xcvr_write_(const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    uint32_t port = le_at<uint32_t>(req, len, 0), part = le_at<uint32_t>(req, len, 4);
    uint32_t n = le_at<uint32_t>(req, len, 16);
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
