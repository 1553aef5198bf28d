#pragma once

// firmware packages for the update engine's tests

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// builds firmware packages for the update engine's tests: image files with
// deterministic pseudo-random content, the package MANIFEST, the talmira
// ASIC manifest with real digests, device-config blobs, an optional
// card_profile.json, all tarred into one file (compressed by the suffix of
// its name, as tar -a does). every package can be broken in one way at a
// time, to see the engine refuse it.

// one way to break a package; each is a single switch
enum class fw_package_fault_e {
    none,
    missing_member,         // fault_member is named by the manifests but left out of the archive
    wrong_digest,           // fault_member's declared digest does not match its bytes
    upper_case_digest,      // fault_member's declared digest is right, in upper case
    unknown_firmware,       // ".firmware" holds an object that no table knows ("bogusfw")
    revoked_build,          // write_revocation_list revokes this package's build for the board
    gold_without_option,    // the package carries the gold image (an "all" install must refuse it)
    rev3,                   // package_version "3"
    unsupported_algorithm,  // fault_member is declared with "sha1" (and its real sha1 digest)
    // hostile archives (the package name must end in ".tar"): the extra
    // members are written after the good ones
    dot_dot_member,    // a file member named fault_target (default "../evil")
    absolute_member,   // a file member named fault_target, an absolute path
    symlink_member,    // "talmira/outside" a symbolic link to fault_target, then the file "talmira/outside/evil"
    hardlink_member,   // "talmira/outside" a hard link to fault_target
    fifo_member,       // "talmira/fifo", a fifo
    duplicate_member,  // fault_member a second time, with other bytes
    oversized_member,  // fault_member holds far more bytes than its entry's "size" (its digest is right)
};

struct fw_card_profile_s {
    std::string name;
    std::string description;
    std::string device_config;  // blob name without extension; "device_config" is the generic one
    std::string memory_config;
    std::vector<std::pair<std::string, std::string>> ports;  // (port number text, breakout mode)
};

struct fw_package_options_s {
    uint64_t seed = 1;                       // same seed, same bytes
    std::string board_id = "0x00000a01";     // the card's board id, as the card reports it
    std::string software_version = "1.4.2-E-57";  // release tree "1.4.2-E", build 57
    std::string package_version = "2";      // "" leaves the key out
    // digest algorithms given to the entries in table order, cycling
    std::vector<std::string> algorithms = {"sha512"};
    bool gold = false;                       // carry the gold image (installed with "goldfw")
    std::string board_policy = "accept";     // "accept" or "match-boardid"
    std::string board_policy2;               // "" leaves the key out
    std::vector<std::string> boardids;       // package_compat.boardid; empty: {board_id}
    bool card_profile = false;               // write card_profile.json
    std::vector<fw_card_profile_s> profiles = {
        {"default", "default profile", "device_config", "default", {}},
        {"rdma", "rdma profile", "device_config_rdma_2x400G", "rdma", {{"1", "2x400g-4"}, {"2", "2x400g-4"}}},
    };
    fw_package_fault_e fault = fw_package_fault_e::none;
    std::string fault_member = "talmira/zephyr_pcie.img";  // archive path the member faults act on
    std::string fault_target = "../evil";  // name or link target of the hostile extra members
    // revocation ranges (min, max) for write_revocation_list; empty: one range
    // that revokes the build under revoked_build, and one that stops just
    // short of it otherwise (the bounds are exclusive)
    std::vector<std::pair<std::string, std::string>> revoked_ranges;
};

// one file of the package
struct fw_package_member_s {
    std::string name;       // archive path
    std::string section;    // firmware object ("soc") or manifest list ("bitfiles"); "" for manifests
    std::string kind;       // file kind within a firmware object; "" for list entries
    std::string partition;  // partition the engine writes it to; "" when none or chosen by profile
    std::string board_id;   // its ".board_id" list's one entry: the board, or "#" for any
    std::string algorithm;  // declared digest algorithm
    std::string hash;       // declared digest
    std::string bytes;
    size_t declared_size = 0;  // the entry's "size"; bytes.size() but under oversized_member
};

class fw_package {
public:
    // images and staging files go under dir (made when missing); throws std::runtime_error when
    // the options cannot make a package (an algorithm with no tool, ...)
    explicit fw_package(std::string dir, fw_package_options_s options = {});
    ~fw_package();  // removes the staging folder, keeps built packages
    fw_package(const fw_package&) = delete;
    fw_package& operator=(const fw_package&) = delete;

    // writes dir/name and returns its path; throws std::runtime_error with
    // the failing step when a file or the archive cannot be written
    std::string build(const std::string& name);
    const std::string& path() const { return path_; }
    const fw_package_options_s& options() const { return opt_; }

    // what the engine should write into a partition: the image's bytes, ""
    // when the package carries nothing for it. "soc-dtb" follows profile
    // (the generic blob for "" or a profile without its own blob)
    std::string partition_bytes(const std::string& partition, const std::string& profile = "") const;
    // partition name -> archive path, for every partition the package carries
    std::map<std::string, std::string> partitions() const;
    const fw_package_member_s* image(const std::string& name) const;

    // writes fwcompat-revoked.json (creating its folders) keyed by board_id
    // and release tree; returns path
    std::string write_revocation_list(const std::string& path) const;

private:
    void declare(fw_package_member_s& file, const std::string& algorithm) const;
    void write_member(const std::string& member, const std::string& bytes) const;
    void append_hostile(const std::string& path) const;
    std::string asic_manifest() const;
    std::string package_manifest() const;
    std::string card_profile() const;
    // archive paths actually written into the archive, in order
    std::vector<std::string> members() const;

    fw_package_options_s opt_;
    std::string dir_;
    std::string stage_;  // the files as they go into the archive
    std::string path_;
    fw_package_member_s asic_;
    std::string tree_, build_;
    std::vector<fw_package_member_s> images_;  // every file the manifests name, in table order
};
