#pragma once

#include <mutex>
#include <string>

#include <spdlog/details/file_helper.h>
#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>

namespace utils {

// a size-rotated log file that begins with the boot banner every time it is
// opened: at creation and after each rotation. older copies are named
// path.1 ... path.N (path.1 the newest); the oldest falls off the end.
// opening is tried 5 times 10 ms apart; a file that cannot be opened throws
// spdlog_ex("Failed opening file <path> for writing").
template <typename Mutex>
class banner_file_sink final : public spdlog::sinks::base_sink<Mutex> {
public:
    banner_file_sink(std::string path, size_t max_size, size_t max_files);

    const std::string& path() const { return path_; }
    // the name of copy n, n = 0 being the file itself
    static std::string copy_name(const std::string& path, size_t n);

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override;
    void flush_() override;

private:
    spdlog::file_event_handlers banner_handlers_();
    void open_(bool truncate);
    void rotate_();

    std::string path_;
    size_t max_size_;
    size_t max_files_;
    size_t current_size_ = 0;
    size_t banner_size_ = 0;
    spdlog::details::file_helper file_;
};

using banner_file_sink_mt = banner_file_sink<std::mutex>;
using banner_file_sink_st = banner_file_sink<spdlog::details::null_mutex>;

}  // namespace utils
