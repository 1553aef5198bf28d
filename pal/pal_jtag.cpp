// the jtag variant (platform type 1): register and memory access through an
// outside jtag library loaded at run time.
//
// the library is named by JTAG_LIB_PATH, else libaccpcie_talmira.so is found
// the usual way. its entry points, looked up by name (pal/pal_jtag.h), each
// returning 0 on success:
//
//   int jtag_init(int port);
//   int jtag_reset(int arg);
//   int jtag_enable(int arg);
//   int set_asic_target(int sub_asic);
//   int jtag_rd(uint64_t addr, uint8_t* buf, uint32_t len);
//   int jtag_wr(uint64_t addr, const uint8_t* buf, uint32_t len);
//
// addresses are card physical addresses; a register block of n words is one
// jtag_rd or jtag_wr of 4 * n bytes. progress and failures go to standard
// output, each line starting with "PAL_J2C_DEBUG - ".

#include "pal/pal_jtag.h"

#include <dlfcn.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pal/pal.h"

namespace sdk {
namespace lib {

namespace {

struct jtag_lib_s {
    void* handle = nullptr;
    jtag_init_fn init = nullptr;
    jtag_reset_fn reset = nullptr;
    jtag_rd_fn rd = nullptr;
    jtag_enable_fn enable = nullptr;
    set_asic_target_fn set_asic_target = nullptr;
    jtag_wr_fn wr = nullptr;
    int sub_asic = 0;
};

jtag_lib_s g_jtag;

void jtag_debug(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void jtag_debug(const char* fmt, ...)
{
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    printf("PAL_J2C_DEBUG - %s\n", line);
    fflush(stdout);
}

const char* dl_error_text()
{
    const char* text = dlerror();
    return text ? text : "no reason given";
}

// a non-negative decimal int, the whole string
bool parse_decimal(const char* text, int* out)
{
    if (!text || !*text || *text == '-' || *text == '+') {
        return false;
    }
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
    }
    errno = 0;
    long value = strtol(text, nullptr, 10);
    if (errno != 0 || value > INT_MAX) {
        return false;
    }
    *out = static_cast<int>(value);
    return true;
}

void jtag_close()
{
    if (g_jtag.handle) {
        dlclose(g_jtag.handle);
    }
    g_jtag = jtag_lib_s{};
}

// the entries in the operation table: each checks that the library is still
// there, so an entry called after teardown fails instead of jumping into an
// unloaded library

// one library read or write; `fn` is the entry as loaded now (null once
// torn down)
template <typename Buf>
pal_ret_t jtag_transfer(const char* name, int (*fn)(uint64_t, Buf*, uint32_t), uint64_t addr, Buf* buf,
                        uint32_t len)
{
    if (!fn) {
        return PAL_RET_NOK;
    }
    if (len == 0) {
        return PAL_RET_OK;
    }
    if (!buf) {
        return PAL_RET_NOK;
    }
    int rc = fn(addr, buf, len);
    if (rc != 0) {
        jtag_debug("%s failed at 0x%" PRIx64 ", %u bytes, rc %d", name, addr, len, rc);
        return PAL_RET_NOK;
    }
    return PAL_RET_OK;
}

pal_ret_t jtag_read_bytes(uint64_t addr, uint8_t* buf, uint32_t len)
{
    return jtag_transfer("jtag_rd", g_jtag.rd, addr, buf, len);
}

pal_ret_t jtag_write_bytes(uint64_t addr, const uint8_t* buf, uint32_t len)
{
    return jtag_transfer("jtag_wr", g_jtag.wr, addr, buf, len);
}

pal_ret_t jtag_reg_read(uint64_t addr, uint32_t* data, uint32_t num_words)
{
    if (num_words > UINT32_MAX / 4) {
        return PAL_RET_NOK;
    }
    return jtag_read_bytes(addr, reinterpret_cast<uint8_t*>(data), num_words * 4);
}

pal_ret_t jtag_reg_write(uint64_t addr, const uint32_t* data, uint32_t num_words)
{
    if (num_words > UINT32_MAX / 4) {
        return PAL_RET_NOK;
    }
    return jtag_write_bytes(addr, reinterpret_cast<const uint8_t*>(data), num_words * 4);
}

pal_ret_t jtag_mem_read(uint64_t addr, uint8_t* data, uint32_t size, uint32_t)
{
    return jtag_read_bytes(addr, data, size);
}

pal_ret_t jtag_mem_write(uint64_t addr, const uint8_t* data, uint32_t size, uint32_t)
{
    return jtag_write_bytes(addr, data, size);
}

// a fill goes out as writes of a buffer holding the value
pal_ret_t jtag_mem_set(uint64_t addr, uint8_t value, uint32_t size, uint32_t)
{
    if (!g_jtag.wr) {
        return PAL_RET_NOK;
    }
    uint8_t chunk[256];
    memset(chunk, value, sizeof(chunk));
    uint32_t done = 0;
    while (done < size) {
        uint32_t n = size - done < sizeof(chunk) ? size - done : static_cast<uint32_t>(sizeof(chunk));
        if (jtag_write_bytes(addr + done, chunk, n) != PAL_RET_OK) {
            return PAL_RET_NOK;
        }
        done += n;
    }
    return PAL_RET_OK;
}

// a doorbell is one write of its width, little-endian like the card
template <typename T>
pal_ret_t jtag_ring_db(uint64_t addr, T data)
{
    uint8_t bytes[sizeof(T)];
    memcpy(bytes, &data, sizeof(T));
    return jtag_write_bytes(addr, bytes, sizeof(T));
}

int jtag_get_sub_asic()
{
    return g_jtag.sub_asic;
}

// resolves one entry point; false (and reported) when the library lacks it
template <typename F>
bool jtag_resolve(const char* lib_name, const char* name, F* out)
{
    dlerror();
    void* sym = dlsym(g_jtag.handle, name);
    if (!sym) {
        jtag_debug("jtag library %s has no entry point %s: %s", lib_name, name, dl_error_text());
        return false;
    }
    *out = reinterpret_cast<F>(sym);
    return true;
}

pal_ret_t jtag_open(platform::platform_type_t type)
{
    if (type != platform::PLATFORM_TYPE_JTAG) {
        jtag_debug("platform type %u is not supported over jtag (type %u only)", type,
                   platform::PLATFORM_TYPE_JTAG);
        return PAL_RET_NOK;
    }

    // the environment first: a bad value is refused before anything is loaded
    int port = PAL_JTAG_DEFAULT_PORT;
    const char* port_text = getenv("PAL_J2C_PORT");
    if (port_text && *port_text && !parse_decimal(port_text, &port)) {
        jtag_debug("PAL_J2C_PORT \"%s\" is not a decimal port number", port_text);
        return PAL_RET_NOK;
    }
    int sub_asic = 0;
    const char* sub_asic_text = getenv("SUB_ASIC");
    bool have_sub_asic = sub_asic_text != nullptr;
    if (have_sub_asic && !parse_decimal(sub_asic_text, &sub_asic)) {
        jtag_debug("SUB_ASIC \"%s\" is not a decimal sub-asic number", sub_asic_text);
        return PAL_RET_NOK;
    }

    const char* lib_name = getenv("JTAG_LIB_PATH");
    if (!lib_name || !*lib_name) {
        lib_name = PAL_JTAG_DEFAULT_LIB;
    }
    jtag_debug("loading jtag library %s", lib_name);
    dlerror();
    g_jtag.handle = dlopen(lib_name, RTLD_NOW | RTLD_LOCAL);
    if (!g_jtag.handle) {
        jtag_debug("cannot load jtag library %s: %s", lib_name, dl_error_text());
        return PAL_RET_NOK;
    }
    if (!jtag_resolve(lib_name, "jtag_init", &g_jtag.init) || !jtag_resolve(lib_name, "jtag_reset", &g_jtag.reset) ||
        !jtag_resolve(lib_name, "jtag_rd", &g_jtag.rd) || !jtag_resolve(lib_name, "jtag_enable", &g_jtag.enable) ||
        !jtag_resolve(lib_name, "set_asic_target", &g_jtag.set_asic_target) ||
        !jtag_resolve(lib_name, "jtag_wr", &g_jtag.wr)) {
        return PAL_RET_NOK;
    }

    jtag_debug("jtag_init port %d", port);
    int rc = g_jtag.init(port);
    if (rc != 0) {
        jtag_debug("jtag_init on port %d failed, rc %d", port, rc);
        return PAL_RET_NOK;
    }
    if (have_sub_asic) {
        jtag_debug("set_asic_target %d", sub_asic);
        rc = g_jtag.set_asic_target(sub_asic);
        if (rc != 0) {
            jtag_debug("set_asic_target %d failed, rc %d", sub_asic, rc);
            return PAL_RET_NOK;
        }
    }
    g_jtag.sub_asic = sub_asic;
    jtag_debug("jtag_reset %d", PAL_JTAG_LINK_ARG);
    rc = g_jtag.reset(PAL_JTAG_LINK_ARG);
    if (rc != 0) {
        jtag_debug("jtag_reset %d failed, rc %d", PAL_JTAG_LINK_ARG, rc);
        return PAL_RET_NOK;
    }
    jtag_debug("jtag_enable %d", PAL_JTAG_LINK_ARG);
    rc = g_jtag.enable(PAL_JTAG_LINK_ARG);
    if (rc != 0) {
        jtag_debug("jtag_enable %d failed, rc %d", PAL_JTAG_LINK_ARG, rc);
        return PAL_RET_NOK;
    }
    jtag_debug("jtag ready on port %d, sub-asic %d", port, sub_asic);
    return PAL_RET_OK;
}

}  // namespace

static constexpr pal_info_s k_jtag_table = [] {
    pal_info_s p{};
    p.reg_read = jtag_reg_read;
    p.reg_write = jtag_reg_write;
    p.mem_read = jtag_mem_read;
    p.mem_write = jtag_mem_write;
    p.mem_set = jtag_mem_set;
    p.ring_db16 = jtag_ring_db<uint16_t>;
    p.ring_db32 = jtag_ring_db<uint32_t>;
    p.ring_db64 = jtag_ring_db<uint64_t>;
    p.get_sub_asic = jtag_get_sub_asic;
    return p;
}();

pal_ret_t pal_jtag_init(platform::platform_type_t type, pal_info_s& p)
{
    jtag_close();
    pal_ret_t rc = jtag_open(type);
    if (rc != PAL_RET_OK) {
        // nothing of a half-opened library stays behind; the table keeps the
        // default entries
        jtag_close();
        return rc;
    }
    pal_overlay(p, k_jtag_table);
    return PAL_RET_OK;
}

pal_ret_t pal_jtag_teardown()
{
    if (g_jtag.handle) {
        jtag_debug("closing jtag library");
    }
    jtag_close();
    return PAL_RET_OK;
}

}  // namespace lib
}  // namespace sdk
