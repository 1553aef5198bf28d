// status texts and the two mappings between library and firmware statuses

#include "aml/aml_status.h"

#include <iterator>

namespace {

constexpr const char* k_unknown_error = "Unknown error";

struct status_text_s {
    aml_status_e status;
    const char* text;
};

// values without an entry (22, 23, 24, ...) have no text of their own
constexpr status_text_s k_status_texts[] = {
    {AML_STATUS_OK, "OK"},
    {AML_STATUS_CARD_NOT_DETECTED, "KOVRA ORLIX card(s) not detected"},
    {AML_STATUS_RESOURCE_DEV_NOT_FOUND, "KOVRA ORLIX card's resource device not found"},
    {AML_STATUS_VOSK_IPC_DEV_NOT_FOUND, "VOSK IPC device not found"},
    {AML_STATUS_FWCTL_IPC_DEV_NOT_FOUND, "FWCTL IPC device not found"},
    {AML_STATUS_IPC_CONN_ERR, "KOVRA ORLIX card IPC connection error"},
    {AML_STATUS_IPC_OP_ERR, "KOVRA ORLIX card IPC operation error"},
    {AML_STATUS_NOT_SUPPORTED, "Operation not supported"},
    {AML_STATUS_NOT_FOUND, "Entry/Object not found"},
    {AML_STATUS_TIMEOUT, "Operation timed out"},
    {AML_STATUS_INVALID_OP, "Invalid operation"},
    {AML_STATUS_INVALID_INPUT, "Invalid input"},
    {AML_STATUS_IO_ERR, "I/O error"},
    {AML_STATUS_OUT_OF_RESOURCE, "Out-of-resource error"},
    {AML_STATUS_VERSION_MISMATCH, "firmware/software version mismatch"},
    {AML_STATUS_MSG_SIZE_MISMATCH, "Message size mismatch"},
    {AML_STATUS_PCIE_DEV_NOT_FOUND, "PCIe device not found"},
    {AML_STATUS_PCIE_HOST_PORT_GET_ERR, "PCIe host port get error"},
    {AML_STATUS_PCIE_CAP_GET_ERR, "PCIe capability get error"},
    {AML_STATUS_PCIE_CAP_SET_ERR, "PCIe capability set error"},
    {AML_STATUS_PCIE_DEV_REMOVE_ERR, "PCIe device remove error"},
    {AML_STATUS_PCIE_RESCAN_ERR, "PCIe rescan error"},
    {AML_STATUS_OUT_OF_BOUND, "Out-of-bound error"},
    {AML_STATUS_INIT_ERR, "Intialization error"},
    {AML_STATUS_GENERIC_ERR, "Generic error"},
};

constexpr size_t k_sdk_ret_table_size = 64;

struct sdk_ret_pair_s {
    sdk::sdk_ret_t ret;
    aml_status_e status;
};

// the pairs that map both ways; every other value is a generic error
constexpr sdk_ret_pair_s k_sdk_ret_pairs[] = {
    {sdk::SDK_RET_OK, AML_STATUS_OK},
    {sdk::SDK_RET_INVALID_ARG, AML_STATUS_INVALID_INPUT},
    {sdk::SDK_RET_INVALID_OP, AML_STATUS_INVALID_OP},
    {sdk::SDK_RET_ENTRY_NOT_FOUND, AML_STATUS_NOT_FOUND},
    {sdk::SDK_RET_OOM, AML_STATUS_OUT_OF_RESOURCE},
    {sdk::SDK_RET_OOB, AML_STATUS_OUT_OF_BOUND},
    {sdk::SDK_RET_RETRY, AML_STATUS_FW_RETRY},
    {sdk::SDK_RET_TIMEOUT, AML_STATUS_TIMEOUT},
    {sdk::SDK_RET_NOT_SUPPORTED, AML_STATUS_NOT_SUPPORTED},
    {sdk::SDK_RET_MSG_SIZE_MISMATCH, AML_STATUS_MSG_SIZE_MISMATCH},
    {sdk::SDK_RET_IPC_CONN_ERR, AML_STATUS_IPC_CONN_ERR},
    {sdk::SDK_RET_IPC_OP_ERR, AML_STATUS_IPC_OP_ERR},
};

// the firmware's initialisation error maps to the library's, but not back:
// the library's initialisation error is a generic one for the firmware
constexpr sdk_ret_pair_s k_sdk_ret_only_pairs[] = {
    {sdk::SDK_RET_INIT_ERR, AML_STATUS_INIT_ERR},
};

struct sdk_ret_table_s {
    aml_status_e to_aml[k_sdk_ret_table_size];

    constexpr sdk_ret_table_s() : to_aml{}
    {
        for (auto& status : to_aml) {
            status = AML_STATUS_GENERIC_ERR;
        }
        for (const auto& pair : k_sdk_ret_pairs) {
            to_aml[pair.ret] = pair.status;
        }
        for (const auto& pair : k_sdk_ret_only_pairs) {
            to_aml[pair.ret] = pair.status;
        }
    }
};

constexpr sdk_ret_table_s k_sdk_ret_table;

}  // namespace

std::string aml_status_to_str(uint32_t status)
{
    for (const auto& entry : k_status_texts) {
        if (entry.status == status) {
            return entry.text;
        }
    }
    return k_unknown_error;
}

aml_status_e sdk_ret_to_aml_status(uint32_t ret)
{
    if (ret >= k_sdk_ret_table_size) {
        return AML_STATUS_GENERIC_ERR;
    }
    return k_sdk_ret_table.to_aml[ret];
}

sdk::sdk_ret_t aml_to_sdk_ret_status(uint32_t status)
{
    for (const auto& pair : k_sdk_ret_pairs) {
        if (pair.status == status) {
            return pair.ret;
        }
    }
    return sdk::SDK_RET_ERR;
}

bool aml_sdk_ret_is_success(uint32_t ret)
{
    return ret == sdk::SDK_RET_OK || ret == sdk::SDK_RET_RETRY;
}
