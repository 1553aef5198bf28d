#pragma once

#include <cstdint>

// loads and stores into the calling thread's card windows. an address
// outside its window reads as all ones and writes nothing; single accesses
// to such an address, or misaligned 32-bit ones, are refused with a message
// (reads then give all ones)

uint8_t pal_reg_rd8(uint64_t pa);
uint16_t pal_reg_rd16(uint64_t pa);
uint32_t pal_reg_rd32(uint64_t pa);
uint64_t pal_reg_rd64(uint64_t pa);
void pal_reg_wr8(uint64_t pa, uint8_t value);
void pal_reg_wr16(uint64_t pa, uint16_t value);
void pal_reg_wr32(uint64_t pa, uint32_t value);
void pal_reg_wr64(uint64_t pa, uint64_t value);
void pal_reg_rd32w(uint64_t pa, uint32_t* data, uint32_t n);
void pal_reg_wr32w(uint64_t pa, const uint32_t* data, uint32_t n);
uint64_t pal_reg_rd64_safe(uint64_t pa);
void pal_reg_wr64_safe(uint64_t pa, uint64_t value);
uint32_t pal_get_env();

int pal_mem_rd(uint64_t pa, uint8_t* buf, uint32_t size, uint32_t flags);
int pal_mem_wr(uint64_t pa, const uint8_t* buf, uint32_t size, uint32_t flags);
uint32_t pal_memset(uint64_t pa, uint8_t value, uint32_t size, uint32_t flags);
void* pal_mem_map_va(uint64_t pa, uint32_t size);
uint64_t pal_mem_ptov(uint64_t pa);
uint64_t pal_mem_vtop(uint64_t va);
uint64_t pal_mem_get_phys_totalsize();
uint64_t pal_pmem_va();
