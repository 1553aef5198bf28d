// card identities (serial and uuid), fwctl scopes and records, and the
// transport settings against bad input

#include <gtest/gtest.h>

#include <vector>

#include "ipc/fwctl_rpc.h"
#include "ipc/nic_ipc.h"

namespace {

// serial -> uuid -> serial; a uuid that is no serial's leaves the output alone
TEST(CardUuid, SerialToUuidAndBack)
{
    const std::pair<const char*, const char*> cases[] = {
        {"ABC", "42424142-4300-0000-0000-000000000000"},
        {"", "42420000-0000-0000-0000-000000000000"},
        {"FLM2231000XYZ9extra", "4242464c-4d32-3233-3130-303058595a39"},  // cut to fourteen
    };
    for (const auto& [serial, uuid] : cases) {
        EXPECT_EQ(nic_ipc_uuid_from_serial(serial), uuid);
        std::string back;
        ASSERT_TRUE(nic_ipc_serial_from_uuid(uuid, back));
        EXPECT_EQ(back, std::string(serial).substr(0, 14));
    }
    for (const char* foreign : {"12344142-4300-0000-0000-000000000000", "", "4242zz42-4300-0000-0000-000000000000"}) {
        std::string serial = "kept";
        EXPECT_FALSE(nic_ipc_serial_from_uuid(foreign, serial)) << foreign;
        EXPECT_EQ(serial, "kept");
    }
}

// a key merges endpoint and opcode; the two-buffer form never asks for write
// scope; the record's fields sit at their offsets
TEST(Fwctl, ScopesAndRecordOffsets)
{
    EXPECT_EQ(nic_fwctl_scope(0x13, 0x10003), NIC_FWCTL_SCOPE_DEBUG_WRITE);  // key 0x130003
    EXPECT_EQ(nic_fwctl_scope(0x12, 0x10003), NIC_FWCTL_SCOPE_DEBUG_WRITE);  // the same key
    EXPECT_EQ(nic_fwctl_scope(0x1e, 0x0005), NIC_FWCTL_SCOPE_CONFIGURATION);
    EXPECT_EQ(nic_fwctl_scope(0x13, 0x10000), NIC_FWCTL_SCOPE_DEBUG_READ_ONLY);
    EXPECT_EQ(nic_fwctl_scope_rw(0x13, 0x10003), NIC_FWCTL_SCOPE_DEBUG_READ_ONLY);

    nic_fwctl_rpc_s rpc = {};
    nic_fwctl_rpc_put32(rpc, NIC_FWCTL_RPC_OUT_LEN, 0x11223344);
    nic_fwctl_rpc_put64(rpc, NIC_FWCTL_RPC_OUT_PAYLOAD, 0x0102030405060708ull);
    EXPECT_EQ(std::vector<uint8_t>(rpc.bytes + 36, rpc.bytes + 48),
              (std::vector<uint8_t>{0x44, 0x33, 0x22, 0x11, 8, 7, 6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(nic_fwctl_rpc_get64(rpc, NIC_FWCTL_RPC_OUT_PAYLOAD), 0x0102030405060708ull);
}

TEST(Transport, SettingsAreChecked)
{
    EXPECT_EQ(nic_ipc_init(3, true), -3);
    EXPECT_EQ(nic_ipc_init(0, false), -3);
    EXPECT_EQ(nic_ipc_init(2, false), 0);
    nic_ipc_handle_s handle;
    handle.transport = 7;
    uint32_t fw_errno = 0;
    uint8_t buf[8] = {};
    EXPECT_EQ(nic_ipc_req_rsp(&handle, 0x13, 0x10000, buf, 8, 8, &fw_errno), -1);
    EXPECT_EQ(nic_ipc_init(1, true), 0);
}

}  // namespace
