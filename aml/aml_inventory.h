#pragma once

// card listing, uuid and address lookups, and the device info queries

#include <cstdint>
#include <string>
#include <vector>

#include "aml/aml_card_handle.h"
#include "aml/aml_status.h"

// the cards of the host and the two ways of naming one: uuid and address

struct aml_card_inventory_get_req_s {
};
struct aml_card_inventory_get_rsp_s {
    std::string error;
    std::vector<aml_card_handle_s> cards;  // each with uuid and bdf set, in listing order
};

struct aml_card_get_req_s {
    aml_card_handle_s card;
};
struct aml_card_get_rsp_s {
    std::string error;
    std::string uuid;
    std::string serial_num;
    std::string bdf;            // the validated handle's address
    std::string rsc_bdf;        // resource function, or empty
    std::string ipc_bdf;        // ipc function with its character device, or empty
    std::string core_bdf;       // core function with its fwctl device, or empty
    std::string func_1002_bdf;  // or empty
    std::string func_1003_bdf;  // or empty
};

struct aml_card_uuid_get_req_s {
    std::string bdf;
};
struct aml_card_uuid_get_rsp_s {
    std::string error;
    std::string uuid;
};

struct aml_pcie_bdf_get_req_s {
    std::string uuid;
};
struct aml_pcie_bdf_get_rsp_s {
    std::string error;
    std::string bdf;
};

// the firmware's role of the card; the values are the firmware's own
enum device_role_e : uint32_t {
    DEVICE_ROLE_NONE = 0,
};

// the most cards the inventory lists
constexpr size_t AML_MAX_CARDS = 16;

// every card of the host; a card that cannot be read is left out and the
// last such failure is returned, with its error text
aml_status_e aml_card_inventory_get(aml_card_inventory_get_req_s* req, aml_card_inventory_get_rsp_s* rsp);
aml_status_e aml_card_get(aml_card_get_req_s* req, aml_card_get_rsp_s* rsp);
aml_status_e aml_card_uuid_get(aml_card_uuid_get_req_s* req, aml_card_uuid_get_rsp_s* rsp);
aml_status_e aml_pcie_bdf_get(aml_pcie_bdf_get_req_s* req, aml_pcie_bdf_get_rsp_s* rsp);
// the card that holds the function at dev_bdf
aml_status_e aml_card_controller_bdf_get(const std::string& dev_bdf, std::string& card_bdf);

// one value of the card's DEVICE_INFO answer: its fru mac address, and the
// byte naming the firmware image it runs
aml_status_e kovra_get_card_fru_mac(aml_card_handle_s* handle, uint8_t mac[6], std::string& error);
aml_status_e kovra_get_card_running_firmware(aml_card_handle_s* handle, uint8_t* image, std::string& error);
aml_status_e aml_get_device_role(aml_card_handle_s* handle, device_role_e* role, std::string& error);

constexpr size_t AML_DEVICE_INFO_RSP_SIZE = 388;
constexpr size_t AML_DEVICE_INFO_FRU_MAC_OFFSET = 20;
constexpr size_t AML_DEVICE_INFO_RUNNING_IMAGE_OFFSET = 349;
