// the transceiver service (endpoint 7): chunked module memory and DOM reads
// into a buffer of exactly the size asked for, and the cage queries.
// input: op (u8), size (u16), offset (u8), then the card's answers; ops 5
// to 7 are the plain reads

#include <cstdint>
#include <vector>

#include "fuzz/fuzz_transport.h"
#include "pal/pal_qsfp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint32_t op = fuzz_take(data, size, 1);
    uint32_t length = fuzz_take(data, size, 2) % 2048;
    uint32_t offset = fuzz_take(data, size, 1);
    std::vector<uint8_t> buf(length);
    uint8_t* out = length ? buf.data() : nullptr;
    return fuzz_card_pick(op, data, size, {
        [&] { (void)pal_ipc_c_qsfp_read(out, length, offset, 1, 1); },
        [&] { (void)pal_ipc_c_qsfp_dom_read(out, length, offset, 1, 1); },
        [&] {
            (void)pal_ipc_c_is_qsfp_port_psnt(1), (void)pal_ipc_c_is_qsfp_port_reset(1);
            (void)pal_ipc_c_is_qsfp_port_powered_up(1), (void)pal_ipc_c_is_qsfp_port_power_failure(1);
        },
        [&] { (void)pal_ipc_c_qsfp_write(out, length, offset, 1, 1); },
        [&] {
            (void)pal_ipc_c_qsfp_set_led(1, 2, 3), (void)pal_ipc_c_qsfp_set_port_link_status(1, 1);
            (void)pal_ipc_c_is_qsfp_presence_intr_pending(1);
        },
        [&] { (void)pal_qsfp_read(out, length, offset, 1, 1), (void)pal_qsfp_dom_read(out, length, offset, 1, 1); },
    }, 8);
}
