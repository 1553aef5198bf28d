#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// the platform operations on a card, whatever way the card is reached. the
// variant behind them is chosen once per process by pal_init.

namespace sdk {
namespace types {
struct dp_mem_layout_s;
}
namespace platform {
using platform_type_t = uint32_t;
constexpr platform_type_t PLATFORM_TYPE_NONE = 0;
constexpr platform_type_t PLATFORM_TYPE_JTAG = 1;
constexpr platform_type_t PLATFORM_TYPE_SIM = 2;
constexpr platform_type_t PLATFORM_TYPE_MOCK = 3;
constexpr platform_type_t PLATFORM_TYPE_HW = 7;
}  // namespace platform

namespace lib {

using pal_ret_t = uint32_t;
constexpr pal_ret_t PAL_RET_OK = 0;
constexpr pal_ret_t PAL_RET_NOK = 1;

enum pal_reg_rw_ctrl_op_e : uint32_t {
    PAL_RW_CTRL_START_RW = 1,
    PAL_RW_CTRL_START_READ = 2,
    PAL_RW_CTRL_START_WRITE = 3,
    PAL_RW_CTRL_STOP = 4,
    PAL_RW_CTRL_LABEL = 5,
    PAL_RW_CTRL_RESUME = 6,
    PAL_RW_CTRL_DUMP_INIT = 7,
    PAL_RW_CTRL_REPLAY_INIT = 8,
};

struct pal_reg_rw_ctrl_s {
    uint32_t op;
    const char* arg;
    const char* arg2;
};

// one entry per operation; an entry left empty fails cleanly when called
struct pal_info_s {
    platform::platform_type_t platform_type;
    pal_ret_t (*reg_read)(uint64_t addr, uint32_t* data, uint32_t num_words);
    pal_ret_t (*reg_write)(uint64_t addr, const uint32_t* data, uint32_t num_words);
    uint32_t (*sbus_read)(uint32_t ring, uint32_t sbus_addr, uint32_t reg);
    pal_ret_t (*sbus_write)(uint32_t ring, uint32_t sbus_addr, uint32_t reg, uint32_t data);
    pal_ret_t (*sbus_reset)(uint32_t ring, uint32_t sbus_addr);
    pal_ret_t (*mem_read)(uint64_t addr, uint8_t* data, uint32_t size, uint32_t flags);
    pal_ret_t (*mem_write)(uint64_t addr, const uint8_t* data, uint32_t size, uint32_t flags);
    pal_ret_t (*ring_db16)(uint64_t addr, uint16_t data);
    pal_ret_t (*ring_db32)(uint64_t addr, uint32_t data);
    pal_ret_t (*ring_db64)(uint64_t addr, uint64_t data);
    pal_ret_t (*step_cpu_pkt)(const uint8_t* pkt, size_t len);
    pal_ret_t (*physical_addr_to_virtual_addr)(uint64_t pa, uint64_t* va);
    pal_ret_t (*virtual_addr_to_physical_addr)(uint64_t va, uint64_t* pa);
    pal_ret_t (*mem_set)(uint64_t addr, uint8_t value, uint32_t size, uint32_t flags);
    bool (*is_qsfp_port_present)(int port);
    bool (*is_qsfp_port_reset)(int port);
    pal_ret_t (*qsfp_set_port)(int port);
    pal_ret_t (*qsfp_reset_port)(int port);
    bool (*is_qsfp_port_power_ctrl_present)(int port);
    bool (*is_qsfp_port_powered_up)(int port);
    bool (*is_qsfp_port_power_failure)(int port);
    bool (*is_qsfp_presence_intr_pending)(int port);
    pal_ret_t (*qsfp_presence_intr_clear)(int port);
    pal_ret_t (*qsfp_power_en)(int port, bool enable);
    pal_ret_t (*qsfp_set_low_power_mode)(int port);
    pal_ret_t (*qsfp_reset_low_power_mode)(int port);
    int (*qsfp_read)(uint8_t* buffer, uint32_t size, uint32_t offset, uint32_t page, uint32_t retries, uint32_t port);
    int (*qsfp_write)(const uint8_t* buffer, uint32_t size, uint32_t offset, uint32_t page, uint32_t retries,
                      uint32_t port);
    int (*qsfp_mdio_read)(uint32_t port, uint32_t addr, uint16_t* data);
    int (*qsfp_mdio_write)(uint32_t port, uint32_t addr, uint16_t data);
    int (*qsfp_phy_read)(uint32_t port, uint32_t addr, uint16_t* data);
    int (*qsfp_phy_write)(uint32_t port, uint32_t addr, uint16_t data);
    void* (*mem_map)(uint64_t pa, uint32_t size);
    void (*mem_unmap)(void* va);
    int (*qsfp_set_led)(int port, int color, int frequency);
    int (*get_cpld_rev)();
    int (*get_cpld_id)();
    int (*cpld_write_qsfp_temp)(uint32_t temperature, uint32_t port);
    int (*qsfp_dom_read)(uint8_t* buffer, uint32_t size, uint32_t offset, uint32_t retries, uint32_t port);
    pal_ret_t (*reg_batch_write)(uint64_t addr, const uint32_t* data, uint32_t num_words);
    int (*get_system_led)();
    int (*get_rst_reason)();
    int (*get_sub_asic)();
    bool (*is_mem_region_avail)(uint64_t addr, uint64_t size);
    pal_ret_t (*reg_rw_ctrl)(const pal_reg_rw_ctrl_s* ctrl);
};

// the process-wide table, published whole by pal_init (null before): a
// thread never calls through a half-filled one. a table once published is
// never changed or freed
extern std::atomic<const pal_info_s*> gl_pal_info;

inline const pal_info_s* pal_table()
{
    return gl_pal_info.load(std::memory_order_acquire);
}

// every entry of the table by name, for walking it whole
#define PAL_ENTRY_NAMES(X)                                                                                   \
    X(reg_read) X(reg_write) X(sbus_read) X(sbus_write) X(sbus_reset) X(mem_read) X(mem_write) X(ring_db16)   \
    X(ring_db32) X(ring_db64) X(step_cpu_pkt) X(physical_addr_to_virtual_addr) X(virtual_addr_to_physical_addr) \
    X(mem_set) X(is_qsfp_port_present) X(is_qsfp_port_reset) X(qsfp_set_port) X(qsfp_reset_port)             \
    X(is_qsfp_port_power_ctrl_present) X(is_qsfp_port_powered_up) X(is_qsfp_port_power_failure)             \
    X(is_qsfp_presence_intr_pending) X(qsfp_presence_intr_clear) X(qsfp_power_en) X(qsfp_set_low_power_mode) \
    X(qsfp_reset_low_power_mode) X(qsfp_read) X(qsfp_write) X(qsfp_mdio_read) X(qsfp_mdio_write)             \
    X(qsfp_phy_read) X(qsfp_phy_write) X(mem_map) X(mem_unmap) X(qsfp_set_led) X(get_cpld_rev) X(get_cpld_id) \
    X(cpld_write_qsfp_temp) X(qsfp_dom_read) X(reg_batch_write) X(get_system_led) X(get_rst_reason)          \
    X(get_sub_asic) X(is_mem_region_avail) X(reg_rw_ctrl)

#define PAL_ENTRY_COUNT_ONE(name_) +1
static_assert(sizeof(pal_info_s) == sizeof(void*) * (1 PAL_ENTRY_NAMES(PAL_ENTRY_COUNT_ONE)),
              "PAL_ENTRY_NAMES must name every entry of pal_info_s");
#undef PAL_ENTRY_COUNT_ONE

// a variant's entries laid over the table being built: what the variant
// leaves empty keeps the entry underneath
inline void pal_overlay(pal_info_s& table, const pal_info_s& variant)
{
#define PAL_OVERLAY_ONE(name_)       \
    if (variant.name_) {            \
        table.name_ = variant.name_; \
    }
    PAL_ENTRY_NAMES(PAL_OVERLAY_ONE)
#undef PAL_OVERLAY_ONE
}

// calls an entry of the published table with args; no table or an empty
// entry gives `fail` instead
template <typename Fn, typename Fail, typename... Args>
auto pal_call(Fn pal_info_s::*entry, Fail fail, Args... args)
{
    const pal_info_s* t = pal_table();
    using result_t = decltype((t->*entry)(args...));
    if (t && t->*entry) {
        return (t->*entry)(args...);
    }
    return static_cast<result_t>(fail);
}
#define PAL_CALL(entry_, ...) ::sdk::lib::pal_call(&::sdk::lib::pal_info_s::entry_, __VA_ARGS__)

pal_ret_t pal_init(platform::platform_type_t type, types::dp_mem_layout_s* layout);
pal_ret_t pal_teardown(platform::platform_type_t type);
platform::platform_type_t pal_get_platform_type();

// the wrappers: each calls its entry, or fails when the entry is empty
pal_ret_t pal_reg_read(uint64_t addr, uint32_t* data, uint32_t num_words = 1);
pal_ret_t pal_reg_write(uint64_t addr, const uint32_t* data, uint32_t num_words = 1);
uint32_t pal_sbus_read(uint32_t ring, uint32_t sbus_addr, uint32_t reg);
pal_ret_t pal_sbus_write(uint32_t ring, uint32_t sbus_addr, uint32_t reg, uint32_t data);
pal_ret_t pal_sbus_reset(uint32_t ring, uint32_t sbus_addr);
pal_ret_t pal_mem_read(uint64_t addr, uint8_t* data, uint32_t size, uint32_t flags = 0);
pal_ret_t pal_mem_write(uint64_t addr, const uint8_t* data, uint32_t size, uint32_t flags = 0);
pal_ret_t pal_ring_db16(uint64_t addr, uint16_t data);
pal_ret_t pal_ring_db32(uint64_t addr, uint32_t data);
pal_ret_t pal_ring_db64(uint64_t addr, uint64_t data);
pal_ret_t pal_step_cpu_pkt(const uint8_t* pkt, size_t len);
pal_ret_t pal_physical_addr_to_virtual_addr(uint64_t pa, uint64_t* va);
pal_ret_t pal_virtual_addr_to_physical_addr(uint64_t va, uint64_t* pa);
pal_ret_t pal_mem_set(uint64_t addr, uint8_t value, uint32_t size, uint32_t flags = 0);
void* pal_mem_map(uint64_t pa, uint32_t size);
void pal_mem_unmap(void* va);
pal_ret_t pal_reg_batch_write(uint64_t addr, const uint32_t* data, uint32_t num_words);
bool pal_is_mem_region_avail(uint64_t addr, uint64_t size);
pal_ret_t pal_reg_rw_ctrl(const pal_reg_rw_ctrl_s* ctrl);
int pal_get_sub_asic();

// variants: each lays its constant table over the one pal_init is building,
// before it is published (pal_overlay)
void pal_default_init_rwvectors(pal_info_s& p);
pal_ret_t pal_hw_x86_init_rwvectors(pal_info_s& p);
pal_ret_t pal_builtin_init_rwvectors(pal_info_s& p);  // platform types 2 and 3
pal_ret_t pal_jtag_init(platform::platform_type_t type, pal_info_s& p);
pal_ret_t pal_jtag_teardown();
pal_ret_t pal_telnet_init(platform::platform_type_t type, pal_info_s& p);
pal_ret_t pal_telnet_teardown();

}  // namespace lib
}  // namespace sdk
