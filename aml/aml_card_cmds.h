#pragma once

// the firmware commands the library sends, by name: endpoint, opcode, answer
// size, status offset and failure texts of each

#include "aml/aml_card_ipc.h"

// the firmware commands the library sends, one entry each
enum aml_card_cmd_e {
    AML_CARD_CMD_HEARTBEAT,
    AML_CARD_CMD_DEVICE_INFO,
    AML_CARD_CMD_TIME_UPDATE,
    AML_CARD_CMD_DEVICE_COREDUMP_CLEAR,
    AML_CARD_CMD_TIME_GET,
    AML_CARD_CMD_PSS_RESET,
    AML_CARD_CMD_SUC_COREDUMP_CLEAR,
    AML_CARD_CMD_CMB_GET,
    AML_CARD_CMD_CMB_UPDATE,
    AML_CARD_CMD_DEVICE_ROLE_GET,
    AML_CARD_CMD_COUNT,
};

const aml_card_cmd_s& aml_card_cmd(aml_card_cmd_e cmd);
