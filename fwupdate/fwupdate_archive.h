#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fwupdate/fwupdate.h"

// packages from untrusted hands: the engine works from a private copy in the
// work directory, lists every member before anything is unpacked and refuses
// what could reach outside the directory it is unpacked into. every byte a
// package puts on the host goes through this file's functions

// one member as the archive lists it
struct fwupdate_member_s {
    char type = '?';   // '-' file, 'd' directory, 'l' symbolic link, 'h' hard link, 'c' 'b' 'p' ...
    std::string name;  // as stored, without a trailing "/" or leading "./"
    std::string link;  // the target of a link
    uint64_t size = 0;
};

// the member list of a package; 0, or FWUPDATE_ERR when it cannot be read
int fwupdate_package_list(const std::string& package, std::vector<fwupdate_member_s>& members);
// lists the package and refuses absolute names, ".." components, symbolic and
// hard links, devices and fifos, and a name given twice; 0 or FWUPDATE_ERR
// with a message naming the member
int fwupdate_package_members_check(const std::string& package, std::vector<fwupdate_member_s>& members);
// true when name stays inside the directory it is unpacked into
bool fwupdate_member_name_safe(const std::string& name);
// a member name as it is compared: no leading "./", no doubled or trailing "/"
std::string fwupdate_member_name_normal(const std::string& name);
// a member name for a message: in double quotes, unprintable bytes escaped
std::string fwupdate_member_quoted(const std::string& name);

// copies the package into the work directory (made private, mode 0700) and
// checks its members; the copy's path, or "" with the reason in the trace
std::string fwupdate_package_stage(const std::string& package);
// the package's name in messages: the caller's path for a staged copy
std::string fwupdate_package_display(const std::string& package);
// where the staged package is unpacked: the work directory's "stage/"
std::string fwupdate_stage_dir();
// unpacks the package into the stage directory, checked again, with tar's
// safe options; 0, or FWUPDATE_ERR (with a message) when anything but files
// and directories would be left there
int fwupdate_package_unpack(const std::string& package);

// true when the package holds a regular file stored as NAME, or else exactly
// one whose name ends in "/NAME"
bool fwupdate_package_has(const std::string& package, const std::string& name);
// writes that file into FILE of the checked private folder DIR, through
// the folder's descriptor, replacing what was there; 0, or FWUPDATE_ERR with
// the message
int fwupdate_member_extract(const std::string& package, const std::string& name, const std::string& dir,
                            const std::string& file);

// puts what stays installed into the card's configuration folder: the device
// configs, the ASIC's fip or zephyr images, its manifest and card profile
int extract_package_files(bool fip, firmware_update_req_s* req);
