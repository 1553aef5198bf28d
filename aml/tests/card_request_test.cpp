#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <iterator>
#include <vector>

#include "aml/aml_card_cmds.h"
#include "aml/aml_card_requests.h"
#include "aml/aml_inventory.h"

namespace {

const aml_card_handle_s k_card{"42424142-4300-0000-0000-000000000000", "0000:3b:00.0"};
const std::string k_prefix = "NIC 42424142-4300-0000-0000-000000000000 (0000:3b:00.0) : ";

const aml_card_cmd_s& k_heartbeat = aml_card_cmd(AML_CARD_CMD_HEARTBEAT);
const aml_card_cmd_s& k_cmb_get = aml_card_cmd(AML_CARD_CMD_CMB_GET);

std::vector<uint8_t> response(size_t size, uint32_t status, size_t status_offset = 0)
{
    std::vector<uint8_t> rsp(size, 0);
    aml_put_le32(rsp.data() + status_offset, status);
    return rsp;
}

aml_status_e check(const aml_card_cmd_s& cmd, ssize_t rc, uint32_t fw_errno, int sys_errno,
                   const std::vector<uint8_t>& rsp, bool skip, std::string& error)
{
    return aml_card_rsp_check(&k_card, cmd, rc, fw_errno, sys_errno, rsp.data(), skip, error);
}

TEST(AmlCardCmds, CatalogueOfCommands)
{
    struct expected_s {
        aml_card_cmd_e cmd;
        const char* name;
        uint32_t endpoint;
        uint32_t opcode;
        size_t rsp_size;
        size_t status_offset;
        const char* what;  // the middle of the errno and status texts
    };
    const expected_s expected[] = {
        {AML_CARD_CMD_HEARTBEAT, "HEARTBEAT", 0x13, 0x10000, AML_HEARTBEAT_RSP_SIZE, 0, "get card heartbeat"},
        {AML_CARD_CMD_DEVICE_INFO, "DEVICE_INFO", 0x13, 0x10001, AML_DEVICE_INFO_RSP_SIZE, 0, "get NIC"},
        {AML_CARD_CMD_TIME_UPDATE, "TIME_UPDATE", 0x13, 0x10009, 4, 0, "update card"},
        {AML_CARD_CMD_DEVICE_COREDUMP_CLEAR, "DEVICE_COREDUMP_CLEAR", 0x13, 0x1000b, 4, 0, "clear coredump"},
        {AML_CARD_CMD_TIME_GET, "TIME_GET", 0x13, 0x1000c, AML_TIME_GET_RSP_SIZE, 0, "get card time"},
        {AML_CARD_CMD_PSS_RESET, "PSS_RESET", 0x13, 0x1000f, 4, 0, "reset PSS"},
        {AML_CARD_CMD_SUC_COREDUMP_CLEAR, "SUC_COREDUMP_CLEAR", 0x13, 0x10010, 4, 0, "clear SUC coredump"},
        {AML_CARD_CMD_CMB_GET, "CMB_GET", 0x12, 0x10011, AML_CMB_GET_RSP_SIZE, 4, "get card cmb"},
        {AML_CARD_CMD_CMB_UPDATE, "CMB_UPDATE", 0x12, 0x10012, 4, 0, "update card"},
        {AML_CARD_CMD_DEVICE_ROLE_GET, "DEVICE_ROLE_GET", 0x0b, 0x10006, 8, 0, "get device role"},
    };
    ASSERT_EQ(std::size(expected), static_cast<size_t>(AML_CARD_CMD_COUNT));
    for (const auto& e : expected) {
        const aml_card_cmd_s& cmd = aml_card_cmd(e.cmd);
        EXPECT_STREQ(cmd.name, e.name);
        EXPECT_EQ(cmd.endpoint, e.endpoint) << e.name;
        EXPECT_EQ(cmd.opcode, e.opcode) << e.name;
        EXPECT_EQ(cmd.rsp_size, e.rsp_size) << e.name;
        EXPECT_EQ(cmd.status_offset, e.status_offset) << e.name;
        EXPECT_EQ(cmd.errno_text, std::string("ERROR - Failed to ") + e.what + ", err : ") << e.name;
        EXPECT_EQ(cmd.status_text, std::string("ERROR - Failed to ") + e.what + ", status : ") << e.name;
    }
}

TEST(AmlCardRspCheck, FirmwareStatusZeroAndElevenAreSuccess)
{
    std::string error;
    EXPECT_EQ(check(k_heartbeat, 16, 0, 0, response(16, 0), false, error), AML_STATUS_OK);
    EXPECT_EQ(check(k_heartbeat, 16, 0, 0, response(16, 11), false, error), AML_STATUS_OK);
    EXPECT_TRUE(error.empty());
}

TEST(AmlCardRspCheck, OtherFirmwareStatusIsMappedWithItsText)
{
    std::string error;
    EXPECT_EQ(check(k_heartbeat, 16, 0, 0, response(16, 39), false, error), AML_STATUS_TIMEOUT);
    EXPECT_EQ(error, k_prefix + "ERROR - Failed to get card heartbeat, status : Operation timed out\n");
    EXPECT_EQ(check(k_heartbeat, 16, 0, 0, response(16, 0x12345678), false, error), AML_STATUS_GENERIC_ERR);
    EXPECT_EQ(error, k_prefix + "ERROR - Failed to get card heartbeat, status : Generic error\n");
}

TEST(AmlCardRspCheck, ShortOrOverlongResponseIsASizeMismatch)
{
    std::string error;
    EXPECT_EQ(check(k_heartbeat, 12, 0, 0, response(16, 0), false, error), AML_STATUS_MSG_SIZE_MISMATCH);
    EXPECT_EQ(error, k_prefix + "ERROR - HEARTBEAT IPC response size 12 doesn't match expected size 16\n");
    EXPECT_EQ(check(k_heartbeat, 0, 0, 0, response(16, 0), false, error), AML_STATUS_MSG_SIZE_MISMATCH);
    // a transport claiming more than the room it had is not believed either
    EXPECT_EQ(check(k_heartbeat, 1000, 0, 0, response(16, 0), false, error), AML_STATUS_MSG_SIZE_MISMATCH);
    EXPECT_EQ(error, k_prefix + "ERROR - HEARTBEAT IPC response size 1000 doesn't match expected size 16\n");
}

TEST(AmlCardRspCheck, FirmwareErrnoComesBeforeTheExchangeFailure)
{
    std::string error;
    EXPECT_EQ(check(k_heartbeat, 16, 5, 0, response(16, 0), false, error), AML_STATUS_IPC_OP_ERR);
    EXPECT_EQ(error, k_prefix + "ERROR - Failed to get card heartbeat, err : 5\n");
    EXPECT_EQ(check(k_heartbeat, -1, 7, ETIMEDOUT, response(16, 0), false, error), AML_STATUS_IPC_OP_ERR);
    EXPECT_EQ(error, k_prefix + "ERROR - Failed to get card heartbeat, err : 7\n");
    EXPECT_EQ(check(k_heartbeat, -1, 0, ETIMEDOUT, response(16, 0), false, error), AML_STATUS_IPC_OP_ERR);
    EXPECT_EQ(error, k_prefix + "ERROR - Failed to send HEARTBEAT, err : " + strerror(ETIMEDOUT) + "\n");
}

TEST(AmlCardRspCheck, SkipFlagGoesStraightToTheSizeCheck)
{
    std::string error;
    EXPECT_EQ(check(k_heartbeat, 16, 5, 0, response(16, 0), true, error), AML_STATUS_OK);
    EXPECT_EQ(check(k_heartbeat, -1, 0, EIO, response(16, 0), true, error), AML_STATUS_MSG_SIZE_MISMATCH);
    EXPECT_EQ(error, k_prefix + "ERROR - HEARTBEAT IPC response size -1 doesn't match expected size 16\n");
}

TEST(AmlCardRspCheck, CmbStatusIsTheSecondWord)
{
    std::string error;
    auto rsp = response(8, 0, 4);
    rsp[0] = 0x5a;
    rsp[1] = 0xff;
    EXPECT_EQ(check(k_cmb_get, 8, 0, 0, rsp, false, error), AML_STATUS_OK);
    EXPECT_EQ(aml_cmb_get_rsp_decode(rsp.data()), 0x5a);
    auto refused = response(8, 2, 4);
    EXPECT_EQ(check(k_cmb_get, 8, 0, 0, refused, false, error), AML_STATUS_INVALID_INPUT);
    EXPECT_EQ(error, k_prefix + "ERROR - Failed to get card cmb, status : Invalid input\n");
}

TEST(AmlCardRspCheck, NoResponseBufferIsNeverRead)
{
    std::string error;
    EXPECT_EQ(aml_card_rsp_check(&k_card, k_heartbeat, 16, 0, 0, nullptr, false, error),
              AML_STATUS_MSG_SIZE_MISMATCH);
    aml_card_cmd_s broken = k_heartbeat;
    broken.status_offset = 14;
    EXPECT_EQ(check(broken, 16, 0, 0, response(16, 0), false, error), AML_STATUS_INVALID_OP);
}

TEST(AmlCardDecode, HeartbeatNonceAndTimeLayouts)
{
    std::vector<uint8_t> hb(16, 0xee);
    aml_put_le64(hb.data() + 8, 0x0102030405060708ull);
    EXPECT_EQ(aml_heartbeat_rsp_nonce(hb.data()), 0x0102030405060708ull);

    std::vector<uint8_t> rsp(AML_TIME_GET_RSP_SIZE, 0);
    const int32_t fields[9] = {2, 15, 10, 4, 11, 125, 4, 337, -1};
    for (size_t i = 0; i < 9; i++) {
        aml_put_le32(rsp.data() + 4 + 4 * i, static_cast<uint32_t>(fields[i]));
    }
    aml_put_le64(rsp.data() + 40, 0x1111222233334444ull);
    aml_put_le64(rsp.data() + 48, 0xffffffffffffffffull);
    aml_card_time_get_rsp_s out;
    aml_time_get_rsp_decode(rsp.data(), &out);
    EXPECT_EQ(out.card_time.tm_sec, 2);
    EXPECT_EQ(out.card_time.tm_min, 15);
    EXPECT_EQ(out.card_time.tm_hour, 10);
    EXPECT_EQ(out.card_time.tm_mday, 4);
    EXPECT_EQ(out.card_time.tm_mon, 11);
    EXPECT_EQ(out.card_time.tm_year, 125);
    EXPECT_EQ(out.card_time.tm_wday, 4);
    EXPECT_EQ(out.card_time.tm_yday, 337);
    EXPECT_EQ(out.card_time.tm_isdst, -1);
    EXPECT_EQ(out.value1, 0x1111222233334444ull);
    EXPECT_EQ(out.value2, 0xffffffffffffffffull);

    // the update request carries the same nine fields in the same order
    uint8_t req[AML_TIME_UPDATE_REQ_SIZE];
    aml_time_update_req_encode(out.card_time, req);
    EXPECT_EQ(memcmp(req, rsp.data() + 4, sizeof(req)), 0);
}

TEST(AmlCardRequests, InvalidHandleFailsBeforeAnyChannel)
{
    aml_card_handle_s upper{"42424142-4300-0000-0000-00000000000A", ""};
    const std::string prefix = "NIC 42424142-4300-0000-0000-00000000000A () : ";
    aml_card_liveness_check_req_s hb{upper};
    aml_card_liveness_check_rsp_s hb_rsp;
    EXPECT_EQ(aml_card_liveness_check(&hb, &hb_rsp), AML_STATUS_INVALID_INPUT);
    EXPECT_EQ(hb_rsp.error, prefix + "ERROR - Invalid card handle\n");

    aml_card_cmb_get_req_s cmb{upper};
    aml_card_cmb_get_rsp_s cmb_rsp;
    cmb_rsp.cmb = 9;
    EXPECT_EQ(aml_card_cmb_get(&cmb, &cmb_rsp), AML_STATUS_INVALID_INPUT);
    EXPECT_EQ(cmb_rsp.cmb, 9);
    EXPECT_EQ(cmb_rsp.error, prefix + "ERROR - Invalid card handle\n");

    aml_card_pss_reset_req_s pss{{"", "not-a-bdf"}};
    aml_card_pss_reset_rsp_s pss_rsp;
    EXPECT_EQ(aml_card_pss_reset(&pss, &pss_rsp), AML_STATUS_INVALID_INPUT);
    EXPECT_EQ(pss_rsp.error, "NIC  (not-a-bdf) : ERROR - Invalid card handle\n");

    EXPECT_EQ(aml_card_liveness_check(nullptr, &hb_rsp), AML_STATUS_INVALID_INPUT);
    aml_card_time_get_req_s time_req{k_card};
    EXPECT_EQ(aml_card_time_get(&time_req, nullptr), AML_STATUS_INVALID_INPUT);

    uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
    std::string error;
    EXPECT_EQ(kovra_get_card_fru_mac(&upper, mac, error), AML_STATUS_INVALID_INPUT);
    EXPECT_EQ(mac[0], 1);
    EXPECT_EQ(error, prefix + "ERROR - Invalid card handle\n");
}

TEST(AmlInventoryInput, LookupsRefuseMalformedNames)
{
    aml_card_uuid_get_req_s uuid_req;
    aml_card_uuid_get_rsp_s uuid_rsp;
    EXPECT_EQ(aml_card_uuid_get(&uuid_req, &uuid_rsp), AML_STATUS_INVALID_INPUT);
    EXPECT_TRUE(uuid_rsp.error.empty());

    aml_pcie_bdf_get_req_s bdf_req{"4242-nope"};
    aml_pcie_bdf_get_rsp_s bdf_rsp;
    EXPECT_EQ(aml_pcie_bdf_get(&bdf_req, &bdf_rsp), AML_STATUS_INVALID_INPUT);
    EXPECT_EQ(bdf_rsp.error, "Invalid uuid 4242-nope\n");
    EXPECT_TRUE(bdf_rsp.bdf.empty());

    std::string card = "unchanged";
    EXPECT_EQ(aml_card_controller_bdf_get("0000:3b:00;0", card), AML_STATUS_INVALID_INPUT);
    EXPECT_EQ(card, "unchanged");

    aml_card_get_req_s get_req{{"", "0000:3b:0.0"}};
    aml_card_get_rsp_s get_rsp;
    EXPECT_EQ(aml_card_get(&get_req, &get_rsp), AML_STATUS_INVALID_INPUT);
    EXPECT_EQ(get_rsp.error, "NIC  (0000:3b:0.0) : ERROR - Invalid card handle\n");
}

}  // namespace
