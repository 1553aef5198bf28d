// a stand-in for the outside jtag library, for tests: the six entry points of
// pal/pal_jtag.h over the resource0 (CARDSIM_REG_BASE..) and resource2
// (CARDSIM_MEM_BASE..) windows of the folder JTAG_STANDIN_RSC names; without
// it, or outside the windows, reads and writes fail. the test steers it with
// jtag_standin_fail(entry, on) and jtag_standin_clear(), and looks with
// jtag_standin_stat(entry, what): what 0 calls, 1 last argument of a link
// step (-1: none), 2 when it was last called among all calls. built with
// JTAG_STANDIN_NO_WR it lacks jtag_wr.

#include <cstring>

#include "emulator/cardsim_card.h"
#include "pal/pal_jtag.h"
#include "pal/tests/pal_test_support.h"

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

enum entry_e { E_INIT, E_RESET, E_ENABLE, E_TARGET, E_RD, E_WR, E_COUNT };
const char* const k_entry_names[E_COUNT] = {"jtag_init",       "jtag_reset", "jtag_enable",
                                            "set_asic_target", "jtag_rd",    "jtag_wr"};

struct window_s {
    std::shared_ptr<card_window> map;
    uint64_t base, size;
};

struct standin_s {
    int stat[E_COUNT][3];  // calls, last argument, last sequence number
    int seq;
    bool fail[E_COUNT];
};

std::mutex g_mutex;
standin_s g_standin;
window_s g_windows[2];

int entry_index(const char* name)
{
    const char* const* end = k_entry_names + E_COUNT;
    const char* const* at = std::find_if(k_entry_names, end, [&](const char* n) { return name && strcmp(n, name) == 0; });
    return at == end ? -1 : static_cast<int>(at - k_entry_names);
}

window_s map_window(const std::string& path, uint64_t base, uint64_t limit)
{
    auto map = std::make_shared<card_window>(path);
    return map->ok() ? window_s{map, base, std::min<uint64_t>(map->size(), limit)} : window_s{};
}

// the mapped bytes of [addr, addr + len), null when not wholly in one window
uint8_t* window_at(uint64_t addr, uint32_t len)
{
    for (window_s& w : g_windows) {
        if (w.map && addr >= w.base && addr - w.base <= w.size && len <= w.size - (addr - w.base)) {
            return w.map->at(addr - w.base);
        }
    }
    return nullptr;
}

// counts the call; false when the entry is switched to fail
bool enter(entry_e e, int arg)
{
    g_standin.stat[e][0]++;
    g_standin.stat[e][1] = arg;
    g_standin.stat[e][2] = ++g_standin.seq;
    return !g_standin.fail[e];
}

int transfer(entry_e e, uint8_t* card_side, const uint8_t* from, uint8_t* to, uint32_t len)
{
    if (!enter(e, -1)) {
        return -1;
    }
    if (!card_side || !(from ? from : to)) {
        return -2;
    }
    memcpy(to ? to : card_side, from ? from : card_side, len);
    return 0;
}

}  // namespace

STANDIN_EXPORT int jtag_init(int port)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!enter(E_INIT, port)) {
        return -1;
    }
    const char* dir = getenv("JTAG_STANDIN_RSC");
    g_windows[0] = g_windows[1] = window_s{};
    if (!dir || !*dir) {
        return 0;
    }
    g_windows[0] = map_window(std::string(dir) + "/resource0", CARDSIM_REG_BASE, CARDSIM_REG_SIZE);
    g_windows[1] = map_window(std::string(dir) + "/resource2", CARDSIM_MEM_BASE, CARDSIM_MEM_SIZE);
    return g_windows[0].map && g_windows[1].map ? 0 : -2;
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
    return transfer(E_RD, window_at(addr, len), nullptr, buf, len);
}

#ifndef JTAG_STANDIN_NO_WR
STANDIN_EXPORT int jtag_wr(uint64_t addr, const uint8_t* buf, uint32_t len)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return transfer(E_WR, window_at(addr, len), buf, nullptr, len);
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

// counts, arguments and switches; the windows stay
STANDIN_EXPORT void jtag_standin_clear()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_standin = standin_s{};
    for (auto& s : g_standin.stat) {
        s[1] = -1;
    }
}
