// the service manager's notification protocol: ready, stopping, watchdog

#include "monitor/service_notify.h"

#include <systemd/sd-daemon.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace {

std::atomic<bool> g_ready_sent{false};

// the ping interval in nanoseconds, 0 without a watchdog; read once
int64_t watchdog_interval_ns()
{
    static const int64_t interval = [] {
        uint64_t usec = 0;
        // > 0 only when WATCHDOG_USEC is set and WATCHDOG_PID, if set, is ours
        if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) {
            return int64_t{0};
        }
        return static_cast<int64_t>(usec / 2) * 1000;
    }();
    return interval;
}

int64_t monotonic_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

void service_notify_ready()
{
    if (!g_ready_sent.exchange(true)) {
        (void)sd_notify(0, "READY=1\nSTATUS=Monitoring the cards");
    }
}

int64_t service_notify_watchdog()
{
    const int64_t interval = watchdog_interval_ns();
    if (interval == 0) {
        return -1;
    }
    // the first keep-alive goes out at the first call
    static std::mutex lock;
    static int64_t last = 0;
    static bool sent = false;
    std::lock_guard<std::mutex> guard(lock);
    const int64_t now = monotonic_ns();
    if (sent && now - last < interval) {
        return last + interval - now;
    }
    last = now;
    sent = true;
    (void)sd_notify(0, "WATCHDOG=1");
    return interval;
}

void service_notify_stopping()
{
    (void)sd_notify(0, "STOPPING=1\nSTATUS=Shutting down");
}
