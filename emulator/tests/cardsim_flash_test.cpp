// the card's firmware-update service: its SHA-512, the flash model's
// erase/write/verify cycle, boot image selection, the information records,
// its faults, and one update through the real ipc device

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "emulator/cardsim_flash.h"
#include "emulator/cardsim_host.h"
#include "emulator/cardsim_sha512.h"
#include "ipc/ipc_cmd.h"

namespace {

using bytes = std::vector<uint8_t>;

constexpr uint32_t OP_SELECT = 0x10001, OP_ERASE = 0x10002, OP_WRITE = 0x10003, OP_BOOT = 0x10004,
                   OP_CHECKSUM = 0x10005, OP_META = 0x10006, OP_CARD_INFO = 0x10008, OP_PART_INFO = 0x10009,
                   OP_SECTOR_ERASE = 0x1000a, OP_SECURE_BOOT = 0x1000b, OP_SIGNED_META = 0x1000e,
                   OP_VERIFY = 0x1000f, OP_VERSION = 0x10015, OP_ERASE_HASH = 0x10016, OP_STARTUP = 0x10017,
                   OP_ABORT = 0x1001a, OP_START = 0x1001b;
constexpr uint32_t P_SUC_APP = 1, P_HALLGARD = 7, P_ZEPHYR = 10, P_DTB = 11, P_FWCFG = 13;

void put32(bytes& b, size_t at, uint32_t v)
{
    memcpy(b.data() + at, &v, 4);
}
void put64(bytes& b, size_t at, uint64_t v)
{
    memcpy(b.data() + at, &v, 8);
}
uint32_t le32(const bytes& b, size_t at)
{
    uint32_t v;
    memcpy(&v, b.data() + at, 4);
    return v;
}
std::string text(const bytes& b, size_t at, size_t n)
{
    return std::string(reinterpret_cast<const char*>(b.data() + at), strnlen(reinterpret_cast<const char*>(b.data() + at), n));
}

std::string hex(const cardsim_sha512::digest_t& d)
{
    std::string s;
    char two[3];
    for (uint8_t b : d) {
        snprintf(two, sizeof(two), "%02x", b);
        s += two;
    }
    return s;
}

bytes pattern(size_t n, uint32_t seed)
{
    bytes b(n);
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245 + 12345;
        b[i] = static_cast<uint8_t>(seed >> 16);
    }
    return b;
}

// the request records, as the host sends them
bytes erase_req(uint32_t part, uint64_t size)
{
    bytes r(16, 0);
    put32(r, 0, part);
    put64(r, 8, size);
    return r;
}
bytes write_req(uint32_t part, uint64_t offset, const uint8_t* data, size_t n)
{
    bytes r(32 + n, 0);
    put32(r, 0, part);
    put64(r, 8, offset);
    put32(r, 16, static_cast<uint32_t>(n));
    memcpy(r.data() + 32, data, n);
    return r;
}
bytes verify_req(uint32_t part, uint64_t size, const cardsim_sha512::digest_t& d)
{
    bytes r(88, 0);
    put32(r, 0, part);
    put64(r, 8, size);
    put32(r, 16, 2);
    r[20] = 64;
    memcpy(r.data() + 22, d.data(), 64);
    return r;
}
bytes erase_hash_req(uint32_t part, uint64_t size, const std::string& version, uint32_t type = 2)
{
    bytes r(408, 0);
    put32(r, 0, part);
    put64(r, 8, size);
    put32(r, 16, type);
    r[20] = static_cast<uint8_t>(version.size());
    memcpy(r.data() + 85, version.data(), std::min<size_t>(version.size(), 62));
    return r;
}
bytes u32_req(uint32_t a, uint32_t b = 0, size_t size = 4)
{
    bytes r(std::max<size_t>(size, 4), 0);
    put32(r, 0, a);
    if (size >= 8) {
        put32(r, 4, b);
    }
    return r;
}

cardsim_flash_reply_s ask(cardsim_flash& f, uint32_t op, const bytes& req)
{
    return f.handle(op, req.data(), req.size());
}

// asks until the polled operation is no longer in progress, at most `limit` times
cardsim_flash_reply_s poll(cardsim_flash& f, uint32_t op, const bytes& req, int limit, int* asked = nullptr)
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
        if (r.body.size() != 8 || r.body[0] != 0 || le32(r.body, 4) != n) {
            return false;
        }
    }
    return true;
}

TEST(CardsimSha512, MatchesSha512sumAcrossBlockAndPaddingBoundaries)
{
    char path[] = "/tmp/cardsim_sha512_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    for (size_t n : {0, 1, 3, 111, 112, 113, 127, 128, 129, 239, 240, 1000, 200003}) {
        bytes data = n == 3 ? bytes{'a', 'b', 'c'} : pattern(n, static_cast<uint32_t>(n));
        {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        }
        std::string cmd = std::string("sha512sum ") + path;
        FILE* p = popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        char line[256] = {};
        ASSERT_NE(fgets(line, sizeof(line), p), nullptr);
        pclose(p);
        std::string want(line, 128);
        EXPECT_EQ(hex(cardsim_sha512::of(data.data(), data.size())), want) << "length " << n;
        // fed in uneven pieces the digest is the same
        cardsim_sha512 s;
        for (size_t at = 0; at < data.size();) {
            size_t k = std::min<size_t>(data.size() - at, 1 + at % 131);
            s.update(data.data() + at, k);
            at += k;
        }
        EXPECT_EQ(hex(s.finish()), want) << "length " << n << " in pieces";
    }
    unlink(path);
    EXPECT_EQ(hex(cardsim_sha512::of(reinterpret_cast<const uint8_t*>("abc"), 3)).substr(0, 16), "ddaf35a193617aba");
}

TEST(CardsimFlash, EraseWriteVerifyCycle)
{
    cardsim_flash f("ORX26000000");
    bytes image = pattern(1000, 7);
    auto digest = cardsim_sha512::of(image.data(), image.size());

    // an erase answers "in progress" once, then done
    int asked = 0;
    auto r = poll(f, OP_ERASE, erase_req(P_DTB, 0), 10, &asked);
    ASSERT_EQ(r.body.size(), 1u);
    EXPECT_EQ(r.body[0], CARDSIM_FLASH_DONE);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(f.written(P_DTB), 0u);

    // the 960 + 40 chunks the host sends for this partition
    ASSERT_TRUE(write_image(f, P_DTB, image, 960));
    EXPECT_EQ(f.bytes(P_DTB), image);

    r = poll(f, OP_VERIFY, verify_req(P_DTB, image.size(), digest), 10, &asked);
    EXPECT_EQ(r.body[0], CARDSIM_FLASH_DONE);
    EXPECT_EQ(asked, 2);
    auto other = digest;
    other[63] ^= 0x80;
    EXPECT_EQ(poll(f, OP_VERIFY, verify_req(P_DTB, image.size(), other), 10).body[0], CARDSIM_FLASH_BAD_REQUEST);

    // the checksum gives the raw digest after the status byte; the startup
    // checksum finds no image there, as no erase by digest announced one
    r = poll(f, OP_CHECKSUM, erase_req(P_DTB, image.size()), 10);
    ASSERT_EQ(r.body.size(), 65u);
    EXPECT_EQ(r.body[0], 0);
    EXPECT_EQ(memcmp(r.body.data() + 1, digest.data(), 64), 0);
    r = poll(f, OP_STARTUP, u32_req(P_DTB, CARDSIM_IMAGE_B, 8), 10);
    ASSERT_EQ(r.body.size(), 65u);
    EXPECT_EQ(r.body[0], CARDSIM_FLASH_IO_ERROR);

    // writing over an image without erasing only clears bits: the verify fails
    bytes ones(16, 0x0f);
    ASSERT_TRUE(write_image(f, P_DTB, ones, 16));
    EXPECT_NE(poll(f, OP_VERIFY, verify_req(P_DTB, image.size(), digest), 10).body[0], CARDSIM_FLASH_DONE);
    EXPECT_EQ(f.bytes(P_DTB)[0], image[0] & 0x0f);

    // while an erase is in progress the partition refuses writes
    f.set_busy_polls(3);
    EXPECT_EQ(ask(f, OP_ERASE, erase_req(P_DTB, 0)).body[0], CARDSIM_FLASH_IN_PROGRESS);
    EXPECT_EQ(ask(f, OP_WRITE, write_req(P_DTB, 0, image.data(), 16)).body[0], CARDSIM_FLASH_BUSY);
    EXPECT_EQ(poll(f, OP_ERASE, erase_req(P_DTB, 0), 10, &asked).body[0], CARDSIM_FLASH_DONE);
    EXPECT_EQ(asked, 3);
    EXPECT_TRUE(f.bytes(P_DTB).empty());

    // a sector erase clears whole sectors at once
    f.set_busy_polls(0);
    bytes big = pattern(3 * CARDSIM_FLASH_SECTOR, 9);
    ASSERT_TRUE(write_image(f, P_SUC_APP, big, 464));
    bytes sector(168, 0);
    put32(sector, 0, P_SUC_APP);
    put64(sector, 8, CARDSIM_FLASH_SECTOR);
    put64(sector, 16, CARDSIM_FLASH_SECTOR);
    EXPECT_EQ(ask(f, OP_SECTOR_ERASE, sector).body[0], CARDSIM_FLASH_DONE);
    bytes now = f.bytes(P_SUC_APP);
    ASSERT_EQ(now.size(), big.size());
    EXPECT_EQ(now[CARDSIM_FLASH_SECTOR - 1], big[CARDSIM_FLASH_SECTOR - 1]);
    EXPECT_EQ(now[CARDSIM_FLASH_SECTOR], 0xff);
    EXPECT_EQ(now[2 * CARDSIM_FLASH_SECTOR], big[2 * CARDSIM_FLASH_SECTOR]);
    put64(sector, 8, 100);  // not on a sector
    EXPECT_EQ(ask(f, OP_SECTOR_ERASE, sector).body[0], CARDSIM_FLASH_BAD_REQUEST);
}

TEST(CardsimFlash, BadRequestsAreRefusedWithAStatus)
{
    cardsim_flash f("ORX26000000");
    f.set_busy_polls(0);
    uint8_t data[16] = {};
    // partition 21, past the end, a length that disagrees with the body, short records
    EXPECT_EQ(ask(f, OP_ERASE, erase_req(21, 0)).body[0], CARDSIM_FLASH_BAD_REQUEST);
    EXPECT_EQ(ask(f, OP_ERASE, erase_req(P_DTB, f.partition_size(P_DTB) + 1)).body[0], CARDSIM_FLASH_BAD_REQUEST);
    EXPECT_EQ(ask(f, OP_WRITE, write_req(P_DTB, f.partition_size(P_DTB) - 8, data, 16)).body[0],
              CARDSIM_FLASH_BAD_REQUEST);
    bytes lying = write_req(P_DTB, 0, data, 16);
    put32(lying, 16, 17);
    EXPECT_EQ(ask(f, OP_WRITE, lying).body[0], CARDSIM_FLASH_BAD_REQUEST);
    EXPECT_EQ(ask(f, OP_WRITE, bytes(8, 0)).body[0], CARDSIM_FLASH_BAD_REQUEST);
    EXPECT_EQ(f.written(P_DTB), 0u);
    auto none = f.handle(OP_VERIFY, nullptr, 0);
    ASSERT_EQ(none.body.size(), 1u);
    EXPECT_EQ(none.body[0], CARDSIM_FLASH_BAD_REQUEST);
    auto d = cardsim_sha512::of(data, 0);
    bytes sha256 = verify_req(P_DTB, 0, d);
    put32(sha256, 16, 1);
    EXPECT_EQ(ask(f, OP_VERIFY, sha256).body[0], CARDSIM_FLASH_BAD_REQUEST);
    // erase by digest: only SHA-512, versions up to 62 characters
    EXPECT_EQ(ask(f, OP_ERASE_HASH, erase_hash_req(P_ZEPHYR, 100, "1.0", 1)).body[0], CARDSIM_FLASH_BAD_REQUEST);
    bytes long_version = erase_hash_req(P_ZEPHYR, 100, "x");
    long_version[20] = 63;
    EXPECT_EQ(ask(f, OP_ERASE_HASH, long_version).body[0], CARDSIM_FLASH_BAD_REQUEST);
    EXPECT_EQ(ask(f, OP_ERASE_HASH, erase_hash_req(P_ZEPHYR, 100, std::string(62, 'v'))).body[0], CARDSIM_FLASH_DONE);
    // boot images 0..2, firmware select 0..1
    EXPECT_EQ(ask(f, OP_BOOT, u32_req(3)).body[0], CARDSIM_FLASH_BAD_REQUEST);
    EXPECT_EQ(le32(ask(f, OP_SELECT, u32_req(2)).body, 0), CARDSIM_FLASH_BAD_REQUEST);
    EXPECT_EQ(f.boot_image(), CARDSIM_IMAGE_A);
    // an opcode the service does not have
    auto unknown = ask(f, 0x10019, bytes(4, 0));
    EXPECT_EQ(unknown.fw_errno, 95u);
    EXPECT_TRUE(unknown.body.empty());
    EXPECT_EQ(cardsim_flash::response_size(0x10019), 0u);
    EXPECT_EQ(cardsim_flash::response_size(OP_CARD_INFO), 353u);
}

TEST(CardsimFlash, BootSelectionCardAndVersionInformation)
{
    cardsim_flash f("ORX26000042");
    f.set_busy_polls(0);
    f.set_board_id(0x00020003);

    auto info = ask(f, OP_CARD_INFO, bytes(1, 0)).body;
    ASSERT_EQ(info.size(), 353u);
    EXPECT_EQ(le32(info, 8), 0x00020003u);
    EXPECT_EQ(info[12], 0);  // talmira
    EXPECT_EQ(info[18], CARDSIM_IMAGE_A);
    EXPECT_EQ(info[19], CARDSIM_IMAGE_A);
    EXPECT_EQ(text(info, 64, 32), "ORX26000042");

    EXPECT_EQ(ask(f, OP_BOOT, u32_req(CARDSIM_IMAGE_B)).body[0], 0);
    EXPECT_EQ(f.boot_image(), CARDSIM_IMAGE_B);
    EXPECT_EQ(ask(f, OP_CARD_INFO, bytes(1, 0)).body[19], CARDSIM_IMAGE_B);
    // a card that loses its boot selection says done and keeps the old one
    f.set_fault({cardsim_flash_fault_e::BOOT_SELECT_LOST});
    EXPECT_EQ(ask(f, OP_BOOT, u32_req(CARDSIM_IMAGE_A)).body[0], 0);
    EXPECT_EQ(f.boot_image(), CARDSIM_IMAGE_B);
    f.set_fault({});
    f.set_running_image(CARDSIM_IMAGE_GOLD);
    info = ask(f, OP_CARD_INFO, bytes(1, 0)).body;
    EXPECT_EQ(info[18], CARDSIM_IMAGE_GOLD);

    // an erase by digest records its version in the bank the service works
    // on: the one the card does not run, or the one FIRMWARE_SELECT chose
    f.set_running_image(CARDSIM_IMAGE_A);
    ASSERT_EQ(ask(f, OP_ERASE_HASH, erase_hash_req(P_ZEPHYR, 100, "2.0.1")).body[0], 0);
    EXPECT_EQ(f.version("Zephyr-B"), "2.0.1");
    EXPECT_EQ(f.version("Zephyr-A"), "1.4.0");
    EXPECT_EQ(le32(ask(f, OP_SELECT, u32_req(CARDSIM_IMAGE_A)).body, 0), 0u);
    ASSERT_EQ(ask(f, OP_ERASE_HASH, erase_hash_req(P_HALLGARD, 100, "3.1")).body[0], 0);
    EXPECT_EQ(f.version("Hallgard-A"), "3.1");

    auto soc = ask(f, OP_VERSION, u32_req(3)).body;
    ASSERT_EQ(soc.size(), 904u);
    ASSERT_EQ(le32(soc, 4), 14u);
    EXPECT_EQ(text(soc, 8, 32), "Hallgard-A");
    EXPECT_EQ(text(soc, 40, 32), "3.1");
    EXPECT_EQ(text(soc, 8 + 10 * 64, 32), "Zephyr-B");
    EXPECT_EQ(text(soc, 8 + 10 * 64 + 32, 32), "2.0.1");
    EXPECT_EQ(le32(ask(f, OP_VERSION, u32_req(0)).body, 4), 4u);
    EXPECT_EQ(le32(ask(f, OP_VERSION, u32_req(2)).body, 4), 5u);
    EXPECT_EQ(ask(f, OP_VERSION, u32_req(4)).body[0], CARDSIM_FLASH_BAD_REQUEST);

    // metadata of the device config; none for the firmware config
    auto meta = ask(f, OP_META, u32_req(P_DTB, 0, 8)).body;
    ASSERT_EQ(meta.size(), 1000u);
    EXPECT_EQ(meta[0], 0);
    EXPECT_EQ(text(meta, 8, 64), "device_config");
    EXPECT_EQ(ask(f, OP_META, u32_req(P_FWCFG, 0, 8)).body[0], CARDSIM_FLASH_UNSUPPORTED);

    // partition information: all of them, or one
    auto all = ask(f, OP_PART_INFO, u32_req(0, 0, 8)).body;
    ASSERT_EQ(all.size(), 1016u);
    EXPECT_EQ(le32(all, 4), 21u);
    EXPECT_EQ(all[8 + 48 * 20], 20);
    auto one = ask(f, OP_PART_INFO, u32_req(P_ZEPHYR, 1, 8)).body;
    ASSERT_EQ(one.size(), 158u);
    EXPECT_EQ(one[8], P_ZEPHYR);
    uint64_t size;
    memcpy(&size, one.data() + 16, 8);
    EXPECT_EQ(size, f.partition_size(P_ZEPHYR));

    // signed metadata names the signing key
    auto sig = ask(f, OP_SIGNED_META, u32_req(P_ZEPHYR)).body;
    ASSERT_EQ(sig.size(), 864u);
    EXPECT_NE(text(sig, 8, 856).find("\"key_name\": \"eng\""), std::string::npos);
    EXPECT_EQ(le32(ask(f, OP_SIGNED_META, u32_req(P_DTB)).body, 0), CARDSIM_FLASH_UNSUPPORTED);

    // secure boot: enable, refused disables, not enrolled
    EXPECT_EQ(le32(ask(f, OP_SECURE_BOOT, u32_req(1, 0, 904)).body, 0), 0u);
    EXPECT_TRUE(f.secure_boot());
    f.set_lifecycle(cardsim_lcs_e::PROD);
    EXPECT_EQ(le32(ask(f, OP_SECURE_BOOT, u32_req(2, 0, 904)).body, 0), 101u);
    f.set_lifecycle(cardsim_lcs_e::OPEN);
    f.set_secure(true, true);
    EXPECT_EQ(le32(ask(f, OP_SECURE_BOOT, u32_req(2, 0, 904)).body, 0), 6u);
    f.set_secure(false, false);
    EXPECT_EQ(le32(ask(f, OP_SECURE_BOOT, u32_req(1, 0, 904)).body, 0), 100u);
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
    EXPECT_EQ(poll(f, OP_ERASE, erase_req(P_SUC_APP, 0), 10).body[0], CARDSIM_FLASH_IO_ERROR);
    EXPECT_EQ(poll(f, OP_ERASE_HASH, erase_hash_req(P_SUC_APP, 500, "9.9"), 10).body[0], CARDSIM_FLASH_IO_ERROR);
    EXPECT_EQ(f.bytes(P_SUC_APP), image);
    EXPECT_EQ(f.version("app_b"), "1.4.0");
    // aimed at one partition, others erase
    EXPECT_EQ(poll(f, OP_ERASE, erase_req(P_DTB, 0), 10).body[0], CARDSIM_FLASH_DONE);

    f.set_fault({cardsim_flash_fault_e::VERIFY_MISMATCH});
    EXPECT_EQ(poll(f, OP_VERIFY, verify_req(P_SUC_APP, image.size(), digest), 10).body[0], CARDSIM_FLASH_BAD_REQUEST);
    auto sum = poll(f, OP_CHECKSUM, erase_req(P_SUC_APP, image.size()), 10).body;
    EXPECT_EQ(sum[0], 0);
    EXPECT_NE(memcmp(sum.data() + 1, digest.data(), 64), 0);
    f.set_fault({});
    EXPECT_EQ(poll(f, OP_VERIFY, verify_req(P_SUC_APP, image.size(), digest), 10).body[0], CARDSIM_FLASH_DONE);

    // stuck: every polled answer is "in progress", however often asked
    f.set_fault({cardsim_flash_fault_e::STUCK_IN_PROGRESS});
    int asked = 0;
    EXPECT_EQ(poll(f, OP_ERASE, erase_req(P_SUC_APP, 0), 50, &asked).body[0], CARDSIM_FLASH_IN_PROGRESS);
    EXPECT_EQ(asked, 50);
    EXPECT_EQ(poll(f, OP_VERIFY, verify_req(P_SUC_APP, image.size(), digest), 50).body[0], CARDSIM_FLASH_IN_PROGRESS);
    EXPECT_EQ(f.bytes(P_SUC_APP), image);
    f.set_fault({});

    // start and abort bracket an update; abort drops the pending operations
    EXPECT_EQ(le32(ask(f, OP_START, bytes(1, 0)).body, 0), 0u);
    EXPECT_TRUE(f.operation_started());
    EXPECT_EQ(ask(f, OP_ERASE, erase_req(P_SUC_APP, 0)).body[0], CARDSIM_FLASH_IN_PROGRESS);
    EXPECT_EQ(ask(f, OP_WRITE, write_req(P_SUC_APP, 0, image.data(), 16)).body[0], CARDSIM_FLASH_BUSY);
    EXPECT_EQ(le32(ask(f, OP_ABORT, bytes(1, 0)).body, 0), 0u);
    EXPECT_FALSE(f.operation_started());
    EXPECT_EQ(ask(f, OP_WRITE, write_req(P_SUC_APP, 0, image.data(), 16)).body[0], CARDSIM_FLASH_DONE);
}

// an image into one bank of a partition as the host installs it: select the
// bank, erase announcing digest and version, write (only `keep` bytes of it)
void install(cardsim_flash& f, uint32_t bank, uint32_t part, const bytes& image, const std::string& version,
             size_t keep = SIZE_MAX)
{
    ASSERT_EQ(le32(ask(f, OP_SELECT, u32_req(bank)).body, 0), 0u);
    bytes req = erase_hash_req(part, image.size(), version);
    auto d = cardsim_sha512::of(image.data(), image.size());
    memcpy(req.data() + 21, d.data(), 64);
    ASSERT_EQ(poll(f, OP_ERASE_HASH, req, 10).body[0], CARDSIM_FLASH_DONE);
    ASSERT_TRUE(write_image(f, part, bytes(image.begin(), image.begin() + std::min(keep, image.size())), 960));
}

TEST(CardsimFlash, ResetBootsTheStartupImageOrTheNextWholeOneInBootOrder)
{
    const bytes image = pattern(3000, 5);
    enum damage_e { NONE, HALF_WRITTEN, RECORD_CHANGED, ERASED };
    struct case_s {
        const char* what;
        uint32_t bank;         // where the new image goes
        damage_e damage;       // what happens to it
        bool erase_other;      // the other main image erased as well
        uint32_t select;       // BOOT_OPS_SET before the reset
        uint32_t runs;         // what the card runs after it
    };
    const case_s cases[] = {
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
        install(f, c.bank, P_ZEPHYR, image, "7.0.1", c.damage == HALF_WRITTEN ? 1000 : SIZE_MAX);
        if (c.damage == RECORD_CHANGED) {
            f.set_version(c.bank == 0 ? "Zephyr-A" : "Zephyr-B", "7.0.2");
        }
        if (c.damage == ERASED) {
            EXPECT_EQ(poll(f, OP_ERASE, erase_req(P_ZEPHYR, 0), 10).body[0], 0);
        }
        if (c.erase_other) {
            ASSERT_EQ(le32(ask(f, OP_SELECT, u32_req(1 - c.bank)).body, 0), 0u);
            EXPECT_EQ(poll(f, OP_ERASE, erase_req(P_ZEPHYR, 0), 10).body[0], 0);
        }
        ASSERT_EQ(ask(f, OP_BOOT, u32_req(c.select)).body[0], 0);
        EXPECT_EQ(le32(ask(f, OP_START, bytes(1, 0)).body, 0), 0u);
        EXPECT_EQ(f.reset(), c.runs);
        EXPECT_FALSE(f.operation_started()) << "an update does not survive a reboot";
        // running and startup stay apart: the selection persists
        auto info = ask(f, OP_CARD_INFO, bytes(1, 0)).body;
        EXPECT_EQ(info[18], c.runs);
        EXPECT_EQ(info[19], c.select);
        EXPECT_EQ(info[20], c.select == CARDSIM_IMAGE_GOLD ? CARDSIM_IMAGE_A : c.select) << "the SuC's image";
        EXPECT_EQ(f.boot_image(), c.select);
        auto boot = ask(f, OP_STARTUP, u32_req(P_ZEPHYR, c.bank, 8)).body;
        EXPECT_EQ(boot[0], c.damage == NONE || c.damage == RECORD_CHANGED ? CARDSIM_FLASH_DONE : CARDSIM_FLASH_IO_ERROR);
        // STARTUP_IMAGE_VERIFY answers for the image the card starts next
        auto next = poll(f, 0x10007, u32_req(c.select == CARDSIM_IMAGE_GOLD ? 4 : P_ZEPHYR), 10).body;
        ASSERT_EQ(next.size(), 924u);
        EXPECT_EQ(le32(next, 132), c.select);
        if (c.damage == NONE) {
            EXPECT_EQ(text(boot, 1, 64), "7.0.1");
            EXPECT_EQ(next[0], CARDSIM_FLASH_DONE);
            EXPECT_EQ(text(next, 68, 64), c.select == CARDSIM_IMAGE_GOLD ? "1.4.0" : "7.0.1");
        }
        // flash persists across resets: a second one boots the same
        EXPECT_EQ(f.reset(), c.runs);
    }

    // nothing whole to boot: the card does not come up, running stays
    cardsim_flash f("ORX26000000");
    f.set_busy_polls(0);
    for (uint32_t part : {P_ZEPHYR, 4u}) {
        for (uint32_t bank : {0u, 1u}) {
            ASSERT_EQ(le32(ask(f, OP_SELECT, u32_req(bank)).body, 0), 0u);
            EXPECT_EQ(poll(f, OP_ERASE, erase_req(part, 0), 10).body[0], 0);
        }
    }
    EXPECT_EQ(f.reset(), CARDSIM_IMAGE_NONE);
    EXPECT_FALSE(f.bootable(CARDSIM_IMAGE_GOLD));
    EXPECT_EQ(f.running_image(), CARDSIM_IMAGE_A);
}

// the host side of one exchange over the ipc device
struct ipc_client_s {
    ipc_cmd_dev_s dev;
    uint32_t fw_errno = 0;
    ssize_t send(uint32_t op, const bytes& req, bytes& rsp, size_t cap)
    {
        rsp.assign(cap, 0);
        iovec in{const_cast<uint8_t*>(req.data()), req.size()}, out{rsp.data(), rsp.size()};
        ssize_t n = ipc_cmd_send_req_v(&dev, CARDSIM_EP_FWUPDATE, op, &in, 1, &out, 1, &fw_errno);
        if (n >= 0) {
            rsp.resize(static_cast<size_t>(n));
        }
        return n;
    }
};

TEST(CardsimFlashEmulated, UpdateThroughTheIpcDevice)
{
    cardsim_host host({2, {}, 0});
    ASSERT_TRUE(host.ok()) << host.error();
    ipc_cmd_set_rsp_timeout_ms(2000);
    ipc_client_s c;
    ASSERT_EQ(ipc_cmd_dev_open2(&c.dev, host.card(1).ipc_devnode.c_str()), 0);

    bytes image = pattern(1000, 11);
    auto digest = cardsim_sha512::of(image.data(), image.size());
    bytes rsp;
    int asked = 0;
    do {
        ASSERT_EQ(c.send(OP_ERASE_HASH, erase_hash_req(P_DTB, image.size(), "5.6.7"), rsp, 1), 1);
        ASSERT_EQ(c.fw_errno, 0u);
    } while (rsp[0] == CARDSIM_FLASH_IN_PROGRESS && ++asked < 10);
    ASSERT_EQ(rsp[0], CARDSIM_FLASH_DONE);
    for (size_t off = 0; off < image.size(); off += 960) {
        size_t n = std::min<size_t>(960, image.size() - off);
        ASSERT_EQ(c.send(OP_WRITE, write_req(P_DTB, off, image.data() + off, n), rsp, 8), 8);
        EXPECT_EQ(rsp[0], 0);
        EXPECT_EQ(le32(rsp, 4), n);
    }
    asked = 0;
    do {
        ASSERT_EQ(c.send(OP_VERIFY, verify_req(P_DTB, image.size(), digest), rsp, 1), 1);
    } while (rsp[0] == CARDSIM_FLASH_IN_PROGRESS && ++asked < 10);
    EXPECT_EQ(rsp[0], CARDSIM_FLASH_DONE);
    ASSERT_EQ(c.send(OP_BOOT, u32_req(CARDSIM_IMAGE_B), rsp, 1), 1);
    EXPECT_EQ(rsp[0], 0);

    // what the card holds, and only on the card it went to
    EXPECT_EQ(host.partition_bytes(1, P_DTB), image);
    EXPECT_EQ(host.boot_image(1), CARDSIM_IMAGE_B);
    EXPECT_EQ(host.flash(1).version("DTB-B"), "5.6.7");
    EXPECT_TRUE(host.partition_bytes(0, P_DTB).empty());
    EXPECT_EQ(host.boot_image(0), CARDSIM_IMAGE_A);

    // the card information record arrives whole
    ASSERT_EQ(c.send(OP_CARD_INFO, bytes(1, 0), rsp, 353), 353);
    EXPECT_EQ(text(rsp, 64, 32), host.card(1).serial);
    EXPECT_EQ(rsp[19], CARDSIM_IMAGE_B);

    // flash faults set through the host reach the ipc answers
    host.set_flash_fault(1, {cardsim_flash_fault_e::ERASE_FAILS});
    asked = 0;
    do {
        ASSERT_EQ(c.send(OP_ERASE, erase_req(P_DTB, 0), rsp, 1), 1);
    } while (rsp[0] == CARDSIM_FLASH_IN_PROGRESS && ++asked < 10);
    EXPECT_EQ(rsp[0], CARDSIM_FLASH_IO_ERROR);
    EXPECT_EQ(host.partition_bytes(1, P_DTB), image);
    host.clear_flash_fault(1);

    // the transport faults apply to endpoint 12 as to every other
    host.set_fault(1, {cardsim_fault_e::FW_ERRNO, 5, CARDSIM_EP_FWUPDATE, OP_CARD_INFO});
    ASSERT_EQ(c.send(OP_CARD_INFO, bytes(1, 0), rsp, 353), 353);
    EXPECT_EQ(c.fw_errno, 5u);
    host.set_fault(1, {cardsim_fault_e::SHORT_BODY, 10, CARDSIM_EP_FWUPDATE, OP_CARD_INFO});
    EXPECT_EQ(c.send(OP_CARD_INFO, bytes(1, 0), rsp, 353), 10);
    host.clear_fault(1);
    // an opcode the service lacks answers firmware errno 95 with no body
    EXPECT_EQ(c.send(0x10019, bytes(4, 0), rsp, 16), 0);
    EXPECT_EQ(c.fw_errno, 95u);
    ipc_cmd_dev_close(&c.dev);
}

}  // namespace
