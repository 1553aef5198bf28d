#pragma once

// the library's road to the firmware update engine: starting it for a card,
// its failures logged per card, and the one-call firmware requests

#include <functional>
#include <string>

#include "aml/aml_card_handle.h"
#include "aml/aml_status.h"
#include "aml/aml_trace.h"
#include "fwupdate/fwupdate_state.h"

// the card requests the firmware update engine carries out: the next boot
// image, secure boot, and erasing a flash partition. each validates the
// card, starts the engine for it, makes one engine call and, on a failure,
// appends everything the engine reported to the card's update log.

struct aml_card_next_boot_image_update_req_s {
    aml_card_handle_s card;
    std::string image;  // "fw-a", "fw-b", "fw-gold", "fw-alt"
};
struct aml_card_next_boot_image_update_rsp_s {
    std::string error;
};
struct aml_card_secure_boot_update_req_s {
    aml_card_handle_s card;
    uint8_t option = 0;  // 1 enable, 2 disable
};
struct aml_card_secure_boot_update_rsp_s {
    std::string error;
};
struct aml_card_secure_boot_info_get_req_s {
    aml_card_handle_s card;
};
struct aml_card_secure_boot_info_get_rsp_s {
    std::string error;
    std::string info;
};
struct aml_card_flash_partition_erase_req_s {
    aml_card_handle_s card;
    std::string partition;
};
struct aml_card_flash_partition_erase_rsp_s {
    std::string error;
};

// "fw-a" -> "mainfwa", "fw-b" -> "mainfwb", "fw-gold" -> "goldfw",
// "fw-alt" -> "altfw", anything else -> "unknown"
std::string aml_engine_image_name(const std::string& image);

void aml_fill_fwupdate_init_params(aml_card_handle_s* handle, aml_fwupdate_trace_cb_ctxt_s* trace,
                                   fwupdate_init_params_s* params);
void aml_handle_fwupdate_failure(aml_card_handle_s* handle, aml_fwupdate_trace_cb_ctxt_s* trace, std::string& error);
// starts the engine for the card, its messages gathered in trace; a failure
// is handled as above and its status returned
aml_status_e aml_fwupdate_start(aml_card_handle_s* handle, aml_fwupdate_trace_cb_ctxt_s* trace, std::string& error);
// the wrapper whole: validate the handle, start the engine with trace, make
// the call, and on a failure log and fill error; the mapped status
aml_status_e aml_fwupdate_call(aml_card_handle_s* handle, aml_fwupdate_trace_cb_ctxt_s& trace, std::string& error,
                               const std::function<int()>& call);

aml_status_e aml_card_next_boot_image_update(aml_card_next_boot_image_update_req_s* req,
                                             aml_card_next_boot_image_update_rsp_s* rsp);
aml_status_e aml_card_secure_boot_update(aml_card_secure_boot_update_req_s* req, aml_card_secure_boot_update_rsp_s* rsp);
aml_status_e aml_card_secure_boot_info_get(aml_card_secure_boot_info_get_req_s* req,
                                           aml_card_secure_boot_info_get_rsp_s* rsp);
aml_status_e aml_card_flash_partition_erase(aml_card_flash_partition_erase_req_s* req,
                                            aml_card_flash_partition_erase_rsp_s* rsp);
