// the card inventory, the uuid/address lookups and the single-exchange card
// requests against emulated cards: what the library reports is what the
// cards are, every exchange reaches the card it names over either channel,
// each way a card or its driver can fail gives its own status and text, and
// no entry point lets a bad handle reach a card

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "aml/aml_card_requests.h"
#include "aml/aml_card_validate.h"
#include "aml/aml_coredump.h"
#include "aml/aml_firmware.h"
#include "aml/aml_inventory.h"
#include "aml/aml_pcie.h"
#include "aml/aml_profile.h"
#include "aml/aml_sdk.h"
#include "aml/aml_state.h"
#include "emulator/cardsim_dispatch.h"
#include "emulator/cardsim_host.h"
#include "ipc/ipc_cmd.h"
#include "ipc/nic_ipc.h"
#include "tests/support/process_runner.h"

namespace {

constexpr uint32_t k_ep_lif = 0x12;
// an address no card function of the emulated host has
const std::string k_absent_bdf = "0000:7f:00.0";
const std::string k_stranger = nic_ipc_uuid_from_serial("ORX26000099");

std::string uuid_of(const cardsim_host& host, size_t index)
{
    return nic_ipc_uuid_from_serial(host.card(index).serial);
}

// "NIC <uuid> (<bdf>) : ", the start of every text that names card `index`
std::string prefix_of(const cardsim_host& host, size_t index)
{
    return "NIC " + uuid_of(host, index) + " (" + host.card(index).card_bdf + ") : ";
}

std::string send_error(const std::string& name, int err)
{
    return "ERROR - Failed to send " + name + ", err : " + strerror(err);
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

uint64_t all_requests(cardsim_host& host)
{
    uint64_t sum = 0;
    for (size_t i = 0; i < host.card_count(); i++) {
        sum += host.firmware(i).requests();
    }
    return sum;
}

// card 0 is served through its ipc device, card 1 only through fwctl (with a
// mac of its own), card 2 through neither
cardsim_host_options_s three_channels()
{
    cardsim_card_spec_s fwctl_only = cardsim_default_card(1);
    fwctl_only.ipc_device = false;
    fwctl_only.mac = {0x02, 0x11, 0x22, 0x33, 0x44, 0xfe};
    cardsim_card_spec_s no_channel = cardsim_default_card(2);
    no_channel.ipc_device = false;
    no_channel.fwctl_device = false;
    return {3, {cardsim_default_card(0), fwctl_only, no_channel}, 0};
}

template <typename req_t, typename rsp_t>
outcome_s call(aml_card_handle_s& card, aml_status_e (*fn)(req_t*, rsp_t*), const std::function<void(req_t&)>& fill = {})
{
    req_t req{};
    req.card = card;
    if (fill) {
        fill(req);
    }
    rsp_t rsp;
    aml_status_e status = fn(&req, &rsp);
    card = req.card;
    return {status, rsp.error};
}

// one member of the single-exchange family, run on a handle
struct member_s {
    const char* name;  // the command name of its texts
    uint32_t endpoint;
    uint32_t opcode;
    size_t expected;         // the response length it insists on
    const char* errno_text;  // its "err : " text
    std::function<outcome_s(aml_card_handle_s)> run;
};

const std::vector<member_s>& members()
{
    static const std::vector<member_s> all = {
        {"HEARTBEAT", 0x13, 0x10000, 16, "ERROR - Failed to get card heartbeat, err : ", liveness},
        {"DEVICE_INFO", 0x13, 0x10001, 388, "ERROR - Failed to get NIC, err : ",
         [](aml_card_handle_s card) {
             uint8_t mac[6] = {9, 9, 9, 9, 9, 9};
             std::string error = "stale";
             aml_status_e status = kovra_get_card_fru_mac(&card, mac, error);
             if (status != AML_STATUS_OK) {
                 EXPECT_EQ(mac[0], 9) << "a failed query leaves the caller's bytes alone";
             }
             return outcome_s{status, error};
         }},
        {"TIME_GET", 0x13, 0x1000c, 56, "ERROR - Failed to get card time, err : ",
         [](aml_card_handle_s card) {
             aml_card_time_get_req_s req{card};
             aml_card_time_get_rsp_s rsp;
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
         [](aml_card_handle_s c) {
             return call<aml_card_time_upd_req_s>(c, aml_card_time_update, [](auto& r) {
                 r.card_time.tm_year = 126;
                 r.card_time.tm_mday = 7;
             });
         }},
        {"DEVICE_COREDUMP_CLEAR", 0x13, 0x1000b, 4, "ERROR - Failed to clear coredump, err : ",
         [](aml_card_handle_s c) { return call(c, aml_card_coredump_clear); }},
        {"SUC_COREDUMP_CLEAR", 0x13, 0x10010, 4, "ERROR - Failed to clear SUC coredump, err : ",
         [](aml_card_handle_s c) { return call(c, aml_suc_coredump_clear); }},
        {"PSS_RESET", 0x13, 0x1000f, 4, "ERROR - Failed to reset PSS, err : ",
         [](aml_card_handle_s c) { return call(c, aml_card_pss_reset); }},
        {"CMB_GET", 0x12, 0x10011, 8, "ERROR - Failed to get card cmb, err : ",
         [](aml_card_handle_s card) {
             aml_card_cmb_get_req_s req{card};
             aml_card_cmb_get_rsp_s rsp;
             rsp.cmb = 0x77;
             aml_status_e status = aml_card_cmb_get(&req, &rsp);
             EXPECT_EQ(rsp.cmb == 0x77, status != AML_STATUS_OK) << "filled on success, left alone on failure";
             return outcome_s{status, rsp.error};
         }},
        {"PORT_BREAKOUT_MODE_UPDATE", 0x11, 0x10014, 4, "ERROR - Failed to update port breakout-mode, err : ",
         [](aml_card_handle_s c) {
             std::string error;
             aml_status_e status = aml_card_port_profile_apply(&c, {{1, AML_PORT_BREAKOUT_MODE_2X400G_4}}, error);
             return outcome_s{status, error};
         }},
        {"CMB_UPDATE", 0x12, 0x10012, 4, "ERROR - Failed to update card, err : ",
         [](aml_card_handle_s c) {
             return call<aml_card_cmb_upd_req_s>(c, aml_card_cmb_update, [](auto& r) { r.cmb = 3; });
         }},
    };
    return all;
}

// the whole family on one host: each request reaches the card it names over
// either channel, and every fault of its exchange gives its status and text
TEST(AmlEmulatedRequests, EveryRequestOverEitherChannelAndEveryFaultOfItsExchange)
{
    cardsim_host host(three_channels());
    ASSERT_TRUE(host.ok()) << host.error();

    for (const member_s& m : members()) {
        SCOPED_TRACE(m.name);
        for (size_t i = 0; i < 2; i++) {
            uint64_t mine = host.firmware(i).requests();
            uint64_t all = all_requests(host);
            outcome_s by_bdf = m.run({"", host.card(i).card_bdf});
            EXPECT_EQ(by_bdf.status, AML_STATUS_OK) << by_bdf.error;
            EXPECT_TRUE(by_bdf.error.empty()) << by_bdf.error;
            outcome_s by_uuid = m.run({uuid_of(host, i), ""});
            EXPECT_EQ(by_uuid.status, AML_STATUS_OK) << by_uuid.error;
            EXPECT_EQ(host.firmware(i).requests(), mine + 2) << "card " << i;
            EXPECT_EQ(all_requests(host), all + 2) << "card " << i << ": only the named card is asked";
        }
        // with neither device nothing opens, for a card and an empty slot alike
        for (const std::string& bdf : {host.card(2).card_bdf, k_absent_bdf}) {
            outcome_s got = m.run({"", bdf});
            EXPECT_EQ(got.status, AML_STATUS_IPC_CONN_ERR) << bdf;
            EXPECT_TRUE(test_has(got.error, "(" + bdf + ") : ERROR - Failed to open IPC connection\n")) << got.error;
        }
        EXPECT_EQ(host.firmware(2).requests(), 0u);
    }

    uint8_t mac[6] = {};
    std::string error;
    aml_card_handle_s card1{"", host.card(1).card_bdf};
    ASSERT_EQ(kovra_get_card_fru_mac(&card1, mac, error), AML_STATUS_OK) << error;
    EXPECT_EQ(0, memcmp(mac, host.firmware(1).spec().mac.data(), 6));
    EXPECT_NE(host.firmware(0).spec().mac, host.firmware(1).spec().mac);

    // the card keeps the time it is given: every field in its place both ways
    aml_card_time_upd_req_s set{card1};
    ASSERT_NE(strptime("2031-03-07 10:20", "%Y-%m-%d %H:%M", &set.card_time), nullptr);
    aml_card_time_upd_rsp_s set_rsp;
    ASSERT_EQ(aml_card_time_update(&set, &set_rsp), AML_STATUS_OK) << set_rsp.error;
    aml_card_time_get_req_s get{card1};
    aml_card_time_get_rsp_s now;
    ASSERT_EQ(aml_card_time_get(&get, &now), AML_STATUS_OK) << now.error;
    const struct tm& t = now.card_time;
    EXPECT_EQ((std::vector<int>{t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min}),
              (std::vector<int>{131, 2, 7, 10, 20}));

    // CMB_GET keeps its status in the second word: a first word of 11 is
    // the setting, not a status
    host.set_fault(0, {cardsim_fault_e::STATUS_11, 0, k_ep_lif, 0x10011});
    aml_card_cmb_get_req_s cmb{{"", host.card(0).card_bdf}};
    aml_card_cmb_get_rsp_s cmb_rsp;
    ASSERT_EQ(aml_card_cmb_get(&cmb, &cmb_rsp), AML_STATUS_OK) << cmb_rsp.error;
    EXPECT_EQ(cmb_rsp.cmb, 11);

    struct fault_case_s {
        const char* what;
        cardsim_fault_s fault;  // aimed at the member's exchange
        aml_status_e status;
        // the text after the card prefix, for a member over fwctl or not
        std::function<std::string(const member_s&, bool fwctl)> text;
        bool ipc_only = false;  // fwctl answers carry no opcode
    };
    auto none = [](const member_s&, bool) { return std::string(); };
    // fwctl reports a failed ioctl as an i/o error, whatever the driver said
    auto driver = [](int err) {
        return [err](const member_s& m, bool fwctl) { return send_error(m.name, fwctl ? EIO : err); };
    };
    auto fw_errno = [](uint32_t err) {
        return [err](const member_s& m, bool) { return m.errno_text + std::to_string(err); };
    };
    auto size = [](size_t got) {
        return [got](const member_s& m, bool) {
            return std::string("ERROR - ") + m.name + " IPC response size " + std::to_string(got) +
                   " doesn't match expected size " + std::to_string(m.expected);
        };
    };
    const fault_case_s cases[] = {
        {"firmware errno", {cardsim_fault_e::FW_ERRNO, 5}, AML_STATUS_IPC_OP_ERR, fw_errno(5)},
        {"unknown opcode", {cardsim_fault_e::FW_ERRNO, CARDSIM_FW_ENOTSUP}, AML_STATUS_IPC_OP_ERR,
         fw_errno(CARDSIM_FW_ENOTSUP)},
        {"driver timeout", {cardsim_fault_e::DRIVER_ERRNO, ETIMEDOUT}, AML_STATUS_IPC_OP_ERR, driver(ETIMEDOUT)},
        {"driver gone", {cardsim_fault_e::DRIVER_ERRNO, ENODEV}, AML_STATUS_IPC_OP_ERR, driver(ENODEV)},
        {"answer for another opcode", {cardsim_fault_e::WRONG_OPCODE}, AML_STATUS_IPC_OP_ERR, driver(EIO), true},
        {"short body", {cardsim_fault_e::SHORT_BODY, 2}, AML_STATUS_MSG_SIZE_MISMATCH, size(2)},
        {"empty body", {cardsim_fault_e::SHORT_BODY, 0}, AML_STATUS_MSG_SIZE_MISMATCH, size(0)},
        {"oversized body", {cardsim_fault_e::OVERSIZED_BODY, 4}, AML_STATUS_IPC_OP_ERR,
         [](const member_s& m, bool) { return send_error(m.name, EMSGSIZE); }},
        // status 11 is the firmware's "retry", which counts as success
        {"status 11", {cardsim_fault_e::STATUS_11}, AML_STATUS_OK, none},
    };
    // every member over the ipc device, the heartbeat over fwctl too
    for (size_t card : {size_t{0}, size_t{1}}) {
        const std::string prefix = prefix_of(host, card);
        // both halves given: nothing is looked up, only the exchange is tried
        const aml_card_handle_s handle{uuid_of(host, card), host.card(card).card_bdf};
        const aml_card_handle_s other{uuid_of(host, 1 - card), host.card(1 - card).card_bdf};
        for (const member_s& m : members()) {
            if (card == 1 && m.opcode != members()[0].opcode) {
                continue;
            }
            for (const fault_case_s& c : cases) {
                if (card == 1 && c.ipc_only) {
                    continue;
                }
                SCOPED_TRACE(std::string(m.name) + ", " + c.what + ", card " + std::to_string(card));
                cardsim_fault_s fault = c.fault;
                fault.endpoint = m.endpoint;
                fault.opcode = m.opcode;
                host.set_fault(card, fault);
                uint64_t before = host.firmware(card).requests();
                outcome_s got = m.run(handle);
                EXPECT_EQ(got.status, c.status) << got.error;
                std::string text = c.text(m, card == 1);
                EXPECT_EQ(got.error, text.empty() ? "" : prefix + text + "\n");
                EXPECT_EQ(host.firmware(card).requests(), before + 1) << "one exchange, no retry";
            }
            SCOPED_TRACE(std::string(m.name) + ", card " + std::to_string(card));
            // the fault stays with its card and its exchange
            host.set_fault(card, {cardsim_fault_e::FW_ERRNO, 5, m.endpoint, m.opcode});
            EXPECT_EQ(m.run(other).status, AML_STATUS_OK);
            host.set_fault(card, {cardsim_fault_e::FW_ERRNO, 5, m.endpoint, m.opcode ^ 0x100});
            EXPECT_EQ(m.run(handle).status, AML_STATUS_OK);
            host.clear_fault(card);
            EXPECT_EQ(m.run(handle).status, AML_STATUS_OK) << "nothing is left behind";
        }
    }

    // the heartbeat's own: another nonce, skipped checks, a silent card that
    // fails after the bounded wait, does not hold up another card, and answers
    // again once it speaks (over fwctl a failed call). the response timeout
    // is process-wide: put back after
    const uint32_t saved_timeout = ipc_cmd_rsp_timeout_ms();
    ipc_cmd_set_rsp_timeout_ms(200);
    for (size_t card : {size_t{0}, size_t{1}}) {
        SCOPED_TRACE("card " + std::to_string(card));
        const aml_card_handle_s handle{"", host.card(card).card_bdf};
        host.set_fault(card, {cardsim_fault_e::WRONG_NONCE});
        outcome_s got = liveness(handle);
        EXPECT_EQ(got.status, AML_STATUS_GENERIC_ERR);
        EXPECT_EQ(got.error, "") << "another nonce echoed is no card speaking";

        // with the errno checks skipped a full answer counts, whatever errno came with it
        g_aml_state.skip_ipc_errno_check = true;
        host.set_fault(card, {cardsim_fault_e::FW_ERRNO, 5});
        outcome_s skipped = liveness(handle);
        host.set_fault(card, {cardsim_fault_e::SHORT_BODY, 12});
        outcome_s skipped_short = liveness(handle);
        g_aml_state.skip_ipc_errno_check = false;
        EXPECT_EQ(skipped.status, AML_STATUS_OK) << skipped.error;
        EXPECT_EQ(skipped_short.status, AML_STATUS_MSG_SIZE_MISMATCH) << skipped_short.error;

        host.set_fault(card, {cardsim_fault_e::SILENT});
        got = liveness(handle);
        EXPECT_EQ(got.status, AML_STATUS_IPC_OP_ERR);
        EXPECT_EQ(got.error, prefix_of(host, card) + send_error("HEARTBEAT", card == 1 ? EIO : ETIMEDOUT) + "\n");
        EXPECT_EQ(liveness({"", host.card(1 - card).card_bdf}).status, AML_STATUS_OK);
        host.clear_fault(card);
        got = liveness(handle);
        EXPECT_EQ(got.status, AML_STATUS_OK) << got.error;
    }
    ipc_cmd_set_rsp_timeout_ms(saved_timeout);
}

// every entry point that takes a card handle, with what it must not do to a
// bad one: reach a card, or call it anything but invalid
struct entry_s {
    const char* name;
    std::function<outcome_s(aml_card_handle_s&)> run;
};

std::vector<entry_s> entry_points()
{
    std::vector<entry_s> all;
    for (const member_s& m : members()) {
        all.push_back({m.name, [&m](aml_card_handle_s& card) { return m.run(card); }});
    }
    // the handle is checked before anything else of the request is looked at
    using h = aml_card_handle_s;
    const std::vector<entry_s> more = {
        {"card get", [](h& c) { return call(c, aml_card_get); }},
        {"dtb get", [](h& c) { return call(c, aml_card_dtb_get); }},
        {"coredump get", [](h& c) { return call(c, aml_card_coredump_get); }},
        {"suc coredump get", [](h& c) { return call(c, aml_suc_coredump_get); }},
        {"unbind", [](h& c) { return call(c, aml_card_unbind_pcie_devices); }},
        {"bind", [](h& c) { return call(c, aml_card_bind_pcie_devices); }},
        {"decommission", [](h& c) { return call(c, aml_card_decommission); }},
        {"profile get", [](h& c) { return call(c, aml_card_profile_get); }},
        {"profile update", [](h& c) { return call(c, aml_card_profile_update); }},
        {"next boot image", [](h& c) { return call(c, aml_card_next_boot_image_update); }},
        {"secure boot", [](h& c) {
             return call<aml_card_secure_boot_update_req_s>(c, aml_card_secure_boot_update, [](auto& r) { r.option = 1; });
         }},
        {"secure boot info", [](h& c) { return call(c, aml_card_secure_boot_info_get); }},
        {"partition erase", [](h& c) { return call(c, aml_card_flash_partition_erase); }},
        {"recommission", [](h& c) {
             std::string step, error;
             return outcome_s{aml_card_recommission(&c, step, error, 0), error};
         }},
        {"platform layer", [](h& c) {
             std::string error;
             return outcome_s{aml_card_sdk_init(&c, error), error};
         }},
    };
    all.insert(all.end(), more.begin(), more.end());
    return all;
}

// every card listed and found by each of its names; then no entry point lets
// a bad handle reach a card. none of it asks a firmware anything
TEST(AmlEmulatedInventory, EveryCardIsFoundByItsNamesAndNoBadHandleReachesOne)
{
    cardsim_host host(three_channels());
    ASSERT_TRUE(host.ok()) << host.error();
    aml_card_inventory_get_req_s list;
    aml_card_inventory_get_rsp_s listed;
    listed.error = "stale";
    listed.cards.push_back({"stale", "stale"});
    ASSERT_EQ(aml_card_inventory_get(&list, &listed), AML_STATUS_OK) << listed.error;
    EXPECT_TRUE(listed.error.empty()) << listed.error;
    ASSERT_EQ(listed.cards.size(), host.card_count()) << "every card once, nothing stale";
    for (size_t i = 0; i < host.card_count(); i++) {
        EXPECT_EQ(listed.cards[i].bdf, host.card(i).card_bdf) << "card " << i;
    }

    // the card without a channel has no serial to read: cards 0 and 1
    for (size_t i = 0; i < 2; i++) {
        SCOPED_TRACE("card " + std::to_string(i));
        const cardsim_card_info_s& card = host.card(i);
        EXPECT_EQ(listed.cards[i].uuid, uuid_of(host, i)) << "the uuid of the card's serial";
        // a card without an ipc device is known by its core function
        const std::vector<std::string> want = {uuid_of(host, i), card.serial,   card.card_bdf,
                                               card.rsc_bdf,     card.ipc_devnode.empty() ? "" : card.ipc_bdf,
                                               card.core_bdf,    card.func_1002_bdf, card.func_1003_bdf};
        for (aml_card_handle_s handle : {aml_card_handle_s{"", card.card_bdf}, aml_card_handle_s{uuid_of(host, i), ""}}) {
            aml_card_get_req_s req{handle};
            aml_card_get_rsp_s rsp;
            ASSERT_EQ(aml_card_get(&req, &rsp), AML_STATUS_OK) << rsp.error;
            EXPECT_EQ(req.card.uuid + " " + req.card.bdf, uuid_of(host, i) + " " + card.card_bdf);
            EXPECT_EQ((std::vector<std::string>{rsp.uuid, rsp.serial_num, rsp.bdf, rsp.rsc_bdf, rsp.ipc_bdf,
                                                rsp.core_bdf, rsp.func_1002_bdf, rsp.func_1003_bdf}),
                      want);
        }
        aml_card_uuid_get_req_s uuid_req{card.card_bdf};
        aml_card_uuid_get_rsp_s uuid_rsp;
        ASSERT_EQ(aml_card_uuid_get(&uuid_req, &uuid_rsp), AML_STATUS_OK) << uuid_rsp.error;
        EXPECT_EQ(uuid_rsp.uuid, uuid_of(host, i));
        aml_pcie_bdf_get_req_s bdf_req{uuid_of(host, i)};
        aml_pcie_bdf_get_rsp_s bdf_rsp;
        ASSERT_EQ(aml_pcie_bdf_get(&bdf_req, &bdf_rsp), AML_STATUS_OK) << bdf_rsp.error;
        EXPECT_EQ(bdf_rsp.bdf, card.card_bdf);
        EXPECT_TRUE(bdf_rsp.error.empty());
        for (const std::string& fn : {card.card_bdf, card.rsc_bdf, card.ipc_bdf, card.core_bdf, card.func_1002_bdf,
                                      card.func_1003_bdf}) {
            std::string found;
            EXPECT_EQ(aml_card_controller_bdf_get(fn, found), AML_STATUS_OK) << fn;
            EXPECT_EQ(found, card.card_bdf) << fn;
        }
    }

    // the root port above a card is no card function; an empty slot, a path
    // or nothing are none either
    for (const std::string& other : {host.card(0).root_port_bdf, k_absent_bdf, std::string("0000:20:00.0/../.."),
                                     std::string(), std::string("0000:3b:00;0")}) {
        std::string found = "unchanged";
        EXPECT_EQ(aml_card_controller_bdf_get(other, found), AML_STATUS_INVALID_INPUT) << other;
        EXPECT_EQ(found, "unchanged");
    }
    const std::string upper = "4242" + uuid_of(host, 0).substr(4, 20) + "ABCDEF000000";
    for (const auto& [uuid, status, error] :
         {std::make_tuple(k_stranger, AML_STATUS_NOT_FOUND, "Failed to find NIC associated with " + k_stranger),
          std::make_tuple(upper, AML_STATUS_INVALID_INPUT, "Invalid uuid " + upper)}) {
        aml_pcie_bdf_get_req_s req{uuid};
        aml_pcie_bdf_get_rsp_s rsp;
        EXPECT_EQ(aml_pcie_bdf_get(&req, &rsp), status) << uuid;
        EXPECT_EQ(rsp.error, error + "\n");
        EXPECT_TRUE(rsp.bdf.empty());
    }
    for (const char* bad : {"0000:20:00", ""}) {
        aml_card_uuid_get_req_s bad_bdf{bad};
        aml_card_uuid_get_rsp_s bad_rsp;
        EXPECT_EQ(aml_card_uuid_get(&bad_bdf, &bad_rsp), AML_STATUS_INVALID_INPUT) << bad;
        EXPECT_TRUE(bad_rsp.uuid.empty());
    }

    std::string loud = uuid_of(host, 0);
    std::transform(loud.begin(), loud.end(), loud.begin(), [](unsigned char c) { return static_cast<char>(toupper(c)); });
    const std::string bdf = host.card(0).card_bdf;
    const std::pair<aml_card_handle_s, aml_status_e> bad[] = {
        {{"", ""}, AML_STATUS_INVALID_INPUT},
        {{loud, ""}, AML_STATUS_INVALID_INPUT},
        {{loud, bdf}, AML_STATUS_INVALID_INPUT},  // an address does not rescue a bad uuid
        {{"", "0000:20:00"}, AML_STATUS_INVALID_INPUT},
        {{"", "0000:3B:00.0"}, AML_STATUS_INVALID_INPUT},
        {{"", bdf + " "}, AML_STATUS_INVALID_INPUT},
        {{"", "0000:20:00/0"}, AML_STATUS_INVALID_INPUT},
        {{"", "0000:20:00.0;true"}, AML_STATUS_INVALID_INPUT},
        // well formed, but no card of the host has it
        {{k_stranger, ""}, AML_STATUS_GENERIC_ERR},
    };
    for (const entry_s& entry : entry_points()) {
        for (const auto& [handle, status] : bad) {
            SCOPED_TRACE(std::string(entry.name) + " [" + handle.uuid + "|" + handle.bdf + "]");
            aml_card_handle_s card = handle;
            outcome_s got = entry.run(card);
            EXPECT_EQ(got.status, status);
            EXPECT_EQ(got.error, "NIC " + handle.uuid + " (" + handle.bdf + ") : ERROR - Invalid card handle\n");
            EXPECT_EQ(card.uuid, handle.uuid) << "a refused handle is left as it was";
            EXPECT_EQ(card.bdf, handle.bdf);
        }
    }
    EXPECT_EQ(all_requests(host), 0u);
    EXPECT_TRUE(host.card_present(0));

    // no handle, request or answer at all
    aml_card_liveness_check_rsp_s hb;
    aml_card_time_get_req_s time_req{{"", bdf}};
    aml_card_dtb_get_rsp_s dtb;
    aml_coredump_get_req_s dump_req{{"", bdf}};
    aml_coredump_get_rsp_s dump;
    for (aml_status_e status : {aml_card_handle_validate(nullptr), aml_card_inventory_get(nullptr, nullptr),
                                aml_card_liveness_check(nullptr, &hb), aml_card_time_get(&time_req, nullptr),
                                aml_card_dtb_get(nullptr, &dtb), aml_card_coredump_get(nullptr, &dump),
                                aml_suc_coredump_get(&dump_req, nullptr)}) {
        EXPECT_EQ(status, AML_STATUS_INVALID_INPUT);
    }
    EXPECT_EQ(all_requests(host), 0u);
}

}  // namespace
