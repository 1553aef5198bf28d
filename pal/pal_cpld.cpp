// the board service of the card firmware (endpoint 6): CPLD, sensors, FRU,
// and the calling thread's IPC channel that the transceiver commands share

#include "pal/pal_cpld.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ipc/le_bytes.h"
#include "ipc/nic_ipc.h"
#include "log/trace_level.h"
#include "pal/pal_hw_x86.h"
#include "pal/pal_log.h"
#include "pal/pal_trace.h"

namespace {

thread_local nic_ipc_handle_s t_ipc_handle;
thread_local bool t_ipc_opened = false;

constexpr size_t k_cpld_req = 12, k_cpld_rsp = 16, k_sensor_rsp = 12;
constexpr size_t k_fru_rsp = 4 + PAL_FRU_READ_MAX, k_fwsel_req = 4, k_fwsel_rsp = 8;
constexpr size_t k_status_len = 4;

// a firmware status as the negative result: statuses past INT_MAX, which
// cannot be negated as an int, all read as INT_MIN
int negated_status(uint32_t status)
{
    return status > static_cast<uint32_t>(INT_MAX) ? INT_MIN : -static_cast<int>(status);
}

// one exchange whose answer must carry at least `min_rsp` bytes; bytes past
// the answer read as zero, never as what the request left in the buffer.
// the response length, or a negative failure
int exchange(uint32_t endpoint, uint32_t opcode, uint8_t* buf, size_t req_len, size_t rsp_cap, size_t min_rsp)
{
    uint32_t fw_errno = 0;
    ssize_t n = pal_ipc_send_cmd(endpoint, opcode, buf, req_len, rsp_cap, &fw_errno);
    if (n < 0) {
        return static_cast<int>(n);
    }
    if (static_cast<size_t>(n) < min_rsp) {
        pal_log(trace_level_err, "ipc send cmd short response ep:%u opcode:0x%x len:%zd", endpoint, opcode, n);
        return PAL_IPC_ERR_EXCHANGE;
    }
    if (static_cast<size_t>(n) < rsp_cap) {
        memset(buf + n, 0, rsp_cap - static_cast<size_t>(n));
    }
    return static_cast<int>(n);
}

// a CPLD command: the status negated, else 0; *value gets the value field of
// any answer
int cpld_cmd(uint32_t opcode, const uint8_t args[4], uint32_t* value, const char* fail_text)
{
    uint8_t buf[k_cpld_rsp] = {};
    if (args) {
        memcpy(buf + 4, args, 4);
    }
    int rc = exchange(PAL_IPC_EP_CPLD, opcode, buf, k_cpld_req, k_cpld_rsp, k_status_len);
    if (rc < 0) {
        pal_log(trace_level_err, fail_text, rc);
        return rc;
    }
    if (value) {
        *value = le_at<uint32_t>(buf, sizeof(buf), 8);
    }
    uint32_t status = le_at<uint32_t>(buf, sizeof(buf), 0);
    return status ? negated_status(status) : 0;
}

// a CPLD query: the value, or the status negated, or the failed exchange
int cpld_query(uint32_t opcode, const char* fail_text)
{
    uint32_t value = 0;
    int rc = cpld_cmd(opcode, nullptr, &value, fail_text);
    return rc ? rc : static_cast<int>(value);
}

// a CPLD query with an out value: *out gets the value of any answer
int cpld_query_out(uint32_t opcode, uint32_t* out)
{
    return cpld_cmd(opcode, nullptr, out, "pal ipc send cpld command failed to send err:%d");
}

int sensor_cmd(uint32_t opcode, uint32_t* out)
{
    uint8_t buf[k_sensor_rsp] = {};
    int rc = exchange(PAL_IPC_EP_CPLD, opcode, buf, 0, k_sensor_rsp, k_status_len);
    if (rc < 0) {
        pal_log(trace_level_err, "pal ipc send sensor command failed to send err:%d", rc);
        return rc;
    }
    uint32_t status = le_at<uint32_t>(buf, sizeof(buf), 0);
    if (status) {
        return negated_status(status);
    }
    if (out) {
        *out = le_at<uint32_t>(buf, sizeof(buf), 8);
    }
    return 0;
}

// the value of a CPLD query whenever the exchange succeeded, else 0
int cpld_value(uint32_t opcode)
{
    uint32_t value = 0;
    (void)cpld_cmd(opcode, nullptr, &value, "pal ipc send cpld command failed to send err:%d");
    return static_cast<int>(value);
}

}  // namespace

ssize_t pal_ipc_send_cmd(uint32_t endpoint, uint32_t opcode, void* buffer, size_t req_len, size_t rsp_cap,
                         uint32_t* rsp_errno)
{
    if (buffer == nullptr && (req_len || rsp_cap)) {
        pal_log(trace_level_err, "ipc send cmd failed ep:%d opcode:0x%x err:%d", endpoint, opcode, -EINVAL);
        return PAL_IPC_ERR_EXCHANGE;
    }
    if (!t_ipc_opened) {
        const char* vmb = getenv("VMB_BDF");
        std::string bdf = vmb ? vmb : palx86_ctx().card_bdf;
        if (nic_ipc_open(&t_ipc_handle, bdf.empty() ? nullptr : bdf.c_str()) != 0) {
            pal_log(trace_level_err, "pal ipc open failed");
            return PAL_IPC_ERR_NO_CHANNEL;
        }
        t_ipc_opened = true;
    }
    uint32_t fw_errno = 0;
    ssize_t n = nic_ipc_req_rsp(&t_ipc_handle, endpoint, opcode, buffer, req_len, rsp_cap, &fw_errno);
    if (rsp_errno) {
        *rsp_errno = fw_errno;
    }
    if (n < 0 || fw_errno != 0) {
        pal_log(trace_level_err, "ipc send cmd failed ep:%d opcode:0x%x err:%d", endpoint, opcode,
                n < 0 ? -errno : static_cast<int>(fw_errno));
        return PAL_IPC_ERR_EXCHANGE;
    }
    return n;
}

int pal_ipc_channel_open(const char* card_bdf)
{
    pal_ipc_channel_close();
    if (nic_ipc_open(&t_ipc_handle, card_bdf) != 0) {
        pal_log(trace_level_err, "pal ipc open failed");
        return PAL_IPC_ERR_NO_CHANNEL;
    }
    t_ipc_opened = true;
    return 0;
}

void pal_ipc_channel_close()
{
    if (t_ipc_opened) {
        nic_ipc_close(&t_ipc_handle);
        t_ipc_handle = {};
        t_ipc_opened = false;
    }
}

int pal_ipc_c_fru_read(uint8_t* buf, uint32_t size, uint32_t offset)
{
    if (size > PAL_FRU_READ_MAX) {
        pal_log(trace_level_err, "pal ipc fru read size exceeds mac fru size:%d", PAL_FRU_READ_MAX);
        return -5;
    }
    if (buf == nullptr && size) {
        pal_log(trace_level_err, "pal ipc fru read without a buffer");
        return -EINVAL;
    }
    uint8_t body[k_fru_rsp] = {};
    le_put(body, sizeof(body), 0, offset);
    int rc = exchange(PAL_IPC_EP_CPLD, PAL_IPC_CPLD_FRU_READ, body, sizeof(offset), k_fru_rsp, k_status_len + size);
    if (rc < 0) {
        pal_log(trace_level_err, "pal ipc fru read command failed to send err:%d", rc);
        return rc;
    }
    uint32_t status = le_at<uint32_t>(body, sizeof(body), 0);
    // an empty read may come without a buffer
    if (status) {
        if (size > 0) {
            memset(buf, 0xff, size);
        }
        return negated_status(status);
    }
    if (size > 0) {
        memcpy(buf, body + 4, size);
    }
    return 0;
}

int pal_ipc_c_get_system_led()
{
    return cpld_query(PAL_IPC_CPLD_GET_SYSTEM_LED, "pal ipc cpld get system led command failed to send err:%d");
}

int pal_ipc_c_system_set_led(uint8_t a, uint8_t b)
{
    const uint8_t args[4] = {a, b, 0, 0};
    return cpld_cmd(PAL_IPC_CPLD_SET_SYSTEM_LED, args, nullptr, "pal ipc cpld set system led command failed to send err:%d");
}

int pal_ipc_c_cpld_set_card_status(uint8_t status)
{
    const uint8_t args[4] = {status, 0, 0, 0};
    return cpld_cmd(PAL_IPC_CPLD_SET_CARD_STATUS, args, nullptr,
                    "pal ipc cpld set card status command failed to send err:%d");
}

int pal_ipc_c_write_fw_ver_to_cpld(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    const uint8_t args[4] = {a, b, c, d};
    return cpld_cmd(PAL_IPC_CPLD_WRITE_FW_VER, args, nullptr, "pal ipc cpld write fw version command failed to send err:%d");
}

int pal_ipc_c_cpld_rev(uint32_t* out) { return cpld_query_out(PAL_IPC_CPLD_REV, out); }
int pal_ipc_c_cpld_id(uint32_t* out) { return cpld_query_out(PAL_IPC_CPLD_ID, out); }
int pal_ipc_c_cpld_minor_rev(uint32_t* out) { return cpld_query_out(PAL_IPC_CPLD_MINOR_REV, out); }
int pal_ipc_c_cpld_boot_status(uint32_t* out) { return cpld_query_out(PAL_IPC_CPLD_BOOT_STATUS, out); }

int pal_ipc_c_get_rstcause()
{
    return cpld_query(PAL_IPC_CPLD_RESET_CAUSE, "failed to GET_RESET_CAUSE command, err:%u");
}

int pal_ipc_c_get_rst_event()
{
    return cpld_query(PAL_IPC_CPLD_RESET_EVENTS, "failed to GET_RESET_CAUSE command, err:%u");
}

int pal_ipc_get_cpld_reg(uint8_t reg, uint8_t* out)
{
    const uint8_t args[4] = {reg, 0, 0, 0};
    uint32_t value = 0;
    int rc = cpld_cmd(PAL_IPC_CPLD_REG_READ, args, &value, "pal ipc send cpld command failed to send err:%d");
    if (rc == 0 && out) {
        *out = static_cast<uint8_t>(value >> 8);  // the register byte is at offset 9
    }
    return rc;
}

int pal_ipc_set_cpld_reg(uint8_t reg, uint8_t value)
{
    const uint8_t args[4] = {reg, value, 0, 0};
    return cpld_cmd(PAL_IPC_CPLD_REG_WRITE, args, nullptr, "pal ipc send cpld command failed to send err:%d");
}

int pal_ipc_c_fwsel(uint32_t selection)
{
    uint8_t buf[k_fwsel_rsp] = {};
    le_put(buf, sizeof(buf), 0, selection);
    int rc = exchange(PAL_IPC_EP_CPLD, PAL_IPC_CPLD_FW_SELECT, buf, k_fwsel_req, k_fwsel_rsp, k_status_len);
    if (rc < 0) {
        pal_log(trace_level_err, "pal ipc cpld get system led command failed to send err:%d", rc);
        return rc;
    }
    uint32_t status = le_at<uint32_t>(buf, sizeof(buf), 0);
    return status ? negated_status(status) : 0;
}

int pal_ipc_c_read_pin(uint32_t* out) { return sensor_cmd(PAL_IPC_SENSOR_PIN, out); }
int pal_ipc_c_read_pout1(uint32_t* out) { return sensor_cmd(PAL_IPC_SENSOR_POUT1, out); }
int pal_ipc_c_read_pout2(uint32_t* out) { return sensor_cmd(PAL_IPC_SENSOR_POUT2, out); }
int pal_ipc_c_read_vin(uint32_t* out) { return sensor_cmd(PAL_IPC_SENSOR_VIN, out); }
int pal_ipc_c_read_vout1(uint32_t* out) { return sensor_cmd(PAL_IPC_SENSOR_VOUT1, out); }
int pal_ipc_c_read_vout2(uint32_t* out) { return sensor_cmd(PAL_IPC_SENSOR_VOUT2, out); }
int pal_ipc_c_read_board_temperature(uint32_t* out) { return sensor_cmd(PAL_IPC_SENSOR_BOARD_TEMP, out); }
int pal_ipc_c_read_die_temperature(uint32_t* out) { return sensor_cmd(PAL_IPC_SENSOR_DIE_TEMP, out); }
int pal_ipc_c_read_hwtrip_temp(uint32_t* out) { return sensor_cmd(PAL_IPC_SENSOR_HWTRIP_TEMP, out); }

int pal_get_cpld_rev() { return cpld_value(PAL_IPC_CPLD_REV); }
int pal_get_cpld_id() { return cpld_value(PAL_IPC_CPLD_ID); }
int pal_get_cpld_minor_rev() { return cpld_value(PAL_IPC_CPLD_MINOR_REV); }
int pal_cpld_boot_status() { return cpld_value(PAL_IPC_CPLD_BOOT_STATUS); }
int pal_get_system_led() { return pal_ipc_c_get_system_led(); }
int pal_system_set_led(uint8_t a, uint8_t b) { return pal_ipc_c_system_set_led(a, b); }
int pal_cpld_set_card_status(uint8_t status) { return pal_ipc_c_cpld_set_card_status(status); }
int pal_write_fw_ver_to_cpld(uint8_t a, uint8_t b, uint8_t c, uint8_t d) { return pal_ipc_c_write_fw_ver_to_cpld(a, b, c, d); }

uint32_t pal_get_reset_events()
{
    // read as the whole word: bit 31 is an event, not a failure
    uint32_t events = 0;
    int rc = cpld_cmd(PAL_IPC_CPLD_RESET_EVENTS, nullptr, &events, "failed to GET_RESET_CAUSE command, err:%u");
    return rc == 0 ? events : 0;
}

int pal_rst_reason_from_events(uint32_t events)
{
    // the first bit that is set, in this order, names the reason
    static const struct {
        uint32_t bits;
        int code;
    } k_rules[] = {
        {1u << 13, 12}, {1u << 12, 11}, {1u << 5, 1},   {1u << 9, 5},   {1u << 10, 9},  {1u << 8, 4},
        {1u << 7, 3},   {1u << 6, 2},   {1u << 16, 16}, {1u << 17, 17}, {1u << 18, 18}, {1u << 19, 19},
        {1u << 20, 20}, {1u << 21, 21}, {1u << 22, 22}, {1u << 14, 13}, {3u << 2, 8},   {1u << 11, 10},
        {1u << 0, 6},   {1u << 1, 7},   {1u << 15, 15}, {1u << 4, 14},
    };
    for (const auto& rule : k_rules) {
        if (events & rule.bits) {
            return rule.code;
        }
    }
    return 0;
}

int pal_get_rst_reason()
{
    return pal_rst_reason_from_events(pal_get_reset_events());
}

const char* pal_get_rst_reason_descr(int code)
{
    static const char* const k_reasons[] = {
        "Unknown",
        "Software power cycle",
        "Voltage reduction device fault",
        "Thermal trip",
        "Host power cycle",
        "AC power cycle/CPLD reload",
        "Software warm reboot",
        "Kernel panic",
        "Pcie reset",
        "BMC power cycle",
        "NCSID power cycle",
        "eSecure enabled",
        "ASIC warm reset",
        "Runtime watchdog reset",
        "Hardware watchdog reset",
        "Software thermal trip",
        "Power reset",
        "Internal reset",
        "Reset sequence timeout",
        "ASIC power cycle",
        "Temperature watchdog timeout",
        "Reboot by POWER_OK de-assertion request",
        "Cold boot",
    };
    constexpr int k_known = sizeof(k_reasons) / sizeof(k_reasons[0]);
    if (code >= 0 && code < k_known) {
        return k_reasons[code];
    }
    return code >= k_known && code <= 26 ? "Unknown" : "Invalid reason";
}

int pal_fru_read(uint8_t* buf, uint32_t size, uint32_t offset)
{
    return pal_ipc_c_fru_read(buf, size, offset);
}

bool pal_is_orlix_card()
{
    return (pal_get_cpld_id() & ~0x2) == 101;
}

int pal_get_sub_asic()
{
    uint8_t* hdr = nullptr;
    if (pal_hw_x86_pmem_va(&hdr) != 0 || hdr == nullptr) {
        fprintf(stderr, "pal_get_sub_asic: failed to access device memory\n");
        return 0;
    }
    return static_cast<int>(le_at<uint32_t>(hdr, palx86_ctx().hdr.size, PALX86_HDR_OFF_SUB_ASIC));
}

int pal_get_cpld_slot_id() { return -1; }
int pal_get_cpld_pca_rev() { return -1; }
int pal_cpld_erase() { return -1; }
int pal_cpld_read_flash(uint8_t*, uint32_t) { return -1; }
int pal_cpld_write_flash(const uint8_t*, uint32_t) { return -1; }
int pal_write_qsfp_alarm_temp(int, int) { return -1; }
int pal_write_qsfp_warning_temp(int, int) { return -1; }
int pal_enable_auxiliary_fan() { return -1; }
int pal_disable_auxiliary_fan() { return -1; }
int pal_puf_err_cnt() { return -1; }
int pal_cpld_write_feature_row(const uint8_t*, uint32_t) { return -1; }
int pal_cpld_get_sku_id() { return -1; }
int smbus_read(uint32_t, uint32_t, uint32_t*) { return -1; }
int smbus_write(uint32_t, uint32_t, uint32_t) { return -1; }
int pal_read_iin(uint32_t*) { return -1; }
bool pal_cpld_verify_idcode() { return false; }
bool pal_cpld_hwlock_enabled() { return false; }
bool pal_cpld_is_alom_present() { return false; }
int pal_cpld_get_base_mac(uint8_t*) { return 0; }
int pal_cpld_get_num_macs() { return 0; }
int pal_cpld_get_serial_num(char*, size_t) { return 0; }
bool pal_is_card_in_mtp() { return false; }
bool pal_is_card_pelmar2_with_capability() { return false; }
void pal_write_core_temp(int) {}
void pal_write_hbm_temp(int) {}
void pal_write_board_temp(int) {}
void pal_cpld_reload_reset() {}
void pal_cpld_increment_liveness() {}
void pal_power_cycle() {}
void pal_enable_temperature_timeout() {}

static bool sbus_ring_ok(uint32_t ring)
{
    if (ring < PAL_SBUS_RINGS) {
        return true;
    }
    pal_log(trace_level_err, "Invalid sbus ring number %d for thread_id %d\n", static_cast<int>(ring),
            static_cast<int>(syscall(SYS_gettid)));
    return false;
}

uint32_t pal_sbus_rd(uint32_t ring, uint32_t, uint32_t)
{
    if (sbus_ring_ok(ring)) {
        pal_log(trace_level_err, "SBUS_READ err:%s", strerror(ENOTSUP));
    }
    return 0;
}

int pal_sbus_wr(uint32_t ring, uint32_t, uint32_t, uint32_t)
{
    if (sbus_ring_ok(ring)) {
        pal_log(trace_level_err, "SBUS_WRITE err:%s", strerror(ENOTSUP));
    }
    return -1;
}

int pal_sbus_rst(uint32_t ring, uint32_t)
{
    if (sbus_ring_ok(ring)) {
        pal_log(trace_level_err, "SBUS_RESET err:%s", strerror(ENOTSUP));
    }
    return -1;
}

namespace sdk {
namespace lib {

int pal_get_cpld_rev() { return PAL_CALL(get_cpld_rev, -1); }
int pal_get_cpld_id() { return PAL_CALL(get_cpld_id, -1); }
int get_system_led() { return PAL_CALL(get_system_led, -1); }
int get_rst_reason() { return PAL_CALL(get_rst_reason, -1); }

}  // namespace lib
}  // namespace sdk
