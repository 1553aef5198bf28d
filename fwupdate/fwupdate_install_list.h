#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

// which firmware names an update installs, and each one's share of the
// progress bar

// the package revision of a manifest: "rev2", "rev3", or "" (with the message) for others
std::string fwupdate_package_revision(const std::string& manifest, int& rc);
// the firmware names asked for ("all", "goldfw") as the names installed, in order
int check_install_list(std::vector<std::string>& names);
// the progress share of each partition: 5 to start, 85 spread by weight
void allocate_image_weight(std::vector<std::string>& partitions, uint8_t* progress,
                           std::unordered_map<std::string, uint32_t>& weights);
