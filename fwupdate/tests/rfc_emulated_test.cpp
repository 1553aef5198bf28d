// the remote flash client's partition, transceiver and secure-image
// requests against an emulated card: what reaches the card's flash, the
// output files, and the failures that are refused before anything is sent

#include <algorithm>
#include <cstdlib>

#include "fwupdate/tests/fwupdate_test_support.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t k_ep = 0x0c;
const std::string k_pem = "-----BEGIN PUBLIC KEY-----\nMFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE\n-----END PUBLIC KEY-----\n";

class RfcEmulated : public fw_emulated_card<::testing::Test> {
protected:
    void SetUp() override
    {
        fw_emulated_card::SetUp();
        ASSERT_EQ(init(), 0) << trace.all();
        bdf = host.card(0).card_bdf;
        out = fwupdate_tls().dev_oper_dir;
    }
    // each test runs in a process of its own: the key folder goes with it
    void TearDown() override
    {
        fw_emulated_card::TearDown();
        unsetenv("ORLIX_CONF_DIR");
    }
    // the client's failure wording around a detail
    std::string error(const std::string& detail) const { return rfc_error_text(bdf, detail); }

    std::string bdf, out;
};

TEST_F(RfcEmulated, SectorEraseClearsWholeSectorGroupsFromThePartitionStart)
{
    const uint32_t dtb = FLASH_PARTITION_SOC_DTB;
    ASSERT_TRUE(host.flash(0).write(dtb, 0, std::vector<uint8_t>(160 * 1024, 0x00)));

    uint64_t before = requests();
    // 128 KiB: two groups of 16 sectors
    ASSERT_EQ(rfc_flash_sector_erase(FLASH_PARTITION_SOC_DTB, 128 * 1024, bdf), 0) << trace.all();
    EXPECT_EQ(requests() - before, 2u);
    EXPECT_TRUE(trace.has("sending ipc for erase flash sector , image id 11 size 65536 sector_count 16"));
    EXPECT_TRUE(trace.has("Erase partition in progress...."));
    std::string got = bytes(dtb);
    ASSERT_EQ(got.size(), 160u * 1024);
    EXPECT_EQ(got.substr(0, 128 * 1024), std::string(128 * 1024, '\xff'));
    EXPECT_EQ(got.substr(128 * 1024), std::string(32 * 1024, '\0')) << "the sectors after the range stay";

    // a last group of 4 sectors; past the partition's end the card refuses
    before = requests();
    ASSERT_EQ(rfc_flash_sector_erase(FLASH_PARTITION_SOC_DTB, 20 * 4096, bdf), 0);
    EXPECT_TRUE(trace.has("sending ipc for erase flash sector , image id 11 size 16384 sector_count 4"));
    EXPECT_EQ(requests() - before, 2u);
    EXPECT_EQ(rfc_flash_sector_erase(FLASH_PARTITION_SOC_DTB, 512 * 1024, bdf), 255);
    EXPECT_TRUE(trace.has("failed in erase flash sector size :10000 offset :40000")) << trace.all();

    host.set_flash_fault(0, {cardsim_flash_fault_e::ERASE_FAILS});
    EXPECT_EQ(rfc_flash_sector_erase(FLASH_PARTITION_SOC_DTB, 4096, bdf), 255);
    EXPECT_TRUE(trace.has("failed in erase flash sector size :1000 offset :0"));
    host.clear_flash_fault(0);
}

TEST_F(RfcEmulated, PartitionInfoListsWhatTheCardDescribes)
{
    const std::string file = out + "partition_info.txt";
    host.flash(0).set_version("Zephyr-B", "2.1.0");
    bool supported = false;
    ASSERT_EQ(rfc_partition_info(bdf, FLASH_PARTITION_SOC_ZEPHYR, supported), 0) << trace.all();
    EXPECT_TRUE(supported);
    // the card runs and starts A and works on B
    EXPECT_EQ(test_read_file(file), "id: 10  id_name:soc-zephyr            type_id:1   type_name:fw-b                  "
              "partition_size:400000      running:0   startup:0   upgrade-support:1   version:2.1.0\n");

    ASSERT_EQ(rfc_partition_info(bdf, RFC_PARTITION_ALL, supported), 0) << trace.all();
    std::string all = test_read_file(file);
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 21);
    for (const char* line : {"id: 4   id_name:soc-gold-zephyr       type_id:2   type_name:fw-gold               "
                             "partition_size:400000      running:0   startup:0   upgrade-support:1   version:1.4.0\n",
                             "id: 14  id_name:runtime-log           type_id:1   type_name:fw-b                  "
                             "partition_size:100000      running:0   startup:0   upgrade-support:0   version:\n",
                             "id: 20  id_name:fpga-gold-cfg         type_id:2   type_name:fw-gold               "
                             "partition_size:100000      running:0   startup:0   upgrade-support:1   version:\n"}) {
        EXPECT_TRUE(test_has(all, line)) << line << all;
    }

    fwupdate_tls().dev_oper_dir = dir.file("absent") + "/";
    EXPECT_EQ(rfc_partition_info(bdf, FLASH_PARTITION_OPROM, supported), 255);
    EXPECT_TRUE(trace.has("Failed to open file " + dir.file("absent") + "/partition_info.txt"));
    fwupdate_tls().dev_oper_dir = out;
}

TEST_F(RfcEmulated, PartitionMetadataOfTheWorkingBank)
{
    host.flash(0).set_version("DTB-B Name", "rdma");
    host.flash(0).set_version("DTB-B", "2.0.0");
    ASSERT_EQ(rfc_partition_metadata(FLASH_PARTITION_SOC_DTB, bdf, 1), 0) << trace.all();
    EXPECT_EQ(test_read_file(out + "soc-dtb.txt"), "{\n\"profile_name\": \"rdma\",\n\"version\": \"2.0.0\"\n}\n");

    // only soc-dtb has a profile name; without the flag no file is written
    ASSERT_EQ(rfc_partition_metadata(FLASH_PARTITION_SOC_UBOOT, bdf, 0), 0);
    EXPECT_FALSE(fs::exists(out + "soc-uboot.txt"));
    ASSERT_EQ(rfc_partition_metadata(FLASH_PARTITION_SOC_UBOOT, bdf, 1), 0);
    EXPECT_EQ(test_read_file(out + "soc-uboot.txt"), "{\n\"profile_name\": \"\",\n\"version\": \"1.4.0\"\n}\n");

    EXPECT_EQ(rfc_partition_metadata(FLASH_PARTITION_RUNTIME_LOG, bdf, 1), 255);
    EXPECT_TRUE(trace.has("partition id 14 not supported to get metadata"));
    EXPECT_FALSE(fs::exists(out + "runtime-log.txt"));
}

TEST_F(RfcEmulated, SecureImageInfoFileLinesByType)
{
    const std::string file = out + "secure.txt";
    // every type gives one JSON object: boot partitions only (the running and
    // the next boot image), boot records, the BL31 version
    ASSERT_EQ(rfc_set_startup_image(FIRMWARE_IMAGE_FW_GOLD, bdf), 0);
    struct case_s {
        secure_image_type_e type;
        const char* text;
    };
    const case_s cases[] = {
        {SECURE_IMAGE_TYPE_BOOT_PARTITIONS,
         "{\n\"secure_ipc_version\": \"1\",\n\"current_boot_partition\": \"0\",\n\"next_boot_partition\": \"2\"\n}\n"},
        {SECURE_IMAGE_TYPE_BOOT_RECORDS,
         "{\n\"secure_ipc_version\": \"1\",\n\"current_boot_partition\": \"0\",\n\"next_boot_partition\": "
         "\"2\",\n\"bl1_ar_nv_count\": \"1\",\n\"bl1_ar_version\": \"1\",\n\"bl1_version\": \"66560\",\n"
         "\"hallgardfw_version\": \"66560\",\n\"hallgard_ar_nv_count\": \"1\",\n\"hallgard_ar_version\": "
         "\"1\"\n}\n"},
        {SECURE_IMAGE_TYPE_BL31, "{\n\"secure_ipc_version\": \"1\",\n\"bl31 version\": \"v2.8(release)\"\n}\n"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(rfc_secure_image_info("secure", c.type, bdf), 0) << trace.all();
        EXPECT_EQ(test_read_file(file), c.text) << c.type;
    }

    host.flash(0).set_lifecycle(cardsim_lcs_e::PROD);
    ASSERT_EQ(rfc_secure_boot_update(SECURE_BOOT_OPTION_ENABLE, bdf), 0);
    ASSERT_EQ(rfc_secure_image_info("secure", SECURE_IMAGE_TYPE_FUSES_LCS, bdf), 0);
    EXPECT_EQ(test_read_file(file), "{\n\"secure_ipc_version\": \"1\",\n\"fuse\": \"0x3\",\n"
                                    "\"bootloader1_current_fuse\": \"0x1\",\n\"hallgard_enable\": \"0x1\",\n"
                                    "\"lcs_boot_state\": \"prod\",\n\"lcs_next_state\": \"prod\"\n}\n");
    host.flash(0).set_lifecycle(cardsim_lcs_e::RIP);
    ASSERT_EQ(rfc_secure_image_info("secure", SECURE_IMAGE_TYPE_FUSES_LCS, bdf), 0);
    EXPECT_TRUE(test_has(test_read_file(file), "\"lcs_boot_state\": \"rip\",\n"));

    fs::remove(file);
    ASSERT_EQ(rfc_secure_image_info(nullptr, SECURE_IMAGE_TYPE_BL31, bdf), 0);
    EXPECT_FALSE(fs::exists(file));

    EXPECT_EQ(rfc_secure_image_info("secure", static_cast<secure_image_type_e>(5), bdf), 255);
    EXPECT_TRUE(trace.has("Image type is not supported 5"));

    EXPECT_EQ(rfc_secure_image_info_update(SECURE_IMAGE_TYPE_BOOT_RECORDS, SECURE_IMAGE_UPDATE_AR_COUNTER_COMMIT, bdf),
              0)
        << trace.all();
    EXPECT_EQ(rfc_secure_image_info_update(static_cast<secure_image_type_e>(7), SECURE_IMAGE_UPDATE_NONE, bdf), 255);
    EXPECT_TRUE(trace.has(error("Failed to update secure image info, status : 2")));
}

TEST_F(RfcEmulated, SignedMetadataAndSignatureCheckWithTheHostKeys)
{
    const uint32_t zephyr = FLASH_PARTITION_SOC_ZEPHYR;
    ASSERT_EQ(rfc_partition_signed_metadata(FLASH_PARTITION_SOC_ZEPHYR, bdf), 0) << trace.all();
    EXPECT_EQ(test_read_file(out + "soc-zephyr_signed.txt"),
              "{\"partition\": \"soc-zephyr\", \"key_name\": \"eng\", \"version\": \"1.4.0\"}");
    EXPECT_EQ(rfc_partition_signed_metadata(FLASH_PARTITION_SOC_DTB, bdf), 255);
    EXPECT_TRUE(trace.has("read signed meta data not supported for 11"));
    EXPECT_FALSE(fs::exists(out + "soc-dtb_signed.txt"));

    const std::string conf = dir.file("conf"), keys = conf + "/fwkeys", eng = keys + "/eng_key-pub.pem";
    fs::create_directories(keys);
    setenv("ORLIX_CONF_DIR", conf.c_str(), 1);
    // in turn: the key the card names, a key file written before, the result,
    // the message, how many requests reached the card
    struct sig_case_s {
        const char* signer;
        std::string file, text;
        int rc;
        std::string message;
        uint64_t sent;
        uint32_t partition = FLASH_PARTITION_SOC_ZEPHYR;
    };
    const sig_case_s cases[] = {
        {"eng", "", "", 255, "Failed to open file " + eng, 1},  // only the metadata went to the card
        {"eng", eng, k_pem, 255, error("Failed to verify image signature for soc-zephyr, status : 1"), 2},  // no image
        {"eng", "", "", 0, "", 2},  // the image is written from here on
        {"eng", eng, "not a key\n", 255, "", 2},
        {"prod", "", "", 255, "Failed to open file " + keys + "/prod_key-pub.pem", 1},  // by the name the card gives
        {"prod", keys + "/prod_key-pub.pem", k_pem, 0, "", 2},
        // any other key name is refused before a key file is looked for, even one that exists
        {"test", keys + "/test_key-pub.pem", k_pem, 255, "invalid key name test", 1},
        {"", "", "", 255, "invalid key name ", 1},
        {"eng", "", "", 255, "read signed meta data not supported for 12", 1, FLASH_PARTITION_OPROM},
        {"eng", eng, std::string(2000, 'k'), 255, "", 1},  // an oversized key
    };
    for (const auto& c : cases) {
        host.flash(0).set_signing_key(c.signer);
        if (!c.file.empty()) {
            test_write_file(c.file, c.text);
        }
        trace.lines.clear();
        const uint64_t before = requests();
        EXPECT_EQ(rfc_image_signature_verify(static_cast<flash_partition_e>(c.partition), bdf), c.rc) << c.message;
        EXPECT_TRUE(c.message.empty() || trace.has(c.message)) << c.message << "\n" << trace.all();
        EXPECT_EQ(requests() - before, c.sent) << c.message;
        if (&c == &cases[1]) {
            ASSERT_TRUE(host.flash(0).write(zephyr, 0, std::vector<uint8_t>(4096, 0x5a)));
        }
    }
    std::string deep = dir.file(std::string(130, 'd'));
    setenv("ORLIX_CONF_DIR", deep.c_str(), 1);
    EXPECT_EQ(rfc_image_signature_verify(FLASH_PARTITION_SOC_ZEPHYR, bdf), 255);
    EXPECT_TRUE(trace.has("Key file path is too long: " + deep + "/fwkeys/eng_key-pub.pem"));
    unsetenv("ORLIX_CONF_DIR");
    if (!fs::exists("/fwkeys/eng_key-pub.pem")) {
        EXPECT_EQ(rfc_image_signature_verify(FLASH_PARTITION_SOC_ZEPHYR, bdf), 255);
        EXPECT_TRUE(trace.has("Failed to open file /fwkeys/eng_key-pub.pem"));
    }
}

// one request of the client and what it reports
struct rfc_call_s {
    const char* name;
    std::function<int()> call;
    int rc;
    std::string message;  // "" when only the result is checked
};

TEST_F(RfcEmulated, BadRequestsAreRefusedBeforeAnythingIsSent)
{
    const bool never = false, aborted = true;
    const std::string digest(128, 'a'), img = dir.file("img"), none = dir.file("none"), empty = dir.file("empty");
    test_write_file(img, std::string(1000, 'x'));
    test_write_file(empty, "");
    test_write_file(dir.file("cpld"), std::string(17, 'c'));
    bool supported = false;
    std::string version;
    const auto dtb = FLASH_PARTITION_SOC_DTB, xcvr = FLASH_PARTITION_XCVR_EEPROM;
    const auto commit = SECURE_IMAGE_UPDATE_AR_COUNTER_COMMIT;
    const rfc_call_s cases[] = {
        {"erase 0", [&] { return rfc_flash_sector_erase(dtb, 0, bdf); }, 255, "flash partition erase size is not valid"},
        {"erase part", [&] { return rfc_flash_sector_erase(dtb, 100 * 1024 + 1, bdf); }, 255,
         "flash partition erase size is not valid"},
        {"erase where", [&] { return rfc_flash_sector_erase(FLASH_PARTITION_MAX, 4096, bdf); }, 255,
         "flash partition is not valid"},
        {"hash", [&] { return rfc_flash_erase_based_on_hash(dtb, 10, "sha256", digest, "1", bdf, never); }, 255,
         "Invalid hash type"},
        {"version", [&] { return rfc_flash_erase_based_on_hash(dtb, 10, "sha512", digest, std::string(63, 'v'), bdf, never); },
         255, "Version value is too long- version len 63"},
        {"erase image", [&] { return rfc_flash_erase(FLASH_PARTITION_MAX, 0, bdf, never); }, 255,
         "flash partition is not valid"},
        {"startup", [&] { return rfc_set_startup_image(FIRMWARE_IMAGE_INVALID, bdf); }, 255, ""},
        {"verify none", [&] { return rfc_verify_image(dtb, none, digest, bdf, aborted); }, 255, ""},
        {"verify aborted", [&] { return rfc_verify_image(dtb, img, digest, bdf, aborted); }, 39, ""},
        {"info", [&] { return rfc_partition_info(bdf, RFC_PARTITION_ALL + 1, supported); }, 255,
         "flash partition is not valid"},
        {"metadata", [&] { return rfc_partition_metadata(static_cast<flash_partition_e>(40), bdf, 1); }, 255, ""},
        {"signed", [&] { return rfc_partition_signed_metadata(static_cast<flash_partition_e>(21), bdf); }, 255, ""},
        {"xcvr where", [&] { return rfc_xcvr_write(dtb, 3, img, bdf, never); }, 255, "XCVR partition id is not valid 11"},
        {"xcvr none", [&] { return rfc_xcvr_write(xcvr, 3, none, bdf, never); }, 255, "Failed to open file " + none},
        {"xcvr empty", [&] { return rfc_xcvr_write(xcvr, 3, empty, bdf, never); }, 255, ""},
        {"xcvr aborted", [&] { return rfc_xcvr_write(xcvr, 3, img, bdf, aborted); }, 39,
         "Write operation aborted due to timeout"},
        {"xcvr port", [&] { return rfc_xcvr_version_get(256, bdf, &version); }, 255, ""},
        {"secure type", [&] { return rfc_secure_image_info("secure", SECURE_IMAGE_TYPE_INVALID, bdf); }, 255,
         "Invalid secure image type 0"},
        {"secure update", [&] { return rfc_secure_image_info_update(SECURE_IMAGE_TYPE_INVALID, commit, bdf); }, 255, ""},
        {"cpld", [&] { return rfc_flash_write(FLASH_PARTITION_FPGA_GOLD_CFG, dir.file("cpld"), bdf, never); }, 2,
         "CPLD file size should be multiple of 16"},
        // only enable and disable
        {"boot 0", [&] { return rfc_secure_boot_update(0, bdf); }, RFC_BAD_REQUEST, ""},
        {"boot 3", [&] { return rfc_secure_boot_update(3, bdf); }, RFC_BAD_REQUEST, ""},
        {"boot 0x101", [&] { return rfc_secure_boot_update(0x101, bdf); }, RFC_BAD_REQUEST, ""},
    };
    for (const auto& c : cases) {
        trace.lines.clear();
        const uint64_t before = requests();
        EXPECT_EQ(c.call(), c.rc) << c.name;
        EXPECT_TRUE(c.message.empty() || trace.has(c.message)) << c.name << "\n" << trace.all();
        EXPECT_EQ(requests(), before) << c.name;
    }
    // the longest version that fits
    EXPECT_EQ(rfc_flash_erase_based_on_hash(dtb, 1000, "sha512", digest, std::string(62, 'v'), bdf, never), 0);
}

TEST_F(RfcEmulated, CardFailuresAreReportedInTheClientsWording)
{
    const std::string keys = dir.file("conf") + "/fwkeys";
    fs::create_directories(keys);
    test_write_file(keys + "/eng_key-pub.pem", k_pem);
    setenv("ORLIX_CONF_DIR", dir.file("conf").c_str(), 1);
    test_write_file(dir.file("xcvr.bin"), std::string(2000, 'x'));
    const auto zephyr = FLASH_PARTITION_SOC_ZEPHYR;
    std::string version;
    auto xcvr_write = [&] { return rfc_xcvr_write(FLASH_PARTITION_XCVR_EEPROM, 3, dir.file("xcvr.bin"), bdf, false); };
    auto xcvr_version = [&] { return rfc_xcvr_version_get(3, bdf, &version); };
    auto bl31 = [&] { return rfc_secure_image_info("secure", SECURE_IMAGE_TYPE_BL31, bdf); };
    auto verify = [&] { return rfc_image_signature_verify(zephyr, bdf); };
    auto signed_meta = [&] { return rfc_partition_signed_metadata(zephyr, bdf); };
    // the result, plus 1000 when the partition is still taken as supported
    auto info = [&] {
        bool supported = true;
        return rfc_partition_info(bdf, FLASH_PARTITION_OPROM, supported) + 1000 * supported;
    };
    using K = cardsim_fault_e;
    const struct {
        cardsim_fault_s fault;
        rfc_call_s c;
    } cases[] = {
        // a refusal to describe the partition clears "supported", a short answer is no refusal
        {{K::STATUS_11, 0, k_ep, RFC_CMD_PARTITION_INFO_GET},
         {"info", info, 255, "Get partition info is not supported for partition id 12"}},
        {{K::SHORT_BODY, 100, k_ep, RFC_CMD_PARTITION_INFO_GET},
         {"info short", info, 1255, error("PARTITION_INFO_GET IPC response size 100 doesn't match expected size 158")}},
        {{K::FW_ERRNO, 5, k_ep, RFC_CMD_FLASH_SECTOR_ERASE},
         {"erase", [&] { return rfc_flash_sector_erase(FLASH_PARTITION_SOC_DTB, 4096, bdf); }, 255,
          error("Failed to erase flash sector, err : 5")}},
        {{K::SHORT_BODY, 72, k_ep, RFC_CMD_META_DATA_GET},
         {"metadata", [&] { return rfc_partition_metadata(FLASH_PARTITION_SOC_DTB, bdf, 1); }, 255,
          error("META_DATA_GET IPC response size 72 doesn't match expected size 1000")}},
        {{K::FW_ERRNO, 5, k_ep, RFC_CMD_XCVR_WRITE}, {"xcvr", xcvr_write, 255, error("Failed to write xcvr eeprom, err : 5")}},
        {{K::STATUS_11, 0, k_ep, RFC_CMD_XCVR_WRITE}, {"xcvr status", xcvr_write, 255, "XCVR write failed with error code 11"}},
        {{K::STATUS_11, 0, k_ep, RFC_CMD_XCVR_VERSION_GET},
         {"xcvr version", xcvr_version, 255, "Failed to get XCVR version for port 3, status 11"}},
        {{K::SHORT_BODY, 8, k_ep, RFC_CMD_XCVR_VERSION_GET},
         {"xcvr version short", xcvr_version, 255,
          error("XCVR_VERSION_GET IPC response size 8 doesn't match expected size 132")}},
        {{K::SHORT_BODY, 600, k_ep, RFC_CMD_SECURE_IMAGE_INFO_GET},
         {"secure short", bl31, 255, error("SECURE_IMAGE_INFO_GET IPC response size 600 doesn't match expected size 628")}},
        {{K::FW_ERRNO, 22, k_ep, RFC_CMD_SECURE_IMAGE_INFO_GET},
         {"secure", bl31, 255, error("Failed to get secure image info, err : 22")}},
        {{K::FW_ERRNO, 22, k_ep, RFC_CMD_SECURE_IMAGE_INFO_UPDATE},
         {"secure update",
          [&] { return rfc_secure_image_info_update(SECURE_IMAGE_TYPE_FUSES_LCS, SECURE_IMAGE_UPDATE_LCS_PROD, bdf); },
          255, error("Failed to update secure image info, err : 22")}},
        {{K::FW_ERRNO, 5, k_ep, RFC_CMD_IMAGE_SIGNATURE},
         {"signature", verify, 255, error("Failed to verify image signature for soc-zephyr, err : 5")}},
        {{K::FW_ERRNO, 7, k_ep, RFC_CMD_SIGNED_META_DATA_GET},
         {"signature meta", verify, 255, error("Failed to read image signature for soc-zephyr, err : 7")}},
        {{K::FW_ERRNO, 7, k_ep, RFC_CMD_SIGNED_META_DATA_GET},
         {"signed", signed_meta, 255, error("Failed to read signed meta data, err : 7")}},
        {{K::SHORT_BODY, 100, k_ep, RFC_CMD_SIGNED_META_DATA_GET},
         {"signed short", signed_meta, 255,
          error("SIGNED_META_DATA_GET IPC response size 100 doesn't match expected size 864")}},
    };
    for (const auto& [fault, c] : cases) {
        trace.lines.clear();
        host.set_fault(0, fault);
        EXPECT_EQ(c.call(), c.rc) << c.name;
        EXPECT_TRUE(trace.has(c.message)) << c.name << "\n" << trace.all();
    }
    host.clear_fault(0);
    EXPECT_FALSE(fs::exists(out + "secure.txt")) << "a failed answer writes no file";
}

}  // namespace
