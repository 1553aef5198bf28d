// whole updates onto an emulated card: what reaches its flash, which image
// it boots next, and updates cut short at each step

#include <algorithm>
#include <cerrno>
#include <ostream>

#include "fwupdate/fwupdate_profile.h"
#include "fwupdate/tests/fwupdate_test_support.h"

namespace fs = std::filesystem;

namespace {

using FwupdateEmulated = fw_emulated_card<::testing::Test>;

TEST_F(FwupdateEmulated, InitReadsTheCardAndMakesItsDirectories)
{
    ASSERT_EQ(init(), 0) << trace.all();
    const auto& ci = fwupdate_tls().card_info;
    EXPECT_EQ(ci.board_id, "0x00000a01");
    EXPECT_EQ(ci.asic_name, "talmira");
    EXPECT_EQ(ci.soc_running, "A");
    const std::string bdf = host.card(0).card_bdf;
    for (const std::string& d : {dir.file("oper"), dir.file("oper/fwupgrade/" + bdf), dir.file("oper/" + bdf),
                                 dir.file("conf/" + bdf)}) {
        EXPECT_EQ(fs::status(d).permissions() & fs::perms::all, fs::perms::owner_all) << d;
    }

    // a work folder swapped for a link to another folder is refused by name,
    // and neither made nor emptied through the link
    fs::create_directories(dir.file("victim"));
    test_write_file(dir.file("victim/keep"), "keep");
    fs::remove_all(dir.file("oper/fwupgrade/" + bdf));
    fs::create_directory_symlink(dir.file("victim"), dir.file("oper/fwupgrade/" + bdf));
    EXPECT_EQ(init(), 255);
    EXPECT_TRUE(trace.has("Directory " + dir.file("oper/fwupgrade/" + bdf) +
                          " is a symbolic link: it is not a private directory; remove it or choose another directory"))
        << trace.all();
    fwupdate_clean_work_dir();
    EXPECT_EQ(test_read_file(dir.file("victim/keep")), "keep");
    fs::remove(dir.file("oper/fwupgrade/" + bdf));

    setenv("FWUPDATE_TEST_ENV", "1", 1);
    EXPECT_EQ(init(), 255);
    EXPECT_TRUE(trace.has("Simulated firmware update init failure"));
    unsetenv("FWUPDATE_TEST_ENV");
    fwupdate_tls().fwupdate_test_env = 0;
}

TEST_F(FwupdateEmulated, NextBootImageReadsBackAsSetAndAltIsTheMainImageNotRunning)
{
    // the card runs A; whatever the next boot image, fw-alt is B
    const std::pair<const char*, uint32_t> steps[] = {
        {"goldfw", CARDSIM_IMAGE_GOLD}, {"altfw", CARDSIM_IMAGE_B}, {"mainfwa", CARDSIM_IMAGE_A},
        {"mainfwb", CARDSIM_IMAGE_B},   {"altfw", CARDSIM_IMAGE_B},
    };
    const char* letters[] = {"A", "B", "G"};
    for (const auto& [name, image] : steps) {
        ASSERT_EQ(init(), 0);
        EXPECT_EQ(next_boot_image_set(name), 0) << name << trace.all();
        EXPECT_EQ(host.boot_image(0), image) << name;
        ASSERT_EQ(init(), 0);
        EXPECT_EQ(fwupdate_tls().card_info.soc_active, letters[image]) << name;
    }
    EXPECT_EQ(next_boot_image_set("fw-z"), FWUPDATE_BAD_REQUEST);
    EXPECT_TRUE(trace.has("Unknown image name fw-z"));

    // a startup image whose version record is not what the card finds in it
    // is refused, and the selection stays
    host.flash(0).set_running_image(CARDSIM_IMAGE_B);
    ASSERT_EQ(init(), 0);
    const bool never = false;
    const std::string img = dir.file("zephyr.img");
    test_write_file(img, std::string(3000, 'z'));
    std::string digest;
    ASSERT_EQ(calculate_sha512_hash(img, digest), 0);
    ASSERT_EQ(rfc_flash_erase_based_on_hash(FLASH_PARTITION_SOC_ZEPHYR, 3000, "sha512", digest, "2.0.0",
                                            host.card(0).card_bdf, never), 0);
    ASSERT_EQ(rfc_flash_write(FLASH_PARTITION_SOC_ZEPHYR, img, host.card(0).card_bdf, never), 0);
    host.flash(0).set_version("Zephyr-A", "2.0.1");
    trace.lines.clear();
    EXPECT_EQ(next_boot_image_set("altfw"), 255);
    EXPECT_TRUE(trace.has("Startup image soc-zephyr of fw-a holds version 2.0.0, its version record on flash says 2.0.1"))
        << trace.all();
    EXPECT_EQ(host.boot_image(0), CARDSIM_IMAGE_B);
}

TEST_F(FwupdateEmulated, ProfileDeviceConfigGoesToTheDtbPartitionAndIsRecordedOnTheHost)
{
    ASSERT_EQ(init(), 0);
    fw_package_options_s opt;
    opt.card_profile = true;
    fw_package pkg(dir.file("build"), opt);
    firmware_update_req_s req;
    req.package = pkg.build("with profiles.tar");
    ASSERT_EQ(extract_package_files(false, &req), 0) << trace.all();

    // the two main images must run the same version
    host.flash(0).set_version("Zephyr-B", "9.9.9");
    fwupdate_device_config_upd_req_s dc{"rdma"};
    EXPECT_EQ(fwupdate_device_config_update(&dc, &progress, status), 255);
    EXPECT_TRUE(trace.has("Both the main firmware partitions must run same firmware version for profile update, "
                          "Firmware-A 1.4.0, Firmware-B 9.9.9. Please upgrade and retry"))
        << trace.all();
    EXPECT_TRUE(bytes(FLASH_PARTITION_SOC_DTB).empty());

    host.flash(0).set_version("Zephyr-B", "1.4.0");
    ASSERT_EQ(fwupdate_device_config_update(&dc, &progress, status), 0) << trace.all();
    EXPECT_EQ(bytes(FLASH_PARTITION_SOC_DTB), pkg.partition_bytes("soc-dtb", "rdma"));
    EXPECT_EQ(progress, 100);
    EXPECT_EQ(status, "Done");
    EXPECT_EQ(host.boot_image(0), CARDSIM_IMAGE_B);
    dc.profile = "nosuch";
    EXPECT_NE(fwupdate_device_config_update(&dc, &progress, status), 0);
    EXPECT_TRUE(trace.has("Failed to get device and memory configs for profile nosuch, err 255"));

    // the active profile: recorded, forgotten, refused for a package without profiles
    fwupdate_activate_profile_req_s act{req.package, "rdma"};
    fwupdate_activate_profile_rsp_s rsp;
    ASSERT_EQ(fwupdate_activate_profile(&act, &rsp), 0) << trace.all();
    const std::string conf = fwupdate_card_config_dir() + "/card.conf";
    std::string out;
    ASSERT_EQ(run_command("jq -r '.\"card-profile\"' {}", {conf}, out), 0);
    EXPECT_EQ(out, "rdma");
    ASSERT_TRUE(ipc_shell_run(ipc_shell_command("tar -xOf {} card_profile.json > {}", {req.package, dir.file("want")})).ok());
    EXPECT_EQ(test_read_file(fwupdate_card_config_dir() + "/card_profile.json"), test_read_file(dir.file("want")));
    EXPECT_FALSE(fs::exists(conf + ".tmp"));
    act.profile = "default";
    ASSERT_EQ(fwupdate_activate_profile(&act, &rsp), 0);
    EXPECT_FALSE(fs::exists(conf));
    EXPECT_TRUE(trace.has("Cleaned up card profile config data"));
    fw_package plain(dir.file("build"), {});
    act = {plain.build("plain.tar"), "rdma"};
    EXPECT_NE(fwupdate_activate_profile(&act, &rsp), 0);
    EXPECT_TRUE(trace.has("Failed to find card_profile.json, err : 255"));
}

TEST_F(FwupdateEmulated, LogicAndTransceiverImagesAndVersionsOnFlash)
{
    ASSERT_EQ(init(), 0);
    std::string image(2000, '\0');
    std::generate(image.begin(), image.end(), [i = 0]() mutable { return static_cast<char>(i++ * 13); });
    test_write_file(dir.file("logic.bin"), std::string(48, 'L'));
    test_write_file(dir.file("xcvr image.bin"), image);
    firmware_update_req_s req;
    req.package = dir.file("logic.bin");
    ASSERT_EQ(firmware_cpld_update(&req, &progress, status), 0) << trace.all();
    EXPECT_EQ(bytes(FLASH_PARTITION_FPGA_CFG), std::string(48, 'L'));
    EXPECT_EQ(status, "Done");

    // transceivers: each named port in turn, three chunks each
    ASSERT_EQ(init(), 0);
    req.package = dir.file("xcvr image.bin");
    req.names = {"0", "3"};
    const uint64_t before = requests();
    ASSERT_EQ(firmware_xcvr_update(&req, &progress, status), 0) << trace.all();
    EXPECT_EQ(requests() - before, 6u);
    EXPECT_EQ(bytes(FLASH_PARTITION_XCVR_EEPROM).substr(0, image.size()), image);
    EXPECT_EQ(progress, 100);
    EXPECT_EQ(status, "Done");
    std::string version;
    ASSERT_EQ(rfc_xcvr_version_get(3, host.card(0).card_bdf, &version), 0) << trace.all();
    EXPECT_EQ(version, "1.4.0");
    ASSERT_EQ(init(), 0);
    req.names = {"7"};
    host.set_fault(0, {cardsim_fault_e::FW_ERRNO, 5, 12, 0x1001c});
    EXPECT_NE(firmware_xcvr_update(&req, &progress, status), 0);
    EXPECT_TRUE(trace.has("XCVR firmware update failed for port 7, err 255")) << trace.all();
    host.clear_fault(0);

    // refused before anything is sent: port lists, files that are not there
    const std::pair<std::vector<std::string>, const char*> refused[] = {
        {{}, "xcvr image.bin"}, {{"256"}, "xcvr image.bin"}, {{"-1"}, "xcvr image.bin"},
        {{"1;reboot"}, "xcvr image.bin"}, {{""}, "xcvr image.bin"}, {{"1"}, "absent.bin"}, {{"cpld"}, "absent.bin"},
    };
    for (const auto& [names, file] : refused) {
        ASSERT_EQ(init(), 0);
        req.package = dir.file(file);
        req.names = names;
        const uint64_t quiet = requests();
        const bool cpld = names == std::vector<std::string>{"cpld"};
        EXPECT_EQ(cpld ? firmware_cpld_update(&req, &progress, status) : firmware_xcvr_update(&req, &progress, status),
                  255);
        EXPECT_EQ(requests(), quiet);
    }
    EXPECT_TRUE(trace.has("XCVR firmware file not accessible: " + dir.file("absent.bin")));
    EXPECT_TRUE(trace.has("CPLD binary file not accessible: " + dir.file("absent.bin")));

    ASSERT_EQ(init(), 0);
    std::string json, out;
    ASSERT_EQ(firmware_get(true, json), 0) << trace.all();
    test_write_file(dir.file("versions.json"), json);
    EXPECT_EQ(run_command("jq -r '.soc[\"Zephyr-A\"].version' {}", {dir.file("versions.json")}, out), 0) << json;
    EXPECT_EQ(out, "1.4.0");
    EXPECT_NE(json.find("   \"version\": \""), std::string::npos);
}

// what a fleet lives through, each sequence ending with a reboot of the
// card and a look at what it runs

enum class fleet_step_e { install, reboot, boot_gold };

struct fleet_step_s {
    fleet_step_e step;
    const char* version;  // install: the package's software version; reboot: the one it then runs
    uint32_t image;       // install, boot_gold: the next boot image after it; reboot: the image it runs
};

struct fleet_case_s {
    const char* name;
    std::vector<fleet_step_s> steps;
};

// the name in the test's listing instead of the bytes of the case
std::ostream& operator<<(std::ostream& os, const fleet_case_s& c) { return os << c.name; }

class FwupdateFleet : public fw_emulated_card<::testing::TestWithParam<fleet_case_s>> {
protected:
    // an "all" install of a package of that version, and what it leaves:
    // every partition of the image written holds the package's bytes, the
    // installed package stays on the host, the work directory is empty
    void install(const std::string& version)
    {
        fw_package_options_s opt;
        opt.software_version = version;
        fw_package pkg(dir.file("build-" + version), opt);
        firmware_update_req_s req;
        req.package = pkg.build("release " + version + ".tar");
        ASSERT_EQ(init(), 0) << trace.all();
        ASSERT_EQ(update(req), 0) << trace.all();
        EXPECT_EQ(progress, 100);
        EXPECT_EQ(status, "Done");
        size_t written = 0;
        for (const auto& [partition, member] : pkg.partitions()) {
            uint32_t id = flash_partition_from_name(partition);
            ASSERT_LT(id, FLASH_PARTITION_MAX) << partition;
            std::string want = pkg.partition_bytes(partition);
            auto got = host.partition_bytes(0, id);
            EXPECT_EQ(std::string(got.begin(), got.end()), want) << partition << " from " << member;
            written += !want.empty();
        }
        EXPECT_GE(written, 9u);
        EXPECT_TRUE(host.flash(0).operation_started()) << "the card saw the start and no abort";
        EXPECT_TRUE(fs::exists(fwupdate_card_config_dir() + "/ASIC_MANIFEST"));
        EXPECT_TRUE(fs::is_empty(fwupdate_tls().fwupgrade_bdf_dir));
    }
};

TEST_P(FwupdateFleet, EverySequenceEndsRunningWhatWasLastInstalled)
{
    for (const auto& s : GetParam().steps) {
        SCOPED_TRACE(s.version);
        switch (s.step) {
        case fleet_step_e::install:
            install(s.version);
            if (HasFatalFailure()) {
                return;
            }
            EXPECT_TRUE(trace.has(std::string("Boot option ") + (s.image == CARDSIM_IMAGE_A ? "fw-a" : "fw-b") +
                                  " programmed successfully"));
            break;
        case fleet_step_e::boot_gold:
            ASSERT_EQ(init(), 0);
            ASSERT_EQ(next_boot_image_set("goldfw"), 0) << trace.all();
            break;
        case fleet_step_e::reboot:
            expect_runs(s.image, s.version);
            continue;
        }
        EXPECT_EQ(host.boot_image(0), s.image);
    }
}

constexpr auto k_install = fleet_step_e::install, k_reboot = fleet_step_e::reboot;
constexpr uint32_t k_a = CARDSIM_IMAGE_A, k_b = CARDSIM_IMAGE_B, k_gold = CARDSIM_IMAGE_GOLD;

INSTANTIATE_TEST_SUITE_P(
    Sequences, FwupdateFleet,
    ::testing::Values(
        // the second install writes B again and points at B, not at the old A
        fleet_case_s{"InstallInstallReboot",
                     {{k_install, "1.5.0-E-1", k_b}, {k_install, "1.6.0-E-2", k_b}, {k_reboot, "1.6.0-E-2", k_b}}},
        fleet_case_s{"InstallRebootInstallReboot",
                     {{k_install, "1.5.0-E-1", k_b}, {k_reboot, "1.5.0-E-1", k_b},
                      {k_install, "1.6.0-E-2", k_a}, {k_reboot, "1.6.0-E-2", k_a}}},
        fleet_case_s{"GoldRebootInstallReboot",
                     {{fleet_step_e::boot_gold, "gold", k_gold}, {k_reboot, "1.4.0", k_gold},
                      {k_install, "1.5.0-E-1", k_a}, {k_reboot, "1.5.0-E-1", k_a}}}),
    fw_case_name());

// an update cut short at one step: the card refuses it (the engine aborts)
// or its driver loses the card's answer there. the selection stays on the
// image the card runs, unless the selection itself reached the card before
// its answer was lost; either way the card reboots into a whole image
struct interrupt_case_s {
    const char* name;
    cardsim_flash_fault_s flash_fault;
    cardsim_fault_s fault;
    const char* status;  // the step the update stopped in
    uint32_t runs = CARDSIM_IMAGE_A;  // after the reboot
    uint32_t timeout_s = 0;           // the update's bound, 0 none
};

std::ostream& operator<<(std::ostream& os, const interrupt_case_s& c) { return os << c.name; }

class FwupdateInterrupted : public fw_emulated_card<::testing::TestWithParam<interrupt_case_s>> {};

TEST_P(FwupdateInterrupted, LeavesACardThatBootsAWholeImage)
{
    const auto& c = GetParam();
    host.set_flash_fault(0, c.flash_fault);
    host.set_fault(0, c.fault);
    ASSERT_EQ(init(), 0) << trace.all();
    fw_package_options_s opt;
    opt.software_version = "1.5.0-E-1";
    fw_package pkg(dir.file("build"), opt);
    firmware_update_req_s req;
    req.package = pkg.build("fw.tar");
    req.timeout_s = c.timeout_s;
    const int rc = update(req);
    EXPECT_NE(rc, 0);
    EXPECT_EQ(status.rfind(c.status, 0), 0u) << status;
    if (c.timeout_s != 0) {
        // the card answers "in progress" for ever: the deadline ends the wait
        EXPECT_EQ(rc, 39);
        EXPECT_TRUE(trace.has("Firmware update timed out after " + std::to_string(c.timeout_s) + " seconds in " +
                              status))
            << trace.all();
    }
    EXPECT_TRUE(trace.has("Successfully completed the fwupdate abort request")) << trace.all();
    EXPECT_EQ(host.boot_image(0), c.runs);
    host.clear_flash_fault(0);
    expect_runs(c.runs, c.runs == CARDSIM_IMAGE_A ? "1.4.0" : "1.5.0-E-1");
}

constexpr uint32_t k_ep = CARDSIM_EP_FWUPDATE;

INSTANTIATE_TEST_SUITE_P(
    Steps, FwupdateInterrupted,
    ::testing::Values(
        interrupt_case_s{"EraseFails", {cardsim_flash_fault_e::ERASE_FAILS, FLASH_PARTITION_SOC_ZEPHYR}, {},
                         "Erase [soc-zephyr]"},
        interrupt_case_s{"StuckTimesOut", {cardsim_flash_fault_e::STUCK_IN_PROGRESS}, {}, "Erase [", CARDSIM_IMAGE_A, 2},
        interrupt_case_s{"WriteRefused", {}, {cardsim_fault_e::FW_ERRNO, 5, k_ep, RFC_CMD_FLASH_WRITE}, "Install ["},
        interrupt_case_s{"VerifyMismatch", {cardsim_flash_fault_e::VERIFY_MISMATCH, FLASH_PARTITION_SOC_ZEPHYR}, {},
                         "Verify [soc-zephyr]"},
        interrupt_case_s{"BootSelectionAnswersAnError", {}, {cardsim_fault_e::FW_ERRNO, 5, k_ep, RFC_CMD_BOOT_OPS_SET},
                         "Post-processing", CARDSIM_IMAGE_B},
        interrupt_case_s{"GoneAtErase", {}, {cardsim_fault_e::DRIVER_ERRNO, ENODEV, k_ep, RFC_CMD_FLASH_ERASE_HASH},
                         "Erase ["},
        interrupt_case_s{"GoneAtWrite", {}, {cardsim_fault_e::DRIVER_ERRNO, ENODEV, k_ep, RFC_CMD_FLASH_WRITE},
                         "Install ["},
        interrupt_case_s{"GoneAtVerify", {}, {cardsim_fault_e::DRIVER_ERRNO, ENODEV, k_ep, RFC_CMD_IMAGE_VERIFY},
                         "Verify ["},
        interrupt_case_s{"GoneAtBootSelection", {},
                         {cardsim_fault_e::DRIVER_ERRNO, ENODEV, k_ep, RFC_CMD_BOOT_OPS_SET}, "Post-processing",
                         CARDSIM_IMAGE_B}),
    fw_case_name());

}  // namespace
