#pragma once

// the boot number pattern field

#include <memory>

#include <spdlog/pattern_formatter.h>

namespace utils {

// the %Q field of a line pattern: the boot number, read once when the
// formatter is made (clones keep it)
class boot_number_flag final : public spdlog::custom_flag_formatter {
public:
    boot_number_flag();
    explicit boot_number_flag(int64_t boot_count) : boot_count_(boot_count) {}

    void format(const spdlog::details::log_msg&, const std::tm&, spdlog::memory_buf_t& dest) override;
    std::unique_ptr<spdlog::custom_flag_formatter> clone() const override;

private:
    int64_t boot_count_;
};

// a pattern formatter that knows %Q
std::unique_ptr<spdlog::formatter> make_boot_pattern_formatter(const std::string& pattern);

}  // namespace utils
