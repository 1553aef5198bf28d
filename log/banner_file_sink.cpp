// the rotated log file that begins with the boot banner at every open

#include "log/banner_file_sink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include <fmt/format.h>
#include <spdlog/details/os.h>

#include "log/boot_count.h"

namespace utils {

template <typename Mutex>
banner_file_sink<Mutex>::banner_file_sink(std::string path, size_t max_size, size_t max_files)
    : path_(std::move(path)), max_size_(max_size), max_files_(max_files)
{
    if (max_size_ == 0) {
        spdlog::throw_spdlog_ex("banner_file_sink: max_size must not be 0");
    }
    open_(false, true);
}

template <typename Mutex>
banner_file_sink<Mutex>::~banner_file_sink()
{
    close_();
}

template <typename Mutex>
std::string banner_file_sink<Mutex>::copy_name(const std::string& path, size_t n)
{
    return n == 0 ? path : fmt::format("{}.{}", path, n);
}

template <typename Mutex>
void banner_file_sink<Mutex>::close_()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

template <typename Mutex>
void banner_file_sink<Mutex>::open_(bool truncate, bool banner)
{
    close_();
    spdlog::details::os::create_dir(spdlog::details::os::dir_name(path_));
    // a link or a fifo planted at the name is refused, never written
    // through or waited on (root writes these files)
    const int flags =
        O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (truncate ? O_TRUNC : 0);
    int err = 0;
    for (int tries = 0; tries < 5 && fd_ < 0; tries++) {
        fd_ = ::open(path_.c_str(), flags, 0644);
        err = errno;
        if (fd_ < 0 && (err == ELOOP || err == ENXIO)) {
            break;
        }
        if (fd_ < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (fd_ < 0) {
        spdlog::throw_spdlog_ex("Failed opening file " + path_ + " for writing" +
                                    (err == ELOOP ? ": it is a symbolic link" : ""),
                                err);
    }
    struct stat st;
    if (fstat(fd_, &st) != 0) {
        // a size taken as 0 would let the file grow past its limit unseen
        err = errno;
        close_();
        spdlog::throw_spdlog_ex("Failed getting file size from fd", err);
    }
    // a character device (/dev/null) is an operator's choice and takes writes
    if (!S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode)) {
        close_();
        spdlog::throw_spdlog_ex("Failed opening file " + path_ + " for writing: not a regular file");
    }
    (void)fcntl(fd_, F_SETFL, O_APPEND);  // blocking writes again
    current_size_ = static_cast<size_t>(st.st_size);
    if (banner) {
        std::string text = logger_boot_banner(logger_read_boot_count());
        banner_size_ = text.size();
        try {
            write_line_(text.data(), text.size());
        } catch (const spdlog::spdlog_ex& e) {
            // the file is open; its lines report their own failures
            fprintf(stderr, "%s\n", e.what());
        }
    }
}

// all of it in one write, or nothing of it in the file
template <typename Mutex>
void banner_file_sink<Mutex>::write_line_(const char* data, size_t size)
{
    ssize_t n;
    do {
        n = ::write(fd_, data, size);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(size)) {
        current_size_ += size;
        return;
    }
    int err = n < 0 ? errno : ENOSPC;
    if (n > 0) {
        // the rest, to learn why the system stopped short (EFBIG, ENOSPC)
        ssize_t rest = ::write(fd_, data + n, size - static_cast<size_t>(n));
        if (rest == static_cast<ssize_t>(size) - n) {
            current_size_ += size;  // the system took it after all
            return;
        }
        if (rest < 0) {
            err = errno;
        }
    }
    if (n > 0 && ftruncate(fd_, static_cast<off_t>(current_size_)) != 0) {
        // the fragment could not be cut off: end it, so that the next line
        // still starts a line of its own
        (void)!::write(fd_, "\n", 1);
        current_size_ += static_cast<size_t>(n) + 1;
    }
    spdlog::throw_spdlog_ex("Failed writing to file " + path_, err);
}

template <typename Mutex>
void banner_file_sink<Mutex>::sink_it_(const spdlog::details::log_msg& msg)
{
    spdlog::memory_buf_t formatted;
    spdlog::sinks::base_sink<Mutex>::formatter_->format(msg, formatted);
    try {
        if (fd_ < 0) {
            // a reopen after a rotation failed: the file was moved aside
            // already, so this opens it (with its banner), it does not rotate
            // again, and no copy is pushed off the end for nothing
            open_(false, true);
        } else if (current_size_ + formatted.size() > max_size_ && current_size_ > banner_size_ &&
                   current_size_ >= rotate_retry_at_) {
            // a file holding nothing but its banner takes the message whatever
            // its size: a line longer than the limit must not rotate away
            // empty files
            if (!rotate_()) {
                rotate_retry_at_ = current_size_ + max_size_;
            }
        }
        write_line_(formatted.data(), formatted.size());
    } catch (const spdlog::spdlog_ex&) {
        write_errors_.fetch_add(1, std::memory_order_relaxed);
        throw;
    }
    lines_written_.fetch_add(1, std::memory_order_relaxed);
}

template <typename Mutex>
void banner_file_sink<Mutex>::flush_()
{
    // every line is handed to the system as it is written
}

// path.(n-1) -> path.n, down to path -> path.1; then path opens afresh. when
// the file itself cannot be moved aside it stays open as it is: its lines
// are worth more than its size limit
template <typename Mutex>
bool banner_file_sink<Mutex>::rotate_()
{
    // a file removed under us has nothing to keep: it is opened afresh
    // without shifting the copies, which would push the oldest off for nothing
    if (max_files_ > 0 && spdlog::details::os::path_exists(path_)) {
        std::remove(copy_name(path_, max_files_).c_str());
        for (size_t n = max_files_; n > 1; --n) {
            std::string from = copy_name(path_, n - 1);
            if (spdlog::details::os::path_exists(from)) {
                std::rename(from.c_str(), copy_name(path_, n).c_str());
            }
        }
        if (std::rename(path_.c_str(), copy_name(path_, 1).c_str()) != 0) {
            int err = errno;
            fprintf(stderr, "cannot rotate %s: %s; writing on\n", path_.c_str(), strerror(err));
            return false;
        }
    }
    rotate_retry_at_ = 0;
    open_(true, true);
    return true;
}

template class banner_file_sink<std::mutex>;
template class banner_file_sink<spdlog::details::null_mutex>;

}  // namespace utils
