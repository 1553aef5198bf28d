#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

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
int manifest_keys_get(const std::string& key, const std::string& manifest, std::vector<std::string>& keys);

// mkdir -p PATH; 0 or the command's status
int fwupdate_make_dir(const std::string& path);

// empties the work directory of this thread's card; a work directory that
// is not one (never initialised) is left alone
void fwupdate_clean_work_dir();
// the end of every update, successful or not: the card's upgrade info file
// and the work directory's contents go, the card's channel is closed
void fwupdate_final_cleanup();
