#pragma once

// the single-exchange card requests: heartbeat, time, coredump clears, pss
// reset and cmb, with the layouts of their bodies

#include <cstdint>
#include <ctime>
#include <string>

#include "aml/aml_card_handle.h"
#include "aml/aml_status.h"

// single-exchange card requests: each opens its own channel to the card,
// sends one command and closes the channel before it returns

struct aml_card_liveness_check_req_s {
    aml_card_handle_s card;
};
struct aml_card_liveness_check_rsp_s {
    std::string error;
};

struct aml_card_time_get_req_s {
    aml_card_handle_s card;
};
struct aml_card_time_get_rsp_s {
    struct tm card_time = {};  // the card's broken-down time
    uint64_t value1 = 0;       // two firmware-defined values, passed through
    uint64_t value2 = 0;
    std::string error;
};

struct aml_card_time_upd_req_s {
    aml_card_handle_s card;
    struct tm card_time = {};  // the nine broken-down fields are sent
};
struct aml_card_time_upd_rsp_s {
    std::string error;
};

// both coredump clears
struct aml_coredump_clear_req_s {
    aml_card_handle_s card;
};
struct aml_coredump_clear_rsp_s {
    std::string error;
};

struct aml_card_pss_reset_req_s {
    aml_card_handle_s card;
};
struct aml_card_pss_reset_rsp_s {
    std::string error;
};

struct aml_card_cmb_get_req_s {
    aml_card_handle_s card;
};
struct aml_card_cmb_get_rsp_s {
    uint8_t cmb = 0;
    std::string error;
};

struct aml_card_cmb_upd_req_s {
    aml_card_handle_s card;
    uint8_t cmb = 0;
};
struct aml_card_cmb_upd_rsp_s {
    std::string error;
};

// 0 when the card echoed the nonce it was sent, 255 for another nonce
aml_status_e aml_card_liveness_check(aml_card_liveness_check_req_s* req, aml_card_liveness_check_rsp_s* rsp);
aml_status_e aml_card_time_get(aml_card_time_get_req_s* req, aml_card_time_get_rsp_s* rsp);
aml_status_e aml_card_time_update(aml_card_time_upd_req_s* req, aml_card_time_upd_rsp_s* rsp);
aml_status_e aml_card_coredump_clear(aml_coredump_clear_req_s* req, aml_coredump_clear_rsp_s* rsp);
aml_status_e aml_suc_coredump_clear(aml_coredump_clear_req_s* req, aml_coredump_clear_rsp_s* rsp);
aml_status_e aml_card_pss_reset(aml_card_pss_reset_req_s* req, aml_card_pss_reset_rsp_s* rsp);
aml_status_e aml_card_cmb_get(aml_card_cmb_get_req_s* req, aml_card_cmb_get_rsp_s* rsp);
aml_status_e aml_card_cmb_update(aml_card_cmb_upd_req_s* req, aml_card_cmb_upd_rsp_s* rsp);

// decoders of the responses, for the requests above and their tests; each
// reads only the bytes of its fixed layout, which the request has checked
constexpr size_t AML_HEARTBEAT_RSP_SIZE = 16;
constexpr size_t AML_TIME_GET_RSP_SIZE = 56;
constexpr size_t AML_TIME_UPDATE_REQ_SIZE = 36;
constexpr size_t AML_CMB_GET_RSP_SIZE = 8;

uint64_t aml_heartbeat_rsp_nonce(const uint8_t rsp[AML_HEARTBEAT_RSP_SIZE]);
void aml_time_get_rsp_decode(const uint8_t rsp[AML_TIME_GET_RSP_SIZE], aml_card_time_get_rsp_s* out);
void aml_time_update_req_encode(const struct tm& time, uint8_t req[AML_TIME_UPDATE_REQ_SIZE]);
uint8_t aml_cmb_get_rsp_decode(const uint8_t rsp[AML_CMB_GET_RSP_SIZE]);
