#pragma once

// the firmware update engine as the fw commands drive it: bound to one card
// on the calling thread, its messages collected for the card's update log

#include <cstdint>
#include <string>

#include "aml/aml_card_handle.h"
#include "aml/aml_trace.h"
#include "log/trace_level.h"
#include "tools/orlixctl/ctl.h"

// what the engine says during one operation, and where its progress is
struct engine_trace {
    aml_fwupdate_trace_cb_ctxt_s aml;
    const uint8_t* progress = nullptr;
    const std::string* status = nullptr;
    ctl_progress* bar = nullptr;
    size_t index = 0;
};

void engine_cb(void* ctxt, trace_level_e level, const char* format, ...);
// validates the card and starts the engine on it for this thread; fails the
// command (ctl_error) when either does not work
void engine_start(aml_card_handle_s& card, engine_trace& t);

// after firmware_update returned 0 on this thread: reads the card's next boot
// image and the versions on flash back and compares them with what the
// update wrote. "" when the card would boot it, else the difference
std::string ctl_fw_readback(bool gold);

// fw verify CARD PACKAGE
void ctl_add_fw_verify(CLI::App* fw, ctl_runner& run);
