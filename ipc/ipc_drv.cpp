// the driver header of a card message (type, tag, payload length, endpoint
// or errno in one little-endian word) and the ipc device's open and close.
// the accessors must stop the process on misuse in every build type
#undef NDEBUG
#include "ipc/ipc_drv.h"

#include <cassert>
#include <cstdio>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "ipc/le_bytes.h"

namespace {

constexpr uint64_t TYPE_MASK = 0x7;
constexpr int TAG_SHIFT = 8;
constexpr int PLD_LEN_SHIFT = 16;
constexpr int WORD_SHIFT = 32;

bool is_req_or_rsp(uint32_t type)
{
    return type == IPC_DRV_HDR_TYPE_REQ || type == IPC_DRV_HDR_TYPE_RSP;
}

uint64_t put_bits(uint64_t hdr, int shift, uint64_t mask, uint64_t value)
{
    return (hdr & ~(mask << shift)) | ((value & mask) << shift);
}

}  // namespace

// message first, with the offending type; the assertion names the accessor and this file
#define IPC_DRV_HDR_REQUIRE(cond, message, type)                     \
    do {                                                             \
        if (!(cond)) {                                               \
            fprintf(stderr, message "\n", static_cast<unsigned>(type)); \
            assert(cond);                                            \
        }                                                            \
    } while (0)

uint32_t ipc_drv_hdr_get_type(uint64_t hdr)
{
    return static_cast<uint32_t>(hdr & TYPE_MASK);
}

void ipc_drv_hdr_set_type(uint64_t* hdr, uint32_t type)
{
    IPC_DRV_HDR_REQUIRE(is_req_or_rsp(type), "undefined hdr_type: %u", type);
    *hdr = put_bits(*hdr, 0, TYPE_MASK, type);
}

uint8_t ipc_drv_hdr_get_tag(uint64_t hdr)
{
    uint32_t type = ipc_drv_hdr_get_type(hdr);
    IPC_DRV_HDR_REQUIRE(is_req_or_rsp(type), "invalid hdr_type for tag field: %u", type);
    return static_cast<uint8_t>(hdr >> TAG_SHIFT);
}

void ipc_drv_hdr_set_tag(uint64_t* hdr, uint8_t tag)
{
    uint32_t type = ipc_drv_hdr_get_type(*hdr);
    IPC_DRV_HDR_REQUIRE(is_req_or_rsp(type), "invalid hdr_type for tag field: %u", type);
    *hdr = put_bits(*hdr, TAG_SHIFT, 0xff, tag);
}

uint16_t ipc_drv_hdr_get_pld_len(uint64_t hdr)
{
    uint32_t type = ipc_drv_hdr_get_type(hdr);
    IPC_DRV_HDR_REQUIRE(is_req_or_rsp(type), "invalid hdr_type for pld len: %u", type);
    return static_cast<uint16_t>(hdr >> PLD_LEN_SHIFT);
}

void ipc_drv_hdr_set_pld_len(uint64_t* hdr, uint16_t len)
{
    uint32_t type = ipc_drv_hdr_get_type(*hdr);
    IPC_DRV_HDR_REQUIRE(is_req_or_rsp(type), "invalid hdr_type for pld len: %u", type);
    *hdr = put_bits(*hdr, PLD_LEN_SHIFT, 0xffff, len);
}

uint32_t ipc_drv_hdr_get_req_endpoint(uint64_t hdr)
{
    uint32_t type = ipc_drv_hdr_get_type(hdr);
    IPC_DRV_HDR_REQUIRE(type == IPC_DRV_HDR_TYPE_REQ, "invalid hdr_type for endpoint field: %u", type);
    return static_cast<uint32_t>(hdr >> WORD_SHIFT);
}

void ipc_drv_hdr_set_req_endpoint(uint64_t* hdr, uint32_t endpoint)
{
    uint32_t type = ipc_drv_hdr_get_type(*hdr);
    IPC_DRV_HDR_REQUIRE(type == IPC_DRV_HDR_TYPE_REQ, "invalid hdr_type for endpoint field: %u", type);
    *hdr = put_bits(*hdr, WORD_SHIFT, 0xffffffffu, endpoint);
}

uint32_t ipc_drv_hdr_get_rsp_errno(uint64_t hdr)
{
    uint32_t type = ipc_drv_hdr_get_type(hdr);
    IPC_DRV_HDR_REQUIRE(type == IPC_DRV_HDR_TYPE_RSP, "invalid hdr_type for errno field: %u", type);
    return static_cast<uint32_t>(hdr >> WORD_SHIFT);
}

void ipc_drv_hdr_set_rsp_errno(uint64_t* hdr, uint32_t err)
{
    uint32_t type = ipc_drv_hdr_get_type(*hdr);
    IPC_DRV_HDR_REQUIRE(type == IPC_DRV_HDR_TYPE_RSP, "invalid hdr_type for errno field: %u", type);
    *hdr = put_bits(*hdr, WORD_SHIFT, 0xffffffffu, err);
}

uint64_t ipc_drv_hdr_load(const uint8_t* bytes)
{
    return le_at<uint64_t>(bytes, 8, 0);
}

void ipc_drv_hdr_store(uint64_t hdr, uint8_t* bytes)
{
    (void)le_put(bytes, 8, 0, hdr);
}

int ipc_drv_open2(const char* path)
{
    // non-blocking: a response read waits in poll with a deadline, never in read
    return open(path != nullptr ? path : IPC_DRV_DEFAULT_DEVICE, O_RDWR | O_CLOEXEC | O_NONBLOCK);
}

int ipc_drv_open()
{
    return ipc_drv_open2(nullptr);
}

int ipc_drv_close(int fd)
{
    return close(fd);
}

int ipc_drv_bind(int fd, uint32_t endpoint)
{
    return ioctl(fd, IPC_DRV_IOCTL_BIND, static_cast<unsigned long>(endpoint));
}

int ipc_drv_unbind(int fd, uint32_t endpoint)
{
    return ioctl(fd, IPC_DRV_IOCTL_UNBIND, static_cast<unsigned long>(endpoint));
}
