#pragma once

// the boot count and its banner

#include <cstdint>
#include <string>

// the boot number kept by another part of the system in
// $PERSISTENT_LOG_DIR/boot_count.txt (/obfl/boot_count.txt by default).
// every log file this program opens starts with a banner carrying it, and
// every trace line carries it in its prefix.

// where the boot count file is, from the environment at the time of the call
std::string logger_boot_count_path();

// the number on the first line of text: leading blanks and a sign allowed,
// whatever follows the digits ignored. no digits, or a number out of range of
// a 64-bit integer, gives 0 rather than an error.
int64_t logger_parse_boot_count(const std::string& first_line);

// reads the file afresh; a missing or empty file gives 0
int64_t logger_read_boot_count();

// "*** Boot #N ***\n", N as an unsigned 32-bit number
std::string logger_boot_banner(int64_t boot_count);
