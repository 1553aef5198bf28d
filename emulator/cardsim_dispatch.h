#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

// how the card's firmware takes a request: one table per endpoint, a row per
// opcode with the request size it accepts (exactly, or at least), the size
// of its answer and the handler. the firmware checks its input before it
// acts: an unknown opcode, a request of the wrong size or one with reserved
// bits set is answered with the firmware errno a card gives and no body.

constexpr uint32_t CARDSIM_FW_EINVAL = 22;   // wrong size or reserved bits set
constexpr uint32_t CARDSIM_FW_ENOTSUP = 95;  // no such opcode (or endpoint)

enum class cardsim_req_e { EXACT, AT_LEAST };

template <typename Ctx>
struct cardsim_op_s {
    uint32_t opcode;
    size_t req_size;
    cardsim_req_e rule;
    size_t rsp_size;
    // rsp arrives zeroed at rsp_size
    void (*answer)(Ctx& ctx, uint32_t opcode, const uint8_t* req, size_t len, std::vector<uint8_t>& rsp);
    // the request's reserved fields are zero; null: it has none
    bool (*reserved_clear)(const uint8_t* req, size_t len) = nullptr;
};

// the row of `opcode`, or null
template <typename Ctx, size_t N>
const cardsim_op_s<Ctx>* cardsim_find_op(const cardsim_op_s<Ctx> (&table)[N], uint32_t opcode)
{
    for (const auto& op : table) {
        if (op.opcode == opcode) {
            return &op;
        }
    }
    return nullptr;
}

// 0 when the row takes this request, else the firmware errno to answer
template <typename Ctx>
uint32_t cardsim_check_request(const cardsim_op_s<Ctx>* op, const uint8_t* req, size_t len)
{
    if (op == nullptr) {
        return CARDSIM_FW_ENOTSUP;
    }
    bool size_ok = op->rule == cardsim_req_e::EXACT ? len == op->req_size : len >= op->req_size;
    if (!size_ok || (op->reserved_clear && !op->reserved_clear(req, len))) {
        return CARDSIM_FW_EINVAL;
    }
    return 0;
}

// checks and answers one request; the errno of a refused one, else 0 with
// the answer in rsp
template <typename Ctx, size_t N>
uint32_t cardsim_dispatch(const cardsim_op_s<Ctx> (&table)[N], Ctx& ctx, uint32_t opcode, const uint8_t* req,
                          size_t len, std::vector<uint8_t>& rsp)
{
    const cardsim_op_s<Ctx>* op = cardsim_find_op(table, opcode);
    uint32_t refused = cardsim_check_request(op, req, len);
    if (refused != 0) {
        rsp.clear();
        return refused;
    }
    rsp.assign(op->rsp_size, 0);
    if (op->answer) {
        op->answer(ctx, opcode, req, len, rsp);
    }
    return 0;
}

// the 32-bit little-endian words at these offsets are zero
inline bool cardsim_words_zero(const uint8_t* req, size_t len, std::initializer_list<size_t> offsets)
{
    for (size_t at : offsets) {
        for (size_t i = 0; i < 4; i++) {
            if (at + i < len && req[at + i] != 0) {
                return false;
            }
        }
    }
    return true;
}
