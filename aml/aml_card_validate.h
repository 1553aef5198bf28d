#pragma once

// card handle checks (uses the library state) and the error texts that name
// a card; the line runs utils <- state <- validate

#include <string>

#include "aml/aml_card_handle.h"
#include "aml/aml_status.h"

// checks a handle and fills the half that is missing: the address from the
// uuid, or the uuid from the card at the address. 11 for a malformed or
// empty handle, 255 when the other half cannot be found on the host.
aml_status_e aml_card_handle_validate(aml_card_handle_s* handle);
// the same, and on failure error names the card:
// "NIC <uuid> (<bdf>) : ERROR - Invalid card handle\n"
aml_status_e aml_card_handle_check(aml_card_handle_s* handle, std::string& error);

// "NIC <uuid> (<bdf>) : <message>\n"
std::string aml_card_error_msg(const aml_card_handle_s* handle, const std::string& message);
// "NIC (<bdf>) : <message>\n"
std::string aml_card_error_msg(const std::string& bdf, const std::string& message);
