// the default variant: every entry it fills only says it was called

#include <cinttypes>

#include "pal/pal.h"
#include "pal/pal_trace.h"

namespace sdk {
namespace lib {

static pal_ret_t default_reg_read(uint64_t addr, uint32_t*, uint32_t)
{
    PAL_TRACE_DEBUG("PAL default register read called for %" PRIx64, addr);
    return PAL_RET_OK;
}
static pal_ret_t default_reg_write(uint64_t addr, const uint32_t*, uint32_t)
{
    PAL_TRACE_DEBUG("PAL default register write called for %" PRIx64, addr);
    return PAL_RET_OK;
}
static pal_ret_t default_mem_read(uint64_t addr, uint8_t*, uint32_t, uint32_t)
{
    PAL_TRACE_DEBUG("PAL default memory read called for %" PRIx64, addr);
    return PAL_RET_OK;
}
static pal_ret_t default_mem_write(uint64_t addr, const uint8_t*, uint32_t, uint32_t)
{
    PAL_TRACE_DEBUG("PAL default memory write called for %" PRIx64, addr);
    return PAL_RET_OK;
}
static pal_ret_t default_mem_set(uint64_t addr, uint8_t, uint32_t, uint32_t)
{
    PAL_TRACE_DEBUG("PAL default memory set called for %" PRIx64, addr);
    return PAL_RET_OK;
}
template <typename T>
static pal_ret_t default_ring_db(uint64_t addr, T)
{
    PAL_TRACE_DEBUG("PAL default ring doorbell called for %" PRIx64, addr);
    return PAL_RET_OK;
}
static pal_ret_t default_pa_to_va(uint64_t pa, uint64_t*)
{
    PAL_TRACE_DEBUG("PAL default physical to virtual called for %" PRIx64, pa);
    return PAL_RET_OK;
}
static pal_ret_t default_va_to_pa(uint64_t va, uint64_t*)
{
    PAL_TRACE_DEBUG("PAL default virtual to physical called for %" PRIx64, va);
    return PAL_RET_OK;
}
static void* default_mem_map(uint64_t pa, uint32_t)
{
    PAL_TRACE_DEBUG("PAL default memory map called for %" PRIx64, pa);
    return nullptr;
}
static void default_mem_unmap(void*) {}
static bool default_port_query(int port)
{
    PAL_TRACE_DEBUG("PAL default qsfp query called for port %d", port);
    return false;
}
static pal_ret_t default_port_op(int port)
{
    PAL_TRACE_DEBUG("PAL default qsfp operation called for port %d", port);
    return PAL_RET_OK;
}
static pal_ret_t default_power_en(int port, bool)
{
    return default_port_op(port);
}
static int default_int_query()
{
    PAL_TRACE_DEBUG("PAL default board query called");
    return 0;
}
static bool default_mem_region_avail(uint64_t, uint64_t)
{
    return true;
}

static constexpr pal_info_s k_default_table = [] {
    pal_info_s p{};
    p.reg_read = default_reg_read;
    p.reg_write = default_reg_write;
    p.mem_read = default_mem_read;
    p.mem_write = default_mem_write;
    p.mem_set = default_mem_set;
    p.ring_db16 = default_ring_db<uint16_t>;
    p.ring_db32 = default_ring_db<uint32_t>;
    p.ring_db64 = default_ring_db<uint64_t>;
    p.physical_addr_to_virtual_addr = default_pa_to_va;
    p.virtual_addr_to_physical_addr = default_va_to_pa;
    p.mem_map = default_mem_map;
    p.mem_unmap = default_mem_unmap;
    p.is_qsfp_port_present = default_port_query;
    p.is_qsfp_port_power_ctrl_present = default_port_query;
    p.is_qsfp_port_powered_up = default_port_query;
    p.is_qsfp_port_power_failure = default_port_query;
    p.is_qsfp_presence_intr_pending = default_port_query;
    p.qsfp_set_port = default_port_op;
    p.qsfp_reset_port = default_port_op;
    p.qsfp_presence_intr_clear = default_port_op;
    p.qsfp_power_en = default_power_en;
    p.qsfp_set_low_power_mode = default_port_op;
    p.qsfp_reset_low_power_mode = default_port_op;
    p.get_cpld_rev = default_int_query;
    p.get_cpld_id = default_int_query;
    p.get_system_led = default_int_query;
    p.get_rst_reason = default_int_query;
    p.get_sub_asic = default_int_query;
    p.is_mem_region_avail = default_mem_region_avail;
    return p;
}();

void pal_default_init_rwvectors(pal_info_s& p)
{
    pal_overlay(p, k_default_table);
}

}  // namespace lib
}  // namespace sdk
