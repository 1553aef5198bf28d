#pragma once

#include <cstdint>

#include "pal/pal.h"

// the card's transceiver cages and their modules, reached over the card
// firmware's transceiver service (IPC endpoint 7) on the calling thread's
// channel (pal_cpld.h). query results: the answer, or the firmware's status
// negated, or a negative failed exchange; command results: 0, the status
// negated, or the failed exchange.

enum pal_ipc_qsfp_op_e : uint32_t {
    PAL_IPC_QSFP_PORT_PRESENT = 0x10001,
    PAL_IPC_QSFP_PORT_IN_RESET = 0x10002,
    PAL_IPC_QSFP_SET_PORT = 0x10003,
    PAL_IPC_QSFP_RESET_PORT = 0x10004,
    PAL_IPC_QSFP_SET_LOW_POWER = 0x10005,
    PAL_IPC_QSFP_CLEAR_LOW_POWER = 0x10006,
    PAL_IPC_QSFP_SET_LED = 0x10007,
    PAL_IPC_QSFP_READ = 0x10008,
    PAL_IPC_QSFP_WRITE = 0x10009,
    PAL_IPC_QSFP_DOM_READ = 0x1000a,
    PAL_IPC_QSFP_WRITE_TEMP = 0x1000b,
    PAL_IPC_QSFP_LINK_STATUS = 0x1000c,
    PAL_IPC_QSFP_POWER_ON = 0x1000d,
    PAL_IPC_QSFP_POWER_OFF = 0x1000e,
    PAL_IPC_QSFP_POWERED_UP = 0x1000f,
    PAL_IPC_QSFP_POWER_FAILURE = 0x10010,
    PAL_IPC_QSFP_POWER_CTRL_PRESENT = 0x10011,
    PAL_IPC_QSFP_INTR_PENDING = 0x10012,
    PAL_IPC_QSFP_INTR_CLEAR = 0x10013,
};

constexpr uint32_t PAL_QSFP_REQ_SIZE = 240;
constexpr uint32_t PAL_QSFP_RSP_SIZE = 520;
constexpr uint32_t PAL_QSFP_CHUNK_MAX = 512;
constexpr uint32_t PAL_QSFP_WRITE_MAX = 212;
constexpr uint32_t PAL_QSFP_PAGE_SELECT_OFFSET = 127;
// the page value that means the lower memory: no page select
constexpr uint32_t PAL_QSFP_LOWER_PAGE = 4;
constexpr uint32_t PAL_QSFP_PAGE_SELECT_WAIT_US = 100000;

// the endpoint-7 commands
int pal_ipc_c_is_qsfp_port_psnt(int port);
int pal_ipc_c_is_qsfp_port_reset(int port);
int pal_ipc_c_qsfp_set_port(int port);
int pal_ipc_c_qsfp_reset_port(int port);
int pal_ipc_c_qsfp_set_low_power_mode(int port);
int pal_ipc_c_qsfp_reset_low_power_mode(int port);
int pal_ipc_c_qsfp_set_led(int port, uint8_t colour, uint8_t frequency);
// chunked reads: the last status (0 or 1) once `size` bytes arrived or the
// card said it was done; a status above 1 fills buf with 0xff and is
// returned as it is; a failed exchange returns its negative result. never
// more than `size` bytes land in buf
int pal_ipc_c_qsfp_read(uint8_t* buf, uint32_t size, uint32_t offset, uint32_t retries, uint32_t port);
int pal_ipc_c_qsfp_dom_read(uint8_t* buf, uint32_t size, uint32_t offset, uint32_t retries, uint32_t port);
// 3 for a size above 212, nothing sent
int pal_ipc_c_qsfp_write(const uint8_t* buf, uint32_t size, uint32_t offset, uint32_t retries, uint32_t port);
int pal_ipc_c_write_qsfp_temp(uint32_t temperature, int port);
int pal_ipc_c_qsfp_set_port_link_status(int port, uint8_t status);
int pal_ipc_c_qsfp_power_mode_en(int port, bool enable);
int pal_ipc_c_is_qsfp_port_powered_up(int port);
int pal_ipc_c_is_qsfp_port_power_failure(int port);
int pal_ipc_c_is_qsfp_port_power_ctrl_present(int port);
int pal_ipc_c_is_qsfp_presence_intr_pending(int port);
int pal_ipc_c_qsfp_presence_intr_clear(int port);

// the plain functions, forwarding to the commands
int pal_qsfp_read(uint8_t* buf, uint32_t size, uint32_t offset, uint32_t retries, uint32_t port);
int pal_qsfp_write(const uint8_t* buf, uint32_t size, uint32_t offset, uint32_t retries, uint32_t port);
int pal_qsfp_dom_read(uint8_t* buf, uint32_t size, uint32_t offset, uint32_t retries, uint32_t port);
int pal_is_qsfp_port_psnt(int port);
int pal_is_qsfp_port_reset(int port);
int pal_qsfp_set_port(int port);
int pal_qsfp_reset_port(int port);
int pal_is_qsfp_port_power_ctrl_present(int port);
int pal_is_qsfp_port_powered_up(int port);
int pal_is_qsfp_port_power_failure(int port);
int pal_qsfp_power_en(int port, bool enable);
int pal_qsfp_set_low_power_mode(int port);
int pal_qsfp_reset_low_power_mode(int port);
int pal_is_qsfp_presence_intr_pending(int port);
int pal_qsfp_presence_intr_clear(int port);
int pal_qsfp_set_led(int port, uint8_t colour, uint8_t frequency);
int pal_cpld_set_port_link_status(int port, uint8_t status);
int pal_write_qsfp_temp(uint32_t temperature, int port);
int pal_qsfp_mdio_read(uint32_t port, uint32_t addr, uint16_t* data);
int pal_qsfp_mdio_write(uint32_t port, uint32_t addr, uint16_t data);
int pal_qsfp_phy_read(uint32_t port, uint32_t addr, uint16_t* data);
int pal_qsfp_phy_write(uint32_t port, uint32_t addr, uint16_t data);

// paged access under the host-wide "qsfp_lock": the page is selected through
// byte 127 first unless it is PAL_QSFP_LOWER_PAGE. 0 or -1
int pal_qsfp_read_page(uint8_t* buf, uint32_t size, uint32_t offset, uint32_t page, uint32_t retries, uint32_t port);
// waits `delay_us` after the select and tries the read up to `retries` times
int pal_qsfp_read_page_fast(uint8_t* buf, uint32_t size, uint32_t offset, uint32_t page, uint32_t retries,
                            uint32_t port, uint32_t delay_us);
int pal_qsfp_write_page(const uint8_t* buf, uint32_t size, uint32_t offset, uint32_t page, uint32_t retries,
                        uint32_t port);
// writes bank then page at `offset` of port + 1; with `readback`, reads byte
// 127 of port + 1 into it `delay_us` later
int pal_qsfp_bank_page_sel(uint32_t offset, uint8_t bank, uint8_t page, uint32_t retries, uint32_t port,
                           uint32_t delay_us, uint8_t* readback);

namespace sdk {
namespace lib {

// the wrappers of the transceiver entries of the operation table; an empty
// entry fails (false, PAL_RET_NOK or -1)
bool pal_is_qsfp_port_present(int port);
bool pal_is_qsfp_port_reset(int port);
pal_ret_t pal_qsfp_set_port(int port);
pal_ret_t pal_qsfp_reset_port(int port);
bool pal_is_qsfp_port_power_ctrl_present(int port);
bool pal_is_qsfp_port_powered_up(int port);
bool pal_is_qsfp_port_power_failure(int port);
bool pal_is_qsfp_presence_intr_pending(int port);
pal_ret_t pal_qsfp_presence_intr_clear(int port);
pal_ret_t pal_qsfp_power_en(int port, bool enable);
pal_ret_t pal_qsfp_set_low_power_mode(int port);
pal_ret_t pal_qsfp_reset_low_power_mode(int port);
int pal_qsfp_read(uint8_t* buffer, uint32_t size, uint32_t offset, uint32_t page, uint32_t retries, uint32_t port);
int pal_qsfp_write(const uint8_t* buffer, uint32_t size, uint32_t offset, uint32_t page, uint32_t retries,
                   uint32_t port);
int pal_qsfp_mdio_read(uint32_t port, uint32_t addr, uint16_t* data);
int pal_qsfp_mdio_write(uint32_t port, uint32_t addr, uint16_t data);
int pal_qsfp_phy_read(uint32_t port, uint32_t addr, uint16_t* data);
int pal_qsfp_phy_write(uint32_t port, uint32_t addr, uint16_t data);
int pal_qsfp_set_led(int port, int color, int frequency);
int pal_cpld_write_qsfp_temp(uint32_t temperature, uint32_t port);
int qsfp_dom_read(uint8_t* buffer, uint32_t size, uint32_t offset, uint32_t retries, uint32_t port);

// the host hardware variant's transceiver entries: paged access without the lock
int pal_hw_x86_64_qsfp_read(uint8_t* buffer, uint32_t size, uint32_t offset, uint32_t page, uint32_t retries,
                            uint32_t port);
int pal_hw_x86_64_qsfp_write(const uint8_t* buffer, uint32_t size, uint32_t offset, uint32_t page,
                             uint32_t retries, uint32_t port);

}  // namespace lib
}  // namespace sdk
