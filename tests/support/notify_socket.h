#pragma once

// the service manager's end of NOTIFY_SOCKET for tests of the daemon: an
// abstract unix datagram socket (nothing on the file system for the umockdev
// preload to redirect) whose messages a thread records with the time each came

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class test_notify_socket {
public:
    struct message_s {
        std::chrono::steady_clock::time_point at;
        std::string text;
    };
    // on_message runs in the reader thread as each message comes, before it is recorded
    explicit test_notify_socket(std::function<void(const std::string&)> on_message = {});
    ~test_notify_socket();
    test_notify_socket(const test_notify_socket&) = delete;
    test_notify_socket& operator=(const test_notify_socket&) = delete;

    bool ok() const { return fd_ >= 0; }
    const std::string& address() const { return address_; }  // the value for NOTIFY_SOCKET
    std::vector<message_s> messages() const;
    size_t count(const std::string& what) const;  // messages that hold what
    bool wait_for(const std::string& what, std::chrono::milliseconds timeout) const;
    // the longest wait in seconds between two messages that hold what, and how many came
    std::pair<double, size_t> gap(const std::string& what) const;

private:
    int fd_ = -1;
    std::string address_;
    std::function<void(const std::string&)> on_message_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<message_s> messages_;
    std::thread reader_;
};
