// the transceiver service of the card firmware (endpoint 7): cage queries
// and commands, chunked reads of module memory, and paged access

#include "pal/pal_qsfp.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "log/trace_level.h"
#include "pal/pal_cpld.h"
#include "ipc/le_bytes.h"
#include "pal/pal_lock.h"
#include "pal/pal_log.h"
#include "pal/pal_trace.h"

namespace {

// request fields
constexpr size_t k_req_received = 0, k_req_port = 4, k_req_offset = 12, k_req_length = 20;
constexpr size_t k_req_retries = 24, k_req_data = 28;
// response fields
constexpr size_t k_rsp_answer = 8, k_rsp_data = 8, k_status_len = 4;
constexpr uint32_t k_status_more = 1;
constexpr int k_write_too_long = 3;

// a firmware status as the negative result: statuses past INT_MAX, which
// cannot be negated as an int, all read as INT_MIN
int negated_status(uint32_t status)
{
    return status > static_cast<uint32_t>(INT_MAX) ? INT_MIN : -static_cast<int>(status);
}

struct body_s {
    uint8_t b[PAL_QSFP_RSP_SIZE] = {};
};

// one exchange; a response without its status word is refused, and bytes
// past the response read as zero. the response length or a negative failure
int exchange(uint32_t opcode, body_s& body)
{
    uint32_t fw_errno = 0;
    ssize_t n = pal_ipc_send_cmd(PAL_IPC_EP_QSFP, opcode, body.b, PAL_QSFP_REQ_SIZE, PAL_QSFP_RSP_SIZE, &fw_errno);
    if (n < 0) {
        return static_cast<int>(n);
    }
    if (static_cast<size_t>(n) < k_status_len) {
        pal_log(trace_level_err, "ipc send cmd short response ep:%u opcode:0x%x len:%zd", PAL_IPC_EP_QSFP, opcode, n);
        return PAL_IPC_ERR_EXCHANGE;
    }
    memset(body.b + n, 0, sizeof(body.b) - static_cast<size_t>(n));
    return static_cast<int>(n);
}

// an answer command: the answer, or the status negated
int query(uint32_t opcode, int port, const char* fail_text)
{
    body_s body;
    le_put<uint32_t>(body.b, sizeof(body.b), k_req_port, static_cast<uint32_t>(port));
    int rc = exchange(opcode, body);
    if (rc < 0) {
        pal_log(trace_level_err, fail_text, rc);
        return rc;
    }
    uint32_t status = le_at<uint32_t>(body.b, sizeof(body.b), 0);
    return status ? negated_status(status) : static_cast<int>(le_at<uint32_t>(body.b, sizeof(body.b), k_rsp_answer));
}

// a status command with its argument bytes at offset 28
int command(uint32_t opcode, int port, const uint8_t* arg, size_t arg_len, const char* fail_text)
{
    body_s body;
    le_put<uint32_t>(body.b, sizeof(body.b), k_req_port, static_cast<uint32_t>(port));
    if (arg_len) {
        memcpy(body.b + k_req_data, arg, arg_len);
    }
    int rc = exchange(opcode, body);
    if (rc < 0) {
        pal_log(trace_level_err, fail_text, rc);
        return rc;
    }
    uint32_t status = le_at<uint32_t>(body.b, sizeof(body.b), 0);
    return status ? negated_status(status) : 0;
}

// what a failed read leaves in the caller's buffer; an empty read may come
// without a buffer
void fill_unread(uint8_t* buf, uint32_t size)
{
    if (size > 0) {
        memset(buf, 0xff, size);
    }
}

int chunked_read(uint32_t opcode, uint8_t* buf, uint32_t size, uint32_t offset, uint32_t retries, uint32_t port,
                 const char* fail_text)
{
    if (buf == nullptr && size) {
        pal_log(trace_level_err, "pal ipc qsfp read without a buffer");
        return -EINVAL;
    }
    uint32_t received = 0;
    for (;;) {
        body_s body;
        le_put<uint32_t>(body.b, sizeof(body.b), k_req_received, received);
        le_put<uint32_t>(body.b, sizeof(body.b), k_req_port, port);
        le_put<uint32_t>(body.b, sizeof(body.b), k_req_offset, offset);
        le_put<uint32_t>(body.b, sizeof(body.b), k_req_length, size);
        le_put<uint32_t>(body.b, sizeof(body.b), k_req_retries, retries);
        int n = exchange(opcode, body);
        if (n < 0) {
            pal_log(trace_level_err, fail_text, n);
            return n;
        }
        uint32_t status = le_at<uint32_t>(body.b, sizeof(body.b), 0);
        if (status > k_status_more) {
            fill_unread(buf, size);
            return static_cast<int>(status);
        }
        size_t data = n > static_cast<int>(k_rsp_data) ? static_cast<size_t>(n) - k_rsp_data : 0;
        data = std::min<size_t>({data, PAL_QSFP_CHUNK_MAX, static_cast<size_t>(size - received)});
        if (data > 0) {
            memcpy(buf + received, body.b + k_rsp_data, data);
        }
        received += static_cast<uint32_t>(data);
        if (received == size || status != k_status_more) {
            return static_cast<int>(status);
        }
        if (data == 0) {
            // "more to come" that brings nothing would never end
            pal_log(trace_level_err, "pal ipc qsfp read stalled at %u of %u bytes", received, size);
            fill_unread(buf, size);
            return PAL_IPC_ERR_EXCHANGE;
        }
    }
}

bool read_ok(int rc)
{
    return rc == 0 || rc == static_cast<int>(k_status_more);
}

int select_page(uint32_t page, uint32_t retries, uint32_t port)
{
    const uint8_t byte = static_cast<uint8_t>(page);
    return pal_ipc_c_qsfp_write(&byte, 1, PAL_QSFP_PAGE_SELECT_OFFSET, retries, port);
}

pal_lock_handle_t g_qsfp_lock = nullptr;

// takes the host-wide transceiver lock, attaching it on first use
bool qsfp_lock()
{
    if (pal_lock_init("qsfp_lock", &g_qsfp_lock) != 0 || g_qsfp_lock == nullptr) {
        pal_log(trace_level_err, "Failed to acquire qsfp lock");
        return false;
    }
    if (pal_lock(g_qsfp_lock) != 0) {
        pal_log(trace_level_err, "Failed to acquire qsfp lock");
        return false;
    }
    return true;
}

int qsfp_unlock(int rc)
{
    if (pal_unlock(g_qsfp_lock) != 0) {
        pal_log(trace_level_err, "Failed to release qsfp lock");
        return -1;
    }
    return rc;
}

}  // namespace

int pal_ipc_c_is_qsfp_port_psnt(int port)
{
    return query(PAL_IPC_QSFP_PORT_PRESENT, port, "pal IPC qsfp port prsnt command failed to send err:%d");
}
int pal_ipc_c_is_qsfp_port_reset(int port)
{
    return query(PAL_IPC_QSFP_PORT_IN_RESET, port, "pal ipc qsfp port reset command failed to send err:%d");
}
int pal_ipc_c_qsfp_set_port(int port)
{
    return query(PAL_IPC_QSFP_SET_PORT, port, "pal ipc qsfp set port command failed to send err:%d");
}
int pal_ipc_c_qsfp_reset_port(int port)
{
    return query(PAL_IPC_QSFP_RESET_PORT, port, "pal ipc qsfp reset port command failed to send err:%d");
}
int pal_ipc_c_qsfp_set_low_power_mode(int port)
{
    return query(PAL_IPC_QSFP_SET_LOW_POWER, port, "pal ipc qsfp set low power mode command failed to send err:%d");
}
int pal_ipc_c_qsfp_reset_low_power_mode(int port)
{
    return query(PAL_IPC_QSFP_CLEAR_LOW_POWER, port,
                 "pal ipc qsfp reset low power mode command failed to send err:%d");
}
int pal_ipc_c_qsfp_set_led(int port, uint8_t colour, uint8_t frequency)
{
    const uint8_t arg[2] = {colour, frequency};
    return command(PAL_IPC_QSFP_SET_LED, port, arg, sizeof(arg), "pal ipc qsfp set led command failed to send err:%d");
}
int pal_ipc_c_qsfp_read(uint8_t* buf, uint32_t size, uint32_t offset, uint32_t retries, uint32_t port)
{
    return chunked_read(PAL_IPC_QSFP_READ, buf, size, offset, retries, port,
                        "pal ipc qsfp read command failed to send err:%d");
}
int pal_ipc_c_qsfp_dom_read(uint8_t* buf, uint32_t size, uint32_t offset, uint32_t retries, uint32_t port)
{
    return chunked_read(PAL_IPC_QSFP_DOM_READ, buf, size, offset, retries, port,
                        "pal ipc qsfp dom read command failed to send err:%d");
}
int pal_ipc_c_qsfp_write(const uint8_t* buf, uint32_t size, uint32_t offset, uint32_t retries, uint32_t port)
{
    if (size > PAL_QSFP_WRITE_MAX) {
        return k_write_too_long;
    }
    if (buf == nullptr && size) {
        pal_log(trace_level_err, "pal ipc qsfp write without a buffer");
        return -EINVAL;
    }
    body_s body;
    le_put<uint32_t>(body.b, sizeof(body.b), k_req_port, port);
    le_put<uint32_t>(body.b, sizeof(body.b), k_req_offset, offset);
    le_put<uint32_t>(body.b, sizeof(body.b), k_req_length, size);
    le_put<uint32_t>(body.b, sizeof(body.b), k_req_retries, retries);
    if (size) {
        memcpy(body.b + k_req_data, buf, size);
    }
    int rc = exchange(PAL_IPC_QSFP_WRITE, body);
    if (rc < 0) {
        pal_log(trace_level_err, "pal ipc qsfp write command failed to send err:%d", rc);
        return rc;
    }
    uint32_t status = le_at<uint32_t>(body.b, sizeof(body.b), 0);
    return status ? negated_status(status) : 0;
}
int pal_ipc_c_write_qsfp_temp(uint32_t temperature, int port)
{
    uint8_t arg[4];
    le_put(arg, sizeof(arg), 0, temperature);
    return command(PAL_IPC_QSFP_WRITE_TEMP, port, arg, sizeof(arg), "pal ipc qsfp temp command failed to send err:%d");
}
int pal_ipc_c_qsfp_set_port_link_status(int port, uint8_t status)
{
    return command(PAL_IPC_QSFP_LINK_STATUS, port, &status, 1,
                   "pal ipc qsfp set port link statuscommand failed to send err:%d");
}
int pal_ipc_c_qsfp_power_mode_en(int port, bool enable)
{
    return enable ? query(PAL_IPC_QSFP_POWER_ON, port, "pal ipc qsfp power on command failed to send err:%d")
                  : query(PAL_IPC_QSFP_POWER_OFF, port, "pal ipc qsfp power off command failed to send err:%d");
}
int pal_ipc_c_is_qsfp_port_powered_up(int port)
{
    return query(PAL_IPC_QSFP_POWERED_UP, port, "pal ipc qsfp port powered up command failed to send err:%d");
}
int pal_ipc_c_is_qsfp_port_power_failure(int port)
{
    return query(PAL_IPC_QSFP_POWER_FAILURE, port, "pal ipc qsfp port failure command failed to send err:%d");
}
int pal_ipc_c_is_qsfp_port_power_ctrl_present(int port)
{
    return query(PAL_IPC_QSFP_POWER_CTRL_PRESENT, port,
                 "pal ipc qsfp port power ctrl check command failed to send err:%d");
}
int pal_ipc_c_is_qsfp_presence_intr_pending(int port)
{
    return query(PAL_IPC_QSFP_INTR_PENDING, port, "pal ipc qsfp interrupt pending command failed to send err:%d");
}
int pal_ipc_c_qsfp_presence_intr_clear(int port)
{
    return query(PAL_IPC_QSFP_INTR_CLEAR, port, "pal ipc qsfp interrupt clear command failed to send err:%d");
}

int pal_qsfp_read(uint8_t* buf, uint32_t size, uint32_t offset, uint32_t retries, uint32_t port)
{
    return pal_ipc_c_qsfp_read(buf, size, offset, retries, port);
}
int pal_qsfp_write(const uint8_t* buf, uint32_t size, uint32_t offset, uint32_t retries, uint32_t port)
{
    return pal_ipc_c_qsfp_write(buf, size, offset, retries, port);
}
int pal_qsfp_dom_read(uint8_t* buf, uint32_t size, uint32_t offset, uint32_t retries, uint32_t port)
{
    return pal_ipc_c_qsfp_dom_read(buf, size, offset, retries, port);
}
int pal_is_qsfp_port_psnt(int port) { return pal_ipc_c_is_qsfp_port_psnt(port); }
int pal_is_qsfp_port_reset(int port) { return pal_ipc_c_is_qsfp_port_reset(port); }
int pal_qsfp_set_port(int port) { return pal_ipc_c_qsfp_set_port(port); }
int pal_qsfp_reset_port(int port) { return pal_ipc_c_qsfp_reset_port(port); }
int pal_is_qsfp_port_power_ctrl_present(int port) { return pal_ipc_c_is_qsfp_port_power_ctrl_present(port); }
int pal_is_qsfp_port_powered_up(int port) { return pal_ipc_c_is_qsfp_port_powered_up(port); }
int pal_is_qsfp_port_power_failure(int port) { return pal_ipc_c_is_qsfp_port_power_failure(port); }
int pal_qsfp_power_en(int port, bool enable) { return pal_ipc_c_qsfp_power_mode_en(port, enable); }
int pal_qsfp_set_low_power_mode(int port) { return pal_ipc_c_qsfp_set_low_power_mode(port); }
int pal_qsfp_reset_low_power_mode(int port) { return pal_ipc_c_qsfp_reset_low_power_mode(port); }
int pal_is_qsfp_presence_intr_pending(int port) { return pal_ipc_c_is_qsfp_presence_intr_pending(port); }
int pal_qsfp_presence_intr_clear(int port) { return pal_ipc_c_qsfp_presence_intr_clear(port); }
int pal_qsfp_set_led(int port, uint8_t colour, uint8_t frequency) { return pal_ipc_c_qsfp_set_led(port, colour, frequency); }
int pal_cpld_set_port_link_status(int port, uint8_t status) { return pal_ipc_c_qsfp_set_port_link_status(port, status); }
int pal_write_qsfp_temp(uint32_t temperature, int port) { return pal_ipc_c_write_qsfp_temp(temperature, port); }
int pal_qsfp_mdio_read(uint32_t, uint32_t, uint16_t*) { return -1; }
int pal_qsfp_mdio_write(uint32_t, uint32_t, uint16_t) { return -1; }
int pal_qsfp_phy_read(uint32_t, uint32_t, uint16_t*) { return -1; }
int pal_qsfp_phy_write(uint32_t, uint32_t, uint16_t) { return -1; }

int pal_qsfp_read_page(uint8_t* buf, uint32_t size, uint32_t offset, uint32_t page, uint32_t retries, uint32_t port)
{
    if (size == 0 || buf == nullptr) {
        return -1;
    }
    if (!qsfp_lock()) {
        return -1;
    }
    int rc = 0;
    if (page != PAL_QSFP_LOWER_PAGE) {
        rc = select_page(page, retries, port) == 0 ? 0 : -1;
        if (rc == 0) {
            usleep(PAL_QSFP_PAGE_SELECT_WAIT_US);
        }
    }
    if (rc == 0 && !read_ok(pal_qsfp_read(buf, size, offset, retries, port))) {
        rc = -1;
    }
    return qsfp_unlock(rc);
}

int pal_qsfp_read_page_fast(uint8_t* buf, uint32_t size, uint32_t offset, uint32_t page, uint32_t retries,
                            uint32_t port, uint32_t delay_us)
{
    if (size == 0 || buf == nullptr) {
        return -1;
    }
    if (!qsfp_lock()) {
        return -1;
    }
    int rc = 0;
    if (page != PAL_QSFP_LOWER_PAGE) {
        rc = select_page(page, retries, port) == 0 ? 0 : -1;
        if (rc == 0) {
            usleep(delay_us);
        }
    }
    if (rc == 0) {
        rc = -1;
        const uint32_t attempts = std::max<uint32_t>(retries, 1);
        for (uint32_t i = 0; i < attempts && rc != 0; i++) {
            if (i) {
                usleep(delay_us);
            }
            rc = read_ok(pal_qsfp_read(buf, size, offset, retries, port)) ? 0 : -1;
        }
    }
    return qsfp_unlock(rc);
}

int pal_qsfp_write_page(const uint8_t* buf, uint32_t size, uint32_t offset, uint32_t page, uint32_t retries,
                        uint32_t port)
{
    if (!qsfp_lock()) {
        return -1;
    }
    int rc = 0;
    if (page != PAL_QSFP_LOWER_PAGE) {
        rc = select_page(page, retries, port) == 0 ? 0 : -1;
        if (rc == 0) {
            usleep(PAL_QSFP_PAGE_SELECT_WAIT_US);
        }
    }
    if (rc == 0 && pal_qsfp_write(buf, size, offset, retries, port) != 0) {
        rc = -1;
    }
    return qsfp_unlock(rc);
}

int pal_qsfp_bank_page_sel(uint32_t offset, uint8_t bank, uint8_t page, uint32_t retries, uint32_t port,
                           uint32_t delay_us, uint8_t* readback)
{
    if (!qsfp_lock()) {
        return -1;
    }
    const uint8_t sel[2] = {bank, page};
    int rc = pal_qsfp_write(sel, sizeof(sel), offset, retries, port + 1) == 0 ? 0 : -1;
    if (rc == 0 && readback) {
        usleep(delay_us);
        rc = read_ok(pal_qsfp_read(readback, 1, PAL_QSFP_PAGE_SELECT_OFFSET, retries, port + 1)) ? 0 : -1;
    }
    return qsfp_unlock(rc);
}

namespace sdk {
namespace lib {

bool pal_is_qsfp_port_present(int port) { return PAL_CALL(is_qsfp_port_present, false, port); }
bool pal_is_qsfp_port_reset(int port) { return PAL_CALL(is_qsfp_port_reset, false, port); }
pal_ret_t pal_qsfp_set_port(int port) { return PAL_CALL(qsfp_set_port, PAL_RET_NOK, port); }
pal_ret_t pal_qsfp_reset_port(int port) { return PAL_CALL(qsfp_reset_port, PAL_RET_NOK, port); }
bool pal_is_qsfp_port_power_ctrl_present(int port) { return PAL_CALL(is_qsfp_port_power_ctrl_present, false, port); }
bool pal_is_qsfp_port_powered_up(int port) { return PAL_CALL(is_qsfp_port_powered_up, false, port); }
bool pal_is_qsfp_port_power_failure(int port) { return PAL_CALL(is_qsfp_port_power_failure, false, port); }
bool pal_is_qsfp_presence_intr_pending(int port) { return PAL_CALL(is_qsfp_presence_intr_pending, false, port); }
pal_ret_t pal_qsfp_presence_intr_clear(int port) { return PAL_CALL(qsfp_presence_intr_clear, PAL_RET_NOK, port); }
pal_ret_t pal_qsfp_power_en(int port, bool enable) { return PAL_CALL(qsfp_power_en, PAL_RET_NOK, port, enable); }
pal_ret_t pal_qsfp_set_low_power_mode(int port) { return PAL_CALL(qsfp_set_low_power_mode, PAL_RET_NOK, port); }
pal_ret_t pal_qsfp_reset_low_power_mode(int port) { return PAL_CALL(qsfp_reset_low_power_mode, PAL_RET_NOK, port); }
int pal_qsfp_read(uint8_t* buffer, uint32_t size, uint32_t offset, uint32_t page, uint32_t retries, uint32_t port)
{
    return PAL_CALL(qsfp_read, -1, buffer, size, offset, page, retries, port);
}
int pal_qsfp_write(const uint8_t* buffer, uint32_t size, uint32_t offset, uint32_t page, uint32_t retries,
                   uint32_t port)
{
    return PAL_CALL(qsfp_write, -1, buffer, size, offset, page, retries, port);
}
int pal_qsfp_mdio_read(uint32_t port, uint32_t addr, uint16_t* data) { return PAL_CALL(qsfp_mdio_read, -1, port, addr, data); }
int pal_qsfp_mdio_write(uint32_t port, uint32_t addr, uint16_t data) { return PAL_CALL(qsfp_mdio_write, -1, port, addr, data); }
int pal_qsfp_phy_read(uint32_t port, uint32_t addr, uint16_t* data) { return PAL_CALL(qsfp_phy_read, -1, port, addr, data); }
int pal_qsfp_phy_write(uint32_t port, uint32_t addr, uint16_t data) { return PAL_CALL(qsfp_phy_write, -1, port, addr, data); }
int pal_qsfp_set_led(int port, int color, int frequency) { return PAL_CALL(qsfp_set_led, -1, port, color, frequency); }
int pal_cpld_write_qsfp_temp(uint32_t temperature, uint32_t port)
{
    return PAL_CALL(cpld_write_qsfp_temp, -1, temperature, port);
}
int qsfp_dom_read(uint8_t* buffer, uint32_t size, uint32_t offset, uint32_t retries, uint32_t port)
{
    return PAL_CALL(qsfp_dom_read, -1, buffer, size, offset, retries, port);
}

int pal_hw_x86_64_qsfp_read(uint8_t* buffer, uint32_t size, uint32_t offset, uint32_t page, uint32_t retries,
                            uint32_t port)
{
    if (size == 0 || buffer == nullptr) {
        PAL_TRACE_ERR("%s size cannot be zero", "pal_hw_x86_64_qsfp_read");
        return -1;
    }
    if (page != PAL_QSFP_LOWER_PAGE) {
        int rc = select_page(page, retries, port);
        if (rc != 0) {
            PAL_TRACE_ERR("QSFP high page write failed %d", rc);
        }
        usleep(PAL_QSFP_PAGE_SELECT_WAIT_US);
    }
    int result = read_ok(::pal_qsfp_read(buffer, size, offset, retries, port)) ? 0 : -1;
    if (page != PAL_QSFP_LOWER_PAGE) {
        int rc = select_page(PAL_QSFP_LOWER_PAGE, retries, port);
        if (rc != 0) {
            PAL_TRACE_ERR("QSFP low page write failed %d", rc);
        }
    }
    return result;
}

int pal_hw_x86_64_qsfp_write(const uint8_t* buffer, uint32_t size, uint32_t offset, uint32_t page,
                             uint32_t retries, uint32_t port)
{
    if (size == 0 || buffer == nullptr) {
        PAL_TRACE_ERR("%s size cannot be zero", "pal_hw_x86_64_qsfp_write");
        return -1;
    }
    if (page != PAL_QSFP_LOWER_PAGE) {
        int rc = select_page(page, retries, port);
        if (rc != 0) {
            PAL_TRACE_ERR("QSFP high page write failed %d", rc);
            return -1;
        }
        usleep(PAL_QSFP_PAGE_SELECT_WAIT_US);
    }
    int result = ::pal_qsfp_write(buffer, size, offset, retries, port) == 0 ? 0 : -1;
    if (page != PAL_QSFP_LOWER_PAGE) {
        int rc = select_page(PAL_QSFP_LOWER_PAGE, retries, port);
        if (rc != 0) {
            PAL_TRACE_ERR("QSFP low page write failed %d", rc);
            result = -1;
        }
    }
    return result;
}

}  // namespace lib
}  // namespace sdk
