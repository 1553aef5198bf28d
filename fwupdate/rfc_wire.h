#pragma once

#include <cstddef>
#include <cstdint>

// the records of the card's firmware-update service (endpoint 12): what the
// host sends and what the card answers, byte offsets, little-endian. the card
// firmware and this client agree on every layout here.

constexpr uint32_t RFC_ENDPOINT = 0x0c;

enum rfc_cmd_e : uint32_t {
    RFC_CMD_FIRMWARE_SELECT = 0x10001,
    RFC_CMD_FLASH_ERASE = 0x10002,
    RFC_CMD_FLASH_WRITE = 0x10003,
    RFC_CMD_BOOT_OPS_SET = 0x10004,
    RFC_CMD_CHECKSUM = 0x10005,
    RFC_CMD_META_DATA_GET = 0x10006,
    RFC_CMD_STARTUP_IMAGE_VERIFY = 0x10007,
    RFC_CMD_CARD_INFO_GET = 0x10008,
    RFC_CMD_PARTITION_INFO_GET = 0x10009,
    RFC_CMD_FLASH_SECTOR_ERASE = 0x1000a,
    RFC_CMD_SECURE_BOOT_UPDATE = 0x1000b,
    RFC_CMD_SECURE_IMAGE_INFO_GET = 0x1000c,
    RFC_CMD_SECURE_IMAGE_INFO_UPDATE = 0x1000d,
    RFC_CMD_SIGNED_META_DATA_GET = 0x1000e,
    RFC_CMD_IMAGE_VERIFY = 0x1000f,
    RFC_CMD_IMAGE_SIGNATURE = 0x10010,
    RFC_CMD_VERSION_INFO_GET = 0x10015,
    RFC_CMD_FLASH_ERASE_HASH = 0x10016,
    RFC_CMD_IMAGE_CHECKSUM_VERIFY = 0x10017,
    RFC_CMD_ABORT_OPERATION = 0x1001a,
    RFC_CMD_START_OPERATION = 0x1001b,
    RFC_CMD_XCVR_WRITE = 0x1001c,
    RFC_CMD_XCVR_VERSION_GET = 0x1001d,
};

// first answer byte of polled operations
constexpr uint8_t RFC_STATUS_DONE = 0;
constexpr uint8_t RFC_STATUS_IN_PROGRESS = 4;

constexpr size_t RFC_SHA512_LEN = 64;
constexpr uint32_t RFC_HASH_TYPE_SHA512 = 2;

// FLASH_ERASE (by size): partition@0 u32, size@8 u64; answer 1 byte status
constexpr size_t RFC_ERASE_REQ_SIZE = 16, RFC_ERASE_RSP_SIZE = 1;

// FLASH_ERASE by digest, 408 bytes
constexpr size_t RFC_ERASE_HASH_REQ_SIZE = 408;
constexpr size_t RFC_ERASE_HASH_OFF_PARTITION = 0, RFC_ERASE_HASH_OFF_SIZE = 8, RFC_ERASE_HASH_OFF_TYPE = 16,
                 RFC_ERASE_HASH_OFF_VERLEN = 20, RFC_ERASE_HASH_OFF_DIGEST = 21, RFC_ERASE_HASH_OFF_VERSION = 85;
constexpr size_t RFC_ERASE_HASH_VERSION_MAX = 62;

// FLASH_WRITE: a 32-byte header (partition@0 u32, offset@8 u64, length@16
// u32) and the chunk; answer 8 bytes: status@0 u8, bytes written@4 u32
constexpr size_t RFC_WRITE_HDR_SIZE = 32, RFC_WRITE_RSP_SIZE = 8;
constexpr size_t RFC_WRITE_OFF_PARTITION = 0, RFC_WRITE_OFF_OFFSET = 8, RFC_WRITE_OFF_LENGTH = 16;
constexpr size_t RFC_WRITE_LIMIT_SMALL = 474, RFC_WRITE_LIMIT = 974;

// BOOT_OPS_SET: image type@0 u32; answer 1 byte status
constexpr size_t RFC_BOOT_OPS_REQ_SIZE = 4, RFC_BOOT_OPS_RSP_SIZE = 1;

// FIRMWARE_SELECT: type@0 u32; answer status@0 u32
constexpr size_t RFC_FIRMWARE_SELECT_SIZE = 4;

// IMAGE_VERIFY, 88 bytes; answer 1 byte
constexpr size_t RFC_VERIFY_REQ_SIZE = 88, RFC_VERIFY_RSP_SIZE = 1;
constexpr size_t RFC_VERIFY_OFF_PARTITION = 0, RFC_VERIFY_OFF_SIZE = 8, RFC_VERIFY_OFF_TYPE = 16,
                 RFC_VERIFY_OFF_HASHLEN = 20, RFC_VERIFY_OFF_DIGEST = 22;

// checksum: partition@0 u32, size@8 u64; answer status@0, digest@1..64
constexpr size_t RFC_CHECKSUM_REQ_SIZE = 16, RFC_CHECKSUM_RSP_SIZE = 65;
// startup checksum: partition@0 u32, image type@4 u32; answer as checksum
constexpr size_t RFC_STARTUP_REQ_SIZE = 8, RFC_STARTUP_RSP_SIZE = 65;
// STARTUP_IMAGE_VERIFY: partition@0 u32; answer 924 bytes about that
// partition of the image the card boots next: status@0 u8, digest@1..64,
// version@68 char[64] the image was written with, image type@132 u32
constexpr size_t RFC_STARTUP_VERIFY_REQ_SIZE = 4, RFC_STARTUP_VERIFY_RSP_SIZE = 924;
constexpr size_t RFC_STARTUP_VERIFY_OFF_DIGEST = 1, RFC_STARTUP_VERIFY_OFF_VERSION = 68,
                 RFC_STARTUP_VERIFY_VERSION_LEN = 64, RFC_STARTUP_VERIFY_OFF_IMAGE = 132;

// START / ABORT operation: 1 byte request; answer status@0 u32
constexpr size_t RFC_OPERATION_REQ_SIZE = 1, RFC_OPERATION_RSP_SIZE = 4;

// CARD_INFO_GET: 1 byte request; answer 353 bytes
constexpr size_t RFC_CARD_INFO_REQ_SIZE = 1, RFC_CARD_INFO_RSP_SIZE = 353;
constexpr size_t RFC_CI_OFF_STATUS = 0;           // u8
constexpr size_t RFC_CI_OFF_IPC_VERSION = 4;      // u32
constexpr size_t RFC_CI_OFF_BOARD_ID = 8;         // u32
constexpr size_t RFC_CI_OFF_ASIC = 12;            // u8: 0 talmira, 1 sevrin
constexpr size_t RFC_CI_OFF_HW_FUSE = 13;         // u8
constexpr size_t RFC_CI_OFF_SIGCHK = 14;          // u8
constexpr size_t RFC_CI_OFF_SECURE_ENABLE = 15;   // u8
constexpr size_t RFC_CI_OFF_SECURE_BOOT = 16;     // u8
constexpr size_t RFC_CI_OFF_LCS = 17;             // u8: 0 open, 1 soft_prod, 2 prod, 3 disabled
constexpr size_t RFC_CI_OFF_SOC_RUNNING = 18;     // u8 firmware_image_type_e: 0 A, 1 B, 2 gold
constexpr size_t RFC_CI_OFF_SOC_STARTUP = 19;     // u8 firmware_image_type_e: 0 A, 1 B, 2 gold
constexpr size_t RFC_CI_OFF_SUC_RUNNING = 20;     // u8: 0 A, 1 B
constexpr size_t RFC_CI_OFF_SUC_STARTUP = 21;     // u8: 0 A, 1 B
constexpr size_t RFC_CI_OFF_LCS_FUSES = 24;       // u64
constexpr size_t RFC_CI_OFF_KEYNAME = 32;         // char[32], NUL-padded

// VERSION_INFO_GET: group selector@0 u32; answer 904 bytes: status@0 u8,
// count@4 u32, then count entries of name char[32] and version char[32]
constexpr size_t RFC_VERSION_REQ_SIZE = 4, RFC_VERSION_RSP_SIZE = 904;
constexpr size_t RFC_VERSION_OFF_COUNT = 4, RFC_VERSION_OFF_ENTRIES = 8, RFC_VERSION_FIELD = 32;
constexpr size_t RFC_VERSION_ENTRIES_MAX = (RFC_VERSION_RSP_SIZE - RFC_VERSION_OFF_ENTRIES) / (2 * RFC_VERSION_FIELD);
enum rfc_version_group_e : uint32_t {
    RFC_VERSION_GROUP_SUC = 0,
    RFC_VERSION_GROUP_FPGA = 1,
    RFC_VERSION_GROUP_SRI = 2,
    RFC_VERSION_GROUP_SOC = 3,
};

// SECURE_BOOT_UPDATE: 904 bytes each way, option@0 u32 / status@0 u32
constexpr size_t RFC_SECURE_BOOT_SIZE = 904;

// FLASH_SECTOR_ERASE, 168 bytes: partition@0 u32, sector count@4 u32,
// offset@8 u64, size@16 u64, whole 4 KiB sectors; answer 1 byte status,
// done at once. the client erases a group of sectors a request.
constexpr size_t RFC_SECTOR_ERASE_REQ_SIZE = 168, RFC_SECTOR_ERASE_RSP_SIZE = 1;
constexpr size_t RFC_SECTOR_ERASE_OFF_PARTITION = 0, RFC_SECTOR_ERASE_OFF_COUNT = 4, RFC_SECTOR_ERASE_OFF_OFFSET = 8,
                 RFC_SECTOR_ERASE_OFF_SIZE = 16;
constexpr uint64_t RFC_FLASH_SECTOR_SIZE = 4096;
constexpr uint32_t RFC_SECTOR_ERASE_GROUP = 16;  // sectors a request

// PARTITION_INFO_GET, 8 bytes: partition@0 u32, scope@4 u32 (0 every
// partition, answer 1016 bytes; 1 the one partition, answer 158); answer
// status@0 u8, count@4 u32, 48-byte entries from 8: id@0 u8, type id@1 u8
// (firmware_image_type_e), running@2, startup@3, upgradable@4, size@8 u64,
// version@16 char[32]
constexpr size_t RFC_PINFO_REQ_SIZE = 8, RFC_PINFO_RSP_ALL_SIZE = 1016, RFC_PINFO_RSP_ONE_SIZE = 158;
constexpr uint32_t RFC_PINFO_SCOPE_ALL = 0, RFC_PINFO_SCOPE_ONE = 1;
constexpr size_t RFC_PINFO_OFF_SCOPE = 4, RFC_PINFO_OFF_COUNT = 4, RFC_PINFO_OFF_ENTRIES = 8, RFC_PINFO_ENTRY = 48;
constexpr size_t RFC_PINFO_E_ID = 0, RFC_PINFO_E_TYPE = 1, RFC_PINFO_E_RUNNING = 2, RFC_PINFO_E_STARTUP = 3,
                 RFC_PINFO_E_UPGRADABLE = 4, RFC_PINFO_E_SIZE = 8, RFC_PINFO_E_VERSION = 16, RFC_PINFO_E_VERSION_LEN = 32;

// META_DATA_GET, 8 bytes: partition@0 u32; answer 1000 bytes: status@0 u8,
// profile name@8 char[64] (soc-dtb only), version@72 char[64]
constexpr size_t RFC_META_REQ_SIZE = 8, RFC_META_RSP_SIZE = 1000;
constexpr size_t RFC_META_OFF_PROFILE = 8, RFC_META_OFF_VERSION = 72, RFC_META_FIELD = 64;

// XCVR_WRITE: a 32-byte header (port@0 u32, partition@4 u32, offset@8 u64,
// length@16 u32) and the chunk; answer 16 bytes: status@0 u8, bytes
// written@4 u32, port@8 u32. status 4 or 16: the transceiver is busy
constexpr size_t RFC_XCVR_HDR_SIZE = 32, RFC_XCVR_RSP_SIZE = 16;
constexpr size_t RFC_XCVR_OFF_PORT = 0, RFC_XCVR_OFF_PARTITION = 4, RFC_XCVR_OFF_OFFSET = 8, RFC_XCVR_OFF_LENGTH = 16;
constexpr size_t RFC_XCVR_RSP_OFF_WRITTEN = 4, RFC_XCVR_RSP_OFF_PORT = 8;
constexpr uint8_t RFC_STATUS_BUSY = 16;

// XCVR_VERSION_GET: port@0 u8; answer 132 bytes: status@0 u8, port@4 u32,
// version@8 char[64]
constexpr size_t RFC_XCVR_VERSION_REQ_SIZE = 1, RFC_XCVR_VERSION_RSP_SIZE = 132;
constexpr size_t RFC_XCVR_VERSION_OFF_PORT = 4, RFC_XCVR_VERSION_OFF_TEXT = 8, RFC_XCVR_VERSION_FIELD = 64;

// SECURE_IMAGE_INFO_GET: type@0 u32; answer 628 bytes: status@0 u32 (2: type
// not described), ipc version@4 u32, type@8 u32, current boot partition@12
// u32, next boot partition@16 u32, bl1 anti-rollback count@24 u64, bl1
// anti-rollback version@32 u32, bl1 version@40 u64, hallgard version@48 u64,
// hallgard anti-rollback count@56 u64, hallgard anti-rollback version@64
// u32, bl31 version@72 char[64], fuse@136 u32, bl1 fuse@140 u32, hallgard
// enable@144 u32, lifecycle boot state@148 u32, next state@152 u32
constexpr size_t RFC_SII_REQ_SIZE = 4, RFC_SII_RSP_SIZE = 628;
constexpr size_t RFC_SII_OFF_STATUS = 0, RFC_SII_OFF_IPC_VERSION = 4, RFC_SII_OFF_TYPE = 8,
                 RFC_SII_OFF_CURRENT_BOOT = 12, RFC_SII_OFF_NEXT_BOOT = 16, RFC_SII_OFF_BL1_AR_COUNT = 24,
                 RFC_SII_OFF_BL1_AR_VERSION = 32, RFC_SII_OFF_BL1_VERSION = 40, RFC_SII_OFF_HALLGARD_VERSION = 48,
                 RFC_SII_OFF_HALLGARD_AR_COUNT = 56, RFC_SII_OFF_HALLGARD_AR_VERSION = 64,
                 RFC_SII_OFF_BL31_VERSION = 72, RFC_SII_BL31_FIELD = 64, RFC_SII_OFF_FUSE = 136,
                 RFC_SII_OFF_BL1_FUSE = 140, RFC_SII_OFF_HALLGARD_ENABLE = 144, RFC_SII_OFF_LCS_BOOT = 148,
                 RFC_SII_OFF_LCS_NEXT = 152;

// SECURE_IMAGE_INFO_UPDATE, 136 bytes: type@0 u32, operation@4 u32; answer
// status@0 u32
constexpr size_t RFC_SIU_REQ_SIZE = 136, RFC_SIU_RSP_SIZE = 4, RFC_SIU_OFF_OPCODE = 4;

// SIGNED_META_DATA_GET: partition@0 u32; answer 864 bytes: status@0 u32,
// text length@4 u32, JSON text@8 ("partition", "key_name", "version")
constexpr size_t RFC_SIGNED_META_REQ_SIZE = 4, RFC_SIGNED_META_RSP_SIZE = 864;
constexpr size_t RFC_SIGNED_META_OFF_LENGTH = 4, RFC_SIGNED_META_OFF_TEXT = 8;

// image signature (0x10010): partition@0 u32, key length@4 u32, PEM text@8,
// at most the 1024-byte body; answer 72 bytes, status@0 u32
constexpr size_t RFC_SIGNATURE_OFF_KEYLEN = 4, RFC_SIGNATURE_OFF_KEY = 8, RFC_SIGNATURE_REQ_MAX = 1024,
                 RFC_SIGNATURE_RSP_SIZE = 72;
