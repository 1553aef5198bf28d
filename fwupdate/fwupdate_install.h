#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "fwupdate/fwupdate_state.h"

// the installers: one firmware name of a package onto its partitions. the
// dry run writes nothing; it finds every image and lists the partitions
// that the real run will write, in order.

struct fwupdate_install_ctx_s {
    std::string package;
    std::string board_id;
    std::string revision;       // "rev2" or "rev3"
    std::string device_config;  // the profile's device-config blob name
    bool dry_run = true;
    bool every_image = false;  // also what a version check would skip (comparing, not installing)
    std::vector<std::string> partitions;               // collected by the dry run
    std::vector<fwupdate_image_s> plan;                // the same, with what goes there
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

// the host side of an update up to and with the dry run: the package staged
// and checked, its manifests and images verified and unpacked into the
// private work directory, ctx.plan listing every image the names would write.
// 0 (11: nothing would be written) or the failing step's code
int fwupdate_package_prepare(const std::string& package, std::vector<std::string>& names,
                             const std::string& device_config, fwupdate_install_ctx_s& ctx);
