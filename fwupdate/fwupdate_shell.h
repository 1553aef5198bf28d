#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "ipc/private_dir.h"

// the engine reaches packages and manifests only through command-line tools
// (tar, jq, the digest tools); every value put into a command is quoted by
// ipc_shell_command

// runs the command; its output, without one trailing newline, goes to output.
// 0 when it exits with status 0, else 255
int run_command(const std::string& command, std::string& output);
// the same with "{}" holes filled by quoted values
int run_command(std::string_view tmpl, std::initializer_list<std::string_view> values, std::string& output);

bool file_exists(const std::string& path);

// jq -r 'KEY | tostring' MANIFEST, falling back to the work directory's
// MANIFEST when the manifest is missing or the answer is empty or "null"
int manifest_value_get(const std::string& key, const std::string& manifest, std::string& value);
// the same, reporting nothing and keeping the raw answer
int manifest_value_get_quiet(const std::string& key, const std::string& manifest, std::string& value);
int manifest_length_get(const std::string& key, const std::string& manifest, int& length);
// values from packages or cards go into a query only as jq string variables:
// the key names them $a0, $a1, ... (".asic_manifests[$a0].name")
int manifest_value_get_quiet(const std::string& key, const std::vector<std::string>& args,
                             const std::string& manifest, std::string& value);
int manifest_length_get(const std::string& key, const std::vector<std::string>& args, const std::string& manifest,
                        int& length);
// jq -r FILTER FILE with args bound to $a0, $a1, ...; 0 or 255
int jq_query(const std::string& filter, const std::vector<std::string>& args, const std::string& file,
             std::string& value);
int manifest_keys_get(const std::string& key, const std::string& manifest, std::vector<std::string>& keys);

// makes PATH and its missing parents by descriptor, mode 0700, every folder
// checked as private_dir_open does, and then BELOW inside it, every folder of
// it private; 0, or 255 with the folder that failed and the fix reported
int fwupdate_make_dir(const std::string& path, const std::string& below = "");
// opens a checked private folder that exists; false with the reason reported
bool fwupdate_private_dir(const std::string& path, private_dir& dir);
// removes entries (files, or folders with their contents) of a checked
// private folder through its descriptor; missing ones are no failure
bool fwupdate_remove(const std::string& dir, std::initializer_list<std::string_view> names);
// writes an output file of the remote flash client (info files in the card's
// operational folder) without following a link; false with a message
bool fwupdate_write_output(const std::string& path, const std::string& text);

// empties the work directory of this thread's card; a work directory that
// is not one (never initialised) is left alone
void fwupdate_clean_work_dir();
// the end of every update, successful or not: the card's upgrade info file
// and the work directory's contents go, the card's channel is closed
void fwupdate_final_cleanup();

// packages from untrusted hands: the engine works from a private copy in the
// work directory, lists every member before anything is unpacked and refuses
// what could reach outside the directory it is unpacked into

// one member as the archive lists it
struct fwupdate_member_s {
    char type = '?';   // '-' file, 'd' directory, 'l' symbolic link, 'h' hard link, 'c' 'b' 'p' ...
    std::string name;  // as stored, without a trailing "/" or leading "./"
    std::string link;  // the target of a link
    uint64_t size = 0;
};

// the member list of a package; 0, or 255 when it cannot be read
int fwupdate_package_list(const std::string& package, std::vector<fwupdate_member_s>& members);
// lists the package and refuses absolute names, ".." components, symbolic and
// hard links, devices and fifos, and a name given twice; 0 or 255 with a
// message naming the member
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
// safe options; 0, or 255 (with a message) when anything but files and
// directories would be left there
int fwupdate_package_unpack(const std::string& package);

// the digest of a file with one of "md5", "sha256", "sha512"
int fwupdate_file_digest(const std::string& path, const std::string& algorithm, std::string& digest);
