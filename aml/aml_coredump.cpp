// device-tree and coredump retrieval: one channel, the total first, then
// chunks by offset until the whole has arrived. the total announced first
// bounds every copy; a chunk that is empty, longer than what remains or than
// its answer can carry, or answered for another offset ends the retrieval.

#include "aml/aml_coredump.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "aml/aml_card_ipc.h"
#include "aml/aml_card_validate.h"
#include "aml/aml_state.h"
#include "ipc/le_bytes.h"
#include "ipc/nic_ipc.h"

namespace {

constexpr size_t k_offset_req_size = 4;
constexpr size_t k_chunk_length_offset = 4;
constexpr size_t k_dtb_total_offset = 4;

// DTB_SUMMARY_GET and DTB_GET of each type, type 1 first
struct dtb_cmds_s {
    aml_card_cmd_s summary;
    aml_card_cmd_s get;
};

constexpr const char* k_summary_errno = "ERROR - Failed to get DTB summary, err : ";
constexpr const char* k_summary_status = "ERROR - Failed to get DTB summary, status : ";
constexpr const char* k_get_errno = "ERROR - Failed to get DTB, err : ";
constexpr const char* k_get_status = "ERROR - Failed to get DTB, status : ";

constexpr dtb_cmds_s dtb_cmds(uint32_t endpoint, uint32_t summary_opcode, uint32_t get_opcode)
{
    return {{"DTB_SUMMARY_GET", endpoint, summary_opcode, AML_DTB_SUMMARY_RSP_SIZE, 0, k_summary_errno,
             k_summary_status},
            {"DTB_GET", endpoint, get_opcode, AML_DTB_RSP_SIZE, 0, k_get_errno, k_get_status}};
}

constexpr dtb_cmds_s k_dtb_cmds[AML_DTB_TYPE_MAX] = {
    dtb_cmds(0x0b, 0x10002, 0x10003),
    dtb_cmds(0x11, 0x1000f, 0x10010),
    dtb_cmds(0x12, 0x10008, 0x10009),
    dtb_cmds(0x12, 0x1000c, 0x1000d),
};

struct coredump_kind_s {
    aml_card_cmd_s cmd;
    const char* none_text;  // the coredump text when the card holds none
    const char* fail_text;  // what a retrieval the card spoils reports
};

const coredump_kind_s k_card_coredump = {
    {"COREDUMP_CHUNK_GET", 0x04, 0x10001, AML_COREDUMP_RSP_SIZE, 0, "Coredump collection failed, err ",
     "Coredump collection failed, status "},
    "No stored coredump\n",
    "ERROR - Failed to collect coredump",
};

const coredump_kind_s k_suc_coredump = {
    {"SUC_COREDUMP_CHUNK_GET", 0x04, 0x10009, AML_COREDUMP_RSP_SIZE, 0, "Coredump collection failed, err ",
     "SUC Coredump collection failed, status "},
    "No stored SUC coredump\n",
    "ERROR - Failed to collect SUC coredump",
};

// an open channel, closed when it goes out of scope
class channel {
public:
    channel() = default;
    ~channel() { nic_ipc_close(&ipc_); }
    channel(const channel&) = delete;
    channel& operator=(const channel&) = delete;

    bool open(const std::string& bdf) { return nic_ipc_open(&ipc_, bdf.c_str()) == 0; }

    // one exchange in buf, which holds the request and has room for the
    // whole answer; judged as every card request is
    aml_status_e exchange(const aml_card_handle_s* handle, const aml_card_cmd_s& cmd, uint8_t* buf,
                          size_t req_len, std::string& error)
    {
        uint32_t fw_errno = 0;
        errno = 0;
        ssize_t rc = nic_ipc_req_rsp(&ipc_, cmd.endpoint, cmd.opcode, buf, req_len, cmd.rsp_size, &fw_errno);
        int sys_errno = errno;
        return aml_card_rsp_check(handle, cmd, rc, fw_errno, sys_errno, buf, g_aml_state.skip_ipc_errno_check,
                                  error);
    }

private:
    nic_ipc_handle_s ipc_;
};

// the chunk length fits what remains and what one answer carries
bool chunk_fits(uint32_t length, uint32_t remaining, size_t chunk_max)
{
    return length <= remaining && length <= chunk_max;
}

std::string chunk_too_long_text(const char* what, uint32_t length, uint32_t offset, uint32_t remaining,
                                size_t chunk_max)
{
    return std::string(what) + " chunk length " + std::to_string(length) + " at offset " + std::to_string(offset) +
           " exceeds the " + std::to_string(std::min<size_t>(remaining, chunk_max)) + " bytes expected";
}

aml_status_e coredump_get(const coredump_kind_s& kind, aml_coredump_get_req_s* req, aml_coredump_get_rsp_s* rsp)
{
    if (req == nullptr || rsp == nullptr) {
        return AML_STATUS_INVALID_INPUT;
    }
    rsp->error.clear();
    rsp->coredump.clear();
    rsp->size = 0;
    aml_card_handle_s* handle = &req->card;
    aml_status_e status = aml_card_handle_check(handle, rsp->error);
    if (status != AML_STATUS_OK) {
        return status;
    }
    channel ch;
    if (!ch.open(handle->bdf)) {
        rsp->error = aml_card_error_msg(handle, "Failed to connect to NIC " + handle->bdf);
        return AML_STATUS_IPC_CONN_ERR;
    }
    auto fail = [&](aml_status_e result, const std::string& detail) {
        rsp->error = aml_card_error_msg(handle, std::string(kind.fail_text) + ": " + detail);
        return result;
    };

    std::string data;
    uint32_t total = 0;
    uint32_t received = 0;
    std::vector<uint8_t> buf(AML_COREDUMP_RSP_SIZE);
    for (bool first = true;; first = false) {
        std::fill(buf.begin(), buf.end(), 0);
        le_put<uint32_t>(buf.data(), buf.size(), 0, received);
        status = ch.exchange(handle, kind.cmd, buf.data(), k_offset_req_size, rsp->error);
        if (status != AML_STATUS_OK) {
            return status;
        }
        uint32_t length = le_at<uint32_t>(buf, k_chunk_length_offset);
        uint32_t chunk_total = le_at<uint32_t>(buf, AML_COREDUMP_TOTAL_OFFSET);
        uint32_t chunk_offset = le_at<uint32_t>(buf, AML_COREDUMP_CHUNK_OFFSET);
        if (first) {
            total = chunk_total;
            if (total == 0) {
                rsp->coredump = kind.none_text;
                return AML_STATUS_OK;
            }
            if (total > AML_COREDUMP_SIZE_MAX) {
                return fail(AML_STATUS_MSG_SIZE_MISMATCH, "the card announces " + std::to_string(total) +
                                                              " bytes, more than the " +
                                                              std::to_string(AML_COREDUMP_SIZE_MAX) + " accepted");
            }
        } else if (chunk_total != total) {
            return fail(AML_STATUS_IPC_OP_ERR, "the total changed from " + std::to_string(total) + " to " +
                                                   std::to_string(chunk_total) + " at offset " +
                                                   std::to_string(received));
        }
        if (chunk_offset != received) {
            return fail(AML_STATUS_IPC_OP_ERR, "offset " + std::to_string(received) + " answered with offset " +
                                                   std::to_string(chunk_offset));
        }
        uint32_t remaining = total - received;
        if (length == 0) {
            return fail(AML_STATUS_IPC_OP_ERR, "empty chunk at offset " + std::to_string(received) + " of " +
                                                   std::to_string(total));
        }
        if (!chunk_fits(length, remaining, AML_COREDUMP_CHUNK_MAX)) {
            return fail(AML_STATUS_MSG_SIZE_MISMATCH, chunk_too_long_text(kind.cmd.name, length, received, remaining,
                                                                          AML_COREDUMP_CHUNK_MAX));
        }
        data.append(reinterpret_cast<const char*>(buf.data() + AML_COREDUMP_DATA_OFFSET), length);
        received += length;
        if (received == total) {
            break;
        }
    }
    rsp->coredump = AML_COREDUMP_BEGIN + data + AML_COREDUMP_END;
    rsp->size = total;
    return AML_STATUS_OK;
}

}  // namespace

aml_status_e aml_card_dtb_get(aml_card_dtb_get_req_s* req, aml_card_dtb_get_rsp_s* rsp)
{
    if (req == nullptr || rsp == nullptr) {
        return AML_STATUS_INVALID_INPUT;
    }
    rsp->error.clear();
    rsp->size = 0;
    aml_card_handle_s* handle = &req->card;
    aml_status_e status = aml_card_handle_check(handle, rsp->error);
    if (status != AML_STATUS_OK) {
        return status;
    }
    if (req->type > AML_DTB_TYPE_MAX) {
        rsp->error = aml_card_error_msg(handle, "ERROR - Invalid DTB type " + std::to_string(req->type));
        return AML_STATUS_INVALID_INPUT;
    }
    if (req->type == 0) {
        rsp->error = aml_card_error_msg(handle, "ERROR - Unknow IPC endpoint for DTB type " + std::to_string(req->type));
        return AML_STATUS_INVALID_INPUT;
    }
    const dtb_cmds_s& cmds = k_dtb_cmds[req->type - 1];
    channel ch;
    if (!ch.open(handle->bdf)) {
        rsp->error = aml_card_error_msg(handle, "ERROR - Failed to open IPC connection");
        return AML_STATUS_IPC_CONN_ERR;
    }

    uint8_t summary[AML_DTB_SUMMARY_RSP_SIZE] = {};
    status = ch.exchange(handle, cmds.summary, summary, 1, rsp->error);
    if (status != AML_STATUS_OK) {
        return status;
    }
    uint32_t total = le_at<uint32_t>(summary, sizeof(summary), k_dtb_total_offset);
    if (req->buffer_size == 0 || req->buffer == nullptr) {
        rsp->size = total;
        return AML_STATUS_OK;
    }
    if (req->buffer_size < total) {
        return AML_STATUS_INVALID_INPUT;
    }
    rsp->size = total;

    auto* out = static_cast<uint8_t*>(req->buffer);
    uint8_t chunk[AML_DTB_RSP_SIZE];
    for (uint32_t remaining = total; remaining > 0;) {
        uint32_t offset = total - remaining;
        memset(chunk, 0, sizeof(chunk));
        le_put<uint32_t>(chunk, sizeof(chunk), 0, offset);
        status = ch.exchange(handle, cmds.get, chunk, k_offset_req_size, rsp->error);
        if (status != AML_STATUS_OK) {
            return status;
        }
        uint32_t length = le_at<uint32_t>(chunk, sizeof(chunk), k_chunk_length_offset);
        if (length == 0) {
            rsp->error = aml_card_error_msg(handle, "ERROR - DTB_GET empty chunk at offset " + std::to_string(offset) +
                                                        " of " + std::to_string(total));
            return AML_STATUS_IPC_OP_ERR;
        }
        if (!chunk_fits(length, remaining, AML_DTB_CHUNK_MAX)) {
            rsp->error = aml_card_error_msg(
                handle, "ERROR - " + chunk_too_long_text("DTB_GET", length, offset, remaining, AML_DTB_CHUNK_MAX));
            return AML_STATUS_MSG_SIZE_MISMATCH;
        }
        memcpy(out + offset, chunk + AML_DTB_DATA_OFFSET, length);
        remaining -= length;
    }
    return AML_STATUS_OK;
}

aml_status_e aml_card_coredump_get(aml_coredump_get_req_s* req, aml_coredump_get_rsp_s* rsp)
{
    return coredump_get(k_card_coredump, req, rsp);
}

aml_status_e aml_suc_coredump_get(aml_coredump_get_req_s* req, aml_coredump_get_rsp_s* rsp)
{
    return coredump_get(k_suc_coredump, req, rsp);
}
