// device-tree and coredump retrieval from emulated cards: the blobs arrive
// byte for byte, and a card that lies about totals, chunk lengths or
// offsets ends the retrieval without a byte written past the caller's buffer

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "aml/aml_card_requests.h"
#include "aml/aml_coredump.h"
#include "emulator/cardsim_dumps.h"
#include "emulator/cardsim_host.h"
#include "ipc/nic_ipc.h"
#include "tests/support/process_runner.h"

namespace {

constexpr uint8_t k_guard = 0xa5;
constexpr size_t k_guard_size = 64;

std::string text_of(const std::vector<uint8_t>& blob)
{
    return {blob.begin(), blob.end()};
}

// one retrieval: what came back, and whether the caller's memory is as it
// should be (nothing written past what was filled, no partial dump)
struct got_s {
    aml_status_e status;
    std::string error;
    uint64_t requests;  // exchanges the card saw
    bool intact;
    uint32_t size;
    std::string content;  // the bytes filled, or the coredump text
};
using retrieval = std::function<got_s(cardsim_host&)>;

// a dtb of `type` into a buffer of `size` bytes (0: a size query), followed by
// guard bytes the library must never touch
retrieval dtb(uint32_t type, size_t size, size_t card = 0)
{
    return [=](cardsim_host& host) {
        std::vector<uint8_t> buf(size + k_guard_size, k_guard);
        aml_card_dtb_get_req_s req;
        req.card.bdf = host.card(card).card_bdf;
        req.type = type;
        if (size > 0) {
            req.buffer = buf.data();
            req.buffer_size = static_cast<uint32_t>(size);
        }
        aml_card_dtb_get_rsp_s rsp;
        uint64_t before = host.firmware(card).requests();
        aml_status_e status = aml_card_dtb_get(&req, &rsp);
        size_t filled = status == AML_STATUS_OK && size > 0 ? std::min<size_t>(rsp.size, size) : 0;
        size_t from = status == AML_STATUS_OK ? filled : size;
        bool intact = std::all_of(buf.begin() + static_cast<long>(from), buf.end(), [](uint8_t b) { return b == k_guard; });
        return got_s{status, rsp.error, host.firmware(card).requests() - before, intact, rsp.size,
                     std::string(buf.begin(), buf.begin() + static_cast<long>(filled))};
    };
}

retrieval dump(bool suc, size_t card = 0)
{
    return [=](cardsim_host& host) {
        aml_coredump_get_req_s req;
        req.card.bdf = host.card(card).card_bdf;
        aml_coredump_get_rsp_s rsp;
        uint64_t before = host.firmware(card).requests();
        aml_status_e status = suc ? aml_suc_coredump_get(&req, &rsp) : aml_card_coredump_get(&req, &rsp);
        return got_s{status,        rsp.error, host.firmware(card).requests() - before,
                     status == AML_STATUS_OK || rsp.coredump.empty(), rsp.size, rsp.coredump};
    };
}

// every blob whole, in chunks and only into the buffer; then the bad types
// and exchange failures of either retrieval
TEST(AmlDumps, EveryBlobArrivesWholeAndEachFailureEndsTheRetrieval)
{
    cardsim_card_spec_s spec0 = cardsim_default_card(0);
    spec0.dtb_sizes = {1000, 512, 2048, 0};
    spec0.coredump_size = 2500;
    spec0.suc_coredump_size = 1000;
    cardsim_card_spec_s spec1 = cardsim_default_card(1);
    spec1.dtb_sizes = {1000, 1, 511, 513};
    spec1.coredump_size = 0;
    spec1.suc_coredump_size = 0;
    cardsim_card_spec_s mute = cardsim_default_card(2);
    mute.ipc_device = false;
    mute.fwctl_device = false;
    cardsim_host host({3, {spec0, spec1, mute}, 0});
    ASSERT_TRUE(host.ok()) << host.error();

    got_s got{};
    // 1000 bytes as 512 + 488, 512 in one chunk, 2048 in four, none stored: none
    struct case_s {
        size_t card;
        uint32_t type;
        uint64_t chunks;
    };
    const case_s cases[] = {{0, 1, 2}, {0, 2, 1}, {0, 3, 4}, {0, 4, 0}, {1, 1, 2}, {1, 2, 1}, {1, 3, 1}, {1, 4, 2}};
    for (const case_s& c : cases) {
        std::string blob = text_of(cardsim_dump_bytes(host.firmware(c.card).spec(), cardsim_dtb(c.type)));
        SCOPED_TRACE("card " + std::to_string(c.card) + " type " + std::to_string(c.type));
        for (size_t spare : {size_t{0}, size_t{100}}) {
            got = dtb(c.type, blob.size() + spare, c.card)(host);
            ASSERT_EQ(got.status, AML_STATUS_OK) << got.error;
            EXPECT_TRUE(got.error.empty());
            EXPECT_EQ(got.size, blob.size());
            EXPECT_EQ(got.requests, 1 + c.chunks);
            EXPECT_EQ(got.content, blob);
            EXPECT_TRUE(got.intact) << "nothing beyond the blob is written";
        }
    }
    // a buffer one byte short: 11, no text, no chunk asked
    got = dtb(1, 999)(host);
    EXPECT_EQ(got.status, AML_STATUS_INVALID_INPUT);
    EXPECT_TRUE(got.error.empty()) << got.error;
    EXPECT_EQ(got.requests, 1u);

    const std::string card = text_of(cardsim_dump_bytes(host.firmware(0).spec(), cardsim_dump_e::CARD_COREDUMP));
    const std::string suc = text_of(cardsim_dump_bytes(host.firmware(0).spec(), cardsim_dump_e::SUC_COREDUMP));
    const std::string card_dump = "#CD:BEGIN#\n" + card + "#CD:END#\n";
    const std::string suc_dump = "#CD:BEGIN#\n" + suc + "#CD:END#\n";
    // a size query only asks DTB_SUMMARY_GET; card 0's coredumps over the ipc
    // device and over fwctl (1000 + 1000 + 500, and one full chunk), a cleared
    // one until the card makes a new one, card 1's none
    aml_coredump_clear_req_s clear;
    clear.card.bdf = host.card(0).card_bdf;
    aml_coredump_clear_rsp_s clear_rsp;
    const struct {
        const char* what;
        std::function<void()> before;
        retrieval run;
        std::string content;
        uint32_t size;
        uint64_t requests;
    } steps[] = {
        {"dtb size query", {}, dtb(1, 0), "", 1000, 1},
        {"card", {}, dump(false), card_dump, 2500, 3},
        {"suc", {}, dump(true), suc_dump, 1000, 1},
        {"card over fwctl", [] { nic_ipc_init(NIC_IPC_TRANSPORT_FWCTL, false); }, dump(false), card_dump, 2500, 3},
        {"cleared",
         [&] {
             nic_ipc_init(NIC_IPC_TRANSPORT_VOSK, true);
             ASSERT_EQ(aml_card_coredump_clear(&clear, &clear_rsp), AML_STATUS_OK) << clear_rsp.error;
         },
         dump(false), "No stored coredump\n", 0, 1},
        {"suc kept", {}, dump(true), suc_dump, 1000, 1},
        {"made anew", [&] { host.firmware(0).make_coredump(cardsim_dump_e::CARD_COREDUMP, 2500); }, dump(false),
         card_dump, 2500, 3},
        {"none stored", {}, dump(false, 1), "No stored coredump\n", 0, 1},
        {"no suc stored", {}, dump(true, 1), "No stored SUC coredump\n", 0, 1},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        if (step.before) {
            step.before();
        }
        got = step.run(host);
        ASSERT_EQ(got.status, AML_STATUS_OK) << got.error;
        EXPECT_TRUE(got.error.empty());
        EXPECT_EQ(got.content, step.content);
        EXPECT_EQ(got.size, step.size);
        EXPECT_EQ(got.requests, step.requests);
    }

    // bad types and the failures of an exchange: the first ends the retrieval
    const std::string prefix = "NIC " + nic_ipc_uuid_from_serial(host.card(0).serial) + " (" +
                               host.card(0).card_bdf + ") : ";

    struct fault_case_s {
        const char* what;
        cardsim_fault_s fault;
        retrieval run;
        aml_status_e status;
        std::string error;  // after the card prefix; empty: none
        retrieval unaffected = {};  // one the fault is not aimed at
    };
    const fault_case_s faults[] = {
        {"dtb type past the last", {}, dtb(5, 0), AML_STATUS_INVALID_INPUT, "ERROR - Invalid DTB type 5"},
        {"dtb type 0", {}, dtb(0, 0), AML_STATUS_INVALID_INPUT, "ERROR - Unknow IPC endpoint for DTB type 0"},
        {"short dtb chunk", {cardsim_fault_e::SHORT_BODY, 519, 0x0b, 0x10003}, dtb(1, 1000),
         AML_STATUS_MSG_SIZE_MISMATCH, "ERROR - DTB_GET IPC response size 519 doesn't match expected size 520", dtb(2, 512)},
        {"short dtb summary", {cardsim_fault_e::SHORT_BODY, 4, 0x11, 0x1000f}, dtb(2, 0), AML_STATUS_MSG_SIZE_MISMATCH,
         "ERROR - DTB_SUMMARY_GET IPC response size 4 doesn't match expected size 8"},
        {"dtb summary errno", {cardsim_fault_e::FW_ERRNO, 5, 0x12, 0x10008}, dtb(3, 0), AML_STATUS_IPC_OP_ERR,
         "ERROR - Failed to get DTB summary, err : 5", dtb(1, 1000)},
        {"dtb chunk driver failure", {cardsim_fault_e::DRIVER_ERRNO, EIO, 0x0b, 0x10003}, dtb(1, 1000),
         AML_STATUS_IPC_OP_ERR, std::string("ERROR - Failed to send DTB_GET, err : ") + strerror(EIO)},
        {"coredump errno", {cardsim_fault_e::FW_ERRNO, 5, 0x04, 0x10001}, dump(false), AML_STATUS_IPC_OP_ERR,
         "Coredump collection failed, err 5", dump(true)},
        {"short suc chunk", {cardsim_fault_e::SHORT_BODY, 16, 0x04, 0x10009}, dump(true), AML_STATUS_MSG_SIZE_MISMATCH,
         "ERROR - SUC_COREDUMP_CHUNK_GET IPC response size 16 doesn't match expected size 1016", dump(false)},
    };
    for (const fault_case_s& c : faults) {
        SCOPED_TRACE(c.what);
        host.set_fault(0, c.fault);
        got = c.run(host);
        EXPECT_EQ(got.status, c.status) << got.error;
        EXPECT_EQ(got.error, c.error.empty() ? "" : prefix + c.error + "\n");
        EXPECT_TRUE(got.intact);
        EXPECT_LE(got.requests, 2u) << "the first failed exchange ends the retrieval";
        if (c.unaffected) {
            got = c.unaffected(host);
            EXPECT_EQ(got.status, AML_STATUS_OK) << got.error;
        }
        host.clear_fault(0);
    }

    // no channel: an address without a card passes validation (no serial to
    // read) but opens nothing, and neither does a card without devices
    aml_card_dtb_get_req_s req{{"", "0000:7f:00.0"}, 1};
    aml_card_dtb_get_rsp_s rsp;
    EXPECT_EQ(aml_card_dtb_get(&req, &rsp), AML_STATUS_IPC_CONN_ERR);
    EXPECT_TRUE(test_has(rsp.error, "(0000:7f:00.0) : ERROR - Failed to open IPC connection\n")) << rsp.error;
    got = dump(false, 2)(host);
    EXPECT_EQ(got.status, AML_STATUS_IPC_CONN_ERR);
    EXPECT_TRUE(test_has(got.error, "Failed to connect to NIC " + host.card(2).card_bdf)) << got.error;
}

// the dtbs are 1000, 512, 2048 and 100 bytes, the card's coredump 2500 (but
// in one case), the SUC's 1200
TEST(AmlDumps, ACardThatLiesAboutSizesNeverGetsPastTheCallersMemory)
{
    using k = cardsim_dump_fault_e;
    using d = cardsim_dump_e;
    struct case_s {
        const char* what;
        k kind;
        uint32_t value;
        d target;
        retrieval run;
        aml_status_e status;
        const char* text;  // part of the error text
        uint32_t coredump_size = 2500;
    };
    const case_s cases[] = {
        // 1000 bytes announced as 1100: after 512 + 488 an empty chunk
        {"dtb larger total", k::TOTAL_LARGER, 100, d::DTB_1, dtb(1, 1100), AML_STATUS_IPC_OP_ERR,
         "ERROR - DTB_GET empty chunk at offset 1000 of 1100"},
        // 1000 bytes announced as 900: the second chunk carries 488 where 388 remain
        {"dtb smaller total", k::TOTAL_SMALLER, 100, d::DTB_1, dtb(1, 900), AML_STATUS_MSG_SIZE_MISMATCH,
         "ERROR - DTB_GET chunk length 488 at offset 512 exceeds the 388 bytes expected"},
        {"dtb chunk longer than its answer", k::CHUNK_LONGER, 10, d::DTB_3, dtb(3, 2048), AML_STATUS_MSG_SIZE_MISMATCH,
         "ERROR - DTB_GET chunk length 522 at offset 0 exceeds the 512 bytes expected"},
        // the one chunk of 100 bytes claims 101, one more than was asked
        {"dtb chunk longer than asked", k::CHUNK_LONGER, 1, d::DTB_4, dtb(4, 100), AML_STATUS_MSG_SIZE_MISMATCH,
         "ERROR - DTB_GET chunk length 101 at offset 0 exceeds the 100 bytes expected"},
        {"dtb empty chunks", k::ZERO_CHUNK, 0, d::DTB_2, dtb(2, 512), AML_STATUS_IPC_OP_ERR,
         "ERROR - DTB_GET empty chunk at offset 0 of 512"},
        // chunks served from before the offset asked: 512 at 0, then 512 from 412
        {"dtb offset backwards", k::OFFSET_BACKWARDS, 100, d::DTB_1, dtb(1, 1000), AML_STATUS_MSG_SIZE_MISMATCH,
         "ERROR - DTB_GET chunk length 512 at offset 512 exceeds the 488 bytes expected"},
        // a dtb chunk has no offset to check: the library stops at the total
        {"dtb offset backwards, whole chunks", k::OFFSET_BACKWARDS, 100, d::DTB_3, dtb(3, 2048), AML_STATUS_OK, ""},
        // a huge announced total is refused before any chunk
        {"dtb huge total", k::TOTAL_LARGER, 0xfffff000, d::DTB_1, dtb(1, 4096), AML_STATUS_INVALID_INPUT, ""},
        {"larger total", k::TOTAL_LARGER, 10, d::CARD_COREDUMP, dump(false), AML_STATUS_IPC_OP_ERR,
         "ERROR - Failed to collect coredump: empty chunk at offset 2500 of 2510"},
        {"smaller total", k::TOTAL_SMALLER, 10, d::SUC_COREDUMP, dump(true), AML_STATUS_MSG_SIZE_MISMATCH,
         "ERROR - Failed to collect SUC coredump: SUC_COREDUMP_CHUNK_GET chunk length 200 at offset 1000 exceeds "
         "the 190 bytes expected"},
        {"chunk longer than its answer", k::CHUNK_LONGER, 100, d::CARD_COREDUMP, dump(false),
         AML_STATUS_MSG_SIZE_MISMATCH, "chunk length 1100 at offset 0 exceeds the 1000 bytes expected"},
        {"chunk longer than asked", k::CHUNK_LONGER, 1, d::CARD_COREDUMP, dump(false), AML_STATUS_MSG_SIZE_MISMATCH,
         "ERROR - Failed to collect coredump: COREDUMP_CHUNK_GET chunk length 501 at offset 0 exceeds the 500 "
         "bytes expected", 500},
        {"empty chunks", k::ZERO_CHUNK, 0, d::CARD_COREDUMP, dump(false), AML_STATUS_IPC_OP_ERR,
         "empty chunk at offset 0 of 2500"},
        {"offset backwards", k::OFFSET_BACKWARDS, 1, d::CARD_COREDUMP, dump(false), AML_STATUS_IPC_OP_ERR,
         "offset 1000 answered with offset 999"},
        {"huge total", k::TOTAL_LARGER, 0xfffff000, d::CARD_COREDUMP, dump(false), AML_STATUS_MSG_SIZE_MISMATCH,
         "more than the 67108864 accepted"},
    };
    for (const case_s& c : cases) {
        SCOPED_TRACE(c.what);
        cardsim_card_spec_s spec = cardsim_default_card(0);
        spec.dump_fault = {c.kind, c.value, c.target};
        spec.dtb_sizes = {1000, 512, 2048, 100};
        spec.coredump_size = c.coredump_size;
        spec.suc_coredump_size = 1200;
        cardsim_host host({1, {spec}, 0});
        ASSERT_TRUE(host.ok()) << host.error();
        got_s got = c.run(host);
        EXPECT_EQ(got.status, c.status) << got.error;
        EXPECT_TRUE(test_has(got.error, c.text)) << got.error;
        EXPECT_TRUE(got.intact) << "a byte written past the buffer, or a partial dump handed on";
        EXPECT_LE(got.requests, 6u) << "every chunk advances or ends the retrieval";
        // a lie about one blob leaves another alone
        got = dump(c.target != d::SUC_COREDUMP)(host);
        EXPECT_EQ(got.status, AML_STATUS_OK) << got.error;
    }
}

}  // namespace
