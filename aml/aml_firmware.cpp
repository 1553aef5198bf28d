// the library's road to the firmware update engine

#include "aml/aml_firmware.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#include "aml/aml_card_validate.h"
#include "aml/aml_state.h"
#include "aml/aml_utils.h"
#include "fwupdate/fwupdate.h"
#include "fwupdate/fwupdate_secure.h"
#include "ipc/nic_ipc.h"
#include "ipc/private_dir.h"

static constexpr uint8_t k_secure_boot_enable = 1, k_secure_boot_disable = 2;

std::string aml_engine_image_name(const std::string& image)
{
    static const std::pair<const char*, const char*> k_names[] = {
        {"fw-a", "mainfwa"}, {"fw-b", "mainfwb"}, {"fw-gold", "goldfw"}, {"fw-alt", "altfw"}};
    for (const auto& [from, to] : k_names) {
        if (image == from) {
            return to;
        }
    }
    return "unknown";
}

void aml_fill_fwupdate_init_params(aml_card_handle_s* handle, aml_fwupdate_trace_cb_ctxt_s* trace,
                                   fwupdate_init_params_s* params)
{
    params->card_bdf = handle->bdf;
    std::string core;
    params->vxc_core_bdf = nic_ipc_vxc_core_bdf_from_card_bdf(handle->bdf, core) == 0 ? core : "";
    params->oper_dir = aml_oper_dir();
    params->conf_dir = aml_conf_dir();
    params->trace_level = trace_level_verbose;
    params->trace_cb = aml_firmware_trace_cb;
    params->trace_cb_ctxt = trace;
}

void aml_handle_fwupdate_failure(aml_card_handle_s* handle, aml_fwupdate_trace_cb_ctxt_s* trace, std::string& error)
{
    std::string path = aml_debug_log_file(handle->bdf);
    // appended in the checked work folder, never through a link
    std::string why;
    if (!private_file_write(path, trace->messages, true, why)) {
        error = aml_card_error_msg(handle, "Failed to create log file " + path + ", err : " + why) +
                aml_card_error_msg(handle, trace->messages);
        return;
    }
    error = aml_card_error_msg(handle, trace->last_error);
}

aml_status_e aml_fwupdate_start(aml_card_handle_s* handle, aml_fwupdate_trace_cb_ctxt_s* trace, std::string& error)
{
    fwupdate_init_params_s params;
    aml_fill_fwupdate_init_params(handle, trace, &params);
    int rc = fwupdate_init(params);
    if (rc != 0) {
        aml_handle_fwupdate_failure(handle, trace, error);
        return sdk_ret_to_aml_status(static_cast<uint32_t>(rc));
    }
    return AML_STATUS_OK;
}

aml_status_e aml_fwupdate_call(aml_card_handle_s* handle, aml_fwupdate_trace_cb_ctxt_s& trace, std::string& error,
                               const std::function<int()>& call)
{
    aml_status_e status = aml_card_handle_check(handle, error);
    if (status != AML_STATUS_OK) {
        return status;
    }
    status = aml_fwupdate_start(handle, &trace, error);
    if (status != AML_STATUS_OK) {
        return status;
    }
    int rc = call();
    if (rc != 0) {
        aml_handle_fwupdate_failure(handle, &trace, error);
        return sdk_ret_to_aml_status(static_cast<uint32_t>(rc));
    }
    return AML_STATUS_OK;
}

// validate, start the engine, make the one call, report a failure
static aml_status_e engine_call(aml_card_handle_s* handle, std::string& error, const std::function<int()>& call)
{
    aml_fwupdate_trace_cb_ctxt_s trace;
    return aml_fwupdate_call(handle, trace, error, call);
}

aml_status_e aml_card_next_boot_image_update(aml_card_next_boot_image_update_req_s* req,
                                             aml_card_next_boot_image_update_rsp_s* rsp)
{
    std::string name = aml_engine_image_name(req->image);
    return engine_call(&req->card, rsp->error, [&] { return next_boot_image_set(name); });
}

aml_status_e aml_card_secure_boot_update(aml_card_secure_boot_update_req_s* req, aml_card_secure_boot_update_rsp_s* rsp)
{
    // 1 enables, 2 disables; any other value is refused before the card is
    // reached, never taken for a disable
    if (req->option != k_secure_boot_enable && req->option != k_secure_boot_disable) {
        rsp->error = aml_card_error_msg(&req->card, "ERROR - Invalid secure boot option " +
                                                        std::to_string(req->option) + ", 1 enables, 2 disables");
        return AML_STATUS_INVALID_INPUT;
    }
    return engine_call(&req->card, rsp->error, [&] {
        fwupdate_secure_boot_upd_req_s r;
        r.enable = req->option == k_secure_boot_enable;
        fwupdate_secure_boot_upd_rsp_s s;
        return fwupdate_secure_boot_update(&r, &s);
    });
}

aml_status_e aml_card_secure_boot_info_get(aml_card_secure_boot_info_get_req_s* req,
                                           aml_card_secure_boot_info_get_rsp_s* rsp)
{
    return engine_call(&req->card, rsp->error, [&] {
        fwupdate_secure_boot_info_s info;
        int rc = fwupdate_secure_boot_info_get(&info);
        rsp->info = info.info;
        return rc;
    });
}

aml_status_e aml_card_flash_partition_erase(aml_card_flash_partition_erase_req_s* req,
                                            aml_card_flash_partition_erase_rsp_s* rsp)
{
    return engine_call(&req->card, rsp->error, [&] {
        fwupdate_flash_partition_erase_req_s r{req->partition};
        fwupdate_flash_partition_erase_rsp_s s;
        return fwupdate_flash_partition_erase(&r, &s);
    });
}
