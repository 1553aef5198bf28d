// the boot count file and the banner made of it

#include "log/boot_count.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include <fmt/format.h>

static constexpr const char* k_default_persistent_dir = "/obfl";
static constexpr const char* k_boot_count_file = "boot_count.txt";

std::string logger_boot_count_path()
{
    const char* dir = std::getenv("PERSISTENT_LOG_DIR");
    return std::string(dir ? dir : k_default_persistent_dir) + "/" + k_boot_count_file;
}

int64_t logger_parse_boot_count(const std::string& first_line)
{
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(first_line.c_str(), &end, 10);
    if (end == first_line.c_str() || errno == ERANGE) {
        return 0;
    }
    return value;
}

int64_t logger_read_boot_count()
{
    std::ifstream file(logger_boot_count_path());
    std::string line;
    if (!file || !std::getline(file, line)) {
        return 0;
    }
    return logger_parse_boot_count(line);
}

std::string logger_boot_banner(int64_t boot_count)
{
    return fmt::format("*** Boot #{} ***\n", static_cast<uint32_t>(boot_count));
}
