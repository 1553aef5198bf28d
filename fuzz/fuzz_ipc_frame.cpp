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
#include <cstring>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "ipc/ipc_cmd.h"

namespace {

constexpr uint32_t k_endpoint = 0x13;
constexpr uint32_t k_opcode = 0x10001;

struct device_pair_s {
    int card = -1;
    int host = -1;
};

const device_pair_s& devices()
{
    static const device_pair_s pair = [] {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, fds) != 0) {
            abort();
        }
        // a response never waits long: the message is queued before the request
        ipc_cmd_set_rsp_timeout_ms(50);
        return device_pair_s{fds[0], fds[1]};
    }();
    return pair;
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
    const device_pair_s& pair = devices();
    size_t cap1 = fuzz_take(data, size, 2) % (IPC_CMD_MAX_BODY + 64);
    size_t cap2 = fuzz_take(data, size, 2) % (IPC_CMD_MAX_BODY + 64);
    if (size > 2 * IPC_CMD_MAX_MSG) {
        return 0;
    }
    drain(pair.host);
    drain(pair.card);
    // an empty message is a packet of its own too
    if (write(pair.card, data, size) < 0) {
        return 0;
    }
    // exact heap buffers, so that a write past either is seen
    std::vector<uint8_t> rsp1(cap1), rsp2(cap2);
    struct iovec rsp[2] = {{rsp1.data(), cap1}, {rsp2.data(), cap2}};
    uint8_t req_body[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    struct iovec req = {req_body, sizeof(req_body)};
    ipc_cmd_dev_s dev;
    dev.fd = pair.host;
    uint32_t fw_errno = 0;
    ssize_t n = ipc_cmd_send_req_v(&dev, k_endpoint, k_opcode, &req, 1, rsp, 2, &fw_errno);
    if (n > static_cast<ssize_t>(cap1 + cap2)) {
        abort();  // a length the buffers cannot hold
    }
    drain(pair.card);
    return 0;
}
