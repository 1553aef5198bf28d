// the telnet variant's console session: reaching the card's console by tcp,
// reading its answers and keeping the session in step. the commands
// themselves are pal_telnet.cpp's.
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
// no answer within its wait, the peer closing, a line over 512 characters,
// an answer over 64 KiB or a failed send put the session out of step: it is
// closed, and every later command fails at once until a new start.

#include "pal/pal_telnet_console.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <strings.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

std::mutex& telnet_console_mutex()
{
    return g_console.mutex;
}

pal_ret_t telnet_console_start_locked(const char* ipaddr, const char* port)
{
    return console_start_locked(ipaddr, port);
}

void telnet_console_close_locked()
{
    console_close_locked();
}

pal_ret_t telnet_console_command_locked(const std::string& command, std::vector<std::string>& lines)
{
    return console_command_locked(command, k_command_wait_ms, lines);
}

pal_ret_t telnet_console_write_locked(const std::string& command)
{
    return console_write_locked(command);
}

pal_ret_t telnet_console_garbage(const std::string& command, const std::vector<std::string>& lines)
{
    return garbage(command, lines);
}

}  // namespace lib
}  // namespace sdk
