// a card that never answers: every exchange over either transport gives up
// within the response bound, a hundred times in a row, and the channel still
// works once the card answers again

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "emulator/cardsim_host.h"
#include "ipc/ipc_cmd.h"
#include "ipc/le_bytes.h"
#include "ipc/nic_ipc.h"
#include "tests/reliability/reliability_support.h"
#include "tests/support/process_runner.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr uint32_t k_ep_card = 0x13, k_op_heartbeat = 0x10000;
constexpr uint32_t k_bound_ms = 50;
constexpr int k_calls = 100;
// what one call may take beyond the response bound: scheduling on a busy
// two-core machine, the emulator's own work, a sanitizer's slowdown
const long k_slack_ms = 250;

ssize_t heartbeat(nic_ipc_handle_s& handle)
{
    uint8_t buf[IPC_CMD_MAX_BODY] = {};
    (void)le_put<uint64_t>(buf, sizeof(buf), 0, 0x0102030405060708);
    uint32_t fw_errno = 0;
    return nic_ipc_req_rsp(&handle, k_ep_card, k_op_heartbeat, buf, 8, 16, &fw_errno);
}

class SilentCard : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(host.ok()) << host.error();
        ipc_cmd_set_rsp_timeout_ms(k_bound_ms);
    }
    void TearDown() override { ipc_cmd_set_rsp_timeout_ms(IPC_CMD_DEFAULT_RSP_TIMEOUT_MS); }

    static cardsim_host_options_s options()
    {
        // card 1 has no ipc device: its channel is fwctl
        cardsim_card_spec_s no_ipc = cardsim_default_card(1);
        no_ipc.ipc_device = false;
        return {2, {cardsim_default_card(0), no_ipc}, 0};
    }
    cardsim_host host{options()};
};

TEST_F(SilentCard, EveryCallOverEitherTransportEndsWithinItsBound)
{
    const struct {
        const char* name;
        size_t card;
        uint32_t transport;
    } cases[] = {
        {"chardev", 0, NIC_IPC_TRANSPORT_VOSK},
        {"fwctl", 1, NIC_IPC_TRANSPORT_FWCTL},
    };
    for (const auto& c : cases) {
        const long slack_ms = k_slack_ms * test_timeout_scale();
        nic_ipc_init(NIC_IPC_TRANSPORT_VOSK, true);
        nic_ipc_handle_s handle;
        ASSERT_EQ(nic_ipc_open(&handle, host.card(c.card).card_bdf.c_str()), 0) << c.name;
        ASSERT_EQ(handle.transport, c.transport) << c.name;
        ASSERT_EQ(heartbeat(handle), 16) << c.name << ": the card answers before the fault";

        host.set_fault(c.card, {cardsim_fault_e::SILENT, 0});
        int failed = 0, answered = 0, over_bound = 0;
        long max_ms = 0;
        auto all_start = clock_type::now();
        for (int i = 0; i < k_calls; i++) {
            auto start = clock_type::now();
            errno = 0;
            ssize_t n = heartbeat(handle);
            int err = errno;
            long ms = std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start).count();
            max_ms = std::max(max_ms, ms);
            if (n < 0) {
                failed++;
                EXPECT_TRUE(err == ETIMEDOUT || err == EIO) << c.name << ": " << strerror(err);
            } else {
                answered++;
            }
            if (ms > long(k_bound_ms) + slack_ms) {
                over_bound++;
            }
        }
        long total_ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - all_start).count();
        host.clear_fault(c.card);
        // the channel is not left in a broken state
        EXPECT_EQ(heartbeat(handle), 16) << c.name << ": the card answers again";
        nic_ipc_close(&handle);

        EXPECT_EQ(failed, k_calls) << c.name;
        EXPECT_EQ(over_bound, 0) << c.name << ": longest call " << max_ms << " ms";
        EXPECT_LE(total_ms, k_calls * (long(k_bound_ms) + slack_ms)) << c.name;
        reliability_figure(std::string("silent_card_") + c.name,
                           {{"calls", k_calls}, {"bound_ms", k_bound_ms}, {"failed_in_bound", failed - over_bound},
                            {"answered", answered}, {"over_bound", over_bound}, {"max_ms", max_ms},
                            {"total_ms", total_ms}, {"total_deadline_ms", k_calls * (long(k_bound_ms) + slack_ms)}});
    }
}

}  // namespace
