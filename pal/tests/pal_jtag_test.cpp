// the jtag variant beyond the checks every variant runs, driven through the
// stand-in jtag library: bringing the link up, and the library or its entry
// points failing

#include <dlfcn.h>

#include "pal/pal.h"
#include "pal/pal_jtag.h"
#include "pal/tests/pal_test_support.h"

namespace {

using namespace sdk::lib;
namespace platform = sdk::platform;

// the stand-in's own controls: this process keeps the library loaded, so its
// counters outlive the variant's dlclose
struct standin_api {
    void* h = dlopen(JTAG_STANDIN_PATH, RTLD_NOW | RTLD_LOCAL);
    int (*stat)(const char*, int) = h ? reinterpret_cast<int (*)(const char*, int)>(dlsym(h, "jtag_standin_stat")) : nullptr;
    void (*fail)(const char*, int) = h ? reinterpret_cast<void (*)(const char*, int)>(dlsym(h, "jtag_standin_fail")) : nullptr;
    void (*clear)() = h ? reinterpret_cast<void (*)()>(dlsym(h, "jtag_standin_clear")) : nullptr;
    int calls(const char* entry) const { return stat(entry, 0); }
    int last_arg(const char* entry) const { return stat(entry, 1); }
    int last_seq(const char* entry) const { return stat(entry, 2); }
} g_standin;

class PalJtag : public ::testing::Test {
protected:
    void SetUp() override
    {
        logger_init(null_logger_cb_);
        ASSERT_TRUE(g_standin.stat && g_standin.fail && g_standin.clear) << "cannot load " << JTAG_STANDIN_PATH;
        g_standin.clear();
        setenv("PAL_J2C_PORT", "5", 1);
        setenv("JTAG_LIB_PATH", JTAG_STANDIN_PATH, 1);
    }
    void TearDown() override
    {
        reinit(platform::PLATFORM_TYPE_NONE);
        g_standin.clear();
        logger_init(nullptr);
    }

    // a fresh pal_init (none for type 0) after undoing the last, and what it
    // printed on standard output
    pal_ret_t reinit(platform::platform_type_t type)
    {
        testing::internal::CaptureStdout();
        pal_teardown(platform::PLATFORM_TYPE_JTAG);
        pal_ret_t rc = type ? pal_init(type, nullptr) : PAL_RET_OK;
        out_ = testing::internal::GetCapturedStdout();
        return rc;
    }

    pal_test_env env_;
    std::string out_;
};

// bringing the link up on the given port and sub-asic; a failing step fails
// pal_init, and no later step is taken
TEST_F(PalJtag, LinkComesUpOrStopsAtAFailingStep)
{
    const char* steps[] = {"jtag_init", "set_asic_target", "jtag_reset", "jtag_enable"};
    struct case_s {
        const char* port;      // PAL_J2C_PORT
        const char* sub_asic;  // SUB_ASIC; null: unset
        int want_port, want_sub_asic;
        int failing;  // the step made to fail, -1: none
    };
    for (const case_s& c : {case_s{"5", "1", 5, 1, 0}, case_s{"5", "1", 5, 1, 1}, case_s{"5", "1", 5, 1, 2},
                            case_s{"5", "1", 5, 1, 3}, case_s{"7031", "2", 7031, 2, -1}, case_s{"", nullptr, 256, 0, -1}}) {
        SCOPED_TRACE(std::string(c.port) + (c.failing < 0 ? "" : std::string(" failing ") + steps[c.failing]));
        g_standin.clear();
        setenv("PAL_J2C_PORT", c.port, 1);
        c.sub_asic ? setenv("SUB_ASIC", c.sub_asic, 1) : unsetenv("SUB_ASIC");
        if (c.failing >= 0) {
            g_standin.fail(steps[c.failing], 1);
            EXPECT_EQ(reinit(platform::PLATFORM_TYPE_JTAG), PAL_RET_NOK);
            EXPECT_TRUE(test_has(out_, std::string("PAL_J2C_DEBUG - ") + steps[c.failing] + " ") &&
                        test_has(out_, "failed, rc -1"))
                << out_;
            EXPECT_FALSE(test_has(out_, "jtag ready")) << out_;
            for (int later = c.failing + 1; later < 4; ++later) {
                EXPECT_EQ(g_standin.calls(steps[later]), 0) << steps[later];
            }
            continue;
        }
        ASSERT_EQ(reinit(platform::PLATFORM_TYPE_JTAG), PAL_RET_OK) << out_;
        EXPECT_EQ(g_standin.last_arg("jtag_init"), c.want_port);
        EXPECT_EQ(g_standin.calls("set_asic_target"), c.sub_asic ? 1 : 0);
        EXPECT_EQ(pal_get_sub_asic(), c.want_sub_asic);
        EXPECT_EQ(g_standin.last_arg("jtag_reset"), 10);
        EXPECT_EQ(g_standin.last_arg("jtag_enable"), 10);
        // init, target, reset, enable: in that order
        EXPECT_LT(g_standin.last_seq("jtag_init"), g_standin.last_seq("jtag_reset"));
        EXPECT_LT(g_standin.last_seq("jtag_reset"), g_standin.last_seq("jtag_enable"));
        EXPECT_TRUE(test_has(out_, std::string("loading jtag library ") + JTAG_STANDIN_PATH)) << out_;
        EXPECT_TRUE(test_has(out_, "jtag ready on port " + std::to_string(c.want_port))) << out_;
    }
    reinit(platform::PLATFORM_TYPE_NONE);
    EXPECT_EQ(out_, "PAL_J2C_DEBUG - closing jtag library\n");
}

TEST_F(PalJtag, BadSettingsOrLibraryFailWithTheReason)
{
    test_temp_dir tmp("pal_jtag_test");
    const std::string junk = tmp.file("not_a_library.so");
    test_write_file(junk, "this is not an elf file\n");
    struct case_s {
        std::string var, value;
        std::string said{};  // on standard output; none: the number is refused
    };
    const std::vector<case_s> cases = {
        {"PAL_J2C_PORT", "12abc"}, {"PAL_J2C_PORT", "-1"},   {"PAL_J2C_PORT", "+4"},
        {"PAL_J2C_PORT", " 5"},    {"PAL_J2C_PORT", "0x10"}, {"PAL_J2C_PORT", "99999999999"},
        {"SUB_ASIC", ""},          {"SUB_ASIC", "1.5"},
        {"JTAG_LIB_PATH", "/nonexistent/libjtag_nope.so",
         "cannot load jtag library /nonexistent/libjtag_nope.so: /nonexistent/libjtag_nope.so: cannot open shared "
         "object file"},
        {"JTAG_LIB_PATH", "", "cannot load jtag library libaccpcie_talmira.so: "},
        {"JTAG_LIB_PATH", junk, "cannot load jtag library " + junk + ": "},
        {"JTAG_LIB_PATH", JTAG_STANDIN_PARTIAL_PATH,
         std::string("jtag library ") + JTAG_STANDIN_PARTIAL_PATH + " has no entry point jtag_wr: "},
    };
    for (const case_s& c : cases) {
        SCOPED_TRACE(c.var + "=" + c.value);
        setenv("PAL_J2C_PORT", "5", 1);
        setenv("JTAG_LIB_PATH", JTAG_STANDIN_PATH, 1);
        unsetenv("SUB_ASIC");
        setenv(c.var.c_str(), c.value.c_str(), 1);
        EXPECT_EQ(reinit(platform::PLATFORM_TYPE_JTAG), PAL_RET_NOK);
        const std::string number = c.var == "SUB_ASIC" ? "sub-asic" : "port";
        const std::string said = c.said.empty() ? c.var + " \"" + c.value + "\" is not a decimal " + number + " number" : c.said;
        EXPECT_TRUE(test_has(out_, "PAL_J2C_DEBUG - " + said)) << out_;
        if (c.var != "JTAG_LIB_PATH") {
            EXPECT_FALSE(test_has(out_, "loading jtag library")) << "refused before loading";
        }
        // nothing of a half-opened library stays behind
        reinit(platform::PLATFORM_TYPE_NONE);
        EXPECT_EQ(out_, "");
    }
    EXPECT_EQ(g_standin.calls("jtag_init"), 0);
}

TEST_F(PalJtag, FailingEntryPointsFailTheirOperations)
{
    cardsim_host host({1, {}, 0});
    ASSERT_TRUE(host.ok()) << host.error();
    setenv("JTAG_STANDIN_RSC", host.sysfs_dir(host.card(0).rsc_bdf).c_str(), 1);
    g_standin.clear();
    ASSERT_EQ(reinit(platform::PLATFORM_TYPE_JTAG), PAL_RET_OK) << out_;
    card_window regs(host, 0, "resource0"), mem(host, 0, "resource2");
    ASSERT_TRUE(regs.ok() && mem.ok());

    // a register block is one library read, not one per word
    uint32_t words[8] = {};
    ASSERT_EQ(pal_reg_read(CARDSIM_REG_BASE + 0x400, words, 8), PAL_RET_OK);
    EXPECT_EQ(g_standin.calls("jtag_rd"), 1);

    // a failing read fails, with the address on stdout
    g_standin.fail("jtag_rd", 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(pal_reg_read(CARDSIM_REG_BASE, words, 2), PAL_RET_NOK);
    EXPECT_EQ(pal_mem_read(CARDSIM_MEM_BASE, reinterpret_cast<uint8_t*>(words), 16), PAL_RET_NOK);
    out_ = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(test_has(out_, "PAL_J2C_DEBUG - jtag_rd failed at 0x20000000, 8 bytes, rc -1")) << out_;
    EXPECT_TRUE(test_has(out_, "PAL_J2C_DEBUG - jtag_rd failed at 0x40000000, 16 bytes, rc -1")) << out_;
    g_standin.fail("jtag_rd", 0);

    // every writing operation fails, a fill at its first write, and the card is left alone
    g_standin.fail("jtag_wr", 1);
    auto regs_before = regs.snapshot(), mem_before = mem.snapshot();
    const uint32_t w[2] = {0x01020304u, 0x05060708u};
    testing::internal::CaptureStdout();
    EXPECT_EQ(pal_reg_write(CARDSIM_REG_BASE + 0x10, w, 2), PAL_RET_NOK);
    EXPECT_EQ(pal_mem_write(CARDSIM_MEM_BASE + 0x10, reinterpret_cast<const uint8_t*>(w), 4), PAL_RET_NOK);
    EXPECT_EQ(pal_mem_set(CARDSIM_MEM_BASE + 0x20, 0x33, 600), PAL_RET_NOK);
    const uint64_t db = CARDSIM_REG_BASE + 0x30;
    EXPECT_EQ(std::vector<pal_ret_t>({pal_ring_db16(db, 1), pal_ring_db32(db, 1), pal_ring_db64(db, 1)}),
              std::vector<pal_ret_t>(3, PAL_RET_NOK));
    out_ = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(test_has(out_, "PAL_J2C_DEBUG - jtag_wr failed at 0x20000010, 8 bytes, rc -1")) << out_;
    EXPECT_EQ(g_standin.calls("jtag_wr"), 6);
    EXPECT_TRUE(regs.snapshot() == regs_before);
    EXPECT_TRUE(mem.snapshot() == mem_before);

    // the variant's table, kept by a caller past teardown, fails instead of
    // calling into the closed library
    g_standin.fail("jtag_wr", 0);
    reinit(platform::PLATFORM_TYPE_NONE);
    pal_info_s kept = {};
    testing::internal::CaptureStdout();
    ASSERT_EQ(pal_jtag_init(platform::PLATFORM_TYPE_JTAG, kept), PAL_RET_OK);
    EXPECT_EQ(pal_jtag_teardown(), PAL_RET_OK);
    testing::internal::GetCapturedStdout();
    const int calls = g_standin.calls("jtag_rd") + g_standin.calls("jtag_wr");
    EXPECT_EQ(kept.reg_read(CARDSIM_REG_BASE, words, 1), PAL_RET_NOK);
    EXPECT_EQ(kept.mem_set(CARDSIM_MEM_BASE, 0, 4, 0), PAL_RET_NOK);
    EXPECT_EQ(kept.ring_db64(CARDSIM_REG_BASE, 0), PAL_RET_NOK);
    EXPECT_EQ(g_standin.calls("jtag_rd") + g_standin.calls("jtag_wr"), calls);
}

}  // namespace
