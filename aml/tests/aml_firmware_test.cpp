// the library's firmware requests on an emulated card (next boot image,
// secure boot, partition erase): each goes through the engine, and a failure
// leaves the engine's messages in the card's log

#include <gtest/gtest.h>

#include <filesystem>

#include "aml/aml_firmware.h"
#include "aml/aml_state.h"
#include "emulator/cardsim_flash.h"
#include "emulator/cardsim_host.h"
#include "ipc/nic_ipc.h"
#include "tests/support/process_runner.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t FLASH_PARTITION_OPROM_ID = 12;

class AmlFirmware : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(host.ok()) << host.error();
        host.flash(0).set_busy_polls(0);
        // one library state per process: each test runs in its own
        aml_init_params_s p;
        p.oper_dir = dir.file("oper");
        p.conf_dir = dir.file("conf");
        ASSERT_EQ(aml_init(p), AML_STATUS_OK);
        card.bdf = host.card(0).card_bdf;
    }
    std::string card_uuid() const { return nic_ipc_uuid_from_serial(host.card(0).serial); }
    std::string log_file() const { return aml_oper_dir() + "/fwupgrade/fwupgrade-logs-" + card.bdf + ".log"; }

    cardsim_host host{{1, {}, 0}};
    test_temp_dir dir{"aml-fw"};
    aml_card_handle_s card;
};

TEST_F(AmlFirmware, EveryRequestReachesTheCardAndFailuresAreLogged)
{
    aml_card_next_boot_image_update_req_s req{card, ""};
    aml_card_next_boot_image_update_rsp_s rsp;
    // fw-alt: the other main image than the active A
    for (const auto& [image, boots] : {std::make_pair("fw-gold", CARDSIM_IMAGE_GOLD),
                                       std::make_pair("fw-a", CARDSIM_IMAGE_A), std::make_pair("fw-alt", CARDSIM_IMAGE_B)}) {
        req.image = image;
        ASSERT_EQ(aml_card_next_boot_image_update(&req, &rsp), AML_STATUS_OK) << image << ": " << rsp.error;
        EXPECT_EQ(host.boot_image(0), boots) << image;
    }
    EXPECT_FALSE(fs::exists(log_file())) << "success leaves no log";

    req.image = "fw-z";
    EXPECT_NE(aml_card_next_boot_image_update(&req, &rsp), AML_STATUS_OK);
    EXPECT_TRUE(test_has(rsp.error, "Unknown image name unknown")) << rsp.error;
    EXPECT_EQ(rsp.error.find("] "), std::string::npos) << "the error carries no time stamp: " << rsp.error;
    std::string log = test_read_file(log_file());
    EXPECT_TRUE(test_has(log, "Unknown image name unknown")) << log;

    aml_card_next_boot_image_update_req_s by_uuid{{card_uuid(), ""}, "fw-gold"};
    ASSERT_EQ(aml_card_next_boot_image_update(&by_uuid, &rsp), AML_STATUS_OK) << rsp.error;
    EXPECT_EQ(host.boot_image(0), CARDSIM_IMAGE_GOLD);

    aml_card_secure_boot_update_req_s on{card, 1};
    aml_card_secure_boot_update_rsp_s sb_rsp;
    ASSERT_EQ(aml_card_secure_boot_update(&on, &sb_rsp), AML_STATUS_OK) << sb_rsp.error;
    EXPECT_TRUE(host.flash(0).secure_boot());
    // an option other than enable and disable is refused and never read as a disable
    for (uint8_t option : {0, 3, 4, 255}) {
        aml_card_secure_boot_update_req_s bad{card, option};
        uint64_t sent = host.firmware(0).requests();
        EXPECT_EQ(aml_card_secure_boot_update(&bad, &sb_rsp), AML_STATUS_INVALID_INPUT) << int(option);
        EXPECT_TRUE(test_has(sb_rsp.error, "Invalid secure boot option " + std::to_string(option))) << sb_rsp.error;
        EXPECT_TRUE(host.flash(0).secure_boot()) << int(option);
        EXPECT_EQ(host.firmware(0).requests(), sent) << "nothing reaches the card";
    }

    host.flash(0).set_lifecycle(cardsim_lcs_e::PROD);
    aml_card_secure_boot_update_req_s off{card, 2};
    EXPECT_NE(aml_card_secure_boot_update(&off, &sb_rsp), AML_STATUS_OK);
    EXPECT_TRUE(test_has(sb_rsp.error, "LCS state is prod, cannot disable secure boot")) << sb_rsp.error;
    EXPECT_TRUE(host.flash(0).secure_boot());

    aml_card_secure_boot_info_get_req_s info{card};
    aml_card_secure_boot_info_get_rsp_s info_rsp;
    EXPECT_NE(aml_card_secure_boot_info_get(&info, &info_rsp), AML_STATUS_OK) << "not provided for this card";

    ASSERT_TRUE(host.flash(0).write(FLASH_PARTITION_OPROM_ID, 0, {0x00, 0x11}));
    aml_card_flash_partition_erase_req_s erase{card, "oprom"};
    aml_card_flash_partition_erase_rsp_s erase_rsp;
    ASSERT_EQ(aml_card_flash_partition_erase(&erase, &erase_rsp), AML_STATUS_OK) << erase_rsp.error;
    EXPECT_TRUE(host.partition_bytes(0, FLASH_PARTITION_OPROM_ID).empty());
    erase.partition = "nosuch";
    EXPECT_NE(aml_card_flash_partition_erase(&erase, &erase_rsp), AML_STATUS_OK);
    EXPECT_TRUE(test_has(erase_rsp.error, "flash partition is not valid")) << erase_rsp.error;

    // without its log folder a failure names the log file it could not make
    fs::remove_all(aml_oper_dir() + "/fwupgrade");
    setenv("FWUPDATE_TEST_ENV", "1", 1);
    req.image = "fw-a";
    EXPECT_NE(aml_card_next_boot_image_update(&req, &rsp), AML_STATUS_OK);
    unsetenv("FWUPDATE_TEST_ENV");
    for (const std::string& part : {"Failed to create log file " + log_file() + ", err : ",
                                    std::string("No such file or directory"), std::string("Simulated firmware update init failure")}) {
        EXPECT_TRUE(test_has(rsp.error, part)) << rsp.error;
    }
}

}  // namespace
