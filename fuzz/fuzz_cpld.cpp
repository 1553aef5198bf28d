// the board service (endpoint 6): FRU reads into a buffer of exactly the
// size asked for, the CPLD queries and register read, sensors, firmware
// select and the reset events. input: op (u8), size (u16), then the
// card's answers

#include <cstdint>
#include <vector>

#include "fuzz/fuzz_transport.h"
#include "pal/pal_cpld.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint32_t op = fuzz_take(data, size, 1);
    uint32_t length = fuzz_take(data, size, 2) % 1024;
    std::vector<uint8_t> buf(length);
    uint8_t* out = length ? buf.data() : nullptr;
    uint32_t value = 0;
    uint8_t reg = 0;
    return fuzz_card_pick(op, data, size, {
        [&] { (void)pal_ipc_c_fru_read(out, length, 0); },
        [&] { (void)pal_fru_read(out, length, 16); },
        [&] {
            (void)pal_ipc_c_cpld_rev(&value), (void)pal_ipc_c_cpld_id(&value);
            (void)pal_get_cpld_minor_rev(), (void)pal_cpld_boot_status();
        },
        [&] { (void)pal_ipc_get_cpld_reg(0x10, &reg), (void)pal_ipc_set_cpld_reg(0x10, 1), (void)pal_ipc_c_fwsel(1); },
        [&] {
            (void)pal_ipc_c_read_pin(&value), (void)pal_ipc_c_read_vout1(&value);
            (void)pal_ipc_c_read_board_temperature(&value), (void)pal_ipc_c_read_hwtrip_temp(&value);
        },
        [&] { (void)pal_get_rst_reason(), (void)pal_get_reset_events(), (void)pal_ipc_c_get_rstcause(); },
        [&] { (void)pal_get_system_led(), (void)pal_system_set_led(1, 2), (void)pal_write_fw_ver_to_cpld(1, 2, 3, 4); },
    });
}
