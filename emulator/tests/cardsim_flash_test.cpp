// the card's firmware-update service without a testbed: the flash model's
// erase/write/verify cycle (sector erase: the product's emulated tests), its checks of every request, boot image
// selection and the reboot, version records, and its faults. the records
// the product reads (partitions, metadata, secure boot) are checked by the
// product's emulated tests, through the device

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "emulator/cardsim_flash.h"
#include "ipc/le_bytes.h"

namespace {

using bytes = std::vector<uint8_t>;

constexpr uint32_t OP_SELECT = 0x10001, OP_ERASE = 0x10002, OP_WRITE = 0x10003, OP_BOOT = 0x10004,
                   OP_CHECKSUM = 0x10005, OP_STARTUP_VERIFY = 0x10007, OP_CARD_INFO = 0x10008,
                   OP_SECTOR_ERASE = 0x1000a, OP_VERIFY = 0x1000f, OP_VERSION = 0x10015, OP_ERASE_HASH = 0x10016,
                   OP_STARTUP = 0x10017, OP_ABORT = 0x1001a, OP_START = 0x1001b;
constexpr uint32_t P_SUC_APP = 1, P_HALLGARD = 7, P_ZEPHYR = 10, P_DTB = 11;

std::string text(const bytes& b, size_t at, size_t n)
{
    const char* p = reinterpret_cast<const char*>(b.data() + at);
    return std::string(p, strnlen(p, n));
}

bytes pattern(size_t n, uint32_t seed)
{
    bytes b(n);
    for (auto& v : b) {
        seed = seed * 1103515245 + 12345;
        v = static_cast<uint8_t>(seed >> 16);
    }
    return b;
}

// a request record of `size` bytes with these little-endian fields (offset, width, value)
struct field_s {
    size_t at, width;
    uint64_t value;
};
bytes record(size_t size, std::initializer_list<field_s> fields, const uint8_t* tail = nullptr, size_t tail_at = 0,
             size_t tail_len = 0)
{
    bytes r(size, 0);
    for (const auto& f : fields) {
        le_put(r.data(), r.size(), f.at, f.width, f.value);
    }
    if (tail != nullptr) {
        memcpy(r.data() + tail_at, tail, tail_len);
    }
    return r;
}
bytes erase_req(uint32_t part, uint64_t size)
{
    return record(16, {{0, 4, part}, {8, 8, size}});
}
bytes write_req(uint32_t part, uint64_t offset, const uint8_t* data, size_t n)
{
    return record(32 + n, {{0, 4, part}, {8, 8, offset}, {16, 4, n}}, data, 32, n);
}
bytes verify_req(uint32_t part, uint64_t size, const cardsim_sha512::digest_t& d, uint32_t type = 2)
{
    return record(88, {{0, 4, part}, {8, 8, size}, {16, 4, type}, {20, 2, 64}}, d.data(), 22, 64);
}
bytes erase_hash_req(uint32_t part, uint64_t size, const std::string& version, uint32_t type = 2,
                     const cardsim_sha512::digest_t& d = {})
{
    bytes r = record(408, {{0, 4, part}, {8, 8, size}, {16, 4, type}, {20, 1, version.size()}}, d.data(), 21, 64);
    memcpy(r.data() + 85, version.data(), std::min<size_t>(version.size(), 62));
    return r;
}
bytes u32_req(uint32_t a, uint32_t b = 0, size_t size = 8)
{
    return record(size, {{0, 4, a}, {4, 4, b}});
}

cardsim_flash_reply_s ask(cardsim_flash& f, uint32_t op, const bytes& req)
{
    return f.handle(op, req.data(), req.size());
}

// asks until the polled operation is no longer in progress, at most `limit` times
cardsim_flash_reply_s poll(cardsim_flash& f, uint32_t op, const bytes& req, int limit = 10, int* asked = nullptr)
{
    cardsim_flash_reply_s r;
    int n = 0;
    do {
        r = ask(f, op, req);
        n++;
    } while (!r.body.empty() && r.body[0] == CARDSIM_FLASH_IN_PROGRESS && n < limit);
    if (asked) {
        *asked = n;
    }
    return r;
}

// writes an image in chunks of `chunk` bytes; false at the first failed chunk
bool write_image(cardsim_flash& f, uint32_t part, const bytes& image, size_t chunk)
{
    for (size_t off = 0; off < image.size(); off += chunk) {
        size_t n = std::min(chunk, image.size() - off);
        auto r = ask(f, OP_WRITE, write_req(part, off, image.data() + off, n));
        if (r.body.size() != 8 || r.body[0] != 0 || le_at<uint32_t>(r.body, 4) != n) {
            return false;
        }
    }
    return true;
}

TEST(CardsimFlash, EraseWriteVerifyCycle)
{
    cardsim_flash f("ORX26000000");
    bytes image = pattern(1000, 7);
    auto digest = cardsim_sha512::of(image.data(), image.size());
    EXPECT_EQ(cardsim_sha512::of(reinterpret_cast<const uint8_t*>("abc"), 3)[0], 0xdd) << "SHA-512's digest";

    // an erase answers "in progress" once, then done
    int asked = 0;
    EXPECT_EQ(poll(f, OP_ERASE, erase_req(P_DTB, 0), 10, &asked).body, bytes{CARDSIM_FLASH_DONE});
    EXPECT_EQ(asked, 2);
    // the 960 + 40 chunks the host sends for this partition
    ASSERT_TRUE(write_image(f, P_DTB, image, 960));
    EXPECT_EQ(f.bytes(P_DTB), image);
    EXPECT_EQ(poll(f, OP_VERIFY, verify_req(P_DTB, image.size(), digest)).body[0], CARDSIM_FLASH_DONE);
    auto other = digest;
    other[63] ^= 0x80;
    EXPECT_EQ(poll(f, OP_VERIFY, verify_req(P_DTB, image.size(), other)).body[0], CARDSIM_FLASH_BAD_REQUEST);

    // the checksum gives the raw digest after the status byte; the startup
    // checksum finds no image there, as no erase by digest announced one
    auto r = poll(f, OP_CHECKSUM, erase_req(P_DTB, image.size()));
    ASSERT_EQ(r.body.size(), 65u);
    EXPECT_EQ(bytes(r.body.begin() + 1, r.body.end()), bytes(digest.begin(), digest.end()));
    EXPECT_EQ(poll(f, OP_STARTUP, u32_req(P_DTB, CARDSIM_IMAGE_B)).body[0], CARDSIM_FLASH_IO_ERROR);

    // writing over an image without erasing only clears bits: the verify fails
    ASSERT_TRUE(write_image(f, P_DTB, bytes(16, 0x0f), 16));
    EXPECT_NE(poll(f, OP_VERIFY, verify_req(P_DTB, image.size(), digest)).body[0], CARDSIM_FLASH_DONE);
    EXPECT_EQ(f.bytes(P_DTB)[0], image[0] & 0x0f);

    // while an erase is in progress the partition refuses writes
    f.set_busy_polls(3);
    EXPECT_EQ(ask(f, OP_ERASE, erase_req(P_DTB, 0)).body[0], CARDSIM_FLASH_IN_PROGRESS);
    EXPECT_EQ(ask(f, OP_WRITE, write_req(P_DTB, 0, image.data(), 16)).body[0], CARDSIM_FLASH_BUSY);
    EXPECT_EQ(poll(f, OP_ERASE, erase_req(P_DTB, 0), 10, &asked).body[0], CARDSIM_FLASH_DONE);
    EXPECT_EQ(asked, 3);
    EXPECT_TRUE(f.bytes(P_DTB).empty());
}

// every request is checked as the card checks it, and a refused one changes nothing
TEST(CardsimFlash, BadRequestsAreRefusedWithAStatus)
{
    cardsim_flash f("ORX26000000");
    f.set_busy_polls(0);
    const uint8_t data[16] = {};
    const size_t dtb_size = f.partition_size(P_DTB);
    bytes lying = write_req(P_DTB, 0, data, 16);
    lying[16] = 17;
    bytes long_version = erase_hash_req(P_ZEPHYR, 100, "x");
    long_version[20] = 63;
    const struct {
        const char* what;
        uint32_t op;
        bytes req;
    } cases[] = {
        {"erase of partition 21", OP_ERASE, erase_req(21, 0)},
        {"erase past the end", OP_ERASE, erase_req(P_DTB, dtb_size + 1)},
        {"write past the end", OP_WRITE, write_req(P_DTB, dtb_size - 8, data, 16)},
        {"write whose length disagrees with its body", OP_WRITE, lying},
        {"short write", OP_WRITE, bytes(8, 0)},
        {"empty verify", OP_VERIFY, {}},
        {"verify by sha256", OP_VERIFY, verify_req(P_DTB, 0, {}, 1)},
        {"erase by sha256", OP_ERASE_HASH, erase_hash_req(P_ZEPHYR, 100, "1.0", 1)},
        {"erase by digest with a 63-character version", OP_ERASE_HASH, long_version},
        {"sector erase off a sector", OP_SECTOR_ERASE, record(168, {{0, 4, P_SUC_APP}, {8, 8, 100}, {16, 8, 4096}})},
        {"boot image 3", OP_BOOT, u32_req(3)},
        {"firmware select 2", OP_SELECT, u32_req(2)},
        {"version group 4", OP_VERSION, u32_req(4)},
    };
    for (const auto& c : cases) {
        auto r = ask(f, c.op, c.req);
        ASSERT_FALSE(r.body.empty()) << c.what;
        EXPECT_EQ(r.body[0], CARDSIM_FLASH_BAD_REQUEST) << c.what;
    }
    EXPECT_EQ(f.written(P_DTB), 0u);
    EXPECT_EQ(f.boot_image(), CARDSIM_IMAGE_A);
    EXPECT_EQ(f.firmware_select(), CARDSIM_IMAGE_B);
    EXPECT_EQ(ask(f, OP_ERASE_HASH, erase_hash_req(P_ZEPHYR, 100, std::string(62, 'v'))).body[0], CARDSIM_FLASH_DONE);
    // an opcode the service does not have
    auto unknown = ask(f, 0x10019, bytes(4, 0));
    EXPECT_EQ(unknown.fw_errno, 95u);
    EXPECT_TRUE(unknown.body.empty());
}

TEST(CardsimFlash, BootSelectionCardAndVersionInformation)
{
    cardsim_flash f("ORX26000042");
    f.set_busy_polls(0);
    f.set_board_id(0x00020003);
    auto info = [&] { return ask(f, OP_CARD_INFO, bytes(1, 0)).body; };
    const bytes first = info();
    ASSERT_EQ(first.size(), 353u);
    EXPECT_EQ(le_at<uint32_t>(first, 8), 0x00020003u);
    EXPECT_EQ(bytes(first.begin() + 18, first.begin() + 20), (bytes{CARDSIM_IMAGE_A, CARDSIM_IMAGE_A}));
    EXPECT_EQ(text(first, 64, 32), "ORX26000042");

    EXPECT_EQ(ask(f, OP_BOOT, u32_req(CARDSIM_IMAGE_B)).body[0], 0);
    EXPECT_EQ(info()[19], CARDSIM_IMAGE_B);
    // a card that loses its boot selection says done and keeps the old one
    f.set_fault({cardsim_flash_fault_e::BOOT_SELECT_LOST});
    EXPECT_EQ(ask(f, OP_BOOT, u32_req(CARDSIM_IMAGE_A)).body[0], 0);
    EXPECT_EQ(f.boot_image(), CARDSIM_IMAGE_B);
    f.set_fault({});

    // an erase by digest records its version in the bank the service works
    // on: the one the card does not run, or the one FIRMWARE_SELECT chose
    f.set_running_image(CARDSIM_IMAGE_A);
    ASSERT_EQ(ask(f, OP_ERASE_HASH, erase_hash_req(P_ZEPHYR, 100, "2.0.1")).body[0], 0);
    EXPECT_EQ(f.version("Zephyr-B"), "2.0.1");
    EXPECT_EQ(f.version("Zephyr-A"), "1.4.0");
    EXPECT_EQ(le_at<uint32_t>(ask(f, OP_SELECT, u32_req(CARDSIM_IMAGE_A)).body, 0), 0u);
    ASSERT_EQ(ask(f, OP_ERASE_HASH, erase_hash_req(P_HALLGARD, 100, "3.1")).body[0], 0);
    auto soc = ask(f, OP_VERSION, u32_req(3)).body;
    ASSERT_EQ(le_at<uint32_t>(soc, 4), 14u);
    EXPECT_EQ(text(soc, 8, 32) + " " + text(soc, 40, 32), "Hallgard-A 3.1");
    EXPECT_EQ(text(soc, 8 + 10 * 64, 32) + " " + text(soc, 8 + 10 * 64 + 32, 32), "Zephyr-B 2.0.1");

    // secure boot refusals the product's tests do not meet: not enrolled, a
    // secure gold image; neither turns it off
    auto secure_boot = [&](uint32_t option) { return le_at<uint32_t>(ask(f, 0x1000b, u32_req(option)).body, 0); };
    EXPECT_EQ(secure_boot(1), 0u);
    f.set_secure(true, true);
    EXPECT_EQ(secure_boot(2), 6u);
    f.set_secure(false, false);
    EXPECT_EQ(secure_boot(2), 100u);
    EXPECT_TRUE(f.secure_boot());
}

TEST(CardsimFlash, FaultsFailEraseMismatchVerifyAndStayInProgress)
{
    cardsim_flash f("ORX26000000");
    f.set_busy_polls(1);
    bytes image = pattern(500, 3);
    auto digest = cardsim_sha512::of(image.data(), image.size());
    ASSERT_TRUE(write_image(f, P_SUC_APP, image, 464));

    // a failing erase goes through "in progress", fails, and keeps the bytes
    f.set_fault({cardsim_flash_fault_e::ERASE_FAILS, P_SUC_APP});
    EXPECT_EQ(poll(f, OP_ERASE, erase_req(P_SUC_APP, 0)).body[0], CARDSIM_FLASH_IO_ERROR);
    EXPECT_EQ(poll(f, OP_ERASE_HASH, erase_hash_req(P_SUC_APP, 500, "9.9")).body[0], CARDSIM_FLASH_IO_ERROR);
    EXPECT_EQ(f.bytes(P_SUC_APP), image);
    EXPECT_EQ(f.version("app_b"), "1.4.0");
    EXPECT_EQ(poll(f, OP_ERASE, erase_req(P_DTB, 0)).body[0], CARDSIM_FLASH_DONE) << "aimed at one partition";

    f.set_fault({cardsim_flash_fault_e::VERIFY_MISMATCH});
    EXPECT_EQ(poll(f, OP_VERIFY, verify_req(P_SUC_APP, image.size(), digest)).body[0], CARDSIM_FLASH_BAD_REQUEST);
    auto sum = poll(f, OP_CHECKSUM, erase_req(P_SUC_APP, image.size())).body;
    EXPECT_EQ(sum[0], 0);
    EXPECT_NE(memcmp(sum.data() + 1, digest.data(), 64), 0);

    // stuck: every polled answer is "in progress", however often asked
    f.set_fault({cardsim_flash_fault_e::STUCK_IN_PROGRESS});
    int asked = 0;
    EXPECT_EQ(poll(f, OP_ERASE, erase_req(P_SUC_APP, 0), 50, &asked).body[0], CARDSIM_FLASH_IN_PROGRESS);
    EXPECT_EQ(asked, 50);
    EXPECT_EQ(f.bytes(P_SUC_APP), image);
    f.set_fault({});
    EXPECT_EQ(poll(f, OP_VERIFY, verify_req(P_SUC_APP, image.size(), digest)).body[0], CARDSIM_FLASH_DONE);

    // start and abort bracket an update; abort drops the pending operations
    EXPECT_EQ(le_at<uint32_t>(ask(f, OP_START, bytes(1, 0)).body, 0), 0u);
    EXPECT_TRUE(f.operation_started());
    EXPECT_EQ(ask(f, OP_ERASE, erase_req(P_SUC_APP, 0)).body[0], CARDSIM_FLASH_IN_PROGRESS);
    EXPECT_EQ(ask(f, OP_WRITE, write_req(P_SUC_APP, 0, image.data(), 16)).body[0], CARDSIM_FLASH_BUSY);
    EXPECT_EQ(le_at<uint32_t>(ask(f, OP_ABORT, bytes(1, 0)).body, 0), 0u);
    EXPECT_FALSE(f.operation_started());
    EXPECT_EQ(ask(f, OP_WRITE, write_req(P_SUC_APP, 0, image.data(), 16)).body[0], CARDSIM_FLASH_DONE);
}

TEST(CardsimFlash, ResetBootsTheStartupImageOrTheNextWholeOneInBootOrder)
{
    const bytes image = pattern(3000, 5);
    const auto digest = cardsim_sha512::of(image.data(), image.size());
    enum damage_e { NONE, HALF_WRITTEN, RECORD_CHANGED, ERASED };
    const struct {
        const char* what;
        uint32_t bank;     // where the new image goes
        damage_e damage;   // what happens to it
        bool erase_other;  // the other main image erased as well
        uint32_t select;   // BOOT_OPS_SET before the reset
        uint32_t runs;     // what the card runs after it
    } cases[] = {
        {"whole image B, selected", 1, NONE, false, CARDSIM_IMAGE_B, CARDSIM_IMAGE_B},
        {"whole image A, selected", 0, NONE, false, CARDSIM_IMAGE_A, CARDSIM_IMAGE_A},
        {"interrupted write falls back to the other main image", 1, HALF_WRITTEN, false, CARDSIM_IMAGE_B,
         CARDSIM_IMAGE_A},
        {"a version record that is not the image's", 0, RECORD_CHANGED, false, CARDSIM_IMAGE_A, CARDSIM_IMAGE_B},
        {"gold selected", 1, NONE, false, CARDSIM_IMAGE_GOLD, CARDSIM_IMAGE_GOLD},
        {"both main images broken boot gold", 1, ERASED, true, CARDSIM_IMAGE_B, CARDSIM_IMAGE_GOLD},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        cardsim_flash f("ORX26000000");
        f.set_busy_polls(0);
        // installed as the host installs it: select the bank, erase announcing
        // digest and version, write (only part of it when interrupted)
        ASSERT_EQ(le_at<uint32_t>(ask(f, OP_SELECT, u32_req(c.bank)).body, 0), 0u);
        ASSERT_EQ(poll(f, OP_ERASE_HASH, erase_hash_req(P_ZEPHYR, image.size(), "7.0.1", 2, digest)).body[0],
                  CARDSIM_FLASH_DONE);
        ASSERT_TRUE(write_image(f, P_ZEPHYR, bytes(image.begin(), image.begin() + (c.damage == HALF_WRITTEN ? 1000 : 3000)), 960));
        if (c.damage == RECORD_CHANGED) {
            f.set_version(c.bank == 0 ? "Zephyr-A" : "Zephyr-B", "7.0.2");
        }
        if (c.damage == ERASED) {
            EXPECT_EQ(poll(f, OP_ERASE, erase_req(P_ZEPHYR, 0)).body[0], 0);
        }
        if (c.erase_other) {
            ASSERT_EQ(le_at<uint32_t>(ask(f, OP_SELECT, u32_req(1 - c.bank)).body, 0), 0u);
            EXPECT_EQ(poll(f, OP_ERASE, erase_req(P_ZEPHYR, 0)).body[0], 0);
        }
        ASSERT_EQ(ask(f, OP_BOOT, u32_req(c.select)).body[0], 0);
        EXPECT_EQ(le_at<uint32_t>(ask(f, OP_START, bytes(1, 0)).body, 0), 0u);
        EXPECT_EQ(f.reset(), c.runs);
        EXPECT_FALSE(f.operation_started()) << "an update does not survive a reboot";
        // running and startup stay apart: the selection persists
        auto info = ask(f, OP_CARD_INFO, bytes(1, 0)).body;
        EXPECT_EQ(info[18], c.runs);
        EXPECT_EQ(info[19], c.select);
        EXPECT_EQ(info[20], c.select == CARDSIM_IMAGE_GOLD ? CARDSIM_IMAGE_A : c.select) << "the SuC's image";
        auto boot = ask(f, OP_STARTUP, u32_req(P_ZEPHYR, c.bank)).body;
        EXPECT_EQ(boot[0], c.damage == NONE || c.damage == RECORD_CHANGED ? CARDSIM_FLASH_DONE : CARDSIM_FLASH_IO_ERROR);
        // STARTUP_IMAGE_VERIFY answers for the image the card starts next
        auto next = poll(f, OP_STARTUP_VERIFY, u32_req(c.select == CARDSIM_IMAGE_GOLD ? 4 : P_ZEPHYR)).body;
        ASSERT_EQ(next.size(), 924u);
        EXPECT_EQ(le_at<uint32_t>(next, 132), c.select);
        if (c.damage == NONE) {
            EXPECT_EQ(text(boot, 1, 64), "7.0.1");
            EXPECT_EQ(text(next, 68, 64), c.select == CARDSIM_IMAGE_GOLD ? "1.4.0" : "7.0.1");
        }
        EXPECT_EQ(f.reset(), c.runs) << "flash persists across resets";
    }

    // nothing whole to boot: the card does not come up, running stays
    cardsim_flash f("ORX26000000");
    f.set_busy_polls(0);
    for (uint32_t part : {P_ZEPHYR, 4u}) {
        for (uint32_t bank : {0u, 1u}) {
            ASSERT_EQ(le_at<uint32_t>(ask(f, OP_SELECT, u32_req(bank)).body, 0), 0u);
            EXPECT_EQ(poll(f, OP_ERASE, erase_req(part, 0)).body[0], 0);
        }
    }
    EXPECT_EQ(f.reset(), CARDSIM_IMAGE_NONE);
    EXPECT_FALSE(f.bootable(CARDSIM_IMAGE_GOLD));
    EXPECT_EQ(f.running_image(), CARDSIM_IMAGE_A);
}

}  // namespace
