// the single-exchange card requests: heartbeat, time, coredump clears, pss
// reset and cmb, each one command over a fresh channel

#include "aml/aml_card_requests.h"

#include <cstdlib>
#include <ctime>
#include <vector>

#include "aml/aml_card_cmds.h"
#include "ipc/le_bytes.h"

namespace {

constexpr size_t k_heartbeat_req_size = 8;
constexpr size_t k_heartbeat_nonce_offset = 8;
constexpr size_t k_time_fields = 9;
constexpr size_t k_time_fields_offset = 4;
constexpr size_t k_time_value1_offset = 40;
constexpr size_t k_time_value2_offset = 48;

// the broken-down time fields in their order on the wire
int tm::*const k_tm_fields[k_time_fields] = {&tm::tm_sec,  &tm::tm_min,  &tm::tm_hour,
                                             &tm::tm_mday, &tm::tm_mon,  &tm::tm_year,
                                             &tm::tm_wday, &tm::tm_yday, &tm::tm_isdst};

// requests whose body is one byte 0
const uint8_t k_zero_byte[1] = {0};

// one command over a fresh channel; on success decode reads the answer and
// gives the final status
template <typename req_t, typename rsp_t, typename decode_t>
aml_status_e card_request(const aml_card_cmd_s& cmd, req_t* req, rsp_t* rsp, const void* body, size_t body_len,
                          decode_t decode)
{
    if (req == nullptr || rsp == nullptr) {
        return AML_STATUS_INVALID_INPUT;
    }
    rsp->error.clear();
    std::vector<uint8_t> answer;
    aml_status_e status = aml_card_request(&req->card, cmd, body, body_len, answer, rsp->error);
    return status == AML_STATUS_OK ? decode(answer.data()) : status;
}

// the status-only commands: nothing to decode on success
template <typename req_t, typename rsp_t>
aml_status_e status_only_request(const aml_card_cmd_s& cmd, req_t* req, rsp_t* rsp, const void* body,
                                 size_t body_len)
{
    return card_request(cmd, req, rsp, body, body_len, [](const uint8_t*) { return AML_STATUS_OK; });
}

}  // namespace

uint64_t aml_heartbeat_rsp_nonce(const uint8_t rsp[AML_HEARTBEAT_RSP_SIZE])
{
    return le_at<uint64_t>(rsp, AML_HEARTBEAT_RSP_SIZE, k_heartbeat_nonce_offset);
}

void aml_time_get_rsp_decode(const uint8_t rsp[AML_TIME_GET_RSP_SIZE], aml_card_time_get_rsp_s* out)
{
    for (size_t i = 0; i < k_time_fields; i++) {
        out->card_time.*k_tm_fields[i] = le_at<int32_t>(rsp, AML_TIME_GET_RSP_SIZE, k_time_fields_offset + 4 * i);
    }
    out->value1 = le_at<uint64_t>(rsp, AML_TIME_GET_RSP_SIZE, k_time_value1_offset);
    out->value2 = le_at<uint64_t>(rsp, AML_TIME_GET_RSP_SIZE, k_time_value2_offset);
}

void aml_time_update_req_encode(const struct tm& time, uint8_t req[AML_TIME_UPDATE_REQ_SIZE])
{
    for (size_t i = 0; i < k_time_fields; i++) {
        le_put<int32_t>(req, AML_TIME_UPDATE_REQ_SIZE, 4 * i, time.*k_tm_fields[i]);
    }
}

uint8_t aml_cmb_get_rsp_decode(const uint8_t rsp[AML_CMB_GET_RSP_SIZE])
{
    return rsp[0];
}

aml_status_e aml_card_liveness_check(aml_card_liveness_check_req_s* req, aml_card_liveness_check_rsp_s* rsp)
{
    // reseeded on every check: two checks within one second send one nonce
    srand(static_cast<unsigned>(time(nullptr)));
    uint64_t nonce = static_cast<uint64_t>(rand());
    uint8_t body[k_heartbeat_req_size];
    le_put<uint64_t>(body, sizeof(body), 0, nonce);
    return card_request(aml_card_cmd(AML_CARD_CMD_HEARTBEAT), req, rsp, body, sizeof(body), [&](const uint8_t* answer) {
        return aml_heartbeat_rsp_nonce(answer) == nonce ? AML_STATUS_OK : AML_STATUS_GENERIC_ERR;
    });
}

aml_status_e aml_card_time_get(aml_card_time_get_req_s* req, aml_card_time_get_rsp_s* rsp)
{
    return card_request(aml_card_cmd(AML_CARD_CMD_TIME_GET), req, rsp, k_zero_byte, sizeof(k_zero_byte),
                        [&](const uint8_t* answer) {
                            aml_time_get_rsp_decode(answer, rsp);
                            return AML_STATUS_OK;
                        });
}

aml_status_e aml_card_time_update(aml_card_time_upd_req_s* req, aml_card_time_upd_rsp_s* rsp)
{
    if (req == nullptr) {
        return AML_STATUS_INVALID_INPUT;
    }
    uint8_t body[AML_TIME_UPDATE_REQ_SIZE];
    aml_time_update_req_encode(req->card_time, body);
    return status_only_request(aml_card_cmd(AML_CARD_CMD_TIME_UPDATE), req, rsp, body, sizeof(body));
}

aml_status_e aml_card_coredump_clear(aml_coredump_clear_req_s* req, aml_coredump_clear_rsp_s* rsp)
{
    return status_only_request(aml_card_cmd(AML_CARD_CMD_DEVICE_COREDUMP_CLEAR), req, rsp, k_zero_byte,
                               sizeof(k_zero_byte));
}

aml_status_e aml_suc_coredump_clear(aml_coredump_clear_req_s* req, aml_coredump_clear_rsp_s* rsp)
{
    return status_only_request(aml_card_cmd(AML_CARD_CMD_SUC_COREDUMP_CLEAR), req, rsp, k_zero_byte,
                               sizeof(k_zero_byte));
}

aml_status_e aml_card_pss_reset(aml_card_pss_reset_req_s* req, aml_card_pss_reset_rsp_s* rsp)
{
    return status_only_request(aml_card_cmd(AML_CARD_CMD_PSS_RESET), req, rsp, nullptr, 0);
}

aml_status_e aml_card_cmb_get(aml_card_cmb_get_req_s* req, aml_card_cmb_get_rsp_s* rsp)
{
    return card_request(aml_card_cmd(AML_CARD_CMD_CMB_GET), req, rsp, k_zero_byte, sizeof(k_zero_byte),
                        [&](const uint8_t* answer) {
                            rsp->cmb = aml_cmb_get_rsp_decode(answer);
                            return AML_STATUS_OK;
                        });
}

aml_status_e aml_card_cmb_update(aml_card_cmb_upd_req_s* req, aml_card_cmb_upd_rsp_s* rsp)
{
    if (req == nullptr) {
        return AML_STATUS_INVALID_INPUT;
    }
    uint8_t body[1] = {req->cmb};
    return status_only_request(aml_card_cmd(AML_CARD_CMD_CMB_UPDATE), req, rsp, body, sizeof(body));
}
