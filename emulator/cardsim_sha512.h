#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// SHA-512, as the card's flash service digests partitions with it: fed in
// pieces of any size, finished once

class cardsim_sha512 {
public:
    using digest_t = std::array<uint8_t, 64>;

    cardsim_sha512();
    void update(const uint8_t* data, size_t len);
    digest_t finish();

    static digest_t of(const uint8_t* data, size_t len);

private:
    void block_(const uint8_t* p);

    uint64_t h_[8];
    uint8_t buf_[128];
    size_t used_ = 0;
    uint64_t total_ = 0;  // bytes fed so far
};
