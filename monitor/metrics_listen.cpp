// the metrics.listen address forms: parsed, checked and opened as a listening socket

#include "monitor/metrics_listen.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// room for many scrapers connecting at once; the kernel caps it at somaxconn
constexpr int k_backlog = 1024;

bool parse_port(const std::string& port, uint16_t& out, std::string& error)
{
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    unsigned long number = strtoul(port.c_str(), nullptr, 10);
    if (number < 1 || number > 65535) {
        error = "metrics.listen: port must be 1 to 65535, got " + port;
        return false;
    }
    out = static_cast<uint16_t>(number);
    return true;
}

void set_v4(orlixmon_metrics_listen_s& out, in_addr address, uint16_t port)
{
    auto* sin = reinterpret_cast<sockaddr_in*>(&out.addr);
    sin->sin_family = AF_INET;
    sin->sin_addr = address;
    sin->sin_port = htons(port);
    out.len = sizeof(sockaddr_in);
}

void set_v6(orlixmon_metrics_listen_s& out, const in6_addr& address, uint16_t port)
{
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&out.addr);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_addr = address;
    sin6->sin6_port = htons(port);
    out.len = sizeof(sockaddr_in6);
}

int bound_socket(const orlixmon_metrics_listen_s& listen, int& err)
{
    int fd = socket(listen.addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        err = errno;
        return -1;
    }
    int on = 1, off = 0;
    // a restart binds again while the last run's connections linger
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (listen.any && listen.addr.ss_family == AF_INET6) {
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));  // IPv4 too
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&listen.addr), listen.len) != 0 || ::listen(fd, k_backlog) != 0) {
        err = errno;
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

bool orlixmon_metrics_listen_parse(const std::string& text, orlixmon_metrics_listen_s& out, std::string& error)
{
    out = orlixmon_metrics_listen_s{};
    error = "metrics.listen must be ADDRESS:PORT (an IPv4 address, a bracketed IPv6 one or localhost) or :PORT "
            "for every address, got \"" + text + "\"";
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    std::string host = text.substr(0, colon);
    uint16_t port = 0;
    if (!parse_port(text.substr(colon + 1), port, error)) {
        return false;
    }
    in_addr v4{};
    in6_addr v6{};
    if (host.empty()) {
        out.any = true;
        set_v6(out, in6addr_any, port);
    } else if (host == "localhost") {
        v4.s_addr = htonl(INADDR_LOOPBACK);
        set_v4(out, v4, port);
    } else if (host.front() == '[' && host.back() == ']' && host.size() > 2 &&
               inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &v6) == 1) {
        set_v6(out, v6, port);
    } else if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        set_v4(out, v4, port);
    } else {
        return false;
    }
    error.clear();
    return true;
}

bool orlixmon_metrics_listen_valid(const std::string& text, std::string& error)
{
    orlixmon_metrics_listen_s listen;
    return orlixmon_metrics_listen_parse(text, listen, error);
}

int orlixmon_metrics_listen_open(const orlixmon_metrics_listen_s& listen, const std::string& text, std::string& error)
{
    int err = 0;
    int fd = bound_socket(listen, err);
    if (fd < 0 && listen.any && (err == EAFNOSUPPORT || err == EADDRNOTAVAIL)) {
        // a host without IPv6: every IPv4 address
        orlixmon_metrics_listen_s v4 = listen;
        v4.addr = {};
        in_addr any{};
        any.s_addr = htonl(INADDR_ANY);
        set_v4(v4, any, ntohs(reinterpret_cast<const sockaddr_in6*>(&listen.addr)->sin6_port));
        fd = bound_socket(v4, err);
    }
    if (fd < 0) {
        error = "cannot listen on " + text + " for metrics: " + strerror(err);
    }
    return fd;
}
