// the bound on one update (see fwupdate_deadline.h)

#include "fwupdate/fwupdate_deadline.h"

#include "fwupdate/fwupdate_state.h"

fwupdate_deadline::fwupdate_deadline(uint32_t seconds) : seconds_(seconds)
{
    auto& tls = fwupdate_tls();
    outer_ = tls.abort;
    tls.abort = &fired_;
    if (seconds_ == 0) {
        return;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds_);
    watcher_ = std::thread([this, until] {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!wake_.wait_until(lock, until, [this] { return done_; })) {
            __atomic_store_n(&fired_, true, __ATOMIC_RELAXED);
        }
    });
}

fwupdate_deadline::~fwupdate_deadline()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    wake_.notify_all();
    if (watcher_.joinable()) {
        watcher_.join();
    }
    fwupdate_tls().abort = outer_;
}

bool fwupdate_deadline::report(const std::string& step, const char* what) const
{
    if (!expired()) {
        return false;
    }
    fwupdate_log(trace_level_err, "%s timed out after %u seconds in %s", what, seconds_,
                 step.empty() ? "Starting" : step.c_str());
    return true;
}
