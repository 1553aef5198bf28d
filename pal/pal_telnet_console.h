#pragma once

// the card's console over tcp, as the telnet variant uses it: one session per
// process. a caller holds telnet_console_mutex() across every command of one
// operation, so that threads never interleave on the console.

#include <mutex>
#include <string>
#include <vector>

#include "pal/pal.h"

namespace sdk {
namespace lib {

std::mutex& telnet_console_mutex();

// connects, waits for the prompt and runs the start-up commands
pal_ret_t telnet_console_start_locked(const char* ipaddr, const char* port);
void telnet_console_close_locked();

// one command and the lines of its answer; a refusal ("error ...") fails the
// call and the session goes on, a lost session fails this and every later call
pal_ret_t telnet_console_command_locked(const std::string& command, std::vector<std::string>& lines);
// a command whose answer must be empty
pal_ret_t telnet_console_write_locked(const std::string& command);
// reports an answer that does not parse; always PAL_RET_NOK
pal_ret_t telnet_console_garbage(const std::string& command, const std::vector<std::string>& lines);

}  // namespace lib
}  // namespace sdk
