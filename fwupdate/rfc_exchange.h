#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

// one request to the card's firmware-update service, with the client's
// wording of its failures: "Failed to send NAME, err : ...", "Failed to VERB
// OBJECT, err : N", "NAME IPC response size N doesn't match expected size M"

struct rfc_exchange_s {
    uint32_t cmd;
    const char* name;
    const char* verb;
    const char* object;
};

enum rfc_exchange_result_e { RFC_EXCHANGE_OK, RFC_EXCHANGE_FAILED };

// buf holds the request and receives the answer (room for rsp_len bytes)
rfc_exchange_result_e rfc_exchange(const rfc_exchange_s& x, uint8_t* buf, size_t req_len, size_t rsp_len,
                                   const std::string& bdf, ssize_t* received = nullptr);

// two hexadecimal characters a byte; false when the text is short or not hex
bool rfc_hex_to_bytes(const std::string& hex, uint8_t* out, size_t len);
// false, with the message, for a partition number outside the table
bool rfc_partition_ok(uint32_t partition);
