// what the card tells about itself: identity and boot state, image versions

#include <cstdio>
#include <cstring>

#include <fmt/format.h>

#include "fwupdate/fwupdate_shell.h"
#include "fwupdate/rfc.h"
#include "fwupdate/rfc_exchange.h"
#include "fwupdate/rfc_wire.h"
#include "ipc/le_bytes.h"

namespace {

const char* const k_asic_names[] = {"talmira", "sevrin"};
const char* const k_lcs_names[] = {"open", "soft_prod", "prod", "disabled"};
const char* const k_image_letters[] = {"A", "B", "G"};

template <size_t N>
const char* name_of(const char* const (&names)[N], uint8_t v, const char* other)
{
    return v < N ? names[v] : other;
}

std::string text_field(const uint8_t* p, size_t len)
{
    const char* s = reinterpret_cast<const char*>(p);
    return std::string(s, strnlen(s, len));
}

struct version_group_s {
    rfc_version_group_e selector;
    rfc_version_group_t rfc_image_version_info_u::*group;
    const char* file;  // "suc", "fpga", "sri", "soc"
    const char* failure;
};

const version_group_s k_groups[] = {
    {RFC_VERSION_GROUP_SUC, &rfc_image_version_info_u::suc, "suc", "Failed to get suc version"},
    {RFC_VERSION_GROUP_FPGA, &rfc_image_version_info_u::fpga, "fpga", "Failed to get fpga version"},
    {RFC_VERSION_GROUP_SRI, &rfc_image_version_info_u::sri, "sri", "Failed to get secure image version"},
    {RFC_VERSION_GROUP_SOC, &rfc_image_version_info_u::soc, "soc", "Failed to get non-secure image version"},
};

std::string group_json(const rfc_version_group_t& group)
{
    std::string text = "{\n";
    for (size_t i = 0; i < group.size(); i++) {
        text += fmt::format("   \"{}\": \"{}\"{}\n", group[i].first, group[i].second, i + 1 < group.size() ? "," : "");
    }
    return text + "}\n";
}

}  // namespace

int rfc_version_info_get(const std::string& bdf, const char* path, rfc_image_version_info_u* info)
{
    if (fwupdate_ipc_open(bdf.c_str()) != 0) {
        return RFC_ERR;
    }
    rfc_image_version_info_u got;
    for (const auto& g : k_groups) {
        uint8_t buf[RFC_VERSION_RSP_SIZE] = {};
        le_put(buf, sizeof(buf), 0, 4, g.selector);
        rfc_exchange_s x = {RFC_CMD_VERSION_INFO_GET, "VERSION_INFO_GET", "get", "version info"};
        if (rfc_exchange(x, buf, RFC_VERSION_REQ_SIZE, RFC_VERSION_RSP_SIZE, bdf) != RFC_EXCHANGE_OK ||
            buf[0] != RFC_STATUS_DONE) {
            rfc_log(trace_level_err, "%s", g.failure);
            return RFC_ERR;
        }
        size_t count = std::min<size_t>(le_at<uint32_t>(buf, sizeof(buf), RFC_VERSION_OFF_COUNT), RFC_VERSION_ENTRIES_MAX);
        for (size_t i = 0; i < count; i++) {
            const uint8_t* e = buf + RFC_VERSION_OFF_ENTRIES + i * 2 * RFC_VERSION_FIELD;
            (got.*g.group).emplace_back(text_field(e, RFC_VERSION_FIELD), text_field(e + RFC_VERSION_FIELD, RFC_VERSION_FIELD));
        }
        if (path && !fwupdate_write_output(fmt::format("{}{}-{}.txt", fwupdate_tls().dev_oper_dir, g.file, path),
                                  group_json(got.*g.group))) {
            return RFC_ERR;
        }
    }
    if (info) {
        *info = got;
    }
    return RFC_OK;
}

int rfc_card_info_get(const std::string& bdf, const char* path, rfc_card_info_s* info)
{
    if (fwupdate_ipc_open(bdf.c_str()) != 0) {
        return RFC_ERR;
    }
    uint8_t buf[RFC_CARD_INFO_RSP_SIZE] = {};
    rfc_exchange_s x = {RFC_CMD_CARD_INFO_GET, "CARD_INFO_GET", "get", "card info"};
    if (rfc_exchange(x, buf, RFC_CARD_INFO_REQ_SIZE, RFC_CARD_INFO_RSP_SIZE, bdf) != RFC_EXCHANGE_OK) {
        return RFC_ERR;
    }
    if (buf[RFC_CI_OFF_STATUS] != RFC_STATUS_DONE) {
        rfc_log(trace_level_err, "%s",
                rfc_error_text(bdf, fmt::format("Failed to get card info, err : {}", buf[RFC_CI_OFF_STATUS])).c_str());
        return RFC_ERR;
    }
    uint8_t running = buf[RFC_CI_OFF_SOC_RUNNING], startup = buf[RFC_CI_OFF_SOC_STARTUP];
    if (running > FIRMWARE_IMAGE_FW_GOLD || startup > FIRMWARE_IMAGE_FW_GOLD) {
        rfc_log(trace_level_err, "Invalid firmware type %u", running > FIRMWARE_IMAGE_FW_GOLD ? running : startup);
        return RFC_ERR;
    }
    rfc_card_info_s ci;
    ci.fwupdate_ipc_version = static_cast<uint32_t>(le_at<uint32_t>(buf, sizeof(buf), RFC_CI_OFF_IPC_VERSION));
    ci.board_id = fmt::format("0x{:08x}", le_at<uint32_t>(buf, sizeof(buf), RFC_CI_OFF_BOARD_ID));
    ci.asic_name = name_of(k_asic_names, buf[RFC_CI_OFF_ASIC], "unknown");
    ci.board_keyname = text_field(buf + RFC_CI_OFF_KEYNAME, 32);
    ci.life_cycle_state = name_of(k_lcs_names, buf[RFC_CI_OFF_LCS], "Unknown");
    ci.sigchk = buf[RFC_CI_OFF_SIGCHK];
    ci.hw_fuse = buf[RFC_CI_OFF_HW_FUSE];
    ci.secure_boot = buf[RFC_CI_OFF_SECURE_BOOT];
    ci.secure_enable = buf[RFC_CI_OFF_SECURE_ENABLE];
    ci.life_cycle_fuses = le_at<uint64_t>(buf, sizeof(buf), RFC_CI_OFF_LCS_FUSES);
    ci.soc_running = k_image_letters[running];
    // the image it boots next, gold included
    ci.soc_active = k_image_letters[startup];
    ci.suc_running = name_of(k_image_letters, std::min<uint8_t>(buf[RFC_CI_OFF_SUC_RUNNING], 1), "A");
    ci.suc_startup = name_of(k_image_letters, std::min<uint8_t>(buf[RFC_CI_OFF_SUC_STARTUP], 1), "A");
    if (path) {
        std::string json = fmt::format(
            "{{\n\"fwupdate_ipc_version\": \"{}\",\n\"board_id\": \"{}\",\n\"asic\": \"{}\",\n\"board_keyname\": "
            "\"{}\",\n\"board_hw_fuse\": \"{}\",\n\"board_sigchk\": \"{}\",\n\"board_secure_enable\": \"{}\",\n"
            "\"board_secure_boot\": \"{}\",\n\"life_cycle_state_fuses\": \"0x{:x}\",\n\"life_cycle_state\": "
            "\"{}\",\n\"soc_running\": \"{}\",\n\"suc_running\": \"{}\",\n\"SUC Startup\": \"{}\",\n\"SOC Startup\": "
            "\"{}\"\n}}\n",
            ci.fwupdate_ipc_version, ci.board_id, ci.asic_name, ci.board_keyname, ci.hw_fuse, ci.sigchk,
            ci.secure_enable, ci.secure_boot, ci.life_cycle_fuses, ci.life_cycle_state, ci.soc_running,
            ci.suc_running, ci.suc_startup, ci.soc_active);
        if (!fwupdate_write_output(fwupdate_tls().dev_oper_dir + path + ".txt", json)) {
            return RFC_ERR;
        }
    }
    if (info) {
        *info = ci;
    }
    return RFC_OK;
}

std::string rfc_running_version(const rfc_card_info_s& ci, const rfc_image_version_info_u& vi)
{
    const char* key = ci.soc_running == "A" ? "Zephyr-A" : ci.soc_running == "B" ? "Zephyr-B" : "Gold Zephyr";
    for (const auto& [n, v] : ci.soc_running == "G" ? vi.sri : vi.soc) {
        if (n == key) {
            return v;
        }
    }
    return "unknown";
}
