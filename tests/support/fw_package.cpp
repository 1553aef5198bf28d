// the test firmware package builder: images, manifests, digests, hostile members, the archive

#include "tests/support/fw_package.h"
#include "tests/support/process_runner.h"

#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "ipc/shell_command.h"

namespace {

using json = nlohmann::ordered_json;

// which switch puts a row into the package
enum row_group_e { ROW_BASE, ROW_GOLD, ROW_UNKNOWN };

// the package's files: firmware objects (with a file kind) and the four
// manifest lists (without one), the partition each lands in, and a default
// size. "{board}" in a name stands for the board id; such entries list that
// board in ".board_id", every other entry lists "#".
struct fw_row_s {
    const char* section;
    const char* kind;
    const char* partition;
    const char* member;
    size_t size;
    row_group_e group;
};

const fw_row_s k_rows[] = {
    {"uboot_tpl", "image", "soc-uboottpl", "talmira/uboot_tpl.img", 6001, ROW_BASE},
    {"suc", "kernel_fit", "suc-app", "talmira/suc_app.img", 12003, ROW_BASE},
    {"suc", "boot", "suc-boot", "talmira/suc_boot.img", 5005, ROW_BASE},
    {"soc", "kernel_fit", "soc-zephyr", "talmira/zephyr_pcie.img", 20007, ROW_BASE},
    {"soc", "uboot", "soc-uboot", "talmira/uboot.img", 7009, ROW_BASE},
    {"soc", "uboot_spl", "soc-ubootspl", "talmira/uboot_spl.img", 3011, ROW_BASE},
    // the engine tells the two gold files apart by "uboot_spl" in the name
    {"gold", "kernel_fit", "soc-gold-zephyr", "talmira/gold_kernel_fit.img", 15013, ROW_GOLD},
    {"gold", "goldubootspl", "soc-gold-ubootspl", "talmira/gold_uboot_spl.img", 3015, ROW_GOLD},
    {"bogusfw", "image", "", "talmira/bogusfw.img", 1017, ROW_UNKNOWN},
    {"bitfiles", "", "fpga-cfg", "talmira/cpld_{board}.bit", 9019, ROW_BASE},
    // the board's own config wins over the default one: first row first
    {"fw_cfg", "", "soc-fwcfg", "talmira/firmware_config_{board}.bin", 2021, ROW_BASE},
    {"fw_cfg", "", "soc-fwcfg", "talmira/firmware_config_default.bin", 2023, ROW_BASE},
    {"device_config", "", "soc-dtb", "talmira/device_config.dtb", 2525, ROW_BASE},
    {"oprom", "", "oprom", "talmira/oprom.rom", 8027, ROW_BASE},
};

const char* const k_lists[] = {"bitfiles", "fw_cfg", "device_config", "oprom"};

const std::pair<const char*, const char*> k_digest_tools[] = {
    {"md5", "md5sum"}, {"sha256", "sha256sum"}, {"sha512", "sha512sum"}, {"sha1", "sha1sum"}};

const char* const k_asic = "talmira";
const char* const k_asic_manifest = "talmira/MANIFEST";
const char* const k_profile_file = "card_profile.json";

// profile device-config names that select the generic blob
bool generic_device_config(const std::string& name)
{
    return name.empty() || name == "device_config" || name == "default" || name == "device_config_rdma_1x800G";
}

void fail(const std::string& what)
{
    throw std::runtime_error("fw_package: " + what);
}

// deterministic pseudo-random bytes for (seed, name)
std::string fw_package_content(uint64_t seed, const std::string& name, size_t size)
{
    // fnv-1a of the name mixed into the seed, then splitmix64
    uint64_t state = 0xcbf29ce484222325ull;
    for (unsigned char c : name)
        state = (state ^ c) * 0x100000001b3ull;
    state ^= seed * 0x9e3779b97f4a7c15ull;
    std::string out(size, '\0');
    for (size_t i = 0; i < size; i += 8) {
        uint64_t z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        z ^= z >> 31;
        for (size_t b = 0; b < 8 && i + b < size; b++)
            out[i + b] = char(z >> (8 * b));
    }
    return out;
}

// hex digest of a file with the tool of a digest algorithm
std::string fw_package_digest(const std::string& algorithm, const std::string& file)
{
    for (auto& [algo, tool] : k_digest_tools) {
        if (algorithm != algo)
            continue;
        auto r = ipc_shell_run(ipc_shell_command(std::string(tool) + " < {}", {file}));
        if (!r.ok() || r.lines.empty())
            fail(std::string(tool) + " failed on " + file);
        return r.lines[0].substr(0, r.lines[0].find(' '));
    }
    fail("no digest tool for algorithm \"" + algorithm + "\"");
    return {};
}

}  // namespace

fw_package::fw_package(std::string dir, fw_package_options_s options) : opt_(std::move(options)), dir_(std::move(dir))
{
    if (opt_.algorithms.empty())
        fail("no digest algorithm given");
    std::error_code ec;
    std::filesystem::create_directories(dir_, ec);
    std::string tmpl = dir_ + "/fw-package-stage.XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr)
        fail("cannot make a staging folder in " + dir_);
    stage_ = tmpl;

    const std::regex splits[] = {std::regex("([0-9]+.[0-9]+.[0-9]+-[a-zA-Z])-([0-9]+)"),
                                 std::regex("([0-9]+.[0-9]+-[a-zA-Z])-([0-9]+)"),
                                 std::regex("([0-9]+.[0-9]+.[0-9]+)-([0-9]+)")};
    for (auto& re : splits) {
        std::smatch m;
        if (std::regex_search(opt_.software_version, m, re)) {
            tree_ = m[1];
            build_ = m[2];
            break;
        }
    }

    const auto f = opt_.fault;
    const bool groups[] = {true, opt_.gold || f == fw_package_fault_e::gold_without_option,
                           f == fw_package_fault_e::unknown_firmware};
    std::vector<fw_package_member_s> files;
    auto add = [&](std::string name, const char* section, const char* kind, const char* partition, size_t size) {
        bool board = name.find("{board}") != std::string::npos;
        files.push_back({test_replace_all(name, "{board}", opt_.board_id), section, kind, partition,
                         board ? opt_.board_id : "#", "", "", "", size});
    };
    for (auto& row : k_rows) {
        if (groups[row.group])
            add(row.member, row.section, row.kind, row.partition, row.size);
    }
    // a profile that names its own device config brings its own blob
    std::set<std::string> blobs;
    for (auto& p : opt_.card_profile ? opt_.profiles : std::vector<fw_card_profile_s>{}) {
        if (!generic_device_config(p.device_config) && blobs.insert(p.device_config).second)
            add(std::string(k_asic) + "/" + p.device_config + ".dtb", "device_config", "", "", 2525);
    }
    for (size_t i = 0; i < files.size(); i++) {
        size_t size = files[i].declared_size;
        if (f == fw_package_fault_e::oversized_member && files[i].name == opt_.fault_member)
            size = size * 16 + (1u << 20);
        files[i].bytes = fw_package_content(opt_.seed, files[i].name, size);
        write_member(files[i].name, files[i].bytes);
        declare(files[i], opt_.algorithms[i % opt_.algorithms.size()]);
    }
    images_ = std::move(files);

    asic_ = {k_asic_manifest, "", "", "", "", "", "", asic_manifest()};
    write_member(asic_.name, asic_.bytes);
    declare(asic_, opt_.algorithms[0]);
    write_member("MANIFEST", package_manifest());
    if (opt_.card_profile)
        write_member(k_profile_file, card_profile());
}

fw_package::~fw_package()
{
    std::error_code ec;
    std::filesystem::remove_all(stage_, ec);
}

void fw_package::declare(fw_package_member_s& file, const std::string& algorithm) const
{
    const bool target = file.name == opt_.fault_member;
    file.algorithm = target && opt_.fault == fw_package_fault_e::unsupported_algorithm ? "sha1" : algorithm;
    file.hash = fw_package_digest(file.algorithm, stage_ + "/" + file.name);
    if (target && opt_.fault == fw_package_fault_e::wrong_digest)
        file.hash.back() = file.hash.back() == '0' ? '1' : '0';
    if (target && opt_.fault == fw_package_fault_e::upper_case_digest)
        for (char& c : file.hash)
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
}

void fw_package::write_member(const std::string& member, const std::string& bytes) const
{
    std::filesystem::path path = stage_ + "/" + member;
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    if (!out.flush())
        fail("cannot write " + path.string());
}

// a manifest entry: name, size, boards, version, digest
static json entry_json(const fw_package_member_s& file)
{
    return {{"name", file.name},
            {"size", file.declared_size},
            {"board_id", json::array({file.board_id})},
            {"image_version", file.section == "uboot_tpl" ? "2.0.0" : "1.4.2"},
            {"verify", {{"algorithm", file.algorithm}, {"hash", file.hash}}}};
}

// firmware objects and their file kinds, in table order
static json firmware_json(const std::vector<fw_package_member_s>& images)
{
    json out = json::object();
    for (auto& file : images) {
        if (!file.kind.empty()) {
            out[file.section]["type"] = file.section;
            out[file.section]["files"][file.kind].push_back(entry_json(file));
        }
    }
    return out;
}

std::string fw_package::asic_manifest() const
{
    json out = {{"software_version", opt_.software_version}, {"firmware", firmware_json(images_)}};
    for (auto list : k_lists) {
        out[list] = json::array();
        for (auto& file : images_) {
            if (file.kind.empty() && file.section == list)
                out[list].push_back(entry_json(file));
        }
    }
    return out.dump(2) + "\n";
}

std::string fw_package::package_manifest() const
{
    std::string version = opt_.fault == fw_package_fault_e::rev3 ? "3" : opt_.package_version;
    json out = json::object();
    if (!version.empty())
        out["package_version"] = version;
    out["software_version"] = opt_.software_version;
    out["firmware"] = firmware_json(images_);
    out["asic_compat_list"] = json::array({k_asic});
    out["asic_manifests"][k_asic] = {{"name", asic_.name},
                                     {"verify", {{"algorithm", asic_.algorithm}, {"hash", asic_.hash}}}};
    json& compat = out["package_compat"] = {{"board_policy", opt_.board_policy}};
    if (!opt_.board_policy2.empty())
        compat["board_policy2"] = opt_.board_policy2;
    compat["boardid"] = opt_.boardids.empty() ? std::vector<std::string>{opt_.board_id} : opt_.boardids;
    return out.dump(2) + "\n";
}

std::string fw_package::card_profile() const
{
    json list = json::array();
    for (auto& p : opt_.profiles) {
        json& one = list.emplace_back(json{{"name", p.name}, {"description", p.description},
                                           {"device_config", p.device_config}, {"memory_config", p.memory_config}});
        for (auto& [port, mode] : p.ports)
            one["port"].push_back({{"port", port}, {"breakout_mode", mode}});
    }
    return json{{"profile", list}}.dump(2) + "\n";
}

std::vector<std::string> fw_package::members() const
{
    std::vector<std::string> out = {"MANIFEST", asic_.name};
    for (auto& file : images_)
        out.push_back(file.name);
    if (opt_.card_profile)
        out.push_back(k_profile_file);
    if (opt_.fault == fw_package_fault_e::missing_member)
        out.erase(std::remove(out.begin(), out.end(), opt_.fault_member), out.end());
    return out;
}

std::string fw_package::build(const std::string& name)
{
    if (name.empty() || name.find('/') != std::string::npos)
        fail("package name \"" + name + "\" must be a plain file name");
    std::string path = dir_ + "/" + name;
    std::error_code ec;
    std::filesystem::remove(path, ec);
    // -a: the suffix of the name chooses the compression, as the engine's tar -a reads it
    std::string cmd = ipc_shell_command("tar -acf {} --owner=0 --group=0 --numeric-owner -C {} --", {path, stage_});
    for (auto& member : members())
        cmd += " " + ipc_shell_quote(member);
    auto r = ipc_shell_run(cmd + " 2>&1");
    if (!r.ok())
        fail("tar could not write " + path + (r.lines.empty() ? "" : ": " + r.lines[0]));
    append_hostile(path);
    path_ = path;
    return path_;
}

void fw_package::append_hostile(const std::string& path) const
{
    using F = fw_package_fault_e;
    // kind, name, argument (a file with the bytes, or a link target)
    std::vector<std::string> extra;
    const std::string file = stage_ + "/.hostile-bytes";
    switch (opt_.fault) {
    case F::dot_dot_member:
    case F::absolute_member:
        extra = {"file", opt_.fault_target, file};
        break;
    case F::symlink_member:
        extra = {"symlink", "talmira/outside", opt_.fault_target, "file", "talmira/outside/evil", file};
        break;
    case F::hardlink_member:
        extra = {"hardlink", "talmira/outside", opt_.fault_target};
        break;
    case F::fifo_member:
        extra = {"fifo", "talmira/fifo", ""};
        break;
    case F::duplicate_member:
        extra = {"file", opt_.fault_member, file};
        break;
    default:
        return;
    }
    if (path.size() < 4 || path.compare(path.size() - 4, 4, ".tar") != 0)
        fail("a hostile package must be a plain .tar: " + path);
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << "hostile bytes, not from this package\n";
        if (!out.flush())
            fail("cannot write " + file);
    }
    static const char* const k_script =
        "import sys, tarfile\n"
        "kinds = {'symlink': tarfile.SYMTYPE, 'hardlink': tarfile.LNKTYPE, 'fifo': tarfile.FIFOTYPE}\n"
        "with tarfile.open(sys.argv[1], 'a', format=tarfile.GNU_FORMAT) as t:\n"
        "    a = sys.argv[2:]\n"
        "    for i in range(0, len(a), 3):\n"
        "        kind, name, arg = a[i:i + 3]\n"
        "        info = tarfile.TarInfo(name)\n"
        "        if kind == 'file':\n"
        "            data = open(arg, 'rb').read()\n"
        "            info.size = len(data)\n"
        "            t.addfile(info, open(arg, 'rb'))\n"
        "            continue\n"
        "        info.type = kinds[kind]\n"
        "        info.linkname = arg\n"
        "        t.addfile(info)\n";
    std::string cmd = ipc_shell_command("python3 -c {} {}", {k_script, path});
    for (auto& e : extra)
        cmd += " " + ipc_shell_quote(e);
    auto r = ipc_shell_run(cmd + " 2>&1");
    if (!r.ok())
        fail("python3 could not add hostile members to " + path + (r.lines.empty() ? "" : ": " + r.lines.back()));
}

const fw_package_member_s* fw_package::image(const std::string& name) const
{
    for (auto& file : images_) {
        if (file.name == name)
            return &file;
    }
    return name == asic_.name ? &asic_ : nullptr;
}

std::map<std::string, std::string> fw_package::partitions() const
{
    std::map<std::string, std::string> out;
    for (auto& file : images_) {
        if (!file.partition.empty())
            out.emplace(file.partition, file.name);  // the first file of a partition wins
    }
    return out;
}

std::string fw_package::partition_bytes(const std::string& partition, const std::string& profile) const
{
    std::string member;
    if (partition == "soc-dtb" && !profile.empty()) {
        for (auto& p : opt_.profiles) {
            std::string blob = std::string(k_asic) + "/" + p.device_config + ".dtb";
            if (p.name == profile && !generic_device_config(p.device_config) && image(blob))
                member = blob;
        }
    }
    if (member.empty()) {
        auto parts = partitions();
        auto it = parts.find(partition);
        if (it == parts.end())
            return {};
        member = it->second;
    }
    auto file = image(member);
    return file ? file->bytes : std::string();
}

std::string fw_package::write_revocation_list(const std::string& path) const
{
    auto ranges = opt_.revoked_ranges;
    if (ranges.empty()) {
        if (build_.empty())
            fail("software_version \"" + opt_.software_version + "\" has no build number to revoke");
        // bounds are exclusive: (build - 1, build + 1) holds the build, (build, build + 10) does not
        unsigned long build = std::stoul(build_);
        if (opt_.fault == fw_package_fault_e::revoked_build && build == 0)
            ranges.push_back({"#", "#"});  // nothing lies below build 0: revoke the whole tree
        else if (opt_.fault == fw_package_fault_e::revoked_build)
            ranges.push_back({std::to_string(build - 1), std::to_string(build + 1)});
        else
            ranges.push_back({std::to_string(build), std::to_string(build + 10)});
    }
    json list = json::array();
    for (auto& [min, max] : ranges)
        list.push_back({{"min", min}, {"max", max}});
    std::string out = json{{opt_.board_id, {{tree_, list}}}}.dump(2) + "\n";

    std::filesystem::path file = path;
    std::error_code ec;
    if (file.has_parent_path())
        std::filesystem::create_directories(file.parent_path(), ec);
    std::ofstream stream(file, std::ios::trunc);
    stream << out;
    if (!stream.flush())
        fail("cannot write " + path);
    return path;
}
