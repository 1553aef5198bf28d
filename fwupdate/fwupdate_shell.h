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
// 0 when it exits with status 0, else FWUPDATE_ERR
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
// jq -r FILTER FILE with args bound to $a0, $a1, ...; 0 or FWUPDATE_ERR
int jq_query(const std::string& filter, const std::vector<std::string>& args, const std::string& file,
             std::string& value);
int manifest_keys_get(const std::string& key, const std::string& manifest, std::vector<std::string>& keys);

// makes PATH and its missing parents by descriptor, mode 0700, every folder
// checked as private_dir_open does, and then BELOW inside it, every folder of
// it private; 0, or FWUPDATE_ERR with the folder that failed and the fix reported
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

// the MANIFEST of the package in this thread's work directory
std::string fwupdate_work_manifest();
