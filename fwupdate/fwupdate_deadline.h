#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

// a bound on one update: a watcher thread raises the abort flag when the time
// is up, and the remote flash client, which reads that flag between chunks
// and polls, gives up with 39. while it lives, the flag is also this thread's
// (fwupdate_tls().abort), so that polls made without an install context
// (the startup image checks) end at the same deadline.
class fwupdate_deadline {
public:
    explicit fwupdate_deadline(uint32_t seconds);  // 0: no bound
    ~fwupdate_deadline();
    fwupdate_deadline(const fwupdate_deadline&) = delete;
    fwupdate_deadline& operator=(const fwupdate_deadline&) = delete;

    const bool& abort() const { return fired_; }
    bool expired() const { return __atomic_load_n(&fired_, __ATOMIC_RELAXED); }
    // "Firmware update timed out after N seconds in STEP" at level 1 (what:
    // the operation's name), when it expired; true then
    bool report(const std::string& step, const char* what = "Firmware update") const;

private:
    uint32_t seconds_;
    bool fired_ = false;
    const bool* outer_ = nullptr;  // the thread's flag before this one
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread watcher_;
};
