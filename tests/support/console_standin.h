#pragma once

// a stand-in for a card's console, for the telnet platform variant's tests

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// a stand-in for a card's console, for the platform layer's telnet variant:
// a tcp server on 127.0.0.1 (an ephemeral port) in a thread of the test. it
// speaks the console protocol of pal/pal_telnet.cpp over files mapped as the
// card's windows (an emulated card's resource0 and resource2, say), one
// connection at a time, and can be told to misbehave.
//
//   console_standin console({{regs_path, CARDSIM_REG_BASE}, {mem_path, CARDSIM_MEM_BASE}});
//   setenv("PAL_TELNET_PORT", std::to_string(console.port()).c_str(), 1);

struct console_standin_window_s {
    std::string path;  // a file mapped shared, read-write, its whole length
    uint64_t base;     // the card address of its first byte
};

enum class console_garbage_e {
    none,
    text,      // a line of words that are not hex
    error,     // "error: injected fault"
    overlong,  // a 4096-character line
};

struct console_standin_faults_s {
    bool no_prompt = false;  // a banner, then nothing
    // wait this long before answering a command that starts with delay_on
    // ("" for every command)
    uint32_t delay_ms = 0;
    std::string delay_on;
    // close the connection when command number drop_after + 1 arrives
    // (unanswered); -1 never
    int drop_after = -1;
    // commands that start with garbage_on get a broken answer
    console_garbage_e garbage = console_garbage_e::none;
    std::string garbage_on;
    // behave like an interactive shell: telnet option offers at the start,
    // the command line echoed back, a prompt sent in two pieces
    bool shell_like = false;
};

class console_standin {
public:
    explicit console_standin(const std::vector<console_standin_window_s>& windows,
                             const console_standin_faults_s& faults = {});
    ~console_standin();
    console_standin(const console_standin&) = delete;
    console_standin& operator=(const console_standin&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    uint16_t port() const { return port_; }

    // for the next connection on
    void set_faults(const console_standin_faults_s& faults);
    // every command line received, in order, over all connections
    std::vector<std::string> commands() const;
    // connections accepted so far, and whether one is open now
    size_t connections() const { return connections_; }
    bool connected() const { return connected_; }

private:
    struct window_s {
        uint8_t* p = nullptr;
        size_t size = 0;
        uint64_t base = 0;
    };
    void serve_();
    void session_(int fd);
    bool wait_readable_(int fd, int timeout_ms);
    std::string answer_(const std::string& command);
    uint8_t* at_(uint64_t addr, uint64_t len);

    std::vector<window_s> windows_;
    std::string error_;
    uint16_t port_ = 0;
    int listen_fd_ = -1;
    int wake_fd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> connections_{0};
    std::atomic<bool> connected_{false};
    mutable std::mutex mutex_;
    console_standin_faults_s faults_;
    std::vector<std::string> commands_;
    std::thread thread_;
};
