#pragma once

// the same register and memory checks for every platform variant: what goes
// in through the platform layer must land in the card's own windows, and what
// the card holds must come back out

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "emulator/cardsim_card.h"
#include "emulator/cardsim_host.h"
#include "pal/pal.h"

// a resource window of a card as the card itself sees it: the testbed's file
// mapped directly, not through the platform layer
class card_window {
public:
    card_window(const cardsim_host& host, size_t card, const char* name)
    {
        std::string path = host.sysfs_dir(host.card(card).rsc_bdf) + "/" + name;
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        struct stat st;
        if (fd >= 0 && fstat(fd, &st) == 0 && st.st_size > 0) {
            void* va = mmap(nullptr, st.st_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (va != MAP_FAILED) {
                p_ = static_cast<uint8_t*>(va);
                size_ = static_cast<size_t>(st.st_size);
            }
        }
        if (fd >= 0) {
            close(fd);
        }
    }
    ~card_window()
    {
        if (p_) {
            munmap(p_, size_);
        }
    }
    card_window(const card_window&) = delete;
    card_window& operator=(const card_window&) = delete;

    bool ok() const { return p_ != nullptr; }
    size_t size() const { return size_; }
    uint8_t* at(uint64_t offset) { return p_ + offset; }
    template <typename T>
    T get(uint64_t offset) const
    {
        T v;
        memcpy(&v, p_ + offset, sizeof(T));
        return v;
    }
    template <typename T>
    void put(uint64_t offset, T v)
    {
        memcpy(p_ + offset, &v, sizeof(T));
    }
    std::vector<uint8_t> snapshot() const { return std::vector<uint8_t>(p_, p_ + size_); }

private:
    uint8_t* p_ = nullptr;
    size_t size_ = 0;
};

// runs against whatever variant pal_init installed in this process; the card's
// windows are looked at directly beside it
inline void pal_check_access(const cardsim_host& host, size_t card)
{
    using namespace sdk::lib;
    card_window regs(host, card, "resource0");
    card_window mem(host, card, "resource2");
    ASSERT_TRUE(regs.ok());
    ASSERT_TRUE(mem.ok());

    // registers: single words and blocks, both ways
    const uint64_t reg = CARDSIM_REG_BASE + 0x100;
    uint32_t words[4] = {0x11223344u, 0xdeadbeefu, 0u, 0xffffffffu};
    ASSERT_EQ(pal_reg_write(reg, words, 4), PAL_RET_OK);
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(regs.get<uint32_t>(0x100 + 4 * i), words[i]) << "register word " << i;
    }
    regs.put<uint32_t>(0x200, 0xcafef00du);
    uint32_t one = 0;
    ASSERT_EQ(pal_reg_read(CARDSIM_REG_BASE + 0x200, &one, 1), PAL_RET_OK);
    EXPECT_EQ(one, 0xcafef00du);
    uint32_t back[4] = {};
    ASSERT_EQ(pal_reg_read(reg, back, 4), PAL_RET_OK);
    EXPECT_EQ(memcmp(back, words, sizeof(words)), 0);

    // memory: an odd length at an odd address, a fill, and a read of bytes
    // the card put there itself
    const uint64_t off = 0x8001;
    std::vector<uint8_t> bytes(301);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    ASSERT_EQ(pal_mem_write(CARDSIM_MEM_BASE + off, bytes.data(), bytes.size(), 0), PAL_RET_OK);
    EXPECT_EQ(memcmp(mem.at(off), bytes.data(), bytes.size()), 0);
    std::vector<uint8_t> got(bytes.size());
    ASSERT_EQ(pal_mem_read(CARDSIM_MEM_BASE + off, got.data(), got.size(), 0), PAL_RET_OK);
    EXPECT_EQ(got, bytes);
    ASSERT_EQ(pal_mem_set(CARDSIM_MEM_BASE + 0x9000, 0x5a, 64, 0), PAL_RET_OK);
    for (size_t i = 0; i < 64; ++i) {
        ASSERT_EQ(*mem.at(0x9000 + i), 0x5a) << "byte " << i;
    }
    EXPECT_NE(*mem.at(0x9000 + 64), 0x5a);
    mem.put<uint64_t>(0xa000, 0x0102030405060708ull);
    uint64_t v = 0;
    ASSERT_EQ(pal_mem_read(CARDSIM_MEM_BASE + 0xa000, reinterpret_cast<uint8_t*>(&v), 8, 0), PAL_RET_OK);
    EXPECT_EQ(v, 0x0102030405060708ull);

    // the last byte of the memory window is reachable
    uint8_t last = 0x77;
    ASSERT_EQ(pal_mem_write(CARDSIM_MEM_BASE + CARDSIM_MEM_SIZE - 1, &last, 1, 0), PAL_RET_OK);
    EXPECT_EQ(*mem.at(CARDSIM_MEM_SIZE - 1), 0x77);
}
