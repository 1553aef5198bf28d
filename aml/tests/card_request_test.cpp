// how one answer of the card is judged, without a card: every way an
// exchange can go wrong gives its own status and text (the decoded layouts
// are read back from emulated cards)

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "aml/aml_card_cmds.h"
#include "aml/aml_card_requests.h"
#include "ipc/le_bytes.h"

namespace {

const aml_card_handle_s k_card{"42424142-4300-0000-0000-000000000000", "0000:3b:00.0"};
const std::string k_prefix = "NIC 42424142-4300-0000-0000-000000000000 (0000:3b:00.0) : ";

// the outcomes an emulated card cannot give (a mapped status, a transport
// that overstates, errno and failure together, no buffer, a broken command
// entry); the rest are the emulated request tables'
TEST(AmlCardRspCheck, EveryOutcomeOfAnExchange)
{
    const aml_card_cmd_s heartbeat = aml_card_cmd(AML_CARD_CMD_HEARTBEAT);
    const aml_card_cmd_s cmb = aml_card_cmd(AML_CARD_CMD_CMB_GET);
    aml_card_cmd_s broken = heartbeat;
    broken.status_offset = 14;
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
        {"status mapped", heartbeat, 16, 0, 0, 39, false, false, AML_STATUS_TIMEOUT,
         "ERROR - Failed to get card heartbeat, status : Operation timed out"},
        {"unknown status", heartbeat, 16, 0, 0, 0x12345678, false, false, AML_STATUS_GENERIC_ERR,
         "ERROR - Failed to get card heartbeat, status : Generic error"},
        // a transport claiming more than the room it had is not believed
        {"overlong", heartbeat, 1000, 0, 0, 0, false, false, AML_STATUS_MSG_SIZE_MISMATCH,
         size_err + "1000 doesn't match expected size 16"},
        {"firmware errno before a failed exchange", heartbeat, -1, 7, ETIMEDOUT, 0, false, false,
         AML_STATUS_IPC_OP_ERR, "ERROR - Failed to get card heartbeat, err : 7"},
        {"skip: straight to the size", heartbeat, -1, 0, EIO, 0, true, false, AML_STATUS_MSG_SIZE_MISMATCH,
         size_err + "-1 doesn't match expected size 16"},
        {"cmb refused", cmb, 8, 0, 0, 2, false, false, AML_STATUS_INVALID_INPUT,
         "ERROR - Failed to get card cmb, status : Invalid input"},
        {"no buffer is never read", heartbeat, 16, 0, 0, 0, false, true, AML_STATUS_MSG_SIZE_MISMATCH,
         size_err + "0 doesn't match expected size 16"},
        {"status word past the answer", broken, 16, 0, 0, 0, false, false, AML_STATUS_INVALID_OP,
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
