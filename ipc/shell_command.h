#pragma once

// shell commands run for the library

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
    bool started = false;   // the shell could be started
    bool exited = false;    // it ended by itself, not through a signal
    bool timed_out = false; // it did not finish within its bound and was ended
    int exit_status = -1;   // its exit code when exited
    std::vector<std::string> lines;  // its standard output, one entry a line, newline removed
    std::string errors;     // what it wrote on standard error (the first 4 KiB), last newline removed

    // started, exited and exit code 0
    bool ok() const { return started && exited && exit_status == 0; }
    // why it failed, for an error message: "exit status 1: <its standard error>"
    std::string failure() const;
};

// runs command with /bin/sh -c in a process group of its own, with no signal
// blocked and every signal at its default action (whatever the calling
// thread blocks or the process ignores), reads its standard output to the
// end and reaps it. stops storing lines after max_lines (the rest is still
// read, so the command is never left blocked on a full pipe). its standard
// error is kept in errors and handed to the stderr callback, never to the
// caller's terminal. a command still running after the bound (0: the
// process-wide default) is ended with its whole group, SIGTERM then SIGKILL,
// reaped, and reported with timed_out set and a line on standard error.
ipc_shell_result_s ipc_shell_run(const std::string& command, size_t max_lines = SIZE_MAX,
                                 uint32_t timeout_ms = 0);

// where what a command wrote on standard error goes (the daemon: its trace
// log at debug level); without one it is only kept in the result
typedef void (*ipc_shell_stderr_cb_t)(const std::string& command, const std::string& text);
void ipc_shell_set_stderr_cb(ipc_shell_stderr_cb_t cb);

// the bound of every command that does not name its own; 120 s at start
constexpr uint32_t IPC_SHELL_DEFAULT_TIMEOUT_MS = 120000;
void ipc_shell_set_default_timeout_ms(uint32_t timeout_ms);
uint32_t ipc_shell_default_timeout_ms();
