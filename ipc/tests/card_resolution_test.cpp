// card identities (serial and uuid), fwctl scopes and records, the transport
// settings; then, on an emulated host, finding cards, their functions and
// devices, and exchanging requests with them over both transports

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "emulator/cardsim_host.h"
#include "ipc/fwctl_rpc.h"
#include "ipc/ipc_cmd.h"
#include "ipc/nic_ipc.h"

namespace {

constexpr uint32_t k_ep_card = 0x13, k_op_heartbeat = 0x10000;

struct ipc_channel {
    nic_ipc_handle_s handle;
    int rc;
    explicit ipc_channel(const std::string& bdf) : rc(nic_ipc_open(&handle, bdf.c_str())) {}
    ~ipc_channel() { nic_ipc_close(&handle); }
    // a heartbeat: its length, errno and whether the nonce came back
    ssize_t heartbeat(uint32_t& fw_errno, bool& echoed, uint64_t nonce = 0x1122334455667788)
    {
        uint8_t buf[IPC_CMD_MAX_BODY] = {};
        memcpy(buf, &nonce, 8);
        fw_errno = 0;
        ssize_t n = nic_ipc_req_rsp(&handle, k_ep_card, k_op_heartbeat, buf, 8, 16, &fw_errno);
        echoed = n == 16 && memcmp(buf + 8, &nonce, 8) == 0;
        return n;
    }
};

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

class CardResolution : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(host.ok()) << host.error();
        nic_ipc_init(NIC_IPC_TRANSPORT_VOSK, true);
    }
    cardsim_host host{{2, {}, 0}};
};

TEST_F(CardResolution, CardsAndTheirFunctionsAreFound)
{
    EXPECT_EQ(nic_ipc_asic_pcie_device_id(), CARDSIM_CARD_DEVICE);
    std::vector<std::string> cards;
    ASSERT_EQ(nic_ipc_card_pcie_devices(NIC_PCI_VENDOR_ID, CARDSIM_CARD_DEVICE, cards, 16), 2);
    EXPECT_EQ(cards, (std::vector<std::string>{host.card(0).card_bdf, host.card(1).card_bdf}));
    std::vector<std::string> one;
    EXPECT_EQ(nic_ipc_card_pcie_devices(NIC_PCI_VENDOR_ID, CARDSIM_CARD_DEVICE, one, 1), 1);

    for (size_t i = 0; i < 2; i++) {
        const auto& c = host.card(i);
        uint32_t first = 0, last = 0;
        ASSERT_EQ(derive_pcie_bus_scan_range(c.card_bdf, &first, &last), 0);
        EXPECT_EQ(first, std::stoul(c.rsc_bdf.substr(5, 2), nullptr, 16));
        EXPECT_EQ(last, first + 1);

        nic_ipc_card_device_info_s info;
        ASSERT_EQ(nic_ipc_get_card_device_info(c.card_bdf, &info), 0);
        EXPECT_EQ(info.flags, NIC_DEV_INFO_RESOURCE | NIC_DEV_INFO_IPC | NIC_DEV_INFO_CORE | NIC_DEV_INFO_FUNC_1002 |
                                  NIC_DEV_INFO_FUNC_1003);
        EXPECT_EQ((std::vector<std::string>{info.rsc_bdf, info.ipc_bdf, info.core_bdf, info.func_1002_bdf,
                                            info.func_1003_bdf, info.ipc_dev_path, info.fwctl_dev_path}),
                  (std::vector<std::string>{c.rsc_bdf, c.ipc_bdf, c.core_bdf, c.func_1002_bdf, c.func_1003_bdf,
                                            c.ipc_devnode, c.fwctl_devnode}));

        uint32_t id = 0;
        ASSERT_EQ(nic_ipc_get_device_id_from_bdf(c.ipc_bdf, &id), 0);
        EXPECT_EQ(id, NIC_PCI_DEV_IPC);
        std::string core;
        ASSERT_EQ(nic_ipc_vxc_core_bdf_from_card_bdf(c.card_bdf, core), 0);
        EXPECT_EQ(core, c.core_bdf);
        std::string path;
        ASSERT_EQ(nic_fwctl_device_path_from_vmb_bdf(c.core_bdf, path), 0) << "the core function names itself";
        EXPECT_EQ(path, c.fwctl_devnode);

        std::vector<std::string> fns;
        uint32_t count = 0;
        ASSERT_EQ(nic_ipc_card_device_list_get(c.card_bdf, fns, &count), 0);
        EXPECT_EQ(count, 5u);
        EXPECT_TRUE(nic_ipc_is_device_bar_map_valid(c.rsc_bdf));
    }
}

TEST_F(CardResolution, AddressesThatAreNotCardsAreRefused)
{
    std::string out;
    uint32_t id = 0, first = 0, last = 0, count = 0;
    std::vector<std::string> fns;
    for (const std::string& bad : {std::string("0000:99:00.0"), std::string("../../etc"), std::string("0000:21:00.0; touch /tmp/x"),
                                   host.card(0).root_port_bdf, std::string("0000:3b"), std::string("no-colon"), std::string()}) {
        EXPECT_NE(nic_ipc_get_device_id_from_bdf(bad, &id), 0) << bad;
        EXPECT_NE(device_bdf_from_vmb_bdf(bad, NIC_PCI_DEV_IPC, out), 0) << bad;
        EXPECT_FALSE(nic_ipc_is_device_bar_map_valid(bad)) << bad;
        EXPECT_NE(nic_vosk_device_path_from_vmb_bdf(bad, out), 0) << bad;
        EXPECT_NE(nic_ipc_card_bdf_from_dev_bdf(bad, out), 0) << bad;
    }
    EXPECT_NE(derive_pcie_bus_scan_range("0000:99:00.0", &first, &last), 0);
    EXPECT_NE(nic_ipc_card_device_list_get("0000:99:00.0", fns, &count), 0);
    EXPECT_FALSE(nic_ipc_is_device_bar_map_valid(host.card(0).ipc_bdf + "x"));
}

// card 0 has no ipc device, card 1 no fwctl device: the other transport
// serves them only when the fallback is allowed
TEST_F(CardResolution, MissingDeviceFallsBackToTheOtherTransportWhenAllowed)
{
    cardsim_card_spec_s no_ipc = cardsim_default_card(0), no_fwctl = cardsim_default_card(1);
    no_ipc.ipc_device = false;
    no_fwctl.fwctl_device = false;
    cardsim_host partial({2, {no_ipc, no_fwctl}, 0});
    ASSERT_TRUE(partial.ok()) << partial.error();
    const struct {
        size_t card;
        int asked;
        bool fallback;
        int served;  // 0: no channel
    } cases[] = {{0, NIC_IPC_TRANSPORT_VOSK, true, NIC_IPC_TRANSPORT_FWCTL},
                 {1, NIC_IPC_TRANSPORT_FWCTL, true, NIC_IPC_TRANSPORT_VOSK},
                 {0, NIC_IPC_TRANSPORT_VOSK, false, 0}};
    for (const auto& c : cases) {
        nic_ipc_init(c.asked, c.fallback);
        ipc_channel ch(partial.card(c.card).card_bdf);
        ASSERT_EQ(ch.rc == 0, c.served != 0) << "card " << c.card;
        if (c.served != 0) {
            EXPECT_EQ(ch.handle.transport, static_cast<uint32_t>(c.served));
            uint32_t fw_errno = 0;
            bool echoed = false;
            EXPECT_EQ(ch.heartbeat(fw_errno, echoed), 16);
            EXPECT_TRUE(echoed);
        }
    }
    // the card with its ipc function but no misc device is still found, without the flag
    nic_ipc_card_device_info_s info;
    nic_ipc_get_card_device_info(partial.card(0).card_bdf, &info);
    EXPECT_EQ(info.flags & (NIC_DEV_INFO_IPC | NIC_DEV_INFO_CORE), uint32_t{NIC_DEV_INFO_CORE});
    nic_ipc_card_info_s card;
    ASSERT_EQ(nic_ipc_get_card_info(partial.card(0).card_bdf, &card), 0);
    EXPECT_EQ(card.serial, partial.card(0).serial) << "the serial comes from the core function then";
}

// the fwctl device checks a call as the kernel's fwctl core and the driver
// do, and fails with their errno; only the sound call reaches the firmware
TEST_F(CardResolution, FwctlCallsAreCheckedAsTheKernelChecksThem)
{
    using bend_fn = void (*)(nic_fwctl_rpc_arg_s&, nic_fwctl_rpc_s&);
    const struct {
        const char* what;
        bend_fn bend;
        int err;
    } cases[] = {
        {"a sound call", [](auto&, auto&) {}, 0},
        {"argument too small", [](auto& a, auto&) { a.size = 24; }, EINVAL},
        {"unknown scope", [](auto& a, auto&) { a.scope = 4; }, EOPNOTSUPP},
        {"in_len past the core's bound", [](auto& a, auto&) { a.in_len = 3u << 20; }, EMSGSIZE},
        {"out_len past the core's bound", [](auto& a, auto&) { a.out_len = 3u << 20; }, EMSGSIZE},
        {"half a record", [](auto& a, auto&) { a.in_len = 24; }, EINVAL},
        {"reserved in word", [](auto&, auto& r) { nic_fwctl_rpc_put32(r, NIC_FWCTL_RPC_IN_RSVD, 1); }, EINVAL},
        {"reserved out word", [](auto&, auto& r) { nic_fwctl_rpc_put32(r, NIC_FWCTL_RPC_OUT_RSVD + 4, 1); }, EINVAL},
        {"body over 1024", [](auto&, auto& r) { nic_fwctl_rpc_put32(r, NIC_FWCTL_RPC_IN_LEN, 1025); }, EINVAL},
    };
    int fd = open(host.card(0).fwctl_devnode.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    uint8_t body[8] = {}, out[16] = {};
    for (const auto& c : cases) {
        nic_fwctl_rpc_s rpc = {};
        nic_fwctl_rpc_put32(rpc, NIC_FWCTL_RPC_IN_OP, k_op_heartbeat);
        nic_fwctl_rpc_put32(rpc, NIC_FWCTL_RPC_IN_EP, k_ep_card);
        nic_fwctl_rpc_put32(rpc, NIC_FWCTL_RPC_IN_LEN, sizeof(body));
        nic_fwctl_rpc_put32(rpc, NIC_FWCTL_RPC_OUT_LEN, sizeof(out));
        nic_fwctl_rpc_put64(rpc, NIC_FWCTL_RPC_IN_PAYLOAD, reinterpret_cast<uintptr_t>(body));
        nic_fwctl_rpc_put64(rpc, NIC_FWCTL_RPC_OUT_PAYLOAD, reinterpret_cast<uintptr_t>(out));
        nic_fwctl_rpc_arg_s arg = {sizeof(arg), NIC_FWCTL_SCOPE_DEBUG_READ_ONLY, NIC_FWCTL_RPC_SIZE, NIC_FWCTL_RPC_SIZE,
                                   reinterpret_cast<uintptr_t>(&rpc), reinterpret_cast<uintptr_t>(&rpc)};
        c.bend(arg, rpc);
        errno = 0;
        EXPECT_EQ(ioctl(fd, NIC_FWCTL_RPC_IOCTL, &arg) == 0 ? 0 : errno, c.err) << c.what;
    }
    EXPECT_EQ(host.firmware(0).requests(), 1u);
    close(fd);
}

}  // namespace
