// the built-in variant (platform types 2 and 3): a card held in this process.
//
// a register space of 64 KiB at 0x20000000 and a memory space of 1 MiB at
// 0x40000000, both zero at pal_init, so that code above this layer can run
// without a card: what is written reads back, and nothing else changes them.
//   registers   32-bit words, 4-byte aligned; doorbells are 16-, 32- and
//               64-bit stores aligned to their width
//   memory      any byte range; fills; translation and mapping give the
//               address of the byte in this process
// an access that does not lie wholly inside its space (or is misaligned, or
// has no buffer) fails with PAL_RET_NOK and a trace message, and touches
// nothing. the entries not named here stay the default variant's.

#include <cinttypes>
#include <cstring>
#include <mutex>
#include <vector>

#include "pal/pal.h"
#include "pal/pal_trace.h"

namespace sdk {
namespace lib {

namespace {

constexpr uint64_t k_builtin_reg_base = 0x20000000;
constexpr uint64_t k_builtin_reg_size = 0x10000;
constexpr uint64_t k_builtin_mem_base = 0x40000000;
constexpr uint64_t k_builtin_mem_size = 0x100000;

struct builtin_space_s {
    const char* name;
    uint64_t base;
    uint64_t size;
    std::vector<uint8_t> bytes;
};

struct builtin_card_s {
    std::mutex mutex;
    builtin_space_s regs{"register", k_builtin_reg_base, k_builtin_reg_size, {}};
    builtin_space_s mem{"memory", k_builtin_mem_base, k_builtin_mem_size, {}};
};
builtin_card_s g_card;

// the bytes of [addr, addr + len) in the space, or null with a message
uint8_t* space_at(builtin_space_s& space, uint64_t addr, uint64_t len, uint64_t align)
{
    if (space.bytes.size() != space.size || addr < space.base || addr - space.base > space.size ||
        len > space.size - (addr - space.base)) {
        PAL_TRACE_ERR("PAL built-in %s access at 0x%" PRIx64 " of %" PRIu64 " bytes is outside 0x%" PRIx64
                      "..0x%" PRIx64,
                      space.name, addr, len, space.base, space.base + space.size - 1);
        return nullptr;
    }
    if (addr % align != 0) {
        PAL_TRACE_ERR("PAL built-in %s access at 0x%" PRIx64 " is not %" PRIu64 "-byte aligned", space.name, addr,
                      align);
        return nullptr;
    }
    return space.bytes.data() + (addr - space.base);
}

pal_ret_t builtin_copy_in(builtin_space_s& space, uint64_t addr, const void* data, uint64_t len, uint64_t align)
{
    if (len == 0) {
        return PAL_RET_OK;
    }
    if (!data) {
        return PAL_RET_NOK;
    }
    std::lock_guard<std::mutex> lock(g_card.mutex);
    uint8_t* p = space_at(space, addr, len, align);
    if (!p) {
        return PAL_RET_NOK;
    }
    memcpy(p, data, len);
    return PAL_RET_OK;
}

pal_ret_t builtin_copy_out(builtin_space_s& space, uint64_t addr, void* data, uint64_t len, uint64_t align)
{
    if (len == 0) {
        return PAL_RET_OK;
    }
    if (!data) {
        return PAL_RET_NOK;
    }
    std::lock_guard<std::mutex> lock(g_card.mutex);
    const uint8_t* p = space_at(space, addr, len, align);
    if (!p) {
        return PAL_RET_NOK;
    }
    memcpy(data, p, len);
    return PAL_RET_OK;
}

pal_ret_t builtin_reg_read(uint64_t addr, uint32_t* data, uint32_t num_words)
{
    return builtin_copy_out(g_card.regs, addr, data, 4ull * num_words, 4);
}
pal_ret_t builtin_reg_write(uint64_t addr, const uint32_t* data, uint32_t num_words)
{
    return builtin_copy_in(g_card.regs, addr, data, 4ull * num_words, 4);
}
pal_ret_t builtin_mem_read(uint64_t addr, uint8_t* data, uint32_t size, uint32_t)
{
    return builtin_copy_out(g_card.mem, addr, data, size, 1);
}
pal_ret_t builtin_mem_write(uint64_t addr, const uint8_t* data, uint32_t size, uint32_t)
{
    return builtin_copy_in(g_card.mem, addr, data, size, 1);
}
pal_ret_t builtin_mem_set(uint64_t addr, uint8_t value, uint32_t size, uint32_t)
{
    if (size == 0) {
        return PAL_RET_OK;
    }
    std::lock_guard<std::mutex> lock(g_card.mutex);
    uint8_t* p = space_at(g_card.mem, addr, size, 1);
    if (!p) {
        return PAL_RET_NOK;
    }
    memset(p, value, size);
    return PAL_RET_OK;
}
template <typename T>
pal_ret_t builtin_ring_db(uint64_t addr, T value)
{
    return builtin_copy_in(g_card.regs, addr, &value, sizeof(T), sizeof(T));
}

pal_ret_t builtin_pa_to_va(uint64_t pa, uint64_t* va)
{
    if (!va) {
        return PAL_RET_NOK;
    }
    std::lock_guard<std::mutex> lock(g_card.mutex);
    uint8_t* p = space_at(g_card.mem, pa, 1, 1);
    if (!p) {
        return PAL_RET_NOK;
    }
    *va = reinterpret_cast<uintptr_t>(p);
    return PAL_RET_OK;
}
pal_ret_t builtin_va_to_pa(uint64_t va, uint64_t* pa)
{
    if (!pa) {
        return PAL_RET_NOK;
    }
    std::lock_guard<std::mutex> lock(g_card.mutex);
    uintptr_t start = reinterpret_cast<uintptr_t>(g_card.mem.bytes.data());
    if (g_card.mem.bytes.empty() || va < start || va - start >= g_card.mem.size) {
        PAL_TRACE_ERR("PAL built-in address 0x%" PRIx64 " is not in card memory", va);
        return PAL_RET_NOK;
    }
    *pa = va - start + g_card.mem.base;
    return PAL_RET_OK;
}
void* builtin_mem_map(uint64_t pa, uint32_t size)
{
    std::lock_guard<std::mutex> lock(g_card.mutex);
    return space_at(g_card.mem, pa, size ? size : 1, 1);
}
void builtin_mem_unmap(void*) {}
bool builtin_is_mem_region_avail(uint64_t addr, uint64_t size)
{
    std::lock_guard<std::mutex> lock(g_card.mutex);
    const builtin_space_s& m = g_card.mem;
    return addr >= m.base && addr - m.base <= m.size && size <= m.size - (addr - m.base);
}

}  // namespace

static constexpr pal_info_s k_builtin_table = [] {
    pal_info_s p{};
    p.reg_read = builtin_reg_read;
    p.reg_write = builtin_reg_write;
    p.mem_read = builtin_mem_read;
    p.mem_write = builtin_mem_write;
    p.mem_set = builtin_mem_set;
    p.ring_db16 = builtin_ring_db<uint16_t>;
    p.ring_db32 = builtin_ring_db<uint32_t>;
    p.ring_db64 = builtin_ring_db<uint64_t>;
    p.physical_addr_to_virtual_addr = builtin_pa_to_va;
    p.virtual_addr_to_physical_addr = builtin_va_to_pa;
    p.mem_map = builtin_mem_map;
    p.mem_unmap = builtin_mem_unmap;
    p.is_mem_region_avail = builtin_is_mem_region_avail;
    return p;
}();

pal_ret_t pal_builtin_init_rwvectors(pal_info_s& p)
{
    {
        // a new card at every pal_init; mappings handed out before stay valid
        // (the storage is only allocated once)
        std::lock_guard<std::mutex> lock(g_card.mutex);
        for (builtin_space_s* space : {&g_card.regs, &g_card.mem}) {
            space->bytes.assign(space->size, 0);
        }
    }
    pal_overlay(p, k_builtin_table);
    return PAL_RET_OK;
}

}  // namespace lib
}  // namespace sdk
