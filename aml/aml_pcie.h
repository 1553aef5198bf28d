#pragma once

// pcie device management: drivers, host port error reporting, reset,
// remove, rescan and recommission

#include <cstdint>
#include <string>
#include <vector>

#include "aml/aml_card_handle.h"
#include "aml/aml_status.h"

// taking a card off the host's pcie bus and bringing it back: host drivers of
// its functions, error reporting on the host port above it, the reset through
// its firmware, remove and rescan. every host-side step is a shell command.

// one card function and its host drivers
struct aml_pcie_device_s {
    uint32_t device_id = 0;
    std::string driver;                     // host driver of the pci function
    std::vector<std::string> aux_patterns;  // auxiliary devices it creates: "rdma"
};

// one bound device to act on
struct host_device_info_s {
    std::string bus;     // "pci" or "auxiliary"
    std::string driver;
    std::string name;    // pcie address or auxiliary device name
};

// the host network functions and the card management functions
const std::vector<aml_pcie_device_s>& aml_pcie_host_network_devices();
const std::vector<aml_pcie_device_s>& aml_pcie_card_mgmt_devices();

struct aml_card_unbind_pcie_devices_req_s {
    aml_card_handle_s card;
    std::vector<aml_pcie_device_s> devices;
};
struct aml_card_unbind_pcie_devices_rsp_s {
    std::string error;
};
struct aml_card_bind_pcie_devices_req_s {
    aml_card_handle_s card;
    std::vector<aml_pcie_device_s> devices;
};
struct aml_card_bind_pcie_devices_rsp_s {
    std::string error;
};

struct aml_card_pcie_cap_set_req_s {
    aml_card_handle_s card;
    std::string port;    // pcie address of the host port
    uint32_t uemsk = 0;  // aer uncorrectable error mask
    uint32_t dpccr = 0;  // dpc control
};
struct aml_card_pcie_cap_set_rsp_s {
    std::string error;
};

struct aml_pcie_rescan_req_s {
    uint32_t delay = 0;  // seconds to wait first
    std::string bdf;     // the function whose bus is rescanned
};
struct aml_pcie_rescan_rsp_s {
    std::string error;
};

struct aml_card_decommission_req_s {
    aml_card_handle_s card;
    uint32_t reset = 0;      // non-zero: reset the card through its firmware
    uint32_t reset_arg = 0;  // the value the reset request carries
    bool cpld_reload = false;  // CPLD_RELOAD instead of CARD_RESET
};
struct aml_card_decommission_rsp_s {
    std::string error;
    std::string host_port;
    uint32_t uemsk = 0;   // as found before masking
    uint32_t dpccr = 0;
    bool reset_answer = false;  // the reset's answer word was non-zero
};

struct aml_card_pcie_remove_req_s {
    std::string bdf;
};
struct aml_card_pcie_remove_rsp_s {
    std::string error;
    std::string host_port;
};

// recommission results without a status text of their own
constexpr aml_status_e AML_PCIE_STATUS_BAR_UNASSIGNED = static_cast<aml_status_e>(27);   // a function without memory
constexpr aml_status_e AML_PCIE_STATUS_DEVICES_NOT_LISTED = static_cast<aml_status_e>(28);

// the fixed values of a recommission
constexpr uint32_t AML_RECOMMISSION_RESET_ARG = 30;
constexpr uint32_t AML_RECOMMISSION_RESCAN_DELAY_S = 75;

// the two capability tests on a port (lspci -vvs)
bool aml_pcie_port_has_aer(const std::string& port);
bool aml_pcie_port_has_dpc(const std::string& port);

// writes uemsk and dpccr where the port has the capability; 19 on failure
aml_status_e aml_card_pcie_cap_set(aml_card_pcie_cap_set_req_s* req, aml_card_pcie_cap_set_rsp_s* rsp);
// waits the delay, then rescans below the function; 21 on failure
aml_status_e aml_pcie_rescan(aml_pcie_rescan_req_s* req, aml_pcie_rescan_rsp_s* rsp);
// unbinds the functions' auxiliary devices and then the functions; what is
// not bound is left alone
aml_status_e aml_card_unbind_pcie_devices(aml_card_unbind_pcie_devices_req_s* req,
                                          aml_card_unbind_pcie_devices_rsp_s* rsp);
// binds the functions that are not bound; auxiliary devices follow them
aml_status_e aml_card_bind_pcie_devices(aml_card_bind_pcie_devices_req_s* req,
                                        aml_card_bind_pcie_devices_rsp_s* rsp);
// masks surprise-down on the host port, unbinds, resets and removes the card;
// a failure after the masking writes the saved port registers back
aml_status_e aml_card_decommission(aml_card_decommission_req_s* req, aml_card_decommission_rsp_s* rsp);
// removes one function by address from the tree (its host port in rsp)
aml_status_e aml_card_pcie_remove(aml_card_pcie_remove_req_s* req, aml_card_pcie_remove_rsp_s* rsp);
// decommission, rescan after 75 s (or rescan_delay_s), restore the port, and
// check that every function came back with memory; step: "Decommission",
// "Rescan" or "Commission"
aml_status_e aml_card_recommission(aml_card_handle_s* handle, std::string& step, std::string& error,
                                   uint32_t rescan_delay_s = AML_RECOMMISSION_RESCAN_DELAY_S);
