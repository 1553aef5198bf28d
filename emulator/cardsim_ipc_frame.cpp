// the ipc device's framing as the driver checks it: a request message in,
// the response message the host reads back out

#include "emulator/cardsim_ipc_frame.h"

#include <cerrno>
#include <cstring>

#include "ipc/le_bytes.h"

namespace {

constexpr size_t k_hdr = 16;
constexpr size_t k_max_body = 1024;
constexpr uint8_t k_type_req = 2, k_type_rsp = 3;

}  // namespace

std::vector<uint8_t> cardsim_ipc_response(uint8_t tag, uint32_t fw_errno, uint32_t opcode,
                                          const std::vector<uint8_t>& body)
{
    std::vector<uint8_t> m(k_hdr + body.size(), 0);
    size_t pld = body.size() + 8;
    m[0] = k_type_rsp;
    m[1] = tag;
    le_put(m.data(), m.size(), 2, static_cast<uint16_t>(pld));
    le_put(m.data(), m.size(), 4, fw_errno);
    memcpy(m.data() + 8, "IPCM", 4);
    m[12] = 1;
    m[13] = static_cast<uint8_t>(opcode >> 16);
    m[14] = static_cast<uint8_t>(opcode);
    m[15] = static_cast<uint8_t>(opcode >> 8);
    if (!body.empty()) {
        memcpy(m.data() + k_hdr, body.data(), body.size());
    }
    return m;
}

cardsim_ipc_answer_s cardsim_ipc_answer(cardsim_firmware& fw, const uint8_t* msg, size_t len)
{
    cardsim_ipc_answer_s answer;
    // the driver takes whole, well-formed requests only: reserved header
    // bits set are refused as a malformed message
    if (len < k_hdr || len > k_hdr + k_max_body || msg[0] != k_type_req ||
        memcmp(msg + 8, "IPCM", 4) != 0 || msg[12] != 1) {
        answer.write_errno = EINVAL;
        return answer;
    }
    size_t pld = le_at<uint16_t>(msg, len, 2);
    if (pld < 8 || k_hdr + pld - 8 != len) {
        answer.write_errno = EINVAL;
        return answer;
    }
    uint32_t endpoint = le_at<uint32_t>(msg, len, 4);
    uint32_t opcode = static_cast<uint32_t>(msg[13]) << 16 | msg[14] | msg[15] << 8;
    cardsim_reply_s reply = fw.handle(endpoint, opcode, msg + k_hdr, len - k_hdr);
    answer.silent = reply.silent;
    answer.read_errno = reply.driver_errno;
    answer.delay_ms = reply.delay_ms;
    if (!reply.silent && reply.driver_errno == 0) {
        answer.message = cardsim_ipc_response(msg[1], reply.fw_errno, reply.opcode, reply.body);
    }
    return answer;
}
