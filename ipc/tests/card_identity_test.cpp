// card identities (serial and uuid), fwctl scopes and records, and the
// transport settings against bad input

#include <gtest/gtest.h>

#include "ipc/fwctl_rpc.h"
#include "ipc/nic_ipc.h"

namespace {

TEST(CardUuid, SerialToUuidAndBack)
{
    EXPECT_EQ(nic_ipc_uuid_from_serial("ABC"), "42424142-4300-0000-0000-000000000000");
    EXPECT_EQ(nic_ipc_uuid_from_serial(""), "42420000-0000-0000-0000-000000000000");
    std::string full = nic_ipc_uuid_from_serial("FLM2231000XYZ9extra");
    EXPECT_EQ(full.size(), NIC_UUID_LEN);
    EXPECT_EQ(full, "4242464c-4d32-3233-3130-303058595a39");
    std::string serial;
    ASSERT_TRUE(nic_ipc_serial_from_uuid(full, serial));
    EXPECT_EQ(serial, "FLM2231000XYZ9");
    ASSERT_TRUE(nic_ipc_serial_from_uuid("42424142-4300-0000-0000-000000000000", serial));
    EXPECT_EQ(serial, "ABC");
}

TEST(CardUuid, ForeignTextMapsToNoSerial)
{
    std::string serial = "kept";
    EXPECT_FALSE(nic_ipc_serial_from_uuid("12344142-4300-0000-0000-000000000000", serial));
    EXPECT_FALSE(nic_ipc_serial_from_uuid("", serial));
    EXPECT_FALSE(nic_ipc_serial_from_uuid("4242zz42-4300-0000-0000-000000000000", serial));
    EXPECT_EQ(serial, "kept");
}

// a key merges endpoint and opcode; the two-buffer form never asks for write scope
TEST(FwctlScope, KeysMergeEndpointAndOpcode)
{
    EXPECT_EQ(nic_fwctl_scope(0x13, 0x10003), NIC_FWCTL_SCOPE_DEBUG_WRITE);  // key 0x130003
    EXPECT_EQ(nic_fwctl_scope(0x12, 0x10003), NIC_FWCTL_SCOPE_DEBUG_WRITE);  // the same key
    EXPECT_EQ(nic_fwctl_scope(0x1e, 0x0005), NIC_FWCTL_SCOPE_CONFIGURATION);
    EXPECT_EQ(nic_fwctl_scope(0x13, 0x10000), NIC_FWCTL_SCOPE_DEBUG_READ_ONLY);
    EXPECT_EQ(nic_fwctl_scope_rw(0x13, 0x10003), NIC_FWCTL_SCOPE_DEBUG_READ_ONLY);
}

TEST(FwctlRecord, FieldsSitAtTheirOffsets)
{
    nic_fwctl_rpc_s rpc = {};
    nic_fwctl_rpc_put32(rpc, NIC_FWCTL_RPC_OUT_LEN, 0x11223344);
    nic_fwctl_rpc_put64(rpc, NIC_FWCTL_RPC_OUT_PAYLOAD, 0x0102030405060708ull);
    EXPECT_EQ(rpc.bytes[36], 0x44);
    EXPECT_EQ(rpc.bytes[39], 0x11);
    EXPECT_EQ(rpc.bytes[40], 0x08);
    EXPECT_EQ(rpc.bytes[47], 0x01);
    EXPECT_EQ(nic_fwctl_rpc_get64(rpc, NIC_FWCTL_RPC_OUT_PAYLOAD), 0x0102030405060708ull);
}

TEST(Transport, SettingsAreCheckedAndPerThread)
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
