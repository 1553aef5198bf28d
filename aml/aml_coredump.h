#pragma once

// device-tree and coredump retrieval from a card, in chunks

#include <cstddef>
#include <cstdint>
#include <string>

#include "aml/aml_card_handle.h"
#include "aml/aml_status.h"

// bulk data read from a card in chunks over one channel: a device-tree blob
// of one of four types, and the stored coredump of the card or of its SUC.
// each retrieval learns the total first and then asks for chunks, each
// request naming the offset reached so far. whatever the card announces,
// nothing is written past the total it announced first, and that total
// never exceeds the caller's buffer.

constexpr uint32_t AML_DTB_TYPE_MAX = 4;
// DTB_SUMMARY_GET answer: status@0, total@4
constexpr size_t AML_DTB_SUMMARY_RSP_SIZE = 8;
// DTB_GET answer: status@0, chunk length@4, data@8
constexpr size_t AML_DTB_RSP_SIZE = 520;
constexpr size_t AML_DTB_DATA_OFFSET = 8;
constexpr size_t AML_DTB_CHUNK_MAX = AML_DTB_RSP_SIZE - AML_DTB_DATA_OFFSET;

// coredump chunk answer: status@0, chunk length@4, total@8 (the same in
// every chunk), offset of the chunk@12 (the offset asked for), data@16
constexpr size_t AML_COREDUMP_RSP_SIZE = 1016;
constexpr size_t AML_COREDUMP_TOTAL_OFFSET = 8;
constexpr size_t AML_COREDUMP_CHUNK_OFFSET = 12;
constexpr size_t AML_COREDUMP_DATA_OFFSET = 16;
constexpr size_t AML_COREDUMP_CHUNK_MAX = AML_COREDUMP_RSP_SIZE - AML_COREDUMP_DATA_OFFSET;
// a card announcing more than this is not believed
constexpr uint32_t AML_COREDUMP_SIZE_MAX = 64u << 20;

// the lines around a collected coredump in aml_coredump_get_rsp_s::coredump
constexpr const char* AML_COREDUMP_BEGIN = "#CD:BEGIN#\n";
constexpr const char* AML_COREDUMP_END = "#CD:END#\n";

struct aml_card_dtb_get_req_s {
    aml_card_handle_s card;
    uint32_t type = 0;         // DTB type, 1 to 4
    uint32_t buffer_size = 0;  // capacity of buffer in bytes
    void* buffer = nullptr;    // receives the blob; none (or size 0): only the size is reported
};
struct aml_card_dtb_get_rsp_s {
    std::string error;
    uint32_t size = 0;  // the blob's total size as the card announced it
};

// both coredump retrievals
struct aml_coredump_get_req_s {
    aml_card_handle_s card;
};
struct aml_coredump_get_rsp_s {
    // on success AML_COREDUMP_BEGIN, the coredump's bytes as the card stores
    // them, AML_COREDUMP_END; "No stored coredump\n" (or "No stored SUC
    // coredump\n") when the card holds none; empty on failure
    std::string coredump;
    uint32_t size = 0;  // bytes of the coredump itself
    std::string error;
};

// reads the DTB of the request's type into its buffer; with no buffer only
// the size. 11 for a type outside 1..4 and, without an error text, for a
// buffer smaller than the blob.
aml_status_e aml_card_dtb_get(aml_card_dtb_get_req_s* req, aml_card_dtb_get_rsp_s* rsp);

// collects the stored coredump of the card or of its SUC into the response
aml_status_e aml_card_coredump_get(aml_coredump_get_req_s* req, aml_coredump_get_rsp_s* rsp);
aml_status_e aml_suc_coredump_get(aml_coredump_get_req_s* req, aml_coredump_get_rsp_s* rsp);
