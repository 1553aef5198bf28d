// the telnet variant (platform types 3 and 7): register and memory access
// over the card's console (pal_telnet_console.cpp), reached by tcp at
// PAL_TELNET_IPADDR:PAL_TELNET_PORT
//
// command words (addresses and values in hex with 0x, lengths in decimal):
//   rd32 0xADDR N         N 32-bit registers, N <= 64: the answer is N hex
//                         words (0x optional), blank-separated over any lines
//   wr32 0xADDR 0xW ..    up to 16 consecutive 32-bit registers; no answer
//   wr16 0xADDR 0xW       one 16-bit register; no answer
//   wr64 0xADDR 0xW       one 64-bit register; no answer
//   rdmem 0xADDR LEN      LEN bytes of card memory, LEN <= 256: the answer is
//                         2 * LEN hex digits over any lines
//   wrmem 0xADDR HEX      up to 128 bytes, as one run of hex digits; no answer
//   fill 0xADDR 0xBB LEN  LEN bytes set to BB; no answer
// a line starting with "error" refuses the command (an address outside the
// card, say). larger transfers go as several commands, under one lock so that
// threads never interleave on the console.
//
// failures, each a PAL_RET_NOK with a trace message:
//   refused command ("error ..."), an answer that does not parse (wrong word
//   count, not hex, text where none is expected): that call fails, the
//   session goes on (the prompt came back, so the console is in step).
//   no answer within 2000 ms, the peer closing, a line over 512 characters,
//   an answer over 64 KiB, a failed send: the session is out of step and is
//   closed; every later call fails at once until pal_teardown and a new
//   pal_init.

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "pal/pal.h"
#include "pal/pal_telnet_console.h"
#include "pal/pal_trace.h"

namespace sdk {
namespace lib {

namespace {

constexpr uint32_t k_rd32_words_max = 64;
constexpr uint32_t k_wr32_words_max = 16;
constexpr uint32_t k_rdmem_bytes_max = 256;
constexpr uint32_t k_wrmem_bytes_max = 128;

int hex_value(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// a hex word of at most `digits` digits, 0x optional
bool parse_hex_word(const std::string& token, size_t digits, uint64_t& value)
{
    size_t i = (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) ? 2 : 0;
    if (token.size() == i || token.size() - i > digits) {
        return false;
    }
    value = 0;
    for (; i < token.size(); i++) {
        int v = hex_value(token[i]);
        if (v < 0) {
            return false;
        }
        value = value << 4 | static_cast<uint64_t>(v);
    }
    return true;
}

// [addr, addr + len) must not wrap around
bool range_ok(uint64_t addr, uint64_t len, const char* what)
{
    if (len > UINT64_MAX - addr) {
        PAL_TRACE_ERR("Telnet %s at 0x%" PRIx64 " of %" PRIu64 " bytes wraps around", what, addr, len);
        return false;
    }
    return true;
}

std::string hex_addr(uint64_t addr)
{
    char buf[24];
    snprintf(buf, sizeof(buf), "0x%" PRIx64, addr);
    return buf;
}

pal_ret_t telnet_reg_read(uint64_t addr, uint32_t* data, uint32_t num_words)
{
    if (num_words == 0) {
        return PAL_RET_OK;
    }
    if (!data || !range_ok(addr, 4ull * num_words, "register read")) {
        return PAL_RET_NOK;
    }
    std::lock_guard<std::mutex> lock(telnet_console_mutex());
    std::vector<std::string> lines;
    for (uint32_t done = 0; done < num_words;) {
        uint32_t n = std::min(num_words - done, k_rd32_words_max);
        std::string command = "rd32 " + hex_addr(addr + 4ull * done) + " " + std::to_string(n);
        if (telnet_console_command_locked(command, lines) != PAL_RET_OK) {
            return PAL_RET_NOK;
        }
        uint32_t got = 0;
        for (const std::string& line : lines) {
            size_t pos = 0;
            while (pos < line.size()) {
                size_t end = line.find(' ', pos);
                if (end == std::string::npos) {
                    end = line.size();
                }
                if (end > pos) {
                    uint64_t v;
                    if (got == n || !parse_hex_word(line.substr(pos, end - pos), 8, v)) {
                        return telnet_console_garbage(command, lines);
                    }
                    data[done + got++] = static_cast<uint32_t>(v);
                }
                pos = end + 1;
            }
        }
        if (got != n) {
            return telnet_console_garbage(command, lines);
        }
        done += n;
    }
    return PAL_RET_OK;
}

pal_ret_t telnet_reg_write(uint64_t addr, const uint32_t* data, uint32_t num_words)
{
    if (num_words == 0) {
        return PAL_RET_OK;
    }
    if (!data || !range_ok(addr, 4ull * num_words, "register write")) {
        return PAL_RET_NOK;
    }
    std::lock_guard<std::mutex> lock(telnet_console_mutex());
    for (uint32_t done = 0; done < num_words;) {
        uint32_t n = std::min(num_words - done, k_wr32_words_max);
        std::string command = "wr32 " + hex_addr(addr + 4ull * done);
        for (uint32_t i = 0; i < n; i++) {
            command += " " + hex_addr(data[done + i]);
        }
        if (telnet_console_write_locked(command) != PAL_RET_OK) {
            return PAL_RET_NOK;
        }
        done += n;
    }
    return PAL_RET_OK;
}

pal_ret_t telnet_mem_read(uint64_t addr, uint8_t* data, uint32_t size, uint32_t)
{
    if (size == 0) {
        return PAL_RET_OK;
    }
    if (!data || !range_ok(addr, size, "memory read")) {
        return PAL_RET_NOK;
    }
    std::lock_guard<std::mutex> lock(telnet_console_mutex());
    std::vector<std::string> lines;
    for (uint32_t done = 0; done < size;) {
        uint32_t n = std::min(size - done, k_rdmem_bytes_max);
        std::string command = "rdmem " + hex_addr(addr + done) + " " + std::to_string(n);
        if (telnet_console_command_locked(command, lines) != PAL_RET_OK) {
            return PAL_RET_NOK;
        }
        std::vector<uint8_t> bytes;
        int high = -1;
        for (const std::string& line : lines) {
            for (char c : line) {
                if (c == ' ') {
                    continue;
                }
                int v = hex_value(c);
                if (v < 0 || bytes.size() == n) {
                    return telnet_console_garbage(command, lines);
                }
                if (high < 0) {
                    high = v;
                } else {
                    bytes.push_back(static_cast<uint8_t>(high << 4 | v));
                    high = -1;
                }
            }
        }
        if (bytes.size() != n || high >= 0) {
            return telnet_console_garbage(command, lines);
        }
        memcpy(data + done, bytes.data(), n);
        done += n;
    }
    return PAL_RET_OK;
}

pal_ret_t telnet_mem_write(uint64_t addr, const uint8_t* data, uint32_t size, uint32_t)
{
    if (size == 0) {
        return PAL_RET_OK;
    }
    if (!data || !range_ok(addr, size, "memory write")) {
        return PAL_RET_NOK;
    }
    static const char digits[] = "0123456789abcdef";
    std::lock_guard<std::mutex> lock(telnet_console_mutex());
    for (uint32_t done = 0; done < size;) {
        uint32_t n = std::min(size - done, k_wrmem_bytes_max);
        std::string command = "wrmem " + hex_addr(addr + done) + " ";
        for (uint32_t i = 0; i < n; i++) {
            command.push_back(digits[data[done + i] >> 4]);
            command.push_back(digits[data[done + i] & 0xf]);
        }
        if (telnet_console_write_locked(command) != PAL_RET_OK) {
            return PAL_RET_NOK;
        }
        done += n;
    }
    return PAL_RET_OK;
}

pal_ret_t telnet_mem_set(uint64_t addr, uint8_t value, uint32_t size, uint32_t)
{
    if (size == 0) {
        return PAL_RET_OK;
    }
    if (!range_ok(addr, size, "memory fill")) {
        return PAL_RET_NOK;
    }
    std::lock_guard<std::mutex> lock(telnet_console_mutex());
    return telnet_console_write_locked("fill " + hex_addr(addr) + " " + hex_addr(value) + " " + std::to_string(size));
}

pal_ret_t telnet_ring(const char* word, uint64_t addr, uint64_t value)
{
    std::lock_guard<std::mutex> lock(telnet_console_mutex());
    return telnet_console_write_locked(std::string(word) + " " + hex_addr(addr) + " " + hex_addr(value));
}
pal_ret_t telnet_ring_db16(uint64_t addr, uint16_t data) { return telnet_ring("wr16", addr, data); }
pal_ret_t telnet_ring_db32(uint64_t addr, uint32_t data) { return telnet_ring("wr32", addr, data); }
pal_ret_t telnet_ring_db64(uint64_t addr, uint64_t data) { return telnet_ring("wr64", addr, data); }

}  // namespace

// the rest (translation, transceivers, board) stays the default variant's
static constexpr pal_info_s k_telnet_table = [] {
    pal_info_s p{};
    p.reg_read = telnet_reg_read;
    p.reg_write = telnet_reg_write;
    p.mem_read = telnet_mem_read;
    p.mem_write = telnet_mem_write;
    p.mem_set = telnet_mem_set;
    p.ring_db16 = telnet_ring_db16;
    p.ring_db32 = telnet_ring_db32;
    p.ring_db64 = telnet_ring_db64;
    return p;
}();

pal_ret_t pal_telnet_init(platform::platform_type_t type, pal_info_s& p)
{
    if (type != platform::PLATFORM_TYPE_MOCK && type != platform::PLATFORM_TYPE_HW) {
        PAL_TRACE_ERR("Telnet variant serves platform types 3 and 7, not %u", type);
        return PAL_RET_NOK;
    }
    const char* ipaddr = getenv("PAL_TELNET_IPADDR");
    const char* port = getenv("PAL_TELNET_PORT");
    pal_ret_t rc = PAL_RET_NOK;
    if (ipaddr && port) {
        std::lock_guard<std::mutex> lock(telnet_console_mutex());
        rc = telnet_console_start_locked(ipaddr, port);
    }
    if (rc != PAL_RET_OK) {
        PAL_TRACE_ERR("Telnet connection failed");
        return rc;
    }
    pal_overlay(p, k_telnet_table);
    return PAL_RET_OK;
}

pal_ret_t pal_telnet_teardown()
{
    std::lock_guard<std::mutex> lock(telnet_console_mutex());
    telnet_console_close_locked();
    return PAL_RET_OK;
}

}  // namespace lib
}  // namespace sdk
