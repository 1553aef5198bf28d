// the framing against a card played by the test over a socket pair

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <numeric>
#include <thread>
#include <vector>

#include "ipc/ipc_cmd.h"
#include "ipc/ipc_drv.h"

namespace {

using bytes = std::vector<uint8_t>;

// a response message, every header field as given; pld_len -1: 8 + body size
bytes make_rsp(uint32_t type, uint32_t fw_errno, uint32_t opcode, const char* magic = "IPCM", uint8_t version = 1,
               const bytes& body = {}, int pld_len = -1)
{
    bytes msg(16 + body.size());
    ipc_drv_hdr_store((type & 7) | uint64_t(pld_len < 0 ? 8 + body.size() : pld_len) << 16 | uint64_t(fw_errno) << 32,
                      msg.data());
    memcpy(msg.data() + 8, magic, 4);
    msg[12] = version;
    msg[13] = uint8_t(opcode >> 16);
    msg[14] = uint8_t(opcode);
    msg[15] = uint8_t(opcode >> 8);
    std::copy(body.begin(), body.end(), msg.begin() + 16);
    return msg;
}

class Framing : public ::testing::Test {
public:
    void SetUp() override
    {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
        dev.fd = fds[0];
        ipc_cmd_set_rsp_timeout_ms(5000);
    }
    void TearDown() override
    {
        if (card.joinable()) {
            card.join();
        }
        close(fds[0]);
        close(fds[1]);
        ipc_cmd_set_rsp_timeout_ms(IPC_CMD_DEFAULT_RSP_TIMEOUT_MS);
    }

    // the card answers `count` requests with what reply makes of each, the
    // request's tag echoed
    void serve(std::function<bytes(const bytes& req)> reply, int count = 1)
    {
        card = std::thread([this, reply, count] {
            for (int i = 0; i < count; i++) {
                bytes req(2048);
                ssize_t n = recv(fds[1], req.data(), req.size(), 0);
                if (n <= 0) {
                    return;
                }
                req.resize(n);
                requests.push_back(req);
                bytes rsp = reply(req);
                if (rsp.size() > 1) {
                    rsp[1] = req[1];
                }
                if (!rsp.empty()) {
                    send(fds[1], rsp.data(), rsp.size(), 0);
                }
            }
        });
    }

    // answers count requests with fw_errno and body, the opcode echoed
    void serve_rsp(uint32_t fw_errno = 0, bytes body = {}, int count = 1)
    {
        serve([=](const bytes& req) {
            return make_rsp(3, fw_errno, uint32_t(req[13]) << 16 | req[14] | uint32_t(req[15]) << 8, "IPCM", 1, body);
        },
              count);
    }

    ssize_t send_req(uint32_t ep, uint32_t op, bytes req, void* rsp, size_t cap, uint32_t* fw_errno)
    {
        struct iovec in = {req.data(), req.size()};
        struct iovec out = {rsp, cap};
        return ipc_cmd_send_req_v(&dev, ep, op, &in, req.empty() ? 0 : 1, &out, cap ? 1 : 0, fw_errno);
    }

    int fds[2];
    ipc_cmd_dev_s dev;
    std::thread card;
    std::vector<bytes> requests;
};

// the header on the wire, a body of up to 1024 bytes gathered from the
// caller's buffers; a longer one never reaches the card
TEST_F(Framing, RequestLayoutOnTheWire)
{
    serve_rsp();
    bytes a(1000, 0xaa), b(24, 0xbb);
    struct iovec in[] = {{a.data(), a.size()}, {b.data(), b.size()}};
    uint32_t fw_errno = 99;
    EXPECT_EQ(ipc_cmd_send_req_v(&dev, 0x13, 0x1000c, in, 2, nullptr, 0, &fw_errno), 0);
    EXPECT_EQ(fw_errno, 0u);
    card.join();
    ASSERT_EQ(requests.size(), 1u);
    bytes expect = {2, 0, 0x08, 0x04, 0x13, 0, 0, 0, 'I', 'P', 'C', 'M', 1, 0x01, 0x0c, 0x00};
    expect.insert(expect.end(), a.begin(), a.end());
    expect.insert(expect.end(), b.begin(), b.end());
    EXPECT_EQ(requests[0], expect);

    EXPECT_EQ(send_req(0x0c, 0x10003, bytes(1025), nullptr, 0, &fw_errno), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    uint8_t probe;
    EXPECT_EQ(recv(fds[1], &probe, 1, MSG_DONTWAIT), -1) << "an oversized request reached the card";
}

TEST_F(Framing, TagCountsUpAndWraps)
{
    serve_rsp(0, {}, 258);
    uint32_t fw_errno;
    for (int i = 0; i < 258; i++) {
        ASSERT_EQ(send_req(0x13, 0x10000, {}, nullptr, 0, &fw_errno), 0) << i;
    }
    card.join();
    for (size_t i = 0; i < requests.size(); i++) {
        ASSERT_EQ(requests[i][1], uint8_t(i)) << i;
    }
}

// what comes back: a firmware errno with an empty body, a body scattered in
// order over the caller's buffers, a body longer than the caller's room
// (refused, nothing written), a closed device (no answer at all: the late
// answer test), and every malformed or mismatched answer (EIO)
TEST_F(Framing, AnswersReachTheCallerOrFailWithTheirErrno)
{
    bytes body(24);
    std::iota(body.begin(), body.end(), uint8_t{1});
    auto bad = [](bytes reply) {
        return [reply](Framing& t) { t.serve([reply](const bytes&) { return reply; }); };
    };
    const struct {
        const char* what;
        std::function<void(Framing&)> card;
        size_t room;  // of the caller's two buffers: 8 and room - 8
        ssize_t rc;
        int err;          // errno when rc is -1
        uint32_t fw_errno;  // 1234: untouched
    } cases[] = {
        {"firmware errno", [](Framing& t) { t.serve_rsp(95); }, 16, 0, 0, 95},
        {"scattered", [&](Framing& t) { t.serve_rsp(0, bytes(body.begin(), body.begin() + 20)); },
         28, 20, 0, 0},
        {"too long", [&](Framing& t) { t.serve_rsp(7, body); }, 16, -1, EMSGSIZE, 1234},
        {"other low opcode", bad(make_rsp(3, 0, 0x10002)), 16, -1, EIO, 1234},
        {"other high byte", bad(make_rsp(3, 0, 0x20001)), 16, -1, EIO, 1234},
        {"request type", bad(make_rsp(2, 0, 0x10001)), 16, -1, EIO, 1234},
        {"bad magic", bad(make_rsp(3, 0, 0x10001, "IPCX")), 16, -1, EIO, 1234},
        {"bad version", bad(make_rsp(3, 0, 0x10001, "IPCM", 2)), 16, -1, EIO, 1234},
        {"payload under 8", bad(make_rsp(3, 0, 0x10001, "IPCM", 1, {}, 7)), 16, -1, EIO, 1234},
        {"7 bytes", bad(bytes(7, 3)), 16, -1, EIO, 1234},
        {"driver header only", bad(bytes{3, 0, 8, 0, 0, 0, 0, 0}), 16, -1, EIO, 1234},
        {"overstated length", bad(make_rsp(3, 0, 0x10001, "IPCM", 1, bytes(4), 8 + 12)), 16, -1, EIO, 1234},
        // last: it leaves no card
        {"closed", [](Framing& t) {
             close(t.fds[1]);
             t.fds[1] = open("/dev/null", O_RDONLY);
         }, 16, -1, EPIPE, 1234},
    };
    for (const auto& c : cases) {
        c.card(*this);
        uint8_t out[32];
        memset(out, 0xee, sizeof(out));
        struct iovec iov[] = {{out, 8}, {out + 8, c.room - 8}};
        uint32_t fw_errno = 1234;
        errno = 0;
        EXPECT_EQ(ipc_cmd_send_req_v(&dev, 0x13, 0x10001, nullptr, 0, iov, 2, &fw_errno), c.rc) << c.what;
        EXPECT_EQ(fw_errno, c.fw_errno) << c.what;
        if (c.rc < 0) {
            EXPECT_EQ(errno, c.err) << c.what;
            EXPECT_EQ(out[0], 0xee) << c.what << ": written past a refused response";
        } else if (c.rc > 0) {
            EXPECT_EQ(memcmp(out, body.data(), 20), 0) << c.what;
            EXPECT_EQ(out[20], 0xee) << c.what;
        }
        if (card.joinable()) {
            card.join();
        }
    }
}

// the late answer of a request that timed out is read and dropped by its
// tag: the next request gets its own answer, whatever the opcodes
TEST_F(Framing, LateAnswersAreDroppedByTheirTag)
{
    ipc_cmd_set_rsp_timeout_ms(100);
    uint8_t rsp[16];
    uint32_t fw_errno = 0;
    serve([](const bytes&) { return bytes(); });
    EXPECT_EQ(send_req(0x13, 0x10000, bytes(8), rsp, sizeof(rsp), &fw_errno), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    card.join();
    ipc_cmd_set_rsp_timeout_ms(5000);
    for (uint32_t op : {0x10000u, 0x1000cu}) {
        // the late answer of the request before, then this one's
        bytes late = make_rsp(3, 0, 0x10000, "IPCM", 1, bytes(16, 0x11));
        late[1] = static_cast<uint8_t>(dev.next_tag - 1);
        send(fds[1], late.data(), late.size(), 0);
        serve_rsp(0, bytes(16, 0x22));
        EXPECT_EQ(send_req(0x13, op, bytes(8), rsp, sizeof(rsp), &fw_errno), 16);
        EXPECT_EQ(rsp[0], 0x22) << "another request's answer was taken for this one";
        card.join();
    }
    EXPECT_EQ(dev.stale_dropped, 2u);
}

TEST(DriverHeaderDeathTest, WrongTypeStopsTheProcess)
{
    uint64_t rsp = 3, req = 2;
    EXPECT_DEATH(ipc_drv_hdr_get_req_endpoint(rsp), "invalid hdr_type for endpoint field: 3");
    EXPECT_DEATH(ipc_drv_hdr_get_rsp_errno(req), "invalid hdr_type for errno field: 2");
    EXPECT_DEATH(ipc_drv_hdr_get_tag(0), "invalid hdr_type for tag field: 0");
    EXPECT_DEATH(ipc_drv_hdr_set_type(&req, 5), "undefined hdr_type: 5");
}

}  // namespace
