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

// the recorder's answer, handed out as the input's would be
static ssize_t recorded_exchange(uint32_t endpoint, uint32_t opcode, void* buf, size_t req_len, size_t rsp_cap,
                          uint32_t* rsp_errno)
{
    std::vector<uint8_t> body;
    uint32_t fw_errno = 0;
    if (!g_recorder->answer(endpoint, opcode, static_cast<const uint8_t*>(buf), req_len, body, fw_errno)) {
        errno = ETIMEDOUT;
        return -1;
    }
    g_exchanges++;
    auto& out = g_recorder->frames;
    out.push_back(static_cast<uint8_t>(body.size()));
    out.push_back(static_cast<uint8_t>(body.size() >> 8));
    out.push_back(static_cast<uint8_t>(fw_errno));
    out.insert(out.end(), body.begin(), body.end());
    if (body.size() > rsp_cap) {
        errno = EMSGSIZE;
        return -1;
    }
    if (!body.empty()) {
        memcpy(buf, body.data(), body.size());
        g_fuzz_card_in_progress = g_fuzz_card_in_progress || body[0] == k_in_progress;
    }
    *rsp_errno = fw_errno;
    return static_cast<ssize_t>(body.size());
}

bool fuzz_card_has_in_progress()
{
    const uint8_t* data = g_data;
    size_t left = g_left;
    while (left >= 3) {
        size_t len = fuzz_take(data, left, 2);
        (void)fuzz_take(data, left, 1);
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

int nic_ipc_init(int, bool)
{
    return 0;
}

int nic_vosk_ipc_open(nic_ipc_handle_s* handle, const char*)
{
    handle->transport = NIC_IPC_TRANSPORT_VOSK;
    handle->dev.fd = 1000;  // never used as a descriptor
    return 0;
}

int nic_fwctl_ipc_open(nic_ipc_handle_s* handle, const char* path)
{
    return nic_vosk_ipc_open(handle, path);
}

int nic_ipc_open(nic_ipc_handle_s* handle, const char* path)
{
    return nic_vosk_ipc_open(handle, path);
}

void nic_vosk_ipc_close(nic_ipc_handle_s* handle)
{
    handle->dev.fd = -1;
}

void nic_fwctl_ipc_close(nic_ipc_handle_s* handle)
{
    handle->dev.fd = -1;
}

void nic_ipc_close(nic_ipc_handle_s* handle)
{
    handle->dev.fd = -1;
}

ssize_t nic_ipc_req_rsp(nic_ipc_handle_s*, uint32_t endpoint, uint32_t opcode, void* buf, size_t req_len,
                        size_t rsp_cap, uint32_t* rsp_errno)
{
    if (g_recorder != nullptr) {
        return recorded_exchange(endpoint, opcode, buf, req_len, rsp_cap, rsp_errno);
    }
    if (g_left < 3) {
        g_left = 0;
        errno = ETIMEDOUT;
        return -1;
    }
    g_exchanges++;
    size_t len = fuzz_take(g_data, g_left, 2);
    uint32_t fw_errno = fuzz_take(g_data, g_left, 1);
    size_t carried = len < g_left ? len : g_left;
    const uint8_t* body = g_data;
    g_data += carried;
    g_left -= carried;
    if (len > rsp_cap) {
        errno = EMSGSIZE;
        return -1;
    }
    // the bytes the answer carries; an answer cut short by the end of the
    // input is as long as what it carries
    if (carried > 0) {
        memcpy(buf, body, carried);
        if (body[0] == k_in_progress) {
            g_fuzz_card_in_progress = true;
        }
    }
    *rsp_errno = fw_errno;
    return static_cast<ssize_t>(carried);
}

ssize_t nic_vosk_ipc_req_rsp(nic_ipc_handle_s* handle, uint32_t endpoint, uint32_t opcode, void* buf,
                             size_t req_len, size_t rsp_cap, uint32_t* rsp_errno)
{
    return nic_ipc_req_rsp(handle, endpoint, opcode, buf, req_len, rsp_cap, rsp_errno);
}
