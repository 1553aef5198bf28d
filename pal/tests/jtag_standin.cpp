// a stand-in for the outside jtag library, for tests: the six entry points of
// pal/pal_jtag.h over an emulated card's register and memory windows.
//
// jtag_init maps resource0 and resource2 of the folder named by
// JTAG_STANDIN_RSC (a resource function's sysfs folder in the testbed); without
// it there are no windows and every read and write fails. card addresses
// CARDSIM_REG_BASE.. reach resource0, CARDSIM_MEM_BASE.. resource2; any other
// address fails.
//
// beside the entry points, for the test to look at and steer:
//   int jtag_standin_stat(const char* entry, int what)  -1: no such entry; what
//       0: calls so far; 1: last argument of jtag_init, jtag_reset,
//       jtag_enable or set_asic_target (-1: not called); 2: when the entry
//       was last called, counting all calls (0: not called)
//   void jtag_standin_fail(const char* entry, int on)  makes the entry fail
//   void jtag_standin_clear()                          counts, arguments, switches
//
// built a second time with JTAG_STANDIN_NO_WR, it lacks jtag_wr.

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "emulator/cardsim_card.h"
#include "pal/pal_jtag.h"
#include "pal/tests/pal_test_support.h"

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

enum entry_e { E_INIT, E_RESET, E_ENABLE, E_TARGET, E_RD, E_WR, E_COUNT };
const char* const k_entry_names[E_COUNT] = {"jtag_init",       "jtag_reset", "jtag_enable",
                                            "set_asic_target", "jtag_rd",    "jtag_wr"};

// the mapped file, and how much of it from which card address is the card's
struct window_s {
    std::shared_ptr<card_window> map;
    uint64_t base, size;
};

struct standin_s {
    int stat[E_COUNT][3];  // calls, last argument, last sequence number
    int seq;
    bool fail[E_COUNT];
    window_s regs, mem;
};

std::mutex g_mutex;
standin_s g_standin;

void clear_locked()
{
    window_s regs = g_standin.regs, mem = g_standin.mem;
    g_standin = standin_s{};
    for (auto& s : g_standin.stat) {
        s[1] = -1;
    }
    g_standin.regs = regs;
    g_standin.mem = mem;
}

int entry_index(const char* name)
{
    for (int i = 0; name && i < E_COUNT; ++i) {
        if (strcmp(name, k_entry_names[i]) == 0) {
            return i;
        }
    }
    return -1;
}

window_s map_window(const std::string& path, uint64_t base, uint64_t limit)
{
    auto map = std::make_shared<card_window>(path);
    return map->ok() ? window_s{map, base, std::min<uint64_t>(map->size(), limit)} : window_s{};
}

// the mapped bytes of [addr, addr + len), null when not wholly in one window
uint8_t* window_at(uint64_t addr, uint32_t len)
{
    for (window_s* w : {&g_standin.regs, &g_standin.mem}) {
        if (w->map && addr >= w->base && addr - w->base <= w->size && len <= w->size - (addr - w->base)) {
            return w->map->at(addr - w->base);
        }
    }
    return nullptr;
}

// counts the call and says whether the entry is switched to fail
bool enter(entry_e e, int arg)
{
    g_standin.stat[e][0]++;
    g_standin.stat[e][1] = arg;
    g_standin.stat[e][2] = ++g_standin.seq;
    return !g_standin.fail[e];
}

}  // namespace

STANDIN_EXPORT int jtag_init(int port)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!enter(E_INIT, port)) {
        return -1;
    }
    const char* dir = getenv("JTAG_STANDIN_RSC");
    g_standin.regs = g_standin.mem = window_s{};
    if (!dir || !*dir) {
        return 0;
    }
    g_standin.regs = map_window(std::string(dir) + "/resource0", CARDSIM_REG_BASE, CARDSIM_REG_SIZE);
    g_standin.mem = map_window(std::string(dir) + "/resource2", CARDSIM_MEM_BASE, CARDSIM_MEM_SIZE);
    return g_standin.regs.map && g_standin.mem.map ? 0 : -2;
}

// the link steps only count, and fail when told
#define STANDIN_STEP(name_, entry_)                 \
    STANDIN_EXPORT int name_(int arg)               \
    {                                               \
        std::lock_guard<std::mutex> lock(g_mutex);  \
        return enter(entry_, arg) ? 0 : -1;         \
    }
STANDIN_STEP(jtag_reset, E_RESET)
STANDIN_STEP(jtag_enable, E_ENABLE)
STANDIN_STEP(set_asic_target, E_TARGET)

STANDIN_EXPORT int jtag_rd(uint64_t addr, uint8_t* buf, uint32_t len)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const uint8_t* src = enter(E_RD, -1) ? window_at(addr, len) : nullptr;
    if (src && buf) {
        memcpy(buf, src, len);
    }
    return g_standin.fail[E_RD] ? -1 : src && buf ? 0 : -2;
}

#ifndef JTAG_STANDIN_NO_WR
STANDIN_EXPORT int jtag_wr(uint64_t addr, const uint8_t* buf, uint32_t len)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    uint8_t* dst = enter(E_WR, -1) ? window_at(addr, len) : nullptr;
    if (dst && buf) {
        memcpy(dst, buf, len);
    }
    return g_standin.fail[E_WR] ? -1 : dst && buf ? 0 : -2;
}
#endif

STANDIN_EXPORT int jtag_standin_stat(const char* entry, int what)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    int i = entry_index(entry);
    return i < 0 || what < 0 || what > 2 ? -1 : g_standin.stat[i][what];
}

STANDIN_EXPORT void jtag_standin_fail(const char* entry, int on)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    int i = entry_index(entry);
    if (i >= 0) {
        g_standin.fail[i] = on != 0;
    }
}

STANDIN_EXPORT void jtag_standin_clear()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    clear_locked();
}
