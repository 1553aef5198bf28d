#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// a scratch directory of the process, made on first use and left for the
// system's temporary files cleanup: the targets that read files write their
// input there
inline const std::string& fuzz_scratch_dir()
{
    static const std::string dir = [] {
        const char* tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/orlix-fuzz-XXXXXX";
        char* made = mkdtemp(&pattern[0]);
        return std::string(made ? made : "/tmp");
    }();
    return dir;
}

// the whole of data as the file at path; false when it cannot be written
inline bool fuzz_write_file(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    bool ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}
