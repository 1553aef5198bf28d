// the lines an operator reads in the journal, and their rate limit

#include "monitor/journal_events.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <spdlog/sinks/base_sink.h>

namespace {

// per text 5 lines a minute, 100 in all: enough for every card of a host
// going down at once
constexpr uint32_t k_burst = 5;
constexpr uint32_t k_total = 100;
constexpr int64_t k_interval_ns = 60LL * 1000000000;
// windows of texts not seen for an interval are forgotten past this many
constexpr size_t k_texts_kept = 256;

int64_t monotonic_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct journal_s {
    std::mutex mutex;
    std::atomic<int> fd{-1};
    orlixmon_journal_limit limit{k_burst, k_total, k_interval_ns};
};

journal_s& journal()
{
    // never destroyed: threads may log while the process ends
    static journal_s* j = new journal_s;
    return *j;
}

void write_all(int fd, const std::string& line)
{
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;  // the journal is gone: nothing to tell anyone
        }
        done += size_t(n);
    }
}

// the trace logger's levels that reach the journal, and theirs there
int journal_level(spdlog::level::level_enum level)
{
    return level >= spdlog::level::err ? ORLIXMON_JOURNAL_ERR : ORLIXMON_JOURNAL_WARNING;
}

class journal_sink : public spdlog::sinks::base_sink<std::mutex> {
protected:
    void sink_it_(const spdlog::details::log_msg& msg) override
    {
        orlixmon_journal(static_cast<orlixmon_journal_level_e>(journal_level(msg.level)),
                         std::string(msg.payload.data(), msg.payload.size()));
    }
    void flush_() override {}
};

}  // namespace

bool orlixmon_journal_limit::admit_(window_s& w, uint32_t limit, int64_t now_ns)
{
    if (w.count == 0 || now_ns - w.start >= interval_ns_) {
        w.start = now_ns;
        w.count = 0;
    }
    if (w.count >= limit) {
        w.dropped++;
        return false;
    }
    w.count++;
    return true;
}

bool orlixmon_journal_limit::admit(const std::string& text, int64_t now_ns, uint64_t& dropped)
{
    if (texts_.size() >= k_texts_kept) {
        for (auto it = texts_.begin(); it != texts_.end();) {
            it = now_ns - it->second.start >= interval_ns_ ? texts_.erase(it) : std::next(it);
        }
    }
    window_s& w = texts_[text];
    if (!admit_(w, burst_, now_ns)) {
        return false;
    }
    if (!admit_(all_, total_, now_ns)) {
        w.count--;  // not sent: it does not count against its text (the total counts it dropped)
        return false;
    }
    dropped = w.dropped + all_.dropped;
    w.dropped = 0;
    all_.dropped = 0;
    return true;
}

int orlixmon_journal_stream(int fd)
{
    const char* stream = getenv("JOURNAL_STREAM");
    unsigned long long dev = 0, ino = 0;
    struct stat st;
    if (stream == nullptr || sscanf(stream, "%llu:%llu", &dev, &ino) != 2 || fstat(fd, &st) != 0) {
        return -1;
    }
    return st.st_dev == dev && st.st_ino == ino ? fd : -1;
}

void orlixmon_journal_open(int fd)
{
    journal().fd.store(fd);
}

void orlixmon_journal(orlixmon_journal_level_e level, const std::string& text)
{
    journal_s& j = journal();
    if (j.fd.load() < 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(j.mutex);
    uint64_t dropped = 0;
    if (!j.limit.admit(text, monotonic_ns(), dropped)) {
        return;
    }
    std::string line = "<" + std::to_string(int(level)) + ">" + text;
    if (dropped > 0) {
        line += " (" + std::to_string(dropped) + " more line(s) dropped before this one)";
    }
    line += '\n';
    write_all(j.fd.load(), line);
}

std::shared_ptr<spdlog::sinks::sink> orlixmon_journal_sink()
{
    auto sink = std::make_shared<journal_sink>();
    sink->set_level(spdlog::level::warn);
    return sink;
}
