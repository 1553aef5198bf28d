// requests over the linux fwctl interface of the card's core function

#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "ipc/fwctl_rpc.h"
#include "ipc/le_bytes.h"
#include "ipc/nic_ipc.h"

void nic_fwctl_rpc_put32(nic_fwctl_rpc_s& rpc, size_t at, uint32_t value)
{
    (void)le_put(rpc.bytes, sizeof(rpc.bytes), at, value);
}

void nic_fwctl_rpc_put64(nic_fwctl_rpc_s& rpc, size_t at, uint64_t value)
{
    (void)le_put(rpc.bytes, sizeof(rpc.bytes), at, value);
}

uint32_t nic_fwctl_rpc_get32(const nic_fwctl_rpc_s& rpc, size_t at)
{
    return le_at<uint32_t>(rpc.bytes, sizeof(rpc.bytes), at);
}

uint64_t nic_fwctl_rpc_get64(const nic_fwctl_rpc_s& rpc, size_t at)
{
    return le_at<uint64_t>(rpc.bytes, sizeof(rpc.bytes), at);
}

// (endpoint << 16) | opcode keys that write card state for debugging
static const uint32_t k_debug_write_keys[] = {
    0x50006,  0x50007,  0x110007, 0x110018, 0x11001c, 0x11001d, 0x130003, 0x130005, 0x130014,
    0x130018, 0x13001d, 0x13001f, 0x130020, 0x130021, 0x130033, 0x190000, 0x190001, 0x190002,
    0x19000a, 0x190010, 0x190011, 0x190021, 0x190026, 0x190027, 0x1a0007,
};

struct key_range_s {
    uint32_t first, last;
};

// keys that configure the card
static const key_range_s k_configuration_keys[] = {
    {0x1e0001, 0x1e0005},
    {0x1e0009, 0x1e0011},
};

static uint32_t fwctl_key(uint32_t endpoint, uint32_t opcode)
{
    return (endpoint << 16) | opcode;
}

static bool is_configuration_key(uint32_t key)
{
    return std::any_of(std::begin(k_configuration_keys), std::end(k_configuration_keys),
                       [key](const key_range_s& r) { return key >= r.first && key <= r.last; });
}

uint32_t nic_fwctl_scope(uint32_t endpoint, uint32_t opcode)
{
    uint32_t key = fwctl_key(endpoint, opcode);
    if (std::find(std::begin(k_debug_write_keys), std::end(k_debug_write_keys), key) != std::end(k_debug_write_keys)) {
        return NIC_FWCTL_SCOPE_DEBUG_WRITE;
    }
    return is_configuration_key(key) ? NIC_FWCTL_SCOPE_CONFIGURATION : NIC_FWCTL_SCOPE_DEBUG_READ_ONLY;
}

uint32_t nic_fwctl_scope_rw(uint32_t endpoint, uint32_t opcode)
{
    return is_configuration_key(fwctl_key(endpoint, opcode)) ? NIC_FWCTL_SCOPE_CONFIGURATION
                                                             : NIC_FWCTL_SCOPE_DEBUG_READ_ONLY;
}

static ssize_t fwctl_rpc(nic_ipc_handle_s* handle, uint32_t scope, uint32_t endpoint, uint32_t opcode,
                         const void* req, size_t req_len, void* rsp, size_t rsp_cap, uint32_t* rsp_errno)
{
    nic_fwctl_rpc_s rpc = {};
    nic_fwctl_rpc_put32(rpc, NIC_FWCTL_RPC_IN_OP, opcode);
    nic_fwctl_rpc_put32(rpc, NIC_FWCTL_RPC_IN_EP, endpoint);
    nic_fwctl_rpc_put32(rpc, NIC_FWCTL_RPC_IN_LEN, static_cast<uint32_t>(req_len));
    nic_fwctl_rpc_put64(rpc, NIC_FWCTL_RPC_IN_PAYLOAD, reinterpret_cast<uintptr_t>(req));
    nic_fwctl_rpc_put32(rpc, NIC_FWCTL_RPC_OUT_LEN, static_cast<uint32_t>(rsp_cap));
    nic_fwctl_rpc_put64(rpc, NIC_FWCTL_RPC_OUT_PAYLOAD, reinterpret_cast<uintptr_t>(rsp));
    nic_fwctl_rpc_arg_s arg = {sizeof(arg), scope, NIC_FWCTL_RPC_SIZE, NIC_FWCTL_RPC_SIZE,
                               reinterpret_cast<uintptr_t>(&rpc), reinterpret_cast<uintptr_t>(&rpc)};
    if (ioctl(handle->dev.fd, NIC_FWCTL_RPC_IOCTL, &arg) < 0) {
        errno = EIO;
        return -1;
    }
    uint32_t len = nic_fwctl_rpc_get32(rpc, NIC_FWCTL_RPC_OUT_LEN);
    // a driver that claims more than the room it was given has overrun it:
    // refuse the answer rather than hand it on
    if (len > rsp_cap) {
        errno = EMSGSIZE;
        return -1;
    }
    *rsp_errno = nic_fwctl_rpc_get32(rpc, NIC_FWCTL_RPC_OUT_RETVAL);
    return static_cast<ssize_t>(len);
}

ssize_t nic_fwctl_ipc_req_rsp(nic_ipc_handle_s* handle, uint32_t endpoint, uint32_t opcode, void* buf,
                              size_t req_len, size_t rsp_cap, uint32_t* rsp_errno)
{
    // request and response share the caller's buffer: the request goes out
    // from a copy, so the answer may overwrite it as it arrives
    uint8_t req[IPC_CMD_MAX_MSG];
    if (req_len > sizeof(req)) {
        errno = EMSGSIZE;
        return -1;
    }
    memcpy(req, buf, req_len);
    return fwctl_rpc(handle, nic_fwctl_scope(endpoint, opcode), endpoint, opcode, req, req_len, buf,
                     rsp_cap, rsp_errno);
}

ssize_t nic_fwctl_ipc_req_rsp(nic_ipc_handle_s* handle, uint32_t endpoint, uint32_t opcode,
                              const void* req, size_t req_len, void* rsp, size_t rsp_cap,
                              uint32_t* rsp_errno)
{
    return fwctl_rpc(handle, nic_fwctl_scope_rw(endpoint, opcode), endpoint, opcode, req, req_len, rsp,
                     rsp_cap, rsp_errno);
}
