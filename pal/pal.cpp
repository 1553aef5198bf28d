// the process-wide operation table: pal_init picks the variant once and
// publishes its table whole; the wrappers call through it

#include "pal/pal.h"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "pal/pal_trace.h"

namespace sdk {
namespace lib {

std::atomic<const pal_info_s*> gl_pal_info{nullptr};

// pal_init runs once: later callers wait for the first and get its result
static std::mutex g_pal_init_mutex;
static bool g_pal_init_done = false;
static pal_ret_t g_pal_init_rc = PAL_RET_OK;
// every table published so far: a thread may still be calling through an
// older one after a teardown
static std::vector<std::unique_ptr<pal_info_s>> g_pal_tables;

struct pal_variant_s {
    platform::platform_type_t type;
    pal_ret_t (*init)(pal_info_s& p);
};

// the variants this build carries for each platform type
static const pal_variant_s k_internal_variants[] = {
    {platform::PLATFORM_TYPE_HW, pal_hw_x86_init_rwvectors},
    {platform::PLATFORM_TYPE_SIM, pal_builtin_init_rwvectors},
    {platform::PLATFORM_TYPE_MOCK, pal_builtin_init_rwvectors},
};

enum pal_variant_e { PAL_VARIANT_NONE, PAL_VARIANT_INTERNAL, PAL_VARIANT_JTAG, PAL_VARIANT_TELNET };
static pal_variant_e g_chosen = PAL_VARIANT_NONE;

static pal_ret_t pal_init_internal(platform::platform_type_t type, pal_info_s& p)
{
    for (const auto& variant : k_internal_variants) {
        if (variant.type == type) {
            return variant.init(p);
        }
    }
    return PAL_RET_NOK;
}

pal_ret_t pal_init(platform::platform_type_t type, types::dp_mem_layout_s*)
{
    std::lock_guard<std::mutex> lock(g_pal_init_mutex);
    if (g_pal_init_done) {
        return g_pal_init_rc;
    }
    // built aside, published whole: the default variant first, the chosen
    // one over it (a variant that fails leaves its entries out)
    auto table = std::make_unique<pal_info_s>();
    pal_info_s& p = *table;
    p.platform_type = type;
    pal_default_init_rwvectors(p);
    pal_ret_t rc;
    if (getenv("PAL_J2C_PORT")) {
        g_chosen = PAL_VARIANT_JTAG;
        rc = pal_jtag_init(type, p);
    } else if (getenv("PAL_TELNET_PORT") && getenv("PAL_TELNET_IPADDR")) {
        g_chosen = PAL_VARIANT_TELNET;
        rc = pal_telnet_init(type, p);
    } else {
        g_chosen = PAL_VARIANT_INTERNAL;
        rc = pal_init_internal(type, p);
    }
    gl_pal_info.store(table.get(), std::memory_order_release);
    g_pal_tables.push_back(std::move(table));
    g_pal_init_done = true;
    g_pal_init_rc = rc;
    if (rc != PAL_RET_OK) {
        PAL_TRACE_ERR("Failed to initialize PAL for platform type %u, err %u", type, rc);
    }
    return rc;
}

pal_ret_t pal_teardown(platform::platform_type_t type)
{
    std::lock_guard<std::mutex> lock(g_pal_init_mutex);
    if (!g_pal_init_done) {
        return PAL_RET_OK;
    }
    g_pal_init_done = false;
    gl_pal_info.store(nullptr, std::memory_order_release);
    pal_ret_t rc = PAL_RET_OK;
    switch (g_chosen) {
    case PAL_VARIANT_JTAG:
        rc = pal_jtag_teardown();
        break;
    case PAL_VARIANT_TELNET:
        rc = pal_telnet_teardown();
        break;
    default:
        break;
    }
    g_chosen = PAL_VARIANT_NONE;
    if (rc != PAL_RET_OK) {
        PAL_TRACE_ERR("Failed to teardown PAL for platform type %d, err %d", (int)type, (int)rc);
    }
    return rc;
}

platform::platform_type_t pal_get_platform_type()
{
    const pal_info_s* t = pal_table();
    return t ? t->platform_type : platform::PLATFORM_TYPE_NONE;
}

// the wrappers: an empty entry fails, the caller gets PAL_RET_NOK (or false, or null)
pal_ret_t pal_reg_read(uint64_t addr, uint32_t* data, uint32_t n) { return PAL_CALL(reg_read, PAL_RET_NOK, addr, data, n); }
pal_ret_t pal_reg_write(uint64_t addr, const uint32_t* data, uint32_t n) { return PAL_CALL(reg_write, PAL_RET_NOK, addr, data, n); }
uint32_t pal_sbus_read(uint32_t ring, uint32_t sbus, uint32_t reg) { return PAL_CALL(sbus_read, 0u, ring, sbus, reg); }
pal_ret_t pal_sbus_write(uint32_t ring, uint32_t sbus, uint32_t reg, uint32_t data) { return PAL_CALL(sbus_write, PAL_RET_NOK, ring, sbus, reg, data); }
pal_ret_t pal_sbus_reset(uint32_t ring, uint32_t sbus) { return PAL_CALL(sbus_reset, PAL_RET_NOK, ring, sbus); }
pal_ret_t pal_mem_read(uint64_t addr, uint8_t* data, uint32_t size, uint32_t flags) { return PAL_CALL(mem_read, PAL_RET_NOK, addr, data, size, flags); }
pal_ret_t pal_mem_write(uint64_t addr, const uint8_t* data, uint32_t size, uint32_t flags) { return PAL_CALL(mem_write, PAL_RET_NOK, addr, data, size, flags); }
pal_ret_t pal_ring_db16(uint64_t addr, uint16_t data) { return PAL_CALL(ring_db16, PAL_RET_NOK, addr, data); }
pal_ret_t pal_ring_db32(uint64_t addr, uint32_t data) { return PAL_CALL(ring_db32, PAL_RET_NOK, addr, data); }
pal_ret_t pal_ring_db64(uint64_t addr, uint64_t data) { return PAL_CALL(ring_db64, PAL_RET_NOK, addr, data); }
pal_ret_t pal_step_cpu_pkt(const uint8_t* pkt, size_t len) { return PAL_CALL(step_cpu_pkt, PAL_RET_NOK, pkt, len); }
pal_ret_t pal_physical_addr_to_virtual_addr(uint64_t pa, uint64_t* va) { return PAL_CALL(physical_addr_to_virtual_addr, PAL_RET_NOK, pa, va); }
pal_ret_t pal_virtual_addr_to_physical_addr(uint64_t va, uint64_t* pa) { return PAL_CALL(virtual_addr_to_physical_addr, PAL_RET_NOK, va, pa); }
pal_ret_t pal_mem_set(uint64_t addr, uint8_t value, uint32_t size, uint32_t flags) { return PAL_CALL(mem_set, PAL_RET_NOK, addr, value, size, flags); }
void* pal_mem_map(uint64_t pa, uint32_t size) { return PAL_CALL(mem_map, nullptr, pa, size); }
void pal_mem_unmap(void* va) { PAL_CALL(mem_unmap, 0, va); }
pal_ret_t pal_reg_batch_write(uint64_t addr, const uint32_t* data, uint32_t n) { return PAL_CALL(reg_batch_write, PAL_RET_NOK, addr, data, n); }
bool pal_is_mem_region_avail(uint64_t addr, uint64_t size) { return PAL_CALL(is_mem_region_avail, false, addr, size); }
pal_ret_t pal_reg_rw_ctrl(const pal_reg_rw_ctrl_s* ctrl) { return PAL_CALL(reg_rw_ctrl, PAL_RET_NOK, ctrl); }
int pal_get_sub_asic() { return PAL_CALL(get_sub_asic, -1); }

}  // namespace lib
}  // namespace sdk
