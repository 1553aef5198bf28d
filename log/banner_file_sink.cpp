#include "log/banner_file_sink.h"

#include <cstdio>

#include <fmt/format.h>
#include <spdlog/details/os.h>

#include "log/boot_count.h"

namespace utils {

template <typename Mutex>
spdlog::file_event_handlers banner_file_sink<Mutex>::banner_handlers_()
{
    spdlog::file_event_handlers handlers;
    handlers.after_open = [this](const spdlog::filename_t&, std::FILE* file) {
        std::string banner = logger_boot_banner(logger_read_boot_count());
        std::fwrite(banner.data(), 1, banner.size(), file);
        // the size check that follows reads the descriptor, not the buffer
        std::fflush(file);
        banner_size_ = banner.size();
    };
    return handlers;
}

template <typename Mutex>
banner_file_sink<Mutex>::banner_file_sink(std::string path, size_t max_size, size_t max_files)
    : path_(std::move(path)), max_size_(max_size), max_files_(max_files), file_(banner_handlers_())
{
    if (max_size_ == 0) {
        spdlog::throw_spdlog_ex("banner_file_sink: max_size must not be 0");
    }
    open_(false);
}

template <typename Mutex>
std::string banner_file_sink<Mutex>::copy_name(const std::string& path, size_t n)
{
    return n == 0 ? path : fmt::format("{}.{}", path, n);
}

template <typename Mutex>
void banner_file_sink<Mutex>::open_(bool truncate)
{
    file_.open(path_, truncate);
    current_size_ = file_.size();
}

template <typename Mutex>
void banner_file_sink<Mutex>::sink_it_(const spdlog::details::log_msg& msg)
{
    spdlog::memory_buf_t formatted;
    spdlog::sinks::base_sink<Mutex>::formatter_->format(msg, formatted);
    // a file holding nothing but its banner takes the message whatever its
    // size: a line longer than the limit must not rotate away empty files
    if (current_size_ + formatted.size() > max_size_ && current_size_ > banner_size_) {
        rotate_();
    }
    file_.write(formatted);
    current_size_ += formatted.size();
}

template <typename Mutex>
void banner_file_sink<Mutex>::flush_()
{
    file_.flush();
}

// path.(n-1) -> path.n, down to path -> path.1; then path opens afresh
template <typename Mutex>
void banner_file_sink<Mutex>::rotate_()
{
    file_.close();
    if (max_files_ > 0) {
        std::remove(copy_name(path_, max_files_).c_str());
        for (size_t n = max_files_; n > 0; --n) {
            std::string from = copy_name(path_, n - 1);
            if (spdlog::details::os::path_exists(from)) {
                std::rename(from.c_str(), copy_name(path_, n).c_str());
            }
        }
    }
    open_(true);
}

template class banner_file_sink<std::mutex>;
template class banner_file_sink<spdlog::details::null_mutex>;

}  // namespace utils
