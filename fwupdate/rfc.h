#pragma once

#include <cstdint>
#include <string>

#include "fwupdate/fwupdate_state.h"

// the remote flash client: the card's flash through its firmware-update
// service. results: 0, 255 failure, 39 abandoned through the abort flag,
// 2 a bad request

constexpr int RFC_OK = 0;
constexpr int RFC_ERR = 255;
constexpr int RFC_ABORTED = 39;
constexpr int RFC_BAD_REQUEST = 2;

int rfc_init(rfc_init_params_s* params);
int rfc_cleanup();
int fwupdate_ipc_open(const char* bdf);

int rfc_start_fwupdate_operation(const std::string& bdf);
int rfc_abort_fwupdate_operation(const std::string& bdf);
int rfc_firmware_type(uint32_t type, const std::string& bdf);
int rfc_flash_erase_based_on_hash(flash_partition_e partition, uint64_t size, const std::string& algorithm,
                                  const std::string& digest, const std::string& version, const std::string& bdf,
                                  const bool& abort);
int rfc_flash_erase(flash_partition_e partition, uint64_t size, const std::string& bdf, const bool& abort);
int rfc_flash_write(flash_partition_e partition, const std::string& file, const std::string& bdf, const bool& abort);
int rfc_set_startup_image(firmware_image_type_e type, const std::string& bdf);
int rfc_version_info_get(const std::string& bdf, const char* path, rfc_image_version_info_u* info);
int rfc_card_info_get(const std::string& bdf, const char* path, rfc_card_info_s* info);
// the version of the main firmware image the card runs, from the two answers
// above; "unknown" when the versions do not name it
std::string rfc_running_version(const rfc_card_info_s& card_info, const rfc_image_version_info_u& versions);
int rfc_verify_image(flash_partition_e partition, const std::string& file, const std::string& digest,
                     const std::string& bdf, const bool& abort);
int rfc_verify_checksum(flash_partition_e partition, const std::string& file, const std::string& digest,
                        const std::string& bdf, const bool& abort);
// the card's SHA-512 of the first size bytes of a partition, 128 upper-case
// hexadecimal characters
int rfc_partition_checksum(flash_partition_e partition, uint64_t size, const std::string& bdf, const bool& abort,
                           std::string& digest);
int rfc_validate_startup_image(firmware_image_type_e type, flash_partition_e partition, const std::string& bdf,
                               std::string& digest);
// STARTUP_IMAGE_VERIFY: what the card finds in one partition of the image it
// boots next; 255 also when the card says that image fails its check
struct rfc_startup_image_s {
    firmware_image_type_e image = FIRMWARE_IMAGE_INVALID;  // the startup image it answered for
    std::string digest;   // SHA-512 of the image, hexadecimal
    std::string version;  // the version the image was written with
};
int rfc_validate_startup_image(flash_partition_e partition, const std::string& bdf, rfc_startup_image_s& startup);
int rfc_secure_boot_update(uint32_t option, const std::string& bdf);

// chunk size of a partition's writes, and the number of chunks of a size
size_t rfc_write_chunk_size(flash_partition_e partition);
size_t rfc_write_chunk_count(flash_partition_e partition, uint64_t size);

// the card's service asks to be polled every 10 s while erasing and every
// 2 s while digesting
constexpr unsigned RFC_ERASE_POLL_S = 10;
constexpr unsigned RFC_VERIFY_POLL_S = 2;

// "RFC: (bdf) : ERROR - " + detail
std::string rfc_error_text(const std::string& bdf, const std::string& detail);

// erases whole 4 KiB sectors from the start of the partition, a group of
// sectors a request; size a non-zero multiple of 4 KiB
int rfc_flash_sector_erase(flash_partition_e partition, uint64_t size, const std::string& bdf);

// the card's description of one partition, or of every partition with
// RFC_PARTITION_ALL, as lines of "partition_info.txt" in the card's output
// directory. supported goes false when the card does not describe it
constexpr uint32_t RFC_PARTITION_ALL = FLASH_PARTITION_MAX;
int rfc_partition_info(const std::string& bdf, uint32_t partition, bool& supported);

// the profile name and version recorded for a partition; with write_file
// set, as JSON in the card's output directory ("<partition name>.txt")
int rfc_partition_metadata(flash_partition_e partition, const std::string& bdf, uint8_t write_file);

// transceiver firmware into partition "xcvr-eeprom" of one port. progress
// (percent), status and the callback, each optional, follow the chunks
typedef void (*rfc_progress_cb_t)(void* ctxt, uint8_t progress, const std::string& status);
constexpr unsigned RFC_XCVR_RETRY_S = 1;      // wait while the transceiver is busy
constexpr unsigned RFC_XCVR_RETRY_MAX = 10;   // busy answers a chunk may get
int rfc_xcvr_write(flash_partition_e partition, uint32_t port, const std::string& file, const std::string& bdf,
                   const bool& abort, uint8_t* progress = nullptr, std::string* status = nullptr,
                   rfc_progress_cb_t callback = nullptr, void* context = nullptr);
// the version of a port's transceiver firmware (port 0..255)
int rfc_xcvr_version_get(uint32_t port, const std::string& bdf, std::string* version = nullptr);

// secure boot options of SECURE_BOOT_UPDATE
enum secure_boot_option_e : uint32_t {
    SECURE_BOOT_OPTION_ENABLE = 1,
    SECURE_BOOT_OPTION_DISABLE = 2,
    SECURE_BOOT_OPTION_INVALID = 4,
};

// what SECURE_IMAGE_INFO_GET reports
enum secure_image_type_e : uint32_t {
    SECURE_IMAGE_TYPE_INVALID = 0,
    SECURE_IMAGE_TYPE_FUSES_LCS = 1,        // fuses and lifecycle state
    SECURE_IMAGE_TYPE_BOOT_RECORDS = 2,     // boot partitions, bl1 and trust firmware records
    SECURE_IMAGE_TYPE_BL31 = 3,             // BL31 version
    SECURE_IMAGE_TYPE_BOOT_PARTITIONS = 4,  // boot partitions only
};

// what SECURE_IMAGE_INFO_UPDATE applies to the selected type
enum secure_image_update_opcode_e : uint32_t {
    SECURE_IMAGE_UPDATE_NONE = 0,
    SECURE_IMAGE_UPDATE_AR_COUNTER_COMMIT = 1,  // commit the anti-rollback counter
    SECURE_IMAGE_UPDATE_LCS_PROD = 2,           // move the lifecycle state to production
};

// lifecycle states as the secure image information numbers them
const char* rfc_lcs_name(uint32_t state);

// SECURE_IMAGE_INFO_GET; with a name, the JSON text file "<name>.txt" in the
// card's output directory
int rfc_secure_image_info(const char* name, secure_image_type_e type, const std::string& bdf);
int rfc_secure_image_info_update(secure_image_type_e type, secure_image_update_opcode_e opcode, const std::string& bdf);
// the signed metadata of a partition into "<partition name>_signed.txt"
int rfc_partition_signed_metadata(flash_partition_e partition, const std::string& bdf);
// the card checks the partition's signature against the public key its
// signed metadata names: $ORLIX_CONF_DIR/fwkeys/<key name>_key-pub.pem
constexpr size_t RFC_KEY_PATH_MAX = 128;
int rfc_image_signature_verify(flash_partition_e partition, const std::string& bdf);
