// the platform layer for one card, as the library's callers start it

#include "aml/aml_sdk.h"

#include "aml/aml_card_validate.h"
#include "log/module_trace.h"
#include "pal/pal.h"
#include "pal/pal_hw_x86.h"

aml_status_e aml_card_sdk_init(aml_card_handle_s* handle, std::string& error)
{
    error.clear();
    aml_status_e status = aml_card_handle_check(handle, error);
    if (status != AML_STATUS_OK) {
        return status;
    }
    logger_init(null_logger_cb_);
    int rc = pal_hw_x86_init(handle->bdf.c_str());
    if (rc < 0) {
        error = aml_card_error_msg(handle, "ERROR - Failed to initialize PAL with resource device of card " +
                                               handle->bdf + ", err : " + std::to_string(rc));
        return AML_STATUS_GENERIC_ERR;
    }
    rc = static_cast<int>(sdk::lib::pal_init(sdk::platform::PLATFORM_TYPE_HW, nullptr));
    if (rc != 0) {
        error = aml_card_error_msg(handle, "ERROR - Failed to initialize PAL, card BDF " + handle->bdf);
        return AML_STATUS_GENERIC_ERR;
    }
    return AML_STATUS_OK;
}
