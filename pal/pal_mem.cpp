// loads and stores into the calling thread's card windows, bounds-checked

#include "pal/pal_mem.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "pal/pal_hw_x86.h"
#include "pal/pal_log.h"

template <typename T>
static T* reg_ptr(uint64_t pa, const char* what)
{
    uint8_t* va = nullptr;
    if (pa % sizeof(T) != 0 || pal_hw_x86_regs_pa_to_va(pa, &va) != 0) {
        fprintf(stderr, "%s: failed to map pa 0x%" PRIx64 "\n", what, pa);
        return nullptr;
    }
    return reinterpret_cast<T*>(va);
}

template <typename T>
static T reg_rd(uint64_t pa, const char* what)
{
    volatile T* p = reg_ptr<T>(pa, what);
    return p ? *p : static_cast<T>(~T(0));
}

template <typename T>
static void reg_wr(uint64_t pa, T value, const char* what)
{
    volatile T* p = reg_ptr<T>(pa, what);
    if (p) {
        *p = value;
    }
}

uint8_t pal_reg_rd8(uint64_t pa) { return reg_rd<uint8_t>(pa, "pal_reg_rd8"); }
uint16_t pal_reg_rd16(uint64_t pa) { return reg_rd<uint16_t>(pa, "pal_reg_rd16"); }
uint32_t pal_reg_rd32(uint64_t pa) { return reg_rd<uint32_t>(pa, "pal_reg_rd32"); }
uint64_t pal_reg_rd64(uint64_t pa) { return reg_rd<uint64_t>(pa, "pal_reg_rd64"); }
void pal_reg_wr8(uint64_t pa, uint8_t v) { reg_wr<uint8_t>(pa, v, "pal_reg_wr8"); }
void pal_reg_wr16(uint64_t pa, uint16_t v) { reg_wr<uint16_t>(pa, v, "pal_reg_wr16"); }
void pal_reg_wr32(uint64_t pa, uint32_t v) { reg_wr<uint32_t>(pa, v, "pal_reg_wr32"); }
void pal_reg_wr64(uint64_t pa, uint64_t v) { reg_wr<uint64_t>(pa, v, "pal_reg_wr64"); }

// the whole block must lie in the window
static volatile uint32_t* reg_block(uint64_t pa, uint32_t n, const char* what)
{
    uint8_t* first = nullptr;
    uint8_t* last = nullptr;
    if (n == 0) {
        return nullptr;
    }
    if (pa % 4 != 0 || pal_hw_x86_regs_pa_to_va(pa, &first) != 0 ||
        pal_hw_x86_regs_pa_to_va(pa + 4ull * n - 1, &last) != 0) {
        fprintf(stderr, "%s: failed to map pa 0x%" PRIx64 "\n", what, pa);
        return nullptr;
    }
    return reinterpret_cast<volatile uint32_t*>(first);
}

void pal_reg_rd32w(uint64_t pa, uint32_t* data, uint32_t n)
{
    volatile uint32_t* p = reg_block(pa, n, "pal_reg_rd32w");
    for (uint32_t i = 0; i < n; i++) {
        data[i] = p ? p[i] : 0xFFFFFFFFu;
    }
}

void pal_reg_wr32w(uint64_t pa, const uint32_t* data, uint32_t n)
{
    volatile uint32_t* p = reg_block(pa, n, "pal_reg_wr32w");
    for (uint32_t i = 0; p && i < n; i++) {
        p[i] = data[i];
    }
}

uint64_t pal_reg_rd64_safe(uint64_t pa)
{
    uint32_t w[2];
    pal_reg_rd32w(pa, w, 2);
    return uint64_t(w[1]) << 32 | w[0];
}

void pal_reg_wr64_safe(uint64_t pa, uint64_t value)
{
    uint32_t w[2] = {static_cast<uint32_t>(value), static_cast<uint32_t>(value >> 32)};
    pal_reg_wr32w(pa, w, 2);
}

uint32_t pal_get_env()
{
    return pal_reg_rd32(0x10680010) & 0xf;
}

// the mapped block, or null when any of it lies outside the memory window
static volatile uint8_t* mem_block(uint64_t pa, uint32_t size)
{
    uint8_t* first = nullptr;
    uint8_t* last = nullptr;
    if (size == 0 || pal_hw_x86_mem_pa_to_va(pa, &first) != 0 ||
        pal_hw_x86_mem_pa_to_va(pa + size - 1, &last) != 0) {
        return nullptr;
    }
    return first;
}

// bytes up to an 8-byte card address, 64-bit units, then the rest as bytes
template <typename Unit, typename Byte>
static void block_walk(uint64_t pa, uint32_t size, Unit unit, Byte byte)
{
    uint32_t at = 0;
    while (at < size && (pa + at) % 8 != 0) {
        byte(at++);
    }
    while (size - at >= 8) {
        unit(at);
        at += 8;
    }
    while (at < size) {
        byte(at++);
    }
}

int pal_mem_rd(uint64_t pa, uint8_t* buf, uint32_t size, uint32_t)
{
    volatile uint8_t* p = mem_block(pa, size);
    if (p == nullptr) {
        memset(buf, 0xff, size);
        return 0;
    }
    block_walk(
        pa, size,
        [&](uint32_t at) {
            uint64_t v = *reinterpret_cast<volatile uint64_t*>(p + at);
            memcpy(buf + at, &v, 8);
        },
        [&](uint32_t at) { buf[at] = p[at]; });
    return 0;
}

int pal_mem_wr(uint64_t pa, const uint8_t* buf, uint32_t size, uint32_t)
{
    volatile uint8_t* p = mem_block(pa, size);
    if (p == nullptr) {
        return 0;
    }
    block_walk(
        pa, size,
        [&](uint32_t at) {
            uint64_t v;
            memcpy(&v, buf + at, 8);
            *reinterpret_cast<volatile uint64_t*>(p + at) = v;
        },
        [&](uint32_t at) { p[at] = buf[at]; });
    return 0;
}

uint32_t pal_memset(uint64_t pa, uint8_t value, uint32_t size, uint32_t)
{
    volatile uint8_t* p = mem_block(pa, size);
    if (p == nullptr) {
        return 0;
    }
    uint64_t unit_value = 0x0101010101010101ull * value;
    block_walk(
        pa, size, [&](uint32_t at) { *reinterpret_cast<volatile uint64_t*>(p + at) = unit_value; },
        [&](uint32_t at) { p[at] = value; });
    return size;
}

void* pal_mem_map_va(uint64_t pa, uint32_t size)
{
    pal_log(3, "mem_map 0x%08" PRIx64 " sz %ld", pa, static_cast<long>(size));
    uint8_t* va = nullptr;
    return pal_hw_x86_mem_pa_to_va(pa, &va) == 0 ? va : nullptr;
}

uint64_t pal_mem_ptov(uint64_t pa)
{
    uint8_t* va = nullptr;
    return pal_hw_x86_mem_pa_to_va(pa, &va) == 0 ? reinterpret_cast<uintptr_t>(va) : 0;
}

uint64_t pal_mem_vtop(uint64_t va)
{
    uint64_t pa = 0;
    if (pal_hw_x86_mem_va_to_pa(&pa, reinterpret_cast<const uint8_t*>(va)) != 0) {
        fprintf(stderr, "pal_mem_vtop: va 0x%" PRIx64 " outside the memory window\n", va);
        return 0;
    }
    return pa;
}

uint64_t pal_mem_get_phys_totalsize()
{
    return pal_hw_x86_mem_totalsize();
}

uint64_t pal_pmem_va()
{
    uint8_t* va = nullptr;
    if (pal_hw_x86_pmem_va(&va) != 0) {
        fprintf(stderr, "pal_pmem_va: failed to map physical memory (check PAL_CARD_UUID / device availability)\n");
        return 0;
    }
    return reinterpret_cast<uintptr_t>(va);
}
