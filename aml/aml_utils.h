#pragma once

// helpers that need nothing else of the library: uuid and address texts,
// breakout mode names, time stamps, shell commands and private folders

#include <cstdint>
#include <cstdio>
#include <string>

#include "aml/aml_status.h"

constexpr size_t AML_UUID_BYTES = 16;
constexpr size_t AML_MAC_BYTES = 6;

// the whole text is a lower-case 8-4-4-4-12 hexadecimal uuid
bool is_uuid_valid(const std::string& text);
// the whole text is a DDDD:BB:DD.F pcie address in lower-case hexadecimal
bool is_bdf_valid(const std::string& text);

// lower-case 8-4-4-4-12 text of 16 bytes
std::string aml_uuid_to_str(const uint8_t bytes[AML_UUID_BYTES]);

// the uuid of a lif: little-endian 0x70000000 + id, 1, 0, 0, 0, 0x42, 0x42, mac
std::string aml_lif_uuid_from_id(uint16_t lif_id, const uint8_t mac[AML_MAC_BYTES]);
// the first eight hex digits byte-swapped; the lif id is the low 16 bits
uint32_t aml_lif_id_from_uuid(const std::string& uuid);
// a port uuid holds six mac bytes, 0x4242, 0x4242, 0 and the port number;
// 11 for anything else, outputs then untouched
aml_status_e aml_port_uuid_deconstruct(const std::string& uuid, uint32_t* port_num,
                                       uint8_t mac[AML_MAC_BYTES]);

enum aml_port_breakout_mode_e : uint8_t {
    AML_PORT_BREAKOUT_MODE_NONE = 0,
    AML_PORT_BREAKOUT_MODE_2X200G = 1,
    AML_PORT_BREAKOUT_MODE_4X100G = 2,
    AML_PORT_BREAKOUT_MODE_2X400G_4 = 3,
    AML_PORT_BREAKOUT_MODE_4X200G_2 = 4,
    AML_PORT_BREAKOUT_MODE_8X100G_1 = 5,
    AML_PORT_BREAKOUT_MODE_1X800G_4 = 6,
    AML_PORT_BREAKOUT_MODE_2X400G_2 = 7,
    AML_PORT_BREAKOUT_MODE_4X200G_1 = 8,
    AML_PORT_BREAKOUT_MODE_1X400G_4 = 9,
    AML_PORT_BREAKOUT_MODE_4X100G_1 = 10,
};

// the firmware code of a mode; 0 for no valid mode
uint8_t aml_port_breakout_mode(aml_port_breakout_mode_e mode);
// the mode of a name such as "4x100g-1"; 0 for any other name
aml_port_breakout_mode_e aml_port_breakout_mode(const std::string& name);

// the local time in ctime's words, usable in file names: Thu_Dec__4_10-15-02_2025
std::string aml_current_time_get();

// runs a shell command (build it with ipc_shell_command so that values are
// quoted), collects its standard output less one trailing newline and returns
// its exit code; -1 when it cannot be started or was ended by a signal
int aml_execute_command(const std::string& command, std::string& output);

// makes the path and its missing parents (mode 0700) by descriptor, each
// folder checked as private_dir_open does; 0, or an errno value with the
// error text naming the folder that failed and the fix
int make_dir(const std::string& path, std::string& error);

// opens the file for appending, creating it; null on failure
FILE* aml_file_create(const std::string& path);

// drops a leading bracketed time stamp and the blank after it
std::string aml_remove_log_timestamp(const std::string& message);
