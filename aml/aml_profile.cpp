// card profiles: reading them from a package or from the card's
// configuration directory, and changing a card's profile

#include "aml/aml_profile.h"

#include "aml/aml_pcie.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sstream>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "aml/aml_card_ipc.h"
#include "aml/aml_card_validate.h"
#include "aml/aml_firmware.h"
#include "aml/aml_inventory.h"
#include "aml/aml_pcie.h"
#include "aml/aml_state.h"
#include "aml/aml_trace.h"
#include "fwupdate/fwupdate_profile.h"
#include "ipc/nic_ipc.h"
#include "ipc/shell_command.h"

namespace pt = boost::property_tree;

namespace {

const aml_card_cmd_s k_port_breakout_mode_update = {
    "PORT_BREAKOUT_MODE_UPDATE",
    0x11,
    0x10014,
    4,
    0,
    "ERROR - Failed to update port breakout-mode, err : ",
    "ERROR - Failed to update port breakout-mode, status : ",
};
constexpr size_t k_port_breakout_req_size = 2;

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool file_exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

// the active profile named in the card's card.conf: "default" without the
// file or its key; false when the file is there but is no JSON object
bool read_active_profile(const std::string& conf_dir, std::string& name)
{
    name = AML_DEFAULT_CARD_PROFILE;
    const std::string path = conf_dir + AML_CARD_CONF_FILE;
    if (!file_exists(path)) {
        return true;
    }
    try {
        pt::ptree conf;
        pt::read_json(path, conf);
        name = conf.get<std::string>("card-profile", AML_DEFAULT_CARD_PROFILE);
    } catch (const pt::ptree_error&) {
        return false;
    }
    return true;
}

}  // namespace

aml_card_profile_s aml_default_card_profile()
{
    return {AML_DEFAULT_CARD_PROFILE, "default profile", "default device config", {}};
}

std::string aml_card_conf_dir(const aml_card_handle_s* handle)
{
    std::string dir = aml_conf_dir();
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    return dir + "/" + handle->bdf + "/";
}

aml_status_e aml_parse_card_profile_json(const std::string& json_text, std::string name_filter,
                                         std::vector<aml_card_profile_s>& profiles)
{
    pt::ptree root;
    try {
        std::istringstream in(json_text);
        pt::read_json(in, root);
    } catch (const pt::ptree_error&) {
        return AML_STATUS_INVALID_INPUT;
    }
    auto list = root.get_child_optional("profile");
    if (!list) {
        return AML_STATUS_INVALID_INPUT;
    }
    for (const auto& entry : *list) {
        const pt::ptree& element = entry.second;
        aml_card_profile_s profile;
        try {
            profile.name = element.get<std::string>("name", "");
            profile.description = element.get<std::string>("description");
            profile.device_config = element.get<std::string>("device_config");
        } catch (const pt::ptree_error&) {
            return AML_STATUS_INVALID_INPUT;
        }
        if (!name_filter.empty() && profile.name != name_filter) {
            continue;
        }
        if (auto ports = element.get_child_optional("port")) {
            for (const auto& port_entry : *ports) {
                const pt::ptree& port = port_entry.second;
                std::string text = lower(port.get<std::string>("port", ""));
                errno = 0;
                unsigned long number = strtoul(text.c_str(), nullptr, 0);
                // 0 (also no number at all) and what does not fit a port
                // number, such as a negative one, are refused alike
                if (number == 0 || number > UINT32_MAX || errno == ERANGE) {
                    return AML_STATUS_INVALID_INPUT;
                }
                aml_port_profile_cfg_s cfg;
                cfg.port = static_cast<uint32_t>(number);
                cfg.breakout_mode = aml_port_breakout_mode(lower(port.get<std::string>("breakout_mode", "")));
                profile.ports.push_back(cfg);
            }
        }
        profiles.push_back(std::move(profile));
    }
    return AML_STATUS_OK;
}

aml_status_e aml_card_profile_get(aml_card_profile_get_req_s* req, aml_card_profile_get_rsp_s* rsp)
{
    rsp->error.clear();
    rsp->profiles.clear();
    rsp->active_profile.clear();
    aml_card_handle_s* handle = &req->card;

    if (!req->package.empty()) {
        const std::string& path = req->package;
        if (access(path.c_str(), R_OK) != 0) {
            rsp->error = aml_card_error_msg(handle, "ERROR - Firmware package " + path +
                                                        " doesn't exist or not accessible");
            return AML_STATUS_NOT_FOUND;
        }
        std::string text;
        if (aml_execute_command(ipc_shell_command("tar -axf {} --no-anchored card_profile.json -O", {path}), text) !=
            0) {
            rsp->error = aml_card_error_msg(handle, "ERROR - card_profile.json file not found in firmware package " +
                                                        path);
            return AML_STATUS_NOT_FOUND;
        }
        aml_status_e status = aml_parse_card_profile_json(text, "", rsp->profiles);
        if (status != AML_STATUS_OK) {
            rsp->error = aml_card_error_msg(
                handle, "ERROR - Failed to parse card profiles from card_profile.json in firmware package " + path);
        }
        return status;
    }

    aml_status_e status = aml_card_handle_check(handle, rsp->error);
    if (status != AML_STATUS_OK) {
        return status;
    }
    const std::string dir = aml_card_conf_dir(handle);
    std::string active;
    if (!read_active_profile(dir, active)) {
        rsp->error = aml_card_error_msg(handle, "ERROR - Failed to parse " + dir + AML_CARD_CONF_FILE);
        return AML_STATUS_INVALID_INPUT;
    }
    const std::string path = dir + AML_CARD_PROFILE_FILE;
    if (!file_exists(path)) {
        rsp->profiles.push_back(aml_default_card_profile());
        rsp->active_profile = active;
        return AML_STATUS_OK;
    }
    // the file is read and written back as the JSON writer renders it, and
    // that text is what is parsed
    std::string text;
    try {
        pt::ptree tree;
        pt::read_json(path, tree);
        std::ostringstream out;
        pt::write_json(out, tree);
        text = out.str();
    } catch (const pt::ptree_error&) {
        rsp->error = aml_card_error_msg(handle, "ERROR - Failed to parse card profiles");
        return AML_STATUS_INVALID_INPUT;
    }
    status = aml_parse_card_profile_json(text, "", rsp->profiles);
    if (status != AML_STATUS_OK) {
        rsp->error = aml_card_error_msg(handle, "ERROR - Failed to parse card profiles");
        return status;
    }
    rsp->active_profile = active;
    return AML_STATUS_OK;
}

aml_status_e aml_card_port_profile_apply(aml_card_handle_s* handle, const std::vector<aml_port_profile_cfg_s>& ports,
                                         std::string& error)
{
    aml_status_e status = aml_card_handle_check(handle, error);
    if (status != AML_STATUS_OK) {
        return status;
    }
    if (ports.empty()) {
        return AML_STATUS_OK;
    }
    nic_ipc_handle_s ipc;
    if (nic_ipc_open(&ipc, handle->bdf.c_str()) != 0) {
        nic_ipc_close(&ipc);
        error = aml_card_error_msg(handle, "ERROR - Failed to open IPC connection");
        return AML_STATUS_IPC_CONN_ERR;
    }
    for (const auto& cfg : ports) {
        // the request (port, mode code) and then the 4-byte status in one area
        uint8_t buf[4] = {static_cast<uint8_t>(cfg.port & 0xff), aml_port_breakout_mode(cfg.breakout_mode), 0, 0};
        uint32_t fw_errno = 0;
        errno = 0;
        ssize_t rc = nic_ipc_req_rsp(&ipc, k_port_breakout_mode_update.endpoint, k_port_breakout_mode_update.opcode,
                                     buf, k_port_breakout_req_size, k_port_breakout_mode_update.rsp_size, &fw_errno);
        int sys_errno = errno;
        status = aml_card_rsp_check(handle, k_port_breakout_mode_update, rc, fw_errno, sys_errno, buf,
                                    g_aml_state.skip_ipc_errno_check, error);
        if (status != AML_STATUS_OK) {
            break;
        }
    }
    nic_ipc_close(&ipc);
    return status;
}

namespace {

// the port stage of an update: the requested profile's ports, from the
// package or from the card's own profile file
aml_status_e port_stage(aml_card_profile_upd_req_s* req, bool installed, std::string& error)
{
    aml_card_handle_s* handle = &req->card;
    const bool is_default = req->profile == AML_DEFAULT_CARD_PROFILE;
    std::string text, file;
    int rc;
    // after an install the engine has left the profiles of its private copy
    // in the card's configuration directory: those are the ones installed,
    // whatever the caller's file holds by now
    if (installed) {
        file = aml_card_conf_dir(handle) + AML_CARD_PROFILE_FILE;
        rc = file_exists(file) ? aml_execute_command(ipc_shell_command("cat {}", {file}), text) : -1;
        if (rc != 0 && !is_default) {
            error = aml_card_error_msg(handle, "ERROR - card_profile.json file not found in firmware package " +
                                                   req->package);
            return AML_STATUS_NOT_FOUND;
        }
    } else if (!req->package.empty()) {
        file = AML_CARD_PROFILE_FILE;
        rc = aml_execute_command(
            ipc_shell_command("tar -axf {} --no-anchored card_profile.json -O 2> /dev/null", {req->package}), text);
        if (rc != 0 && !is_default) {
            error = aml_card_error_msg(handle, "ERROR - card_profile.json file not found in firmware package " +
                                                   req->package);
            return AML_STATUS_NOT_FOUND;
        }
    } else {
        const std::string dir = aml_card_conf_dir(handle);
        file = dir + AML_CARD_PROFILE_FILE;
        rc = file_exists(file) ? aml_execute_command(ipc_shell_command("cat {}", {file}), text) : -1;
        if (rc != 0 && !is_default) {
            error = aml_card_error_msg(handle, "ERROR - card_profile.json file not found in " + dir);
            return AML_STATUS_NOT_FOUND;
        }
    }
    // the default profile needs no profile file: without one it sets no ports
    if (rc != 0) {
        return aml_card_port_profile_apply(handle, {}, error);
    }
    std::vector<aml_card_profile_s> profiles;
    aml_status_e status = aml_parse_card_profile_json(text, req->profile, profiles);
    if (status != AML_STATUS_OK) {
        error = aml_card_error_msg(handle, "ERROR - Failed to parse " + file);
        return status;
    }
    if (profiles.empty()) {
        if (is_default) {
            return aml_card_port_profile_apply(handle, {}, error);
        }
        error = aml_card_error_msg(handle, "ERROR - Profile " + req->profile + " not found in " + file);
        return AML_STATUS_NOT_FOUND;
    }
    return aml_card_port_profile_apply(handle, profiles.front().ports, error);
}

void enter_stage(aml_card_profile_upd_req_s* req, aml_card_profile_upd_rsp_s* rsp, const char* stage)
{
    rsp->stage = stage;
    if (req->on_stage) {
        req->on_stage(rsp->stage);
    }
}

}  // namespace

aml_status_e aml_card_profile_update(aml_card_profile_upd_req_s* req, aml_card_profile_upd_rsp_s* rsp)
{
    rsp->error.clear();
    rsp->stage = AML_PROFILE_STAGE_INSTALL;
    rsp->previous_profile.clear();
    rsp->progress = 0;
    rsp->install_status.clear();
    aml_card_handle_s* handle = &req->card;

    aml_status_e status = aml_card_handle_check(handle, rsp->error);
    if (status != AML_STATUS_OK) {
        return status;
    }
    if (req->profile.empty()) {
        rsp->error = aml_card_error_msg(handle, "ERROR - No card profile given");
        return AML_STATUS_INVALID_INPUT;
    }
    uint8_t image = 0;
    status = kovra_get_card_running_firmware(handle, &image, rsp->error);
    if (status != AML_STATUS_OK) {
        return status;
    }

    aml_fwupdate_trace_cb_ctxt_s trace;
    status = aml_fwupdate_start(handle, &trace, rsp->error);
    if (status != AML_STATUS_OK) {
        return status;
    }
    int rc = 0;
    // an unreadable card.conf is overwritten by the activation below: it
    // does not stop the update
    if (!read_active_profile(aml_card_conf_dir(handle), rsp->previous_profile)) {
        rsp->previous_profile.clear();
    }

    const bool ports_skipped = image == AML_PROFILE_NO_PORTS_RUNNING_IMAGE;
    bool installed = false;
    if (!(req->activate_only && ports_skipped)) {
        enter_stage(req, rsp, AML_PROFILE_STAGE_INSTALL);
        if (req->install_firmware) {
            firmware_update_req_s install = req->install;
            install.package = req->package;
            install.profile = req->profile;
            rc = firmware_update(&install, &rsp->progress, rsp->install_status);
            // a gold install leaves the card's installed files as they were
            installed = std::find(install.names.begin(), install.names.end(), "goldfw") == install.names.end();
        } else {
            fwupdate_device_config_upd_req_s dc;
            dc.profile = req->profile;
            dc.timeout_s = req->install.timeout_s;
            rc = fwupdate_device_config_update(&dc, &rsp->progress, rsp->install_status);
        }
        if (rc != FWUPDATE_OK && rc != FWUPDATE_NOTHING_TO_DO) {
            aml_handle_fwupdate_failure(handle, &trace, rsp->error);
            return sdk_ret_to_aml_status(static_cast<uint32_t>(rc));
        }
        if (!ports_skipped) {
            enter_stage(req, rsp, AML_PROFILE_STAGE_PORTS);
            status = port_stage(req, installed, rsp->error);
            if (status != AML_STATUS_OK) {
                return status;
            }
        }
    }

    enter_stage(req, rsp, AML_PROFILE_STAGE_ACTIVATION);
    fwupdate_activate_profile_req_s activate;
    activate.package = req->package;
    activate.profile = req->profile;
    fwupdate_activate_profile_rsp_s activated;
    rc = fwupdate_activate_profile(&activate, &activated);
    if (rc != 0) {
        aml_handle_fwupdate_failure(handle, &trace, rsp->error);
        return sdk_ret_to_aml_status(static_cast<uint32_t>(rc));
    }
    if (req->recommission) {
        std::string step;
        status = aml_card_recommission(handle, step, rsp->error, req->rescan_delay_s);
        if (status != AML_STATUS_OK) {
            return status;
        }
    }
    enter_stage(req, rsp, AML_PROFILE_STAGE_DONE);
    return AML_STATUS_OK;
}
