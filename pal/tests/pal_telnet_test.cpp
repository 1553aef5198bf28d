// the telnet variant beyond the checks every variant runs: the start-up
// dialogue, threads sharing the console, and a console that stalls, drops
// the line or answers nonsense. the upper bounds on how long a failure takes
// grow with ORLIX_TIMEOUT_SCALE; the lower ones are the variant's own waits

#include <chrono>

#include "pal/pal.h"
#include "pal/tests/pal_test_support.h"

namespace {

using namespace sdk::lib;
namespace platform = sdk::platform;
using std::chrono::milliseconds;

class PalTelnet : public pal_host_test {
protected:
    void SetUp() override
    {
        start(1);
        console_ = pal_console_for(*host_);
        ASSERT_TRUE(console_->ok()) << console_->error();
    }
    void TearDown() override { pal_teardown(platform::PLATFORM_TYPE_MOCK); }

    pal_test_log log_;
    std::unique_ptr<console_standin> console_;
};

long took_ms(const std::function<void()>& f)
{
    auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - t0).count();
}

TEST_F(PalTelnet, StartUpDialogueTeardownAndThreadsTakingTurns)
{
    ASSERT_EQ(pal_init(platform::PLATFORM_TYPE_HW, nullptr), PAL_RET_OK);
    EXPECT_EQ(console_->commands(),
              (std::vector<std::string>{"test", "show version", "log backend log_backend_uart disable"}));
    EXPECT_TRUE(log_.has("talmira console stand-in 1.0")) << "the version is reported";
    uint32_t w = 0;
    ASSERT_EQ(pal_reg_read(CARDSIM_REG_BASE, &w, 1), PAL_RET_OK);
    uint64_t va = 1;
    EXPECT_EQ(pal_physical_addr_to_virtual_addr(CARDSIM_MEM_BASE, &va), PAL_RET_OK);
    EXPECT_EQ(va, 1u) << "translation stays the default variant's";

    // teardown hangs up; a new pal_init dials again
    EXPECT_EQ(pal_teardown(platform::PLATFORM_TYPE_HW), PAL_RET_OK);
    EXPECT_TRUE(test_wait_until([&] { return !console_->connected(); }, milliseconds(2000)));
    ASSERT_EQ(pal_init(platform::PLATFORM_TYPE_MOCK, nullptr), PAL_RET_OK);
    EXPECT_EQ(console_->connections(), 2u);
    EXPECT_EQ(pal_reg_read(CARDSIM_REG_BASE, &w, 1), PAL_RET_OK);

    // threads take turns on the one console
    std::vector<std::thread> threads;
    std::vector<int> bad(4, 0);
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([t, &bad] {
            // each thread has its own block: 600 bytes go as several commands
            const uint64_t at = CARDSIM_MEM_BASE + 0x40000 + 0x1000 * t;
            std::vector<uint8_t> out(600), in(600);
            for (int round = 0; round < 20; round++) {
                for (size_t i = 0; i < out.size(); i++) {
                    out[i] = static_cast<uint8_t>(t * 31 + round * 7 + i);
                }
                if (pal_mem_write(at, out.data(), out.size()) != PAL_RET_OK ||
                    pal_mem_read(at, in.data(), in.size()) != PAL_RET_OK || in != out) {
                    bad[t]++;
                }
            }
        });
    }
    for (std::thread& th : threads) {
        th.join();
    }
    EXPECT_EQ(bad, std::vector<int>(4, 0));
}

// a console that misbehaves at start-up, or on one command once in use
struct fault_case_s {
    const char* what;
    console_standin_faults_s faults;
    bool init_ok;              // pal_init still succeeds
    pal_ret_t (*call)();       // the call that meets the fault, once in use
    const char* logged;
    long min_ms, max_ms;       // how long the failing step takes
    bool session_survives;     // a later call still works
};

uint8_t g_buf[16];
uint32_t g_word;
pal_ret_t read_reg() { return pal_reg_read(CARDSIM_REG_BASE, &g_word, 1); }
pal_ret_t read_mem() { return pal_mem_read(CARDSIM_MEM_BASE, g_buf, sizeof(g_buf)); }
pal_ret_t write_mem() { return pal_mem_write(CARDSIM_MEM_BASE, g_buf, sizeof(g_buf)); }
pal_ret_t fill_mem() { return pal_mem_set(CARDSIM_MEM_BASE, 0, 8); }

console_standin_faults_s faults(std::function<void(console_standin_faults_s&)> set)
{
    console_standin_faults_s f;
    set(f);
    return f;
}

const fault_case_s k_fault_cases[] = {
    {"no prompt", faults([](auto& f) { f.no_prompt = true; }), false, nullptr, "no prompt within 2000 ms", 1900, 4000, false},
    {"test answered late", faults([](auto& f) { f.delay_ms = 600, f.delay_on = "test"; }), false, nullptr,
     "no prompt within 100 ms", 0, 500, false},
    {"dropped during start-up", faults([](auto& f) { f.drop_after = 1; }), false, nullptr,
     "connection closed by the console", 0, 1000, false},
    {"overlong banner line", faults([](auto& f) { f.garbage = console_garbage_e::overlong, f.garbage_on = "show version"; }),
     false, nullptr, "Telnet connection failed", 0, 2000, false},
    {"slow within the wait", faults([](auto& f) { f.delay_ms = 300, f.delay_on = "rd32"; }), true, nullptr, "", 0, 0, true},
    {"dropped in use", faults([](auto& f) { f.drop_after = 3; }), true, read_mem, "connection closed by the console", 0,
     1000, false},
    {"text for words", faults([](auto& f) { f.garbage = console_garbage_e::text, f.garbage_on = "rd32"; }), true,
     read_reg, "not understood", 0, 2000, true},
    {"text for bytes", faults([](auto& f) { f.garbage = console_garbage_e::text, f.garbage_on = "rdmem"; }), true,
     read_mem, "not understood", 0, 2000, true},
    {"text for nothing", faults([](auto& f) { f.garbage = console_garbage_e::text, f.garbage_on = "wrmem"; }), true,
     write_mem, "not understood", 0, 2000, true},
    {"refused read", faults([](auto& f) { f.garbage = console_garbage_e::error, f.garbage_on = "rdmem"; }), true,
     read_mem, "error: injected fault", 0, 2000, true},
    {"refused fill", faults([](auto& f) { f.garbage = console_garbage_e::error, f.garbage_on = "fill"; }), true,
     fill_mem, "error: injected fault", 0, 2000, true},
    {"overlong line", faults([](auto& f) { f.garbage = console_garbage_e::overlong, f.garbage_on = "rd32"; }), true,
     read_reg, "line too long", 0, 2000, false},
    // last: the console is still sitting on this answer when the case ends
    {"no answer", faults([](auto& f) { f.delay_ms = 3000, f.delay_on = "rd32"; }), true, read_reg,
     "no prompt within 2000 ms", 1900, 2900, false},
};

TEST_F(PalTelnet, MisbehavingConsoleFailsWithinItsWait)
{
    for (const fault_case_s& c : k_fault_cases) {
        SCOPED_TRACE(c.what);
        log_.clear();
        console_->set_faults(c.faults);
        pal_ret_t rc = PAL_RET_OK;
        long ms = took_ms([&] { rc = pal_init(platform::PLATFORM_TYPE_MOCK, nullptr); });
        EXPECT_EQ(rc == PAL_RET_OK, c.init_ok);
        EXPECT_EQ(log_.has("Telnet connection failed"), !c.init_ok);
        if (c.init_ok && !c.call) {
            EXPECT_EQ(read_reg(), PAL_RET_OK);
        } else {
            if (c.init_ok) {
                ms = took_ms([&] { EXPECT_NE(c.call(), PAL_RET_OK); });
            }
            EXPECT_GE(ms, c.min_ms);
            EXPECT_LT(ms, c.max_ms * test_timeout_scale());
            EXPECT_TRUE(log_.has(c.logged));
        }
        if (c.call) {  // a lost session fails every later call at once, instead of reading a late answer
            ms = took_ms([&] { EXPECT_EQ(pal_ring_db32(CARDSIM_REG_BASE + 4, 7) == PAL_RET_OK, c.session_survives); });
            EXPECT_LT(ms, 1000 * test_timeout_scale());
        }
        pal_teardown(platform::PLATFORM_TYPE_MOCK);
    }
}

}  // namespace
