// card listing, uuid and address lookups, and the device info queries

#include "aml/aml_inventory.h"

#include <cstring>

#include "aml/aml_card_cmds.h"
#include "aml/aml_card_validate.h"
#include "aml/aml_utils.h"
#include "ipc/le_bytes.h"
#include "ipc/nic_ipc.h"

namespace {

constexpr size_t k_device_role_offset = 4;
const uint8_t k_zero_byte[1] = {0};

// the function addresses a card reports, by the flag that says it was found
struct card_function_s {
    uint32_t flag;
    std::string nic_ipc_card_device_info_s::*from;
    std::string aml_card_get_rsp_s::*to;
};

const card_function_s k_card_functions[] = {
    {NIC_DEV_INFO_RESOURCE, &nic_ipc_card_device_info_s::rsc_bdf, &aml_card_get_rsp_s::rsc_bdf},
    {NIC_DEV_INFO_IPC, &nic_ipc_card_device_info_s::ipc_bdf, &aml_card_get_rsp_s::ipc_bdf},
    {NIC_DEV_INFO_CORE, &nic_ipc_card_device_info_s::core_bdf, &aml_card_get_rsp_s::core_bdf},
    {NIC_DEV_INFO_FUNC_1002, &nic_ipc_card_device_info_s::func_1002_bdf, &aml_card_get_rsp_s::func_1002_bdf},
    {NIC_DEV_INFO_FUNC_1003, &nic_ipc_card_device_info_s::func_1003_bdf, &aml_card_get_rsp_s::func_1003_bdf},
};

// what the card-of-a-function lookup's failures mean to a caller
struct controller_error_s {
    int rc;
    aml_status_e status;
};

const controller_error_s k_controller_errors[] = {
    {-2, AML_STATUS_INVALID_INPUT},
    {-4, AML_STATUS_INVALID_INPUT},
    {-5, AML_STATUS_NOT_FOUND},
};

aml_status_e device_info_get(aml_card_handle_s* handle, std::vector<uint8_t>& info, std::string& error)
{
    error.clear();
    return aml_card_request(handle, aml_card_cmd(AML_CARD_CMD_DEVICE_INFO), nullptr, 0, info, error);
}

}  // namespace

aml_status_e aml_card_inventory_get(aml_card_inventory_get_req_s*, aml_card_inventory_get_rsp_s* rsp)
{
    if (rsp == nullptr) {
        return AML_STATUS_INVALID_INPUT;
    }
    rsp->error.clear();
    rsp->cards.clear();
    std::vector<std::string> bdfs;
    int count =
        nic_ipc_card_pcie_devices(NIC_PCI_VENDOR_ID, nic_ipc_asic_pcie_device_id(), bdfs, AML_MAX_CARDS);
    if (count < 0) {
        // lspci itself failed: that is not a host without cards
        rsp->error = "ERROR - Failed to list KOVRA ORLIX cards\n";
        return AML_STATUS_CARD_NOT_DETECTED;
    }
    aml_status_e last_failure = AML_STATUS_OK;
    for (size_t i = 0; i < bdfs.size() && i < static_cast<size_t>(count); i++) {
        aml_card_get_req_s card_req;
        aml_card_get_rsp_s card_rsp;
        card_req.card.bdf = bdfs[i];
        aml_status_e status = aml_card_get(&card_req, &card_rsp);
        if (status != AML_STATUS_OK) {
            rsp->error = card_rsp.error;
            last_failure = status;
            continue;
        }
        rsp->cards.push_back(aml_card_handle_s{card_rsp.uuid, card_rsp.bdf});
    }
    return last_failure;
}

aml_status_e aml_card_get(aml_card_get_req_s* req, aml_card_get_rsp_s* rsp)
{
    if (req == nullptr || rsp == nullptr) {
        return AML_STATUS_INVALID_INPUT;
    }
    aml_status_e status = aml_card_handle_check(&req->card, rsp->error);
    if (status != AML_STATUS_OK) {
        return status;
    }
    rsp->error.clear();
    rsp->bdf = req->card.bdf;
    nic_ipc_card_info_s info;
    int rc = nic_ipc_get_card_info(rsp->bdf, &info);
    if (rc != 0) {
        rsp->error += "Failed to get card " + rsp->bdf + " details, err " + std::to_string(rc) + "\n";
        return AML_STATUS_NOT_FOUND;
    }
    for (const auto& function : k_card_functions) {
        if (info.dev_info.flags & function.flag) {
            rsp->*function.to = info.dev_info.*function.from;
        }
    }
    rsp->serial_num = info.serial;
    rsp->uuid = info.uuid;
    return AML_STATUS_OK;
}

aml_status_e aml_card_uuid_get(aml_card_uuid_get_req_s* req, aml_card_uuid_get_rsp_s* rsp)
{
    if (req == nullptr || rsp == nullptr || req->bdf.empty()) {
        return AML_STATUS_INVALID_INPUT;
    }
    aml_card_get_req_s card_req;
    aml_card_get_rsp_s card_rsp;
    card_req.card.bdf = req->bdf;
    aml_status_e status = aml_card_get(&card_req, &card_rsp);
    if (status != AML_STATUS_OK) {
        rsp->error = card_rsp.error;
        return status;
    }
    rsp->uuid = card_rsp.uuid;
    return AML_STATUS_OK;
}

aml_status_e aml_pcie_bdf_get(aml_pcie_bdf_get_req_s* req, aml_pcie_bdf_get_rsp_s* rsp)
{
    if (req == nullptr || rsp == nullptr) {
        return AML_STATUS_INVALID_INPUT;
    }
    if (!is_uuid_valid(req->uuid)) {
        rsp->error += "Invalid uuid " + req->uuid + "\n";
        return AML_STATUS_INVALID_INPUT;
    }
    std::string bdf;
    if (nic_ipc_card_bdf_from_uuid(req->uuid, bdf) != 0) {
        rsp->error += "Failed to find NIC associated with " + req->uuid + "\n";
        return AML_STATUS_NOT_FOUND;
    }
    rsp->bdf = bdf;
    return AML_STATUS_OK;
}

aml_status_e aml_card_controller_bdf_get(const std::string& dev_bdf, std::string& card_bdf)
{
    if (!is_bdf_valid(dev_bdf)) {
        return AML_STATUS_INVALID_INPUT;
    }
    std::string bdf;
    int rc = nic_ipc_card_bdf_from_dev_bdf(dev_bdf, bdf);
    if (rc == 0) {
        card_bdf = bdf;
        return AML_STATUS_OK;
    }
    for (const auto& entry : k_controller_errors) {
        if (entry.rc == rc) {
            return entry.status;
        }
    }
    return AML_STATUS_GENERIC_ERR;
}

aml_status_e kovra_get_card_fru_mac(aml_card_handle_s* handle, uint8_t mac[6], std::string& error)
{
    if (mac == nullptr) {
        return AML_STATUS_INVALID_INPUT;
    }
    std::vector<uint8_t> info;
    aml_status_e status = device_info_get(handle, info, error);
    if (status == AML_STATUS_OK) {
        memcpy(mac, info.data() + AML_DEVICE_INFO_FRU_MAC_OFFSET, 6);
    }
    return status;
}

aml_status_e kovra_get_card_running_firmware(aml_card_handle_s* handle, uint8_t* image, std::string& error)
{
    if (image == nullptr) {
        return AML_STATUS_INVALID_INPUT;
    }
    std::vector<uint8_t> info;
    aml_status_e status = device_info_get(handle, info, error);
    if (status == AML_STATUS_OK) {
        *image = info[AML_DEVICE_INFO_RUNNING_IMAGE_OFFSET];
    }
    return status;
}

aml_status_e aml_get_device_role(aml_card_handle_s* handle, device_role_e* role, std::string& error)
{
    if (role == nullptr) {
        return AML_STATUS_INVALID_INPUT;
    }
    error.clear();
    std::vector<uint8_t> answer;
    aml_status_e status = aml_card_request(handle, aml_card_cmd(AML_CARD_CMD_DEVICE_ROLE_GET), k_zero_byte,
                                           sizeof(k_zero_byte), answer, error);
    if (status == AML_STATUS_OK) {
        *role = static_cast<device_role_e>(le_at<uint32_t>(answer, k_device_role_offset));
    }
    return status;
}
