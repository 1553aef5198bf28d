// the scripted card behind every fuzz target that talks to one

#include "fuzz/fuzz_transport.h"

#include <cerrno>
#include <cstring>

#include "ipc/nic_ipc.h"

namespace {

const uint8_t* g_data = nullptr;
size_t g_left = 0;
size_t g_exchanges = 0;
fuzz_card_recorder_s* g_recorder = nullptr;

constexpr uint8_t k_in_progress = 4;

}  // namespace

bool g_fuzz_card_in_progress = false;

void fuzz_card_load(const uint8_t* data, size_t size)
{
    g_data = data;
    g_left = size;
    g_exchanges = 0;
    g_fuzz_card_in_progress = false;
}

void fuzz_card_record(fuzz_card_recorder_s* recorder)
{
    g_recorder = recorder;
}

// hands out the answer at the front of data, in the input's form; false
// (and data used up) when too few bytes are left for one
static ssize_t hand_out(const uint8_t*& data, size_t& left, void* buf, size_t rsp_cap, uint32_t* rsp_errno)
{
    if (left < 3) {
        left = 0;
        errno = ETIMEDOUT;
        return -1;
    }
    g_exchanges++;
    uint32_t header = fuzz_take(data, left, 3);
    size_t len = header & 0xffff;
    uint32_t fw_errno = header >> 16;
    size_t carried = len < left ? len : left;
    const uint8_t* body = data;
    data += carried;
    left -= carried;
    if (len > rsp_cap) {
        errno = EMSGSIZE;
        return -1;
    }
    // the bytes the answer carries; an answer cut short by the end of the
    // input is as long as what it carries
    if (carried > 0) {
        memcpy(buf, body, carried);
        g_fuzz_card_in_progress = g_fuzz_card_in_progress || body[0] == k_in_progress;
    }
    *rsp_errno = fw_errno;
    return static_cast<ssize_t>(carried);
}

bool fuzz_card_has_in_progress()
{
    const uint8_t* data = g_data;
    for (size_t left = g_left; left >= 3;) {
        size_t len = fuzz_take(data, left, 3) & 0xffff;
        size_t carried = len < left ? len : left;
        if (carried > 0 && data[0] == k_in_progress) {
            return true;
        }
        data += carried;
        left -= carried;
    }
    return false;
}

size_t fuzz_card_exchanges()
{
    return g_exchanges;
}

// the channel opens on any card and closes without a descriptor behind it
int nic_ipc_init(int, bool) { return 0; }
int nic_vosk_ipc_open(nic_ipc_handle_s* handle, const char*)
{
    handle->transport = NIC_IPC_TRANSPORT_VOSK;
    handle->dev.fd = 1000;  // never used as a descriptor
    return 0;
}
int nic_fwctl_ipc_open(nic_ipc_handle_s* handle, const char* path) { return nic_vosk_ipc_open(handle, path); }
int nic_ipc_open(nic_ipc_handle_s* handle, const char* path) { return nic_vosk_ipc_open(handle, path); }
void nic_vosk_ipc_close(nic_ipc_handle_s* handle) { handle->dev.fd = -1; }
void nic_fwctl_ipc_close(nic_ipc_handle_s* handle) { handle->dev.fd = -1; }
void nic_ipc_close(nic_ipc_handle_s* handle) { handle->dev.fd = -1; }

ssize_t nic_ipc_req_rsp(nic_ipc_handle_s*, uint32_t endpoint, uint32_t opcode, void* buf, size_t req_len,
                        size_t rsp_cap, uint32_t* rsp_errno)
{
    if (g_recorder == nullptr) {
        return hand_out(g_data, g_left, buf, rsp_cap, rsp_errno);
    }
    // the recorder's answer, kept in the input's form and handed out as such
    std::vector<uint8_t> body;
    uint32_t fw_errno = 0;
    if (!g_recorder->answer(endpoint, opcode, static_cast<const uint8_t*>(buf), req_len, body, fw_errno)) {
        errno = ETIMEDOUT;
        return -1;
    }
    std::vector<uint8_t> frame(3);
    (void)le_put(frame.data(), 3, 0, static_cast<uint16_t>(body.size()));
    (void)le_put(frame.data(), 3, 2, static_cast<uint8_t>(fw_errno));
    frame.insert(frame.end(), body.begin(), body.end());
    g_recorder->frames.insert(g_recorder->frames.end(), frame.begin(), frame.end());
    const uint8_t* data = frame.data();
    size_t left = frame.size();
    return hand_out(data, left, buf, rsp_cap, rsp_errno);
}

ssize_t nic_vosk_ipc_req_rsp(nic_ipc_handle_s* handle, uint32_t endpoint, uint32_t opcode, void* buf,
                             size_t req_len, size_t rsp_cap, uint32_t* rsp_errno)
{
    return nic_ipc_req_rsp(handle, endpoint, opcode, buf, req_len, rsp_cap, rsp_errno);
}
