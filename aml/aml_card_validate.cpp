// card handle checks and the error texts that name a card

#include "aml/aml_card_validate.h"

#include <regex>

#include "aml/aml_state.h"
#include "ipc/nic_ipc.h"

static const std::regex k_uuid_regex("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$");
// the '.' is literal: an address ends up in sysfs paths and shell commands,
// so "0000:3b:00/0" must not pass for one
static const std::regex k_bdf_regex("^[0-9a-f]{4}:[0-9a-f]{2}:[0-9a-f]{2}\\.[0-9a-f]{1}$");

bool is_uuid_valid(const std::string& text)
{
    return std::regex_match(text, k_uuid_regex);
}

bool is_bdf_valid(const std::string& text)
{
    return std::regex_match(text, k_bdf_regex);
}

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
