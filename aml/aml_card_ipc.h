#pragma once

// one request/response exchange with a card and how its outcome is judged

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "aml/aml_card_handle.h"
#include "aml/aml_status.h"

// one request/response command of the card firmware as the library sends it
struct aml_card_cmd_s {
    const char* name;         // the command name printed in messages
    uint32_t endpoint;
    uint32_t opcode;
    size_t rsp_size;          // response capacity, and the least length accepted
    size_t status_offset;     // where the 32-bit firmware status sits in the response
    const char* errno_text;   // "ERROR - Failed to ..., err : ", followed by the firmware errno
    const char* status_text;  // "ERROR - Failed to ..., status : ", followed by the status text
};

// judges the outcome of one exchange: rc and fw_errno as the transport gave
// them, sys_errno the errno after a failed exchange, rsp the rc bytes that
// came back. fills error (through aml_card_error_msg) and returns the status.
aml_status_e aml_card_rsp_check(const aml_card_handle_s* handle, const aml_card_cmd_s& cmd, ssize_t rc,
                                uint32_t fw_errno, int sys_errno, const uint8_t* rsp,
                                bool skip_errno_check, std::string& error);

// validates the handle, opens a channel to the card, sends req (req_len bytes)
// with the command, checks the answer and closes the channel. on success rsp
// holds the response, at least cmd.rsp_size bytes and never more.
aml_status_e aml_card_request(aml_card_handle_s* handle, const aml_card_cmd_s& cmd, const void* req,
                              size_t req_len, std::vector<uint8_t>& rsp, std::string& error);
