// the boot-count reader: the input as the first line and as the whole
// boot_count.txt file

#include <stdlib.h>

#include <cstdint>
#include <string>

#include "fuzz/fuzz_input.h"
#include "log/boot_count.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string dir = [] {
        setenv("PERSISTENT_LOG_DIR", fuzz_scratch_dir().c_str(), 1);
        return fuzz_scratch_dir();
    }();
    std::string text(reinterpret_cast<const char*>(data), size);
    (void)logger_boot_banner(logger_parse_boot_count(text.substr(0, text.find('\n'))));
    if (fuzz_write_file(dir + "/boot_count.txt", data, size)) {
        (void)logger_boot_banner(logger_read_boot_count());
    }
    return 0;
}
