// hostile and broken packages on an emulated card: each is refused before
// the first erase with a message naming the member or the reason, nothing
// lands outside the work directory, no link is left behind, and a package
// changed on disk while it is being installed never reaches the flash

#include <sys/stat.h>

#include "fwupdate/tests/fwupdate_test_support.h"

namespace fs = std::filesystem;

namespace {

class FwupdateHostile : public fw_emulated_card<::testing::Test> {
protected:
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
            if (it->symlink_status().type() == fs::file_type::symlink || test_has(name, "evil")) {
                found.push_back(path);
            }
            if (it->symlink_status().type() == fs::file_type::regular && it->path() != victim &&
                fs::hard_link_count(it->path()) > 1) {
                found.push_back(path + " (hard link)");
            }
        }
        return found;
    }

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
        std::vector<std::string> names = {};
        int rc = FWUPDATE_ERR;  // -1: any failure
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
        // broken, not hostile
        {F::wrong_digest, "", "", "Verification failed for talmira/zephyr_pcie.img"},
        {F::unknown_firmware, "", "", "Unknown firmware object bogusfw", {}, -1},
        {F::unsupported_algorithm, "", "", "Unsupported algorithm sha1 for fwobj soc fileobj kernel_fit fileobj index 0",
         {}, -1},
        {F::revoked_build, "", "", "Firmware version incompatible with this board 0x00000a01", {}, -1},
        {F::gold_without_option, "", "", "\"-g\" option required to install goldfw", {}, -1},
        {F::rev3, "", "", "Secure upgrade is not supported for talmira yet", {}, -1},
        {F::none, "", "", "Invalid image %P for goldfw update, no gold/goldfip found in MANIFEST", {"goldfw"}, -1},
    };
    int n = 0;
    for (const auto& c : cases) {
        ASSERT_EQ(init(), 0) << trace.all();
        trace.lines.clear();
        fw_package_options_s opt;
        opt.fault = c.fault;
        if (!c.member.empty()) {
            opt.fault_member = c.member;
        }
        opt.fault_target = c.target;
        fw_package pkg(dir.file("build/" + std::to_string(n)), opt);
        firmware_update_req_s req;
        // the package's own name is as awkward as a name gets
        req.package = pkg.build("it's \"p" + std::to_string(n++) + "\"; x.tar");
        req.names = c.names;
        const std::string revoked = fwupdate_globals().conf_dir + "talmira/fwcompat-revoked.json";
        fs::remove(revoked);
        if (c.fault == F::revoked_build) {
            pkg.write_revocation_list(revoked);
        }
        std::string message = c.message;
        if (c.fault == F::oversized_member && !c.member.empty()) {
            const auto* img = pkg.image(c.member);
            ASSERT_NE(img, nullptr);
            ASSERT_GT(img->bytes.size(), 16 * img->declared_size);
            message = m + "\"" + c.member + "\" holds " +
                      std::to_string(img->bytes.size()) + " bytes, its manifest declares " +
                      std::to_string(img->declared_size);
        }
        message = test_replace_all(message, "%P", req.package);
        const int rc = update(req);
        EXPECT_TRUE(c.rc == -1 ? rc != 0 : rc == c.rc) << rc << " " << message;
        EXPECT_TRUE(trace.has(message)) << message << "\n" << trace.all();
        EXPECT_FALSE(test_has(trace.all(), "] Erasing ")) << message;
        EXPECT_TRUE(flash_untouched()) << message;
        EXPECT_FALSE(host.flash(0).operation_started()) << message << ": the card was told the update was abandoned";
        EXPECT_EQ(host.boot_image(0), CARDSIM_IMAGE_A) << message;
        EXPECT_TRUE(fs::is_empty(fwupdate_tls().fwupgrade_bdf_dir)) << message;
        EXPECT_EQ(intruders(), std::vector<std::string>{}) << message;
        EXPECT_EQ(test_read_file(victim), "not to be touched\n") << message;
        EXPECT_FALSE(fs::exists(absolute)) << message;
        // the other ways into the card's configuration folder refuse it the same way
        if (c.fault >= F::dot_dot_member && c.fault <= F::duplicate_member) {
            EXPECT_EQ(extract_package_files(false, &req), 255) << message;
            EXPECT_NE(verify_package(req.package), 0) << message;
            EXPECT_EQ(intruders(), std::vector<std::string>{}) << message;
        }
    }
    fs::remove(fwupdate_globals().conf_dir + "talmira/fwcompat-revoked.json");
    // not beside the test's folder either
    EXPECT_FALSE(fs::exists(fs::path(dir.path()).parent_path() / "evil"));
    EXPECT_FALSE(fs::exists(fs::path(dir.path()).parent_path() / "evil-deep"));
}

TEST_F(FwupdateHostile, PackageChangedOnDiskAfterItsChecksIsNeverFlashed)
{
    // the package's name would run commands if any were not quoted; they
    // would leave their marker in the working directory
    const std::string marker = "marker-made";
    const auto cwd = fs::current_path();
    fs::current_path(dir.path());
    struct restore_s {
        fs::path to;
        ~restore_s() { fs::current_path(to); }
    } restore{cwd};
    ASSERT_EQ(init(), 0) << trace.all();
    fw_package_options_s opt;
    opt.gold = true;
    opt.algorithms = {"sha512", "sha256", "md5"};  // every digest the manifests may name
    fw_package good(dir.file("build/a"), opt);
    opt.seed = 2;  // another valid package: other bytes, its own right digests
    fw_package other(dir.file("build/b"), opt);
    const std::string name = "it's a \"pkg\"; touch " + marker + "; $(touch " + marker + ") `x` .tar";
    const std::string path = good.build(name);
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
    ASSERT_EQ(update(req), 0) << trace.all();
    EXPECT_EQ(swaps, 3);
    EXPECT_EQ(bytes("soc-gold-zephyr"), good.partition_bytes("soc-gold-zephyr"));
    EXPECT_EQ(bytes("soc-gold-ubootspl"), good.partition_bytes("soc-gold-ubootspl"));
    EXPECT_TRUE(fs::is_empty(fwupdate_tls().fwupgrade_bdf_dir));

    // the private copy sits in a directory no one else can enter
    trace.on["Starting dry run"] = [&] {
        struct stat st = {};
        ASSERT_EQ(stat(fwupdate_tls().fwupgrade_bdf_dir.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        EXPECT_TRUE(fs::exists(fwupdate_tls().fwupgrade_bdf_dir + "package/" + name));
        put(evil);
    };
    put(good_copy);
    ASSERT_EQ(update(req), 0) << trace.all();
    EXPECT_EQ(bytes("soc-gold-zephyr"), good.partition_bytes("soc-gold-zephyr"));

    // the checks that decide the install (the gold check here) read the
    // private copy too: a package without a gold image swapped in the moment
    // the copy is made changes nothing
    fw_package_options_s plain_opt;
    plain_opt.seed = 3;
    fw_package plain(dir.file("build/c"), plain_opt);
    const std::string no_gold = plain.build("plain.tar");
    std::string work = fwupdate_tls().fwupgrade_bdf_dir;
    work.pop_back();
    trace.on["Package " + path + " copied to " + work + "/package/" + name] = [&] { put(no_gold), swaps++; };
    put(good_copy);
    ASSERT_EQ(update(req), 0) << trace.all();
    EXPECT_EQ(swaps, 4);
    EXPECT_EQ(bytes("soc-gold-zephyr"), good.partition_bytes("soc-gold-zephyr"));
    EXPECT_FALSE(fs::exists(dir.file(marker)));
}

}  // namespace
