// the catalogue of firmware commands the library sends: where each goes, how
// long its answer is, where its status sits and how its failures read

#include "aml/aml_card_cmds.h"

#include <iterator>

namespace {

constexpr size_t k_status_rsp_size = 4;

// in aml_card_cmd_e order
constexpr aml_card_cmd_s k_card_cmds[] = {
    {.name = "HEARTBEAT", .endpoint = 0x13, .opcode = 0x10000, .rsp_size = 16, .status_offset = 0,
     .errno_text = "ERROR - Failed to get card heartbeat, err : ",
     .status_text = "ERROR - Failed to get card heartbeat, status : "},
    {.name = "DEVICE_INFO", .endpoint = 0x13, .opcode = 0x10001, .rsp_size = 388, .status_offset = 0,
     .errno_text = "ERROR - Failed to get NIC, err : ",
     .status_text = "ERROR - Failed to get NIC, status : "},
    {.name = "TIME_UPDATE", .endpoint = 0x13, .opcode = 0x10009, .rsp_size = k_status_rsp_size,
     .status_offset = 0,
     .errno_text = "ERROR - Failed to update card, err : ",
     .status_text = "ERROR - Failed to update card, status : "},
    {.name = "DEVICE_COREDUMP_CLEAR", .endpoint = 0x13, .opcode = 0x1000b, .rsp_size = k_status_rsp_size,
     .status_offset = 0,
     .errno_text = "ERROR - Failed to clear coredump, err : ",
     .status_text = "ERROR - Failed to clear coredump, status : "},
    {.name = "TIME_GET", .endpoint = 0x13, .opcode = 0x1000c, .rsp_size = 56, .status_offset = 0,
     .errno_text = "ERROR - Failed to get card time, err : ",
     .status_text = "ERROR - Failed to get card time, status : "},
    {.name = "PSS_RESET", .endpoint = 0x13, .opcode = 0x1000f, .rsp_size = k_status_rsp_size,
     .status_offset = 0,
     .errno_text = "ERROR - Failed to reset PSS, err : ",
     .status_text = "ERROR - Failed to reset PSS, status : "},
    {.name = "SUC_COREDUMP_CLEAR", .endpoint = 0x13, .opcode = 0x10010, .rsp_size = k_status_rsp_size,
     .status_offset = 0,
     .errno_text = "ERROR - Failed to clear SUC coredump, err : ",
     .status_text = "ERROR - Failed to clear SUC coredump, status : "},
    // the cmb setting comes first, its status word after it
    {.name = "CMB_GET", .endpoint = 0x12, .opcode = 0x10011, .rsp_size = 8, .status_offset = 4,
     .errno_text = "ERROR - Failed to get card cmb, err : ",
     .status_text = "ERROR - Failed to get card cmb, status : "},
    {.name = "CMB_UPDATE", .endpoint = 0x12, .opcode = 0x10012, .rsp_size = k_status_rsp_size,
     .status_offset = 0,
     .errno_text = "ERROR - Failed to update card, err : ",
     .status_text = "ERROR - Failed to update card, status : "},
    {.name = "DEVICE_ROLE_GET", .endpoint = 0x0b, .opcode = 0x10006, .rsp_size = 8, .status_offset = 0,
     .errno_text = "ERROR - Failed to get device role, err : ",
     .status_text = "ERROR - Failed to get device role, status : "},
};

static_assert(std::size(k_card_cmds) == AML_CARD_CMD_COUNT, "one entry per command");

}  // namespace

const aml_card_cmd_s& aml_card_cmd(aml_card_cmd_e cmd)
{
    return k_card_cmds[cmd < AML_CARD_CMD_COUNT ? cmd : AML_CARD_CMD_HEARTBEAT];
}
