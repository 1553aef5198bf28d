// the telnet variant (platform types 3 and 7): register and memory access
// over the card's console, reached by tcp at PAL_TELNET_IPADDR:PAL_TELNET_PORT
//
// the console session
//   the console greets with any banner and then its prompt: a line that
//   starts with "talmira:" and has no newline yet ("talmira:~$ "). every
//   command is one line ending in "\r\n"; its answer is every complete line
//   the console sends before the prompt comes back. telnet option
//   negotiation (IAC ...), carriage returns, terminal escapes (ESC [ ...)
//   and other control characters are dropped; an echo of the command line
//   and lines that start with the prompt are not part of the answer.
//
// start-up, each step bounded:
//   connect                                   2000 ms
//   the prompt                                2000 ms
//   "test"                                    100 ms   (answer ignored: it
//                                                       clears the line)
//   "show version"                            5000 ms  (traced at info)
//   "log backend log_backend_uart disable"    5000 ms  (answer ignored)
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

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "pal/pal.h"
#include "pal/pal_trace.h"

namespace sdk {
namespace lib {

namespace {

constexpr const char* k_prompt = "talmira:";
constexpr int k_connect_wait_ms = 2000;
constexpr int k_prompt_wait_ms = 2000;
constexpr int k_send_wait_ms = 2000;
constexpr int k_command_wait_ms = 2000;
constexpr size_t k_line_max = 512;
constexpr size_t k_answer_max = 64 * 1024;
constexpr uint32_t k_rd32_words_max = 64;
constexpr uint32_t k_wr32_words_max = 16;
constexpr uint32_t k_rdmem_bytes_max = 256;
constexpr uint32_t k_wrmem_bytes_max = 128;

struct startup_command_s {
    const char* line;
    int wait_ms;
};
constexpr startup_command_s k_startup[] = {
    {"test", 100},
    {"show version", 5000},
    {"log backend log_backend_uart disable", 5000},
};

using clock_type = std::chrono::steady_clock;

// the stream decoder: telnet commands and terminal escapes out, text in
enum decode_state_e { DECODE_DATA, DECODE_IAC, DECODE_IAC_OPTION, DECODE_SB, DECODE_SB_IAC, DECODE_ESC, DECODE_CSI };
constexpr uint8_t k_iac = 255, k_se = 240, k_sb = 250, k_will = 251, k_dont = 254, k_esc = 0x1b;

struct telnet_console_s {
    std::mutex mutex;
    int fd = -1;
    decode_state_e state = DECODE_DATA;
    std::string partial;  // the line being received
};
telnet_console_s g_console;

enum answer_e { ANSWER_OK, ANSWER_LOST };

int remaining_ms(clock_type::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

void console_close_locked()
{
    if (g_console.fd >= 0) {
        close(g_console.fd);
    }
    g_console.fd = -1;
    g_console.state = DECODE_DATA;
    g_console.partial.clear();
}

// the session is out of step: no later answer could be trusted
void console_lost_locked(const char* why, const std::string& command)
{
    PAL_TRACE_ERR("Telnet console lost at \"%.64s\": %s", command.c_str(), why);
    console_close_locked();
}

bool console_send_locked(const std::string& line)
{
    std::string out = line + "\r\n";
    auto deadline = clock_type::now() + std::chrono::milliseconds(k_send_wait_ms);
    size_t done = 0;
    while (done < out.size()) {
        ssize_t n = send(g_console.fd, out.data() + done, out.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int left = remaining_ms(deadline);
            struct pollfd pfd = {g_console.fd, POLLOUT, 0};
            if (left == 0 || poll(&pfd, 1, left) == 0) {
                console_lost_locked("send timed out", line);
                return false;
            }
            continue;
        }
        console_lost_locked(strerror(errno), line);
        return false;
    }
    return true;
}

bool starts_with(const std::string& s, const char* prefix)
{
    return s.compare(0, strlen(prefix), prefix) == 0;
}

std::string trimmed(const std::string& s)
{
    size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos) {
        return "";
    }
    size_t e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

// one decoded text byte; true once the prompt is complete
bool console_take_locked(char c, const std::string& command, std::vector<std::string>& lines, size_t& total,
                         const char** fault)
{
    std::string& partial = g_console.partial;
    if (c == '\n') {
        std::string line = trimmed(partial);
        partial.clear();
        bool echo = lines.empty() && !command.empty() && line == command;
        if (!line.empty() && !echo && !starts_with(line, k_prompt)) {
            total += line.size();
            if (total > k_answer_max) {
                *fault = "answer too long";
                return false;
            }
            lines.push_back(line);
        }
        return false;
    }
    if (c == '\t') {
        c = ' ';
    }
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
        return false;
    }
    partial.push_back(c);
    if (partial.size() > k_line_max) {
        *fault = "line too long";
        return false;
    }
    return partial.size() == strlen(k_prompt) && partial == k_prompt;
}

// feeds received bytes through the decoder; true once the prompt is complete.
// bytes after the prompt are dropped: nothing may come before the next command
bool console_feed_locked(const uint8_t* p, size_t n, const std::string& command, std::vector<std::string>& lines,
                         size_t& total, const char** fault)
{
    bool prompt = false;
    for (size_t i = 0; i < n && !*fault; i++) {
        uint8_t b = p[i];
        switch (g_console.state) {
        case DECODE_DATA:
            if (b == k_iac) {
                g_console.state = DECODE_IAC;
            } else if (b == k_esc) {
                g_console.state = DECODE_ESC;
            } else if (!prompt) {
                prompt = console_take_locked(static_cast<char>(b), command, lines, total, fault);
            }
            break;
        case DECODE_IAC:
            if (b >= k_will && b <= k_dont) {
                g_console.state = DECODE_IAC_OPTION;
            } else if (b == k_sb) {
                g_console.state = DECODE_SB;
            } else {
                g_console.state = DECODE_DATA;  // an escaped 0xff or a bare command: neither is text
            }
            break;
        case DECODE_IAC_OPTION:
            g_console.state = DECODE_DATA;  // options are neither answered nor used
            break;
        case DECODE_SB:
            if (b == k_iac) {
                g_console.state = DECODE_SB_IAC;
            }
            break;
        case DECODE_SB_IAC:
            g_console.state = b == k_se ? DECODE_DATA : DECODE_SB;
            break;
        case DECODE_ESC:
            g_console.state = b == '[' ? DECODE_CSI : DECODE_DATA;
            break;
        case DECODE_CSI:
            if (b >= 0x40 && b <= 0x7e) {
                g_console.state = DECODE_DATA;
            }
            break;
        }
    }
    return prompt;
}

// waits for the prompt, collecting the answer's lines on the way
answer_e console_answer_locked(const std::string& command, int wait_ms, std::vector<std::string>& lines)
{
    auto deadline = clock_type::now() + std::chrono::milliseconds(wait_ms);
    size_t total = 0;
    uint8_t buf[4096];
    for (;;) {
        int left = remaining_ms(deadline);
        struct pollfd pfd = {g_console.fd, POLLIN, 0};
        int rc = left > 0 ? poll(&pfd, 1, left) : 0;
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc == 0) {
            char why[64];
            snprintf(why, sizeof(why), "no prompt within %d ms", wait_ms);
            console_lost_locked(why, command);
            return ANSWER_LOST;
        }
        if (rc < 0) {
            console_lost_locked(strerror(errno), command);
            return ANSWER_LOST;
        }
        ssize_t n = recv(g_console.fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        if (n <= 0) {
            console_lost_locked(n == 0 ? "connection closed by the console" : strerror(errno), command);
            return ANSWER_LOST;
        }
        const char* fault = nullptr;
        bool prompt = console_feed_locked(buf, static_cast<size_t>(n), command, lines, total, &fault);
        if (fault) {
            console_lost_locked(fault, command);
            return ANSWER_LOST;
        }
        if (prompt) {
            return ANSWER_OK;
        }
    }
}

// what came after the last prompt (the rest of a prompt sent in pieces, say)
// is no part of the next answer
void console_drain_locked()
{
    uint8_t buf[4096];
    std::vector<std::string> lines;
    size_t total = 0;
    for (;;) {
        ssize_t n = recv(g_console.fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n <= 0) {
            break;  // nothing waiting; a closed connection shows in the answer
        }
        const char* fault = nullptr;
        console_feed_locked(buf, static_cast<size_t>(n), "", lines, total, &fault);
        g_console.partial.clear();
        lines.clear();
        total = 0;
    }
    g_console.partial.clear();
}

// one command and its answer; a refusal fails the call, the session goes on
pal_ret_t console_command_locked(const std::string& command, int wait_ms, std::vector<std::string>& lines)
{
    lines.clear();
    if (g_console.fd < 0) {
        PAL_TRACE_ERR("Telnet console not connected, \"%s\" not sent", command.c_str());
        return PAL_RET_NOK;
    }
    console_drain_locked();
    if (!console_send_locked(command) || console_answer_locked(command, wait_ms, lines) != ANSWER_OK) {
        return PAL_RET_NOK;
    }
    for (const std::string& line : lines) {
        if (strncasecmp(line.c_str(), "error", 5) == 0) {
            PAL_TRACE_ERR("Telnet console refused \"%s\": %s", command.c_str(), line.c_str());
            return PAL_RET_NOK;
        }
    }
    return PAL_RET_OK;
}

pal_ret_t garbage(const std::string& command, const std::vector<std::string>& lines)
{
    PAL_TRACE_ERR("Telnet console answer to \"%s\" not understood: \"%.80s\"", command.c_str(),
                  lines.empty() ? "" : lines.front().c_str());
    return PAL_RET_NOK;
}

// a command whose answer must be empty
pal_ret_t console_write_locked(const std::string& command)
{
    std::vector<std::string> lines;
    pal_ret_t rc = console_command_locked(command, k_command_wait_ms, lines);
    if (rc == PAL_RET_OK && !lines.empty()) {
        return garbage(command, lines);
    }
    return rc;
}

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
    std::lock_guard<std::mutex> lock(g_console.mutex);
    std::vector<std::string> lines;
    for (uint32_t done = 0; done < num_words;) {
        uint32_t n = std::min(num_words - done, k_rd32_words_max);
        std::string command = "rd32 " + hex_addr(addr + 4ull * done) + " " + std::to_string(n);
        if (console_command_locked(command, k_command_wait_ms, lines) != PAL_RET_OK) {
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
                        return garbage(command, lines);
                    }
                    data[done + got++] = static_cast<uint32_t>(v);
                }
                pos = end + 1;
            }
        }
        if (got != n) {
            return garbage(command, lines);
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
    std::lock_guard<std::mutex> lock(g_console.mutex);
    for (uint32_t done = 0; done < num_words;) {
        uint32_t n = std::min(num_words - done, k_wr32_words_max);
        std::string command = "wr32 " + hex_addr(addr + 4ull * done);
        for (uint32_t i = 0; i < n; i++) {
            command += " " + hex_addr(data[done + i]);
        }
        if (console_write_locked(command) != PAL_RET_OK) {
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
    std::lock_guard<std::mutex> lock(g_console.mutex);
    std::vector<std::string> lines;
    for (uint32_t done = 0; done < size;) {
        uint32_t n = std::min(size - done, k_rdmem_bytes_max);
        std::string command = "rdmem " + hex_addr(addr + done) + " " + std::to_string(n);
        if (console_command_locked(command, k_command_wait_ms, lines) != PAL_RET_OK) {
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
                    return garbage(command, lines);
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
            return garbage(command, lines);
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
    std::lock_guard<std::mutex> lock(g_console.mutex);
    for (uint32_t done = 0; done < size;) {
        uint32_t n = std::min(size - done, k_wrmem_bytes_max);
        std::string command = "wrmem " + hex_addr(addr + done) + " ";
        for (uint32_t i = 0; i < n; i++) {
            command.push_back(digits[data[done + i] >> 4]);
            command.push_back(digits[data[done + i] & 0xf]);
        }
        if (console_write_locked(command) != PAL_RET_OK) {
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
    std::lock_guard<std::mutex> lock(g_console.mutex);
    return console_write_locked("fill " + hex_addr(addr) + " " + hex_addr(value) + " " + std::to_string(size));
}

pal_ret_t telnet_ring(const char* word, uint64_t addr, uint64_t value)
{
    std::lock_guard<std::mutex> lock(g_console.mutex);
    return console_write_locked(std::string(word) + " " + hex_addr(addr) + " " + hex_addr(value));
}
pal_ret_t telnet_ring_db16(uint64_t addr, uint16_t data) { return telnet_ring("wr16", addr, data); }
pal_ret_t telnet_ring_db32(uint64_t addr, uint32_t data) { return telnet_ring("wr32", addr, data); }
pal_ret_t telnet_ring_db64(uint64_t addr, uint64_t data) { return telnet_ring("wr64", addr, data); }

bool parse_port(const char* text, char* out, size_t out_size)
{
    size_t len = strlen(text);
    if (len == 0 || len > 5 || strspn(text, "0123456789") != len) {
        return false;
    }
    long port = strtol(text, nullptr, 10);
    if (port < 1 || port > 65535) {
        return false;
    }
    snprintf(out, out_size, "%ld", port);
    return true;
}

// a non-blocking stream socket connected within the bound, or -1
int console_connect(const char* ipaddr, const char* port_text)
{
    char port[8];
    if (!parse_port(port_text, port, sizeof(port))) {
        PAL_TRACE_ERR("Telnet port \"%.32s\" is not a port number (1..65535)", port_text);
        return -1;
    }
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    struct addrinfo* found = nullptr;
    if (getaddrinfo(ipaddr, port, &hints, &found) != 0 || !found) {
        PAL_TRACE_ERR("Telnet address \"%.64s\" is not an IP address", ipaddr);
        return -1;
    }
    int fd = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        PAL_TRACE_ERR("Telnet socket: %s", strerror(errno));
        freeaddrinfo(found);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));  // one short command at a time
    int rc = connect(fd, found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
    if (rc < 0 && errno == EINPROGRESS) {
        auto deadline = clock_type::now() + std::chrono::milliseconds(k_connect_wait_ms);
        struct pollfd pfd = {fd, POLLOUT, 0};
        int left;
        do {
            left = remaining_ms(deadline);
            rc = left > 0 ? poll(&pfd, 1, left) : 0;
        } while (rc < 0 && errno == EINTR);
        int err = 0;
        socklen_t err_len = sizeof(err);
        if (rc == 0) {
            err = ETIMEDOUT;
        } else if (rc < 0) {
            err = errno;
        } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &err_len) != 0) {
            err = errno;
        }
        rc = err ? -1 : 0;
        errno = err;
    }
    if (rc < 0) {
        PAL_TRACE_ERR("Telnet connect to %.64s port %s: %s", ipaddr, port, strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

pal_ret_t console_start_locked(const char* ipaddr, const char* port)
{
    console_close_locked();
    g_console.fd = console_connect(ipaddr, port);
    if (g_console.fd < 0) {
        return PAL_RET_NOK;
    }
    std::vector<std::string> lines;
    if (console_answer_locked("(greeting)", k_prompt_wait_ms, lines) != ANSWER_OK) {
        return PAL_RET_NOK;
    }
    for (const startup_command_s& step : k_startup) {
        // a refusal of these is no reason to give up; only a lost console is
        console_command_locked(step.line, step.wait_ms, lines);
        if (g_console.fd < 0) {
            return PAL_RET_NOK;
        }
        if (strcmp(step.line, "show version") == 0) {
            for (const std::string& line : lines) {
                PAL_TRACE_INFO("Telnet console version: %s", line.c_str());
            }
        }
    }
    return PAL_RET_OK;
}

}  // namespace

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
        std::lock_guard<std::mutex> lock(g_console.mutex);
        rc = console_start_locked(ipaddr, port);
    }
    if (rc != PAL_RET_OK) {
        PAL_TRACE_ERR("Telnet connection failed");
        return rc;
    }
    // the rest (translation, transceivers, board) stays the default variant's
    p.reg_read = telnet_reg_read;
    p.reg_write = telnet_reg_write;
    p.mem_read = telnet_mem_read;
    p.mem_write = telnet_mem_write;
    p.mem_set = telnet_mem_set;
    p.ring_db16 = telnet_ring_db16;
    p.ring_db32 = telnet_ring_db32;
    p.ring_db64 = telnet_ring_db64;
    return PAL_RET_OK;
}

pal_ret_t pal_telnet_teardown()
{
    std::lock_guard<std::mutex> lock(g_console.mutex);
    console_close_locked();
    return PAL_RET_OK;
}

}  // namespace lib
}  // namespace sdk
