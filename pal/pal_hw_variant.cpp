// the host hardware variant (platform type 7): loads and stores into the
// card's resource windows mapped by the calling thread, with recording

#include <cstring>

#include "pal/pal.h"
#include "pal/pal_cpld.h"
#include "pal/pal_hw_x86.h"
#include "pal/pal_mem.h"
#include "pal/pal_qsfp.h"
#include "pal/pal_rw_dump.h"
#include "pal/pal_trace.h"

namespace sdk {
namespace lib {

static pal_ret_t hw_reg_read(uint64_t addr, uint32_t* data, uint32_t n)
{
    pal_reg_rd32w(addr, data, n);
    pal_rw_dump_reg(PAL_RW_REG_READ, addr, data, n);
    return PAL_RET_OK;
}

static pal_ret_t hw_reg_write(uint64_t addr, const uint32_t* data, uint32_t n)
{
    if (pal_rw_replay_active()) {
        return PAL_RET_OK;
    }
    pal_rw_dump_reg(PAL_RW_REG_WRITE, addr, data, n);
    pal_reg_wr32w(addr, data, n);
    return PAL_RET_OK;
}

static pal_ret_t hw_mem_read(uint64_t addr, uint8_t* data, uint32_t size, uint32_t flags)
{
    if (pal_rw_replay_active()) {
        return PAL_RET_OK;
    }
    pal_mem_rd(addr, data, size, flags);
    pal_rw_dump_mem(PAL_RW_MEM_READ, addr, data, size);
    return PAL_RET_OK;
}

static pal_ret_t hw_mem_write(uint64_t addr, const uint8_t* data, uint32_t size, uint32_t flags)
{
    if (pal_rw_replay_active()) {
        return PAL_RET_OK;
    }
    pal_rw_dump_mem(PAL_RW_MEM_WRITE, addr, data, size);
    pal_mem_wr(addr, data, size, flags);
    return PAL_RET_OK;
}

static pal_ret_t hw_mem_set(uint64_t addr, uint8_t value, uint32_t size, uint32_t flags)
{
    if (pal_rw_replay_active()) {
        return PAL_RET_OK;
    }
    pal_rw_dump_memset(addr, value, size);
    return pal_memset(addr, value, size, flags) == size ? PAL_RET_OK : PAL_RET_NOK;
}

static pal_ret_t hw_ring_db16(uint64_t addr, uint16_t data)
{
    pal_reg_wr16(addr, data);
    return PAL_RET_OK;
}

static pal_ret_t hw_ring_db32(uint64_t addr, uint32_t data)
{
    pal_reg_wr32(addr, data);
    return PAL_RET_OK;
}

static pal_ret_t hw_ring_db64(uint64_t addr, uint64_t data)
{
    pal_reg_wr64(addr, data);
    return PAL_RET_OK;
}

static pal_ret_t hw_pa_to_va(uint64_t pa, uint64_t* va)
{
    *va = pal_mem_ptov(pa);
    return *va ? PAL_RET_OK : PAL_RET_NOK;
}

static pal_ret_t hw_va_to_pa(uint64_t va, uint64_t* pa)
{
    uint64_t out = 0;
    if (pal_hw_x86_mem_va_to_pa(&out, reinterpret_cast<const uint8_t*>(va)) != 0) {
        return PAL_RET_NOK;
    }
    *pa = out;
    return PAL_RET_OK;
}

static void* hw_mem_map(uint64_t pa, uint32_t size)
{
    return pal_mem_map_va(pa, size);
}

static void hw_mem_unmap(void*) {}

static bool hw_mem_region_avail(uint64_t, uint64_t)
{
    return true;
}

// entries this variant answers only with a message
static void not_implemented()
{
    PAL_TRACE_ERR("PAL API not implmented");
}
static int hw_phy_read(uint32_t, uint32_t, uint16_t*)
{
    not_implemented();
    return 0;
}
static int hw_phy_write(uint32_t, uint32_t, uint16_t)
{
    not_implemented();
    return 0;
}
static int hw_set_led(int, int, int)
{
    not_implemented();
    return 0;
}
static int hw_write_temp(uint32_t, uint32_t)
{
    not_implemented();
    return 0;
}
static int hw_dom_read(uint8_t*, uint32_t, uint32_t, uint32_t, uint32_t)
{
    not_implemented();
    return 0;
}

static pal_ret_t hw_rw_ctrl(const pal_reg_rw_ctrl_s* ctrl)
{
    return pal_rw_ctrl(ctrl);
}

// the serial bus: reads answer, writes and resets report 0 whatever happened
static uint32_t hw_sbus_read(uint32_t ring, uint32_t sbus_addr, uint32_t reg)
{
    return ::pal_sbus_rd(ring, sbus_addr, reg);
}
static pal_ret_t hw_sbus_write(uint32_t ring, uint32_t sbus_addr, uint32_t reg, uint32_t data)
{
    (void)::pal_sbus_wr(ring, sbus_addr, reg, data);
    return PAL_RET_OK;
}
static pal_ret_t hw_sbus_reset(uint32_t ring, uint32_t sbus_addr)
{
    (void)::pal_sbus_rst(ring, sbus_addr);
    return PAL_RET_OK;
}

// transceivers over the board service: queries are true above 0, commands
// fail on anything but 0
static bool hw_present(int port) { return ::pal_is_qsfp_port_psnt(port) > 0; }
static bool hw_in_reset(int port) { return ::pal_is_qsfp_port_reset(port) > 0; }
static bool hw_power_ctrl(int port) { return ::pal_is_qsfp_port_power_ctrl_present(port) > 0; }
static bool hw_powered_up(int port) { return ::pal_is_qsfp_port_powered_up(port) > 0; }
static bool hw_power_failure(int port) { return ::pal_is_qsfp_port_power_failure(port) > 0; }
static bool hw_intr_pending(int port) { return ::pal_is_qsfp_presence_intr_pending(port) > 0; }
static pal_ret_t ok_if_zero(int rc) { return rc ? PAL_RET_NOK : PAL_RET_OK; }
static pal_ret_t hw_set_port(int port) { return ok_if_zero(::pal_qsfp_set_port(port)); }
static pal_ret_t hw_reset_port(int port) { return ok_if_zero(::pal_qsfp_reset_port(port)); }
static pal_ret_t hw_power_en(int port, bool enable) { return ok_if_zero(::pal_qsfp_power_en(port, enable)); }
static pal_ret_t hw_lp_set(int port) { return ok_if_zero(::pal_qsfp_set_low_power_mode(port)); }
static pal_ret_t hw_lp_clear(int port) { return ok_if_zero(::pal_qsfp_reset_low_power_mode(port)); }
static pal_ret_t hw_intr_clear(int port)
{
    (void)::pal_qsfp_presence_intr_clear(port);
    return PAL_RET_OK;
}

// the whole variant; step_cpu_pkt and reg_batch_write stay empty
static constexpr pal_info_s k_hw_table = [] {
    pal_info_s p{};
    p.reg_read = hw_reg_read;
    p.reg_write = hw_reg_write;
    p.sbus_read = hw_sbus_read;
    p.sbus_write = hw_sbus_write;
    p.sbus_reset = hw_sbus_reset;
    p.mem_read = hw_mem_read;
    p.mem_write = hw_mem_write;
    p.ring_db16 = hw_ring_db16;
    p.ring_db32 = hw_ring_db32;
    p.ring_db64 = hw_ring_db64;
    p.physical_addr_to_virtual_addr = hw_pa_to_va;
    p.virtual_addr_to_physical_addr = hw_va_to_pa;
    p.mem_set = hw_mem_set;
    p.is_qsfp_port_present = hw_present;
    p.is_qsfp_port_reset = hw_in_reset;
    p.qsfp_set_port = hw_set_port;
    p.qsfp_reset_port = hw_reset_port;
    p.is_qsfp_port_power_ctrl_present = hw_power_ctrl;
    p.is_qsfp_port_powered_up = hw_powered_up;
    p.is_qsfp_port_power_failure = hw_power_failure;
    p.is_qsfp_presence_intr_pending = hw_intr_pending;
    p.qsfp_presence_intr_clear = hw_intr_clear;
    p.qsfp_power_en = hw_power_en;
    p.qsfp_set_low_power_mode = hw_lp_set;
    p.qsfp_reset_low_power_mode = hw_lp_clear;
    p.qsfp_read = pal_hw_x86_64_qsfp_read;
    p.qsfp_write = pal_hw_x86_64_qsfp_write;
    p.qsfp_mdio_read = hw_phy_read;
    p.qsfp_mdio_write = hw_phy_write;
    p.qsfp_phy_read = hw_phy_read;
    p.qsfp_phy_write = hw_phy_write;
    p.mem_map = hw_mem_map;
    p.mem_unmap = hw_mem_unmap;
    p.qsfp_set_led = hw_set_led;
    p.get_cpld_rev = ::pal_get_cpld_rev;
    p.get_cpld_id = ::pal_get_cpld_id;
    p.cpld_write_qsfp_temp = hw_write_temp;
    p.qsfp_dom_read = hw_dom_read;
    p.get_system_led = ::pal_get_system_led;
    p.get_rst_reason = ::pal_get_rst_reason;
    // the plain function: 0 and its message when the header is out of reach
    p.get_sub_asic = ::pal_get_sub_asic;
    p.is_mem_region_avail = hw_mem_region_avail;
    p.reg_rw_ctrl = hw_rw_ctrl;
    return p;
}();

pal_ret_t pal_hw_x86_init_rwvectors(pal_info_s& p)
{
    pal_overlay(p, k_hw_table);
    return PAL_RET_OK;
}

}  // namespace lib
}  // namespace sdk
