#include "tests/support/fw_package.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>

#include "ipc/shell_command.h"
#include "tests/support/process_runner.h"

// the package is judged by the tools the engine uses on it: tar lists and
// extracts it, jq reads its manifests, the digest tools check every entry

namespace {

ipc_shell_result_s sh(std::string_view tmpl, std::initializer_list<std::string_view> values)
{
    return ipc_shell_run(ipc_shell_command(tmpl, values));
}

// jq -e FILTER on one member of the package; true when the filter holds
bool jq_holds(const std::string& package, const std::string& member, const std::string& filter)
{
    return sh("tar -xaOf {} {} | jq -e {} >/dev/null", {package, member, filter}).ok();
}

std::vector<std::string> jq_lines(const std::string& package, const std::string& member, const std::string& filter)
{
    auto r = sh("tar -xaOf {} {} | jq -r {}", {package, member, filter});
    EXPECT_TRUE(r.ok()) << filter;
    return r.lines;
}

void expect_holds(const std::string& package, const std::string& member, const std::vector<std::string>& filters)
{
    for (auto& f : filters)
        EXPECT_TRUE(jq_holds(package, member, f)) << member << ": " << f;
}

std::set<std::string> tar_members(const std::string& package)
{
    auto r = sh("tar -taf {}", {package});
    EXPECT_TRUE(r.ok());
    return {r.lines.begin(), r.lines.end()};
}

const std::map<std::string, std::string> k_tools = {
    {"md5", "md5sum"}, {"sha256", "sha256sum"}, {"sha512", "sha512sum"}, {"sha1", "sha1sum"}};

// every digest the manifests declare, checked against the member in the
// archive: name -> "ok", "mismatch" or "missing"
std::map<std::string, std::string> check_digests(const std::string& package)
{
    auto entries = jq_lines(package, "talmira/MANIFEST",
                            "(.firmware[].files[][], .bitfiles[], .fw_cfg[], .device_config[], .oprom[])"
                            " | \"\\(.verify.algorithm) \\(.verify.hash) \\(.name)\"");
    for (auto& line : jq_lines(package, "MANIFEST", ".asic_manifests[] | \"\\(.verify.algorithm) \\(.verify.hash) \\(.name)\""))
        entries.push_back(line);
    std::map<std::string, std::string> out;
    for (auto& line : entries) {
        auto a = line.find(' '), b = line.find(' ', a + 1);
        std::string algo = line.substr(0, a), hash = line.substr(a + 1, b - a - 1), name = line.substr(b + 1);
        if (!sh("tar -taf {} {} >/dev/null 2>&1", {package, name}).ok()) {
            out[name] = "missing";
            continue;
        }
        auto r = ipc_shell_run(ipc_shell_command("tar -xaOf {} {} | ", {package, name}) + k_tools.at(algo));
        out[name] = r.ok() && !r.lines.empty() && r.lines[0].substr(0, r.lines[0].find(' ')) == hash ? "ok" : "mismatch";
    }
    return out;
}

std::map<std::string, std::string> all_ok(const fw_package& pkg)
{
    std::map<std::string, std::string> out = {{"talmira/MANIFEST", "ok"}};
    for (auto& file : pkg.images())
        out[file.name] = "ok";
    return out;
}

}  // namespace

TEST(fw_package, layout_manifests_digests_and_partitions)
{
    test_temp_dir dir("fw-package");
    fw_package_options_s opts;
    opts.sizes = {{"soc-zephyr", 70001}};
    fw_package pkg(dir.path(), opts);
    // a name the shell would split, quote or run if it were not quoted
    const std::string name = "it's a pkg; touch fw_pkg_pwned $(touch fw_pkg_pwned2).tar.gz";
    std::string path = pkg.build(name);
    EXPECT_EQ(path, dir.file(name));
    EXPECT_EQ(pkg.path(), path);
    EXPECT_FALSE(std::filesystem::exists("fw_pkg_pwned"));
    EXPECT_FALSE(std::filesystem::exists("fw_pkg_pwned2"));
    EXPECT_FALSE(std::filesystem::exists(dir.file("fw_pkg_pwned")));
    EXPECT_EQ(test_read_file(path).substr(0, 2), "\x1f\x8b");  // gzip, from the suffix

    auto members = pkg.members();
    EXPECT_EQ(tar_members(path), std::set<std::string>(members.begin(), members.end()));
    EXPECT_TRUE(tar_members(path).count("MANIFEST"));
    EXPECT_FALSE(tar_members(path).count("card_profile.json"));

    expect_holds(path, "MANIFEST",
                 {".package_version == \"2\"", ".software_version == \"1.4.2-E-57\"",
                  ".asic_compat_list == [\"talmira\"]", ".asic_manifests[.asic_compat_list[0]].name == \"talmira/MANIFEST\"",
                  ".asic_manifests.talmira.verify.algorithm == \"sha512\"",
                  ".package_compat == {\"board_policy\": \"accept\", \"boardid\": [\"0x00000a01\"]}",
                  "(.firmware | keys) == [\"soc\", \"suc\", \"uboot_tpl\"]", ".firmware.soc.type == \"soc\""});
    expect_holds(path, "talmira/MANIFEST",
                 {".software_version == \"1.4.2-E-57\"", "(.firmware | keys) == [\"soc\", \"suc\", \"uboot_tpl\"]",
                  "[.firmware | to_entries[] | .key == .value.type] | all",
                  "(.firmware.soc.files | keys) == [\"kernel_fit\", \"uboot\", \"uboot_spl\"]",
                  "(.firmware.suc.files | keys) == [\"boot\", \"kernel_fit\"]",
                  "(.firmware.uboot_tpl.files | keys) == [\"image\"]",
                  ".firmware.soc.files.kernel_fit[0].name | contains(\"zephyr_pcie.img\")",
                  ".firmware.uboot_tpl.files.image[0].image_version == \"2.0.0\"",
                  ".firmware.soc.files.uboot[0].image_version == \"1.4.2\"",
                  ".firmware.suc.files.boot[0].board_id == [\"#\"]",
                  ".bitfiles == [.bitfiles[0]] and .bitfiles[0].board_id == [\"0x00000a01\"]",
                  "[.fw_cfg[].name] == [\"talmira/firmware_config_0x00000a01.bin\", \"talmira/firmware_config_default.bin\"]",
                  "[.device_config[].name] == [\"talmira/device_config.dtb\"]", ".oprom | length == 1",
                  "[.. | .verify? | select(. != null) | .algorithm == \"sha512\" and (.hash | length) == 128] | all"});
    EXPECT_EQ(check_digests(path), all_ok(pkg));

    // what each partition receives, by the engine's tables
    std::map<std::string, std::string> want = {
        {"soc-zephyr", "talmira/zephyr_pcie.img"},
        {"soc-uboot", "talmira/uboot.img"},
        {"soc-ubootspl", "talmira/uboot_spl.img"},
        {"suc-app", "talmira/suc_app.img"},
        {"suc-boot", "talmira/suc_boot.img"},
        {"soc-uboottpl", "talmira/uboot_tpl.img"},
        {"fpga-cfg", "talmira/cpld_0x00000a01.bit"},
        {"soc-fwcfg", "talmira/firmware_config_0x00000a01.bin"},
        {"soc-dtb", "talmira/device_config.dtb"},
        {"oprom", "talmira/oprom.rom"},
    };
    EXPECT_EQ(pkg.partitions(), want);
    ASSERT_TRUE(sh("mkdir -p {} && tar -xaf {} -C {}", {dir.file("x"), path, dir.file("x")}).ok());
    for (auto& [partition, member] : want) {
        EXPECT_EQ(pkg.partition_bytes(partition), test_read_file(dir.file("x/" + member))) << partition;
        // the engine takes the size from the third column of the listing
        auto size = sh("tar tvf {} {} | awk '{ print $3}'", {path, member});
        ASSERT_EQ(size.lines.size(), 1u);
        EXPECT_EQ(std::stoul(size.lines[0]), pkg.partition_bytes(partition).size()) << partition;
    }
    EXPECT_EQ(pkg.partition_bytes("soc-zephyr").size(), 70001u);
    EXPECT_EQ(pkg.partition_bytes("soc-gold-zephyr"), "");
    EXPECT_EQ(pkg.partition_bytes("no-such-partition"), "");

    // the same seed gives the same bytes, another seed other bytes
    test_temp_dir dir2("fw-package");
    fw_package same(dir2.path(), opts);
    opts.seed = 2;
    fw_package other(dir2.path(), opts);
    for (auto& [partition, member] : want) {
        EXPECT_EQ(same.partition_bytes(partition), pkg.partition_bytes(partition)) << partition;
        EXPECT_NE(other.partition_bytes(partition), pkg.partition_bytes(partition)) << partition;
    }
}

TEST(fw_package, plain_tar_mixed_digests_profiles_gold_and_policy)
{
    test_temp_dir dir("fw-package");
    fw_package_options_s opts;
    opts.algorithms = {"md5", "sha256", "sha512"};
    opts.gold = true;
    opts.partition_table = true;
    opts.card_profile = true;
    opts.fw_cfg_for_board = false;
    opts.package_version = "";
    opts.board_policy2 = "match-boardid";
    opts.boardids = {"0x00000001", "0x00000a01"};
    fw_package pkg(dir.path(), opts);
    std::string path = pkg.build("plain.tar");
    EXPECT_EQ(test_read_file(path).substr(257, 5), "ustar");  // not compressed

    expect_holds(path, "MANIFEST",
                 {"has(\"package_version\") | not", ".package_compat.board_policy == \"accept\"",
                  ".package_compat.board_policy2 == \"match-boardid\"",
                  ".package_compat.boardid == [\"0x00000001\", \"0x00000a01\"]",
                  "(.firmware | keys) == [\"gold\", \"partition_table\", \"soc\", \"suc\", \"uboot_tpl\"]"});
    expect_holds(path, "talmira/MANIFEST",
                 {"(.firmware.gold.files | keys) == [\"goldubootspl\", \"kernel_fit\"]",
                  ".firmware.gold.files.goldubootspl[0].name | contains(\"uboot_spl\")",
                  ".firmware.gold.files.kernel_fit[0].name | contains(\"uboot_spl\") | not",
                  ".firmware.partition_table.files.image | length == 1",
                  "[.fw_cfg[].name] == [\"talmira/firmware_config_default.bin\"]",
                  "[.device_config[].name] == [\"talmira/device_config.dtb\", \"talmira/device_config_rdma_2x400G.dtb\"]",
                  "[.. | .verify? | select(. != null) | .algorithm] | unique == [\"md5\", \"sha256\", \"sha512\"]",
                  "[.. | .verify? | select(. != null) | (.hash | length) == "
                  "({\"md5\": 32, \"sha256\": 64, \"sha512\": 128}[.algorithm])] | all"});
    EXPECT_EQ(check_digests(path), all_ok(pkg));

    // the profile file, read the way the engine and the library read it
    auto profiles = sh("tar -axf {} --no-anchored card_profile.json -O | jq -e {} >/dev/null",
                       {path, ".profile | length == 2 and .[0] == {\"name\": \"default\", \"description\": "
                              "\"default profile\", \"device_config\": \"device_config\", \"memory_config\": "
                              "\"default\"} and .[1].device_config == \"device_config_rdma_2x400G\" and .[1].port == "
                              "[{\"port\": \"1\", \"breakout_mode\": \"2x400g-4\"}, {\"port\": \"2\", "
                              "\"breakout_mode\": \"2x400g-4\"}]"});
    EXPECT_TRUE(profiles.ok());
    ASSERT_TRUE(sh("mkdir -p {} && tar -axf {} -C {}/ --no-anchored --wildcards 'device_config*'",
                   {dir.file("conf"), path, dir.file("conf")})
                    .ok());
    EXPECT_EQ(test_read_file(dir.file("conf/talmira/device_config_rdma_2x400G.dtb")),
              pkg.partition_bytes("soc-dtb", "rdma"));
    EXPECT_EQ(test_read_file(dir.file("conf/talmira/device_config.dtb")), pkg.partition_bytes("soc-dtb", "default"));
    EXPECT_EQ(pkg.partition_bytes("soc-dtb"), pkg.partition_bytes("soc-dtb", "default"));
    EXPECT_NE(pkg.partition_bytes("soc-dtb"), pkg.partition_bytes("soc-dtb", "rdma"));
    EXPECT_EQ(pkg.partition_bytes("soc-dtb", "no-such-profile"), pkg.partition_bytes("soc-dtb"));

    EXPECT_EQ(pkg.partitions().at("soc-fwcfg"), "talmira/firmware_config_default.bin");
    EXPECT_EQ(pkg.partitions().at("soc-gold-zephyr"), "talmira/gold_kernel_fit.img");
    EXPECT_EQ(pkg.partitions().at("soc-gold-ubootspl"), "talmira/gold_uboot_spl.img");
    EXPECT_EQ(pkg.partitions().at("soc-partition-table"), "talmira/partition_table.img");
    EXPECT_FALSE(pkg.partition_bytes("soc-gold-zephyr").empty());

    // other compressions follow the name too
    for (auto [suffix, magic] : {std::pair<const char*, std::string>{".tar.xz", "\xfd" "7zXZ"}, {".tgz", "\x1f\x8b"}}) {
        std::string p = pkg.build(std::string("pkg") + suffix);
        EXPECT_EQ(test_read_file(p).substr(0, magic.size()), magic) << suffix;
        EXPECT_EQ(check_digests(p), all_ok(pkg)) << suffix;
    }
}

TEST(fw_package, broken_variants)
{
    using F = fw_package_fault_e;
    struct variant_s {
        F fault;
        std::string target;                              // fault_member ("" keeps the default)
        std::vector<std::string> manifest, asic;         // jq filters that must hold
        std::map<std::string, std::string> digests;      // digest results that differ from all ok
    };
    const variant_s variants[] = {
        {F::missing_member, "", {}, {".firmware.soc.files.kernel_fit[0].name == \"talmira/zephyr_pcie.img\""},
         {{"talmira/zephyr_pcie.img", "missing"}}},
        {F::missing_member, "talmira/MANIFEST", {".asic_manifests.talmira.name == \"talmira/MANIFEST\""}, {}, {}},
        {F::wrong_digest, "", {}, {}, {{"talmira/zephyr_pcie.img", "mismatch"}}},
        {F::wrong_digest, "talmira/MANIFEST", {}, {}, {{"talmira/MANIFEST", "mismatch"}}},
        {F::wrong_digest, "talmira/oprom.rom", {}, {}, {{"talmira/oprom.rom", "mismatch"}}},
        {F::unknown_firmware, "", {".firmware | has(\"bogusfw\")"},
         {".firmware.bogusfw.type == \"bogusfw\"", ".firmware.bogusfw.files.image[0].name == \"talmira/bogusfw.img\""},
         {}},
        {F::gold_without_option, "", {".firmware | has(\"gold\")"}, {".firmware | has(\"gold\")"}, {}},
        {F::rev3, "", {".package_version == \"3\""}, {}, {}},
        {F::unsupported_algorithm, "talmira/uboot.img", {},
         {".firmware.soc.files.uboot[0].verify.algorithm == \"sha1\"",
          ".firmware.soc.files.uboot[0].verify.hash | length == 40"},
         {}},
        {F::revoked_build, "", {".package_version == \"2\""}, {"(.firmware | keys) == [\"soc\", \"suc\", \"uboot_tpl\"]"}, {}},
    };
    for (auto& v : variants) {
        SCOPED_TRACE("fault " + std::to_string(int(v.fault)) + " on " + v.target);
        test_temp_dir dir("fw-package");
        fw_package_options_s opts;
        opts.fault = v.fault;
        if (!v.target.empty())
            opts.fault_member = v.target;
        fw_package pkg(dir.path(), opts);
        std::string path = pkg.build("broken.tar.gz");
        auto members = tar_members(path);
        bool missing = v.fault == F::missing_member;
        EXPECT_EQ(members.count(opts.fault_member), missing ? 0u : 1u);
        if (missing && opts.fault_member == "talmira/MANIFEST") {
            EXPECT_TRUE(members.count("MANIFEST"));
            expect_holds(path, "MANIFEST", v.manifest);
            continue;
        }
        expect_holds(path, "MANIFEST", v.manifest);
        expect_holds(path, "talmira/MANIFEST", v.asic);
        auto want = all_ok(pkg);
        for (auto& [name, result] : v.digests)
            want[name] = result;
        // only the one entry is broken; the rest of the package still checks out
        EXPECT_EQ(check_digests(path), want);
        // a gold image or an unknown object changes what the package carries
        EXPECT_EQ(pkg.partitions().count("soc-gold-zephyr"), v.fault == F::gold_without_option ? 1u : 0u);
    }
}

TEST(fw_package, hostile_variants)
{
    // the engine's own tests read each hostile member's name and type back
    // from its messages; here what those cannot show: the good members stay,
    // a duplicate holds other bytes, an oversized member keeps a right digest
    using F = fw_package_fault_e;
    test_temp_dir dir("fw-package");
    fw_package_options_s opts;
    opts.fault = F::duplicate_member;
    fw_package dup(dir.path(), opts);
    EXPECT_THROW(dup.build("dup.tar.gz"), std::runtime_error) << "appending needs a plain tar";
    std::string path = dup.build("dup.tar");
    auto r = sh("tar -tPf {}", {path});
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(std::count(r.lines.begin(), r.lines.end(), "talmira/zephyr_pcie.img"), 2);
    EXPECT_EQ(r.lines.size(), dup.members().size() + 1);
    auto first = sh("tar -xOf {} --occurrence=1 talmira/zephyr_pcie.img | sha512sum", {path});
    // both copies, one after the other: the second is not the first again
    auto both = sh("tar -xOf {} talmira/zephyr_pcie.img | wc -c", {path});
    ASSERT_FALSE(first.lines.empty());
    ASSERT_FALSE(both.lines.empty());
    EXPECT_EQ(first.lines[0].substr(0, 128), dup.image("talmira/zephyr_pcie.img")->hash);
    const size_t size = dup.image("talmira/zephyr_pcie.img")->bytes.size();
    EXPECT_GT(std::stoul(both.lines[0]), size);
    EXPECT_NE(std::stoul(both.lines[0]), 2 * size);

    opts.fault = F::oversized_member;
    fw_package big(dir.path(), opts);
    path = big.build("big.tar");
    const auto* img = big.image("talmira/zephyr_pcie.img");
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(jq_lines(path, "talmira/MANIFEST", ".firmware.soc.files.kernel_fit[0].size"),
              std::vector<std::string>{std::to_string(img->declared_size)});
    EXPECT_GT(img->bytes.size(), 16 * img->declared_size);
    EXPECT_EQ(check_digests(path), all_ok(big));
}

TEST(fw_package, revocation_lists)
{
    test_temp_dir dir("fw-package");
    // the engine reads conf dir + asic name + "/fwcompat-revoked.json"
    const std::string list = dir.file("conf dir 'x'/talmira/fwcompat-revoked.json");
    auto revoked = [&](const std::string& board, const std::string& tree, int build) {
        auto r = sh("jq -e --arg b {} --arg t {} --argjson n {} {} {} >/dev/null",
                    {board, tree, std::to_string(build),
                     "[.[$b][$t][] | ((.min == \"#\" and .max == \"#\") or "
                     "((.min | tonumber) < $n and $n < (.max | tonumber)))] | any",
                     list});
        return r.ok();
    };

    fw_package_options_s opts;
    fw_package good(dir.path(), opts);
    EXPECT_EQ(good.release_tree(), "1.4.2-E");
    EXPECT_EQ(good.build_number(), "57");
    EXPECT_EQ(good.write_revocation_list(list), list);
    EXPECT_TRUE(sh("jq -e {} {} >/dev/null", {".[\"0x00000a01\"][\"1.4.2-E\"] == [{\"min\": \"57\", \"max\": \"67\"}]", list}).ok());
    EXPECT_FALSE(revoked("0x00000a01", "1.4.2-E", 57));  // bounds are exclusive
    EXPECT_TRUE(revoked("0x00000a01", "1.4.2-E", 58));

    opts.fault = fw_package_fault_e::revoked_build;
    fw_package bad(dir.path(), opts);
    bad.write_revocation_list(list);
    EXPECT_TRUE(revoked("0x00000a01", "1.4.2-E", 57));
    EXPECT_FALSE(revoked("0x00000a01", "1.4.2-E", 56));

    opts.revoked_ranges = {{"#", "#"}};
    opts.board_id = "0x0000beef";
    opts.software_version = "3.0.0-12";
    fw_package tree(dir.path(), opts);
    tree.write_revocation_list(list);
    EXPECT_EQ(tree.release_tree(), "3.0.0");
    EXPECT_TRUE(revoked("0x0000beef", "3.0.0", 1));

    // the three version shapes the engine splits, and one it cannot
    for (auto [version, want_tree, want_build] : {std::tuple<const char*, const char*, const char*>{"2.1-b-7", "2.1-b", "7"},
                                                  {"10.20.30-Z-4000", "10.20.30-Z", "4000"},
                                                  {"unversioned", "", ""}}) {
        opts.software_version = version;
        opts.revoked_ranges.clear();
        fw_package p(dir.path(), opts);
        EXPECT_EQ(p.release_tree(), want_tree) << version;
        EXPECT_EQ(p.build_number(), want_build) << version;
        if (*want_build == '\0') {
            EXPECT_THROW(p.write_revocation_list(list), std::runtime_error);
        }
    }
}

TEST(fw_package, bad_input_gives_clear_errors)
{
    test_temp_dir dir("fw-package");
    auto message = [](auto&& make) -> std::string {
        try {
            make();
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "no error";
    };
    fw_package_options_s opts;
    opts.algorithms = {"crc32"};
    EXPECT_NE(message([&] { fw_package p(dir.path(), opts); }).find("crc32"), std::string::npos);
    opts.algorithms = {};
    EXPECT_NE(message([&] { fw_package p(dir.path(), opts); }).find("algorithm"), std::string::npos);
    EXPECT_NE(message([&] { fw_package p(dir.file("no/such/dir"), {}); }).find("no/such/dir"), std::string::npos);

    fw_package pkg(dir.path());
    EXPECT_NE(message([&] { pkg.build("a/b.tar"); }).find("plain file name"), std::string::npos);
    EXPECT_NE(message([&] { pkg.build(""); }).find("plain file name"), std::string::npos);
    EXPECT_TRUE(pkg.path().empty());
    EXPECT_EQ(pkg.image("no/such/member"), nullptr);
    ASSERT_NE(pkg.image("talmira/MANIFEST"), nullptr);
    EXPECT_EQ(pkg.image("talmira/MANIFEST")->algorithm, "sha512");
    // a package whose folder went away before the archive was written
    std::filesystem::create_directories(dir.file("gone"));
    fw_package gone(dir.file("gone"));
    std::filesystem::remove_all(dir.file("gone"));
    EXPECT_NE(message([&] { gone.build("p.tar"); }).find("tar could not write"), std::string::npos);
}
