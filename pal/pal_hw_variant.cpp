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

static int hw_not_implemented_port(uint32_t, uint32_t, uint16_t*)
{
    PAL_TRACE_ERR("PAL API not implmented");
    return 0;
}

static int hw_not_implemented_port_wr(uint32_t, uint32_t, uint16_t)
{
    PAL_TRACE_ERR("PAL API not implmented");
    return 0;
}

static pal_ret_t hw_rw_ctrl(const pal_reg_rw_ctrl_s* ctrl)
{
    return pal_rw_ctrl(ctrl);
}

pal_ret_t pal_hw_x86_init_rwvectors(pal_info_s& p)
{
    p.reg_read = hw_reg_read;
    p.reg_write = hw_reg_write;
    p.mem_read = hw_mem_read;
    p.mem_write = hw_mem_write;
    p.mem_set = hw_mem_set;
    p.ring_db16 = hw_ring_db16;
    p.ring_db32 = hw_ring_db32;
    p.ring_db64 = hw_ring_db64;
    p.step_cpu_pkt = nullptr;
    p.physical_addr_to_virtual_addr = hw_pa_to_va;
    p.virtual_addr_to_physical_addr = hw_va_to_pa;
    p.mem_map = hw_mem_map;
    p.mem_unmap = hw_mem_unmap;
    p.qsfp_mdio_read = hw_not_implemented_port;
    p.qsfp_mdio_write = hw_not_implemented_port_wr;
    p.qsfp_phy_read = hw_not_implemented_port;
    p.qsfp_phy_write = hw_not_implemented_port_wr;
    p.reg_batch_write = nullptr;
    // the plain function: 0 and its message when the header is out of reach
    p.get_sub_asic = ::pal_get_sub_asic;
    p.is_mem_region_avail = hw_mem_region_avail;
    p.reg_rw_ctrl = hw_rw_ctrl;
    pal_hw_x86_init_cpld_vectors(p);
    pal_hw_x86_init_qsfp_vectors(p);
    return PAL_RET_OK;
}

}  // namespace lib
}  // namespace sdk
