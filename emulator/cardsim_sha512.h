#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// SHA-512, as the card's flash service digests partitions with it: fed in
// pieces of any size, finished once (GLib's checksum underneath)

class cardsim_sha512 {
public:
    using digest_t = std::array<uint8_t, 64>;

    cardsim_sha512();
    ~cardsim_sha512();
    cardsim_sha512(const cardsim_sha512&) = delete;
    cardsim_sha512& operator=(const cardsim_sha512&) = delete;

    void update(const uint8_t* data, size_t len);
    digest_t finish();

    static digest_t of(const uint8_t* data, size_t len);

private:
    void* sum_;  // GChecksum
};
