// hostile packages on an emulated card: each is refused before the first
// erase with a message naming the member, nothing lands outside the work
// directory, no link is left behind, and a package changed on disk while it
// is being installed never reaches the flash

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>

#include "emulator/cardsim_flash.h"
#include "emulator/cardsim_host.h"
#include "fwupdate/fwupdate.h"
#include "fwupdate/fwupdate_shell.h"
#include "fwupdate/rfc.h"
#include "fwupdate/tests/fwupdate_test_support.h"
#include "fwupdate/fwupdate_archive.h"
#include "fwupdate/fwupdate_verify.h"
#include "tests/support/fw_package.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t k_board = 0x00000a01;

// the trace, and an action run once when a message first appears
struct hook_trace {
    fw_trace_capture capture;
    std::map<std::string, std::function<void()>> on;

    static void cb(void* ctxt, trace_level_e level, const char* format, ...)
    {
        char buf[4096];
        va_list args;
        va_start(args, format);
        vsnprintf(buf, sizeof(buf), format, args);
        va_end(args);
        auto* self = static_cast<hook_trace*>(ctxt);
        self->capture.lines.push_back(buf);
        self->capture.levels.push_back(level);
        std::string text = buf;
        size_t close = text.find("] ");
        text = close == std::string::npos ? text : text.substr(close + 2);
        auto it = self->on.find(text);
        if (it != self->on.end()) {
            auto action = std::move(it->second);
            self->on.erase(it);
            action();
        }
    }
};

class FwupdateHostile : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(host.ok()) << host.error();
        host.flash(0).set_busy_polls(0);
        host.flash(0).set_board_id(k_board);
        unsetenv("ORLIX_SUC_UPDATE");
    }
    void TearDown() override { rfc_cleanup(); }

    int init()
    {
        fwupdate_init_params_s p;
        p.card_bdf = host.card(0).card_bdf;
        p.vxc_core_bdf = host.card(0).core_bdf;
        p.oper_dir = dir.file("oper");
        p.conf_dir = dir.file("conf");
        p.trace_level = trace_level_verbose;
        p.trace_cb = hook_trace::cb;
        p.trace_cb_ctxt = &trace;
        return fwupdate_init(p);
    }

    bool flash_untouched() const
    {
        for (uint32_t p = 0; p < FLASH_PARTITION_MAX; p++) {
            if (!host.partition_bytes(0, p).empty()) {
                return false;
            }
        }
        return true;
    }

    bool erased_anything() const
    {
        for (const auto& l : trace.capture.lines) {
            if (l.find("] Erasing ") != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    // every path under the engine's directories that is a link, or that is
    // named like a hostile member's target anywhere in the test's folder
    std::vector<std::string> intruders() const
    {
        std::vector<std::string> found;
        std::error_code ec;
        const fs::recursive_directory_iterator end;
        for (auto it = fs::recursive_directory_iterator(dir.path(), ec); !ec && it != end; it.increment(ec)) {
            const std::string path = it->path().string();
            if (path.rfind(dir.file("build"), 0) == 0) {
                it.disable_recursion_pending();  // the packages and their sources
                continue;
            }
            const std::string name = it->path().filename().string();
            if (it->symlink_status().type() == fs::file_type::symlink || name.find("evil") != std::string::npos) {
                found.push_back(path);
            }
            if (it->symlink_status().type() == fs::file_type::regular && it->path() != victim &&
                fs::hard_link_count(it->path()) > 1) {
                found.push_back(path + " (hard link)");
            }
        }
        return found;
    }

    std::string part(uint32_t id) const
    {
        auto b = host.partition_bytes(0, id);
        return std::string(b.begin(), b.end());
    }

    cardsim_host host{{1, {}, 0}};
    test_temp_dir dir{"fwupdate-hostile"};
    hook_trace trace;
    std::string victim;
};

TEST_F(FwupdateHostile, EachHostileKindIsRefusedBeforeTheFirstErase)
{
    victim = dir.file("victim");
    test_write_file(victim, "not to be touched\n");
    using F = fw_package_fault_e;
    struct case_s {
        F fault;
        std::string member;  // fault_member
        std::string target;  // fault_target
        std::string message; // "%P" stands for the package path
    };
    const std::string deep = "talmira/../../../../../../evil-deep";
    const std::string absolute = dir.file("abs-evil");
    // a name made to look like a listing's link arrow, with a newline in it
    const std::string arrow = "x\" -> \"\n/../evil-arrow";
    const std::string m = "Invalid package file %P, member ";
    const std::string leaves = " leaves the directory it is unpacked into";
    const case_s cases[] = {
        {F::dot_dot_member, "", "../evil", m + "\"../evil\"" + leaves},
        {F::dot_dot_member, "", deep, m + "\"" + deep + "\"" + leaves},
        {F::dot_dot_member, "", arrow, m + "\"x\\\" -> \\\"\\012/../evil-arrow\"" + leaves},
        {F::absolute_member, "", absolute, m + "\"" + absolute + "\" has an absolute path"},
        {F::symlink_member, "", dir.path(), m + "\"talmira/outside\" is a symbolic link to \"" + dir.path() + "\""},
        {F::symlink_member, "", "../../../../..", m + "\"talmira/outside\" is a symbolic link to \"../../../../..\""},
        {F::hardlink_member, "", victim, m + "\"talmira/outside\" is a hard link to \"" + victim + "\""},
        {F::fifo_member, "", "", m + "\"talmira/fifo\" is neither a regular file nor a directory"},
        {F::duplicate_member, "talmira/zephyr_pcie.img", "", m + "\"talmira/zephyr_pcie.img\" appears more than once"},
        {F::oversized_member, "talmira/zephyr_pcie.img", "", ""},  // message from the package's sizes
        {F::wrong_digest, "talmira/oprom.rom", "", "Package %P verification failed for talmira/oprom.rom"},
        {F::missing_member, "talmira/oprom.rom", "",
         m + "\"talmira/oprom.rom\" named in the manifest is not in the archive"},
    };
    int n = 0;
    for (const auto& c : cases) {
        ASSERT_EQ(init(), 0) << trace.capture.all();
        trace.capture.lines.clear();
        fw_package_options_s opt;
        opt.fault = c.fault;
        if (!c.member.empty()) {
            opt.fault_member = c.member;
        }
        opt.fault_target = c.target;
        std::string where = dir.file("build/" + std::to_string(n));
        fs::create_directories(where);
        fw_package pkg(where, opt);
        firmware_update_req_s req;
        // the package's own name is as awkward as a name gets
        req.package = pkg.build("it's \"p" + std::to_string(n++) + "\"; x.tar");
        std::string message = c.message;
        if (c.fault == F::oversized_member) {
            const auto* img = pkg.image(c.member);
            ASSERT_NE(img, nullptr);
            ASSERT_GT(img->bytes.size(), 16 * img->declared_size);
            message = m + "\"" + c.member + "\" holds " +
                      std::to_string(img->bytes.size()) + " bytes, its manifest declares " +
                      std::to_string(img->declared_size);
        }
        message.replace(message.find("%P"), 2, req.package);

        uint8_t progress = 0;
        std::string status;
        EXPECT_EQ(firmware_update(&req, &progress, status), 255) << message;
        EXPECT_TRUE(trace.capture.has(message)) << message << "\n" << trace.capture.all();
        EXPECT_FALSE(erased_anything()) << message;
        EXPECT_TRUE(flash_untouched()) << message;
        EXPECT_FALSE(host.flash(0).operation_started()) << message << ": the card was told the update was abandoned";
        EXPECT_EQ(host.boot_image(0), CARDSIM_IMAGE_A) << message;
        EXPECT_TRUE(fs::is_empty(fwupdate_tls().fwupgrade_bdf_dir)) << message;
        EXPECT_EQ(intruders(), std::vector<std::string>{}) << message;
        EXPECT_EQ(test_read_file(victim), "not to be touched\n") << message;
        EXPECT_FALSE(fs::exists(absolute)) << message;
    }
    // not beside the test's folder either
    EXPECT_FALSE(fs::exists(fs::path(dir.path()).parent_path() / "evil"));
    EXPECT_FALSE(fs::exists(fs::path(dir.path()).parent_path() / "evil-deep"));
}

TEST_F(FwupdateHostile, MembersAreCheckedOnEveryPathIntoTheConfigDir)
{
    // extract_package_files installs a package's files in the card config dir
    // on its own too: it refuses a hostile package the same way
    ASSERT_EQ(init(), 0) << trace.capture.all();
    fs::create_directories(dir.file("build"));
    fw_package_options_s opt;
    opt.fault = fw_package_fault_e::symlink_member;
    opt.fault_target = "/";
    opt.fault_member = "talmira/device_config.dtb";
    fw_package pkg(dir.file("build"), opt);
    firmware_update_req_s req;
    req.package = pkg.build("link.tar");
    EXPECT_EQ(extract_package_files(false, &req), 255);
    EXPECT_TRUE(trace.capture.has("Invalid package file " + req.package +
                                  ", member \"talmira/outside\" is a symbolic link to \"/\""))
        << trace.capture.all();
    EXPECT_EQ(intruders(), std::vector<std::string>{});
    EXPECT_NE(verify_package(req.package), 0);
}

TEST_F(FwupdateHostile, PackageChangedOnDiskAfterItsChecksIsNeverFlashed)
{
    ASSERT_EQ(init(), 0) << trace.capture.all();
    fs::create_directories(dir.file("build/a"));
    fs::create_directories(dir.file("build/b"));
    fw_package_options_s opt;
    opt.gold = true;
    fw_package good(dir.file("build/a"), opt);
    opt.seed = 2;  // another valid package: other bytes, its own right digests
    fw_package other(dir.file("build/b"), opt);
    const std::string path = good.build("gold pkg.tar");
    const std::string good_copy = dir.file("build/good.tar");
    fs::copy_file(path, good_copy);
    const std::string evil = other.build("other.tar");
    ASSERT_NE(good.partition_bytes("soc-gold-zephyr"), other.partition_bytes("soc-gold-zephyr"));

    // the file is swapped for the other package after its digests were
    // checked, swapped back before the dry run, and swapped again between
    // erase and write
    auto put = [&](const std::string& from) { fs::copy_file(from, path, fs::copy_options::overwrite_existing); };
    int swaps = 0;
    trace.on["Package file OK"] = [&] { put(evil), swaps++; };
    trace.on["Starting dry run"] = [&] { put(good_copy), swaps++; };
    trace.on["Erasing soc-gold-zephyr"] = [&] { put(evil), swaps++; };

    firmware_update_req_s req;
    req.package = path;
    req.names = {"goldfw"};
    uint8_t progress = 0;
    std::string status;
    ASSERT_EQ(firmware_update(&req, &progress, status), 0) << trace.capture.all();
    EXPECT_EQ(swaps, 3);
    EXPECT_EQ(part(flash_partition_from_name("soc-gold-zephyr")), good.partition_bytes("soc-gold-zephyr"));
    EXPECT_EQ(part(flash_partition_from_name("soc-gold-ubootspl")), good.partition_bytes("soc-gold-ubootspl"));
    EXPECT_TRUE(fs::is_empty(fwupdate_tls().fwupgrade_bdf_dir));

    // the private copy sits in a directory no one else can enter
    trace.on["Starting dry run"] = [&] {
        struct stat st = {};
        ASSERT_EQ(stat(fwupdate_tls().fwupgrade_bdf_dir.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        EXPECT_TRUE(fs::exists(fwupdate_tls().fwupgrade_bdf_dir + "package/gold pkg.tar"));
        put(evil);
    };
    put(good_copy);
    ASSERT_EQ(firmware_update(&req, &progress, status), 0) << trace.capture.all();
    EXPECT_EQ(part(flash_partition_from_name("soc-gold-zephyr")), good.partition_bytes("soc-gold-zephyr"));

    // the checks that decide the install (the gold check here) read the
    // private copy too: a package without a gold image swapped in the moment
    // the copy is made changes nothing
    fw_package_options_s plain_opt;
    plain_opt.seed = 3;
    fs::create_directories(dir.file("build/c"));
    fw_package plain(dir.file("build/c"), plain_opt);
    const std::string no_gold = plain.build("plain.tar");
    std::string work = fwupdate_tls().fwupgrade_bdf_dir;
    work.pop_back();
    trace.on["Package " + path + " copied to " + work + "/package/gold pkg.tar"] = [&] { put(no_gold), swaps++; };
    put(good_copy);
    ASSERT_EQ(firmware_update(&req, &progress, status), 0) << trace.capture.all();
    EXPECT_EQ(swaps, 4);
    EXPECT_EQ(part(flash_partition_from_name("soc-gold-zephyr")), good.partition_bytes("soc-gold-zephyr"));
}

TEST_F(FwupdateHostile, AwkwardPackageNameInstallsAndRunsNothingElse)
{
    // extraction and digests with such a name are covered on the host; this is
    // the whole update, private copy included
    ASSERT_EQ(init(), 0) << trace.capture.all();
    fs::create_directories(dir.file("build"));
    const std::string marker = dir.file("marker-made");
    fw_package_options_s opt;
    opt.gold = true;
    fw_package pkg(dir.file("build"), opt);
    firmware_update_req_s req;
    req.package = pkg.build("it's a \"pkg\"; touch " + fs::path(marker).filename().string() + "; $(touch " +
                            fs::path(marker).filename().string() + ") `x` .tar");
    req.names = {"goldfw"};
    uint8_t progress = 0;
    std::string status;
    const auto cwd = fs::current_path();
    fs::current_path(dir.path());  // where a smuggled "touch" would land
    int rc = firmware_update(&req, &progress, status);
    fs::current_path(cwd);
    ASSERT_EQ(rc, 0) << trace.capture.all();
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_EQ(part(flash_partition_from_name("soc-gold-zephyr")), pkg.partition_bytes("soc-gold-zephyr"));
}

}  // namespace
