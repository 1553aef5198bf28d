#pragma once

// little-endian fields of the card's messages, the one set of helpers for
// every layer (library, engine, platform, emulator): every access names the
// buffer's size and fails, instead of reading or writing past it, when the
// field does not lie inside. header only, so the emulator can use it without
// linking the product.

#include <cstddef>
#include <cstdint>
#include <type_traits>

// the n-byte (1 to 8) field at `at` of a buffer of `size` bytes; false, and
// `value` untouched, when it does not fit
inline bool le_get(const uint8_t* buf, size_t size, size_t at, size_t n, uint64_t& value)
{
    if (buf == nullptr || n == 0 || n > 8 || at > size || size - at < n) {
        return false;
    }
    uint64_t v = 0;
    for (size_t i = 0; i < n; i++) {
        v |= static_cast<uint64_t>(buf[at + i]) << (8 * i);
    }
    value = v;
    return true;
}

inline bool le_put(uint8_t* buf, size_t size, size_t at, size_t n, uint64_t value)
{
    if (buf == nullptr || n == 0 || n > 8 || at > size || size - at < n) {
        return false;
    }
    for (size_t i = 0; i < n; i++) {
        buf[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return true;
}

// a field as wide as T: le_get<uint32_t>(buf, size, at, value)
template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
bool le_get(const uint8_t* buf, size_t size, size_t at, T& value)
{
    uint64_t v = 0;
    if (!le_get(buf, size, at, sizeof(T), v)) {
        return false;
    }
    value = static_cast<T>(v);
    return true;
}

template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
bool le_put(uint8_t* buf, size_t size, size_t at, T value)
{
    return le_put(buf, size, at, sizeof(T), static_cast<uint64_t>(value));
}

// the field's value where the caller has already checked the buffer's size
// against the message's layout; 0 for a field past the end
template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
T le_at(const uint8_t* buf, size_t size, size_t at)
{
    T value = 0;
    (void)le_get(buf, size, at, value);
    return value;
}

// the same for a container of bytes (std::vector<uint8_t>, std::string, an array)
template <typename T, typename C>
T le_at(const C& bytes, size_t at)
{
    return le_at<T>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), at);
}

template <typename T, typename C>
bool le_get(const C& bytes, size_t at, T& value)
{
    return le_get(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), at, value);
}
