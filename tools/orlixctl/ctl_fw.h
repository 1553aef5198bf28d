#pragma once

// the fw commands' pieces, one file each: the package check, the install,
// the flash comparison and the profiles

#include "tools/orlixctl/ctl.h"

// a package's manifest, versions and digests as fw inspect shows them; ok
// goes false when a digest fails. a package that is no firmware package, or
// is unsafe to unpack, fails the command (exit 3 or 4)
json ctl_fw_inspect_package(const std::string& package, bool& ok);

// a package named on the command line must be a regular file (else exit 3)
void ctl_require_package_file(const std::string& package);

// fw inspect PACKAGE, fw update CARDS PACKAGE, fw verify CARD PACKAGE
ctl_command_s ctl_fw_inspect_command();
ctl_command_s ctl_fw_update_command();
ctl_command_s ctl_fw_verify_command();
// profile show|update
void ctl_add_profile_commands(CLI::App& app, ctl_runner& run);
