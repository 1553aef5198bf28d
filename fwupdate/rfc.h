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
int rfc_verify_image(flash_partition_e partition, const std::string& file, const std::string& digest,
                     const std::string& bdf, const bool& abort);
int rfc_verify_checksum(flash_partition_e partition, const std::string& file, const std::string& digest,
                        const std::string& bdf, const bool& abort);
int rfc_validate_startup_image(firmware_image_type_e type, flash_partition_e partition, const std::string& bdf,
                               std::string& digest);
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
