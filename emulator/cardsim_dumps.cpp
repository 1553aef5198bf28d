// the card's stored coredumps and device trees, handed out in chunks by
// offset, and the faults that bend the chunks

#include "emulator/cardsim_dumps.h"

#include <algorithm>
#include <cstring>
#include <string>

#include <fmt/format.h>

#include "emulator/cardsim_card.h"
#include "ipc/le_bytes.h"

namespace {

constexpr uint32_t k_status_invalid_arg = 2;
constexpr uint32_t k_fdt_magic = 0xd00dfeed;

uint32_t req_offset(const uint8_t* req, size_t len, bool* ok)
{
    uint32_t offset = 0;
    *ok = le_get(req, len, 0, offset);
    return offset;
}

const cardsim_dump_fault_s* fault_of(const cardsim_card_spec_s& spec, cardsim_dump_e dump)
{
    const cardsim_dump_fault_s& f = spec.dump_fault;
    if (f.kind == cardsim_dump_fault_e::NONE || (f.dump != cardsim_dump_e::ANY && f.dump != dump)) {
        return nullptr;
    }
    return &f;
}

uint32_t announced_total(const cardsim_card_spec_s& spec, cardsim_dump_e dump)
{
    uint32_t size = spec.dump_size(dump);
    const cardsim_dump_fault_s* f = fault_of(spec, dump);
    if (f != nullptr && f->kind == cardsim_dump_fault_e::TOTAL_LARGER) {
        return size + f->value;
    }
    if (f != nullptr && f->kind == cardsim_dump_fault_e::TOTAL_SMALLER) {
        return size - std::min(size, f->value);
    }
    return size;
}

// one chunk of at most `max` bytes at the requested offset into rsp at
// data_at; writes the length at 4 and returns the offset it was taken from
// (UINT32_MAX when the request is refused)
uint32_t fill_chunk(const cardsim_card_spec_s& spec, cardsim_dump_e dump, const uint8_t* req, size_t len,
                    std::vector<uint8_t>& rsp, size_t data_at, size_t max)
{
    bool ok = false;
    uint32_t offset = req_offset(req, len, &ok);
    uint32_t total = announced_total(spec, dump);
    if (!ok || offset > total) {
        le_put<uint32_t>(rsp.data(), rsp.size(), 0, k_status_invalid_arg);
        return UINT32_MAX;
    }
    const cardsim_dump_fault_s* f = fault_of(spec, dump);
    cardsim_dump_fault_e kind = f != nullptr ? f->kind : cardsim_dump_fault_e::NONE;
    if (kind == cardsim_dump_fault_e::OFFSET_BACKWARDS && offset > 0) {
        offset -= std::min(offset, f->value);
    }
    std::vector<uint8_t> blob = cardsim_dump_bytes(spec, dump);
    size_t n = offset < blob.size() ? std::min(max, blob.size() - offset) : 0;
    if (kind == cardsim_dump_fault_e::ZERO_CHUNK) {
        n = 0;
    }
    std::copy_n(blob.begin() + std::min<size_t>(offset, blob.size()), n, rsp.begin() + data_at);
    uint32_t length = static_cast<uint32_t>(n);
    if (kind == cardsim_dump_fault_e::CHUNK_LONGER) {
        length += f->value;
    }
    le_put<uint32_t>(rsp.data(), rsp.size(), 4, length);
    return offset;
}

}  // namespace

uint32_t cardsim_card_spec_s::dump_size(cardsim_dump_e dump) const
{
    switch (dump) {
    case cardsim_dump_e::CARD_COREDUMP:
        return coredump_size;
    case cardsim_dump_e::SUC_COREDUMP:
        return suc_coredump_size;
    case cardsim_dump_e::DTB_1:
    case cardsim_dump_e::DTB_2:
    case cardsim_dump_e::DTB_3:
    case cardsim_dump_e::DTB_4:
        return dtb_sizes[static_cast<uint32_t>(dump) - static_cast<uint32_t>(cardsim_dump_e::DTB_1)];
    case cardsim_dump_e::ANY:
        break;
    }
    return 0;
}

void cardsim_card_spec_s::set_dump_size(cardsim_dump_e dump, uint32_t size)
{
    switch (dump) {
    case cardsim_dump_e::CARD_COREDUMP:
        coredump_size = size;
        break;
    case cardsim_dump_e::SUC_COREDUMP:
        suc_coredump_size = size;
        break;
    case cardsim_dump_e::DTB_1:
    case cardsim_dump_e::DTB_2:
    case cardsim_dump_e::DTB_3:
    case cardsim_dump_e::DTB_4:
        dtb_sizes[static_cast<uint32_t>(dump) - static_cast<uint32_t>(cardsim_dump_e::DTB_1)] = size;
        break;
    case cardsim_dump_e::ANY:
        break;
    }
}

std::vector<uint8_t> cardsim_dump_bytes(const cardsim_card_spec_s& spec, cardsim_dump_e dump)
{
    size_t size = spec.dump_size(dump);
    std::vector<uint8_t> out;
    out.reserve(size);
    if (dump == cardsim_dump_e::CARD_COREDUMP || dump == cardsim_dump_e::SUC_COREDUMP) {
        const char* who = dump == cardsim_dump_e::CARD_COREDUMP ? "card" : "suc";
        for (size_t line = 0; out.size() < size; line++) {
            std::string text = fmt::format("{} {} coredump line {:05} at 0x{:08x}: {:c}\n", spec.serial, who, line,
                                           out.size(), static_cast<char>('A' + line % 26));
            out.insert(out.end(), text.begin(), text.begin() + std::min(text.size(), size - out.size()));
        }
        return out;
    }
    // a flattened device tree header's magic and total size, big-endian,
    // then bytes of a xorshift generator seeded by the type and the serial
    uint32_t seed = 2166136261u ^ static_cast<uint32_t>(dump);
    for (char c : spec.serial) {
        seed = (seed ^ static_cast<uint8_t>(c)) * 16777619u;
    }
    uint32_t x = seed != 0 ? seed : 1;
    for (size_t i = 0; i < size; i++) {
        uint8_t b;
        if (i < 4) {
            b = static_cast<uint8_t>(k_fdt_magic >> (24 - 8 * i));
        } else if (i < 8) {
            b = static_cast<uint8_t>(size >> (24 - 8 * (i - 4)));
        } else {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = static_cast<uint8_t>(x);
        }
        out.push_back(b);
    }
    return out;
}

void cardsim_coredump_chunk_answer(const cardsim_card_spec_s& spec, cardsim_dump_e dump, const uint8_t* req,
                                   size_t len, std::vector<uint8_t>& rsp)
{
    rsp.assign(CARDSIM_COREDUMP_RSP_SIZE, 0);
    uint32_t from = fill_chunk(spec, dump, req, len, rsp, CARDSIM_COREDUMP_DATA_OFFSET, CARDSIM_COREDUMP_CHUNK_MAX);
    le_put<uint32_t>(rsp.data(), rsp.size(), 8, announced_total(spec, dump));
    le_put<uint32_t>(rsp.data(), rsp.size(), 12, from == UINT32_MAX ? 0 : from);
}

void cardsim_dtb_summary_answer(const cardsim_card_spec_s& spec, cardsim_dump_e dump, std::vector<uint8_t>& rsp)
{
    rsp.assign(CARDSIM_DTB_SUMMARY_RSP_SIZE, 0);
    le_put<uint32_t>(rsp.data(), rsp.size(), 4, announced_total(spec, dump));
}

void cardsim_dtb_chunk_answer(const cardsim_card_spec_s& spec, cardsim_dump_e dump, const uint8_t* req,
                              size_t len, std::vector<uint8_t>& rsp)
{
    rsp.assign(CARDSIM_DTB_RSP_SIZE, 0);
    fill_chunk(spec, dump, req, len, rsp, CARDSIM_DTB_DATA_OFFSET, CARDSIM_DTB_CHUNK_MAX);
}
