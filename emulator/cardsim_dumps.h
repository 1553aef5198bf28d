#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// the bulk data a card hands out in chunks: its stored coredump and its SUC's
// (endpoint 4), and its device-tree blobs of the four DTB types (a summary
// with the total size, then chunks by offset). the blobs are deterministic
// functions of the card's serial and of their sizes in the card spec, so a
// test can compare what the library assembled with cardsim_dump_bytes().
// every record is little-endian; the layouts are in docs/emulator.md.

struct cardsim_card_spec_s;

// which blob
enum class cardsim_dump_e : uint32_t {
    CARD_COREDUMP = 0,
    SUC_COREDUMP = 1,
    DTB_1 = 2,  // DTB types 1 to 4, in order
    DTB_2 = 3,
    DTB_3 = 4,
    DTB_4 = 5,
    ANY = 0xffffffff,  // for a fault: every blob
};
constexpr size_t CARDSIM_DUMPS = 6;

constexpr cardsim_dump_e cardsim_dtb(uint32_t type)
{
    return static_cast<cardsim_dump_e>(static_cast<uint32_t>(cardsim_dump_e::DTB_1) + type - 1);
}

// what a card can get wrong while it hands a blob out
enum class cardsim_dump_fault_e {
    NONE,
    TOTAL_LARGER,      // the announced total is `value` bytes more than the blob; chunks past its end are empty
    TOTAL_SMALLER,     // the announced total is `value` bytes less than the blob; the chunks still carry all of it
    CHUNK_LONGER,      // each chunk's length field says `value` bytes more than the chunk carries
    ZERO_CHUNK,        // every chunk is empty
    OFFSET_BACKWARDS,  // chunks after the first come from `value` bytes before the requested offset
};

struct cardsim_dump_fault_s {
    cardsim_dump_fault_e kind = cardsim_dump_fault_e::NONE;
    uint32_t value = 0;
    cardsim_dump_e dump = cardsim_dump_e::ANY;  // the blob it applies to
};

// coredump chunk answer (1016 bytes): status@0 u32, chunk length@4 u32,
// total@8 u32, offset of the chunk@12 u32, data@16 (at most 1000 bytes)
constexpr uint32_t CARDSIM_EP_DUMP = 0x04;
constexpr uint32_t CARDSIM_OP_COREDUMP_GET = 0x10001, CARDSIM_OP_SUC_COREDUMP_GET = 0x10009;
constexpr size_t CARDSIM_COREDUMP_RSP_SIZE = 1016;
constexpr size_t CARDSIM_COREDUMP_DATA_OFFSET = 16;
constexpr size_t CARDSIM_COREDUMP_CHUNK_MAX = CARDSIM_COREDUMP_RSP_SIZE - CARDSIM_COREDUMP_DATA_OFFSET;
// DTB summary answer (8 bytes): status@0, total@4; DTB chunk answer (520
// bytes): status@0, chunk length@4, data@8 (at most 512 bytes)
constexpr size_t CARDSIM_DTB_SUMMARY_RSP_SIZE = 8;
constexpr size_t CARDSIM_DTB_RSP_SIZE = 520;
constexpr size_t CARDSIM_DTB_DATA_OFFSET = 8;
constexpr size_t CARDSIM_DTB_CHUNK_MAX = CARDSIM_DTB_RSP_SIZE - CARDSIM_DTB_DATA_OFFSET;

// the blob as the card stores it: coredumps are text lines naming the card
// and their own offset, device trees start with the flattened-tree magic and
// continue with pseudo-random bytes
std::vector<uint8_t> cardsim_dump_bytes(const cardsim_card_spec_s& spec, cardsim_dump_e dump);

// the answers; rsp arrives zeroed at the answer's size. a request shorter
// than its 4-byte offset, or an offset past the announced total, is answered
// with status 2 and an empty chunk.
void cardsim_coredump_chunk_answer(const cardsim_card_spec_s& spec, cardsim_dump_e dump, const uint8_t* req,
                                   size_t len, std::vector<uint8_t>& rsp);
void cardsim_dtb_summary_answer(const cardsim_card_spec_s& spec, cardsim_dump_e dump, std::vector<uint8_t>& rsp);
void cardsim_dtb_chunk_answer(const cardsim_card_spec_s& spec, cardsim_dump_e dump, const uint8_t* req,
                              size_t len, std::vector<uint8_t>& rsp);
