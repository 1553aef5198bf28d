// pcie device management: drivers, host port error reporting, reset,
// remove, rescan and the recommission that strings them together

#include "aml/aml_pcie.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <thread>

#include "aml/aml_card_ipc.h"
#include "aml/aml_card_validate.h"
#include "aml/aml_inventory.h"
#include "aml/aml_utils.h"
#include "ipc/le_bytes.h"
#include "ipc/nic_ipc.h"
#include "ipc/shell_command.h"
#include "ipc/sysfs_attr.h"

namespace {

constexpr uint32_t k_uemsk_surprise_down = 0x20;
constexpr uint32_t k_dpccr_trigger_bits = 0x3;
constexpr size_t k_host_port_max = 255;
constexpr uint32_t k_card_ep = 0x13, k_card_reset_op = 0x10008;
constexpr size_t k_reset_rsp_size = 4;

const aml_card_cmd_s k_cpld_reload = {"CPLD_RELOAD", k_card_ep, 0x1000e, 4, 0,
                                      "ERROR - Failed to reload CPLD, err : ",
                                      "ERROR - Failed to reload CPLD, status : "};

bool is_dir(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// runs a command with no output wanted; its exit code
int run(const std::string& command)
{
    std::string out;
    return aml_execute_command(command, out);
}

bool port_has(const std::string& port, const char* capability)
{
    std::string command = ipc_shell_command("lspci -vvs {} | grep -sqi {}",
                                            {port, std::string("Capabilities:.*") + capability});
    return run(command) == 0;
}

// echo NAME > /sys/bus/BUS/drivers/DRIVER/unbind, when the driver holds it
void unbind_entry(const host_device_info_s& dev)
{
    if (!ipc_sysfs_name_ok(dev.driver) || !ipc_sysfs_name_ok(dev.name)) {
        return;
    }
    std::string dir = "/sys/bus/" + dev.bus + "/drivers/" + dev.driver;
    std::string link = dir + "/" + dev.name;
    if (!is_dir(link)) {
        return;
    }
    (void)run(ipc_shell_command("echo {} > {}", {dev.name, dir + "/unbind"}));
    // the driver's link goes before a later bind looks for it; a kernel
    // removes it within the write, a slow one is given a few seconds
    for (int i = 0; i < 500 && is_dir(link); i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// the auxiliary devices under a function whose names hold the pattern, with
// the driver their uevent names
std::vector<host_device_info_s> aux_devices(const std::string& bdf, const std::string& pattern)
{
    std::vector<host_device_info_s> found;
    std::vector<std::string> names;
    if (pattern.find_first_of("/*?[") != std::string::npos ||
        !ipc_sysfs_match(IPC_SYSFS_PCI_DEVICES + bdf, "*" + pattern + "*", names)) {
        return found;
    }
    for (const auto& name : names) {
        std::string driver;
        std::string command = ipc_shell_command("cat {} | grep -i Driver | awk -F\"=\" '{print $2}'",
                                                {"/sys/bus/auxiliary/devices/" + name + "/uevent"});
        if (ipc_sysfs_name_ok(name) && aml_execute_command(command, driver) == 0 && !driver.empty()) {
            found.push_back({"auxiliary", driver.substr(0, driver.find('\n')), name});
        }
    }
    return found;
}

// reads a setpci register as hexadecimal; 0 or the status with the error
aml_status_e read_register(const aml_card_handle_s* card, const std::string& port, const char* reg,
                           const char* what, uint32_t& value, std::string& error)
{
    std::string out;
    int rc = aml_execute_command(ipc_shell_command("setpci -s {} ", {port}) + reg + " 2>/dev/null", out);
    if (rc < 0) {
        error = aml_card_error_msg(card, std::string("ERROR - Failed to get current ") + what + " value");
        return AML_STATUS_PCIE_CAP_GET_ERR;
    }
    if (rc != 0) {
        error = aml_card_error_msg(card, std::string("ERROR - Failed to get ") + what + " value, err " +
                                             std::to_string(rc));
        return AML_STATUS_PCIE_CAP_GET_ERR;
    }
    unsigned int parsed = 0;
    int scanned = sscanf(out.c_str(), "%x", &parsed);
    if (scanned != 1) {
        error = aml_card_error_msg(card, std::string("ERROR - Failed to scan for current ") + what +
                                             " value, err " + std::to_string(scanned));
        return AML_STATUS_PCIE_CAP_GET_ERR;
    }
    value = parsed;
    return AML_STATUS_OK;
}

// the port above a function; on failure the message, still to be composed
aml_status_e host_port_get(const std::string& bdf, std::string& port, std::string& message)
{
    std::string command = ipc_shell_command(
        "basename $(dirname $(readlink {} 2>/dev/null) 2>/dev/null) 2>/dev/null", {IPC_SYSFS_PCI_DEVICES + bdf});
    std::string out;
    int rc = aml_execute_command(command, out);
    out = out.substr(0, out.find('\n')).substr(0, k_host_port_max);
    if (rc < 0) {
        message = "ERROR - Failed to get host port, err " + std::to_string(rc);
        return AML_STATUS_PCIE_HOST_PORT_GET_ERR;
    }
    // a function at the top of the tree has no port above it: "devices"
    if (out.empty() || !is_bdf_valid(out)) {
        message = "ERROR - Failed to get host port, BDF not found";
        return AML_STATUS_PCIE_DEV_NOT_FOUND;
    }
    if (rc != 0) {
        message = "ERROR - Failed to read host port, err " + std::to_string(rc);
        return AML_STATUS_PCIE_HOST_PORT_GET_ERR;
    }
    port = out;
    return AML_STATUS_OK;
}

void restore_port(const std::string& port, uint32_t uemsk, uint32_t dpccr)
{
    if (aml_pcie_port_has_aer(port)) {
        (void)run(ipc_shell_command("setpci -s {} ECAP_AER+8.l={}", {port, fmt::format("{:x}", uemsk)}));
    }
    if (aml_pcie_port_has_dpc(port)) {
        (void)run(ipc_shell_command("setpci -s {} ECAP_DPC+6.w={}", {port, fmt::format("{:x}", dpccr)}));
    }
}

aml_status_e unbind_set(aml_card_handle_s& card, const std::vector<aml_pcie_device_s>& set, std::string& error)
{
    aml_card_unbind_pcie_devices_req_s req{card, set};
    aml_card_unbind_pcie_devices_rsp_s rsp;
    aml_status_e status = aml_card_unbind_pcie_devices(&req, &rsp);
    error = rsp.error;
    return status;
}

aml_status_e bind_set(aml_card_handle_s& card, const std::vector<aml_pcie_device_s>& set, std::string& error)
{
    aml_card_bind_pcie_devices_req_s req{card, set};
    aml_card_bind_pcie_devices_rsp_s rsp;
    aml_status_e status = aml_card_bind_pcie_devices(&req, &rsp);
    error = rsp.error;
    return status;
}

// CARD_RESET or CPLD_RELOAD over a fresh channel
aml_status_e send_reset(aml_card_decommission_req_s* req, aml_card_decommission_rsp_s* rsp)
{
    aml_card_handle_s* card = &req->card;
    nic_ipc_handle_s ipc;
    if (nic_ipc_open(&ipc, card->bdf.c_str()) != 0) {
        nic_ipc_close(&ipc);
        rsp->error = aml_card_error_msg(card, "ERROR - Failed to open IPC connection");
        return AML_STATUS_IPC_CONN_ERR;
    }
    uint8_t buf[k_reset_rsp_size] = {};
    le_put<uint32_t>(buf, sizeof(buf), 0, req->reset_arg);
    uint32_t fw_errno = 0;
    errno = 0;
    uint32_t opcode = req->cpld_reload ? k_cpld_reload.opcode : k_card_reset_op;
    ssize_t rc = nic_ipc_req_rsp(&ipc, k_card_ep, opcode, buf, sizeof(buf), sizeof(buf), &fw_errno);
    int sys_errno = errno;
    nic_ipc_close(&ipc);

    if (req->cpld_reload) {
        return aml_card_rsp_check(card, k_cpld_reload, rc, fw_errno, sys_errno, buf, false, rsp->error);
    }
    if (rc < 0 || fw_errno != 0) {
        int err = fw_errno != 0 ? static_cast<int>(fw_errno) : sys_errno;
        rsp->error = aml_card_error_msg(card, std::string("ERROR - CARD_RESET IPC operation failed, err ") +
                                                  strerror(err));
        return AML_STATUS_IPC_OP_ERR;
    }
    rsp->reset_answer = rc >= static_cast<ssize_t>(k_reset_rsp_size) && le_at<uint32_t>(buf, sizeof(buf), 0) != 0;
    return AML_STATUS_OK;
}

}  // namespace

const std::vector<aml_pcie_device_s>& aml_pcie_host_network_devices()
{
    static const std::vector<aml_pcie_device_s> set = {{NIC_PCI_DEV_FUNC_1002, "plenx", {"rdma"}}};
    return set;
}

const std::vector<aml_pcie_device_s>& aml_pcie_card_mgmt_devices()
{
    static const std::vector<aml_pcie_device_s> set = {{NIC_PCI_DEV_CORE, "vxc_core", {}},
                                                       {NIC_PCI_DEV_IPC, "vosk_ipc", {}}};
    return set;
}

bool aml_pcie_port_has_aer(const std::string& port)
{
    return port_has(port, "Advanced Error Reporting");
}

bool aml_pcie_port_has_dpc(const std::string& port)
{
    return port_has(port, "Downstream Port Containment");
}

aml_status_e aml_card_pcie_cap_set(aml_card_pcie_cap_set_req_s* req, aml_card_pcie_cap_set_rsp_s* rsp)
{
    // a port that is not there has no capabilities either: without this
    // check nothing would be written and the call would still succeed
    if (!is_bdf_valid(req->port) || !ipc_sysfs_name_ok(req->port) || !is_dir(IPC_SYSFS_PCI_DEVICES + req->port)) {
        rsp->error = aml_card_error_msg(&req->card, "ERROR - PCIe port " + req->port + " not found");
        return AML_STATUS_PCIE_DEV_NOT_FOUND;
    }
    int uemsk_rc = 0, dpccr_rc = 0;
    if (aml_pcie_port_has_aer(req->port)) {
        uemsk_rc = run(ipc_shell_command("setpci -s {} ECAP_AER+8.l={}", {req->port, fmt::format("{:x}", req->uemsk)}));
    }
    if (aml_pcie_port_has_dpc(req->port)) {
        dpccr_rc = run(ipc_shell_command("setpci -s {} ECAP_DPC+6.w={}", {req->port, fmt::format("{:x}", req->dpccr)}));
    }
    std::string message;
    if (uemsk_rc != 0 && dpccr_rc != 0) {
        message = "ERROR - Failed to set uemsk & dpccr, err " + std::to_string(uemsk_rc) + " & " +
                  std::to_string(dpccr_rc);
    } else if (uemsk_rc != 0) {
        message = "ERROR - Failed to set uemsk, err " + std::to_string(uemsk_rc);
    } else if (dpccr_rc != 0) {
        message = "ERROR - Failed to set dpccr, err " + std::to_string(dpccr_rc);
    } else {
        return AML_STATUS_OK;
    }
    rsp->error = aml_card_error_msg(&req->card, message);
    return AML_STATUS_PCIE_CAP_SET_ERR;
}

aml_status_e aml_pcie_rescan(aml_pcie_rescan_req_s* req, aml_pcie_rescan_rsp_s* rsp)
{
    if (req->delay > 0) {
        sleep(req->delay);
    }
    if (!ipc_sysfs_name_ok(req->bdf) ||
        run(ipc_shell_command("echo 1 > {}", {IPC_SYSFS_PCI_DEVICES + req->bdf + "/rescan"})) != 0) {
        rsp->error = aml_card_error_msg(req->bdf, "Failed to perform PCIe rescan");
        return AML_STATUS_PCIE_RESCAN_ERR;
    }
    return AML_STATUS_OK;
}

aml_status_e aml_card_unbind_pcie_devices(aml_card_unbind_pcie_devices_req_s* req,
                                          aml_card_unbind_pcie_devices_rsp_s* rsp)
{
    aml_status_e status = aml_card_handle_check(&req->card, rsp->error);
    if (status != AML_STATUS_OK) {
        return status;
    }
    for (const auto& device : req->devices) {
        std::string bdf;
        if (device_bdf_from_vmb_bdf(req->card.bdf, static_cast<uint16_t>(device.device_id), bdf) != 0) {
            continue;  // no such function: nothing is bound
        }
        for (const auto& pattern : device.aux_patterns) {
            for (const auto& aux : aux_devices(bdf, pattern)) {
                unbind_entry(aux);
            }
        }
        unbind_entry({"pci", device.driver, bdf});
    }
    return AML_STATUS_OK;
}

aml_status_e aml_card_bind_pcie_devices(aml_card_bind_pcie_devices_req_s* req,
                                        aml_card_bind_pcie_devices_rsp_s* rsp)
{
    aml_status_e status = aml_card_handle_check(&req->card, rsp->error);
    if (status != AML_STATUS_OK) {
        return status;
    }
    for (const auto& device : req->devices) {
        std::string bdf;
        if (!ipc_sysfs_name_ok(device.driver) ||
            device_bdf_from_vmb_bdf(req->card.bdf, static_cast<uint16_t>(device.device_id), bdf) != 0) {
            continue;
        }
        std::string dir = IPC_SYSFS_PCI_DRIVERS + device.driver;
        if (!is_dir(dir + "/" + bdf)) {
            (void)run(ipc_shell_command("echo {} > {}", {bdf, dir + "/bind"}));
        }
    }
    return AML_STATUS_OK;
}

aml_status_e aml_card_decommission(aml_card_decommission_req_s* req, aml_card_decommission_rsp_s* rsp)
{
    aml_card_handle_s* card = &req->card;
    aml_status_e status = aml_card_handle_check(card, rsp->error);
    if (status != AML_STATUS_OK) {
        return status;
    }
    std::string port;
    std::string message;
    status = host_port_get(card->bdf, port, message);
    if (status != AML_STATUS_OK) {
        rsp->error = aml_card_error_msg(card, message);
        return status;
    }
    bool aer = aml_pcie_port_has_aer(port), dpc = aml_pcie_port_has_dpc(port);
    uint32_t uemsk = 0, dpccr = 0;
    if (aer && (status = read_register(card, port, "ECAP_AER+8.l", "UEMsk", uemsk, rsp->error)) != AML_STATUS_OK) {
        return status;
    }
    if (dpc && (status = read_register(card, port, "ECAP_DPC+6.w", "DPCCR", dpccr, rsp->error)) != AML_STATUS_OK) {
        return status;
    }
    rsp->host_port = port;
    rsp->uemsk = uemsk;
    rsp->dpccr = dpccr;

    // a card leaving the bus is a surprise down for the port: not an error
    aml_card_pcie_cap_set_req_s mask{*card, port, uemsk | k_uemsk_surprise_down, dpccr & ~k_dpccr_trigger_bits};
    aml_card_pcie_cap_set_rsp_s mask_rsp;
    status = aml_card_pcie_cap_set(&mask, &mask_rsp);
    if (status != AML_STATUS_OK) {
        rsp->error = mask_rsp.error;
        return status;
    }
    std::string ignored;
    (void)unbind_set(*card, aml_pcie_host_network_devices(), ignored);

    if (req->reset != 0) {
        status = send_reset(req, rsp);
        if (status != AML_STATUS_OK) {
            (void)bind_set(*card, aml_pcie_host_network_devices(), ignored);
            restore_port(port, uemsk, dpccr);
            return status;
        }
    }
    (void)unbind_set(*card, aml_pcie_card_mgmt_devices(), ignored);
    int rc = run(ipc_shell_command("echo 1 > {}", {IPC_SYSFS_PCI_DEVICES + card->bdf + "/remove"}));
    if (rc != 0) {
        rsp->error = aml_card_error_msg(card, "ERROR - Failed to remove pcie host port " + std::to_string(rc));
        restore_port(port, uemsk, dpccr);
        return AML_STATUS_PCIE_DEV_REMOVE_ERR;
    }
    return AML_STATUS_OK;
}

aml_status_e aml_card_pcie_remove(aml_card_pcie_remove_req_s* req, aml_card_pcie_remove_rsp_s* rsp)
{
    if (req->bdf.empty()) {
        rsp->error = aml_card_error_msg(req->bdf, "ERROR - PCIe BDF not set");
        return AML_STATUS_INVALID_INPUT;
    }
    if (!is_bdf_valid(req->bdf)) {
        rsp->error = aml_card_error_msg(req->bdf, "ERROR - Invalid PCIe BDF");
        return AML_STATUS_INVALID_INPUT;
    }
    std::string port, message;
    aml_status_e status = host_port_get(req->bdf, port, message);
    if (status != AML_STATUS_OK) {
        rsp->error = aml_card_error_msg(req->bdf, "ERROR - Failed to get host port");
        return status;
    }
    rsp->host_port = port;
    int rc = run(ipc_shell_command("echo 1 > {}", {IPC_SYSFS_PCI_DEVICES + req->bdf + "/remove"}));
    if (rc != 0) {
        rsp->error = aml_card_error_msg(req->bdf, "ERROR - Failed to remove pcie host port " + std::to_string(rc));
        return AML_STATUS_PCIE_DEV_REMOVE_ERR;
    }
    return AML_STATUS_OK;
}

aml_status_e aml_card_recommission(aml_card_handle_s* handle, std::string& step, std::string& error,
                                   uint32_t rescan_delay_s)
{
    step = "Decommission";
    aml_card_decommission_req_s decom;
    decom.card = *handle;
    decom.reset = 1;
    decom.reset_arg = AML_RECOMMISSION_RESET_ARG;
    aml_card_decommission_rsp_s decom_rsp;
    aml_status_e status = aml_card_decommission(&decom, &decom_rsp);
    if (status != AML_STATUS_OK) {
        error = decom_rsp.error;
        return status;
    }
    *handle = decom.card;

    step = "Rescan";
    aml_pcie_rescan_req_s rescan{rescan_delay_s, decom_rsp.host_port};
    aml_pcie_rescan_rsp_s rescan_rsp;
    status = aml_pcie_rescan(&rescan, &rescan_rsp);
    if (status != AML_STATUS_OK) {
        error = rescan_rsp.error;
        return status;
    }

    step = "Commission";
    aml_card_pcie_cap_set_req_s restore{*handle, decom_rsp.host_port, decom_rsp.uemsk, decom_rsp.dpccr};
    aml_card_pcie_cap_set_rsp_s restore_rsp;
    status = aml_card_pcie_cap_set(&restore, &restore_rsp);
    if (status != AML_STATUS_OK) {
        error = restore_rsp.error;
        return status;
    }
    std::vector<std::string> functions;
    uint32_t count = 0;
    // the kernel lists a rescanned card's functions as it enumerates them:
    // ask again for a while (10 s) before giving up
    bool listed = false;
    for (int attempt = 0; attempt < 20 && !listed; attempt++) {
        if (attempt > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        functions.clear();
        count = 0;
        listed = nic_ipc_card_device_list_get(handle->bdf, functions, &count) == 0;
    }
    if (!listed) {
        error = aml_card_error_msg(handle, "Failed to populate PCIe devices after reset");
        return AML_PCIE_STATUS_DEVICES_NOT_LISTED;
    }
    for (const auto& fn : functions) {
        if (!nic_ipc_is_device_bar_map_valid(fn)) {
            error = aml_card_error_msg(handle, "Failed to assign BAR memory for " + fn);
            return AML_PCIE_STATUS_BAR_UNASSIGNED;
        }
    }
    aml_card_uuid_get_req_s uuid_req{handle->bdf};
    aml_card_uuid_get_rsp_s uuid_rsp;
    status = aml_card_uuid_get(&uuid_req, &uuid_rsp);
    if (status != AML_STATUS_OK) {
        error = aml_card_error_msg(handle, "Failed to detect card after reset");
        return status;
    }
    return AML_STATUS_OK;
}
