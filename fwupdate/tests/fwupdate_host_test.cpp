// the engine's host-side steps: its tables, the install list, progress
// weights, compatibility and revocation, and the digest checks of packages

#include <cstdlib>
#include <regex>
#include <thread>

#include "fwupdate/fwupdate_compat.h"
#include "fwupdate/fwupdate_install_list.h"
#include "fwupdate/fwupdate_package_profile.h"
#include "fwupdate/tests/fwupdate_test_support.h"

namespace fs = std::filesystem;

namespace {

TEST(FwupdateTables, RevisionsFillOrEmptyTheWorkingCopiesAndNamesRoundTrip)
{
    // a thread that never selected has nothing
    std::thread([] { EXPECT_TRUE(fwname_to_fwobj().empty()); }).join();
    fw_tables_select("rev2");
    EXPECT_FALSE(fwname_to_fwobj().empty());
    fw_tables_select("rev9");
    EXPECT_FALSE(fwname_to_fwobj().empty()) << "an unknown revision keeps the tables";
    fw_tables_select("rev3");
    EXPECT_TRUE(fwname_to_fwobj().empty());
    EXPECT_TRUE(fwtype_to_files().empty());
    for (uint32_t p = 0; p < FLASH_PARTITION_MAX; p++) {
        EXPECT_EQ(flash_partition_from_name(flash_partition_name(p)), p);
    }
    EXPECT_EQ(flash_partition_from_name("SOC-DTB"), FLASH_PARTITION_MAX);
    EXPECT_EQ(boot_image_type_from_name("FW-A"), FIRMWARE_IMAGE_INVALID);
}

TEST(FwupdateWeights, SharesAddUpToEightyFive)
{
    // after the first five points, whatever the install list, every share
    // together is 85; a partition outside the table weighs 20
    std::vector<std::string> lists[] = {
        {"soc-zephyr", "soc-uboot", "soc-dtb"},
        {"suc-boot", "suc-app", "fpga-cfg", "soc-fwcfg", "xcvr-eeprom", "oprom", "soc-uboottpl"}};
    for (auto& parts : lists) {
        uint8_t progress = 0;
        std::unordered_map<std::string, uint32_t> weights;
        allocate_image_weight(parts, &progress, weights);
        EXPECT_EQ(progress, 5);
        uint32_t sum = 0;
        for (const auto& p : parts) {
            sum += weights[p];
        }
        EXPECT_EQ(sum, 85u);
    }
}

class FwupdateHost : public ::testing::Test {
protected:
    void SetUp() override
    {
        fw_bind_host_only(dir, trace);
        fw_tables_select("rev2");
        unsetenv("ORLIX_SUC_UPDATE");
        unsetenv("ORLIX_UBOOT_TPL_UPDATE");
    }
    // the package manifest of pkg where the update keeps it
    void stage_manifests(const std::string& package)
    {
        std::string work = fwupdate_tls().fwupgrade_bdf_dir;
        ASSERT_TRUE(ipc_shell_run(ipc_shell_command("tar xfO {} MANIFEST > {}", {package, work + "/MANIFEST"})).ok());
        ASSERT_TRUE(
            ipc_shell_run(ipc_shell_command("tar xfO {} talmira/MANIFEST > {}", {package, work + "/ASIC_MANIFEST"})).ok());
    }
    std::string build(fw_package_options_s opt, const std::string& name = "pkg.tar")
    {
        packages.push_back(std::make_unique<fw_package>(dir.file("build" + std::to_string(packages.size())), opt));
        std::string path = packages.back()->build(name);
        stage_manifests(path);
        return path;
    }
    std::string revocation_path() const { return fwupdate_globals().conf_dir + "talmira/fwcompat-revoked.json"; }

    test_temp_dir dir{"fwupdate-host"};
    fw_trace_capture trace;
    std::vector<std::unique_ptr<fw_package>> packages;
};

TEST_F(FwupdateHost, InstallListFollowsThePackageRevision)
{
    build({});
    std::vector<std::string> names = {"all"};
    ASSERT_EQ(check_install_list(names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"soc", "uboot_tpl", "dtb", "fw_cfg", "cpld", "suc", "oprom"}));
    names = {"goldfw"};
    EXPECT_EQ(check_install_list(names), 0);
    EXPECT_EQ(names, std::vector<std::string>{"goldfw"});
    names = {"soc"};
    EXPECT_EQ(check_install_list(names), FWUPDATE_BAD_REQUEST);
    EXPECT_TRUE(trace.has("Unknown firmware name soc")) << trace.all();

    setenv("ORLIX_SUC_UPDATE", "0", 1);
    names = {"all"};
    ASSERT_EQ(check_install_list(names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"soc", "dtb", "fw_cfg", "oprom"}));
    unsetenv("ORLIX_SUC_UPDATE");

    fw_package_options_s no_version;
    no_version.package_version = "";
    build(no_version);
    names = {"all"};
    EXPECT_EQ(check_install_list(names), 0) << "no package_version is revision 2";
}

TEST_F(FwupdateHost, BoardPolicyAndRevocationDecideCompatibility)
{
    const std::string ours = "0x00000a01", other = "0x0000ffff";
    using ranges = std::vector<std::pair<std::string, std::string>>;
    struct case_s {
        std::string policy, policy2, board, version;
        ranges revoked;  // written as the host's revocation list; none: no list
        int rc;
    };
    const case_s cases[] = {
        {"match-boardid", "", ours, "", {}, 0},
        {"match-boardid", "", other, "", {}, 255},
        {"match-boardid", "", "unknown", "", {}, 0},
        {"accept", "match-boardid", other, "", {}, 255},  // the second policy applies
        {"accept", "", other, "", {}, 0},
        {"whatever", "", ours, "", {}, 255},
        // ranges exclude their bounds; "#" "#" is the whole release tree, one "#" or a word no range
        {"accept", "", ours, "1.4.2-E-15", {{"10", "20"}}, 255},
        {"accept", "", ours, "1.4.2-E-10", {{"10", "20"}}, 0},
        {"accept", "", ours, "1.4.2-E-20", {{"10", "20"}}, 0},
        {"accept", "", ours, "1.4.2-E-15", {{"#", "#"}}, 255},
        {"accept", "", ours, "1.4.2-E-15", {{"#", "30"}, {"ten", "30"}}, 0},
    };
    for (const auto& c : cases) {
        fw_package_options_s opt;
        opt.board_policy = c.policy;
        opt.board_policy2 = c.policy2;
        opt.boardids = {"0x00000a07", ours};
        if (!c.version.empty()) {
            opt.software_version = c.version;
        }
        opt.revoked_ranges = c.revoked;
        build(opt);
        fs::remove(revocation_path());
        if (!c.revoked.empty()) {
            packages.back()->write_revocation_list(revocation_path());
        }
        EXPECT_EQ(check_package_compatibility(c.board), c.rc) << c.policy << " " << c.board << " " << c.version;
    }
    EXPECT_TRUE(trace.has("Package file incompatible with this board " + other));
    EXPECT_TRUE(trace.has("Firmware version incompatible with this board " + ours)) << trace.all();
    // another ASIC is not checked at all
    fwupdate_globals().asic_name = "sevrin";
    EXPECT_EQ(check_package_compatibility(other), 0);
}

TEST_F(FwupdateHost, ExtractionAndProfileLookupQuoteEveryPathAndCleanUp)
{
    fw_package_options_s opt;
    opt.card_profile = true;
    // a command smuggled in the name would leave its marker where the shell runs
    const std::string marker = "fwupdate-quoting-marker";
    fs::remove(marker);
    std::string package = build(opt, "it's a \"pkg\"; touch " + marker + " $(touch " + marker + ") `touch " + marker + "`.tar");
    firmware_update_req_s req;
    req.package = package;
    ASSERT_EQ(extract_package_files(false, &req), 0) << trace.all();
    for (const char* f : {"/ASIC_MANIFEST", "/card_profile.json", "/talmira/zephyr_pcie.img"}) {
        EXPECT_TRUE(fs::exists(fwupdate_card_config_dir() + f)) << f;
    }
    EXPECT_EQ(verify_package(package), 0) << trace.all();
    req.profile = "rdma";
    std::string dc, mc;
    ASSERT_EQ(get_card_profile(&req, dc, mc), 0) << trace.all();
    EXPECT_EQ(dc, "device_config_rdma_2x400G");
    EXPECT_EQ(mc, "rdma");

    req.profile = "nosuch";
    EXPECT_NE(get_card_profile(&req, dc, mc), 0);
    EXPECT_TRUE(trace.has("Profile nosuch not found in firmware package " + package + ", err 255")) << trace.all();
    EXPECT_TRUE(fs::is_empty(fwupdate_tls().fwupgrade_bdf_dir)) << "a failure empties the work directory";

    // an active profile the package cannot serve
    std::string without = build({});
    test_write_file(fwupdate_card_config_dir() + "/card.conf", "{\"card-profile\": \"rdma\"}\n");
    req.package = without;
    req.profile.clear();
    EXPECT_NE(get_card_profile(&req, dc, mc), 0);
    EXPECT_TRUE(trace.has("Image " + without +
                          " doesn't support current profile rdma, please update to default profile and retry the upgrade"));
    req.names = {"goldfw"};
    EXPECT_EQ(get_card_profile(&req, dc, mc), 0) << "a gold install skips the check";
    EXPECT_FALSE(fs::exists(marker));

    // the work directory is only ever emptied, never its parent
    fwupdate_tls().fwupgrade_bdf_dir = "";
    fwupdate_clean_work_dir();
    EXPECT_TRUE(fs::exists(dir.path()));
}

TEST(FwupdateTrace, MessagesCarryTheTimeAndRespectTheLevel)
{
    fw_trace_capture trace;
    auto& g = fwupdate_globals();
    g.fwupdate_trace_cb = fw_trace_capture::cb;
    g.fwupdate_trace_level = trace_level_info;
    fwupdate_tls().fwupdate_trace_cb_ctxt = &trace;
    fwupdate_log(trace_level_err, "Failed to get card info for %s, err %u", "0000:20:00.0", 255u);
    fwupdate_log(trace_level_debug, "not shown");
    ASSERT_EQ(trace.lines.size(), 1u);
    // "[2026-12-07 13:00:00.123] ..."
    EXPECT_TRUE(std::regex_search(trace.lines[0], std::regex(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d+\] )")));
    EXPECT_TRUE(trace.has("Failed to get card info for 0000:20:00.0, err 255"));
    g.fwupdate_trace_cb = nullptr;
    fwupdate_log(trace_level_err, "nobody listens");
    EXPECT_EQ(trace.lines.size(), 1u);
}

}  // namespace
