// the card inventory, the uuid/address lookups and the single-exchange card
// requests against emulated cards: what the library reports is what the
// cards are, every exchange reaches the card it names, and each way a card
// or its driver can fail gives its own status and text

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "aml/aml_card_requests.h"
#include "aml/aml_inventory.h"
#include "aml/aml_state.h"
#include "emulator/cardsim_host.h"
#include "ipc/ipc_cmd.h"
#include "ipc/nic_ipc.h"

namespace {

constexpr uint32_t k_ep_card = 0x13;
constexpr uint32_t k_ep_lif = 0x12;
constexpr uint32_t k_op_heartbeat = 0x10000;
constexpr uint32_t k_op_device_info = 0x10001;
// an address no card function of the emulated host has
const std::string k_absent_bdf = "0000:7f:00.0";

std::string uuid_of(const cardsim_host& host, size_t index)
{
    return nic_ipc_uuid_from_serial(host.card(index).serial);
}

// "NIC <uuid> (<bdf>) : ", the start of every text that names card `index`
std::string prefix_of(const cardsim_host& host, size_t index)
{
    return "NIC " + uuid_of(host, index) + " (" + host.card(index).card_bdf + ") : ";
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

struct outcome_s {
    aml_status_e status;
    std::string error;
};

outcome_s liveness(const aml_card_handle_s& card)
{
    aml_card_liveness_check_req_s req{card};
    aml_card_liveness_check_rsp_s rsp;
    aml_status_e status = aml_card_liveness_check(&req, &rsp);
    return {status, rsp.error};
}

outcome_s liveness(const cardsim_host& host, size_t index)
{
    return liveness(aml_card_handle_s{"", host.card(index).card_bdf});
}

// the response timeout is process-wide: put it back whatever the test did
class rsp_timeout_guard {
public:
    explicit rsp_timeout_guard(uint32_t ms) : saved_(ipc_cmd_rsp_timeout_ms()) { ipc_cmd_set_rsp_timeout_ms(ms); }
    ~rsp_timeout_guard() { ipc_cmd_set_rsp_timeout_ms(saved_); }

private:
    uint32_t saved_;
};

void expect_card_matches(const cardsim_host& host, size_t index, const aml_card_get_rsp_s& rsp)
{
    const cardsim_card_info_s& card = host.card(index);
    EXPECT_EQ(rsp.uuid, uuid_of(host, index));
    EXPECT_EQ(rsp.serial_num, card.serial);
    EXPECT_EQ(rsp.bdf, card.card_bdf);
    EXPECT_EQ(rsp.rsc_bdf, card.rsc_bdf);
    EXPECT_EQ(rsp.ipc_bdf, card.ipc_bdf);
    EXPECT_EQ(rsp.core_bdf, card.core_bdf);
    EXPECT_EQ(rsp.func_1002_bdf, card.func_1002_bdf);
    EXPECT_EQ(rsp.func_1003_bdf, card.func_1003_bdf);
}

TEST(AmlEmulatedInventory, ListsEveryCardWithItsAddressAndSerialUuid)
{
    for (size_t cards : {size_t{2}, size_t{3}}) {
        SCOPED_TRACE(std::to_string(cards) + " cards");
        cardsim_host host({cards, {}, 0});
        ASSERT_TRUE(host.ok()) << host.error();
        ASSERT_EQ(host.card_count(), cards);

        aml_card_inventory_get_req_s req;
        aml_card_inventory_get_rsp_s rsp;
        rsp.error = "stale";
        rsp.cards.push_back({"stale", "stale"});
        ASSERT_EQ(aml_card_inventory_get(&req, &rsp), AML_STATUS_OK) << rsp.error;
        EXPECT_TRUE(rsp.error.empty()) << rsp.error;
        ASSERT_EQ(rsp.cards.size(), cards);
        for (size_t i = 0; i < cards; i++) {
            EXPECT_EQ(rsp.cards[i].bdf, host.card(i).card_bdf) << "card " << i;
            EXPECT_EQ(rsp.cards[i].uuid, uuid_of(host, i)) << "card " << i;
        }
        // the uuids are distinct, so each names one card
        for (size_t i = 0; i + 1 < cards; i++) {
            EXPECT_NE(rsp.cards[i].uuid, rsp.cards[i + 1].uuid);
        }
        for (size_t i = 0; i < cards; i++) {
            EXPECT_EQ(host.firmware(i).requests(), 0u) << "listing cards asks no firmware anything";
        }
    }

    EXPECT_EQ(aml_card_inventory_get(nullptr, nullptr), AML_STATUS_INVALID_INPUT);
}

TEST(AmlEmulatedInventory, CardGetResolvesByAddressOrUuidAndCompletesTheHandle)
{
    cardsim_host host({3, {}, 0});
    ASSERT_TRUE(host.ok()) << host.error();

    for (size_t i = 0; i < host.card_count(); i++) {
        SCOPED_TRACE("card " + std::to_string(i));
        aml_card_get_req_s by_bdf{{"", host.card(i).card_bdf}};
        aml_card_get_rsp_s rsp;
        ASSERT_EQ(aml_card_get(&by_bdf, &rsp), AML_STATUS_OK) << rsp.error;
        expect_card_matches(host, i, rsp);
        EXPECT_EQ(by_bdf.card.uuid, uuid_of(host, i)) << "the validated handle is written back";

        aml_card_get_req_s by_uuid{{uuid_of(host, i), ""}};
        aml_card_get_rsp_s uuid_rsp;
        ASSERT_EQ(aml_card_get(&by_uuid, &uuid_rsp), AML_STATUS_OK) << uuid_rsp.error;
        expect_card_matches(host, i, uuid_rsp);
        EXPECT_EQ(by_uuid.card.bdf, host.card(i).card_bdf);
    }

    // a uuid that is well formed but belongs to no card, and malformed handles
    const std::string stranger = nic_ipc_uuid_from_serial("ORX26000099");
    aml_card_get_req_s unknown{{stranger, ""}};
    aml_card_get_rsp_s rsp;
    EXPECT_EQ(aml_card_get(&unknown, &rsp), AML_STATUS_GENERIC_ERR);
    EXPECT_EQ(rsp.error, "NIC " + stranger + " () : ERROR - Invalid card handle\n");
    EXPECT_TRUE(rsp.uuid.empty() && rsp.bdf.empty()) << rsp.uuid << " " << rsp.bdf;

    std::string upper = uuid_of(host, 0);
    for (char& c : upper) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    for (const aml_card_handle_s& bad : {aml_card_handle_s{upper, ""}, aml_card_handle_s{"", ""},
                                         aml_card_handle_s{"", "0000:20:00"},
                                         aml_card_handle_s{"", host.card(0).card_bdf + " "},
                                         aml_card_handle_s{"", "0000:20:00.0;true"}}) {
        aml_card_get_req_s req{bad};
        aml_card_get_rsp_s bad_rsp;
        EXPECT_EQ(aml_card_get(&req, &bad_rsp), AML_STATUS_INVALID_INPUT) << bad.uuid << "|" << bad.bdf;
        EXPECT_EQ(bad_rsp.error, "NIC " + bad.uuid + " (" + bad.bdf + ") : ERROR - Invalid card handle\n");
    }
    for (size_t i = 0; i < host.card_count(); i++) {
        EXPECT_EQ(host.firmware(i).requests(), 0u);
    }
}

TEST(AmlEmulatedInventory, UuidAddressAndControllerLookups)
{
    cardsim_host host({2, {}, 0});
    ASSERT_TRUE(host.ok()) << host.error();

    for (size_t i = 0; i < host.card_count(); i++) {
        SCOPED_TRACE("card " + std::to_string(i));
        const cardsim_card_info_s& card = host.card(i);

        aml_card_uuid_get_req_s uuid_req{card.card_bdf};
        aml_card_uuid_get_rsp_s uuid_rsp;
        ASSERT_EQ(aml_card_uuid_get(&uuid_req, &uuid_rsp), AML_STATUS_OK) << uuid_rsp.error;
        EXPECT_EQ(uuid_rsp.uuid, uuid_of(host, i));

        aml_pcie_bdf_get_req_s bdf_req{uuid_of(host, i)};
        aml_pcie_bdf_get_rsp_s bdf_rsp;
        ASSERT_EQ(aml_pcie_bdf_get(&bdf_req, &bdf_rsp), AML_STATUS_OK) << bdf_rsp.error;
        EXPECT_EQ(bdf_rsp.bdf, card.card_bdf);
        EXPECT_TRUE(bdf_rsp.error.empty());

        // every function of the card, and the card function itself, lead to the card
        for (const std::string& fn : {card.card_bdf, card.rsc_bdf, card.ipc_bdf, card.core_bdf,
                                      card.func_1002_bdf, card.func_1003_bdf}) {
            std::string found;
            EXPECT_EQ(aml_card_controller_bdf_get(fn, found), AML_STATUS_OK) << fn;
            EXPECT_EQ(found, card.card_bdf) << fn;
        }
    }

    // the root port above a card is no card function; an empty slot is none either
    for (const std::string& other : {host.card(0).root_port_bdf, k_absent_bdf}) {
        std::string found = "unchanged";
        EXPECT_EQ(aml_card_controller_bdf_get(other, found), AML_STATUS_INVALID_INPUT) << other;
        EXPECT_EQ(found, "unchanged");
    }
    std::string found = "unchanged";
    EXPECT_EQ(aml_card_controller_bdf_get("0000:20:00.0/../..", found), AML_STATUS_INVALID_INPUT);
    EXPECT_EQ(aml_card_controller_bdf_get("", found), AML_STATUS_INVALID_INPUT);
    EXPECT_EQ(found, "unchanged");

    const std::string stranger = nic_ipc_uuid_from_serial("ORX26000099");
    aml_pcie_bdf_get_req_s unknown{stranger};
    aml_pcie_bdf_get_rsp_s unknown_rsp;
    EXPECT_EQ(aml_pcie_bdf_get(&unknown, &unknown_rsp), AML_STATUS_NOT_FOUND);
    EXPECT_EQ(unknown_rsp.error, "Failed to find NIC associated with " + stranger + "\n");
    EXPECT_TRUE(unknown_rsp.bdf.empty());

    aml_pcie_bdf_get_req_s upper{"4242" + uuid_of(host, 0).substr(4, 20) + "ABCDEF000000"};
    aml_pcie_bdf_get_rsp_s upper_rsp;
    EXPECT_EQ(aml_pcie_bdf_get(&upper, &upper_rsp), AML_STATUS_INVALID_INPUT);
    EXPECT_EQ(upper_rsp.error, "Invalid uuid " + upper.uuid + "\n");

    aml_card_uuid_get_req_s bad_bdf{"0000:20:00"};
    aml_card_uuid_get_rsp_s bad_rsp;
    EXPECT_EQ(aml_card_uuid_get(&bad_bdf, &bad_rsp), AML_STATUS_INVALID_INPUT);
    EXPECT_EQ(bad_rsp.error, "NIC  (0000:20:00) : ERROR - Invalid card handle\n");
    EXPECT_TRUE(bad_rsp.uuid.empty());
}

TEST(AmlEmulatedFruMac, EachCardReportsItsOwnMac)
{
    cardsim_card_spec_s custom = cardsim_default_card(2);
    custom.mac = {0x02, 0x11, 0x22, 0x33, 0x44, 0xfe};
    cardsim_host host({3, {cardsim_default_card(0), cardsim_default_card(1), custom}, 0});
    ASSERT_TRUE(host.ok()) << host.error();

    const std::array<std::array<uint8_t, 6>, 3> expected = {cardsim_default_card(0).mac,
                                                             cardsim_default_card(1).mac, custom.mac};
    for (size_t i = 0; i < host.card_count(); i++) {
        SCOPED_TRACE("card " + std::to_string(i));
        uint64_t before = host.firmware(i).requests();
        aml_card_handle_s by_uuid{uuid_of(host, i), ""};
        uint8_t mac[6] = {};
        std::string error = "stale";
        ASSERT_EQ(kovra_get_card_fru_mac(&by_uuid, mac, error), AML_STATUS_OK) << error;
        EXPECT_TRUE(error.empty()) << error;
        EXPECT_EQ(0, memcmp(mac, expected[i].data(), 6));
        EXPECT_EQ(host.firmware(i).requests(), before + 1);
        EXPECT_EQ(by_uuid.bdf, host.card(i).card_bdf);
    }

    // a DEVICE_INFO answer too short to hold the mac leaves the caller's bytes alone
    host.set_fault(0, {cardsim_fault_e::SHORT_BODY, 20, k_ep_card, k_op_device_info});
    aml_card_handle_s card{"", host.card(0).card_bdf};
    uint8_t mac[6] = {9, 9, 9, 9, 9, 9};
    std::string error;
    EXPECT_EQ(kovra_get_card_fru_mac(&card, mac, error), AML_STATUS_MSG_SIZE_MISMATCH);
    EXPECT_EQ(error, prefix_of(host, 0) + "ERROR - DEVICE_INFO IPC response size 20 doesn't match expected size 388\n");
    EXPECT_EQ(mac[0], 9);
    EXPECT_EQ(mac[5], 9);

    host.set_fault(0, {cardsim_fault_e::FW_ERRNO, 5, k_ep_card, k_op_device_info});
    EXPECT_EQ(kovra_get_card_fru_mac(&card, mac, error), AML_STATUS_IPC_OP_ERR);
    EXPECT_EQ(error, prefix_of(host, 0) + "ERROR - Failed to get NIC, err : 5\n");

    EXPECT_EQ(kovra_get_card_fru_mac(&card, nullptr, error), AML_STATUS_INVALID_INPUT);
}

TEST(AmlEmulatedLiveness, HealthyCardsAnswerAndEachFaultHasItsStatus)
{
    cardsim_host host({2, {}, 0});
    ASSERT_TRUE(host.ok()) << host.error();
    const std::string prefix = prefix_of(host, 0);

    for (size_t i = 0; i < host.card_count(); i++) {
        uint64_t before = host.firmware(i).requests();
        outcome_s ok = liveness(host, i);
        EXPECT_EQ(ok.status, AML_STATUS_OK) << ok.error;
        EXPECT_TRUE(ok.error.empty()) << ok.error;
        EXPECT_EQ(host.firmware(i).requests(), before + 1);
        EXPECT_EQ(host.firmware(1 - i).requests(), i == 0 ? 0u : 1u) << "only the named card is asked";
    }

    struct fault_case_s {
        const char* what;
        cardsim_fault_s fault;
        aml_status_e status;
        std::string error;  // the whole text after the card prefix; empty: none
    };
    const fault_case_s cases[] = {
        {"another nonce echoed", {cardsim_fault_e::WRONG_NONCE}, AML_STATUS_GENERIC_ERR, ""},
        {"firmware errno", {cardsim_fault_e::FW_ERRNO, 22}, AML_STATUS_IPC_OP_ERR,
         "ERROR - Failed to get card heartbeat, err : 22"},
        {"answer for another opcode", {cardsim_fault_e::WRONG_OPCODE}, AML_STATUS_IPC_OP_ERR,
         std::string("ERROR - Failed to send HEARTBEAT, err : ") + strerror(EIO)},
        {"short body", {cardsim_fault_e::SHORT_BODY, 12}, AML_STATUS_MSG_SIZE_MISMATCH,
         "ERROR - HEARTBEAT IPC response size 12 doesn't match expected size 16"},
        {"empty body", {cardsim_fault_e::SHORT_BODY, 0}, AML_STATUS_MSG_SIZE_MISMATCH,
         "ERROR - HEARTBEAT IPC response size 0 doesn't match expected size 16"},
        {"oversized body", {cardsim_fault_e::OVERSIZED_BODY, 8}, AML_STATUS_IPC_OP_ERR,
         std::string("ERROR - Failed to send HEARTBEAT, err : ") + strerror(EMSGSIZE)},
        {"driver timeout", {cardsim_fault_e::DRIVER_ERRNO, ETIMEDOUT}, AML_STATUS_IPC_OP_ERR,
         std::string("ERROR - Failed to send HEARTBEAT, err : ") + strerror(ETIMEDOUT)},
        {"driver i/o error", {cardsim_fault_e::DRIVER_ERRNO, ENODEV}, AML_STATUS_IPC_OP_ERR,
         std::string("ERROR - Failed to send HEARTBEAT, err : ") + strerror(ENODEV)},
        // status 11 is the firmware's "retry", which counts as success
        {"status 11", {cardsim_fault_e::STATUS_11}, AML_STATUS_OK, ""},
    };
    for (const fault_case_s& c : cases) {
        SCOPED_TRACE(c.what);
        host.set_fault(0, c.fault);
        uint64_t before = host.firmware(0).requests();
        outcome_s got = liveness(host, 0);
        EXPECT_EQ(got.status, c.status) << got.error;
        EXPECT_EQ(got.error, c.error.empty() ? "" : prefix + c.error + "\n");
        EXPECT_EQ(host.firmware(0).requests(), before + 1) << "one exchange per check";
        EXPECT_EQ(liveness(host, 1).status, AML_STATUS_OK) << "the other card is not affected";

        // the fault leaves nothing behind: the next check on a healthy card passes
        host.clear_fault(0);
        outcome_s after = liveness(host, 0);
        EXPECT_EQ(after.status, AML_STATUS_OK) << after.error;
    }

    // a fault aimed at another exchange leaves the heartbeat alone, one aimed at it does not
    host.set_fault(0, {cardsim_fault_e::FW_ERRNO, 5, k_ep_card, k_op_device_info});
    EXPECT_EQ(liveness(host, 0).status, AML_STATUS_OK);
    host.set_fault(0, {cardsim_fault_e::FW_ERRNO, 5, k_ep_card, k_op_heartbeat});
    EXPECT_EQ(liveness(host, 0).status, AML_STATUS_IPC_OP_ERR);
    host.clear_fault(0);

    // with the errno checks skipped a full answer counts, whatever errno came with it
    g_aml_state.skip_ipc_errno_check = true;
    host.set_fault(0, {cardsim_fault_e::FW_ERRNO, 5});
    outcome_s skipped = liveness(host, 0);
    host.set_fault(0, {cardsim_fault_e::SHORT_BODY, 12});
    outcome_s skipped_short = liveness(host, 0);
    g_aml_state.skip_ipc_errno_check = false;
    EXPECT_EQ(skipped.status, AML_STATUS_OK) << skipped.error;
    EXPECT_EQ(skipped_short.status, AML_STATUS_MSG_SIZE_MISMATCH) << skipped_short.error;
}

TEST(AmlEmulatedLiveness, ASilentCardFailsAfterTheBoundedWaitAndRecovers)
{
    rsp_timeout_guard timeout(200);
    cardsim_host host({2, {}, 0});
    ASSERT_TRUE(host.ok()) << host.error();

    host.set_fault(0, {cardsim_fault_e::SILENT});
    outcome_s got = liveness(host, 0);
    EXPECT_EQ(got.status, AML_STATUS_IPC_OP_ERR);
    EXPECT_EQ(got.error,
              prefix_of(host, 0) + "ERROR - Failed to send HEARTBEAT, err : " + strerror(ETIMEDOUT) + "\n");

    // a silent card does not hold up another card, and answers again once it speaks
    EXPECT_EQ(liveness(host, 1).status, AML_STATUS_OK);
    host.clear_fault(0);
    got = liveness(host, 0);
    EXPECT_EQ(got.status, AML_STATUS_OK) << got.error;

    // the other requests wait just as long and no longer
    host.set_fault(1, {cardsim_fault_e::SILENT, 0, k_ep_lif, 0x10011});
    aml_card_cmb_get_req_s cmb{{"", host.card(1).card_bdf}};
    aml_card_cmb_get_rsp_s cmb_rsp;
    EXPECT_EQ(aml_card_cmb_get(&cmb, &cmb_rsp), AML_STATUS_IPC_OP_ERR);
    EXPECT_EQ(cmb_rsp.error,
              prefix_of(host, 1) + "ERROR - Failed to send CMB_GET, err : " + strerror(ETIMEDOUT) + "\n");
}

TEST(AmlEmulatedLiveness, CardWithoutIpcDeviceIsServedThroughFwctl)
{
    cardsim_card_spec_s fwctl_only = cardsim_default_card(1);
    fwctl_only.ipc_device = false;
    cardsim_card_spec_s no_channel = cardsim_default_card(2);
    no_channel.ipc_device = false;
    no_channel.fwctl_device = false;
    cardsim_host host({3, {cardsim_default_card(0), fwctl_only, no_channel}, 0});
    ASSERT_TRUE(host.ok()) << host.error();
    ASSERT_TRUE(host.card(1).ipc_devnode.empty());
    ASSERT_FALSE(host.card(1).fwctl_devnode.empty());

    // the card is known by the serial of its core function, without an ipc address
    aml_card_get_req_s get{{"", host.card(1).card_bdf}};
    aml_card_get_rsp_s get_rsp;
    ASSERT_EQ(aml_card_get(&get, &get_rsp), AML_STATUS_OK) << get_rsp.error;
    EXPECT_EQ(get_rsp.uuid, uuid_of(host, 1));
    EXPECT_EQ(get_rsp.serial_num, host.card(1).serial);
    EXPECT_TRUE(get_rsp.ipc_bdf.empty()) << get_rsp.ipc_bdf;
    EXPECT_EQ(get_rsp.core_bdf, host.card(1).core_bdf);
    EXPECT_EQ(get_rsp.rsc_bdf, host.card(1).rsc_bdf);

    uint64_t before = host.firmware(1).requests();
    outcome_s ok = liveness(aml_card_handle_s{uuid_of(host, 1), ""});
    EXPECT_EQ(ok.status, AML_STATUS_OK) << ok.error;
    EXPECT_EQ(host.firmware(1).requests(), before + 1);
    uint8_t mac[6] = {};
    std::string error;
    aml_card_handle_s card{"", host.card(1).card_bdf};
    ASSERT_EQ(kovra_get_card_fru_mac(&card, mac, error), AML_STATUS_OK) << error;
    EXPECT_EQ(0, memcmp(mac, fwctl_only.mac.data(), 6));

    // the faults come through fwctl with the same statuses
    const std::string prefix = prefix_of(host, 1);
    host.set_fault(1, {cardsim_fault_e::WRONG_NONCE});
    EXPECT_EQ(liveness(host, 1).status, AML_STATUS_GENERIC_ERR);
    host.set_fault(1, {cardsim_fault_e::FW_ERRNO, 7});
    outcome_s got = liveness(host, 1);
    EXPECT_EQ(got.status, AML_STATUS_IPC_OP_ERR);
    EXPECT_EQ(got.error, prefix + "ERROR - Failed to get card heartbeat, err : 7\n");
    host.set_fault(1, {cardsim_fault_e::SHORT_BODY, 8});
    got = liveness(host, 1);
    EXPECT_EQ(got.status, AML_STATUS_MSG_SIZE_MISMATCH);
    EXPECT_EQ(got.error, prefix + "ERROR - HEARTBEAT IPC response size 8 doesn't match expected size 16\n");
    host.set_fault(1, {cardsim_fault_e::OVERSIZED_BODY, 4});
    EXPECT_EQ(liveness(host, 1).status, AML_STATUS_IPC_OP_ERR);
    host.set_fault(1, {cardsim_fault_e::STATUS_11});
    EXPECT_EQ(liveness(host, 1).status, AML_STATUS_OK);
    // fwctl reports a failed ioctl as an i/o error, whatever the driver said
    host.set_fault(1, {cardsim_fault_e::DRIVER_ERRNO, ETIMEDOUT});
    got = liveness(host, 1);
    EXPECT_EQ(got.status, AML_STATUS_IPC_OP_ERR);
    EXPECT_EQ(got.error, prefix + "ERROR - Failed to send HEARTBEAT, err : " + strerror(EIO) + "\n");
    host.clear_fault(1);
    EXPECT_EQ(liveness(host, 1).status, AML_STATUS_OK);

    // with neither device nothing opens, for the card and for an empty slot alike
    got = liveness(host, 2);
    EXPECT_EQ(got.status, AML_STATUS_IPC_CONN_ERR);
    EXPECT_TRUE(contains(got.error, "(" + host.card(2).card_bdf + ") : ERROR - Failed to open IPC connection\n"))
        << got.error;
    EXPECT_EQ(host.firmware(2).requests(), 0u);
    got = liveness(aml_card_handle_s{"", k_absent_bdf});
    EXPECT_EQ(got.status, AML_STATUS_IPC_CONN_ERR);
    EXPECT_TRUE(contains(got.error, "(" + k_absent_bdf + ") : ERROR - Failed to open IPC connection\n"))
        << got.error;
}

// one member of the single-exchange family, run on a handle
struct member_s {
    const char* name;  // the command name of its texts
    uint32_t endpoint;
    uint32_t opcode;
    size_t expected;           // the response length it insists on
    const char* errno_text;    // its "err : " text
    std::function<outcome_s(aml_card_handle_s)> run;
};

std::vector<member_s> members()
{
    return {
        {"TIME_GET", 0x13, 0x1000c, 56, "ERROR - Failed to get card time, err : ",
         [](aml_card_handle_s card) {
             aml_card_time_get_req_s req{card};
             aml_card_time_get_rsp_s rsp;
             rsp.card_time.tm_year = 99;
             rsp.value1 = rsp.value2 = 7;
             aml_status_e status = aml_card_time_get(&req, &rsp);
             // the card keeps a UTC clock and sends its seconds and
             // nanoseconds beside the broken-down time
             if (status == AML_STATUS_OK) {
                 struct tm t = rsp.card_time;
                 EXPECT_GE(t.tm_year, 126);
                 EXPECT_EQ(static_cast<uint64_t>(timegm(&t)), rsp.value1);
                 EXPECT_LT(rsp.value2, 1000000000u);
             }
             return outcome_s{status, rsp.error};
         }},
        {"TIME_UPDATE", 0x13, 0x10009, 4, "ERROR - Failed to update card, err : ",
         [](aml_card_handle_s card) {
             aml_card_time_upd_req_s req{card};
             req.card_time.tm_year = 126;
             req.card_time.tm_mday = 7;
             aml_card_time_upd_rsp_s rsp;
             aml_status_e status = aml_card_time_update(&req, &rsp);
             return outcome_s{status, rsp.error};
         }},
        {"DEVICE_COREDUMP_CLEAR", 0x13, 0x1000b, 4, "ERROR - Failed to clear coredump, err : ",
         [](aml_card_handle_s card) {
             aml_coredump_clear_req_s req{card};
             aml_coredump_clear_rsp_s rsp;
             aml_status_e status = aml_card_coredump_clear(&req, &rsp);
             return outcome_s{status, rsp.error};
         }},
        {"SUC_COREDUMP_CLEAR", 0x13, 0x10010, 4, "ERROR - Failed to clear SUC coredump, err : ",
         [](aml_card_handle_s card) {
             aml_coredump_clear_req_s req{card};
             aml_coredump_clear_rsp_s rsp;
             aml_status_e status = aml_suc_coredump_clear(&req, &rsp);
             return outcome_s{status, rsp.error};
         }},
        {"PSS_RESET", 0x13, 0x1000f, 4, "ERROR - Failed to reset PSS, err : ",
         [](aml_card_handle_s card) {
             aml_card_pss_reset_req_s req{card};
             aml_card_pss_reset_rsp_s rsp;
             aml_status_e status = aml_card_pss_reset(&req, &rsp);
             return outcome_s{status, rsp.error};
         }},
        {"CMB_GET", 0x12, 0x10011, 8, "ERROR - Failed to get card cmb, err : ",
         [](aml_card_handle_s card) {
             aml_card_cmb_get_req_s req{card};
             aml_card_cmb_get_rsp_s rsp;
             rsp.cmb = 0x77;
             aml_status_e status = aml_card_cmb_get(&req, &rsp);
             if (status == AML_STATUS_OK) {
                 EXPECT_NE(rsp.cmb, 0x77) << "a good get fills the setting";
             } else {
                 EXPECT_EQ(rsp.cmb, 0x77) << "a failed get leaves the setting alone";
             }
             return outcome_s{status, rsp.error};
         }},
        {"CMB_UPDATE", 0x12, 0x10012, 4, "ERROR - Failed to update card, err : ",
         [](aml_card_handle_s card) {
             aml_card_cmb_upd_req_s req{card};
             req.cmb = 3;
             aml_card_cmb_upd_rsp_s rsp;
             aml_status_e status = aml_card_cmb_update(&req, &rsp);
             return outcome_s{status, rsp.error};
         }},
    };
}

TEST(AmlEmulatedRequests, EachRequestReachesTheNamedCardOnce)
{
    cardsim_host host({2, {}, 0});
    ASSERT_TRUE(host.ok()) << host.error();

    for (const member_s& m : members()) {
        SCOPED_TRACE(m.name);
        for (size_t i = 0; i < host.card_count(); i++) {
            uint64_t mine = host.firmware(i).requests();
            uint64_t other = host.firmware(1 - i).requests();
            outcome_s by_bdf = m.run({"", host.card(i).card_bdf});
            EXPECT_EQ(by_bdf.status, AML_STATUS_OK) << by_bdf.error;
            EXPECT_TRUE(by_bdf.error.empty()) << by_bdf.error;
            outcome_s by_uuid = m.run({uuid_of(host, i), ""});
            EXPECT_EQ(by_uuid.status, AML_STATUS_OK) << by_uuid.error;
            EXPECT_EQ(host.firmware(i).requests(), mine + 2) << "card " << i;
            EXPECT_EQ(host.firmware(1 - i).requests(), other) << "card " << i;
        }
        // status 11 is success for every member
        host.set_fault(0, {cardsim_fault_e::STATUS_11, 0, m.endpoint, m.opcode});
        outcome_s eleven = m.run({"", host.card(0).card_bdf});
        EXPECT_EQ(eleven.status, AML_STATUS_OK) << eleven.error;
        host.clear_fault(0);
    }

    // CMB_GET keeps its status in the second word: a first word of 11 is
    // the setting, not a status
    host.set_fault(0, {cardsim_fault_e::STATUS_11, 0, k_ep_lif, 0x10011});
    aml_card_cmb_get_req_s cmb{{"", host.card(0).card_bdf}};
    aml_card_cmb_get_rsp_s cmb_rsp;
    ASSERT_EQ(aml_card_cmb_get(&cmb, &cmb_rsp), AML_STATUS_OK) << cmb_rsp.error;
    EXPECT_EQ(cmb_rsp.cmb, 11);

    // a handle that names no card reaches no firmware
    const std::string stranger = nic_ipc_uuid_from_serial("ORX26000099");
    const uint64_t before[2] = {host.firmware(0).requests(), host.firmware(1).requests()};
    for (const member_s& m : members()) {
        outcome_s got = m.run({stranger, ""});
        EXPECT_EQ(got.status, AML_STATUS_GENERIC_ERR) << m.name;
        EXPECT_EQ(got.error, "NIC " + stranger + " () : ERROR - Invalid card handle\n") << m.name;
        got = m.run({"", "0000:20:00.0 "});
        EXPECT_EQ(got.status, AML_STATUS_INVALID_INPUT) << m.name;
    }
    EXPECT_EQ(host.firmware(0).requests(), before[0]);
    EXPECT_EQ(host.firmware(1).requests(), before[1]);
}

TEST(AmlEmulatedRequests, FirmwareAndTransportFailuresGiveEachMembersTexts)
{
    cardsim_host host({1, {}, 0});
    ASSERT_TRUE(host.ok()) << host.error();
    const std::string prefix = prefix_of(host, 0);
    const aml_card_handle_s card{"", host.card(0).card_bdf};

    for (const member_s& m : members()) {
        SCOPED_TRACE(m.name);
        const std::string name = m.name;

        host.set_fault(0, {cardsim_fault_e::FW_ERRNO, 5, m.endpoint, m.opcode});
        outcome_s got = m.run(card);
        EXPECT_EQ(got.status, AML_STATUS_IPC_OP_ERR);
        EXPECT_EQ(got.error, prefix + m.errno_text + "5\n");
        host.set_fault(0, {cardsim_fault_e::FW_ERRNO, CARDSIM_FW_ENOTSUP, m.endpoint, m.opcode});
        got = m.run(card);
        EXPECT_EQ(got.status, AML_STATUS_IPC_OP_ERR);
        EXPECT_EQ(got.error, prefix + m.errno_text + std::to_string(CARDSIM_FW_ENOTSUP) + "\n");

        host.set_fault(0, {cardsim_fault_e::DRIVER_ERRNO, ETIMEDOUT, m.endpoint, m.opcode});
        got = m.run(card);
        EXPECT_EQ(got.status, AML_STATUS_IPC_OP_ERR);
        EXPECT_EQ(got.error, prefix + "ERROR - Failed to send " + name + ", err : " + strerror(ETIMEDOUT) + "\n");

        host.set_fault(0, {cardsim_fault_e::WRONG_OPCODE, 0, m.endpoint, m.opcode});
        got = m.run(card);
        EXPECT_EQ(got.status, AML_STATUS_IPC_OP_ERR);
        EXPECT_EQ(got.error, prefix + "ERROR - Failed to send " + name + ", err : " + strerror(EIO) + "\n");

        host.set_fault(0, {cardsim_fault_e::SHORT_BODY, 2, m.endpoint, m.opcode});
        got = m.run(card);
        EXPECT_EQ(got.status, AML_STATUS_MSG_SIZE_MISMATCH);
        EXPECT_EQ(got.error, prefix + "ERROR - " + name + " IPC response size 2 doesn't match expected size " +
                                 std::to_string(m.expected) + "\n");

        host.set_fault(0, {cardsim_fault_e::OVERSIZED_BODY, 4, m.endpoint, m.opcode});
        got = m.run(card);
        EXPECT_EQ(got.status, AML_STATUS_IPC_OP_ERR);
        EXPECT_EQ(got.error, prefix + "ERROR - Failed to send " + name + ", err : " + strerror(EMSGSIZE) + "\n");

        // a fault on the heartbeat is none of this member's business
        host.set_fault(0, {cardsim_fault_e::FW_ERRNO, 5, k_ep_card, k_op_heartbeat});
        got = m.run(card);
        EXPECT_EQ(got.status, AML_STATUS_OK) << got.error;
        host.clear_fault(0);
    }
}

}  // namespace
