#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "pal/pal.h"

// the card's board controller (CPLD), sensors and FRU memory, reached over
// the card firmware's board service (IPC endpoint 6) through a channel of
// the calling thread's own. results: 0 or the value asked for on success;
// negative for a failed exchange (-2 no channel, -71 refused exchange, or
// the transport's own negative value); the firmware's status negated when
// the firmware answered a failure.

constexpr uint32_t PAL_IPC_EP_CPLD = 6;
constexpr uint32_t PAL_IPC_EP_QSFP = 7;

constexpr int PAL_IPC_ERR_NO_CHANNEL = -2;
constexpr int PAL_IPC_ERR_EXCHANGE = -71;

enum pal_ipc_cpld_op_e : uint32_t {
    PAL_IPC_CPLD_FRU_READ = 0x10001,
    PAL_IPC_CPLD_GET_SYSTEM_LED = 0x10002,
    PAL_IPC_CPLD_SET_SYSTEM_LED = 0x10003,
    PAL_IPC_CPLD_SET_CARD_STATUS = 0x10004,
    PAL_IPC_CPLD_WRITE_FW_VER = 0x10005,
    PAL_IPC_CPLD_REV = 0x10006,
    PAL_IPC_CPLD_ID = 0x10007,
    PAL_IPC_CPLD_MINOR_REV = 0x10008,
    PAL_IPC_CPLD_BOOT_STATUS = 0x10009,
    PAL_IPC_CPLD_RESET_CAUSE = 0x1000a,
    PAL_IPC_CPLD_RESET_EVENTS = 0x1000b,
    PAL_IPC_CPLD_REG_READ = 0x1000c,
    PAL_IPC_CPLD_REG_WRITE = 0x1000d,
    PAL_IPC_CPLD_FW_SELECT = 0x1000e,
    PAL_IPC_SENSOR_PIN = 0x1000f,
    PAL_IPC_SENSOR_POUT1 = 0x10010,
    PAL_IPC_SENSOR_POUT2 = 0x10011,
    PAL_IPC_SENSOR_VIN = 0x10012,
    PAL_IPC_SENSOR_VOUT1 = 0x10013,
    PAL_IPC_SENSOR_VOUT2 = 0x10014,
    PAL_IPC_SENSOR_BOARD_TEMP = 0x10015,
    PAL_IPC_SENSOR_DIE_TEMP = 0x10016,
    PAL_IPC_SENSOR_HWTRIP_TEMP = 0x10017,
};

constexpr uint32_t PAL_FRU_READ_MAX = 512;

// one exchange on the calling thread's channel, opened on first use on the
// card "VMB_BDF" names, else on the card the thread is bound to. the
// response overwrites `buffer`, which must hold max(req_len, rsp_cap)
// bytes. returns the response length, -2 when the channel cannot be opened,
// -71 when the exchange fails or the firmware refuses it (its errno is in
// *rsp_errno)
ssize_t pal_ipc_send_cmd(uint32_t endpoint, uint32_t opcode, void* buffer, size_t req_len, size_t rsp_cap,
                         uint32_t* rsp_errno);

// the calling thread's channel on the card at card_bdf from now on, one
// open before closed first: a thread that serves several cards in turn, or
// that ends, says so. 0, or PAL_IPC_ERR_NO_CHANNEL
int pal_ipc_channel_open(const char* card_bdf);
// closes the calling thread's channel; the next exchange opens one as at first
void pal_ipc_channel_close();

// the endpoint-6 commands
int pal_ipc_c_fru_read(uint8_t* buf, uint32_t size, uint32_t offset);
int pal_ipc_c_get_system_led();
int pal_ipc_c_system_set_led(uint8_t a, uint8_t b);
int pal_ipc_c_cpld_set_card_status(uint8_t status);
int pal_ipc_c_write_fw_ver_to_cpld(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
// *out gets the value whenever the exchange succeeded, even with a failure status
int pal_ipc_c_cpld_rev(uint32_t* out);
int pal_ipc_c_cpld_id(uint32_t* out);
int pal_ipc_c_cpld_minor_rev(uint32_t* out);
int pal_ipc_c_cpld_boot_status(uint32_t* out);
int pal_ipc_c_get_rstcause();
// the reset-events word as an int: with bit 31 set it reads negative, like a
// failure; pal_get_reset_events() reads it whole
int pal_ipc_c_get_rst_event();
int pal_ipc_get_cpld_reg(uint8_t reg, uint8_t* out);
int pal_ipc_set_cpld_reg(uint8_t reg, uint8_t value);
int pal_ipc_c_fwsel(uint32_t selection);
int pal_ipc_c_read_pin(uint32_t* out);
int pal_ipc_c_read_pout1(uint32_t* out);
int pal_ipc_c_read_pout2(uint32_t* out);
int pal_ipc_c_read_vin(uint32_t* out);
int pal_ipc_c_read_vout1(uint32_t* out);
int pal_ipc_c_read_vout2(uint32_t* out);
int pal_ipc_c_read_board_temperature(uint32_t* out);
int pal_ipc_c_read_die_temperature(uint32_t* out);
int pal_ipc_c_read_hwtrip_temp(uint32_t* out);

// the board functions. the CPLD queries give the value of any answer and 0
// when the exchange failed
int pal_get_cpld_rev();
int pal_get_cpld_id();
int pal_get_cpld_minor_rev();
int pal_cpld_boot_status();
int pal_get_system_led();
int pal_system_set_led(uint8_t a, uint8_t b);
int pal_cpld_set_card_status(uint8_t status);
int pal_write_fw_ver_to_cpld(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
// the reset-events word, 0 when the command fails
uint32_t pal_get_reset_events();
// the reason of the last reset, from the reset events
int pal_get_rst_reason();
int pal_rst_reason_from_events(uint32_t events);
const char* pal_get_rst_reason_descr(int code);
// 0, -5 for a size above 512 (nothing sent), else as the command
int pal_fru_read(uint8_t* buf, uint32_t size, uint32_t offset);
bool pal_is_orlix_card();
// the sub-ASIC word of the resource header; 0 when it cannot be reached
int pal_get_sub_asic();

// fixed answers on this platform
int pal_get_cpld_slot_id();
int pal_get_cpld_pca_rev();
int pal_cpld_erase();
int pal_cpld_read_flash(uint8_t* buf, uint32_t size);
int pal_cpld_write_flash(const uint8_t* buf, uint32_t size);
int pal_write_qsfp_alarm_temp(int temperature, int port);
int pal_write_qsfp_warning_temp(int temperature, int port);
int pal_enable_auxiliary_fan();
int pal_disable_auxiliary_fan();
int pal_puf_err_cnt();
int pal_cpld_write_feature_row(const uint8_t* buf, uint32_t size);
int pal_cpld_get_sku_id();
int smbus_read(uint32_t addr, uint32_t reg, uint32_t* data);
int smbus_write(uint32_t addr, uint32_t reg, uint32_t data);
int pal_read_iin(uint32_t* out);
bool pal_cpld_verify_idcode();
bool pal_cpld_hwlock_enabled();
bool pal_cpld_is_alom_present();
int pal_cpld_get_base_mac(uint8_t* mac);
int pal_cpld_get_num_macs();
int pal_cpld_get_serial_num(char* serial, size_t size);
bool pal_is_card_in_mtp();
bool pal_is_card_pelmar2_with_capability();
void pal_write_core_temp(int temperature);
void pal_write_hbm_temp(int temperature);
void pal_write_board_temp(int temperature);
void pal_cpld_reload_reset();
void pal_cpld_increment_liveness();
void pal_power_cycle();
void pal_enable_temperature_timeout();

// the serial bus: the card's host path has no serial bus service, so a
// valid ring reports the failure and an invalid one is refused
constexpr uint32_t PAL_SBUS_RINGS = 2;
uint32_t pal_sbus_rd(uint32_t ring, uint32_t sbus_addr, uint32_t reg);
int pal_sbus_wr(uint32_t ring, uint32_t sbus_addr, uint32_t reg, uint32_t data);
int pal_sbus_rst(uint32_t ring, uint32_t sbus_addr);

namespace sdk {
namespace lib {

// the wrappers of the board entries of the operation table; an empty entry fails
int pal_get_cpld_rev();
int pal_get_cpld_id();
int get_system_led();
int get_rst_reason();

}  // namespace lib
}  // namespace sdk
