// the telnet variant against a stand-in console serving an emulated card:
// the access check, the choice by environment, the start-up dialogue, and a
// console that stalls, drops the line or answers nonsense

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emulator/cardsim_host.h"
#include "log/module_trace.h"
#include "pal/pal.h"
#include "pal/tests/pal_access_check.h"
#include "tests/support/console_standin.h"
#include "tests/support/process_runner.h"

namespace {

using namespace sdk::lib;
namespace platform = sdk::platform;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

std::mutex g_log_mutex;
std::vector<std::string> g_log;

int recording_cb(uint32_t, uint32_t, const char* format, ...)
{
    char text[k_logger_msg_max];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log.emplace_back(text);
    return 0;
}

bool logged(const std::string& text)
{
    std::lock_guard<std::mutex> lock(g_log_mutex);
    for (const std::string& line : g_log) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

const std::vector<std::string> k_startup = {"test", "show version", "log backend log_backend_uart disable"};

// an emulated card, a console in front of it, and the environment pointing
// at the console; the platform layer is torn down after each case
class PalTelnet : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* name : k_names) {
            const char* v = getenv(name);
            saved_.emplace_back(v != nullptr, v ? v : "");
            unsetenv(name);
        }
        {
            std::lock_guard<std::mutex> lock(g_log_mutex);
            g_log.clear();
        }
        logger_init(recording_cb);
        host_ = std::make_unique<cardsim_host>(cardsim_host_options_s{1, {}, 0});
        ASSERT_TRUE(host_->ok()) << host_->error();
    }
    void TearDown() override
    {
        pal_teardown(platform::PLATFORM_TYPE_MOCK);
        console_.reset();
        host_.reset();
        logger_init(nullptr);
        for (size_t i = 0; i < saved_.size(); i++) {
            if (saved_[i].first) {
                setenv(k_names[i], saved_[i].second.c_str(), 1);
            } else {
                unsetenv(k_names[i]);
            }
        }
    }

    // a console over the card's register and memory windows, and the
    // variables that lead to it
    void start_console(const console_standin_faults_s& faults = {})
    {
        std::string dir = host_->sysfs_dir(host_->card(0).rsc_bdf);
        console_ = std::make_unique<console_standin>(
            std::vector<console_standin_window_s>{{dir + "/resource0", CARDSIM_REG_BASE},
                                                  {dir + "/resource2", CARDSIM_MEM_BASE}},
            faults);
        ASSERT_TRUE(console_->ok()) << console_->error();
        setenv("PAL_TELNET_IPADDR", "127.0.0.1", 1);
        setenv("PAL_TELNET_PORT", std::to_string(console_->port()).c_str(), 1);
    }

    // pal_init, and how long it took
    pal_ret_t timed_init(platform::platform_type_t type, milliseconds& took)
    {
        auto t0 = steady_clock::now();
        pal_ret_t rc = pal_init(type, nullptr);
        took = std::chrono::duration_cast<milliseconds>(steady_clock::now() - t0);
        return rc;
    }

    static constexpr const char* k_names[] = {"PAL_J2C_PORT", "PAL_TELNET_PORT", "PAL_TELNET_IPADDR"};
    std::vector<std::pair<bool, std::string>> saved_;
    std::unique_ptr<cardsim_host> host_;
    std::unique_ptr<console_standin> console_;
};

template <typename F>
milliseconds time_of(F&& f)
{
    auto t0 = steady_clock::now();
    f();
    return std::chrono::duration_cast<milliseconds>(steady_clock::now() - t0);
}

TEST_F(PalTelnet, RegistersMemoryAndDoorbellsReachTheCard)
{
    for (bool shell_like : {false, true}) {
        SCOPED_TRACE(shell_like ? "shell-like console" : "plain console");
        console_standin_faults_s faults;
        faults.shell_like = shell_like;  // option offers, echo, a coloured prompt
        start_console(faults);
        ASSERT_EQ(pal_init(platform::PLATFORM_TYPE_MOCK, nullptr), PAL_RET_OK);
        EXPECT_EQ(pal_get_platform_type(), platform::PLATFORM_TYPE_MOCK);
        pal_check_access(*host_, 0);

        card_window regs(*host_, 0, "resource0");
        card_window mem(*host_, 0, "resource2");
        ASSERT_TRUE(regs.ok() && mem.ok());
        EXPECT_EQ(pal_ring_db16(CARDSIM_REG_BASE + 0x302, 0xbeef), PAL_RET_OK);
        EXPECT_EQ(regs.get<uint16_t>(0x302), 0xbeef);
        EXPECT_EQ(pal_ring_db32(CARDSIM_REG_BASE + 0x304, 0x12345678u), PAL_RET_OK);
        EXPECT_EQ(regs.get<uint32_t>(0x304), 0x12345678u);
        EXPECT_EQ(pal_ring_db64(CARDSIM_REG_BASE + 0x308, 0x0123456789abcdefull), PAL_RET_OK);
        EXPECT_EQ(regs.get<uint64_t>(0x308), 0x0123456789abcdefull);

        // transfers larger than one command go in pieces
        std::vector<uint32_t> words(150), back(150);
        for (size_t i = 0; i < words.size(); i++) {
            words[i] = static_cast<uint32_t>(0x9e3779b9u * (i + 1));
        }
        ASSERT_EQ(pal_reg_write(CARDSIM_REG_BASE + 0x1000, words.data(), words.size()), PAL_RET_OK);
        ASSERT_EQ(pal_reg_read(CARDSIM_REG_BASE + 0x1000, back.data(), back.size()), PAL_RET_OK);
        EXPECT_EQ(back, words);
        std::vector<uint8_t> bytes(5000), got(5000);
        for (size_t i = 0; i < bytes.size(); i++) {
            bytes[i] = static_cast<uint8_t>(i * 13 + 1);
        }
        ASSERT_EQ(pal_mem_write(CARDSIM_MEM_BASE + 0x20003, bytes.data(), bytes.size()), PAL_RET_OK);
        EXPECT_EQ(memcmp(mem.at(0x20003), bytes.data(), bytes.size()), 0);
        ASSERT_EQ(pal_mem_read(CARDSIM_MEM_BASE + 0x20003, got.data(), got.size()), PAL_RET_OK);
        EXPECT_EQ(got, bytes);
        ASSERT_EQ(pal_mem_set(CARDSIM_MEM_BASE + 0x30000, 0xa5, 70000), PAL_RET_OK);
        EXPECT_EQ(mem.at(0x30000)[69999], 0xa5);
        EXPECT_NE(mem.at(0x30000)[70000], 0xa5);

        // the console's refusals are failures, and the session goes on
        uint32_t w = 0;
        EXPECT_NE(pal_reg_read(CARDSIM_REG_BASE + CARDSIM_REG_SIZE, &w, 1), PAL_RET_OK);
        EXPECT_NE(pal_mem_write(CARDSIM_MEM_BASE + CARDSIM_MEM_SIZE - 2, bytes.data(), 3), PAL_RET_OK);
        EXPECT_NE(pal_ring_db32(CARDSIM_REG_BASE + 2, 1), PAL_RET_OK);
        EXPECT_TRUE(logged("refused"));
        EXPECT_EQ(pal_reg_read(CARDSIM_REG_BASE + 0x304, &w, 1), PAL_RET_OK);
        EXPECT_EQ(w, 0x12345678u);
        // nothing is sent for what cannot be a card range
        EXPECT_NE(pal_mem_read(UINT64_MAX - 3, got.data(), 8), PAL_RET_OK);
        EXPECT_NE(pal_reg_read(CARDSIM_REG_BASE, nullptr, 1), PAL_RET_OK);
        EXPECT_EQ(console_->connections(), 1u);

        // the translation entries stay the default variant's
        uint64_t va = 1;
        EXPECT_EQ(pal_physical_addr_to_virtual_addr(CARDSIM_MEM_BASE, &va), PAL_RET_OK);
        EXPECT_EQ(va, 1u);

        EXPECT_EQ(pal_teardown(platform::PLATFORM_TYPE_MOCK), PAL_RET_OK);
        console_.reset();
    }
}

TEST_F(PalTelnet, StartUpDialogueAndTeardown)
{
    start_console();
    ASSERT_EQ(pal_init(platform::PLATFORM_TYPE_HW, nullptr), PAL_RET_OK);
    EXPECT_EQ(console_->commands(), k_startup);
    EXPECT_TRUE(logged("talmira console stand-in 1.0")) << "the version is reported";
    EXPECT_EQ(pal_init(platform::PLATFORM_TYPE_HW, nullptr), PAL_RET_OK) << "a later call does nothing";
    EXPECT_EQ(console_->connections(), 1u);

    uint32_t w = 0;
    ASSERT_EQ(pal_reg_read(CARDSIM_REG_BASE, &w, 1), PAL_RET_OK);
    EXPECT_EQ(console_->commands().back(), "rd32 0x20000000 1");

    // teardown hangs up and unpublishes the table: calls fail cleanly
    EXPECT_EQ(pal_teardown(platform::PLATFORM_TYPE_HW), PAL_RET_OK);
    EXPECT_TRUE(test_wait_until([&] { return !console_->connected(); }, milliseconds(2000)));
    EXPECT_NE(pal_reg_read(CARDSIM_REG_BASE, &w, 1), PAL_RET_OK);

    // and a new pal_init dials again
    ASSERT_EQ(pal_init(platform::PLATFORM_TYPE_MOCK, nullptr), PAL_RET_OK);
    EXPECT_EQ(console_->connections(), 2u);
    EXPECT_EQ(pal_reg_read(CARDSIM_REG_BASE, &w, 1), PAL_RET_OK);
}

TEST_F(PalTelnet, ChosenOnlyWithBothVariablesAndForTypes3And7)
{
    start_console();
    const std::string port = std::to_string(console_->port());

    // one variable alone: the built-in variant for type 3, nothing dialled
    for (const char* alone : {"PAL_TELNET_IPADDR", "PAL_TELNET_PORT"}) {
        SCOPED_TRACE(alone);
        unsetenv("PAL_TELNET_IPADDR");
        unsetenv("PAL_TELNET_PORT");
        setenv(alone, strcmp(alone, "PAL_TELNET_PORT") == 0 ? port.c_str() : "127.0.0.1", 1);
        ASSERT_EQ(pal_init(platform::PLATFORM_TYPE_MOCK, nullptr), PAL_RET_OK);
        uint32_t w = 0x5a5a5a5a, r = 0;
        ASSERT_EQ(pal_reg_write(CARDSIM_REG_BASE + 8, &w, 1), PAL_RET_OK);
        ASSERT_EQ(pal_reg_read(CARDSIM_REG_BASE + 8, &r, 1), PAL_RET_OK);
        EXPECT_EQ(r, w);
        EXPECT_EQ(console_->connections(), 0u);
        pal_teardown(platform::PLATFORM_TYPE_MOCK);
    }

    // both: the telnet variant, which serves types 3 and 7 only
    setenv("PAL_TELNET_IPADDR", "127.0.0.1", 1);
    setenv("PAL_TELNET_PORT", port.c_str(), 1);
    for (platform::platform_type_t type : {platform::PLATFORM_TYPE_JTAG, platform::PLATFORM_TYPE_SIM, 9u}) {
        SCOPED_TRACE(type);
        EXPECT_EQ(pal_init(type, nullptr), PAL_RET_NOK);
        EXPECT_TRUE(logged("Failed to initialize PAL for platform type " + std::to_string(type) + ", err 1"));
        pal_teardown(type);
    }
    EXPECT_EQ(console_->connections(), 0u);
    EXPECT_EQ(pal_init(platform::PLATFORM_TYPE_MOCK, nullptr), PAL_RET_OK);
    EXPECT_EQ(console_->connections(), 1u);
}

TEST_F(PalTelnet, BadAddressPortOrNoListenerFailsAtOnce)
{
    // a port nobody listens on
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const std::string closed = std::to_string(ntohs(addr.sin_port));
    close(s);

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"localhost", "23"}, {"not an address", "23"}, {"256.1.1.1", "23"}, {"", "23"},
        {"127.0.0.1", ""},   {"127.0.0.1", "0"},      {"127.0.0.1", "65536"}, {"127.0.0.1", "23x"},
        {"127.0.0.1", "-1"}, {"127.0.0.1", " 23"},    {"127.0.0.1", std::string(300, '9')},
        {"127.0.0.1", closed}, {"::1", closed},
    };
    for (const auto& [ip, port] : cases) {
        SCOPED_TRACE("\"" + ip + "\" port \"" + port.substr(0, 20) + "\"");
        {
            std::lock_guard<std::mutex> lock(g_log_mutex);
            g_log.clear();
        }
        setenv("PAL_TELNET_IPADDR", ip.c_str(), 1);
        setenv("PAL_TELNET_PORT", port.c_str(), 1);
        milliseconds took;
        EXPECT_EQ(timed_init(platform::PLATFORM_TYPE_MOCK, took), PAL_RET_NOK);
        EXPECT_LT(took.count(), 1000);
        EXPECT_TRUE(logged("Telnet connection failed"));
        pal_teardown(platform::PLATFORM_TYPE_MOCK);
    }
}

TEST_F(PalTelnet, SilentOrSlowConsoleFailsWithinItsWait)
{
    // no prompt at all: the 2 s wait for it
    console_standin_faults_s faults;
    faults.no_prompt = true;
    start_console(faults);
    milliseconds took;
    EXPECT_EQ(timed_init(platform::PLATFORM_TYPE_MOCK, took), PAL_RET_NOK);
    EXPECT_GE(took.count(), 1900);
    EXPECT_LT(took.count(), 4000);
    EXPECT_TRUE(logged("no prompt within 2000 ms"));
    EXPECT_TRUE(logged("Telnet connection failed"));
    pal_teardown(platform::PLATFORM_TYPE_MOCK);

    // "test" is given 100 ms
    faults = {};
    faults.delay_ms = 600;
    faults.delay_on = "test";
    console_->set_faults(faults);
    EXPECT_EQ(timed_init(platform::PLATFORM_TYPE_MOCK, took), PAL_RET_NOK);
    EXPECT_LT(took.count(), 500);
    EXPECT_TRUE(logged("no prompt within 100 ms"));
    pal_teardown(platform::PLATFORM_TYPE_MOCK);

    // a slow answer within the wait is fine
    faults.delay_ms = 300;
    faults.delay_on = "rd32";
    console_->set_faults(faults);
    ASSERT_EQ(pal_init(platform::PLATFORM_TYPE_MOCK, nullptr), PAL_RET_OK);
    uint32_t w = 0;
    EXPECT_EQ(pal_reg_read(CARDSIM_REG_BASE, &w, 1), PAL_RET_OK);
    pal_teardown(platform::PLATFORM_TYPE_MOCK);

    // one beyond it fails the call and ends the session: later calls fail at
    // once instead of reading the late answer
    faults.delay_ms = 3000;
    console_->set_faults(faults);
    ASSERT_EQ(pal_init(platform::PLATFORM_TYPE_MOCK, nullptr), PAL_RET_OK);
    milliseconds read_took = time_of([&] { EXPECT_NE(pal_reg_read(CARDSIM_REG_BASE, &w, 1), PAL_RET_OK); });
    EXPECT_GE(read_took.count(), 1900);
    EXPECT_LT(read_took.count(), 2900);
    EXPECT_LT(time_of([&] { EXPECT_NE(pal_mem_set(CARDSIM_MEM_BASE, 0, 4), PAL_RET_OK); }).count(), 100);
    EXPECT_TRUE(logged("not connected"));
}

TEST_F(PalTelnet, DroppedConnectionFailsEveryLaterCall)
{
    // during start-up
    console_standin_faults_s faults;
    faults.drop_after = 1;
    start_console(faults);
    milliseconds took;
    EXPECT_EQ(timed_init(platform::PLATFORM_TYPE_MOCK, took), PAL_RET_NOK);
    EXPECT_LT(took.count(), 1000);
    EXPECT_TRUE(logged("connection closed by the console"));
    pal_teardown(platform::PLATFORM_TYPE_MOCK);

    // in use: the start-up commands and one more are answered
    faults.drop_after = 4;
    console_->set_faults(faults);
    ASSERT_EQ(pal_init(platform::PLATFORM_TYPE_MOCK, nullptr), PAL_RET_OK);
    uint8_t b[16] = {};
    EXPECT_EQ(pal_mem_read(CARDSIM_MEM_BASE, b, sizeof(b)), PAL_RET_OK);
    EXPECT_LT(time_of([&] { EXPECT_NE(pal_mem_read(CARDSIM_MEM_BASE, b, sizeof(b)), PAL_RET_OK); }).count(), 1000);
    uint32_t w = 1;
    EXPECT_NE(pal_reg_write(CARDSIM_REG_BASE, &w, 1), PAL_RET_OK);
    EXPECT_NE(pal_ring_db64(CARDSIM_REG_BASE, 1), PAL_RET_OK);
}

TEST_F(PalTelnet, GarbageAnswersFailTheirCall)
{
    start_console();
    struct garbage_case_s {
        console_garbage_e kind;
        const char* on;
        const char* logged;
        bool session_survives;
    };
    for (const garbage_case_s& c : {garbage_case_s{console_garbage_e::text, "rd32", "not understood", true},
                                    {console_garbage_e::text, "rdmem", "not understood", true},
                                    {console_garbage_e::text, "wrmem", "not understood", true},
                                    {console_garbage_e::error, "rdmem", "error: injected fault", true},
                                    {console_garbage_e::error, "fill", "error: injected fault", true},
                                    {console_garbage_e::overlong, "rd32", "line too long", false}}) {
        SCOPED_TRACE(std::string(c.on) + " " + c.logged);
        console_standin_faults_s faults;
        faults.garbage = c.kind;
        faults.garbage_on = c.on;
        console_->set_faults(faults);
        ASSERT_EQ(pal_init(platform::PLATFORM_TYPE_MOCK, nullptr), PAL_RET_OK);
        uint32_t w = 0xffffffff;
        uint8_t b[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        pal_ret_t rc;
        if (strcmp(c.on, "rd32") == 0) {
            rc = pal_reg_read(CARDSIM_REG_BASE, &w, 1);
        } else if (strcmp(c.on, "rdmem") == 0) {
            rc = pal_mem_read(CARDSIM_MEM_BASE, b, sizeof(b));
        } else if (strcmp(c.on, "wrmem") == 0) {
            rc = pal_mem_write(CARDSIM_MEM_BASE, b, sizeof(b));
        } else {
            rc = pal_mem_set(CARDSIM_MEM_BASE, 0, 8);
        }
        EXPECT_NE(rc, PAL_RET_OK);
        EXPECT_TRUE(logged(c.logged));
        EXPECT_EQ(pal_ring_db32(CARDSIM_REG_BASE + 4, 7) == PAL_RET_OK, c.session_survives);
        pal_teardown(platform::PLATFORM_TYPE_MOCK);
    }

    // the same at start-up: an over-long banner line
    console_standin_faults_s faults;
    faults.garbage = console_garbage_e::overlong;
    faults.garbage_on = "show version";
    console_->set_faults(faults);
    EXPECT_EQ(pal_init(platform::PLATFORM_TYPE_MOCK, nullptr), PAL_RET_NOK);
    EXPECT_TRUE(logged("Telnet connection failed"));
}

TEST_F(PalTelnet, ThreadsTakeTurnsOnTheConsole)
{
    start_console();
    ASSERT_EQ(pal_init(platform::PLATFORM_TYPE_MOCK, nullptr), PAL_RET_OK);
    card_window mem(*host_, 0, "resource2");
    ASSERT_TRUE(mem.ok());
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

}  // namespace
