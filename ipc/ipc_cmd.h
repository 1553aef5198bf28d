#pragma once

// the request framing over a card's ipc device

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

// one request/response exchange with the card firmware over the ipc
// character device: a 16-byte header (driver header + "IPCM" sub-header)
// followed by the body.

constexpr size_t IPC_CMD_HDR_SIZE = 16;
constexpr size_t IPC_CMD_SUBHDR_SIZE = 8;
constexpr size_t IPC_CMD_MAX_BODY = 1024;
constexpr size_t IPC_CMD_MAX_MSG = IPC_CMD_HDR_SIZE + IPC_CMD_MAX_BODY;
constexpr uint8_t IPC_CMD_VERSION = 1;

// how long a request waits for its response unless told otherwise
constexpr uint32_t IPC_CMD_DEFAULT_RSP_TIMEOUT_MS = 10000;

struct ipc_cmd_dev_s {
    int fd = -1;
    uint8_t next_tag = 0;
    // answers read and dropped because they carried another request's tag:
    // late answers of requests that timed out
    uint64_t stale_dropped = 0;
};

int ipc_cmd_dev_open2(ipc_cmd_dev_s* dev, const char* path);
int ipc_cmd_dev_open(ipc_cmd_dev_s* dev);
int ipc_cmd_dev_close(ipc_cmd_dev_s* dev);
int ipc_cmd_dev_bind(ipc_cmd_dev_s* dev, uint32_t endpoint);
int ipc_cmd_dev_unbind(ipc_cmd_dev_s* dev, uint32_t endpoint);

// sends the request body (gathered from req_iov) to endpoint/opcode and
// scatters the response body over rsp_iov. returns the response body length
// and the firmware's errno in *rsp_errno, or -1 with errno:
//   EMSGSIZE   request body over 1024 bytes, or a response body longer than rsp_iov
//   EIO        malformed response or one for another opcode
// an answer is matched to its request by the echoed tag: answers with
// another tag (late answers of requests that timed out) are read and
// dropped, so a timeout leaves the device usable and exact
//   ETIMEDOUT  no response within the response timeout
//   other      the write or read failure of the device
ssize_t ipc_cmd_send_req_v(ipc_cmd_dev_s* dev, uint32_t endpoint, uint32_t opcode,
                           const struct iovec* req_iov, size_t req_count,
                           const struct iovec* rsp_iov, size_t rsp_count, uint32_t* rsp_errno);

// the response timeout of every later request, process-wide
void ipc_cmd_set_rsp_timeout_ms(uint32_t ms);
uint32_t ipc_cmd_rsp_timeout_ms();
