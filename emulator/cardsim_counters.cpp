// card memory: the counters the host reads, advanced by a ticker thread as
// traffic would advance them

#include <chrono>
#include <mutex>

#include "emulator/cardsim_host_tree.h"

static uint64_t* slot(uint8_t* mem, uint64_t card_addr)
{
    if (card_addr < CARDSIM_MEM_BASE || card_addr + 8 > CARDSIM_MEM_BASE + CARDSIM_MEM_SIZE || card_addr % 8) {
        return nullptr;
    }
    return reinterpret_cast<uint64_t*>(mem + (card_addr - CARDSIM_MEM_BASE));
}

uint64_t cardsim_host::counter(size_t index, uint64_t card_addr) const
{
    std::lock_guard<std::mutex> lock(tree_mutex_);
    uint8_t* mem = cards_.at(index)->mem;
    uint64_t* p = mem ? slot(mem, card_addr) : nullptr;
    return p ? __atomic_load_n(p, __ATOMIC_RELAXED) : 0;
}

void cardsim_host::set_counter(size_t index, uint64_t card_addr, uint64_t value)
{
    std::lock_guard<std::mutex> lock(tree_mutex_);
    uint8_t* mem = cards_.at(index)->mem;
    if (uint64_t* p = mem ? slot(mem, card_addr) : nullptr) {
        __atomic_store_n(p, value, __ATOMIC_RELAXED);
    }
}

// slot k of every counter block grows by step * (k + 1)
static void advance_block(uint8_t* mem, uint64_t first, uint64_t size, uint64_t step)
{
    for (uint64_t k = 0; k < size / 8; k++) {
        uint64_t* p = slot(mem, first + 8 * k);
        __atomic_fetch_add(p, step * (k + 1), __ATOMIC_RELAXED);
    }
}

void cardsim_host::tick()
{
    std::lock_guard<std::mutex> lock(tree_mutex_);
    for (auto& card : cards_) {
        if (card->mem == nullptr) {
            continue;
        }
        advance_block(card->mem, CARDSIM_PORT_REGION, CARDSIM_PORT_REGION_SIZE, card->step);
        for (size_t l = 0; l < card->fw->spec().lifs.size(); l++) {
            advance_block(card->mem, cardsim_lif_block(l), CARDSIM_LIF_BLOCK_SIZE, card->step);
        }
    }
}

void cardsim_host::ticker_loop_(uint32_t tick_ms)
{
    auto next = std::chrono::steady_clock::now();
    while (!stop_) {
        next += std::chrono::milliseconds(tick_ms);
        std::this_thread::sleep_until(next);
        if (ticking_) {
            tick();
        }
    }
}
