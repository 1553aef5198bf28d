// the remote flash client's exchanges with the card's firmware-update service

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fmt/format.h>

#include "fwupdate/rfc.h"
#include "fwupdate/rfc_exchange.h"
#include "fwupdate/rfc_wire.h"
#include "ipc/le_bytes.h"

int rfc_init(rfc_init_params_s* params)
{
    auto& tls = fwupdate_tls();
    auto& g = fwupdate_globals();
    tls.dev_oper_dir = std::string(params->oper_dir) + "/" + params->card_bdf + "/";
    g.rfc_trace_cb = params->trace_cb;
    g.rfc_trace_level = params->trace_level;
    tls.rfc_trace_cb_ctxt = params->trace_cb_ctxt;
    if (const char* env = getenv("RFC_TEST_ENV")) {
        tls.rfc_test_env = static_cast<uint8_t>(strtoul(env, nullptr, 10));
    }
    if (tls.rfc_test_env == 1) {
        rfc_log(trace_level_err, "Simulated remote flash client init failure");
        return RFC_ERR;
    }
    return RFC_OK;
}

int rfc_cleanup()
{
    auto& tls = fwupdate_tls();
    if (tls.dev_init) {
        nic_ipc_close(&tls.ipc);
        tls.dev_init = false;
    }
    return 0;
}

int fwupdate_ipc_open(const char* bdf)
{
    auto& tls = fwupdate_tls();
    if (tls.dev_init) {
        return 0;
    }
    std::string address = bdf ? bdf : "";
    if (address == "00.0.0") {
        const char* env = getenv("VMB_BDF");
        address = env ? env : "";
    }
    int rc = nic_ipc_open(&tls.ipc, address.c_str());
    if (rc != 0) {
        rfc_log(trace_level_err, "device open failed, ret %d", rc);
        return RFC_ERR;
    }
    rfc_log(trace_level_debug, "device open success, bdf %s", address.c_str());
    tls.dev_init = true;
    return 0;
}

std::string rfc_error_text(const std::string& bdf, const std::string& detail)
{
    return "RFC: (" + (bdf.empty() ? std::string("(null)") : bdf) + ") : ERROR - " + detail;
}

rfc_exchange_result_e rfc_exchange(const rfc_exchange_s& x, uint8_t* buf, size_t req_len, size_t rsp_len,
                                   const std::string& bdf, ssize_t* received)
{
    auto& tls = fwupdate_tls();
    uint32_t fw_errno = 0;
    ssize_t n = nic_ipc_req_rsp(&tls.ipc, RFC_ENDPOINT, x.cmd, buf, req_len, rsp_len, &fw_errno);
    if (received) {
        *received = n;
    }
    std::string detail;
    if (n < 0) {
        detail = fmt::format("Failed to send {}, err : {}", x.name, strerror(errno));
    } else if (fw_errno != 0) {
        detail = fmt::format("Failed to {} {}, err : {}", x.verb, x.object, fw_errno);
    } else if (static_cast<size_t>(n) < rsp_len) {
        detail = fmt::format("{} IPC response size {} doesn't match expected size {}", x.name, n, rsp_len);
    } else {
        return RFC_EXCHANGE_OK;
    }
    rfc_log(trace_level_err, "%s", rfc_error_text(bdf, detail).c_str());
    return RFC_EXCHANGE_FAILED;
}

bool rfc_hex_to_bytes(const std::string& hex, uint8_t* out, size_t len)
{
    if (hex.size() < 2 * len) {
        return false;
    }
    for (size_t i = 0; i < len; i++) {
        char pair[3] = {hex[2 * i], hex[2 * i + 1], 0};
        char* end = nullptr;
        unsigned long v = strtoul(pair, &end, 16);
        if (*end != '\0' || !isxdigit(static_cast<unsigned char>(pair[0]))) {
            return false;
        }
        out[i] = static_cast<uint8_t>(v);
    }
    return true;
}

bool rfc_partition_ok(uint32_t partition)
{
    if (partition >= FLASH_PARTITION_MAX) {
        rfc_log(trace_level_err, "flash partition is not valid");
        return false;
    }
    return true;
}

// both brackets send one byte and read a status word
static int operation_marker(uint32_t cmd, const char* name, const char* verb, const std::string& bdf,
                            const char* open_fail, const char* status_fail, const char* ok)
{
    if (fwupdate_ipc_open(bdf.c_str()) != 0) {
        rfc_log(trace_level_err, "%s", open_fail);
        return RFC_ERR;
    }
    uint8_t buf[RFC_OPERATION_RSP_SIZE] = {};
    rfc_exchange_s x = {cmd, name, verb, "fwupdate operation"};
    if (rfc_exchange(x, buf, RFC_OPERATION_REQ_SIZE, RFC_OPERATION_RSP_SIZE, bdf) != RFC_EXCHANGE_OK) {
        return RFC_ERR;
    }
    uint32_t status = static_cast<uint32_t>(le_at<uint32_t>(buf, sizeof(buf), 0));
    if (status != 0) {
        rfc_log(trace_level_err, status_fail, status);
        return RFC_ERR;
    }
    rfc_log(trace_level_info, "%s", ok);
    return RFC_OK;
}

int rfc_start_fwupdate_operation(const std::string& bdf)
{
    return operation_marker(RFC_CMD_START_OPERATION, "FWUPDATE_START_OPERATION", "start", bdf,
                            "Failed to open IPC connection for start fwupdate operation",
                            "Failed to start fwupdate operation, status %u", "Start fwupdate operation successful");
}

int rfc_abort_fwupdate_operation(const std::string& bdf)
{
    rfc_log(trace_level_info, "Preparing to abort fwupdate request");
    return operation_marker(RFC_CMD_ABORT_OPERATION, "FWUPDATE_ABORT_OPERATION", "abort", bdf,
                            "Failed to open IPC connection for abort fwupdate operation",
                            "Failed to abort fwupdate operation, status %u",
                            "Successfully completed the fwupdate abort request");
}

int rfc_firmware_type(uint32_t type, const std::string& bdf)
{
    if (type == FIRMWARE_IMAGE_FW_GOLD || fwupdate_ipc_open(bdf.c_str()) != 0) {
        return 3;
    }
    uint8_t buf[RFC_FIRMWARE_SELECT_SIZE] = {};
    le_put(buf, sizeof(buf), 0, 4, type);
    rfc_exchange_s x = {RFC_CMD_FIRMWARE_SELECT, "FIRMWARE_SELECT", "select", "firmware type"};
    if (rfc_exchange(x, buf, RFC_FIRMWARE_SELECT_SIZE, RFC_FIRMWARE_SELECT_SIZE, bdf) != RFC_EXCHANGE_OK) {
        return RFC_ERR;
    }
    return le_at<uint32_t>(buf, sizeof(buf), 0) == 0 ? RFC_OK : RFC_ERR;
}

int rfc_set_startup_image(firmware_image_type_e type, const std::string& bdf)
{
    if (type >= FIRMWARE_IMAGE_INVALID) {
        rfc_log(trace_level_err, "firmware type is invalid %d\n", static_cast<int>(type));
        return RFC_ERR;
    }
    if (fwupdate_ipc_open(bdf.c_str()) != 0) {
        return RFC_ERR;
    }
    rfc_log(trace_level_debug, "sending ipc for setting boot options, image %u", type);
    uint8_t buf[RFC_BOOT_OPS_REQ_SIZE] = {};
    le_put(buf, sizeof(buf), 0, 4, type);
    rfc_exchange_s x = {RFC_CMD_BOOT_OPS_SET, "BOOT_OPS_SET", "set", "startup image"};
    if (rfc_exchange(x, buf, RFC_BOOT_OPS_REQ_SIZE, RFC_BOOT_OPS_RSP_SIZE, bdf) != RFC_EXCHANGE_OK) {
        return RFC_ERR;
    }
    if (buf[0] != RFC_STATUS_DONE) {
        rfc_log(trace_level_err, "%s",
                rfc_error_text(bdf, fmt::format("Failed to set startup image, err : {}", buf[0])).c_str());
        return RFC_ERR;
    }
    rfc_log(trace_level_info, "setting boot options completed");
    return RFC_OK;
}

int rfc_secure_boot_update(uint32_t option, const std::string& bdf)
{
    // only enable and disable exist: anything else (4 among them) is refused
    // before the card hears of it, never read as one of the two
    if (option != SECURE_BOOT_OPTION_ENABLE && option != SECURE_BOOT_OPTION_DISABLE) {
        rfc_log(trace_level_err, "Invalid secure boot update option");
        return RFC_BAD_REQUEST;
    }
    if (fwupdate_ipc_open(bdf.c_str()) != 0) {
        return RFC_ERR;
    }
    uint8_t buf[RFC_SECURE_BOOT_SIZE] = {};
    le_put(buf, sizeof(buf), 0, 4, option);
    rfc_exchange_s x = {RFC_CMD_SECURE_BOOT_UPDATE, "SECURE_BOOT_UPDATE", "update", "secure boot"};
    if (rfc_exchange(x, buf, RFC_SECURE_BOOT_SIZE, RFC_SECURE_BOOT_SIZE, bdf) != RFC_EXCHANGE_OK) {
        return RFC_ERR;
    }
    return le_at<uint32_t>(buf, sizeof(buf), 0) == 0 ? RFC_OK : RFC_ERR;
}
