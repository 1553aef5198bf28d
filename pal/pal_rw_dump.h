#pragma once

#include <cstdint>
#include <string>

#include "pal/pal.h"

// per-thread recording of register and memory accesses into capture files,
// and playing a capture back. kinds: 0 register read, 1 register write,
// 2 memory read, 3 memory write, 4 memory fill

enum pal_rw_kind_e : uint32_t {
    PAL_RW_REG_READ = 0,
    PAL_RW_REG_WRITE = 1,
    PAL_RW_MEM_READ = 2,
    PAL_RW_MEM_WRITE = 3,
    PAL_RW_MEM_SET = 4,
};

constexpr uint32_t PAL_RW_RUN_MAX = 32;

bool pal_rw_dump_recording(pal_rw_kind_e kind);
bool pal_rw_replay_active();
void pal_rw_dump_reg(pal_rw_kind_e kind, uint64_t addr, const uint32_t* words, uint32_t n);
void pal_rw_dump_mem(pal_rw_kind_e kind, uint64_t addr, const uint8_t* bytes, uint32_t n);
void pal_rw_dump_memset(uint64_t addr, uint8_t value, uint32_t size);
sdk::lib::pal_ret_t pal_rw_ctrl(const sdk::lib::pal_reg_rw_ctrl_s* ctrl);

// counts of the current or last recording or replay of the calling thread
struct pal_rw_counts_s {
    uint32_t reg_writes, reg_reads, mem_writes, mem_reads, mem_sets, mismatches;
};
pal_rw_counts_s pal_rw_counts();
// the capture file of a section: dir/rw-capture-<comm>-<BLD_VERSION>-<section>.<ext>
std::string pal_rw_capture_path(const std::string& dir, const std::string& section, const std::string& ext);
