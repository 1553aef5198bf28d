// every platform variant through the same checks on one card: what goes in
// through the layer lands in the card and comes back out, accesses outside
// the card change nothing, and a torn-down layer fails every call. the host,
// jtag and telnet variants reach an emulated card (through its mapped
// windows, the stand-in jtag library and the stand-in console); the built-in
// variant holds its card in the process. after them, what only the built-in
// variant refuses, and which variant the environment and type choose.

#include <chrono>
#include <cstring>

#include "pal/pal.h"
#include "pal/pal_qsfp.h"
#include "pal/tests/pal_test_support.h"

namespace {

using namespace sdk::lib;
namespace platform = sdk::platform;

enum class reach_e { HOST, JTAG, TELNET, TELNET_SHELL, BUILTIN };

struct variant_s {
    const char* name;
    reach_e reach;
    platform::platform_type_t type;
    bool refusals_fail;  // the host variant reads all ones and reports success instead
};

const variant_s k_variants[] = {
    {"host", reach_e::HOST, platform::PLATFORM_TYPE_HW, false},
    {"jtag", reach_e::JTAG, platform::PLATFORM_TYPE_JTAG, true},
    {"telnet", reach_e::TELNET, platform::PLATFORM_TYPE_MOCK, true},
    {"telnet_shell_like", reach_e::TELNET_SHELL, platform::PLATFORM_TYPE_HW, true},
    {"builtin", reach_e::BUILTIN, platform::PLATFORM_TYPE_SIM, true},
};

// the variant's name, not its bytes, in the test list
void PrintTo(const variant_s& v, std::ostream* os) { *os << v.name; }

constexpr uint64_t k_reg_end = CARDSIM_REG_BASE + CARDSIM_REG_SIZE;
constexpr uint64_t k_mem_end = CARDSIM_MEM_BASE + CARDSIM_MEM_SIZE;

class PalVariant : public ::testing::TestWithParam<variant_s> {
protected:
    void SetUp() override
    {
        logger_init(null_logger_cb_);
        const variant_s& v = GetParam();
        if (v.reach != reach_e::BUILTIN) {
            host_ = std::make_unique<cardsim_host>(cardsim_host_options_s{1, {}, 0});
            ASSERT_TRUE(host_->ok()) << host_->error();
            regs_ = std::make_unique<card_window>(*host_, 0, "resource0");
            mem_ = std::make_unique<card_window>(*host_, 0, "resource2");
            ASSERT_TRUE(regs_->ok() && mem_->ok());
        }
        if (v.reach == reach_e::JTAG) {
            setenv("PAL_J2C_PORT", "5", 1);
            setenv("JTAG_LIB_PATH", JTAG_STANDIN_PATH, 1);
            setenv("JTAG_STANDIN_RSC", host_->sysfs_dir(host_->card(0).rsc_bdf).c_str(), 1);
        } else if (v.reach == reach_e::TELNET || v.reach == reach_e::TELNET_SHELL) {
            console_standin_faults_s faults;
            faults.shell_like = v.reach == reach_e::TELNET_SHELL;  // option offers, echo, a prompt in pieces
            console_ = pal_console_for(*host_, faults);
            ASSERT_TRUE(console_->ok()) << console_->error();
        }
        testing::internal::CaptureStdout();  // the jtag variant's progress lines
        pal_ret_t rc = pal_init(v.type, nullptr);
        std::string out = testing::internal::GetCapturedStdout();
        ASSERT_EQ(rc, PAL_RET_OK) << out;
        EXPECT_EQ(pal_get_platform_type(), v.type);
    }
    void TearDown() override
    {
        testing::internal::CaptureStdout();
        pal_teardown(GetParam().type);
        testing::internal::GetCapturedStdout();
        logger_init(nullptr);
    }

    // the host variant works through the calling thread's binding
    void run(const std::function<void()>& body)
    {
        if (GetParam().reach != reach_e::HOST) {
            body();
            return;
        }
        pal_on_thread([&] {
            ASSERT_EQ(pal_hw_x86_init(host_->card(0).card_bdf.c_str()), 0);
            body();
        });
    }

    // the card's memory as the card holds it (the built-in card maps its own)
    uint8_t* card_mem(uint64_t off)
    {
        return mem_ ? mem_->at(off) : static_cast<uint8_t*>(pal_mem_map(CARDSIM_MEM_BASE + off, 1));
    }

    pal_test_env env_;
    std::unique_ptr<cardsim_host> host_;
    std::unique_ptr<card_window> regs_, mem_;
    std::unique_ptr<console_standin> console_;
};

std::vector<uint8_t> pattern(size_t n, unsigned seed)
{
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; i++) {
        bytes[i] = static_cast<uint8_t>(i * seed + 3);
    }
    return bytes;
}

TEST_P(PalVariant, WhatGoesInLandsInTheCardAndComesBack)
{
    run([&] {
        // register blocks longer than one console command, both ways
        std::vector<uint32_t> words(150), back(150);
        for (size_t i = 0; i < words.size(); i++) {
            words[i] = static_cast<uint32_t>(0x9e3779b9u * (i + 1));
        }
        ASSERT_EQ(pal_reg_write(CARDSIM_REG_BASE + 0x1000, words.data(), words.size()), PAL_RET_OK);
        ASSERT_EQ(pal_reg_read(CARDSIM_REG_BASE + 0x1000, back.data(), back.size()), PAL_RET_OK);
        EXPECT_EQ(back, words);
        if (regs_) {
            EXPECT_EQ(regs_->get<uint32_t>(0x1000 + 4 * 149), words[149]);
            regs_->put<uint32_t>(0x200, 0xcafef00du);
            uint32_t one = 0;
            ASSERT_EQ(pal_reg_read(CARDSIM_REG_BASE + 0x200, &one, 1), PAL_RET_OK);
            EXPECT_EQ(one, 0xcafef00du) << "a word the card put there itself";
        }

        // doorbells are single stores of their width, little-endian
        ASSERT_EQ(pal_ring_db64(CARDSIM_REG_BASE + 0x600, 0x1122334455667788ull), PAL_RET_OK);
        ASSERT_EQ(pal_ring_db32(CARDSIM_REG_BASE + 0x600, 0xa1b2c3d4u), PAL_RET_OK);
        ASSERT_EQ(pal_ring_db16(CARDSIM_REG_BASE + 0x600, 0xbeef), PAL_RET_OK);
        uint32_t db[2] = {};
        ASSERT_EQ(pal_reg_read(CARDSIM_REG_BASE + 0x600, db, 2), PAL_RET_OK);
        EXPECT_EQ(db[0], 0xa1b2beefu);
        EXPECT_EQ(db[1], 0x11223344u);

        // memory blocks starting and ending between 8-byte boundaries (a
        // long one, some inside one word) and a long fill touch only their
        // bytes; bytes the card put there; the window's last byte
        for (auto [off, len] : {std::pair<uint32_t, uint32_t>{0x20003, 5000}, {0x8005, 11}, {0x8103, 1}, {0x8201, 6},
                                {0x8300, 8}}) {
            memset(card_mem(off - 1), 0x5a, len + 2);
            std::vector<uint8_t> bytes = pattern(len, 13 + off), got(len);
            ASSERT_EQ(pal_mem_write(CARDSIM_MEM_BASE + off, bytes.data(), len), PAL_RET_OK);
            EXPECT_EQ(memcmp(card_mem(off), bytes.data(), len), 0) << off;
            EXPECT_EQ(card_mem(off - 1)[0], 0x5a) << off;
            EXPECT_EQ(card_mem(off)[len], 0x5a) << off;
            ASSERT_EQ(pal_mem_read(CARDSIM_MEM_BASE + off, got.data(), len), PAL_RET_OK);
            EXPECT_EQ(got, bytes) << off;
        }
        memset(card_mem(0x30000 - 1), 0x11, 70002);
        ASSERT_EQ(pal_mem_set(CARDSIM_MEM_BASE + 0x30000, 0xa5, 70000), PAL_RET_OK);
        EXPECT_EQ(card_mem(0x30000)[-1], 0x11);
        EXPECT_EQ(std::vector<uint8_t>(card_mem(0x30000), card_mem(0x30000) + 70000), std::vector<uint8_t>(70000, 0xa5));
        EXPECT_EQ(card_mem(0x30000)[70000], 0x11);
        le_put<uint64_t>(card_mem(0xa000), 8, 0, 0x0102030405060708ull);
        uint64_t v = 0;
        ASSERT_EQ(pal_mem_read(CARDSIM_MEM_BASE + 0xa000, reinterpret_cast<uint8_t*>(&v), 8), PAL_RET_OK);
        EXPECT_EQ(v, 0x0102030405060708ull);
        uint8_t last = 0x77, last_back = 0;
        ASSERT_EQ(pal_mem_write(k_mem_end - 1, &last, 1), PAL_RET_OK);
        ASSERT_EQ(pal_mem_read(k_mem_end - 1, &last_back, 1), PAL_RET_OK);
        EXPECT_EQ(last_back, 0x77);
        EXPECT_EQ(pal_mem_write(CARDSIM_MEM_BASE, nullptr, 0), PAL_RET_OK);
        EXPECT_EQ(pal_mem_set(CARDSIM_MEM_BASE, 0, 0), PAL_RET_OK);
    });
}

TEST_P(PalVariant, AccessesOutsideTheCardChangeNothing)
{
    const bool must_fail = GetParam().refusals_fail;
    run([&] {
        // known bytes at both ends of both windows
        const uint32_t edge[2] = {0x5a5a0001u, 0x5a5a0002u};
        const std::vector<uint8_t> tail = pattern(8, 5);
        ASSERT_EQ(pal_reg_write(k_reg_end - 8, edge, 2), PAL_RET_OK);
        ASSERT_EQ(pal_reg_write(CARDSIM_REG_BASE, edge, 1), PAL_RET_OK);
        ASSERT_EQ(pal_mem_write(k_mem_end - 8, tail.data(), 8), PAL_RET_OK);
        auto regs_before = regs_ ? regs_->snapshot() : std::vector<uint8_t>();
        auto mem_before = mem_ ? mem_->snapshot() : std::vector<uint8_t>();

        const uint32_t w[2] = {0xdeadbeefu, 0xdeadbeefu};
        const uint8_t b[3] = {0xee, 0xee, 0xee};
        uint32_t r[2] = {};
        uint8_t rb[8] = {};
        const std::vector<std::pair<const char*, std::function<pal_ret_t()>>> cases = {
            {"register block across the end", [&] { return pal_reg_write(k_reg_end - 4, w, 2); }},
            {"register before the window", [&] { return pal_reg_write(CARDSIM_REG_BASE - 4, w, 1); }},
            {"register read past the end", [&] { return pal_reg_read(k_reg_end, r, 1); }},
            {"register read wrapping around", [&] { return pal_reg_read(UINT64_MAX - 3, r, 2); }},
            {"doorbell past the end", [&] { return pal_ring_db64(k_reg_end, 1); }},
            {"memory across the end", [&] { return pal_mem_write(k_mem_end - 2, b, 3); }},
            {"memory before the window", [&] { return pal_mem_write(CARDSIM_MEM_BASE - 1, b, 1); }},
            {"fill across the end", [&] { return pal_mem_set(k_mem_end - 2, 0xee, 3); }},
            {"memory read wrapping around", [&] { return pal_mem_read(UINT64_MAX - 2, rb, 8); }},
        };
        for (const auto& [what, call] : cases) {
            pal_ret_t rc = call();
            if (must_fail) {
                EXPECT_NE(rc, PAL_RET_OK) << what;
            }
        }
        if (!must_fail) {  // then refused reads give all ones
            EXPECT_EQ(std::vector<uint32_t>(r, r + 2), std::vector<uint32_t>(2, 0xFFFFFFFFu));
            EXPECT_EQ(std::vector<uint8_t>(rb, rb + 8), std::vector<uint8_t>(8, 0xff));
        }

        uint32_t edge_back[2] = {};
        std::vector<uint8_t> tail_back(8);
        ASSERT_EQ(pal_reg_read(k_reg_end - 8, edge_back, 2), PAL_RET_OK);
        EXPECT_EQ(memcmp(edge_back, edge, sizeof(edge)), 0);
        ASSERT_EQ(pal_mem_read(k_mem_end - 8, tail_back.data(), 8), PAL_RET_OK);
        EXPECT_EQ(tail_back, tail);
        if (regs_) {
            EXPECT_TRUE(regs_->snapshot() == regs_before) << "a refused register store changed the card";
            EXPECT_TRUE(mem_->snapshot() == mem_before) << "a refused memory store changed the card";
        }
    });
}

TEST_P(PalVariant, EmptyEntriesAndATornDownLayerFail)
{
    const uint8_t pkt[4] = {1, 2, 3, 4};
    uint32_t w = 0;
    EXPECT_NE(pal_step_cpu_pkt(pkt, sizeof(pkt)), PAL_RET_OK);
    EXPECT_NE(pal_reg_batch_write(CARDSIM_REG_BASE, &w, 1), PAL_RET_OK);

    testing::internal::CaptureStdout();
    EXPECT_EQ(pal_teardown(GetParam().type), PAL_RET_OK);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(pal_get_platform_type(), platform::PLATFORM_TYPE_NONE);
    run([&] {
        uint8_t b[4] = {};
        EXPECT_NE(pal_reg_read(CARDSIM_REG_BASE, &w, 1), PAL_RET_OK);
        EXPECT_NE(pal_mem_write(CARDSIM_MEM_BASE, b, 4), PAL_RET_OK);
        EXPECT_NE(pal_mem_set(CARDSIM_MEM_BASE, 0, 4), PAL_RET_OK);
        EXPECT_NE(pal_ring_db64(CARDSIM_REG_BASE, 0), PAL_RET_OK);
        EXPECT_EQ(pal_mem_map(CARDSIM_MEM_BASE, 8), nullptr);
    });
}

INSTANTIATE_TEST_SUITE_P(, PalVariant, ::testing::ValuesIn(k_variants), [](const auto& info) {
    return std::string(info.param.name);
});

constexpr uint64_t k_reg = CARDSIM_REG_BASE, k_mem = CARDSIM_MEM_BASE;

class PalBuiltin : public ::testing::Test {
protected:
    void SetUp() override { logger_init(null_logger_cb_); }
    void TearDown() override
    {
        pal_teardown(platform::PLATFORM_TYPE_MOCK);
        logger_init(nullptr);
    }
    pal_test_env env_;
};

TEST_F(PalBuiltin, MisalignedOrBufferlessAccessesFailAndEachInitStartsAFreshCard)
{
    ASSERT_EQ(pal_init(platform::PLATFORM_TYPE_MOCK, nullptr), PAL_RET_OK);
    uint32_t ones = 0xffffffffu, r = 7;
    uint8_t b = 9;
    uint64_t va = 5;
    for (const auto& [what, call] : std::vector<std::pair<const char*, std::function<pal_ret_t()>>>{
             {"misaligned register read", [&] { return pal_reg_read(k_reg + 2, &r, 1); }},
             {"misaligned register write", [&] { return pal_reg_write(k_reg + 1, &ones, 1); }},
             {"misaligned 16-bit doorbell", [&] { return pal_ring_db16(k_reg + 1, 1); }},
             {"misaligned 64-bit doorbell", [&] { return pal_ring_db64(k_reg + 4, 1); }},
             {"a doorbell in memory", [&] { return pal_ring_db32(k_mem, 1); }},
             {"registers read as memory", [&] { return pal_mem_read(k_reg, &b, 1); }},
             {"no buffer", [&] { return pal_reg_read(k_reg, nullptr, 1); }},
             {"a block too large to count", [&] { return pal_reg_read(k_reg, &r, UINT32_MAX); }},
             {"no translation output", [&] { return pal_physical_addr_to_virtual_addr(k_mem, nullptr); }},
             {"an address not in card memory",
              [&] { return pal_virtual_addr_to_physical_addr(reinterpret_cast<uintptr_t>(&va), &va); }},
         }) {
        EXPECT_NE(call(), PAL_RET_OK) << what;
    }
    EXPECT_EQ(r, 7u) << "a refused read leaves the buffer alone";
    EXPECT_EQ(pal_mem_map(k_mem + CARDSIM_MEM_SIZE - 8, 16), nullptr);
    EXPECT_FALSE(pal_is_mem_region_avail(k_mem, CARDSIM_MEM_SIZE + 1));

    uint32_t w = 0x12345678u;
    ASSERT_EQ(pal_reg_write(k_reg + 0x40, &w, 1), PAL_RET_OK);
    pal_teardown(platform::PLATFORM_TYPE_MOCK);
    ASSERT_EQ(pal_init(platform::PLATFORM_TYPE_MOCK, nullptr), PAL_RET_OK);
    ASSERT_EQ(pal_reg_read(k_reg + 0x40, &w, 1), PAL_RET_OK);
    EXPECT_EQ(w, 0u);
}

// which variant pal_init takes: with PAL_J2C_PORT the jtag one (type 1
// only), else with both telnet variables the telnet one (types 3 and 7
// only), else the built-in table by type. a later pal_init returns the first
// one's result and changes nothing. no choice waits: an address or port
// that is bad or has nobody behind it fails at once. where none serves, the
// default entries answer without touching anything, and what the default
// leaves empty fails
TEST_F(PalBuiltin, EnvironmentAndTypeChooseTheVariant)
{
    pal_test_log log;
    console_standin console({});
    ASSERT_TRUE(console.ok()) << console.error();
    const std::string console_port = std::to_string(console.port());
    struct case_s {
        const char* j2c;   // PAL_J2C_PORT, null: unset
        const char* ip;    // PAL_TELNET_IPADDR, null: unset
        const char* port;  // PAL_TELNET_PORT, null: unset, "": the console's
        platform::platform_type_t type;
        bool ok, loaded, dialled, card;  // the jtag library loaded, the console dialled, the built-in card
        const char* said;  // on standard output or logged
    };
    const platform::platform_type_t jtag = platform::PLATFORM_TYPE_JTAG, mock = platform::PLATFORM_TYPE_MOCK;
    const char *lo = "127.0.0.1", *refused = "Telnet connection failed";
    const std::string nines(300, '9');
    std::vector<case_s> cases = {
        {"5", lo, "", jtag, true, true, false, false, "jtag ready on port 5"},
        {"5", nullptr, nullptr, platform::PLATFORM_TYPE_HW, false, false, false, false, "platform type 7 is not supported"},
        {"5", nullptr, nullptr, mock, false, false, false, false, "platform type 3 is not supported"},
        {nullptr, nullptr, nullptr, jtag, false, false, false, false, ""},  // the library named, no port
        {nullptr, nullptr, "", mock, true, false, false, true, ""},
        {nullptr, lo, nullptr, mock, true, false, false, true, ""},
        {nullptr, lo, "", jtag, false, false, false, false, ""},
        {nullptr, lo, "", platform::PLATFORM_TYPE_SIM, false, false, false, false, ""},
        {nullptr, lo, "", 9, false, false, false, false, ""},
        {nullptr, lo, "", mock, true, false, true, false, ""},
        {nullptr, nullptr, nullptr, platform::PLATFORM_TYPE_SIM, true, false, false, true, ""},
        {nullptr, nullptr, nullptr, 42, false, false, false, false, ""},
    };
    // addresses and ports that are bad, or nobody listens on (port 1)
    for (auto [ip, port] : std::vector<std::pair<const char*, const char*>>{
             {lo, "1"}, {"::1", "1"}, {"localhost", "23"}, {"not an address", "23"}, {"256.1.1.1", "23"}, {"", "23"},
             {lo, "0"}, {lo, "65536"}, {lo, "23x"}, {lo, "-1"}, {lo, " 23"}, {lo, nines.c_str()}}) {
        cases.push_back({nullptr, ip, port, mock, false, false, false, false, refused});
    }
    for (const case_s& c : cases) {
        SCOPED_TRACE(std::string(c.j2c ? "jtag " : "") + (c.ip ? std::string("ip \"") + c.ip + "\" " : "") +
                     (c.port ? std::string("port \"") + std::string(c.port).substr(0, 20) + "\" " : "") +
                     std::to_string(c.type));
        pal_test_env env;
        setenv("JTAG_LIB_PATH", JTAG_STANDIN_PATH, 1);
        for (auto [name, value] : {std::pair<const char*, const char*>{"PAL_J2C_PORT", c.j2c}, {"PAL_TELNET_IPADDR", c.ip}}) {
            if (value) {
                setenv(name, value, 1);
            }
        }
        if (c.port) {
            setenv("PAL_TELNET_PORT", *c.port ? c.port : console_port.c_str(), 1);
        }
        log.clear();
        const size_t calls = console.connections();
        testing::internal::CaptureStdout();
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(pal_init(c.type, nullptr) == PAL_RET_OK, c.ok);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(test_timeout_scale()));
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.find("loading jtag library") != std::string::npos, c.loaded) << out;
        EXPECT_TRUE(out.find(c.said) != std::string::npos || log.has(c.said)) << out;
        EXPECT_EQ(console.connections() - calls, c.dialled ? 1u : 0u);
        EXPECT_EQ(pal_mem_map(k_mem, 8) != nullptr, c.card);
        EXPECT_EQ(pal_get_platform_type(), c.type);
        EXPECT_EQ(log.has("Failed to initialize PAL for platform type " + std::to_string(c.type) + ", err 1"), !c.ok);
        if (!c.ok) {
            uint32_t w = 0x5555aaaau;
            uint8_t b = 0x33;
            EXPECT_EQ(pal_reg_read(k_reg, &w, 1), PAL_RET_OK);
            EXPECT_EQ(pal_mem_read(k_mem, &b, 1), PAL_RET_OK);
            EXPECT_EQ(std::make_pair(w, b), std::make_pair(0x5555aaaau, uint8_t(0x33))) << "left alone";
            EXPECT_EQ(pal_sbus_read(0, 1, 2), 0u);
            EXPECT_NE(pal_sbus_write(0, 1, 2, 3), PAL_RET_OK);
            EXPECT_NE(pal_sbus_reset(0, 1), PAL_RET_OK);
            EXPECT_FALSE(sdk::lib::pal_is_qsfp_port_reset(1));
            pal_reg_rw_ctrl_s ctrl{PAL_RW_CTRL_STOP, nullptr, nullptr};
            EXPECT_NE(pal_reg_rw_ctrl(&ctrl), PAL_RET_OK);
        }

        const pal_info_s* table = pal_table();
        testing::internal::CaptureStdout();
        EXPECT_EQ(pal_init(c.type, nullptr) == PAL_RET_OK, c.ok) << "a later call";
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(pal_table(), table);
        EXPECT_EQ(console.connections() - calls, c.dialled ? 1u : 0u);
        testing::internal::CaptureStdout();
        pal_teardown(c.type);
        testing::internal::GetCapturedStdout();
    }
}

}  // namespace
