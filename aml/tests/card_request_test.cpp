// how one answer of the card is judged and decoded, without a card: every
// way an exchange can go wrong gives its own status and text

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "aml/aml_card_cmds.h"
#include "aml/aml_card_requests.h"
#include "ipc/le_bytes.h"

namespace {

const aml_card_handle_s k_card{"42424142-4300-0000-0000-000000000000", "0000:3b:00.0"};
const std::string k_prefix = "NIC 42424142-4300-0000-0000-000000000000 (0000:3b:00.0) : ";

aml_card_cmd_s broken_status_offset()
{
    aml_card_cmd_s cmd = aml_card_cmd(AML_CARD_CMD_HEARTBEAT);
    cmd.status_offset = 14;
    return cmd;
}

TEST(AmlCardRspCheck, EveryOutcomeOfAnExchange)
{
    const aml_card_cmd_s heartbeat = aml_card_cmd(AML_CARD_CMD_HEARTBEAT);
    const aml_card_cmd_s cmb = aml_card_cmd(AML_CARD_CMD_CMB_GET);
    const std::string send_err = "ERROR - Failed to send HEARTBEAT, err : ";
    const std::string size_err = "ERROR - HEARTBEAT IPC response size ";
    struct case_s {
        const char* what;
        aml_card_cmd_s cmd;
        ssize_t rc;
        uint32_t fw_errno;
        int sys_errno;
        uint32_t fw_status;  // at the command's status offset
        bool skip;
        bool no_buffer;
        aml_status_e status;
        std::string error;  // after the card prefix; empty: none
    };
    const case_s cases[] = {
        {"status 0", heartbeat, 16, 0, 0, 0, false, false, AML_STATUS_OK, ""},
        {"status 11 is the firmware's retry", heartbeat, 16, 0, 0, 11, false, false, AML_STATUS_OK, ""},
        {"status mapped", heartbeat, 16, 0, 0, 39, false, false, AML_STATUS_TIMEOUT,
         "ERROR - Failed to get card heartbeat, status : Operation timed out"},
        {"unknown status", heartbeat, 16, 0, 0, 0x12345678, false, false, AML_STATUS_GENERIC_ERR,
         "ERROR - Failed to get card heartbeat, status : Generic error"},
        {"short", heartbeat, 12, 0, 0, 0, false, false, AML_STATUS_MSG_SIZE_MISMATCH,
         size_err + "12 doesn't match expected size 16"},
        {"empty", heartbeat, 0, 0, 0, 0, false, false, AML_STATUS_MSG_SIZE_MISMATCH,
         size_err + "0 doesn't match expected size 16"},
        // a transport claiming more than the room it had is not believed
        {"overlong", heartbeat, 1000, 0, 0, 0, false, false, AML_STATUS_MSG_SIZE_MISMATCH,
         size_err + "1000 doesn't match expected size 16"},
        {"firmware errno", heartbeat, 16, 5, 0, 0, false, false, AML_STATUS_IPC_OP_ERR,
         "ERROR - Failed to get card heartbeat, err : 5"},
        {"firmware errno before a failed exchange", heartbeat, -1, 7, ETIMEDOUT, 0, false, false,
         AML_STATUS_IPC_OP_ERR, "ERROR - Failed to get card heartbeat, err : 7"},
        {"failed exchange", heartbeat, -1, 0, ETIMEDOUT, 0, false, false, AML_STATUS_IPC_OP_ERR,
         send_err + strerror(ETIMEDOUT)},
        {"skip: errno ignored", heartbeat, 16, 5, 0, 0, true, false, AML_STATUS_OK, ""},
        {"skip: straight to the size", heartbeat, -1, 0, EIO, 0, true, false, AML_STATUS_MSG_SIZE_MISMATCH,
         size_err + "-1 doesn't match expected size 16"},
        {"cmb status is the second word", cmb, 8, 0, 0, 0, false, false, AML_STATUS_OK, ""},
        {"cmb refused", cmb, 8, 0, 0, 2, false, false, AML_STATUS_INVALID_INPUT,
         "ERROR - Failed to get card cmb, status : Invalid input"},
        {"no buffer is never read", heartbeat, 16, 0, 0, 0, false, true, AML_STATUS_MSG_SIZE_MISMATCH,
         size_err + "0 doesn't match expected size 16"},
        {"status word past the answer", broken_status_offset(), 16, 0, 0, 0, false, false, AML_STATUS_INVALID_OP,
         "ERROR - HEARTBEAT has no status word"},
    };
    for (const case_s& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> rsp(c.cmd.rsp_size, 0x5a);
        le_put<uint32_t>(rsp.data(), rsp.size(), c.cmd.status_offset, c.fw_status);
        std::string error;
        EXPECT_EQ(aml_card_rsp_check(&k_card, c.cmd, c.rc, c.fw_errno, c.sys_errno, c.no_buffer ? nullptr : rsp.data(),
                                     c.skip, error),
                  c.status);
        EXPECT_EQ(error, c.error.empty() ? "" : k_prefix + c.error + "\n");
    }
}

TEST(AmlCardDecode, HeartbeatNonceCmbAndTimeLayouts)
{
    std::vector<uint8_t> hb(AML_HEARTBEAT_RSP_SIZE, 0xee);
    le_put<uint64_t>(hb.data(), hb.size(), 8, 0x0102030405060708ull);
    EXPECT_EQ(aml_heartbeat_rsp_nonce(hb.data()), 0x0102030405060708ull);
    const uint8_t cmb[AML_CMB_GET_RSP_SIZE] = {0x5a, 0xff, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(aml_cmb_get_rsp_decode(cmb), 0x5a);

    std::vector<uint8_t> rsp(AML_TIME_GET_RSP_SIZE, 0);
    const int32_t fields[9] = {2, 15, 10, 4, 11, 125, 4, 337, -1};
    for (size_t i = 0; i < 9; i++) {
        le_put<int32_t>(rsp.data(), rsp.size(), 4 + 4 * i, fields[i]);
    }
    le_put<uint64_t>(rsp.data(), rsp.size(), 40, 0x1111222233334444ull);
    le_put<uint64_t>(rsp.data(), rsp.size(), 48, 0xffffffffffffffffull);
    aml_card_time_get_rsp_s out;
    aml_time_get_rsp_decode(rsp.data(), &out);
    const int got[9] = {out.card_time.tm_sec,  out.card_time.tm_min,  out.card_time.tm_hour,
                        out.card_time.tm_mday, out.card_time.tm_mon,  out.card_time.tm_year,
                        out.card_time.tm_wday, out.card_time.tm_yday, out.card_time.tm_isdst};
    for (size_t i = 0; i < 9; i++) {
        EXPECT_EQ(got[i], fields[i]) << "field " << i;
    }
    EXPECT_EQ(out.value1, 0x1111222233334444ull);
    EXPECT_EQ(out.value2, 0xffffffffffffffffull);

    // the update request carries the same nine fields in the same order
    uint8_t req[AML_TIME_UPDATE_REQ_SIZE];
    aml_time_update_req_encode(out.card_time, req);
    EXPECT_EQ(memcmp(req, rsp.data() + 4, sizeof(req)), 0);
}

// the two status maps undo each other, and a value without a text says so
TEST(AmlStatus, MapsRoundTripAndUnknownValuesHaveAText)
{
    for (uint32_t ret = 0; ret < 64; ret++) {
        aml_status_e status = sdk_ret_to_aml_status(ret);
        if (status != AML_STATUS_GENERIC_ERR && status != AML_STATUS_INIT_ERR) {
            EXPECT_EQ(aml_to_sdk_ret_status(status), ret) << ret;
        }
    }
    for (uint32_t value : {22u, 27u, 254u, 256u, 0xffffffffu}) {
        EXPECT_EQ(aml_status_to_str(value), "Unknown error") << value;
    }
    for (uint32_t value = 0; value <= 21; value++) {
        EXPECT_NE(aml_status_to_str(value), "Unknown error") << value;
    }
}

}  // namespace
