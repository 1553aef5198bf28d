#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

// the installers: one firmware name of a package onto its partitions. the
// dry run writes nothing; it finds every image and lists the partitions
// that the real run will write, in order.

struct fwupdate_install_ctx_s {
    std::string package;
    std::string board_id;
    std::string revision;       // "rev2" or "rev3"
    std::string device_config;  // the profile's device-config blob name
    bool dry_run = true;
    std::vector<std::string> partitions;               // collected by the dry run
    std::unordered_map<std::string, uint32_t> weights;  // for the real run
    const bool* abort = nullptr;
    uint8_t* progress = nullptr;
    std::string* status = nullptr;
};

// one image into one partition: erase, write, verify (or, dry, the lookup)
int flash_partition_install(fwupdate_install_ctx_s& ctx, const std::string& partition, const std::string& algorithm,
                            const std::string& file, const std::string& digest, const std::string& version,
                            uint64_t size, bool from_host = false);

// every name of the list, in order; 0, 11 when nothing had to be written,
// or the failing installer's code
int install_images(fwupdate_install_ctx_s& ctx, const std::vector<std::string>& names);
