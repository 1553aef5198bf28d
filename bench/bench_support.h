#pragma once

// what the benchmarks share: counts of heap allocations and write(2) calls
// of this process, the emulated host they all run on, and scratch folders

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "emulator/cardsim_host.h"

// every operator new of the process so far
uint64_t bench_allocations();
// every write(2) of the process so far (the libc entry, as the product calls it)
uint64_t bench_writes();

// the host of all benchmarks: one card with 32 LIFs and 4 ports, counters
// that move only when a benchmark sets them. built on first use; null (and
// the benchmark skipped with the reason) when the testbed cannot be built
cardsim_host* bench_host(benchmark::State& state);
constexpr size_t BENCH_LIFS_MAX = 32;
constexpr size_t BENCH_PORTS = 4;

// a fresh folder under /tmp, removed at exit
std::string bench_temp_dir(const std::string& name);
