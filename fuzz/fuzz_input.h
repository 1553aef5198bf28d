#pragma once

// what every fuzz target takes from its input, and the scratch files of the
// targets that read files

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "ipc/le_bytes.h"

// reads a little-endian value of up to four bytes from the front of a byte
// range and advances it; the bytes past the end of the range read as zero
inline uint32_t fuzz_take(const uint8_t*& data, size_t& size, size_t bytes)
{
    uint64_t v = 0;
    size_t n = bytes < size ? bytes : size;
    (void)le_get(data, size, 0, n, v);
    data += n;
    size -= n;
    return static_cast<uint32_t>(v);
}

// a scratch directory of the process, made on first use and left for the
// system's temporary files cleanup
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
inline bool fuzz_write_file(const std::string& path, const void* data, size_t size)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    bool ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}
inline bool fuzz_write_file(const std::string& path, const std::string& text)
{
    return fuzz_write_file(path, text.data(), text.size());
}
