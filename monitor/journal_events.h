#pragma once

// the journal lines of the monitor and their rate limit

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <spdlog/sinks/sink.h>

// what an operator reads with journalctl -u orlixmon: card down and up, the
// start, and every error or warning of the trace log. Under systemd the
// service's standard error is a stream into the journal (JOURNAL_STREAM
// names it); each line goes there with its syslog level as a "<N>" prefix.
// Anywhere else nothing is written: the trace log has it all.

enum orlixmon_journal_level_e {
    ORLIXMON_JOURNAL_ERR = 3,
    ORLIXMON_JOURNAL_WARNING = 4,
    ORLIXMON_JOURNAL_NOTICE = 5,
};

// at most burst lines of one text in interval, and at most total lines of
// all texts in interval: a card that flaps or a failure repeated every poll
// cannot flood the journal. The next line let through after a dropped one
// says how many were dropped.
class orlixmon_journal_limit {
public:
    orlixmon_journal_limit(uint32_t burst, uint32_t total, int64_t interval_ns)
        : burst_(burst), total_(total), interval_ns_(interval_ns)
    {
    }
    // true when the line may go out; dropped is then the number of lines
    // dropped since the last one that went out (of this text, or of any when
    // the total limit dropped them)
    bool admit(const std::string& text, int64_t now_ns, uint64_t& dropped);

private:
    struct window_s {
        int64_t start = 0;
        uint32_t count = 0;
        uint64_t dropped = 0;
    };
    bool admit_(window_s& w, uint32_t limit, int64_t now_ns);

    uint32_t burst_, total_;
    int64_t interval_ns_;
    window_s all_;
    std::map<std::string, window_s> texts_;
};

// the fd when JOURNAL_STREAM ("device:inode") names the file open on it, else -1
int orlixmon_journal_stream(int fd);

// where the lines go: fd (-1 for nowhere); the daemon's is standard error
// when it is the journal's stream (orlixmon_trace_init)
void orlixmon_journal_open(int fd);
// one line, rate-limited
void orlixmon_journal(orlixmon_journal_level_e level, const std::string& text);
// a sink for the trace logger: its warnings and errors go to the journal too
std::shared_ptr<spdlog::sinks::sink> orlixmon_journal_sink();
