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
//   void jtag_standin_clear()                     counts, arguments and switches
//
// built a second time with JTAG_STANDIN_NO_WR, it lacks jtag_wr.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "emulator/cardsim_card.h"
#include "pal/pal_jtag.h"

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

enum entry_e { E_INIT, E_RESET, E_ENABLE, E_TARGET, E_RD, E_WR, E_COUNT };
const char* const k_entry_names[E_COUNT] = {"jtag_init",       "jtag_reset", "jtag_enable",
                                            "set_asic_target", "jtag_rd",    "jtag_wr"};

struct window_s {
    uint8_t* p = nullptr;
    size_t size = 0;
    uint64_t base = 0;
};

struct standin_s {
    std::mutex mutex;
    int calls[E_COUNT] = {};
    int last_arg[E_COUNT] = {-1, -1, -1, -1, -1, -1};
    int last_seq[E_COUNT] = {};
    int seq = 0;
    bool fail[E_COUNT] = {};
    window_s regs{nullptr, 0, CARDSIM_REG_BASE};
    window_s mem{nullptr, 0, CARDSIM_MEM_BASE};
};

standin_s g_standin;

int entry_index(const char* name)
{
    for (int i = 0; name && i < E_COUNT; ++i) {
        if (strcmp(name, k_entry_names[i]) == 0) {
            return i;
        }
    }
    return -1;
}

void unmap_window(window_s& w)
{
    if (w.p) {
        munmap(w.p, w.size);
    }
    w.p = nullptr;
    w.size = 0;
}

bool map_window(window_s& w, const std::string& path, uint64_t limit)
{
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st;
    bool ok = false;
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
        size_t size = static_cast<size_t>(st.st_size);
        void* va = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (va != MAP_FAILED) {
            w.p = static_cast<uint8_t*>(va);
            w.size = size < limit ? size : static_cast<size_t>(limit);
            ok = true;
        }
    }
    close(fd);
    return ok;
}

// the mapped bytes of [addr, addr + len), null when not wholly in one window
uint8_t* window_at(uint64_t addr, uint32_t len)
{
    for (window_s* w : {&g_standin.regs, &g_standin.mem}) {
        if (w->p && addr >= w->base && addr - w->base <= w->size && len <= w->size - (addr - w->base)) {
            return w->p + (addr - w->base);
        }
    }
    return nullptr;
}

// counts the call and says whether the entry is switched to fail
bool enter(entry_e e, int arg)
{
    ++g_standin.calls[e];
    g_standin.last_arg[e] = arg;
    g_standin.last_seq[e] = ++g_standin.seq;
    return !g_standin.fail[e];
}

}  // namespace

STANDIN_EXPORT int jtag_init(int port)
{
    std::lock_guard<std::mutex> lock(g_standin.mutex);
    if (!enter(E_INIT, port)) {
        return -1;
    }
    unmap_window(g_standin.regs);
    unmap_window(g_standin.mem);
    const char* dir = getenv("JTAG_STANDIN_RSC");
    if (!dir || !*dir) {
        return 0;
    }
    if (!map_window(g_standin.regs, std::string(dir) + "/resource0", CARDSIM_REG_SIZE) ||
        !map_window(g_standin.mem, std::string(dir) + "/resource2", CARDSIM_MEM_SIZE)) {
        unmap_window(g_standin.regs);
        unmap_window(g_standin.mem);
        return -2;
    }
    return 0;
}

// the link steps only count, and fail when told
#define STANDIN_STEP(name_, entry_)                          \
    STANDIN_EXPORT int name_(int arg)                        \
    {                                                        \
        std::lock_guard<std::mutex> lock(g_standin.mutex);   \
        return enter(entry_, arg) ? 0 : -1;                  \
    }
STANDIN_STEP(jtag_reset, E_RESET)
STANDIN_STEP(jtag_enable, E_ENABLE)
STANDIN_STEP(set_asic_target, E_TARGET)

STANDIN_EXPORT int jtag_rd(uint64_t addr, uint8_t* buf, uint32_t len)
{
    std::lock_guard<std::mutex> lock(g_standin.mutex);
    if (!enter(E_RD, -1)) {
        return -1;
    }
    const uint8_t* src = window_at(addr, len);
    if (!src || !buf) {
        return -2;
    }
    memcpy(buf, src, len);
    return 0;
}

#ifndef JTAG_STANDIN_NO_WR
STANDIN_EXPORT int jtag_wr(uint64_t addr, const uint8_t* buf, uint32_t len)
{
    std::lock_guard<std::mutex> lock(g_standin.mutex);
    if (!enter(E_WR, -1)) {
        return -1;
    }
    uint8_t* dst = window_at(addr, len);
    if (!dst || !buf) {
        return -2;
    }
    memcpy(dst, buf, len);
    return 0;
}
#endif

STANDIN_EXPORT int jtag_standin_stat(const char* entry, int what)
{
    std::lock_guard<std::mutex> lock(g_standin.mutex);
    int i = entry_index(entry);
    if (i < 0 || what < 0 || what > 2) {
        return -1;
    }
    return what == 0 ? g_standin.calls[i] : what == 1 ? g_standin.last_arg[i] : g_standin.last_seq[i];
}

STANDIN_EXPORT void jtag_standin_fail(const char* entry, int on)
{
    std::lock_guard<std::mutex> lock(g_standin.mutex);
    int i = entry_index(entry);
    if (i >= 0) {
        g_standin.fail[i] = on != 0;
    }
}

STANDIN_EXPORT void jtag_standin_clear()
{
    std::lock_guard<std::mutex> lock(g_standin.mutex);
    for (int i = 0; i < E_COUNT; ++i) {
        g_standin.calls[i] = 0;
        g_standin.last_arg[i] = -1;
        g_standin.last_seq[i] = 0;
        g_standin.fail[i] = false;
    }
    g_standin.seq = 0;
}
