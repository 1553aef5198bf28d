#pragma once

// what the platform layer's tests share: the variables a test sets put back
// after it, the layer's messages recorded, a thread of its own for every
// binding, an emulated host, and a card's windows seen from the card's side

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emulator/cardsim_host.h"
#include "ipc/le_bytes.h"
#include "log/module_trace.h"
#include "pal/pal_hw_x86.h"
#include "tests/support/console_standin.h"
#include "tests/support/process_runner.h"

// the variables that choose a variant, a binding or a channel: cleared for a
// test, put back after it
class pal_test_env {
public:
    pal_test_env()
    {
        for (const char* name : k_names) {
            const char* v = getenv(name);
            saved_.emplace_back(v != nullptr, v ? v : "");
            unsetenv(name);
        }
    }
    ~pal_test_env()
    {
        for (size_t i = 0; i < saved_.size(); i++) {
            if (saved_[i].first) {
                setenv(k_names[i], saved_[i].second.c_str(), 1);
            } else {
                unsetenv(k_names[i]);
            }
        }
    }

private:
    static constexpr const char* k_names[] = {"PAL_CARD_UUID", "PAL_RESDEV_BDF",   "PAL_J2C_PORT",    "JTAG_LIB_PATH",
                                              "SUB_ASIC",      "JTAG_STANDIN_RSC", "PAL_TELNET_PORT", "PAL_TELNET_IPADDR",
                                              "BLD_VERSION",   "VMB_BDF"};
    std::vector<std::pair<bool, std::string>> saved_;
};

// the layer's messages while one lives, each as "module/level text"
class pal_test_log {
public:
    pal_test_log()
    {
        clear();
        logger_init(record);
        logger_register_module_id(1);
    }
    ~pal_test_log() { logger_init(nullptr); }
    bool has(const std::string& text) const
    {
        std::lock_guard<std::mutex> lock(seen().mutex);
        return std::any_of(seen().lines.begin(), seen().lines.end(),
                           [&](const std::string& line) { return test_has(line, text); });
    }
    std::vector<std::string> lines() const
    {
        std::lock_guard<std::mutex> lock(seen().mutex);
        return seen().lines;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(seen().mutex);
        seen().lines.clear();
    }

private:
    struct seen_s {
        std::mutex mutex;
        std::vector<std::string> lines;
    };
    static seen_s& seen()
    {
        static seen_s s;
        return s;
    }
    static int record(uint32_t module, uint32_t level, const char* format, ...)
    {
        char text[2 * k_logger_msg_max];  // wider than the layer's lines, to see where it cuts them
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof(text), format, args);
        va_end(args);
        std::lock_guard<std::mutex> lock(seen().mutex);
        seen().lines.push_back(std::to_string(module) + "/" + std::to_string(level) + " " + text);
        return 0;
    }
};

// the card binding and the IPC channel are per thread and never released:
// every check that binds runs on a thread of its own, so that no binding
// outlives its emulated host
inline void pal_on_thread(const std::function<void()>& body)
{
    std::thread(body).join();
}

// an emulated host of some cards; checks bound to one card run on a thread
// of their own
class pal_host_test : public ::testing::Test {
protected:
    void start(size_t cards)
    {
        host_ = std::make_unique<cardsim_host>(cardsim_host_options_s{cards, {}, 0});
        ASSERT_TRUE(host_->ok()) << host_->error();
    }
    const std::string& card_bdf(size_t i) const { return host_->card(i).card_bdf; }
    void on_card(const std::function<void()>& body, size_t i = 0)
    {
        pal_on_thread([&] {
            ASSERT_EQ(pal_hw_x86_init(card_bdf(i).c_str()), 0);
            body();
        });
    }

    pal_test_env env_;
    std::unique_ptr<cardsim_host> host_;
};

// a stand-in console in front of a card's windows, the variables leading to it set
inline std::unique_ptr<console_standin> pal_console_for(const cardsim_host& host, console_standin_faults_s faults = {})
{
    const std::string rsc = host.sysfs_dir(host.card(0).rsc_bdf);
    auto console = std::make_unique<console_standin>(
        std::vector<console_standin_window_s>{{rsc + "/resource0", CARDSIM_REG_BASE}, {rsc + "/resource2", CARDSIM_MEM_BASE}},
        faults);
    setenv("PAL_TELNET_IPADDR", "127.0.0.1", 1);
    setenv("PAL_TELNET_PORT", std::to_string(console->port()).c_str(), 1);
    return console;
}

// a resource window of a card as the card itself sees it: the testbed's file
// mapped directly, not through the platform layer (the stand-in jtag library
// reaches the card this way too)
class card_window {
public:
    card_window(const cardsim_host& host, size_t card, const char* name)
        : card_window(host.sysfs_dir(host.card(card).rsc_bdf) + "/" + name)
    {
    }
    explicit card_window(const std::string& path)
    {
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        struct stat st;
        void* va = fd >= 0 && fstat(fd, &st) == 0 && st.st_size > 0
                       ? mmap(nullptr, st.st_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                       : MAP_FAILED;
        if (va != MAP_FAILED) {
            p_ = static_cast<uint8_t*>(va);
            size_ = static_cast<size_t>(st.st_size);
        }
        if (fd >= 0) {
            close(fd);
        }
    }
    ~card_window()
    {
        if (p_) {
            munmap(p_, size_);
        }
    }
    card_window(const card_window&) = delete;
    card_window& operator=(const card_window&) = delete;

    bool ok() const { return p_ != nullptr; }
    size_t size() const { return size_; }
    uint8_t* at(uint64_t offset) { return p_ + offset; }
    template <typename T>
    T get(uint64_t offset) const
    {
        return le_at<T>(p_, size_, offset);
    }
    template <typename T>
    void put(uint64_t offset, T v)
    {
        le_put(p_, size_, offset, v);
    }
    std::vector<uint8_t> snapshot() const { return std::vector<uint8_t>(p_, p_ + size_); }

private:
    uint8_t* p_ = nullptr;
    size_t size_ = 0;
};
