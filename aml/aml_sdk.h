#pragma once

// the platform layer for one card, as the library's callers start it

#include <string>

#include "aml/aml_card_handle.h"
#include "aml/aml_status.h"

// binds the calling thread's platform layer to the card (its resource
// windows) and starts the platform library, with the platform layer's own
// messages discarded. 0, or 255 with the reason in error; an invalid handle
// gives the validation status.
aml_status_e aml_card_sdk_init(aml_card_handle_s* handle, std::string& error);
