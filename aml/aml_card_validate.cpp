// card handle checks and the error texts that name a card

#include "aml/aml_card_validate.h"

#include "aml/aml_state.h"
#include "aml/aml_utils.h"
#include "ipc/nic_ipc.h"

aml_status_e aml_card_handle_validate(aml_card_handle_s* handle)
{
    aml_test_env_refresh();
    if (handle == nullptr) {
        return AML_STATUS_INVALID_INPUT;
    }
    if (!handle->uuid.empty()) {
        if (!is_uuid_valid(handle->uuid)) {
            return AML_STATUS_INVALID_INPUT;
        }
        if (handle->bdf.empty()) {
            std::string bdf;
            if (nic_ipc_card_bdf_from_uuid(handle->uuid, bdf) != 0) {
                return AML_STATUS_GENERIC_ERR;
            }
            handle->bdf = bdf;
        }
        return AML_STATUS_OK;
    }
    if (!is_bdf_valid(handle->bdf)) {
        return AML_STATUS_INVALID_INPUT;
    }
    nic_ipc_card_info_s info;
    if (nic_ipc_get_card_info(handle->bdf, &info) != 0) {
        return AML_STATUS_GENERIC_ERR;
    }
    handle->uuid = info.uuid;
    return AML_STATUS_OK;
}

aml_status_e aml_card_handle_check(aml_card_handle_s* handle, std::string& error)
{
    aml_status_e status = aml_card_handle_validate(handle);
    if (status != AML_STATUS_OK) {
        error = aml_card_error_msg(handle, "ERROR - Invalid card handle");
    }
    return status;
}

std::string aml_card_error_msg(const aml_card_handle_s* handle, const std::string& message)
{
    std::string uuid = handle ? handle->uuid : "";
    std::string bdf = handle ? handle->bdf : "";
    return "NIC " + uuid + " (" + bdf + ") : " + message + "\n";
}

std::string aml_card_error_msg(const std::string& bdf, const std::string& message)
{
    return "NIC (" + bdf + ") : " + message + "\n";
}
