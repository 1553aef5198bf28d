// uuid and address texts, breakout mode names, time stamps, shell commands
// and private folders: nothing here needs the rest of the library

#include "aml/aml_utils.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <regex>

#include <fmt/format.h>

#include "ipc/private_dir.h"
#include "ipc/shell_command.h"

namespace {

constexpr uint32_t k_lif_uuid_base = 0x70000000;
constexpr uint16_t k_uuid_magic_group = 0x4242;

struct breakout_mode_name_s {
    aml_port_breakout_mode_e mode;
    const char* name;
};

constexpr breakout_mode_name_s k_breakout_modes[] = {
    {AML_PORT_BREAKOUT_MODE_2X200G, "2x200g"},     {AML_PORT_BREAKOUT_MODE_4X100G, "4x100g"},
    {AML_PORT_BREAKOUT_MODE_2X400G_4, "2x400g-4"}, {AML_PORT_BREAKOUT_MODE_4X200G_2, "4x200g-2"},
    {AML_PORT_BREAKOUT_MODE_8X100G_1, "8x100g-1"}, {AML_PORT_BREAKOUT_MODE_1X800G_4, "1x800g-4"},
    {AML_PORT_BREAKOUT_MODE_2X400G_2, "2x400g-2"}, {AML_PORT_BREAKOUT_MODE_4X200G_1, "4x200g-1"},
    {AML_PORT_BREAKOUT_MODE_1X400G_4, "1x400g-4"}, {AML_PORT_BREAKOUT_MODE_4X100G_1, "4x100g-1"},
};

const std::regex k_uuid_regex("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$");
// the '.' is literal: an address ends up in sysfs paths and shell commands,
// so "0000:3b:00/0" must not pass for one
const std::regex k_bdf_regex("^[0-9a-f]{4}:[0-9a-f]{2}:[0-9a-f]{2}\\.[0-9a-f]{1}$");

int hex_value(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// the number of the hex digits at text[pos, pos + count); false unless all are digits
bool read_hex(const std::string& text, size_t pos, size_t count, uint32_t& value)
{
    if (pos + count > text.size()) {
        return false;
    }
    value = 0;
    for (size_t i = pos; i < pos + count; i++) {
        int digit = hex_value(text[i]);
        if (digit < 0) {
            return false;
        }
        value = (value << 4) | static_cast<uint32_t>(digit);
    }
    return true;
}

}  // namespace

bool is_uuid_valid(const std::string& text)
{
    return std::regex_match(text, k_uuid_regex);
}

bool is_bdf_valid(const std::string& text)
{
    return std::regex_match(text, k_bdf_regex);
}

std::string aml_uuid_to_str(const uint8_t b[AML_UUID_BYTES])
{
    return fmt::format("{:02x}{:02x}{:02x}{:02x}-{:02x}{:02x}-{:02x}{:02x}-{:02x}{:02x}-"
                       "{:02x}{:02x}{:02x}{:02x}{:02x}{:02x}",
                       b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12],
                       b[13], b[14], b[15]);
}

std::string aml_lif_uuid_from_id(uint16_t lif_id, const uint8_t mac[AML_MAC_BYTES])
{
    uint8_t bytes[AML_UUID_BYTES] = {};
    uint32_t head = k_lif_uuid_base + lif_id;
    for (size_t i = 0; i < 4; i++) {
        bytes[i] = static_cast<uint8_t>(head >> (8 * i));
    }
    bytes[4] = 1;
    bytes[8] = 0x42;
    bytes[9] = 0x42;
    memcpy(bytes + 10, mac, AML_MAC_BYTES);
    return aml_uuid_to_str(bytes);
}

uint32_t aml_lif_id_from_uuid(const std::string& uuid)
{
    // like strtoul: the leading hex digits, at most eight of them
    uint32_t value = 0;
    for (size_t i = 0; i < uuid.size() && i < 8; i++) {
        int digit = hex_value(uuid[i]);
        if (digit < 0) {
            break;
        }
        value = (value << 4) | static_cast<uint32_t>(digit);
    }
    return __builtin_bswap32(value);
}

aml_status_e aml_port_uuid_deconstruct(const std::string& uuid, uint32_t* port_num,
                                       uint8_t mac[AML_MAC_BYTES])
{
    if (port_num == nullptr || mac == nullptr || !is_uuid_valid(uuid)) {
        return AML_STATUS_INVALID_INPUT;
    }
    // mmmmmmmm-mmmm-gggg-gggg-ggggpppppppp
    static constexpr size_t k_mac_pos[AML_MAC_BYTES] = {0, 2, 4, 6, 9, 11};
    static constexpr size_t k_group_pos[3] = {14, 19, 24};
    static constexpr size_t k_port_pos = 28;
    uint8_t bytes[AML_MAC_BYTES];
    for (size_t i = 0; i < AML_MAC_BYTES; i++) {
        uint32_t value;
        if (!read_hex(uuid, k_mac_pos[i], 2, value)) {
            return AML_STATUS_INVALID_INPUT;
        }
        bytes[i] = static_cast<uint8_t>(value);
    }
    uint32_t groups[3];
    for (size_t i = 0; i < 3; i++) {
        if (!read_hex(uuid, k_group_pos[i], 4, groups[i])) {
            return AML_STATUS_INVALID_INPUT;
        }
    }
    uint32_t port;
    if (!read_hex(uuid, k_port_pos, uuid.size() - k_port_pos, port)) {
        return AML_STATUS_INVALID_INPUT;
    }
    if (groups[0] != k_uuid_magic_group || groups[1] != k_uuid_magic_group || groups[2] != 0) {
        return AML_STATUS_INVALID_INPUT;
    }
    *port_num = port;
    memcpy(mac, bytes, AML_MAC_BYTES);
    return AML_STATUS_OK;
}

uint8_t aml_port_breakout_mode(aml_port_breakout_mode_e mode)
{
    for (const auto& entry : k_breakout_modes) {
        if (entry.mode == mode) {
            return static_cast<uint8_t>(entry.mode);
        }
    }
    return 0;
}

aml_port_breakout_mode_e aml_port_breakout_mode(const std::string& name)
{
    for (const auto& entry : k_breakout_modes) {
        if (name == entry.name) {
            return entry.mode;
        }
    }
    return AML_PORT_BREAKOUT_MODE_NONE;
}

std::string aml_current_time_get()
{
    time_t now = time(nullptr);
    char buf[64] = {};
    if (ctime_r(&now, buf) == nullptr) {
        return "";
    }
    std::string text = buf;
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    for (char& c : text) {
        if (c == ' ') {
            c = '_';
        } else if (c == ':') {
            c = '-';
        }
    }
    return text;
}

int aml_execute_command(const std::string& command, std::string& output)
{
    output.clear();
    ipc_shell_result_s result = ipc_shell_run(command);
    if (!result.started) {
        return -1;
    }
    // the lines come without their newlines: joining them drops exactly the
    // one trailing newline of the output
    for (size_t i = 0; i < result.lines.size(); i++) {
        if (i > 0) {
            output += '\n';
        }
        output += result.lines[i];
    }
    return result.exited ? result.exit_status : -1;
}

int make_dir(const std::string& path, std::string& error)
{
    // made and checked by descriptor: a folder on the way that another user
    // owns or can write, or a link, is refused and left as it is
    private_dir dir;
    std::string why;
    errno = 0;
    if (!private_dir_open(path, true, dir, why)) {
        error = "Failed to create directory " + path + ", err - " + why + "\n";
        return errno != 0 ? errno : EACCES;
    }
    return 0;
}

FILE* aml_file_create(const std::string& path)
{
    return fopen(path.c_str(), "a");
}

std::string aml_remove_log_timestamp(const std::string& message)
{
    size_t open = message.find('[');
    size_t close = message.find(']');
    if (open == std::string::npos || close == std::string::npos) {
        return message;
    }
    std::string text = message;
    text.erase(open, close + 2);
    return text;
}
