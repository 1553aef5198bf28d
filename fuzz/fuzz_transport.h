#pragma once

// the scripted card of the fuzz targets, in place of the ipc transports

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <vector>

#include "fuzz/fuzz_input.h"

// the card as a fuzz input plays it: every exchange on the ipc channel takes
// the next answer of the input. stands in for the transports of ipc/ in the
// fuzz and replay executables only (it defines every function of
// nic_transport.cpp, so the library's own object is never linked in).
//
// one answer: length u16 little-endian, firmware errno u8, then that many
// bytes (fewer when the input ends). once the input is used up every
// exchange fails as a timed-out one. an answer longer than the capacity the
// caller gave is refused as the real transports refuse it (EMSGSIZE).

void fuzz_card_load(const uint8_t* data, size_t size);

// the targets' common form: the card is loaded with the rest of the input,
// then the op that the low four bits of selector pick runs: their value
// modulo ways (the count of ops unless given), the last op for any past it
inline int fuzz_card_pick(uint32_t selector, const uint8_t* data, size_t size,
                          std::initializer_list<std::function<void()>> ops, size_t ways = 0)
{
    fuzz_card_load(data, size);
    size_t at = (selector & 0x0f) % (ways ? ways : ops.size());
    ops.begin()[at < ops.size() ? at : ops.size() - 1]();
    return 0;
}

// the corpus generator's card: while a recorder is set, every exchange is
// answered by it instead of the input, and its answer is appended to
// `frames` in the input's own form
struct fuzz_card_recorder_s {
    virtual ~fuzz_card_recorder_s() = default;
    // false: no answer (the exchange fails and nothing is recorded)
    virtual bool answer(uint32_t endpoint, uint32_t opcode, const uint8_t* req, size_t req_len,
                        std::vector<uint8_t>& body, uint32_t& fw_errno) = 0;
    std::vector<uint8_t> frames;
};
void fuzz_card_record(fuzz_card_recorder_s* recorder);

// how many exchanges the current input has answered
size_t fuzz_card_exchanges();

// true once an answer whose first byte says "in progress" (4) was handed
// out: the firmware-update targets pass it as their abort flag, so that a
// polled operation stops instead of waiting seconds for the next poll
extern bool g_fuzz_card_in_progress;

// true when some answer of the loaded input starts with "in progress": a
// poll that cannot be aborted would wait for its next round
bool fuzz_card_has_in_progress();
