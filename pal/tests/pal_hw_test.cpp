// the host hardware variant on an emulated host beyond the checks every
// variant runs: binding threads to cards (by address, by the environment,
// the resource header), then on one card loads and stores of every width in
// the mapped windows, translation, and recording accesses and playing them
// back

#include <atomic>
#include <cstring>
#include <numeric>

#include "ipc/nic_ipc.h"
#include "pal/pal.h"
#include "pal/pal_mem.h"
#include "pal/pal_rw_dump.h"
#include "pal/tests/pal_test_support.h"

namespace {

using namespace sdk::lib;
namespace platform = sdk::platform;

constexpr uint64_t k_reg_end = CARDSIM_REG_BASE + CARDSIM_REG_SIZE;
constexpr uint64_t k_mem_end = CARDSIM_MEM_BASE + CARDSIM_MEM_SIZE;

// an emulated host of `cards` cards and the host variant installed
class PalHw : public pal_host_test {
protected:
    void start(size_t cards)
    {
        pal_host_test::start(cards);
        ASSERT_EQ(pal_init(platform::PLATFORM_TYPE_HW, nullptr), PAL_RET_OK);
    }
};

// the 16-bit pci command word of a card's resource function
uint16_t rsc_command_word(const cardsim_host& host, size_t card)
{
    return le_at<uint16_t>(test_read_file(host.sysfs_dir(host.card(card).rsc_bdf) + "/config"), 4);
}

uint64_t mem_u64(uint64_t pa)
{
    uint64_t v = 0;
    EXPECT_EQ(pal_mem_read(pa, reinterpret_cast<uint8_t*>(&v), 8, 0), PAL_RET_OK);
    return v;
}

pal_ret_t rw_ctrl(uint32_t op, const char* arg = nullptr, const char* arg2 = nullptr)
{
    pal_reg_rw_ctrl_s ctrl{op, arg, arg2};
    return pal_reg_rw_ctrl(&ctrl);
}

TEST_F(PalHw, EachThreadBindsToItsOwnCardByAddressEnvironmentAndHeader)
{
    start(3);
    EXPECT_EQ(rsc_command_word(*host_, 0), 0x0006) << "the emulator starts with bus mastering on";
    card_window hdr(*host_, 0, "resource4");
    ASSERT_TRUE(hdr.ok());
    hdr.put<uint32_t>(PALX86_HDR_OFF_SUB_ASIC, 3);
    pal_on_thread([&] {
        EXPECT_EQ(palx86_ctx().initialised, 0u) << "a new thread starts unbound";
        ASSERT_EQ(pal_hw_x86_init(card_bdf(0).c_str()), 0);
        const palx86_ctx_s& ctx = palx86_ctx();
        EXPECT_EQ(ctx.card_bdf, card_bdf(0));
        EXPECT_EQ(
            std::vector<uint64_t>({ctx.regs.base, ctx.regs.size, ctx.mem.base, ctx.hdr.size, pal_mem_get_phys_totalsize()}),
            std::vector<uint64_t>({CARDSIM_REG_BASE, CARDSIM_REG_SIZE, CARDSIM_MEM_BASE, CARDSIM_HDR_SIZE, CARDSIM_MEM_SIZE}));
        EXPECT_EQ(pal_pmem_va(), reinterpret_cast<uintptr_t>(ctx.hdr.va));
        EXPECT_EQ(pal_get_sub_asic(), 3);
        // bound once: a later call for another card keeps the first binding
        EXPECT_EQ(pal_hw_x86_init(card_bdf(1).c_str()), 0);
        EXPECT_EQ(palx86_ctx().card_bdf, card_bdf(0));
    });
    // memory decoding on, everything else (bus mastering too) off
    EXPECT_EQ(rsc_command_word(*host_, 0), 0x0002);
    EXPECT_EQ(rsc_command_word(*host_, 1), 0x0006) << "the other card is left alone";

    // addresses that are not a card's are refused, and leave the thread unbound
    const std::string rsc0 = host_->card(0).rsc_bdf, long_name(200, 'x');
    for (const char* bad : {"0000:99:00.0", host_->card(0).root_port_bdf.c_str(), rsc0.c_str(), "", "../../../etc",
                            "0000:21:00.0; touch /tmp/pal_hw_test_pwned", long_name.c_str(),
                            static_cast<const char*>(nullptr)}) {
        pal_on_thread([&] {
            SCOPED_TRACE(bad ? bad : "null");
            EXPECT_LT(pal_hw_x86_init(bad), 0);
            EXPECT_EQ(palx86_init_with_rsc_bdf(bad == rsc0.c_str() ? "a\nb" : bad), -1);
            EXPECT_EQ(palx86_ctx().initialised, 0u);
        });
    }
    EXPECT_NE(access("/tmp/pal_hw_test_pwned", F_OK), 0);

    // the resource function's own address binds too, to its own card
    host_->set_counter(0, CARDSIM_PORT_REGION, 100);
    host_->set_counter(1, CARDSIM_PORT_REGION, 101);
    pal_on_thread([&] {
        ASSERT_EQ(palx86_init_with_rsc_bdf(host_->card(1).rsc_bdf.c_str()), 0);
        EXPECT_EQ(mem_u64(CARDSIM_PORT_REGION), 101u);
    });

    // an unbound thread binds by the environment on first use
    host_->set_counter(0, CARDSIM_PORT_REGION + 8, 1000);
    host_->set_counter(1, CARDSIM_PORT_REGION + 8, 2000);
    struct case_s {
        const char* uuid_serial;  // PAL_CARD_UUID from this serial ("" for a text that is no uuid)
        std::string resdev;       // PAL_RESDEV_BDF
        uint64_t want;            // the counter read; all ones when no card binds
    };
    const std::vector<case_s> cases = {
        {nullptr, host_->card(1).rsc_bdf.substr(5), 2000},  // the resource function without its domain
        {host_->card(0).serial.c_str(), host_->card(1).rsc_bdf.substr(5), 1000},  // the uuid first
        {host_->card(1).serial.c_str(), "", 2000},
        {nullptr, "", 1000},  // neither: the first resource function on the bus
        {"NOSUCHCARD", "", UINT64_MAX},
        {"", "", UINT64_MAX},
        {nullptr, "99:00.0", UINT64_MAX},
        {nullptr, "../../..", UINT64_MAX},
    };
    for (const case_s& c : cases) {
        SCOPED_TRACE(std::string(c.uuid_serial ? c.uuid_serial : "-") + " " + c.resdev);
        if (c.uuid_serial) {
            setenv("PAL_CARD_UUID", *c.uuid_serial ? nic_ipc_uuid_from_serial(c.uuid_serial).c_str() : "not-a-uuid", 1);
        }
        if (!c.resdev.empty()) {
            setenv("PAL_RESDEV_BDF", c.resdev.c_str(), 1);
        }
        const bool binds = c.want != UINT64_MAX;
        pal_on_thread([&] {
            EXPECT_EQ(pal_mem_ptov(CARDSIM_MEM_BASE) != 0, binds);
            EXPECT_EQ(mem_u64(CARDSIM_PORT_REGION + 8), c.want);
            EXPECT_EQ(palx86_ctx().initialised, binds ? 1u : 0u);
            if (!binds) {
                // every translation fails and every read is all ones
                EXPECT_EQ(pal_pmem_va(), 0u);
                EXPECT_EQ(pal_mem_get_phys_totalsize(), 0u);
                EXPECT_EQ(pal_reg_rd32(CARDSIM_REG_BASE), 0xFFFFFFFFu);
                EXPECT_EQ(pal_get_sub_asic(), 0) << "the table entry answers as the plain function";
            }
        });
        unsetenv("PAL_CARD_UUID");
        unsetenv("PAL_RESDEV_BDF");
    }

    // a missing or bad header refuses the binding and keeps no window
    auto rsc = [&](size_t i, const char* name) { return host_->sysfs_dir(host_->card(i).rsc_bdf) + "/" + name; };
    auto mapped = [&](size_t i) {
        return test_count(test_read_file("/proc/self/maps"), host_->sysfs_dir(host_->card(i).rsc_bdf));
    };
    auto expect_binding = [&](size_t i, bool accepted, const char* why) {
        size_t before = mapped(i);
        pal_on_thread([&] {
            EXPECT_EQ(pal_hw_x86_init(card_bdf(i).c_str()) == 0, accepted) << why;
            EXPECT_EQ(palx86_ctx().initialised, accepted ? 1u : 0u) << why;
            if (!accepted && i == 0) {  // still unbound: binding again by the bus finds the same card
                EXPECT_EQ(mem_u64(CARDSIM_PORT_REGION), UINT64_MAX) << why;
            }
        });
        EXPECT_TRUE(accepted || mapped(i) == before) << why << ": a failed binding keeps no window";
    };
    // only a wrong magic with no version is refused
    const struct {
        uint32_t magic, version;
        bool accepted;
        const char* why;
    } header_cases[] = {{0, 0, false, "neither magic nor version"},
                        {0x78616c70, 0, false, "a byte-swapped magic with no version"},
                        {0x78616c70, 1, true, "a wrong magic with a version"},
                        {PALX86_HDR_MAGIC, 0, true, "the magic with no version"}};
    for (const auto& c : header_cases) {
        hdr.put<uint32_t>(PALX86_HDR_OFF_MAGIC, c.magic);
        hdr.put<uint32_t>(PALX86_HDR_OFF_VERSION, c.version);
        expect_binding(0, c.accepted, c.why);
    }
    // a header too short for its fields, an empty one, none at all
    for (off_t size : {16, 0}) {
        ASSERT_EQ(truncate(rsc(2, "resource4").c_str(), size), 0);
        expect_binding(2, false, size ? "a 16-byte header" : "an empty header");
    }
    ASSERT_EQ(unlink(rsc(2, "resource4").c_str()), 0);
    expect_binding(2, false, "no header");
    // the other windows must be there too
    for (const char* window : {"resource2", "resource0"}) {
        ASSERT_EQ(rename(rsc(1, window).c_str(), (rsc(1, window) + ".away").c_str()), 0);
        expect_binding(1, false, window);
        ASSERT_EQ(rename((rsc(1, window) + ".away").c_str(), rsc(1, window).c_str()), 0);
    }
    expect_binding(1, true, "an intact card");
}

TEST_F(PalHw, LoadsStoresTranslationRecordingAndReplayInTheWindows)
{
    start(1);
    card_window regs(*host_, 0, "resource0"), mem(*host_, 0, "resource2");
    ASSERT_TRUE(regs.ok() && mem.ok());
    const uint64_t r = CARDSIM_REG_BASE;
    on_card([&] {
        // the widths no table entry uses: a byte store touches only its
        // byte, loads of every width see what the card holds
        pal_reg_wr8(r + 0x11, 0xa5);
        EXPECT_EQ(regs.get<uint32_t>(0x10), 0x0000a500u);
        regs.put<uint64_t>(0x88, 0x0102030405060708);
        EXPECT_EQ(pal_reg_rd8(r + 0x8f), 0x01);
        EXPECT_EQ(pal_reg_rd16(r + 0x8c), 0x0304);
        EXPECT_EQ(pal_reg_rd32(r + 0x8c), 0x01020304u);
        EXPECT_EQ(pal_reg_rd64(r + 0x88), 0x0102030405060708u);
        // 64-bit values as two words, low word first; an empty block reads nothing
        pal_reg_wr64_safe(r + 0x300, 0xaaaabbbbccccdddd);
        EXPECT_EQ(regs.get<uint32_t>(0x300), 0xccccddddu);
        EXPECT_EQ(pal_reg_rd64_safe(r + 0x300), 0xaaaabbbbccccddddu);
        uint32_t untouched = 0x55;
        pal_reg_rd32w(r + 0x300, &untouched, 0);
        EXPECT_EQ(untouched, 0x55u);

        // single accesses outside the window or misaligned: all ones, nothing stored
        auto regs_before = regs.snapshot(), mem_before = mem.snapshot();
        for (uint64_t pa : {uint64_t(0), r - 4, k_reg_end, CARDSIM_MEM_BASE, UINT64_MAX - 3}) {
            EXPECT_EQ((std::vector<uint64_t>{pal_reg_rd8(pa), pal_reg_rd16(pa), pal_reg_rd32(pa), pal_reg_rd64(pa & ~7ull)}),
                      (std::vector<uint64_t>{0xff, 0xffff, 0xFFFFFFFFu, UINT64_MAX})) << std::hex << pa;
            pal_reg_wr8(pa, 0);
            pal_reg_wr16(pa, 0);
            pal_reg_wr32(pa, 0);
            pal_reg_wr64(pa & ~7ull, 0);
        }
        EXPECT_EQ(pal_reg_rd32(r + 2), 0xFFFFFFFFu) << "misaligned";
        pal_reg_wr32(r + 0x103, 0);
        std::vector<uint32_t> got(4, 0);
        pal_reg_rd32w(r + 2, got.data(), 4);
        EXPECT_EQ(got, std::vector<uint32_t>(4, 0xFFFFFFFFu)) << "a misaligned block";
        pal_reg_wr32w(r + 2, got.data(), 4);
        EXPECT_EQ(pal_reg_rd64_safe(k_reg_end - 4), UINT64_MAX);
        pal_reg_wr64_safe(k_reg_end - 4, 0);
        EXPECT_TRUE(regs.snapshot() == regs_before) << "a refused register store changed the window";
        EXPECT_TRUE(mem.snapshot() == mem_before) << "a refused register store changed memory";

        // translation: the last byte is inside, one past the end is not
        const palx86_ctx_s& ctx = palx86_ctx();
        auto mem_va = reinterpret_cast<uintptr_t>(ctx.mem.va);
        EXPECT_EQ(pal_mem_ptov(k_mem_end - 1), mem_va + CARDSIM_MEM_SIZE - 1);
        for (uint64_t pa : {k_mem_end, CARDSIM_MEM_BASE - 1, uint64_t(0)}) {
            EXPECT_EQ(pal_mem_ptov(pa), 0u) << std::hex << pa;
        }
        for (uint64_t pa : {CARDSIM_MEM_BASE, cardsim_lif_block(3) + 5, k_mem_end - 1}) {
            EXPECT_EQ(pal_mem_vtop(pal_mem_ptov(pa)), pa) << std::hex << pa;
        }
        int local = 0;
        for (uintptr_t va : {mem_va + CARDSIM_MEM_SIZE, mem_va - 1, reinterpret_cast<uintptr_t>(&local), uintptr_t(0)}) {
            EXPECT_EQ(pal_mem_vtop(va), 0u);
        }
        uint8_t* va = nullptr;
        EXPECT_EQ(pal_hw_x86_regs_pa_to_va(k_reg_end - 1, &va), 0);
        EXPECT_EQ(va, ctx.regs.va + CARDSIM_REG_SIZE - 1);
        va = nullptr;
        EXPECT_EQ(pal_hw_x86_regs_pa_to_va(k_reg_end, &va), -1);
        EXPECT_EQ(pal_hw_x86_regs_pa_to_va(CARDSIM_REG_BASE - 1, &va), -1);
        EXPECT_EQ(pal_hw_x86_mem_pa_to_va(k_mem_end, &va), -1);
        EXPECT_EQ(va, nullptr) << "a failed translation leaves its output alone";
        uint64_t pa = 7;
        EXPECT_EQ(pal_hw_x86_mem_va_to_pa(&pa, ctx.regs.va), -1) << "a register address is not memory";
        EXPECT_EQ(pa, 7u);
        // the table's entries, and a mapping that is the card's memory itself
        uint64_t out = 0, back = 9;
        EXPECT_EQ(pal_physical_addr_to_virtual_addr(CARDSIM_PORT_REGION, &out), PAL_RET_OK);
        EXPECT_EQ(pal_virtual_addr_to_physical_addr(out, &back), PAL_RET_OK);
        EXPECT_EQ(back, CARDSIM_PORT_REGION);
        EXPECT_NE(pal_physical_addr_to_virtual_addr(k_mem_end, &out), PAL_RET_OK);
        void* mapped = pal_mem_map(CARDSIM_PORT_REGION + 16, 8);
        ASSERT_NE(mapped, nullptr);
        host_->set_counter(0, CARDSIM_PORT_REGION + 16, 0x4343);
        EXPECT_EQ(*static_cast<volatile uint64_t*>(mapped), 0x4343u);
        pal_mem_unmap(mapped);
        EXPECT_EQ(pal_mem_map(k_mem_end, 8), nullptr);
    });

    // recording the accesses and playing them back
    test_temp_dir tmp("pal_hw_test");
    const char* dir = tmp.path().c_str();
    const uint64_t m = CARDSIM_MEM_BASE;
    std::vector<uint8_t> eight = {1, 2, 3, 4, 5, 6, 7, 8}, forty(40);
    std::iota(forty.begin(), forty.end(), 0x10);
    // n bytes of v, and the untouched byte after them
    auto filled = [&](uint64_t off, size_t n, uint8_t v) {
        return std::count(mem.at(off), mem.at(off + n), v) == static_cast<long>(n) && *mem.at(off + n) == 0;
    };

    // control without its set-up, or that is not control at all
    pal_on_thread([&] {
        EXPECT_NE(rw_ctrl(PAL_RW_CTRL_START_RW, "x"), PAL_RET_OK) << "neither dump nor replay initialised";
        EXPECT_NE(rw_ctrl(99), PAL_RET_OK);
        EXPECT_NE(pal_reg_rw_ctrl(nullptr), PAL_RET_OK);
        EXPECT_EQ(rw_ctrl(PAL_RW_CTRL_STOP), PAL_RET_OK);
    });

    on_card([&] {
        ASSERT_EQ(rw_ctrl(PAL_RW_CTRL_DUMP_INIT, dir), PAL_RET_OK);
        EXPECT_NE(rw_ctrl(PAL_RW_CTRL_START_RW, "sec1"), PAL_RET_OK) << "no build version";
        EXPECT_FALSE(pal_rw_dump_recording(PAL_RW_REG_WRITE));
        setenv("BLD_VERSION", "t1", 1);
        ASSERT_EQ(rw_ctrl(PAL_RW_CTRL_START_RW, "sec1"), PAL_RET_OK);
        EXPECT_EQ(rw_ctrl(PAL_RW_CTRL_START_RW, "other"), PAL_RET_OK) << "already on: ignored";
        uint32_t same[3] = {0x5a5a5a5a, 0x5a5a5a5a, 0x5a5a5a5a}, two[2] = {0x11111111, 0x22222222}, got[2] = {};
        EXPECT_EQ(pal_reg_write(r + 0x40, same, 3), PAL_RET_OK);
        EXPECT_EQ(pal_reg_write(r + 0x80, two, 2), PAL_RET_OK);
        EXPECT_EQ(pal_reg_read(r + 0x80, got, 2), PAL_RET_OK);
        EXPECT_EQ(pal_mem_write(m + 0x2000, eight.data(), 8), PAL_RET_OK);
        EXPECT_EQ(pal_mem_write(m + 0x3000, forty.data(), 40), PAL_RET_OK);
        EXPECT_EQ(pal_mem_set(m + 0x4000, 0xab, 64), PAL_RET_OK);
        std::vector<uint8_t> back(8);
        EXPECT_EQ(pal_mem_read(m + 0x2000, back.data(), 8), PAL_RET_OK);
        // paused: done, not recorded
        EXPECT_EQ(rw_ctrl(PAL_RW_CTRL_LABEL, "pause"), PAL_RET_OK);
        uint32_t hidden = 0x77, after = 0x33;
        EXPECT_EQ(pal_reg_write(r + 0x100, &hidden, 1), PAL_RET_OK);
        EXPECT_EQ(regs.get<uint32_t>(0x100), 0x77u);
        EXPECT_EQ(rw_ctrl(PAL_RW_CTRL_RESUME), PAL_RET_OK);
        EXPECT_EQ(pal_reg_write(r + 0xc0, &after, 1), PAL_RET_OK);
        EXPECT_EQ(rw_ctrl(PAL_RW_CTRL_STOP), PAL_RET_OK);
        // writes only, then reads only: a write and a read in each
        for (auto [op, section] : {std::pair<uint32_t, const char*>{PAL_RW_CTRL_START_WRITE, "wonly"},
                                   {PAL_RW_CTRL_START_READ, "ronly"}}) {
            ASSERT_EQ(rw_ctrl(op, section), PAL_RET_OK);
            EXPECT_EQ(pal_reg_write(r + 0x84, &after, 1), PAL_RET_OK);
            EXPECT_EQ(pal_reg_read(r + 0x84, got, 1), PAL_RET_OK);
            EXPECT_EQ(rw_ctrl(PAL_RW_CTRL_STOP), PAL_RET_OK);
        }
    });

    std::string txt = pal_rw_capture_path(dir, "sec1", "txt");
    EXPECT_EQ(txt, "/" + tmp.path() + "/rw-capture-pal_hw_test-t1-sec1.txt");
    EXPECT_EQ(test_read_file(txt),
              "REG-WRITE addr 0x20000040 optype 1 merged 1 nwords 3 data 0x5a5a5a5a \n"
              "REG-WRITE addr 0x20000080 optype 1 merged 0 nwords 2 data 0x11111111 0x22222222 \n"
              "REG-READ addr 0x20000080 optype 0 merged 0 nwords 2 data 0x11111111 0x22222222 \n"
              "MEM-WRITE addr 0x40002000 optype 3 merged 0 nwords 8 data 0x1 0x2 0x3 0x4 0x5 0x6 0x7 0x8 \n"
              "MEM-WRITE addr 0x40003000 optype 3 merged 0 nwords 32 data 0x10 0x11 0x12 0x13 0x14 0x15 0x16 0x17 0x18 "
              "0x19 0x1a 0x1b 0x1c 0x1d 0x1e 0x1f 0x20 0x21 0x22 0x23 0x24 0x25 0x26 0x27 0x28 0x29 0x2a 0x2b 0x2c 0x2d "
              "0x2e 0x2f \n"
              "MEM-WRITE addr 0x40003020 optype 3 merged 0 nwords 8 data 0x30 0x31 0x32 0x33 0x34 0x35 0x36 0x37 \n"
              "MEM-SET 0x40004000 optype 4 merged 0 nbytes 64 data 0xab\n"
              "MEM-READ addr 0x40002000 optype 2 merged 0 nwords 8 data 0x1 0x2 0x3 0x4 0x5 0x6 0x7 0x8 \n"
              "RW_SUSPEND pause\n"
              "REG-WRITE addr 0x200000c0 optype 1 merged 1 nwords 1 data 0x33 \n");
    EXPECT_EQ(test_read_file(pal_rw_capture_path(dir, "wonly", "txt")) + test_read_file(pal_rw_capture_path(dir, "ronly", "txt")),
              "REG-WRITE addr 0x20000084 optype 1 merged 1 nwords 1 data 0x33 \n"
              "REG-READ addr 0x20000084 optype 0 merged 1 nwords 1 data 0x33 \n");

    // the binary capture holds the write runs only, little-endian
    std::string bin = test_read_file(pal_rw_capture_path(dir, "sec1", "bin"));
    EXPECT_EQ(bin.size(), (6u + 4) + (6 + 8) + (10 + 8) + (10 + 32) + (10 + 8) + (6 + 4));
    EXPECT_EQ(bin.substr(0, 42), std::string("\x03\x81\x40\x00\x00\x20\x5a\x5a\x5a\x5a"
                                             "\x02\x01\x80\x00\x00\x20\x11\x11\x11\x11\x22\x22\x22\x22"
                                             "\x08\x03\x00\x20\x00\x40\x00\x00\x00\x00\x01\x02\x03\x04\x05\x06\x07\x08",
                                             42));

    // played back onto a wiped card
    memset(regs.at(0), 0, CARDSIM_REG_SIZE);
    memset(mem.at(0), 0, CARDSIM_MEM_SIZE);
    on_card([&] {
        ASSERT_EQ(rw_ctrl(PAL_RW_CTRL_REPLAY_INIT, dir, "txt"), PAL_RET_OK);
        EXPECT_NE(rw_ctrl(PAL_RW_CTRL_START_RW, "nosuchsection"), PAL_RET_OK);
        EXPECT_FALSE(pal_rw_replay_active());
        ASSERT_EQ(rw_ctrl(PAL_RW_CTRL_START_RW, "sec1"), PAL_RET_OK);
        EXPECT_TRUE(pal_rw_replay_active());
        pal_rw_counts_s c = pal_rw_counts();
        EXPECT_EQ(std::vector<uint32_t>({c.reg_writes, c.reg_reads, c.mem_writes, c.mem_reads, c.mem_sets, c.mismatches}),
                  std::vector<uint32_t>({6, 2, 48, 8, 1, 0}));
        // while the replay is active the thread's own writes are left out
        uint32_t word = 0x99;
        std::vector<uint8_t> untouched(8, 0xee);
        EXPECT_EQ(pal_reg_write(r + 0x140, &word, 1), PAL_RET_OK);
        EXPECT_EQ(pal_mem_write(m + 0x5000, untouched.data(), 8), PAL_RET_OK);
        EXPECT_EQ(pal_mem_set(m + 0x5000, 0xee, 8), PAL_RET_OK);
        EXPECT_EQ(pal_mem_read(m + 0x2000, untouched.data(), 8), PAL_RET_OK);
        EXPECT_EQ(untouched, std::vector<uint8_t>(8, 0xee));
        EXPECT_EQ(regs.get<uint32_t>(0x140), 0u);
        EXPECT_EQ(mem.get<uint64_t>(0x5000), 0u);
        EXPECT_EQ(rw_ctrl(PAL_RW_CTRL_STOP), PAL_RET_OK);
        EXPECT_FALSE(pal_rw_replay_active());
        EXPECT_EQ(pal_reg_write(r + 0x140, &word, 1), PAL_RET_OK);
        EXPECT_EQ(regs.get<uint32_t>(0x140), 0x99u);
    });
    for (auto [off, want] : {std::pair<uint64_t, uint32_t>{0x40, 0x5a5a5a5a}, {0x48, 0x5a5a5a5a}, {0x4c, 0},
                             {0x80, 0x11111111}, {0x84, 0x22222222}, {0xc0, 0x33}, {0x100, 0}}) {
        EXPECT_EQ(regs.get<uint32_t>(off), want) << std::hex << off << " (0x100: a paused write)";
    }
    EXPECT_EQ(memcmp(mem.at(0x2000), eight.data(), 8), 0);
    EXPECT_EQ(memcmp(mem.at(0x3000), forty.data(), 40), 0);
    EXPECT_EQ(mem.at(0x3000 + 40)[0], 0);
    EXPECT_TRUE(filled(0x4000, 64, 0xab)) << "the fill, and no more";

    // a capture written by hand: reads that differ are counted, malformed
    // lines skipped, and nothing ends the process
    test_write_file(pal_rw_capture_path(dir, "hand", "txt"),
                    "REG-READ addr 0x20000080 optype 0 merged 0 nwords 1 data 0x12345678 \n"
                    "MEM-READ addr 0x40002000 optype 2 merged 0 nwords 2 data 0x1 0x2 \n"
                    "REG-WRITE addr zzz optype 1 merged 0 nwords 1 data 0x1 \n"
                    "REG-WRITE addr 0x20000200 optype 1 merged 0 nwords 1000 data 0x1 \n"
                    "REG-WRITE addr 0x20000200 optype 1 merged 0 nwords 1 data \n"
                    "REG-WRITE addr 0x20000200 optype 1 merged 0 nwords 2 data qq 0x1\n"
                    "MEM-WRITE addr 0x7fff00000000 optype 3 merged 1 nwords 4 data 0x1 \n"
                    "MEM-SET 0x40006000 optype 4 merged 0 nbytes 4000000000 data 0x1\n"
                    "MEM-SET 0x40006000 optype 4 merged 0 nbytes 16 data 0x7e\n"
                    "REG-WRITE\n\ngarbage line with words\n"
                    "REG-WRITE addr 0x20000204 optype 1 merged 0 nwords 2 data 0xa1 0xa2 \n");
    on_card([&] {
        ASSERT_EQ(rw_ctrl(PAL_RW_CTRL_REPLAY_INIT, dir, "txt"), PAL_RET_OK);
        ASSERT_EQ(rw_ctrl(PAL_RW_CTRL_START_RW, "hand"), PAL_RET_OK);
        EXPECT_EQ(pal_rw_counts().mismatches, 1u) << "the register differs, the memory does not";
        EXPECT_EQ(rw_ctrl(PAL_RW_CTRL_STOP), PAL_RET_OK);
    });
    EXPECT_EQ(std::vector<uint32_t>({regs.get<uint32_t>(0x200), regs.get<uint32_t>(0x204), regs.get<uint32_t>(0x208)}),
              std::vector<uint32_t>({0, 0xa1, 0xa2}));
    EXPECT_TRUE(filled(0x6000, 16, 0x7e)) << "an impossible fill size was carried out";
}

// callers racing the first pal_init never see a half-filled table: each
// finds the host variant's whole table when its own call returns
TEST_F(PalHw, ConcurrentInitsAllFindTheWholeTable)
{
    pal_teardown(platform::PLATFORM_TYPE_HW);
    std::atomic<int> ready{0}, whole{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; i++) {
        threads.emplace_back([&] {
            ready++;
            while (!go) {
                std::this_thread::yield();
            }
            pal_ret_t rc = pal_init(platform::PLATFORM_TYPE_HW, nullptr);
            const pal_info_s* t = pal_table();
            whole += rc == PAL_RET_OK && t && t->qsfp_read && t->get_rst_reason && t->reg_rw_ctrl;
        });
    }
    while (ready < 8) {
        std::this_thread::yield();
    }
    go = true;
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(whole, 8);
}

}  // namespace
