// card profiles: reading profile files, the profiles of a package and of a
// card's configuration directory, and profile updates on an emulated card
// (the port breakout modes it is sent, the faults of that exchange, and the
// stages an update goes through)

#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "aml/aml_card_requests.h"
#include "aml/aml_card_validate.h"
#include "aml/aml_firmware.h"
#include "aml/aml_profile.h"
#include "aml/aml_state.h"
#include "emulator/cardsim_flash.h"
#include "emulator/cardsim_host.h"
#include "fwupdate/fwupdate.h"
#include "fwupdate/fwupdate_tables.h"
#include "fwupdate/rfc.h"
#include "fwupdate/fwupdate_archive.h"
#include "ipc/nic_ipc.h"
#include "tests/support/fw_package.h"
#include "tests/support/process_runner.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t k_port_ep = 0x11, k_port_breakout_op = 0x10014;
constexpr uint32_t k_card_ep = 0x13, k_device_info_op = 0x10001;

// "name/description/device_config port:mode ..." a profile, one a line
std::string shown(const std::vector<aml_card_profile_s>& profiles)
{
    std::string text;
    for (const aml_card_profile_s& p : profiles) {
        text += p.name + "/" + p.description + "/" + p.device_config;
        for (const auto& port : p.ports) {
            text += " " + std::to_string(port.port) + ":" + std::to_string(port.breakout_mode);
        }
        text += "\n";
    }
    return text;
}

const char* k_profiles = R"({
  "profile": [
    {"name": "plain", "description": "no ports", "device_config": "device_config"},
    {"name": "mixed", "description": "number forms", "device_config": "dc_mixed",
     "port": [{"port": "1", "breakout_mode": "2X200G"},
              {"port": "0x10", "breakout_mode": "4x100g-1"},
              {"port": "010", "breakout_mode": "1X800G-4"},
              {"port": "0X1F", "breakout_mode": "no-such-mode"}]},
    {"description": "nameless", "device_config": "dc_nameless"},
    {"name": "mixed", "description": "second of the name", "device_config": "dc_again",
     "port": [{"port": 7, "breakout_mode": "8x100g-1"}]}
  ]
})";

const char* k_profiles_shown = "plain/no ports/device_config\n"
                               "mixed/number forms/dc_mixed 1:1 16:10 8:6 31:0\n"
                               "/nameless/dc_nameless\n"
                               "mixed/second of the name/dc_again 7:5\n";

// a profile file with one bad port number `port` ("none": without a number)
std::string one_port(const std::string& port)
{
    return R"({"profile": [{"name": "p", "description": "d", "device_config": "c", "port": [{)" +
           (port == "none" ? std::string() : R"("port": ")" + port + R"(", )") + R"("breakout_mode": "2x200g"}]}]})";
}

// modes compare lower-cased, an unknown one is mode 0; ports read as C
// numbers (0x/0X hexadecimal, a leading 0 octal) or as JSON numbers; a
// missing name reads as empty; the filter keeps whole-name matches only, in
// file order, and the output is appended to; a fault keeps the profiles
// before it, and a profile the filter skips is not read
TEST(AmlProfileParse, NamesNumbersModesFiltersAndFaults)
{
    const std::string zero = R"({"profile": [
        {"name": "a", "description": "first", "device_config": "x", "port": [{"port": "2", "breakout_mode": "2x200g"}]},
        {"name": "b", "description": "second", "device_config": "y", "port": [{"port": "0", "breakout_mode": "2x200g"}]},
        {"name": "c", "description": "third", "device_config": "z"}]})";
    const std::string dflt = "default/default profile/default device config\n";
    struct case_s {
        std::string text, filter;
        aml_status_e status;
        std::string shown;  // after the default profile already in the output
    };
    std::vector<case_s> cases = {
        {k_profiles, "", AML_STATUS_OK, k_profiles_shown},
        {k_profiles, "mixed", AML_STATUS_OK,
         "mixed/number forms/dc_mixed 1:1 16:10 8:6 31:0\nmixed/second of the name/dc_again 7:5\n"},
        {k_profiles, "mix", AML_STATUS_OK, ""},
        {k_profiles, "MIXED", AML_STATUS_OK, ""},
        {R"({"profile": []})", "", AML_STATUS_OK, ""},
        {zero, "", AML_STATUS_INVALID_INPUT, "a/first/x 2:1\n"},
        {zero, "c", AML_STATUS_OK, "c/third/z\n"},
    };
    for (const char* port : {"00", "0x0", "abc", "", "-1", "99999999999999999999", "0x100000000", "none"}) {
        cases.push_back({one_port(port), "", AML_STATUS_INVALID_INPUT, ""});
    }
    for (const char* text : {"", "{", "not json", R"({"profile": [{"name": "p", "description": "d",)",
                             R"({"profiles": []})", R"({"profile": [{"name": "p", "device_config": "c"}]})",
                             R"({"profile": [{"name": "p", "description": "d"}]})"}) {
        cases.push_back({text, "", AML_STATUS_INVALID_INPUT, ""});
    }
    for (const case_s& c : cases) {
        std::vector<aml_card_profile_s> got = {aml_default_card_profile()};
        EXPECT_EQ(aml_parse_card_profile_json(c.text, c.filter, got), c.status) << c.text << " | " << c.filter;
        EXPECT_EQ(shown(got), dflt + c.shown) << c.text << " | " << c.filter;
    }
}

class AmlProfile : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(host.ok()) << host.error();
        host.flash(0).set_busy_polls(0);
        host.flash(0).set_board_id(0x00000a01);
        fs::create_directories(dir.file("build"));
        // one library state per process; reset so that every test has its own folders
        g_aml_state = {};
        aml_init_params_s p;
        p.oper_dir = dir.file("oper");
        p.conf_dir = dir.file("conf");
        ASSERT_EQ(aml_init(p), AML_STATUS_OK);
        card.bdf = host.card(0).card_bdf;
        card.uuid = nic_ipc_uuid_from_serial(host.card(0).serial);
        with_profiles.card_profile = true;
    }
    void TearDown() override { rfc_cleanup(); }

    std::string card_dir() const { return aml_card_conf_dir(&card); }
    std::string msg(const std::string& text) const { return aml_card_error_msg(&card, text); }

    std::string active_profile()
    {
        aml_card_profile_get_req_s req{card, ""};
        aml_card_profile_get_rsp_s rsp;
        EXPECT_EQ(aml_card_profile_get(&req, &rsp), AML_STATUS_OK) << rsp.error;
        return rsp.active_profile;
    }

    cardsim_host host{{1, {}, 0}};
    test_temp_dir dir{"aml-profile"};
    aml_card_handle_s card;
    fw_package_options_s with_profiles;
};

// the profiles of a package (no card needed), then of the card's
// configuration directory, with the active one
TEST_F(AmlProfile, ProfilesOfAPackageAndOfTheCardsDirectory)
{
    fw_package pkg(dir.file("build"), with_profiles);
    const std::string with = pkg.build("with profiles.tar.gz");

    aml_card_profile_get_req_s req{card, with};
    aml_card_profile_get_rsp_s rsp;
    ASSERT_EQ(aml_card_profile_get(&req, &rsp), AML_STATUS_OK) << rsp.error;
    const std::string package_profiles = shown(rsp.profiles);
    EXPECT_EQ(package_profiles, "default/default profile/device_config\n"
                                "rdma/rdma profile/device_config_rdma_2x400G 1:3 2:3\n");
    EXPECT_EQ(rsp.active_profile, "");

    // a package needs no card: a handle that names none still gets its profiles
    aml_card_profile_get_req_s cardless{{"", ""}, with};
    EXPECT_EQ(aml_card_profile_get(&cardless, &rsp), AML_STATUS_OK) << rsp.error;
    EXPECT_EQ(rsp.profiles.size(), 2u);

    // without profiles, absent, and a profile file with port 0: status 11,
    // and the profiles before it
    fw_package plain(dir.file("build"), {});
    fw_package_options_s zero_opt = with_profiles;
    zero_opt.profiles = {{"first", "kept", "device_config", "default", {{"3", "2x200g"}}},
                         {"broken", "port zero", "device_config", "default", {{"0", "2x200g"}}}};
    fw_package zero(dir.file("build"), zero_opt);
    const std::string plain_tar = plain.build("plain.tar"), absent = dir.file("absent.tar"), zero_tar = zero.build("zero.tar");
    for (const auto& [package, status, error, profiles] : {
             std::make_tuple(plain_tar, AML_STATUS_NOT_FOUND, "card_profile.json file not found in firmware package " + plain_tar, ""),
             std::make_tuple(absent, AML_STATUS_NOT_FOUND, "Firmware package " + absent + " doesn't exist or not accessible", ""),
             std::make_tuple(zero_tar, AML_STATUS_INVALID_INPUT,
                             "Failed to parse card profiles from card_profile.json in firmware package " + zero_tar,
                             "first/kept/device_config 3:1\n")}) {
        req.package = package;
        EXPECT_EQ(aml_card_profile_get(&req, &rsp), status) << package;
        EXPECT_EQ(rsp.error, msg("ERROR - " + error));
        EXPECT_EQ(shown(rsp.profiles), profiles);
    }

    aml_card_profile_get_req_s own{{"", card.bdf}, ""};
    aml_card_profile_get_rsp_s own_rsp;
    // nothing stored: the built-in default profile
    ASSERT_EQ(aml_card_profile_get(&own, &own_rsp), AML_STATUS_OK) << own_rsp.error;
    EXPECT_EQ(shown(own_rsp.profiles), "default/default profile/default device config\n");
    EXPECT_EQ(own_rsp.active_profile, "default");
    EXPECT_EQ(own.card.uuid, card.uuid) << "the handle was completed";
    EXPECT_EQ(card_dir(), dir.file("conf") + "/" + card.bdf + "/");

    fs::create_directories(card_dir());
    test_write_file(card_dir() + "card_profile.json", k_profiles);
    ASSERT_EQ(aml_card_profile_get(&own, &own_rsp), AML_STATUS_OK) << own_rsp.error;
    EXPECT_EQ(shown(own_rsp.profiles), k_profiles_shown);
    EXPECT_EQ(own_rsp.active_profile, "default") << "no card.conf";

    // card.conf names the active one (the card named by its uuid this time)
    const std::tuple<const char*, aml_status_e, std::string> confs[] = {
        {R"({"card-profile": "mixed"})", AML_STATUS_OK, "mixed"}, {R"({"other": "x"})", AML_STATUS_OK, "default"},
        {"{ broken", AML_STATUS_INVALID_INPUT, msg("ERROR - Failed to parse " + card_dir() + "card.conf")}};
    aml_card_profile_get_req_s by_uuid{{card.uuid, ""}, ""};
    for (const auto& [conf, status, want] : confs) {
        test_write_file(card_dir() + "card.conf", conf);
        EXPECT_EQ(aml_card_profile_get(&by_uuid, &own_rsp), status) << conf;
        EXPECT_EQ(status == AML_STATUS_OK ? own_rsp.active_profile : own_rsp.error, want) << conf;
    }
    fs::remove(card_dir() + "card.conf");

    test_write_file(card_dir() + "card_profile.json", "{\"profile\": [");
    EXPECT_EQ(aml_card_profile_get(&own, &own_rsp), AML_STATUS_INVALID_INPUT);
    EXPECT_EQ(own_rsp.error, msg("ERROR - Failed to parse card profiles"));
}

// the port stage alone; an update refused before the engine starts; then
// one from installed package files: ports set, the profile recorded, a
// recommission on request
TEST_F(AmlProfile, DeviceConfigUpdateSetsPortsThenRecordsTheProfile)
{
    // the ports go one exchange each, the first refusal ends the stage (the
    // faults of the one exchange are the request tables' in aml_emulated_test)
    const std::vector<aml_port_profile_cfg_s> ports = {
        {1, AML_PORT_BREAKOUT_MODE_2X400G_4}, {2, AML_PORT_BREAKOUT_MODE_4X100G_1}, {300, AML_PORT_BREAKOUT_MODE_NONE}};
    std::string error;
    uint64_t before = host.firmware(0).requests();
    ASSERT_EQ(aml_card_port_profile_apply(&card, ports, error), AML_STATUS_OK) << error;
    host.set_fault(0, {cardsim_fault_e::FW_ERRNO, 5, k_port_ep, k_port_breakout_op});
    EXPECT_EQ(aml_card_port_profile_apply(&card, ports, error), AML_STATUS_IPC_OP_ERR);
    EXPECT_EQ(host.firmware(0).requests() - before, 3u + 1u) << "one exchange a port, none after a refusal";
    host.clear_fault(0);

    aml_card_profile_upd_req_s bare;
    bare.card = card;
    aml_card_profile_upd_rsp_s bare_rsp;
    EXPECT_EQ(aml_card_profile_update(&bare, &bare_rsp), AML_STATUS_INVALID_INPUT);
    EXPECT_EQ(bare_rsp.stage, AML_PROFILE_STAGE_INSTALL);
    EXPECT_EQ(bare_rsp.error, msg("ERROR - No card profile given"));

    // the running-image query comes first
    bare.profile = "rdma";
    host.set_fault(0, {cardsim_fault_e::FW_ERRNO, 7, k_card_ep, k_device_info_op});
    EXPECT_EQ(aml_card_profile_update(&bare, &bare_rsp), AML_STATUS_IPC_OP_ERR);
    EXPECT_EQ(bare_rsp.error, msg("ERROR - Failed to get NIC, err : 7"));
    host.clear_fault(0);

    setenv("FWUPDATE_TEST_ENV", "1", 1);
    aml_status_e status = aml_card_profile_update(&bare, &bare_rsp);
    unsetenv("FWUPDATE_TEST_ENV");
    fwupdate_tls().fwupdate_test_env = 0;  // the engine keeps the setting per thread
    EXPECT_EQ(status, AML_STATUS_GENERIC_ERR);
    EXPECT_TRUE(test_has(bare_rsp.error, "Simulated firmware update init failure")) << bare_rsp.error;
    EXPECT_FALSE(fs::exists(card_dir() + "card.conf"));

    fw_package pkg(dir.file("build"), with_profiles);
    const std::string package = pkg.build("pkg.tar");
    // what a firmware install leaves on the host for the card: the package's
    // manifest, device configurations and profile file in its directory
    aml_fwupdate_trace_cb_ctxt_s trace;
    fwupdate_init_params_s params;
    aml_fill_fwupdate_init_params(&card, &trace, &params);
    ASSERT_EQ(fwupdate_init(params), 0) << trace.messages;
    firmware_update_req_s files;
    files.package = package;
    ASSERT_EQ(extract_package_files(false, &files), 0) << trace.messages;
    aml_card_profile_upd_req_s req;
    req.card = card;
    req.package = package;
    req.profile = "rdma";
    req.install_firmware = false;
    aml_card_profile_upd_rsp_s rsp;

    // a refused port stops the update before the profile is recorded, and
    // leaves the installed device configuration in place
    host.set_fault(0, {cardsim_fault_e::FW_ERRNO, 9, k_port_ep, k_port_breakout_op});
    EXPECT_EQ(aml_card_profile_update(&req, &rsp), AML_STATUS_IPC_OP_ERR);
    EXPECT_EQ(rsp.error, msg("ERROR - Failed to update port breakout-mode, err : 9"));
    EXPECT_EQ(rsp.stage, AML_PROFILE_STAGE_PORTS);
    EXPECT_EQ(rsp.previous_profile, "default");
    auto dtb = host.partition_bytes(0, FLASH_PARTITION_SOC_DTB);
    EXPECT_EQ(std::string(dtb.begin(), dtb.end()), pkg.partition_bytes("soc-dtb", "rdma"));
    EXPECT_EQ(rsp.progress, 100);
    EXPECT_EQ(host.boot_image(0), CARDSIM_IMAGE_B) << "the new device configuration boots from the other image";
    EXPECT_FALSE(fs::exists(card_dir() + "card.conf"));
    host.clear_fault(0);

    req.recommission = true;
    req.rescan_delay_s = 0;  // the emulated card reboots at once
    ASSERT_EQ(aml_card_profile_update(&req, &rsp), AML_STATUS_OK) << rsp.error;
    EXPECT_EQ(rsp.stage, AML_PROFILE_STAGE_DONE);
    EXPECT_EQ(rsp.error, "");
    EXPECT_EQ(active_profile(), "rdma");
    EXPECT_TRUE(host.card_present(0));
    aml_card_liveness_check_req_s live{card};
    aml_card_liveness_check_rsp_s live_rsp;
    EXPECT_EQ(aml_card_liveness_check(&live, &live_rsp), AML_STATUS_OK) << live_rsp.error;
    req.recommission = false;

    // a package without profiles cannot give a named profile its ports
    fw_package plain(dir.file("build"), {});
    req.package = plain.build("plain.tar");
    req.profile = "rdma";
    EXPECT_EQ(aml_card_profile_update(&req, &rsp), AML_STATUS_NOT_FOUND);
    EXPECT_EQ(rsp.error, msg("ERROR - card_profile.json file not found in firmware package " + req.package));
    EXPECT_EQ(rsp.stage, AML_PROFILE_STAGE_PORTS);

    // a profile the installed package does not know fails in the engine,
    // and the card's update log keeps the engine's messages
    req.package = package;
    req.profile = "nosuch";
    EXPECT_EQ(aml_card_profile_update(&req, &rsp), AML_STATUS_GENERIC_ERR);
    EXPECT_EQ(rsp.stage, AML_PROFILE_STAGE_INSTALL);
    EXPECT_TRUE(test_has(rsp.error, "Failed to get device and memory configs for profile nosuch")) << rsp.error;
    EXPECT_EQ(rsp.error.find("] "), std::string::npos) << "no time stamp: " << rsp.error;
    std::string log = test_read_file(aml_debug_log_file(card.bdf));
    EXPECT_TRUE(test_has(log, "Unable to find profile nosuch")) << log;

    // the default profile has no ports: not one breakout-mode request, so a
    // fault on that exchange does not matter; recording it forgets the profile
    host.set_fault(0, {cardsim_fault_e::FW_ERRNO, 9, k_port_ep, k_port_breakout_op});
    req.profile = "default";
    ASSERT_EQ(aml_card_profile_update(&req, &rsp), AML_STATUS_OK) << rsp.error;
    EXPECT_EQ(rsp.previous_profile, "rdma");
    EXPECT_FALSE(fs::exists(card_dir() + "card.conf"));
    EXPECT_EQ(active_profile(), "default");
    host.clear_fault(0);
}

}  // namespace
