#pragma once

// the fwctl request record and its scopes

#include <cstddef>
#include <cstdint>

// the request record the vxc core driver takes inside an FWCTL_RPC call,
// 48 bytes, little-endian, packed
constexpr size_t NIC_FWCTL_RPC_SIZE = 48;
constexpr size_t NIC_FWCTL_RPC_IN_OP = 0;
constexpr size_t NIC_FWCTL_RPC_IN_EP = 4;
constexpr size_t NIC_FWCTL_RPC_IN_RSVD = 8;
constexpr size_t NIC_FWCTL_RPC_IN_LEN = 12;
constexpr size_t NIC_FWCTL_RPC_IN_PAYLOAD = 16;
constexpr size_t NIC_FWCTL_RPC_OUT_RETVAL = 24;
constexpr size_t NIC_FWCTL_RPC_OUT_RSVD = 28;
constexpr size_t NIC_FWCTL_RPC_OUT_LEN = 36;
constexpr size_t NIC_FWCTL_RPC_OUT_PAYLOAD = 40;

struct nic_fwctl_rpc_s {
    uint8_t bytes[NIC_FWCTL_RPC_SIZE];
};

// the linux fwctl rpc argument
struct nic_fwctl_rpc_arg_s {
    uint32_t size;
    uint32_t scope;
    uint32_t in_len;
    uint32_t out_len;
    uint64_t in;
    uint64_t out;
};
static_assert(sizeof(nic_fwctl_rpc_arg_s) == 32, "fwctl_rpc layout");

constexpr unsigned long NIC_FWCTL_RPC_IOCTL = 0x9a01;

enum nic_fwctl_scope_e : uint32_t {
    NIC_FWCTL_SCOPE_CONFIGURATION = 0,
    NIC_FWCTL_SCOPE_DEBUG_READ_ONLY = 1,
    NIC_FWCTL_SCOPE_DEBUG_WRITE = 2,
};

void nic_fwctl_rpc_put32(nic_fwctl_rpc_s& rpc, size_t at, uint32_t value);
void nic_fwctl_rpc_put64(nic_fwctl_rpc_s& rpc, size_t at, uint64_t value);
uint32_t nic_fwctl_rpc_get32(const nic_fwctl_rpc_s& rpc, size_t at);
uint64_t nic_fwctl_rpc_get64(const nic_fwctl_rpc_s& rpc, size_t at);
