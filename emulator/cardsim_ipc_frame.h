#pragma once

#include <cstdint>
#include <vector>

#include "emulator/cardsim_firmware.h"

// the driver's side of the ipc character device framing: a request message
// written by the host in, the message the host will read back out

struct cardsim_ipc_answer_s {
    int write_errno = 0;      // the write itself is refused
    bool silent = false;      // nothing to read, ever
    int read_errno = 0;       // the read fails
    uint32_t delay_ms = 0;    // the answer can be read this long after the request
    std::vector<uint8_t> message;
};

cardsim_ipc_answer_s cardsim_ipc_answer(cardsim_firmware& fw, const uint8_t* msg, size_t len);

// a response message: header type 3, the request's tag, the firmware errno,
// "IPCM" version 1 and the opcode, then the body
std::vector<uint8_t> cardsim_ipc_response(uint8_t tag, uint32_t fw_errno, uint32_t opcode,
                                          const std::vector<uint8_t>& body);
