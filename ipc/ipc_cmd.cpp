// the request framing over a card's ipc device: tags, checks and timeouts

#include "ipc/ipc_cmd.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "ipc/ipc_drv.h"
#include "log/module_trace.h"
#include "log/trace_level.h"

static std::atomic<uint32_t> g_rsp_timeout_ms{IPC_CMD_DEFAULT_RSP_TIMEOUT_MS};

static constexpr uint8_t k_magic[4] = {'I', 'P', 'C', 'M'};
// a device that cannot wake a poller is asked again this often
static constexpr int k_max_poll_slice_ms = 10;

void ipc_cmd_set_rsp_timeout_ms(uint32_t ms)
{
    g_rsp_timeout_ms = ms;
}

uint32_t ipc_cmd_rsp_timeout_ms()
{
    return g_rsp_timeout_ms;
}

int ipc_cmd_dev_open2(ipc_cmd_dev_s* dev, const char* path)
{
    dev->fd = ipc_drv_open2(path);
    if (dev->fd < 0) {
        return -1;
    }
    dev->next_tag = 0;
    return 0;
}

int ipc_cmd_dev_open(ipc_cmd_dev_s* dev)
{
    return ipc_cmd_dev_open2(dev, nullptr);
}

int ipc_cmd_dev_close(ipc_cmd_dev_s* dev)
{
    int rc = ipc_drv_close(dev->fd);
    dev->fd = -1;
    return rc;
}

int ipc_cmd_dev_bind(ipc_cmd_dev_s* dev, uint32_t endpoint)
{
    return ipc_drv_bind(dev->fd, endpoint);
}

int ipc_cmd_dev_unbind(ipc_cmd_dev_s* dev, uint32_t endpoint)
{
    return ipc_drv_unbind(dev->fd, endpoint);
}

static size_t iov_total(const struct iovec* iov, size_t count)
{
    size_t total = 0;
    for (size_t i = 0; i < count; i++) {
        total += iov[i].iov_len;
    }
    return total;
}

using ipc_clock = std::chrono::steady_clock;

// waits until fd is ready for events or the deadline passes. false on timeout
static bool wait_ready(int fd, short events, ipc_clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - ipc_clock::now()).count();
    if (left <= 0) {
        return false;
    }
    struct pollfd p = {fd, events, 0};
    (void)poll(&p, 1, static_cast<int>(std::min<long long>(left, k_max_poll_slice_ms)));
    return true;
}

// one whole message out; a busy device is retried until the deadline
static ssize_t write_msg(int fd, const uint8_t* msg, size_t len, ipc_clock::time_point deadline)
{
    for (;;) {
        ssize_t n = write(fd, msg, len);
        if (n >= 0) {
            return n;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN || !wait_ready(fd, POLLOUT, deadline)) {
            if (errno == EAGAIN) {
                errno = ETIMEDOUT;
            }
            return -1;
        }
    }
}

// one response in; none yet is retried until the deadline
static ssize_t read_msg(int fd, uint8_t* msg, size_t cap, ipc_clock::time_point deadline)
{
    for (;;) {
        ssize_t n = read(fd, msg, cap);
        if (n >= 0) {
            return n;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN) {
            return -1;
        }
        if (!wait_ready(fd, POLLIN, deadline)) {
            errno = ETIMEDOUT;
            return -1;
        }
    }
}

// a response that answers another request: the late answer of one that
// timed out. anything else that is wrong is the caller's failure
static bool is_stale(const uint8_t* msg, ssize_t len, uint8_t tag)
{
    if (len < static_cast<ssize_t>(sizeof(uint64_t))) {
        return false;
    }
    uint64_t hdr = ipc_drv_hdr_load(msg);
    return ipc_drv_hdr_get_type(hdr) == IPC_DRV_HDR_TYPE_RSP && ipc_drv_hdr_get_tag(hdr) != tag;
}

static void log_stale(const ipc_cmd_dev_s* dev, const uint8_t* msg, uint8_t tag)
{
    // the ipc layer prints nothing unless the program installed its callback
    if (logger_is_trace_cb_set()) {
        logger_trace_cb()(logger_get_module_id(), trace_level_debug,
                          "[%s:%d] ipc fd %d dropped a late answer with tag %u (waiting for %u), %llu so far",
                          __FILE__, __LINE__, dev->fd, static_cast<unsigned>(msg[1]), static_cast<unsigned>(tag),
                          static_cast<unsigned long long>(dev->stale_dropped));
    }
}

static bool response_matches(const uint8_t* msg, ssize_t len, uint32_t opcode, uint64_t* hdr)
{
    if (len < static_cast<ssize_t>(sizeof(uint64_t))) {
        return false;
    }
    *hdr = ipc_drv_hdr_load(msg);
    if (ipc_drv_hdr_get_type(*hdr) != IPC_DRV_HDR_TYPE_RSP) {
        return false;
    }
    // a response too short to hold its sub-header cannot name an opcode
    if (ipc_drv_hdr_get_pld_len(*hdr) < IPC_CMD_SUBHDR_SIZE || len < static_cast<ssize_t>(IPC_CMD_HDR_SIZE)) {
        return false;
    }
    uint16_t op_low = static_cast<uint16_t>(msg[14] | msg[15] << 8);
    return memcmp(msg + 8, k_magic, sizeof(k_magic)) == 0 && msg[12] == IPC_CMD_VERSION &&
           op_low == (opcode & 0xffff) && msg[13] == ((opcode >> 16) & 0xff);
}

ssize_t ipc_cmd_send_req_v(ipc_cmd_dev_s* dev, uint32_t endpoint, uint32_t opcode,
                           const struct iovec* req_iov, size_t req_count,
                           const struct iovec* rsp_iov, size_t rsp_count, uint32_t* rsp_errno)
{
    size_t req_len = iov_total(req_iov, req_count);
    size_t rsp_cap = iov_total(rsp_iov, rsp_count);
    if (req_len > IPC_CMD_MAX_BODY) {
        errno = EMSGSIZE;
        return -1;
    }

    uint8_t msg[IPC_CMD_MAX_MSG] = {};
    uint64_t hdr = 0;
    ipc_drv_hdr_set_type(&hdr, IPC_DRV_HDR_TYPE_REQ);
    const uint8_t tag = dev->next_tag++;
    ipc_drv_hdr_set_tag(&hdr, tag);
    ipc_drv_hdr_set_req_endpoint(&hdr, endpoint);
    ipc_drv_hdr_set_pld_len(&hdr, static_cast<uint16_t>(req_len + IPC_CMD_SUBHDR_SIZE));
    ipc_drv_hdr_store(hdr, msg);
    memcpy(msg + 8, k_magic, sizeof(k_magic));
    msg[12] = IPC_CMD_VERSION;
    msg[13] = static_cast<uint8_t>(opcode >> 16);
    msg[14] = static_cast<uint8_t>(opcode);
    msg[15] = static_cast<uint8_t>(opcode >> 8);
    size_t at = IPC_CMD_HDR_SIZE;
    for (size_t i = 0; i < req_count; i++) {
        // an empty element may have no base at all
        if (req_iov[i].iov_len > 0) {
            memcpy(msg + at, req_iov[i].iov_base, req_iov[i].iov_len);
        }
        at += req_iov[i].iov_len;
    }

    auto deadline = ipc_clock::now() + std::chrono::milliseconds(g_rsp_timeout_ms.load());
    ssize_t n = write_msg(dev->fd, msg, at, deadline);
    if (n < 0) {
        return n;
    }
    for (;;) {
        n = read_msg(dev->fd, msg, sizeof(msg), deadline);
        if (n < 0) {
            return -1;
        }
        if (!is_stale(msg, n, tag)) {
            break;
        }
        dev->stale_dropped++;
        log_stale(dev, msg, tag);
    }
    if (!response_matches(msg, n, opcode, &hdr)) {
        errno = EIO;
        return -1;
    }
    size_t body_len = ipc_drv_hdr_get_pld_len(hdr) - IPC_CMD_SUBHDR_SIZE;
    if (body_len > rsp_cap) {
        errno = EMSGSIZE;
        return -1;
    }
    // a response that announces more than it carries is refused: its
    // missing bytes would be whatever the buffer held before
    if (body_len > static_cast<size_t>(n) - IPC_CMD_HDR_SIZE) {
        errno = EIO;
        return -1;
    }
    *rsp_errno = ipc_drv_hdr_get_rsp_errno(hdr);
    const uint8_t* body = msg + IPC_CMD_HDR_SIZE;
    size_t left = body_len;
    for (size_t i = 0; i < rsp_count && left > 0; i++) {
        size_t take = std::min(left, rsp_iov[i].iov_len);
        if (take == 0) {
            continue;  // an empty element, possibly without a base
        }
        memcpy(rsp_iov[i].iov_base, body, take);
        body += take;
        left -= take;
    }
    return static_cast<ssize_t>(body_len);
}
