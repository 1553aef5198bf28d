// a card's uuid made of its serial number, and back

#include <cctype>

#include <fmt/format.h>

#include "ipc/nic_ipc.h"
#include "ipc/shell_command.h"

static constexpr const char* k_uuid_prefix = "4242";
// dashes go before these hex digit positions, counting the prefix
static constexpr size_t k_dash_positions[] = {8, 12, 16, 20};

std::string nic_ipc_uuid_from_serial(const std::string& serial)
{
    std::string digits = k_uuid_prefix;
    for (size_t i = 0; i < NIC_SERIAL_MAX; i++) {
        unsigned char c = i < serial.size() ? static_cast<unsigned char>(serial[i]) : 0;
        digits += fmt::format("{:02x}", c);
    }
    std::string uuid;
    for (size_t i = 0; i < digits.size(); i++) {
        for (size_t dash : k_dash_positions) {
            if (i == dash) {
                uuid += '-';
            }
        }
        uuid += digits[i];
    }
    return uuid;
}

bool nic_ipc_serial_from_uuid(const std::string& uuid, std::string& serial)
{
    if (uuid.compare(0, 4, k_uuid_prefix) != 0) {
        return false;
    }
    std::string digits;
    for (size_t i = 4; i < uuid.size() && digits.size() < 2 * NIC_SERIAL_MAX; i++) {
        if (uuid[i] == '-') {
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(uuid[i]))) {
            return false;
        }
        digits += uuid[i];
    }
    serial.clear();
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        char c = static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
        // the zero padding of a short serial ends it
        if (c == '\0') {
            break;
        }
        serial += c;
    }
    return true;
}

bool nic_ipc_serial_from_bdf(const std::string& bdf, std::string& serial)
{
    auto result = ipc_shell_run(
        ipc_shell_command("lspci -s {} -vvv | grep 'Serial number' | awk '{print $4}'", {bdf}), 1);
    if (!result.started || result.lines.empty() || result.lines[0].empty()) {
        return false;
    }
    serial = result.lines[0].substr(0, NIC_SERIAL_MAX);
    return true;
}
