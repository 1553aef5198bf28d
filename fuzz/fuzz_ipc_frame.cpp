// the ipc framing: a response message as the ipc character device delivers
// it, header, "IPCM" sub-header and body, scattered over the caller's
// buffers. the device is one end of a packet socket pair whose other end
// has queued the message.
//
// input: capacity of the first and second response buffer (u16 each), then
// the message

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "ipc/ipc_cmd.h"

namespace {

// the card's end and the host's end of the device; a response never waits
// long, the message is queued before the request
const int* devices()
{
    static int fds[2] = {-1, -1};
    if (fds[0] < 0 && (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, fds) != 0)) {
        abort();
    }
    ipc_cmd_set_rsp_timeout_ms(50);
    return fds;
}

void drain(int fd)
{
    uint8_t sink[IPC_CMD_MAX_MSG];
    while (read(fd, sink, sizeof(sink)) > 0) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const int* fds = devices();
    size_t cap1 = fuzz_take(data, size, 2) % (IPC_CMD_MAX_BODY + 64);
    size_t cap2 = fuzz_take(data, size, 2) % (IPC_CMD_MAX_BODY + 64);
    drain(fds[1]);
    drain(fds[0]);
    // an empty message is a packet of its own too
    if (size > 2 * IPC_CMD_MAX_MSG || write(fds[0], data, size) < 0) {
        return 0;
    }
    // exact heap buffers, so that a write past either is seen
    std::vector<uint8_t> rsp1(cap1), rsp2(cap2);
    struct iovec rsp[2] = {{rsp1.data(), cap1}, {rsp2.data(), cap2}};
    uint8_t req_body[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    struct iovec req = {req_body, sizeof(req_body)};
    ipc_cmd_dev_s dev;
    dev.fd = fds[1];
    uint32_t fw_errno = 0;
    if (ipc_cmd_send_req_v(&dev, 0x13, 0x10001, &req, 1, rsp, 2, &fw_errno) > static_cast<ssize_t>(cap1 + cap2)) {
        abort();  // a length the buffers cannot hold
    }
    drain(fds[0]);
    return 0;
}
