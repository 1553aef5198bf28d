// the one road of every card request: validate, open, send, check, close

#include "aml/aml_card_ipc.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "aml/aml_card_validate.h"
#include "aml/aml_state.h"
#include "ipc/le_bytes.h"
#include "ipc/nic_ipc.h"

aml_status_e aml_card_rsp_check(const aml_card_handle_s* handle, const aml_card_cmd_s& cmd, ssize_t rc,
                                uint32_t fw_errno, int sys_errno, const uint8_t* rsp,
                                bool skip_errno_check, std::string& error)
{
    if (!skip_errno_check) {
        if (fw_errno != 0) {
            error = aml_card_error_msg(handle, cmd.errno_text + std::to_string(fw_errno));
            return AML_STATUS_IPC_OP_ERR;
        }
        if (rc < 0) {
            error = aml_card_error_msg(handle, std::string("ERROR - Failed to send ") + cmd.name +
                                                   ", err : " + strerror(sys_errno));
            return AML_STATUS_IPC_OP_ERR;
        }
    }
    // a length beyond the capacity cannot have been received into it: the
    // answer is as unusable as a short one
    ssize_t got = rsp != nullptr ? rc : std::min<ssize_t>(rc, 0);
    if (got != static_cast<ssize_t>(cmd.rsp_size)) {
        error = aml_card_error_msg(handle, std::string("ERROR - ") + cmd.name + " IPC response size " +
                                               std::to_string(got) + " doesn't match " + "expected size " +
                                               std::to_string(cmd.rsp_size));
        return AML_STATUS_MSG_SIZE_MISMATCH;
    }
    if (cmd.status_offset + sizeof(uint32_t) > cmd.rsp_size) {
        error = aml_card_error_msg(handle, std::string("ERROR - ") + cmd.name + " has no status word");
        return AML_STATUS_INVALID_OP;
    }
    uint32_t status = le_at<uint32_t>(rsp, cmd.rsp_size, cmd.status_offset);
    if (!aml_sdk_ret_is_success(status)) {
        aml_status_e mapped = sdk_ret_to_aml_status(status);
        error = aml_card_error_msg(handle, cmd.status_text + aml_status_to_str(mapped));
        return mapped;
    }
    return AML_STATUS_OK;
}

aml_status_e aml_card_request(aml_card_handle_s* handle, const aml_card_cmd_s& cmd, const void* req,
                              size_t req_len, std::vector<uint8_t>& rsp, std::string& error)
{
    rsp.clear();
    aml_status_e status = aml_card_handle_check(handle, error);
    if (status != AML_STATUS_OK) {
        return status;
    }
    nic_ipc_handle_s ipc;
    if (nic_ipc_open(&ipc, handle->bdf.c_str()) != 0) {
        nic_ipc_close(&ipc);
        error = aml_card_error_msg(handle, "ERROR - Failed to open IPC connection");
        return AML_STATUS_IPC_CONN_ERR;
    }
    // one zeroed area holds the request and then receives the response
    std::vector<uint8_t> buf(std::max(req_len, cmd.rsp_size), 0);
    if (req_len > 0 && req != nullptr) {
        memcpy(buf.data(), req, req_len);
    }
    uint32_t fw_errno = 0;
    errno = 0;
    ssize_t rc = nic_ipc_req_rsp(&ipc, cmd.endpoint, cmd.opcode, buf.data(), req_len, cmd.rsp_size, &fw_errno);
    int sys_errno = errno;
    nic_ipc_close(&ipc);

    status = aml_card_rsp_check(handle, cmd, rc, fw_errno, sys_errno, buf.data(),
                                g_aml_state.skip_ipc_errno_check, error);
    if (status == AML_STATUS_OK) {
        rsp.assign(buf.begin(), buf.begin() + static_cast<ssize_t>(cmd.rsp_size));
    }
    return status;
}
