#pragma once

// library statuses, their texts and the mappings to and from firmware statuses

#include <cstdint>
#include <string>

// status of every library operation: 0 success, otherwise the reason, with
// a fixed text per value
enum aml_status_e : uint32_t {
    AML_STATUS_OK = 0,
    AML_STATUS_CARD_NOT_DETECTED = 1,      // no card on the host
    AML_STATUS_RESOURCE_DEV_NOT_FOUND = 2, // the card has no resource function
    AML_STATUS_VOSK_IPC_DEV_NOT_FOUND = 3, // no vosk ipc character device
    AML_STATUS_FWCTL_IPC_DEV_NOT_FOUND = 4,// no fwctl device
    AML_STATUS_IPC_CONN_ERR = 5,           // the ipc channel cannot be opened
    AML_STATUS_IPC_OP_ERR = 6,             // the exchange failed or the firmware refused it
    AML_STATUS_NOT_SUPPORTED = 7,
    AML_STATUS_NOT_FOUND = 8,
    AML_STATUS_TIMEOUT = 9,
    AML_STATUS_INVALID_OP = 10,
    AML_STATUS_INVALID_INPUT = 11,
    AML_STATUS_IO_ERR = 12,
    AML_STATUS_OUT_OF_RESOURCE = 13,
    AML_STATUS_VERSION_MISMATCH = 14,      // firmware and software versions do not fit
    AML_STATUS_MSG_SIZE_MISMATCH = 15,     // a response shorter than its layout
    AML_STATUS_PCIE_DEV_NOT_FOUND = 16,
    AML_STATUS_PCIE_HOST_PORT_GET_ERR = 17,
    AML_STATUS_PCIE_CAP_GET_ERR = 18,
    AML_STATUS_PCIE_CAP_SET_ERR = 19,
    AML_STATUS_PCIE_DEV_REMOVE_ERR = 20,
    AML_STATUS_PCIE_RESCAN_ERR = 21,
    AML_STATUS_FW_RETRY = 24,              // the firmware's status 11, which counts as success
    AML_STATUS_OUT_OF_BOUND = 25,
    AML_STATUS_INIT_ERR = 26,
    AML_STATUS_GENERIC_ERR = 255,
};

namespace sdk {

// status word at the start of firmware response bodies and of monitor
// functions
enum sdk_ret_t : uint32_t {
    SDK_RET_OK = 0,
    SDK_RET_INVALID_ARG = 2,
    SDK_RET_INVALID_OP = 3,
    SDK_RET_ENTRY_NOT_FOUND = 4,
    SDK_RET_OOM = 6,
    SDK_RET_OOB = 8,
    SDK_RET_RETRY = 11,        // success in firmware responses
    SDK_RET_TIMEOUT = 39,
    SDK_RET_NOT_SUPPORTED = 44,
    SDK_RET_INIT_ERR = 54,
    SDK_RET_MSG_SIZE_MISMATCH = 56,
    SDK_RET_IPC_CONN_ERR = 62,
    SDK_RET_IPC_OP_ERR = 63,
    SDK_RET_ERR = 255,
};

}  // namespace sdk

// "OK", ..., "Unknown error" for values without a text
std::string aml_status_to_str(uint32_t status);
// firmware status to library status; 255 for anything unmapped
aml_status_e sdk_ret_to_aml_status(uint32_t ret);
// library status to firmware status; 255 for anything unmapped
sdk::sdk_ret_t aml_to_sdk_ret_status(uint32_t status);
// 0 and 11 both mean success in a firmware response
bool aml_sdk_ret_is_success(uint32_t ret);
