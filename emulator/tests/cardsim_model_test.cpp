// the emulator's own pieces that need no testbed: the firmware's request
// checks, its faults, the state it keeps and the driver framing. what the
// product reads from it (inventory, ports, the pci tree) the product's own
// emulated tests check

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#include "emulator/cardsim_firmware.h"
#include "emulator/cardsim_ipc_frame.h"
#include "ipc/le_bytes.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes request(uint8_t tag, uint32_t ep, uint32_t op, const bytes& body)
{
    bytes m(16 + body.size(), 0);
    m[0] = 2;
    m[1] = tag;
    le_put(m.data(), m.size(), 2, static_cast<uint16_t>(body.size() + 8));
    le_put(m.data(), m.size(), 4, ep);
    memcpy(m.data() + 8, "IPCM", 4);
    m[12] = 1;
    m[13] = static_cast<uint8_t>(op >> 16);
    m[14] = static_cast<uint8_t>(op);
    m[15] = static_cast<uint8_t>(op >> 8);
    std::copy(body.begin(), body.end(), m.begin() + 16);
    return m;
}

// the LIF walk: cursor 0xffff asks for the first, each record names the
// next, and a name longer than its field still ends before the block address
TEST(CardsimFirmware, LifWalkStartsAndEndsAtTheCursorEnd)
{
    cardsim_card_spec_s spec = cardsim_default_card(3);
    spec.lifs.resize(3, spec.lifs[0]);
    spec.lifs[2].name = "a-name-that-fills-more-than-the-field-holds-" + std::string(60, 'x');
    cardsim_firmware fw(spec);
    uint16_t cursor = 0xffff;
    std::vector<uint64_t> blocks;
    for (int guard = 0; guard < 10; guard++) {
        const uint8_t req[2] = {uint8_t(cursor), uint8_t(cursor >> 8)};
        auto r = fw.handle(CARDSIM_EP_LIF, CARDSIM_OP_LIF_GET_ALL, req, 2);
        ASSERT_EQ(r.body.size(), 160u);
        blocks.push_back(le_at<uint64_t>(r.body, 128));
        EXPECT_EQ(r.body[127], 0);
        if ((cursor = le_at<uint16_t>(r.body, 152)) == 0xffff) {
            break;
        }
    }
    EXPECT_EQ(blocks, (std::vector<uint64_t>{cardsim_lif_block(0), cardsim_lif_block(1), cardsim_lif_block(2)}));
}

TEST(CardsimFirmware, FaultsBendOnlyTheAnswersTheyAreAimedAt)
{
    using check_fn = std::function<bool(const cardsim_reply_s&)>;
    const uint8_t nonce[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    const struct {
        cardsim_fault_s fault;
        check_fn bent;
    } cases[] = {
        {{cardsim_fault_e::WRONG_NONCE}, [&](auto& r) { return memcmp(r.body.data() + 8, nonce, 8) != 0; }},
        {{cardsim_fault_e::STATUS_11}, [](auto& r) { return le_at<uint32_t>(r.body, 0) == 11; }},
        {{cardsim_fault_e::WRONG_OPCODE}, [](auto& r) { return r.opcode != CARDSIM_OP_HEARTBEAT; }},
        {{cardsim_fault_e::SHORT_BODY, 5}, [](auto& r) { return r.body.size() == 5; }},
        {{cardsim_fault_e::OVERSIZED_BODY, 4}, [](auto& r) { return r.body.size() == 20; }},
        {{cardsim_fault_e::FW_ERRNO, 5}, [](auto& r) { return r.fw_errno == 5; }},
        {{cardsim_fault_e::SILENT}, [](auto& r) { return r.silent; }},
        {{cardsim_fault_e::DRIVER_ERRNO, ETIMEDOUT}, [](auto& r) { return r.driver_errno == ETIMEDOUT; }},
        {{cardsim_fault_e::DELAY, 250}, [](auto& r) { return r.delay_ms == 250; }},
    };
    cardsim_firmware fw(cardsim_default_card(0));
    const uint8_t first_lif[2] = {0xff, 0xff};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.fault.kind));
        fw.set_fault(c.fault);
        EXPECT_TRUE(c.bent(fw.handle(CARDSIM_EP_CARD, CARDSIM_OP_HEARTBEAT, nonce, 8)));
        // aimed at another exchange, the heartbeat is untouched
        cardsim_fault_s aimed = c.fault;
        aimed.endpoint = CARDSIM_EP_LIF;
        aimed.opcode = CARDSIM_OP_LIF_GET_ALL;
        fw.set_fault(aimed);
        EXPECT_FALSE(c.bent(fw.handle(CARDSIM_EP_CARD, CARDSIM_OP_HEARTBEAT, nonce, 8)));
        if (c.fault.kind == cardsim_fault_e::SILENT) {
            EXPECT_TRUE(fw.handle(CARDSIM_EP_LIF, CARDSIM_OP_LIF_GET_ALL, first_lif, 2).silent);
        }
    }
}

// the firmware checks every request as a card does: its size, its reserved
// fields and its opcode, on every endpoint
TEST(CardsimFirmware, RequestsAreCheckedAsACardChecksThem)
{
    bytes cpld(12, 0), xcvr(240, 0);
    xcvr[4] = 1;  // port 1
    auto with = [](bytes b, size_t at) {
        b[at] = 1;
        return b;
    };
    const struct {
        const char* what;
        uint32_t endpoint, opcode;
        bytes body;
        uint32_t fw_errno;
    } cases[] = {
        {"heartbeat", 0x13, 0x10000, bytes(8), 0},
        {"short heartbeat", 0x13, 0x10000, bytes(7), CARDSIM_FW_EINVAL},
        {"long heartbeat", 0x13, 0x10000, bytes(9), CARDSIM_FW_EINVAL},
        {"device info with a body", 0x13, 0x10001, bytes(1), CARDSIM_FW_EINVAL},
        {"empty port index list", 0x11, 0x1000b, {}, CARDSIM_FW_EINVAL},
        {"coredump chunk of 3", 0x04, 0x10001, bytes(3), CARDSIM_FW_EINVAL},
        {"unknown opcode", 0x13, 0x10099, {}, CARDSIM_FW_ENOTSUP},
        {"unknown endpoint", 0x42, 0x10001, {}, CARDSIM_FW_ENOTSUP},
        {"cpld revision", 6, 0x10006, cpld, 0},
        {"cpld of 11", 6, 0x10006, bytes(11), CARDSIM_FW_EINVAL},
        {"cpld reserved word 0", 6, 0x10006, with(cpld, 0), CARDSIM_FW_EINVAL},
        {"cpld reserved word 8", 6, 0x10006, with(cpld, 9), CARDSIM_FW_EINVAL},
        {"sensor with a body", 6, 0x10015, bytes(4), CARDSIM_FW_EINVAL},
        {"cage present", 7, 0x10001, xcvr, 0},
        {"cage of 239", 7, 0x10001, bytes(239), CARDSIM_FW_EINVAL},
        {"cage reserved word 16", 7, 0x10001, with(xcvr, 17), CARDSIM_FW_EINVAL},
        {"cage unknown opcode", 7, 0x10099, xcvr, CARDSIM_FW_ENOTSUP},
    };
    cardsim_firmware fw(cardsim_default_card(0));
    for (const auto& c : cases) {
        auto r = fw.handle(c.endpoint, c.opcode, c.body.data(), c.body.size());
        EXPECT_EQ(r.fw_errno, c.fw_errno) << c.what;
        EXPECT_EQ(r.body.empty(), c.fw_errno != 0) << c.what;
    }
    EXPECT_EQ(fw.requests(), std::size(cases));
}

// state a card keeps: a cleared coredump is gone until the card makes a new
// one; CARD_RESET reboots into the startup image once its answer is out, and
// a refused one reboots nothing
TEST(CardsimFirmware, CoredumpsAndResetsKeepTheCardsState)
{
    cardsim_firmware fw(cardsim_default_card(0));
    const uint8_t offset[4] = {}, one = 0;
    auto total = [&](uint32_t op) { return le_at<uint32_t>(fw.handle(CARDSIM_EP_DUMP, op, offset, 4).body, 8); };
    EXPECT_EQ(total(CARDSIM_OP_COREDUMP_GET), 2500u);
    EXPECT_EQ(fw.handle(CARDSIM_EP_CARD, CARDSIM_OP_COREDUMP_CLEAR, &one, 1).fw_errno, 0u);
    EXPECT_EQ(total(CARDSIM_OP_COREDUMP_GET), 0u);
    EXPECT_EQ(total(CARDSIM_OP_SUC_COREDUMP_GET), 1200u) << "the SUC's is another";
    fw.make_coredump(cardsim_dump_e::CARD_COREDUMP, 700);
    EXPECT_EQ(total(CARDSIM_OP_COREDUMP_GET), 700u);

    const uint8_t arg[4] = {30, 0, 0, 0}, select_a[4] = {CARDSIM_IMAGE_A, 0, 0, 0};
    for (bool refused : {true, false}) {
        SCOPED_TRACE(refused ? "refused" : "answered");
        fw.set_fault(refused ? cardsim_fault_s{cardsim_fault_e::FW_ERRNO, EIO, CARDSIM_EP_CARD, CARDSIM_OP_CARD_RESET}
                             : cardsim_fault_s{});
        fw.flash().set_running_image(CARDSIM_IMAGE_B);
        ASSERT_EQ(fw.handle(0x0c, 0x10004, select_a, sizeof select_a).fw_errno, 0u);  // runs B, boots A
        cardsim_reply_s r = fw.handle(CARDSIM_EP_CARD, CARDSIM_OP_CARD_RESET, arg, sizeof arg);
        EXPECT_EQ(r.fw_errno, refused ? static_cast<uint32_t>(EIO) : 0u);
        EXPECT_EQ(fw.flash().running_image(), refused ? CARDSIM_IMAGE_B : CARDSIM_IMAGE_A);
    }
}

TEST(CardsimIpcFrame, AnswersEchoTheRequestAndMalformedOnesAreRefusedAtTheWrite)
{
    cardsim_firmware fw(cardsim_default_card(0));
    auto a = cardsim_ipc_answer(fw, request(0xab, CARDSIM_EP_CARD, CARDSIM_OP_HEARTBEAT, bytes(8, 0x33)).data(), 24);
    ASSERT_EQ(a.write_errno, 0);
    ASSERT_EQ(a.message.size(), 32u);
    EXPECT_EQ(bytes(a.message.begin(), a.message.begin() + 4), (bytes{3, 0xab, 24, 0}));
    EXPECT_EQ(le_at<uint32_t>(a.message, 4), 0u);
    EXPECT_EQ(bytes(a.message.begin() + 8, a.message.begin() + 16), (bytes{'I', 'P', 'C', 'M', 1, 0x01, 0, 0}));

    const bytes good = request(0, CARDSIM_EP_CARD, CARDSIM_OP_DEVICE_INFO, {});
    const struct {
        size_t at;
        uint8_t value;
    } corruptions[] = {{0, 3}, {9, 'X'}, {2, 12}, {0, 2 | 0x08}};
    const uint64_t before = fw.requests();
    for (const auto& c : corruptions) {
        bytes m = good;
        m[c.at] = c.value;
        EXPECT_EQ(cardsim_ipc_answer(fw, m.data(), m.size()).write_errno, EINVAL) << c.at;
    }
    EXPECT_EQ(cardsim_ipc_answer(fw, good.data(), 8).write_errno, EINVAL);
    EXPECT_EQ(fw.requests(), before);
}

}  // namespace
