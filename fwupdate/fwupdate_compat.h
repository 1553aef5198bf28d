#pragma once

#include <string>

// whether the package in the work directory suits the card: its ASIC, the
// board policy and the host's list of revoked releases. 0, or FWUPDATE_ERR
// with the reason reported
int check_package_compatibility(const std::string& board_id);
