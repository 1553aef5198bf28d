#pragma once

// the rotated log file with a boot banner

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>

namespace utils {

// a size-rotated log file that begins with the boot banner every time it is
// opened: at creation and after each rotation. older copies are named
// path.1 ... path.N (path.1 the newest); the oldest falls off the end.
// opening is tried 5 times 10 ms apart; a file that cannot be opened throws
// spdlog_ex("Failed opening file <path> for writing"). a symbolic link or a
// fifo at path is refused at once and nothing is written through it.
//
// each line goes out in one write(2) on a descriptor opened for appending,
// so a line is on disk once the write returns, and no line is ever left in
// half: a write the system takes only in part (a full disk, a file size
// limit) is cut back off the file and reported as a failure. a rotation
// whose rename fails keeps writing to the file as it is (nothing is
// truncated) and is tried again once another max_size bytes went in. a file
// that cannot be opened again after its rotation loses the lines until it
// can (each reported); the next line opens it, with its banner, without
// rotating again. a file whose size cannot be read is not opened
// ("Failed getting file size from fd").
template <typename Mutex>
class banner_file_sink final : public spdlog::sinks::base_sink<Mutex> {
public:
    banner_file_sink(std::string path, size_t max_size, size_t max_files);
    ~banner_file_sink() override;
    banner_file_sink(const banner_file_sink&) = delete;
    banner_file_sink& operator=(const banner_file_sink&) = delete;

    const std::string& path() const { return path_; }
    // the name of copy n, n = 0 being the file itself
    static std::string copy_name(const std::string& path, size_t n);

    // lines handed to the file, and lines it did not take; readable from
    // any thread while lines are written
    uint64_t lines_written() const { return lines_written_.load(std::memory_order_relaxed); }
    uint64_t write_errors() const { return write_errors_.load(std::memory_order_relaxed); }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override;
    void flush_() override;

private:
    void open_(bool truncate, bool banner);
    void close_();
    void write_line_(const char* data, size_t size);
    bool rotate_();

    std::string path_;
    size_t max_size_;
    size_t max_files_;
    size_t current_size_ = 0;
    size_t banner_size_ = 0;
    size_t rotate_retry_at_ = 0;  // after a failed rotation: the size to try again at
    int fd_ = -1;
    std::atomic<uint64_t> lines_written_{0};
    std::atomic<uint64_t> write_errors_{0};
};

using banner_file_sink_mt = banner_file_sink<std::mutex>;
using banner_file_sink_st = banner_file_sink<spdlog::details::null_mutex>;

}  // namespace utils
