// loopback http for the metrics tests: a free port, a whole GET, half requests

#include "tests/support/http_client.h"

#include "tests/support/process_runner.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace {

sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// a socket connected to 127.0.0.1:port from from; -1 when that failed
int connected(int port, const char* from)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in a = loopback(port);
    sockaddr_in source = loopback(0);
    if ((from != nullptr && (inet_pton(AF_INET, from, &source.sin_addr) != 1 ||
                             bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof(source)) != 0)) ||
        connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int test_free_tcp_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof(a);
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
        port = ntohs(a.sin_port);
    }
    close(fd);
    return port;
}

std::string test_http_get(int port, const std::string& path, const char* from)
{
    int fd = connected(port, from);
    if (fd < 0) {
        return "";
    }
    // a server that stops answering ends the read, not the test
    timeval bound{10 * test_timeout_scale(), 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof(bound));
    std::string out;
    std::string req = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (write(fd, req.data(), req.size()) == static_cast<ssize_t>(req.size())) {
        char buf[8192];
        for (ssize_t n; (n = read(fd, buf, sizeof(buf))) > 0;) {
            out.append(buf, static_cast<size_t>(n));
        }
    }
    close(fd);
    return out;
}

int test_http_half_request(int port, const char* from)
{
    int fd = connected(port, from);
    const std::string half = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (fd >= 0 && write(fd, half.data(), half.size()) != static_cast<ssize_t>(half.size())) {
        close(fd);
        return -1;
    }
    return fd;
}

bool test_http_closed(int fd)
{
    char c;
    ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}
