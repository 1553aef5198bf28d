#pragma once

#include <cstddef>
#include <cstdint>

// reads a little-endian value of up to four bytes from the front of a byte
// range and advances it; the bytes past the end of the range read as zero
inline uint32_t fuzz_take(const uint8_t*& data, size_t& size, size_t bytes)
{
    uint32_t v = 0;
    for (size_t i = 0; i < bytes && size > 0; i++, size--) {
        v |= static_cast<uint32_t>(*data++) << (8 * i);
    }
    return v;
}
