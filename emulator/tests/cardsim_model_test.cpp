// the emulator's own pieces that need no testbed: the firmware's answers,
// the faults, the driver framing and the pci attribute builders

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "emulator/cardsim_firmware.h"
#include "emulator/cardsim_ipc_frame.h"
#include "emulator/cardsim_pci.h"

namespace {

uint32_t le32(const std::vector<uint8_t>& b, size_t at)
{
    uint32_t v;
    memcpy(&v, b.data() + at, 4);
    return v;
}

uint64_t le64(const std::vector<uint8_t>& b, size_t at)
{
    uint64_t v;
    memcpy(&v, b.data() + at, 8);
    return v;
}

std::vector<uint8_t> request(uint8_t tag, uint32_t ep, uint32_t op, const std::vector<uint8_t>& body)
{
    std::vector<uint8_t> m(16 + body.size(), 0);
    m[0] = 2;
    m[1] = tag;
    m[2] = static_cast<uint8_t>(body.size() + 8);
    m[3] = static_cast<uint8_t>((body.size() + 8) >> 8);
    memcpy(m.data() + 4, &ep, 4);
    memcpy(m.data() + 8, "IPCM", 4);
    m[12] = 1;
    m[13] = static_cast<uint8_t>(op >> 16);
    m[14] = static_cast<uint8_t>(op);
    m[15] = static_cast<uint8_t>(op >> 8);
    std::copy(body.begin(), body.end(), m.begin() + 16);
    return m;
}

TEST(CardsimFirmware, AnswersDiscoveryExchangesFromTheCardSpec)
{
    cardsim_card_spec_s spec = cardsim_default_card(3);
    cardsim_firmware fw(spec);

    uint8_t nonce[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    auto hb = fw.handle(CARDSIM_EP_CARD, CARDSIM_OP_HEARTBEAT, nonce, sizeof(nonce));
    ASSERT_EQ(hb.body.size(), 16u);
    EXPECT_EQ(le32(hb.body, 0), 0u);
    EXPECT_EQ(memcmp(hb.body.data() + 8, nonce, 8), 0);

    auto info = fw.handle(CARDSIM_EP_CARD, CARDSIM_OP_DEVICE_INFO, nullptr, 0);
    ASSERT_EQ(info.body.size(), 388u);
    EXPECT_EQ(memcmp(info.body.data() + 20, spec.mac.data(), 6), 0);

    uint8_t zero = 0;
    auto ports = fw.handle(CARDSIM_EP_PORT, CARDSIM_OP_PORT_IFINDEX, &zero, 1);
    ASSERT_EQ(ports.body.size(), 52u);
    ASSERT_EQ(le32(ports.body, 4), 2u);
    EXPECT_EQ(le32(ports.body, 8), spec.port_ifindexes[0]);
    EXPECT_EQ(le32(ports.body, 12), spec.port_ifindexes[1]);

    uint8_t ifx[8] = {};
    memcpy(ifx, &spec.port_ifindexes[1], 4);
    auto pinfo = fw.handle(CARDSIM_EP_PORT, CARDSIM_OP_PORT_INFO, ifx, sizeof(ifx));
    ASSERT_EQ(pinfo.body.size(), 928u);
    EXPECT_EQ(le32(pinfo.body, 0), 0u);
    uint8_t unknown[8] = {0xee};
    EXPECT_NE(le32(fw.handle(CARDSIM_EP_PORT, CARDSIM_OP_PORT_INFO, unknown, 8).body, 0), 0u);

    auto region = fw.handle(CARDSIM_EP_PORT, CARDSIM_OP_PORT_STATS_REGION, &zero, 1);
    EXPECT_EQ(le64(region.body, 8), CARDSIM_PORT_REGION);
    EXPECT_EQ(le32(region.body, 16), CARDSIM_PORT_REGION_SIZE);

    auto unknown_op = fw.handle(0x42, 0x10001, nullptr, 0);
    EXPECT_EQ(unknown_op.fw_errno, CARDSIM_FW_ENOTSUP);
    EXPECT_EQ(fw.requests(), 7u);
}

TEST(CardsimFirmware, LifWalkStartsAndEndsAtTheCursorEnd)
{
    cardsim_card_spec_s spec = cardsim_default_card(0);
    spec.lifs.resize(3, spec.lifs[0]);
    spec.lifs[2].name = "a-name-that-fills-more-than-the-field-holds-" + std::string(60, 'x');
    cardsim_firmware fw(spec);
    uint16_t cursor = 0xffff;
    std::vector<uint64_t> blocks;
    for (int guard = 0; guard < 10; guard++) {
        auto r = fw.handle(CARDSIM_EP_LIF, CARDSIM_OP_LIF_GET_ALL, reinterpret_cast<uint8_t*>(&cursor), 2);
        ASSERT_EQ(r.body.size(), 160u);
        EXPECT_EQ(le32(r.body, 0), 0u);
        blocks.push_back(le64(r.body, 128));
        // the name keeps a NUL before the counter block address
        EXPECT_EQ(r.body[127], 0);
        memcpy(&cursor, r.body.data() + 152, 2);
        if (cursor == 0xffff) {
            break;
        }
    }
    EXPECT_EQ(blocks, (std::vector<uint64_t>{cardsim_lif_block(0), cardsim_lif_block(1), cardsim_lif_block(2)}));
}

TEST(CardsimFirmware, FaultsBendTheAnswersTheyAreAimedAt)
{
    cardsim_firmware fw(cardsim_default_card(0));
    uint8_t nonce[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    auto hb = [&] { return fw.handle(CARDSIM_EP_CARD, CARDSIM_OP_HEARTBEAT, nonce, 8); };

    fw.set_fault({cardsim_fault_e::WRONG_NONCE});
    EXPECT_NE(memcmp(hb().body.data() + 8, nonce, 8), 0);
    fw.set_fault({cardsim_fault_e::STATUS_11});
    EXPECT_EQ(le32(hb().body, 0), 11u);
    fw.set_fault({cardsim_fault_e::WRONG_OPCODE});
    EXPECT_NE(hb().opcode, CARDSIM_OP_HEARTBEAT);
    fw.set_fault({cardsim_fault_e::SHORT_BODY, 5});
    EXPECT_EQ(hb().body.size(), 5u);
    fw.set_fault({cardsim_fault_e::OVERSIZED_BODY, 4});
    EXPECT_EQ(hb().body.size(), 20u);
    fw.set_fault({cardsim_fault_e::FW_ERRNO, 5});
    EXPECT_EQ(hb().fw_errno, 5u);
    fw.set_fault({cardsim_fault_e::SILENT});
    EXPECT_TRUE(hb().silent);
    fw.set_fault({cardsim_fault_e::DRIVER_ERRNO, ETIMEDOUT});
    EXPECT_EQ(hb().driver_errno, ETIMEDOUT);
    fw.set_fault({cardsim_fault_e::DELAY, 250});
    EXPECT_EQ(hb().delay_ms, 250u);

    // aimed at one exchange, the others are untouched
    fw.set_fault({cardsim_fault_e::SILENT, 0, CARDSIM_EP_LIF, CARDSIM_OP_LIF_GET_ALL});
    EXPECT_FALSE(hb().silent);
    uint16_t cursor = 0xffff;
    EXPECT_TRUE(fw.handle(CARDSIM_EP_LIF, CARDSIM_OP_LIF_GET_ALL, reinterpret_cast<uint8_t*>(&cursor), 2).silent);
    fw.set_fault({});
    EXPECT_EQ(memcmp(hb().body.data() + 8, nonce, 8), 0);
}

// the firmware checks every request as a card does: its size, its reserved
// fields and its opcode, on every endpoint
TEST(CardsimFirmware, RequestsAreCheckedAsACardChecksThem)
{
    std::vector<uint8_t> cpld(12, 0), xcvr(240, 0);
    xcvr[4] = 1;  // port 1
    auto with = [](std::vector<uint8_t> b, size_t at) {
        b[at] = 1;
        return b;
    };
    const struct {
        const char* what;
        uint32_t endpoint, opcode;
        std::vector<uint8_t> body;
        uint32_t fw_errno;
    } cases[] = {
        {"heartbeat", 0x13, 0x10000, std::vector<uint8_t>(8), 0},
        {"short heartbeat", 0x13, 0x10000, std::vector<uint8_t>(7), CARDSIM_FW_EINVAL},
        {"long heartbeat", 0x13, 0x10000, std::vector<uint8_t>(9), CARDSIM_FW_EINVAL},
        {"device info with a body", 0x13, 0x10001, std::vector<uint8_t>(1), CARDSIM_FW_EINVAL},
        {"empty port index list", 0x11, 0x1000b, {}, CARDSIM_FW_EINVAL},
        {"coredump chunk of 3", 0x04, 0x10001, std::vector<uint8_t>(3), CARDSIM_FW_EINVAL},
        {"unknown opcode", 0x13, 0x10099, {}, CARDSIM_FW_ENOTSUP},
        {"unknown endpoint", 0x42, 0x10001, {}, CARDSIM_FW_ENOTSUP},
        {"cpld revision", 6, 0x10006, cpld, 0},
        {"cpld of 11", 6, 0x10006, std::vector<uint8_t>(11), CARDSIM_FW_EINVAL},
        {"cpld reserved word 0", 6, 0x10006, with(cpld, 0), CARDSIM_FW_EINVAL},
        {"cpld reserved word 8", 6, 0x10006, with(cpld, 9), CARDSIM_FW_EINVAL},
        {"sensor with a body", 6, 0x10015, std::vector<uint8_t>(4), CARDSIM_FW_EINVAL},
        {"cage present", 7, 0x10001, xcvr, 0},
        {"cage of 239", 7, 0x10001, std::vector<uint8_t>(239), CARDSIM_FW_EINVAL},
        {"cage reserved word 16", 7, 0x10001, with(xcvr, 17), CARDSIM_FW_EINVAL},
        {"cage unknown opcode", 7, 0x10099, xcvr, CARDSIM_FW_ENOTSUP},
    };
    cardsim_firmware fw(cardsim_default_card(0));
    for (const auto& c : cases) {
        auto r = fw.handle(c.endpoint, c.opcode, c.body.data(), c.body.size());
        EXPECT_EQ(r.fw_errno, c.fw_errno) << c.what;
        EXPECT_EQ(r.body.empty(), c.fw_errno != 0) << c.what;
    }
}

// a cleared coredump is gone until the card makes a new one
TEST(CardsimFirmware, AClearedCoredumpStaysGone)
{
    cardsim_firmware fw(cardsim_default_card(0));
    const uint8_t offset[4] = {}, one = 0;
    auto total = [&](uint32_t op) { return le32(fw.handle(CARDSIM_EP_DUMP, op, offset, 4).body, 8); };
    EXPECT_EQ(total(CARDSIM_OP_COREDUMP_GET), 2500u);
    EXPECT_EQ(fw.handle(CARDSIM_EP_CARD, CARDSIM_OP_COREDUMP_CLEAR, &one, 1).fw_errno, 0u);
    EXPECT_EQ(total(CARDSIM_OP_COREDUMP_GET), 0u);
    EXPECT_EQ(total(CARDSIM_OP_SUC_COREDUMP_GET), 1200u) << "the SUC's is another";
    EXPECT_EQ(fw.handle(CARDSIM_EP_CARD, CARDSIM_OP_SUC_COREDUMP_CLEAR, &one, 1).fw_errno, 0u);
    EXPECT_EQ(total(CARDSIM_OP_SUC_COREDUMP_GET), 0u);
    fw.make_coredump(cardsim_dump_e::CARD_COREDUMP, 700);
    EXPECT_EQ(total(CARDSIM_OP_COREDUMP_GET), 700u);
}

// CARD_RESET reboots the card into the image it is set to boot, once the
// answer is out; a request the card refuses reboots nothing
TEST(CardsimFirmware, CardResetRebootsIntoTheStartupImage)
{
    cardsim_firmware fw(cardsim_default_card(0));
    const uint8_t arg[4] = {30, 0, 0, 0};
    for (bool refused : {true, false}) {
        SCOPED_TRACE(refused ? "refused" : "answered");
        fw.set_fault(refused ? cardsim_fault_s{cardsim_fault_e::FW_ERRNO, EIO, CARDSIM_EP_CARD, CARDSIM_OP_CARD_RESET}
                             : cardsim_fault_s{});
        fw.flash().set_running_image(CARDSIM_IMAGE_B);
        const uint8_t select_a[4] = {CARDSIM_IMAGE_A, 0, 0, 0};  // BOOT_OPS_SET: runs B, boots A
        ASSERT_EQ(fw.handle(CARDSIM_EP_FWUPDATE, 0x10004, select_a, sizeof select_a).fw_errno, 0u);
        cardsim_reply_s r = fw.handle(CARDSIM_EP_CARD, CARDSIM_OP_CARD_RESET, arg, sizeof arg);
        EXPECT_EQ(r.fw_errno, refused ? static_cast<uint32_t>(EIO) : 0u);
        EXPECT_EQ(r.body.size(), 4u);
        EXPECT_EQ(fw.flash().running_image(), refused ? CARDSIM_IMAGE_B : CARDSIM_IMAGE_A);
    }
}

TEST(CardsimIpcFrame, ResponseEchoesTagAndOpcodeAndCarriesTheErrno)
{
    cardsim_firmware fw(cardsim_default_card(0));
    std::vector<uint8_t> nonce(8, 0x33);
    auto a = cardsim_ipc_answer(fw, request(0xab, CARDSIM_EP_CARD, CARDSIM_OP_HEARTBEAT, nonce).data(), 24);
    ASSERT_EQ(a.write_errno, 0);
    ASSERT_EQ(a.message.size(), 32u);
    EXPECT_EQ(a.message[0], 3);
    EXPECT_EQ(a.message[1], 0xab);
    EXPECT_EQ(a.message[2] | a.message[3] << 8, 24);
    EXPECT_EQ(le32(a.message, 4), 0u);
    EXPECT_EQ(memcmp(a.message.data() + 8, "IPCM", 4), 0);
    EXPECT_EQ(a.message[13], 0x01);
    EXPECT_EQ(a.message[14] | a.message[15] << 8, 0);

    fw.set_fault({cardsim_fault_e::FW_ERRNO, 22});
    a = cardsim_ipc_answer(fw, request(1, CARDSIM_EP_CARD, CARDSIM_OP_HEARTBEAT, nonce).data(), 24);
    EXPECT_EQ(le32(a.message, 4), 22u);
}

TEST(CardsimIpcFrame, MalformedRequestsAreRefusedAtTheWrite)
{
    cardsim_firmware fw(cardsim_default_card(0));
    auto good = request(0, CARDSIM_EP_CARD, CARDSIM_OP_DEVICE_INFO, {});
    auto bad_type = good;
    bad_type[0] = 3;
    auto bad_magic = good;
    bad_magic[9] = 'X';
    auto bad_len = good;
    bad_len[2] = 12;
    auto reserved = good;
    reserved[0] |= 0x08;
    for (const auto* m : {&bad_type, &bad_magic, &bad_len, &reserved}) {
        EXPECT_EQ(cardsim_ipc_answer(fw, m->data(), m->size()).write_errno, EINVAL);
    }
    EXPECT_EQ(cardsim_ipc_answer(fw, good.data(), 8).write_errno, EINVAL);
    EXPECT_EQ(fw.requests(), 0u);
}

TEST(CardsimPci, VpdChecksumAndConfigSpaceHoldWhatLspciReads)
{
    auto vpd = cardsim_vpd("ORX123");
    ASSERT_GT(vpd.size(), 10u);
    EXPECT_EQ(vpd[0], 0x82);
    EXPECT_EQ(vpd.back(), 0x78);
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < vpd.size(); i++) {
        sum = static_cast<uint8_t>(sum + vpd[i]);
    }
    EXPECT_EQ(sum, 0) << "the RV checksum makes the bytes before the end tag sum to zero";

    cardsim_function_s fn;
    fn.vendor = 0x1e7b;
    fn.device = 0x1478;
    fn.bridge = true;
    fn.secondary_bus = 0x21;
    fn.subordinate_bus = 0x22;
    fn.serial = "X";
    auto c = cardsim_config_space(fn);
    EXPECT_EQ(c[0] | c[1] << 8, 0x1e7b);
    EXPECT_EQ(c[0x0e], 1);
    EXPECT_EQ(c[0x19], 0x21);
    EXPECT_EQ(c[0x1a], 0x22);
    EXPECT_TRUE(c[0x06] & 0x10);
    EXPECT_EQ(c[c[0x34]], 0x03);

    fn.bridge = false;
    fn.bars = {{0xc0000000, 0x10000}, {0xc1000000, 0x100000}};
    std::string res = cardsim_resource_text(fn);
    EXPECT_EQ(std::count(res.begin(), res.end(), '\n'), 13);
    EXPECT_EQ(res.substr(0, 38), "0x00000000c0000000 0x00000000c000ffff ");
    EXPECT_NE(res.find("\n0x0000000000000000 0x0000000000000000 0x0000000000000000\n0x00000000c1000000"),
              std::string::npos);
}

}  // namespace
