#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

// the one way this code base runs a shell command: every value that goes into
// a command line is quoted here, so an address or path handed in by a caller
// can never add shell syntax of its own.

// one value as a single POSIX shell word: 'text', with ' written as '\''
std::string ipc_shell_quote(std::string_view value);

// fills each "{}" of the template, in order, with the next value quoted;
// a template with more "{}" than values keeps the extra ones as they are
std::string ipc_shell_command(std::string_view tmpl, std::initializer_list<std::string_view> values);

struct ipc_shell_result_s {
    bool started = false;   // the shell could be started (popen)
    bool exited = false;    // it ended by itself, not through a signal
    int exit_status = -1;   // its exit code when exited
    std::vector<std::string> lines;  // its standard output, one entry a line, newline removed

    // started, exited and exit code 0
    bool ok() const { return started && exited && exit_status == 0; }
};

// runs command through popen, reads its standard output to the end and
// closes the pipe. stops storing lines after max_lines (the rest is still
// read, so the command is never left blocked on a full pipe).
ipc_shell_result_s ipc_shell_run(const std::string& command, size_t max_lines = SIZE_MAX);
