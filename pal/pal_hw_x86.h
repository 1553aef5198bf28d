#pragma once

#include <cstdint>
#include <string>

// the calling thread's binding to one card: its resource function's
// windows, mapped from sysfs. one binding per thread, made once.

constexpr uint32_t PALX86_HDR_MAGIC = 0x70616c78;
constexpr uint32_t PALX86_HDR_VERSION = 1;
constexpr size_t PALX86_HDR_OFF_MAGIC = 0;
constexpr size_t PALX86_HDR_OFF_VERSION = 4;
constexpr size_t PALX86_HDR_OFF_SUB_ASIC = 12;
constexpr size_t PALX86_HDR_OFF_REG_BASE = 16;
constexpr size_t PALX86_HDR_OFF_MEM_BASE = 24;

struct palx86_window_s {
    uint8_t* va = nullptr;
    uint64_t base = 0;  // card physical address of the first byte
    uint64_t size = 0;
};

struct palx86_ctx_s {
    uint32_t initialised = 0;
    std::string card_bdf;
    palx86_window_s regs;
    palx86_window_s mem;
    palx86_window_s hdr;
};

// binds the calling thread to the card; 0 or negative
int pal_hw_x86_init(const char* card_bdf);
// maps the windows of one resource function; 0 or -1
int palx86_init_with_rsc_bdf(const char* rsc_bdf);

// translation through the calling thread's windows, binding it first by the
// environment when it is not bound; 0, or -1 outside the window
int pal_hw_x86_regs_pa_to_va(uint64_t pa, uint8_t** va);
int pal_hw_x86_mem_pa_to_va(uint64_t pa, uint8_t** va);
int pal_hw_x86_mem_va_to_pa(uint64_t* pa, const uint8_t* va);
uint64_t pal_hw_x86_mem_totalsize();
int pal_hw_x86_pmem_va(uint8_t** va);

// the calling thread's binding, for inspection
const palx86_ctx_s& palx86_ctx();
