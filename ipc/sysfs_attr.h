#pragma once

// sysfs attribute readers

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// the one way this code base reads sysfs attributes and lists sysfs folders.
// every read is a fresh open/read/close: attributes change under a running
// program (bind, unbind, rescan).

constexpr const char* IPC_SYSFS_PCI_DEVICES = "/sys/bus/pci/devices/";
constexpr const char* IPC_SYSFS_PCI_DRIVERS = "/sys/bus/pci/drivers/";

// a name that is safe to put between two '/' of a sysfs path: not empty,
// no '/', not "." or "..", no control characters
bool ipc_sysfs_name_ok(std::string_view name);

// the first line of the file, newline removed; false when it cannot be read
bool ipc_sysfs_read_line(const std::string& path, std::string& line);

// every line of the file, newlines removed; false when it cannot be opened
bool ipc_sysfs_read_lines(const std::string& path, std::vector<std::string>& lines);

// the number at the start of the first line, hexadecimal with or without
// "0x" (base 16) or decimal (base 10); false when unreadable or not a number
bool ipc_sysfs_read_number(const std::string& path, int base, uint64_t& value);

// replaces names with the entry names of a folder except "." and "..", in directory order;
// false when the folder cannot be opened
bool ipc_sysfs_list(const std::string& dir, std::vector<std::string>& names);

// entry names of a folder that match a shell pattern (fnmatch), unsorted
bool ipc_sysfs_match(const std::string& dir, const std::string& pattern,
                     std::vector<std::string>& names);

// "/sys/bus/pci/devices/<bdf>/<attr>"
std::string ipc_sysfs_pci_path(std::string_view bdf, std::string_view attr);
