// the console stand-in: a tcp server thread speaking the card console protocol
// over mapped files

#include "tests/support/console_standin.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

#include "ipc/le_bytes.h"

namespace {

constexpr const char* k_prompt = "talmira:~$ ";
constexpr size_t k_line_max = 8192;

bool send_all(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// a whole token as a number (0x for hex), no more than max
bool parse_number(const std::string& token, uint64_t max, uint64_t& value)
{
    if (token.empty() || token[0] == '-' || token[0] == '+') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(token.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > max) {
        return false;
    }
    value = v;
    return true;
}

std::string hex_line(const uint8_t* p, size_t n)
{
    std::string out;
    for (size_t i = 0; i < n; i++) {
        out += "0123456789abcdef"[p[i] >> 4];
        out += "0123456789abcdef"[p[i] & 0xf];
    }
    return out;
}

}  // namespace

console_standin::console_standin(const std::vector<console_standin_window_s>& windows,
                                 const console_standin_faults_s& faults)
    : faults_(faults)
{
    for (const console_standin_window_s& w : windows) {
        int fd = open(w.path.c_str(), O_RDWR | O_CLOEXEC);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0 || st.st_size <= 0) {
            error_ = "cannot open " + w.path;
            if (fd >= 0) {
                close(fd);
            }
            return;
        }
        void* va = mmap(nullptr, st.st_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        if (va == MAP_FAILED) {
            error_ = "cannot map " + w.path;
            return;
        }
        windows_.push_back({static_cast<uint8_t*>(va), static_cast<size_t>(st.st_size), w.base});
    }
    wake_fd_ = eventfd(0, EFD_CLOEXEC);
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof(addr);
    if (wake_fd_ < 0 || listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(listen_fd_, 4) != 0 || getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        error_ = std::string("cannot listen on 127.0.0.1: ") + strerror(errno);
        return;
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve_(); });
}

console_standin::~console_standin()
{
    stop_ = true;
    if (wake_fd_ >= 0) {
        uint64_t one = 1;
        ssize_t ignored = write(wake_fd_, &one, sizeof(one));
        (void)ignored;
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    if (listen_fd_ >= 0) {
        close(listen_fd_);
    }
    if (wake_fd_ >= 0) {
        close(wake_fd_);
    }
    for (window_s& w : windows_) {
        munmap(w.p, w.size);
    }
}

void console_standin::set_faults(const console_standin_faults_s& faults)
{
    std::lock_guard<std::mutex> lock(mutex_);
    faults_ = faults;
}

std::vector<std::string> console_standin::commands() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

// false when the stand-in is stopping (or poll fails); true when fd is
// readable, or, without fd, when the timeout passed
bool console_standin::wait_readable_(int fd, int timeout_ms)
{
    struct pollfd pfds[2] = {{wake_fd_, POLLIN, 0}, {fd, POLLIN, 0}};
    int n = fd >= 0 ? 2 : 1;
    for (;;) {
        int rc = poll(pfds, n, timeout_ms);
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc < 0 || stop_ || (pfds[0].revents & POLLIN)) {
            return false;
        }
        return rc > 0 || fd < 0;
    }
}

void console_standin::serve_()
{
    while (!stop_) {
        if (!wait_readable_(listen_fd_, -1)) {
            return;
        }
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        connections_++;
        connected_ = true;
        session_(fd);
        close(fd);
        connected_ = false;
    }
}

void console_standin::session_(int fd)
{
    console_standin_faults_s faults;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        faults = faults_;
    }
    if (faults.shell_like) {
        const char offers[] = {'\xff', '\xfb', '\x01', '\xff', '\xfb', '\x03'};  // will echo, will sga
        send_all(fd, std::string(offers, sizeof(offers)));
    }
    const std::string prompt = faults.shell_like ? std::string("\x1b[1;32m") + k_prompt + "\x1b[m" : k_prompt;
    if (!send_all(fd, "ORLIX talmira console stand-in\r\n\r\n") || (!faults.no_prompt && !send_all(fd, prompt))) {
        return;
    }
    std::string line;
    int received = 0;
    char buf[4096];
    for (;;) {
        if (!wait_readable_(fd, -1)) {
            return;
        }
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        for (ssize_t i = 0; i < n; i++) {
            char c = buf[i];
            if (c == '\r') {
                continue;
            }
            if (c != '\n') {
                line.push_back(c);
                if (line.size() > k_line_max) {
                    return;
                }
                continue;
            }
            std::string command = line;
            line.clear();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                commands_.push_back(command);
            }
            if (faults.drop_after >= 0 && ++received > faults.drop_after) {
                return;
            }
            if (faults.no_prompt) {
                continue;
            }
            if (faults.delay_ms && command.rfind(faults.delay_on, 0) == 0 &&
                !wait_readable_(-1, static_cast<int>(faults.delay_ms))) {
                return;  // stopping
            }
            // the broken answers, by console_garbage_e
            const std::string garbage[] = {"", "%%% zork frobnicate ###\r\n", "error: injected fault\r\n",
                                           std::string(4096, 'a') + "\r\n"};
            std::string answer = faults.garbage != console_garbage_e::none && command.rfind(faults.garbage_on, 0) == 0
                                     ? garbage[static_cast<int>(faults.garbage)]
                                     : answer_(command);
            if (faults.shell_like) {
                answer = command + "\r\n" + answer;
            }
            if (!send_all(fd, answer + prompt)) {
                return;
            }
        }
    }
}

uint8_t* console_standin::at_(uint64_t addr, uint64_t len)
{
    for (window_s& w : windows_) {
        if (addr >= w.base && addr - w.base <= w.size && len <= w.size - (addr - w.base)) {
            return w.p + (addr - w.base);
        }
    }
    return nullptr;
}

// the protocol of pal/pal_telnet.cpp; every answer line ends in "\r\n"
std::string console_standin::answer_(const std::string& command)
{
    std::istringstream in(command);
    std::vector<std::string> words;
    for (std::string w; in >> w;) {
        words.push_back(w);
    }
    // the commands of the console's opening
    static const std::map<std::string, std::string> fixed = {{"test", "test: command not found\r\n"},
                                                             {"show version", "talmira console stand-in 1.0\r\n"},
                                                             {"log backend log_backend_uart disable", ""}};
    if (fixed.count(command)) {
        return fixed.at(command);
    }
    const std::string out_of_range = "error: address out of range\r\n";
    const std::string bad = "error: bad arguments\r\n";
    uint64_t addr = 0;
    if (words.size() < 2 || !parse_number(words[1], UINT64_MAX, addr)) {
        return words.empty() ? "" : "error: unknown command\r\n";
    }
    const std::string& op = words[0];
    // the card bytes [addr, addr + len), or the error line when they lie
    // outside every window (p is null then)
    uint8_t* p = nullptr;
    auto window = [&](uint64_t len) {
        p = at_(addr, len);
        return p ? "" : out_of_range;
    };
    uint64_t n = 0, value = 0;
    if (op == "rd32" && words.size() == 3) {
        if (!parse_number(words[2], 64, n) || n == 0 || addr % 4) {
            return bad;
        }
        std::string out = window(4 * n);
        for (uint64_t i = 0; p && i < n; i++) {
            char word[16];
            snprintf(word, sizeof(word), "0x%08x", le_at<uint32_t>(p, 4 * n, 4 * i));
            out += word;
            out += (i % 8 == 7 || i + 1 == n) ? "\r\n" : " ";
        }
        return out;
    }
    if ((op == "wr32" && words.size() >= 3 && words.size() <= 18) ||
        ((op == "wr16" || op == "wr64") && words.size() == 3)) {
        size_t width = op == "wr16" ? 2 : op == "wr32" ? 4 : 8;
        std::vector<uint8_t> bytes(width * (words.size() - 2));
        if (addr % width) {
            return bad;
        }
        if (!window(bytes.size()).empty()) {
            return out_of_range;
        }
        for (size_t i = 0; i < bytes.size() / width; i++) {
            if (!parse_number(words[2 + i], width == 8 ? UINT64_MAX : (1ull << (8 * width)) - 1, value)) {
                return bad;
            }
            le_put(bytes.data(), bytes.size(), width * i, width, value);
        }
        memcpy(p, bytes.data(), bytes.size());
        return "";
    }
    if (op == "rdmem" && words.size() == 3) {
        if (!parse_number(words[2], 256, n) || n == 0) {
            return bad;
        }
        std::string out = window(n);
        for (uint64_t i = 0; p && i < n; i += 32) {
            out += hex_line(p + i, std::min<uint64_t>(32, n - i)) + "\r\n";
        }
        return out;
    }
    if (op == "wrmem" && words.size() == 3) {
        // whole pairs of hex digits ("0x" before a pair lets no sign or space in)
        const std::string& hex = words[2];
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i < hex.size(); i += 2) {
            if (hex.size() % 2 || hex.size() > 256 || !parse_number("0x" + hex.substr(i, 2), 0xff, value)) {
                return bad;
            }
            bytes.push_back(static_cast<uint8_t>(value));
        }
        if (window(bytes.size()).empty()) {
            memcpy(p, bytes.data(), bytes.size());
        }
        return p ? "" : out_of_range;
    }
    if (op == "fill" && words.size() == 4) {
        if (!parse_number(words[2], 0xff, value) || !parse_number(words[3], UINT32_MAX, n)) {
            return bad;
        }
        if (window(n).empty()) {
            memset(p, static_cast<int>(value), n);
        }
        return p ? "" : out_of_range;
    }
    return "error: unknown command\r\n";
}
