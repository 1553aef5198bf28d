// the %Q line pattern field: the boot number

#include "log/boot_number_flag.h"

#include <fmt/format.h>

#include "log/boot_count.h"

namespace utils {

boot_number_flag::boot_number_flag() : boot_count_(logger_read_boot_count()) {}

void boot_number_flag::format(const spdlog::details::log_msg&, const std::tm&, spdlog::memory_buf_t& dest)
{
    fmt::format_to(std::back_inserter(dest), "{}", boot_count_);
}

std::unique_ptr<spdlog::custom_flag_formatter> boot_number_flag::clone() const
{
    return std::make_unique<boot_number_flag>(boot_count_);
}

std::unique_ptr<spdlog::formatter> make_boot_pattern_formatter(const std::string& pattern)
{
    auto formatter = std::make_unique<spdlog::pattern_formatter>();
    formatter->add_flag<boot_number_flag>('Q').set_pattern(pattern);
    return formatter;
}

}  // namespace utils
