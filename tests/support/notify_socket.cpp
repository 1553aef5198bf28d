// the notification socket tests hand the daemon, and what it recorded

#include "tests/support/notify_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "tests/support/process_runner.h"

test_notify_socket::test_notify_socket(std::function<void(const std::string&)> on_message)
    : on_message_(std::move(on_message))
{
    static std::atomic<int> sockets{0};
    const std::string name = "orlix-notify-" + std::to_string(getpid()) + "-" + std::to_string(sockets++);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, name.data(), name.size());
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&addr),
                         static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())) != 0) {
        close(fd_);
        fd_ = -1;
    }
    address_ = "@" + name;
    reader_ = std::thread([this] {
        char buf[4096];
        while (!stop_ && fd_ >= 0) {
            pollfd p = {fd_, POLLIN, 0};
            ssize_t n = poll(&p, 1, 50) > 0 ? recv(fd_, buf, sizeof(buf), 0) : 0;
            if (n > 0) {
                std::string text(buf, static_cast<size_t>(n));
                if (on_message_) {
                    on_message_(text);
                }
                std::lock_guard<std::mutex> lock(mutex_);
                messages_.push_back({std::chrono::steady_clock::now(), text});
            }
        }
    });
}

test_notify_socket::~test_notify_socket()
{
    stop_ = true;
    reader_.join();
    if (fd_ >= 0) {
        close(fd_);
    }
}

std::vector<test_notify_socket::message_s> test_notify_socket::messages() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

size_t test_notify_socket::count(const std::string& what) const
{
    auto all = messages();
    return std::count_if(all.begin(), all.end(), [&](const message_s& m) { return m.text.find(what) != std::string::npos; });
}

bool test_notify_socket::wait_for(const std::string& what, std::chrono::milliseconds timeout) const
{
    return test_wait_until([&] { return count(what) > 0; }, timeout);
}

std::pair<double, size_t> test_notify_socket::gap(const std::string& what) const
{
    double worst = 0;
    size_t n = 0;
    std::chrono::steady_clock::time_point last{};
    for (const auto& m : messages()) {
        if (m.text.find(what) == std::string::npos) {
            continue;
        }
        if (n++ > 0) {
            worst = std::max(worst, std::chrono::duration<double>(m.at - last).count());
        }
        last = m.at;
    }
    return {worst, n};
}
