#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "emulator/cardsim_sha512.h"

// the card's firmware-update service (endpoint 12) and the flash behind it:
// one byte store per partition, erased flash reads 0xff, writes only clear
// bits as on NOR flash, long operations answer "in progress" a number of
// times before they finish. every record is little-endian; the layouts are
// in docs/emulator.md.

constexpr uint32_t CARDSIM_EP_FWUPDATE = 0x0c;
constexpr uint32_t CARDSIM_FLASH_PARTITIONS = 21;  // flash_partition_e 0..20
constexpr uint32_t CARDSIM_FLASH_ANY = 0xffffffff;
constexpr size_t CARDSIM_FLASH_SECTOR = 4096;

// first answer byte of the service's status answers
constexpr uint8_t CARDSIM_FLASH_DONE = 0;
constexpr uint8_t CARDSIM_FLASH_BAD_REQUEST = 1;
constexpr uint8_t CARDSIM_FLASH_UNSUPPORTED = 2;
constexpr uint8_t CARDSIM_FLASH_IN_PROGRESS = 4;
constexpr uint8_t CARDSIM_FLASH_IO_ERROR = 5;
constexpr uint8_t CARDSIM_FLASH_BUSY = 16;

// boot images, firmware_image_type_e; NONE: no image passes its check
constexpr uint32_t CARDSIM_IMAGE_A = 0, CARDSIM_IMAGE_B = 1, CARDSIM_IMAGE_GOLD = 2, CARDSIM_IMAGE_NONE = 3;

enum class cardsim_flash_fault_e {
    NONE,
    ERASE_FAILS,        // erases finish with CARDSIM_FLASH_IO_ERROR and leave the bytes as they were
    VERIFY_MISMATCH,    // IMAGE_VERIFY answers a mismatch; the checksums come back with a flipped bit
    STUCK_IN_PROGRESS,  // every polled operation answers "in progress" forever
    BOOT_SELECT_LOST,   // BOOT_OPS_SET answers done, the card keeps its boot image
};

struct cardsim_flash_fault_s {
    cardsim_flash_fault_e kind = cardsim_flash_fault_e::NONE;
    uint32_t partition = CARDSIM_FLASH_ANY;  // the partition it applies to
};

// lifecycle states, numbered as the secure image information numbers them
enum class cardsim_lcs_e : uint32_t { DISABLED = 0, OPEN = 1, SOFT_PROD = 2, PROD = 3, RIP = 4 };

struct cardsim_flash_reply_s {
    uint32_t fw_errno = 0;  // 95 for an opcode the service does not have
    std::vector<uint8_t> body;
};

class cardsim_flash {
public:
    explicit cardsim_flash(std::string serial);

    // one exchange of endpoint 12
    cardsim_flash_reply_s handle(uint32_t opcode, const uint8_t* req, size_t len);

    // what tests read and set
    static const char* partition_name(uint32_t partition);
    size_t partition_size(uint32_t partition) const;
    // the partition's bytes up to the end of what was written since its last
    // erase, in the bank the service works on (A/B partitions keep one store
    // per main image)
    std::vector<uint8_t> bytes(uint32_t partition) const;
    size_t written(uint32_t partition) const;
    // writes as FLASH_WRITE does (bits only cleared); false when out of range
    bool write(uint32_t partition, uint64_t offset, const std::vector<uint8_t>& data);
    uint32_t boot_image() const;     // selected by BOOT_OPS_SET
    void set_running_image(uint32_t image);  // what the card runs: A, B or gold
    uint32_t running_image() const;
    // the card reboots: it boots the image BOOT_OPS_SET selected when that
    // image passes its check, else the next one of its boot order (selected,
    // other main, gold; gold selected: gold, A, B). returns what it runs now,
    // CARDSIM_IMAGE_NONE when no image passes (running stays as it was).
    // flash, versions and the selection persist; a started update is gone
    uint32_t reset();
    // true when every SoC partition of the image holds a whole image whose
    // version record on flash is the one it was written with
    bool bootable(uint32_t image) const;
    uint32_t firmware_select() const;  // the last FIRMWARE_SELECT type
    bool operation_started() const;    // between START and ABORT
    std::string version(const std::string& name) const;
    void set_version(const std::string& name, const std::string& text);
    void set_board_id(uint32_t id);
    void set_lifecycle(cardsim_lcs_e lcs);
    void set_secure(bool enrolled, bool gold_is_secure);
    bool secure_boot() const;
    void set_signing_key(const std::string& name);  // "eng" by default
    // how many "in progress" answers a polled operation gives before it is done
    void set_busy_polls(uint32_t n);
    void set_fault(const cardsim_flash_fault_s& fault);
    cardsim_flash_fault_s fault() const;

private:
    // one bank of a partition, and the image the card finds in it at boot
    struct partition_s {
        std::vector<uint8_t> data;  // empty: all erased
        size_t written = 0;
        bool factory = true;     // as shipped: a whole image, its bytes not modelled
        bool announced = false;  // an erase by digest announced size, digest and version
        uint64_t size = 0;
        cardsim_sha512::digest_t digest{};
        std::string version;     // the version the image was written with
    };
    using handler_fn = void (cardsim_flash::*)(const uint8_t*, size_t, std::vector<uint8_t>&);

    void firmware_select_(const uint8_t*, size_t, std::vector<uint8_t>&);
    void erase_(const uint8_t*, size_t, std::vector<uint8_t>&);
    void erase_hash_(const uint8_t*, size_t, std::vector<uint8_t>&);
    void sector_erase_(const uint8_t*, size_t, std::vector<uint8_t>&);
    void write_(const uint8_t*, size_t, std::vector<uint8_t>&);
    void boot_ops_(const uint8_t*, size_t, std::vector<uint8_t>&);
    void checksum_(const uint8_t*, size_t, std::vector<uint8_t>&);
    void metadata_(const uint8_t*, size_t, std::vector<uint8_t>&);
    void startup_verify_(const uint8_t*, size_t, std::vector<uint8_t>&);
    void card_info_(const uint8_t*, size_t, std::vector<uint8_t>&);
    void partition_info_(const uint8_t*, size_t, std::vector<uint8_t>&);
    void secure_boot_(const uint8_t*, size_t, std::vector<uint8_t>&);
    void secure_info_(const uint8_t*, size_t, std::vector<uint8_t>&);
    void secure_info_update_(const uint8_t*, size_t, std::vector<uint8_t>&);
    void signed_metadata_(const uint8_t*, size_t, std::vector<uint8_t>&);
    void image_verify_(const uint8_t*, size_t, std::vector<uint8_t>&);
    void signature_verify_(const uint8_t*, size_t, std::vector<uint8_t>&);
    void version_info_(const uint8_t*, size_t, std::vector<uint8_t>&);
    void startup_checksum_(const uint8_t*, size_t, std::vector<uint8_t>&);
    void abort_(const uint8_t*, size_t, std::vector<uint8_t>&);
    void start_(const uint8_t*, size_t, std::vector<uint8_t>&);
    void xcvr_write_(const uint8_t*, size_t, std::vector<uint8_t>&);
    void xcvr_version_(const uint8_t*, size_t, std::vector<uint8_t>&);

    // a polled operation on a partition: true when it is done now, false
    // when this answer is "in progress"
    bool poll_(uint32_t opcode, uint32_t partition);
    bool polled_(uint32_t opcode, uint32_t partition, std::vector<uint8_t>& rsp);
    bool faulty_(cardsim_flash_fault_e kind, uint32_t partition) const;
    void erase_range_(uint32_t partition, size_t from, size_t to);
    bool erase_polled_(uint32_t opcode, uint32_t partition, std::vector<uint8_t>& rsp);
    cardsim_sha512::digest_t digest_(uint32_t partition, uint64_t size) const;
    cardsim_sha512::digest_t bank_digest_(uint32_t bank, uint32_t partition, uint64_t size) const;
    const char* version_name_(uint32_t partition) const;
    // A/B partitions: the bank of a main image (0 A, 1 B); others: 0
    uint32_t bank_(uint32_t partition, uint32_t image) const;
    partition_s& part_(uint32_t partition) { return parts_[bank_(partition, firmware_select_state_)][partition]; }
    const partition_s& part_(uint32_t partition) const
    {
        return parts_[bank_(partition, firmware_select_state_)][partition];
    }
    // the bank holds all the bytes it was announced with (or is as shipped)
    bool intact_(uint32_t bank, uint32_t partition) const;
    bool bootable_(uint32_t image) const;
    const char* bank_version_name_(uint32_t bank, uint32_t partition) const;

    struct entry_s {
        uint32_t opcode;
        size_t rsp_size;
        handler_fn fn;
    };
    static const entry_s k_entries[];

public:
    // the answer size of an opcode of the service; 0 when it has none
    static size_t response_size(uint32_t opcode);

private:
    mutable std::mutex mutex_;
    std::string serial_;
    partition_s parts_[2][CARDSIM_FLASH_PARTITIONS];
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> pending_;  // (opcode, partition) -> polls left
    std::map<std::string, std::string> versions_;
    uint32_t busy_polls_ = 1;
    uint32_t boot_image_ = CARDSIM_IMAGE_A;
    uint32_t running_image_ = CARDSIM_IMAGE_A;
    uint32_t suc_boot_ = CARDSIM_IMAGE_A, suc_running_ = CARDSIM_IMAGE_A;  // the SuC's main image
    uint32_t firmware_select_state_ = CARDSIM_IMAGE_A;
    bool started_ = false;
    uint32_t board_id_ = 0x00010001;
    cardsim_lcs_e lcs_ = cardsim_lcs_e::OPEN;
    bool enrolled_ = true;
    bool gold_secure_ = false;
    bool secure_on_ = false;
    std::string signing_key_ = "eng";
    cardsim_flash_fault_s fault_;
};
