// the jtag platform variant, driven through the stand-in jtag library over an
// emulated card: choosing the variant, bringing the link up, register and
// memory access, and the library or its entry points failing

#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "emulator/cardsim_host.h"
#include "log/module_trace.h"
#include "pal/pal.h"
#include "pal/pal_jtag.h"
#include "pal/tests/pal_access_check.h"

namespace {

using namespace sdk::lib;
namespace platform = sdk::platform;

// the stand-in's own controls, reached the way the variant reaches its entry
// points: this process keeps the library loaded, so its counters outlive the
// variant's dlclose
struct standin_api {
    void* handle = nullptr;
    int (*calls)(const char*) = nullptr;
    int (*last_arg)(const char*) = nullptr;
    int (*last_seq)(const char*) = nullptr;
    void (*fail)(const char*, int) = nullptr;
    void (*clear)() = nullptr;

    explicit standin_api(const char* path)
    {
        handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            return;
        }
        calls = reinterpret_cast<int (*)(const char*)>(dlsym(handle, "jtag_standin_calls"));
        last_arg = reinterpret_cast<int (*)(const char*)>(dlsym(handle, "jtag_standin_last_arg"));
        last_seq = reinterpret_cast<int (*)(const char*)>(dlsym(handle, "jtag_standin_last_seq"));
        fail = reinterpret_cast<void (*)(const char*, int)>(dlsym(handle, "jtag_standin_fail"));
        clear = reinterpret_cast<void (*)()>(dlsym(handle, "jtag_standin_clear"));
    }
    bool ok() const { return handle && calls && last_arg && last_seq && fail && clear; }
};

standin_api& standin()
{
    static standin_api api(JTAG_STANDIN_PATH);
    return api;
}

standin_api& standin_partial()
{
    static standin_api api(JTAG_STANDIN_PARTIAL_PATH);
    return api;
}

const char* const k_env_names[] = {"PAL_J2C_PORT", "JTAG_LIB_PATH", "SUB_ASIC", "JTAG_STANDIN_RSC",
                                   "PAL_TELNET_PORT", "PAL_TELNET_IPADDR"};

class PalJtag : public ::testing::Test {
protected:
    void SetUp() override
    {
        logger_init(null_logger_cb_);
        for (const char* name : k_env_names) {
            const char* v = getenv(name);
            saved_.push_back(v ? std::make_pair(true, std::string(v)) : std::make_pair(false, std::string()));
            unsetenv(name);
        }
        ASSERT_TRUE(standin().ok()) << "cannot load " << JTAG_STANDIN_PATH << ": " << dlerror();
        standin().clear();
        pal_teardown(platform::PLATFORM_TYPE_JTAG);
    }
    void TearDown() override
    {
        pal_teardown(platform::PLATFORM_TYPE_JTAG);
        standin().clear();
        for (size_t i = 0; i < saved_.size(); ++i) {
            if (saved_[i].first) {
                setenv(k_env_names[i], saved_[i].second.c_str(), 1);
            } else {
                unsetenv(k_env_names[i]);
            }
        }
    }

    // the stand-in as the jtag library, on the given port
    static void use_standin(const char* port = "5")
    {
        setenv("PAL_J2C_PORT", port, 1);
        setenv("JTAG_LIB_PATH", JTAG_STANDIN_PATH, 1);
    }

    // pal_init with what it printed on standard output
    static pal_ret_t init_captured(platform::platform_type_t type, std::string* out)
    {
        testing::internal::CaptureStdout();
        pal_ret_t rc = pal_init(type, nullptr);
        *out = testing::internal::GetCapturedStdout();
        return rc;
    }

    // a fresh variant: what the last one did is undone first
    static pal_ret_t reinit_captured(platform::platform_type_t type, std::string* out)
    {
        pal_teardown(type);
        return init_captured(type, out);
    }

private:
    std::vector<std::pair<bool, std::string>> saved_;
};

bool has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST_F(PalJtag, RegistersMemoryAndDoorbellsReachTheCard)
{
    cardsim_host host({1, {}, 0});
    ASSERT_TRUE(host.ok()) << host.error();
    use_standin();
    setenv("JTAG_STANDIN_RSC", host.sysfs_dir(host.card(0).rsc_bdf).c_str(), 1);
    std::string out;
    ASSERT_EQ(init_captured(platform::PLATFORM_TYPE_JTAG, &out), PAL_RET_OK) << out;
    EXPECT_EQ(pal_get_platform_type(), platform::PLATFORM_TYPE_JTAG);
    EXPECT_EQ(pal_get_sub_asic(), 0) << "no SUB_ASIC: sub-asic 0";

    pal_check_access(host, 0);

    // a register block is one library read, not one per word
    int reads = standin().calls("jtag_rd");
    uint32_t words[8] = {};
    ASSERT_EQ(pal_reg_read(CARDSIM_REG_BASE + 0x400, words, 8), PAL_RET_OK);
    EXPECT_EQ(standin().calls("jtag_rd"), reads + 1);

    card_window regs(host, 0, "resource0");
    card_window mem(host, 0, "resource2");
    ASSERT_TRUE(regs.ok() && mem.ok());

    // doorbells are single writes of their width, little-endian
    ASSERT_EQ(pal_ring_db64(CARDSIM_REG_BASE + 0x600, 0x1122334455667788ull), PAL_RET_OK);
    EXPECT_EQ(regs.get<uint64_t>(0x600), 0x1122334455667788ull);
    ASSERT_EQ(pal_ring_db32(CARDSIM_REG_BASE + 0x600, 0xa1b2c3d4u), PAL_RET_OK);
    EXPECT_EQ(regs.get<uint64_t>(0x600), 0x11223344a1b2c3d4ull);
    ASSERT_EQ(pal_ring_db16(CARDSIM_REG_BASE + 0x600, 0xbeef), PAL_RET_OK);
    EXPECT_EQ(regs.get<uint64_t>(0x600), 0x11223344a1b2beefull);

    // a fill longer than the variant's buffer, ending at the window's end
    const uint32_t fill = 1000;
    const uint64_t fill_off = CARDSIM_MEM_SIZE - fill;
    ASSERT_EQ(pal_mem_set(CARDSIM_MEM_BASE + fill_off, 0xa5, fill, 0), PAL_RET_OK);
    for (uint32_t i = 0; i < fill; ++i) {
        ASSERT_EQ(*mem.at(fill_off + i), 0xa5) << "byte " << i;
    }
    EXPECT_NE(*mem.at(fill_off - 1), 0xa5);

    // nothing to move: no library call
    int writes = standin().calls("jtag_wr");
    EXPECT_EQ(pal_mem_write(CARDSIM_MEM_BASE, nullptr, 0, 0), PAL_RET_OK);
    EXPECT_EQ(pal_mem_set(CARDSIM_MEM_BASE, 0, 0, 0), PAL_RET_OK);
    EXPECT_EQ(standin().calls("jtag_wr"), writes);

    // the library refuses addresses outside the card's windows, and so the
    // operations fail
    uint32_t word = 0;
    EXPECT_EQ(pal_reg_read(0x1000, &word, 1), PAL_RET_NOK);
    EXPECT_EQ(pal_reg_read(CARDSIM_REG_BASE + CARDSIM_REG_SIZE - 4, words, 2), PAL_RET_NOK);
    uint8_t two[2] = {1, 2};
    EXPECT_EQ(pal_mem_write(CARDSIM_MEM_BASE + CARDSIM_MEM_SIZE - 1, two, 2, 0), PAL_RET_NOK);
    EXPECT_EQ(pal_mem_read(UINT64_MAX, two, 2, 0), PAL_RET_NOK);
    EXPECT_EQ(pal_ring_db32(CARDSIM_MEM_BASE + CARDSIM_MEM_SIZE, 1), PAL_RET_NOK);
}

TEST_F(PalJtag, VariantIsChosenByTheEnvironment)
{
    std::string out;
    // PAL_J2C_PORT picks jtag, which takes type 1 only: the monitor's type 7
    // fails and the library is never loaded
    use_standin();
    EXPECT_EQ(init_captured(platform::PLATFORM_TYPE_HW, &out), PAL_RET_NOK);
    EXPECT_TRUE(has(out, "PAL_J2C_DEBUG - platform type 7 is not supported")) << out;
    EXPECT_EQ(standin().calls("jtag_init"), 0);
    EXPECT_FALSE(has(out, "loading jtag library")) << out;

    EXPECT_EQ(reinit_captured(platform::PLATFORM_TYPE_MOCK, &out), PAL_RET_NOK);
    EXPECT_EQ(standin().calls("jtag_init"), 0);

    EXPECT_EQ(reinit_captured(platform::PLATFORM_TYPE_JTAG, &out), PAL_RET_OK) << out;
    EXPECT_EQ(standin().calls("jtag_init"), 1);
    EXPECT_EQ(pal_table()->platform_type, platform::PLATFORM_TYPE_JTAG);

    // only the first pal_init of the process does anything
    EXPECT_EQ(init_captured(platform::PLATFORM_TYPE_JTAG, &out), PAL_RET_OK);
    EXPECT_EQ(out, "");
    EXPECT_EQ(standin().calls("jtag_init"), 1);

    // telnet settings beside PAL_J2C_PORT do not change the choice
    setenv("PAL_TELNET_PORT", "23", 1);
    setenv("PAL_TELNET_IPADDR", "127.0.0.1", 1);
    EXPECT_EQ(reinit_captured(platform::PLATFORM_TYPE_JTAG, &out), PAL_RET_OK) << out;
    EXPECT_EQ(standin().calls("jtag_init"), 2);
    unsetenv("PAL_TELNET_PORT");
    unsetenv("PAL_TELNET_IPADDR");

    // without PAL_J2C_PORT the library is not used, even when named; type 1
    // has no internal variant
    unsetenv("PAL_J2C_PORT");
    EXPECT_EQ(reinit_captured(platform::PLATFORM_TYPE_JTAG, &out), PAL_RET_NOK);
    EXPECT_EQ(standin().calls("jtag_init"), 2);
    EXPECT_FALSE(has(out, "PAL_J2C_DEBUG")) << out;
}

TEST_F(PalJtag, LinkComesUpOnTheGivenPortAndSubAsic)
{
    std::string out;
    use_standin("7031");
    setenv("SUB_ASIC", "2", 1);
    ASSERT_EQ(init_captured(platform::PLATFORM_TYPE_JTAG, &out), PAL_RET_OK) << out;
    EXPECT_EQ(standin().last_arg("jtag_init"), 7031);
    EXPECT_EQ(standin().last_arg("set_asic_target"), 2);
    EXPECT_EQ(standin().last_arg("jtag_reset"), 10);
    EXPECT_EQ(standin().last_arg("jtag_enable"), 10);
    // init, target, reset, enable: in that order
    EXPECT_LT(standin().last_seq("jtag_init"), standin().last_seq("set_asic_target"));
    EXPECT_LT(standin().last_seq("set_asic_target"), standin().last_seq("jtag_reset"));
    EXPECT_LT(standin().last_seq("jtag_reset"), standin().last_seq("jtag_enable"));
    EXPECT_EQ(pal_get_sub_asic(), 2);

    // every line of progress carries the prefix and says what happened
    auto lines = lines_of(out);
    ASSERT_FALSE(lines.empty());
    for (const auto& line : lines) {
        EXPECT_EQ(line.rfind("PAL_J2C_DEBUG - ", 0), 0u) << line;
    }
    EXPECT_TRUE(has(out, std::string("loading jtag library ") + JTAG_STANDIN_PATH)) << out;
    EXPECT_TRUE(has(out, "jtag_init port 7031")) << out;
    EXPECT_TRUE(has(out, "set_asic_target 2")) << out;
    EXPECT_TRUE(has(out, "jtag_reset 10")) << out;
    EXPECT_TRUE(has(out, "jtag_enable 10")) << out;
    EXPECT_TRUE(has(out, "jtag ready on port 7031")) << out;

    testing::internal::CaptureStdout();
    pal_teardown(platform::PLATFORM_TYPE_JTAG);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "PAL_J2C_DEBUG - closing jtag library\n");

    // an empty port means the default one; no SUB_ASIC: no target call
    standin().clear();
    unsetenv("SUB_ASIC");
    setenv("PAL_J2C_PORT", "", 1);
    ASSERT_EQ(init_captured(platform::PLATFORM_TYPE_JTAG, &out), PAL_RET_OK) << out;
    EXPECT_EQ(standin().last_arg("jtag_init"), 256);
    EXPECT_EQ(standin().calls("set_asic_target"), 0);
    EXPECT_EQ(pal_get_sub_asic(), 0);
    pal_teardown(platform::PLATFORM_TYPE_JTAG);

    // the variant on its own, without PAL_J2C_PORT at all: port 256
    standin().clear();
    unsetenv("PAL_J2C_PORT");
    testing::internal::CaptureStdout();
    pal_info_s table = {};
    EXPECT_EQ(pal_jtag_init(platform::PLATFORM_TYPE_JTAG, table), PAL_RET_OK);
    EXPECT_NE(table.reg_read, nullptr);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(standin().last_arg("jtag_init"), 256) << out;
    testing::internal::CaptureStdout();
    EXPECT_EQ(pal_jtag_teardown(), PAL_RET_OK);
    testing::internal::GetCapturedStdout();
}

TEST_F(PalJtag, BadPortOrSubAsicIsRefusedBeforeLoading)
{
    std::string out;
    use_standin();
    for (const char* port : {"12abc", "-1", "+4", " 5", "0x10", "99999999999"}) {
        setenv("PAL_J2C_PORT", port, 1);
        EXPECT_EQ(reinit_captured(platform::PLATFORM_TYPE_JTAG, &out), PAL_RET_NOK) << port;
        EXPECT_TRUE(has(out, std::string("PAL_J2C_DEBUG - PAL_J2C_PORT \"") + port + "\" is not a decimal port number"))
            << out;
        EXPECT_FALSE(has(out, "loading jtag library")) << out;
    }
    setenv("PAL_J2C_PORT", "5", 1);
    for (const char* sub : {"", "one", "1.5"}) {
        setenv("SUB_ASIC", sub, 1);
        EXPECT_EQ(reinit_captured(platform::PLATFORM_TYPE_JTAG, &out), PAL_RET_NOK) << sub;
        EXPECT_TRUE(has(out, "PAL_J2C_DEBUG - SUB_ASIC \"")) << out;
    }
    EXPECT_EQ(standin().calls("jtag_init"), 0);
}

TEST_F(PalJtag, MissingOrBrokenLibraryFailsWithTheReason)
{
    std::string out;
    setenv("PAL_J2C_PORT", "5", 1);

    setenv("JTAG_LIB_PATH", "/nonexistent/libjtag_nope.so", 1);
    EXPECT_EQ(init_captured(platform::PLATFORM_TYPE_JTAG, &out), PAL_RET_NOK);
    EXPECT_TRUE(has(out, "PAL_J2C_DEBUG - cannot load jtag library /nonexistent/libjtag_nope.so: ")) << out;
    EXPECT_TRUE(has(out, "cannot open shared object file")) << out << " (the loader's own reason)";

    // no JTAG_LIB_PATH: the library's usual name, not present here
    unsetenv("JTAG_LIB_PATH");
    EXPECT_EQ(reinit_captured(platform::PLATFORM_TYPE_JTAG, &out), PAL_RET_NOK);
    EXPECT_TRUE(has(out, "PAL_J2C_DEBUG - cannot load jtag library libaccpcie_talmira.so: ")) << out;

    // a file that is not a library at all
    std::string junk = testing::TempDir() + "pal_jtag_not_a_library.so";
    {
        std::ofstream f(junk);
        f << "this is not an elf file\n";
    }
    setenv("JTAG_LIB_PATH", junk.c_str(), 1);
    EXPECT_EQ(reinit_captured(platform::PLATFORM_TYPE_JTAG, &out), PAL_RET_NOK);
    EXPECT_TRUE(has(out, "PAL_J2C_DEBUG - cannot load jtag library " + junk + ": ")) << out;
    std::remove(junk.c_str());

    // a library without jtag_wr: refused before anything is called
    ASSERT_TRUE(standin_partial().ok());
    standin_partial().clear();
    setenv("JTAG_LIB_PATH", JTAG_STANDIN_PARTIAL_PATH, 1);
    EXPECT_EQ(reinit_captured(platform::PLATFORM_TYPE_JTAG, &out), PAL_RET_NOK);
    EXPECT_TRUE(has(out, std::string("PAL_J2C_DEBUG - jtag library ") + JTAG_STANDIN_PARTIAL_PATH +
                             " has no entry point jtag_wr: "))
        << out;
    EXPECT_TRUE(has(out, "undefined symbol: jtag_wr")) << out;
    EXPECT_EQ(standin_partial().calls("jtag_init"), 0);

    // the failed variant left the library closed: teardown has nothing to close
    testing::internal::CaptureStdout();
    EXPECT_EQ(pal_teardown(platform::PLATFORM_TYPE_JTAG), PAL_RET_OK);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(PalJtag, FailingEntryPointsFailTheirOperations)
{
    std::string out;
    use_standin();
    setenv("SUB_ASIC", "1", 1);

    // bringing the link up: each step's failure fails pal_init, and no later
    // step is taken
    const char* steps[] = {"jtag_init", "set_asic_target", "jtag_reset", "jtag_enable"};
    for (size_t i = 0; i < 4; ++i) {
        standin().clear();
        standin().fail(steps[i], 1);
        EXPECT_EQ(reinit_captured(platform::PLATFORM_TYPE_JTAG, &out), PAL_RET_NOK) << steps[i];
        EXPECT_TRUE(has(out, std::string(steps[i]) + " ")) << out;
        EXPECT_TRUE(has(out, "failed, rc -1")) << out;
        EXPECT_FALSE(has(out, "jtag ready")) << out;
        EXPECT_EQ(standin().calls(steps[i]), 1);
        for (size_t later = i + 1; later < 4; ++later) {
            EXPECT_EQ(standin().calls(steps[later]), 0) << steps[later] << " after failing " << steps[i];
        }
    }

    cardsim_host host({1, {}, 0});
    ASSERT_TRUE(host.ok()) << host.error();
    setenv("JTAG_STANDIN_RSC", host.sysfs_dir(host.card(0).rsc_bdf).c_str(), 1);
    standin().clear();
    ASSERT_EQ(reinit_captured(platform::PLATFORM_TYPE_JTAG, &out), PAL_RET_OK) << out;
    card_window regs(host, 0, "resource0");
    card_window mem(host, 0, "resource2");
    ASSERT_TRUE(regs.ok() && mem.ok());

    // reads: register and memory reads fail, with the address on stdout
    standin().fail("jtag_rd", 1);
    uint32_t words[2] = {};
    uint8_t bytes[16] = {};
    testing::internal::CaptureStdout();
    EXPECT_EQ(pal_reg_read(CARDSIM_REG_BASE, words, 2), PAL_RET_NOK);
    EXPECT_EQ(pal_mem_read(CARDSIM_MEM_BASE, bytes, sizeof(bytes), 0), PAL_RET_NOK);
    out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(has(out, "PAL_J2C_DEBUG - jtag_rd failed at 0x20000000, 8 bytes, rc -1")) << out;
    EXPECT_TRUE(has(out, "PAL_J2C_DEBUG - jtag_rd failed at 0x40000000, 16 bytes, rc -1")) << out;
    standin().fail("jtag_rd", 0);
    EXPECT_EQ(pal_reg_read(CARDSIM_REG_BASE, words, 2), PAL_RET_OK);

    // writes: every writing operation fails and the card is left alone
    standin().fail("jtag_wr", 1);
    auto regs_before = regs.snapshot();
    auto mem_before = mem.snapshot();
    const uint32_t w[2] = {0x01020304u, 0x05060708u};
    const uint8_t b[4] = {9, 9, 9, 9};
    testing::internal::CaptureStdout();
    EXPECT_EQ(pal_reg_write(CARDSIM_REG_BASE + 0x10, w, 2), PAL_RET_NOK);
    EXPECT_EQ(pal_mem_write(CARDSIM_MEM_BASE + 0x10, b, 4, 0), PAL_RET_NOK);
    EXPECT_EQ(pal_mem_set(CARDSIM_MEM_BASE + 0x20, 0x33, 600, 0), PAL_RET_NOK);
    EXPECT_EQ(pal_ring_db16(CARDSIM_REG_BASE + 0x30, 1), PAL_RET_NOK);
    EXPECT_EQ(pal_ring_db32(CARDSIM_REG_BASE + 0x30, 1), PAL_RET_NOK);
    EXPECT_EQ(pal_ring_db64(CARDSIM_REG_BASE + 0x30, 1), PAL_RET_NOK);
    out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(has(out, "PAL_J2C_DEBUG - jtag_wr failed at 0x20000010, 8 bytes, rc -1")) << out;
    EXPECT_EQ(standin().calls("jtag_wr"), 6) << "a fill stops at its first failing write";
    EXPECT_TRUE(regs.snapshot() == regs_before);
    EXPECT_TRUE(mem.snapshot() == mem_before);

    // after teardown the entries left in the table fail instead of calling
    // into the closed library
    standin().fail("jtag_wr", 0);
    testing::internal::CaptureStdout();
    pal_teardown(platform::PLATFORM_TYPE_JTAG);
    testing::internal::GetCapturedStdout();
    int calls = standin().calls("jtag_rd") + standin().calls("jtag_wr");
    EXPECT_EQ(pal_reg_read(CARDSIM_REG_BASE, words, 1), PAL_RET_NOK);
    EXPECT_EQ(pal_mem_write(CARDSIM_MEM_BASE, b, 4, 0), PAL_RET_NOK);
    EXPECT_EQ(pal_mem_set(CARDSIM_MEM_BASE, 0, 4, 0), PAL_RET_NOK);
    EXPECT_EQ(pal_ring_db64(CARDSIM_REG_BASE, 0), PAL_RET_NOK);
    EXPECT_EQ(standin().calls("jtag_rd") + standin().calls("jtag_wr"), calls);
}

}  // namespace
