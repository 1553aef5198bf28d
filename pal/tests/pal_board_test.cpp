// the platform layer's board services on an emulated card: CPLD, sensors
// and FRU over endpoint 6, transceiver cages and module memory over
// endpoint 7, the chunked and paged reads, and the host variant's entries

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emulator/cardsim_host.h"
#include "log/module_trace.h"
#include "pal/pal.h"
#include "pal/pal_cpld.h"
#include "pal/pal_hw_x86.h"
#include "pal/pal_qsfp.h"

namespace {

// the IPC channel and the card binding are per thread and never released:
// every check that talks to a card runs on a thread of its own
void on_card_thread(const std::string& card_bdf, const std::function<void()>& body)
{
    std::thread t([&] {
        ASSERT_EQ(pal_hw_x86_init(card_bdf.c_str()), 0);
        body();
    });
    t.join();
}

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

// the platform layer's messages of one test
class log_capture {
public:
    log_capture()
    {
        std::lock_guard<std::mutex> lock(g_log_mutex);
        g_log.clear();
        logger_init(recording_cb);
        logger_register_module_id(1);
    }
    ~log_capture() { logger_init(nullptr); }
    bool has(const std::string& text) const
    {
        std::lock_guard<std::mutex> lock(g_log_mutex);
        for (const auto& line : g_log) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
};

cardsim_board& board(cardsim_host& host, size_t card = 0)
{
    return host.firmware(card).board();
}

size_t requests(cardsim_host& host, uint32_t ep, uint32_t op, size_t card = 0)
{
    return board(host, card).requests(ep, op).size();
}

// the emulated module's pattern: lower byte i is i, byte j of upper page p is p ^ j ^ 0x80
uint8_t upper_byte(uint32_t page, uint32_t j)
{
    return static_cast<uint8_t>(page ^ j ^ 0x80);
}

class no_vmb_bdf {
public:
    no_vmb_bdf()
    {
        const char* v = getenv("VMB_BDF");
        had_ = v != nullptr;
        saved_ = v ? v : "";
        unsetenv("VMB_BDF");
    }
    ~no_vmb_bdf()
    {
        if (had_) {
            setenv("VMB_BDF", saved_.c_str(), 1);
        } else {
            unsetenv("VMB_BDF");
        }
    }

private:
    bool had_ = false;
    std::string saved_;
};

TEST(PalBoard, CpldSensorsFruAndResetReasons)
{
    no_vmb_bdf env;
    log_capture log;
    cardsim_host host({1, {}, 0});
    ASSERT_TRUE(host.ok()) << host.error();
    cardsim_cpld_s cpld = board(host).cpld();
    cpld.regs[0x21] = 0x5a;
    cpld.reset_events = (1u << 0) | (1u << 13);
    board(host).set_cpld(cpld);

    on_card_thread(host.card(0).card_bdf, [&] {
        EXPECT_EQ(pal_get_cpld_rev(), 3);
        EXPECT_EQ(pal_get_cpld_id(), 101);
        EXPECT_EQ(pal_get_cpld_minor_rev(), 2);
        EXPECT_EQ(pal_cpld_boot_status(), 0);
        EXPECT_TRUE(pal_is_orlix_card());

        EXPECT_EQ(pal_system_set_led(3, 1), 0);
        EXPECT_EQ(pal_get_system_led(), 3 | 1 << 8);
        EXPECT_EQ(pal_cpld_set_card_status(7), 0);
        EXPECT_EQ(pal_write_fw_ver_to_cpld(1, 4, 0, 9), 0);
        uint8_t reg = 0;
        EXPECT_EQ(pal_ipc_get_cpld_reg(0x21, &reg), 0);
        EXPECT_EQ(reg, 0x5a);
        EXPECT_EQ(pal_ipc_set_cpld_reg(0x22, 0xa5), 0);
        EXPECT_EQ(pal_ipc_get_cpld_reg(0x22, &reg), 0);
        EXPECT_EQ(reg, 0xa5);
        EXPECT_EQ(pal_ipc_c_fwsel(1), 0);
        EXPECT_EQ(pal_ipc_c_fwsel(9), -CARDSIM_BOARD_EINVAL);

        uint32_t v = 0;
        EXPECT_EQ(pal_ipc_c_read_pin(&v), 0);
        EXPECT_EQ(v, 18000u);
        EXPECT_EQ(pal_ipc_c_read_vout2(&v), 0);
        EXPECT_EQ(v, 1200u);
        EXPECT_EQ(pal_ipc_c_read_die_temperature(&v), 0);
        EXPECT_EQ(v, 57u);
        EXPECT_EQ(pal_ipc_c_read_hwtrip_temp(&v), 0);
        EXPECT_EQ(v, 110u);

        // bits 0 and 13: the warm reset wins over the software reboot
        EXPECT_EQ(pal_get_reset_events(), (1u << 0) | (1u << 13));
        EXPECT_EQ(pal_get_rst_reason(), 12);
        EXPECT_STREQ(pal_get_rst_reason_descr(12), "ASIC warm reset");
        // bit 31 is an event like any other, not a failure
        cardsim_cpld_s high = board(host).cpld();
        high.reset_events = (1u << 31) | (1u << 5);
        board(host).set_cpld(high);
        EXPECT_EQ(pal_get_reset_events(), (1u << 31) | (1u << 5));
        EXPECT_EQ(pal_get_rst_reason(), 1);

        // a FRU read is its bytes at the offset; past the FRU it fails all ones
        std::vector<uint8_t> fru(32, 0);
        EXPECT_EQ(pal_fru_read(fru.data(), 18, 0), 0);
        EXPECT_EQ(std::string(fru.begin() + 8, fru.begin() + 18), "ORLIX-2600");
        EXPECT_EQ(fru[18], 0);  // nothing past the size asked
        std::vector<uint8_t> big(600, 0x11);
        const size_t sent = requests(host, CARDSIM_EP_CPLD, PAL_IPC_CPLD_FRU_READ);
        EXPECT_EQ(pal_fru_read(big.data(), 600, 0), -5);
        EXPECT_EQ(requests(host, CARDSIM_EP_CPLD, PAL_IPC_CPLD_FRU_READ), sent);
        EXPECT_EQ(big[0], 0x11);
        EXPECT_EQ(pal_fru_read(fru.data(), 4, 4096), -CARDSIM_BOARD_EINVAL);
        EXPECT_EQ(fru[0], 0xff);
        EXPECT_EQ(fru[3], 0xff);
        EXPECT_EQ(fru[4], 0);
    });
    cpld = board(host).cpld();
    EXPECT_EQ(cpld.card_status, 7);
    EXPECT_EQ(cpld.fw_version, (std::array<uint8_t, 4>{1, 4, 0, 9}));
    EXPECT_EQ(cpld.fw_select, 1u);
    auto req = board(host).requests(CARDSIM_EP_CPLD, PAL_IPC_CPLD_SET_SYSTEM_LED);
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(req[0].body.size(), 12u);
    EXPECT_EQ(req[0].word(4), 3u | 1u << 8);

    EXPECT_EQ(pal_rst_reason_from_events(0), 0);
    EXPECT_EQ(pal_rst_reason_from_events(1u << 3), 8);
    EXPECT_EQ(pal_rst_reason_from_events((1u << 4) | (1u << 15)), 15);
    EXPECT_EQ(pal_rst_reason_from_events(1u << 22), 22);
    EXPECT_STREQ(pal_get_rst_reason_descr(0), "Unknown");
    EXPECT_STREQ(pal_get_rst_reason_descr(22), "Cold boot");
    EXPECT_STREQ(pal_get_rst_reason_descr(23), "Unknown");
    EXPECT_STREQ(pal_get_rst_reason_descr(26), "Unknown");
    EXPECT_STREQ(pal_get_rst_reason_descr(27), "Invalid reason");
    EXPECT_STREQ(pal_get_rst_reason_descr(-1), "Invalid reason");

    // the firmware's failures: a status keeps the value, a refused or
    // short exchange gives 0 from the plain queries
    cpld = board(host).cpld();
    cpld.id = 103;
    cpld.status = 7;
    board(host).set_cpld(cpld);
    on_card_thread(host.card(0).card_bdf, [&] {
        uint32_t v = 0xdead;
        EXPECT_EQ(pal_ipc_c_cpld_id(&v), -7);
        EXPECT_EQ(v, 0u);  // the answer's value field
        EXPECT_EQ(pal_get_system_led(), -7);
        EXPECT_EQ(pal_get_reset_events(), 0u);
    });
    cpld.status = 0;
    board(host).set_cpld(cpld);
    host.set_fault(0, {cardsim_fault_e::FW_ERRNO, 5, CARDSIM_EP_CPLD, PAL_IPC_CPLD_ID});
    on_card_thread(host.card(0).card_bdf, [&] {
        uint32_t v = 0xdead;
        EXPECT_EQ(pal_ipc_c_cpld_id(&v), PAL_IPC_ERR_EXCHANGE);
        EXPECT_EQ(v, 0xdeadu);
        EXPECT_EQ(pal_get_cpld_id(), 0);
        EXPECT_FALSE(pal_is_orlix_card());
        EXPECT_EQ(pal_get_cpld_rev(), 3);
    });
    EXPECT_TRUE(log.has("pal ipc send cpld command failed to send err:-71"));
    host.set_fault(0, {cardsim_fault_e::SHORT_BODY, 2, CARDSIM_EP_CPLD, PAL_IPC_CPLD_ID});
    on_card_thread(host.card(0).card_bdf, [&] { EXPECT_EQ(pal_get_cpld_id(), 0); });
    host.set_fault(0, {cardsim_fault_e::SHORT_BODY, 10, CARDSIM_EP_CPLD, PAL_IPC_CPLD_FRU_READ});
    on_card_thread(host.card(0).card_bdf, [&] {
        uint8_t fru[16] = {};
        EXPECT_EQ(pal_fru_read(fru, 16, 0), PAL_IPC_ERR_EXCHANGE);
    });
    host.clear_fault(0);
    on_card_thread(host.card(0).card_bdf, [&] {
        EXPECT_EQ(pal_get_cpld_id(), 103);
        EXPECT_TRUE(pal_is_orlix_card());
    });
}

TEST(PalBoard, ChannelFollowsVmbBdfOrTheThreadsCard)
{
    no_vmb_bdf env;
    cardsim_host host({2, {}, 0});
    ASSERT_TRUE(host.ok()) << host.error();
    cardsim_cpld_s cpld = board(host, 1).cpld();
    cpld.rev = 9;
    board(host, 1).set_cpld(cpld);
    on_card_thread(host.card(0).card_bdf, [&] { EXPECT_EQ(pal_get_cpld_rev(), 3); });
    on_card_thread(host.card(1).card_bdf, [&] { EXPECT_EQ(pal_get_cpld_rev(), 9); });
    setenv("VMB_BDF", host.card(1).card_bdf.c_str(), 1);
    on_card_thread(host.card(0).card_bdf, [&] { EXPECT_EQ(pal_get_cpld_rev(), 9); });
    EXPECT_EQ(requests(host, CARDSIM_EP_CPLD, PAL_IPC_CPLD_REV, 0), 1u);
    EXPECT_EQ(requests(host, CARDSIM_EP_CPLD, PAL_IPC_CPLD_REV, 1), 2u);
    // a card that is not there: no channel
    setenv("VMB_BDF", "0000:99:00.0", 1);
    on_card_thread(host.card(0).card_bdf, [&] {
        uint32_t v = 0;
        EXPECT_EQ(pal_ipc_c_cpld_rev(&v), PAL_IPC_ERR_NO_CHANNEL);
        EXPECT_EQ(pal_get_cpld_rev(), 0);
    });
}

TEST(PalBoard, TransceiverCommandsAndChunkedReads)
{
    no_vmb_bdf env;
    log_capture log;
    cardsim_host host({1, {}, 0});
    ASSERT_TRUE(host.ok()) << host.error();
    ASSERT_EQ(board(host).ports(), 2u);
    board(host).set_present(2, false);
    on_card_thread(host.card(0).card_bdf, [&] {
        EXPECT_EQ(pal_is_qsfp_port_psnt(1), 1);
        EXPECT_EQ(pal_is_qsfp_port_psnt(2), 0);
        EXPECT_EQ(pal_is_qsfp_port_psnt(3), -CARDSIM_BOARD_EINVAL);
        EXPECT_EQ(pal_qsfp_reset_port(1), 0);
        EXPECT_EQ(pal_is_qsfp_port_reset(1), 1);
        EXPECT_EQ(pal_qsfp_set_port(1), 0);
        EXPECT_EQ(pal_is_qsfp_port_reset(1), 0);
        EXPECT_EQ(pal_qsfp_power_en(1, false), 0);
        EXPECT_EQ(pal_is_qsfp_port_powered_up(1), 0);
        EXPECT_EQ(pal_qsfp_power_en(1, true), 0);
        EXPECT_EQ(pal_is_qsfp_port_powered_up(1), 1);
        EXPECT_EQ(pal_is_qsfp_port_power_failure(1), 0);
        EXPECT_EQ(pal_is_qsfp_port_power_ctrl_present(1), 1);
        EXPECT_EQ(pal_qsfp_set_low_power_mode(1), 0);
        EXPECT_EQ(pal_qsfp_set_led(1, 2, 5), 0);
        EXPECT_EQ(pal_cpld_set_port_link_status(1, 1), 0);
        EXPECT_EQ(pal_write_qsfp_temp(45, 1), 0);
        EXPECT_EQ(pal_qsfp_mdio_read(1, 0, nullptr), -1);
        EXPECT_EQ(pal_qsfp_phy_write(1, 0, 0), -1);
    });
    cardsim_xcvr_s x = board(host).xcvr(1);
    EXPECT_TRUE(x.low_power);
    EXPECT_EQ(x.led_colour, 2);
    EXPECT_EQ(x.led_frequency, 5);
    EXPECT_EQ(x.link_status, 1);
    EXPECT_EQ(x.temperature, 45u);
    x.intr_pending = true;
    board(host).set_xcvr(1, x);
    on_card_thread(host.card(0).card_bdf, [&] {
        EXPECT_EQ(pal_is_qsfp_presence_intr_pending(1), 1);
        EXPECT_EQ(pal_qsfp_presence_intr_clear(1), 0);
        EXPECT_EQ(pal_is_qsfp_presence_intr_pending(1), 0);
        EXPECT_EQ(pal_qsfp_reset_low_power_mode(1), 0);
    });
    EXPECT_FALSE(board(host).xcvr(1).low_power);

    // 600 bytes from 128 (page 0 onwards) come in two answers, 512 and 88
    board(host).clear_requests();
    on_card_thread(host.card(0).card_bdf, [&] {
        std::vector<uint8_t> buf(600 + 16, 0xee);
        EXPECT_EQ(pal_qsfp_read(buf.data(), 600, 128, 2, 1), 0);
        bool pattern = true;
        for (uint32_t i = 0; i < 600; i++) {
            // page 3 starts with the module's thresholds (bytes 128-199)
            const bool thresholds = i / 128 == 3 && i % 128 < 72;
            pattern = pattern && (thresholds || buf[i] == upper_byte(i / 128, i % 128));
        }
        EXPECT_TRUE(pattern);
        EXPECT_EQ(buf[600], 0xee);
    });
    auto reads = board(host).requests(CARDSIM_EP_XCVR, PAL_IPC_QSFP_READ);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].body.size(), PAL_QSFP_REQ_SIZE);
    EXPECT_EQ(reads[0].word(0), 0u);
    EXPECT_EQ(reads[1].word(0), 512u);
    for (const auto& r : reads) {
        EXPECT_EQ(r.word(4), 1u);
        EXPECT_EQ(r.word(12), 128u);
        EXPECT_EQ(r.word(20), 600u);
        EXPECT_EQ(r.word(24), 2u);
    }

    on_card_thread(host.card(0).card_bdf, [&] {
        // monitoring data has its own memory
        uint8_t dom[4] = {};
        EXPECT_EQ(pal_qsfp_dom_read(dom, 4, 8, 1, 1), 0);
        EXPECT_EQ(dom[0], 8 ^ 0xd0);
        EXPECT_EQ(dom[3], 11 ^ 0xd0);

        // write then read back; 213 bytes are refused before sending
        const uint8_t data[3] = {0xc1, 0xc2, 0xc3};
        EXPECT_EQ(pal_qsfp_write(data, 3, 10, 1, 1), 0);
        uint8_t back[3] = {};
        EXPECT_EQ(pal_qsfp_read(back, 3, 10, 1, 1), 0);
        EXPECT_EQ(std::vector<uint8_t>(back, back + 3), std::vector<uint8_t>(data, data + 3));
        const size_t writes = requests(host, CARDSIM_EP_XCVR, PAL_IPC_QSFP_WRITE);
        std::vector<uint8_t> too_long(213, 1);
        EXPECT_EQ(pal_qsfp_write(too_long.data(), 213, 0, 1, 1), 3);
        EXPECT_EQ(requests(host, CARDSIM_EP_XCVR, PAL_IPC_QSFP_WRITE), writes);
        EXPECT_EQ(pal_qsfp_write(too_long.data(), 212, 0, 1, 1), 0);

        // an absent module, a failing read: all ones and the status
        std::vector<uint8_t> buf(20, 0);
        EXPECT_EQ(pal_qsfp_read(buf.data(), 20, 0, 1, 2), static_cast<int>(CARDSIM_BOARD_ENODEV));
        EXPECT_EQ(buf, std::vector<uint8_t>(20, 0xff));
        board(host).set_xcvr_fault({cardsim_xcvr_fault_e::READ_FAILS, 2, 1});
        std::fill(buf.begin(), buf.end(), 0);
        EXPECT_EQ(pal_qsfp_read(buf.data(), 20, 0, 1, 1), 2);
        EXPECT_EQ(buf, std::vector<uint8_t>(20, 0xff));

        // an answer longer than asked lands only as far as the buffer goes
        board(host).set_xcvr_fault({cardsim_xcvr_fault_e::LONG_CHUNK, 0, 0});
        std::vector<uint8_t> guarded(10 + 64, 0xee);
        EXPECT_EQ(pal_qsfp_read(guarded.data(), 10, 0, 1, 1), 0);
        EXPECT_EQ(guarded[9], 1);  // the 212 bytes written above
        EXPECT_EQ(guarded[10], 0xee);
        EXPECT_EQ(guarded.back(), 0xee);

        // "more to come" with nothing in it does not loop
        board(host).set_xcvr_fault({cardsim_xcvr_fault_e::READ_STALLS, 0, 0});
        EXPECT_EQ(pal_qsfp_read(buf.data(), 20, 0, 1, 1), PAL_IPC_ERR_EXCHANGE);
        EXPECT_EQ(buf, std::vector<uint8_t>(20, 0xff));
        board(host).set_xcvr_fault({});

        // transport failures: the send's result and the command's message
        host.set_fault(0, {cardsim_fault_e::DRIVER_ERRNO, EIO, CARDSIM_EP_XCVR, PAL_IPC_QSFP_READ});
        std::fill(buf.begin(), buf.end(), 0x33);
        EXPECT_EQ(pal_qsfp_read(buf.data(), 20, 0, 1, 1), PAL_IPC_ERR_EXCHANGE);
        EXPECT_EQ(buf[0], 0x33);
        host.set_fault(0, {cardsim_fault_e::STATUS_11, 0, CARDSIM_EP_XCVR, PAL_IPC_QSFP_PORT_PRESENT});
        EXPECT_EQ(pal_is_qsfp_port_psnt(1), -11);
        host.clear_fault(0);
        EXPECT_EQ(pal_qsfp_read(nullptr, 4, 0, 1, 1), -EINVAL);
    });
    EXPECT_TRUE(log.has("pal ipc qsfp read command failed to send err:-71"));
}

TEST(PalBoard, HostVariantEntries)
{
    no_vmb_bdf env;
    cardsim_host host({1, {}, 0});
    ASSERT_TRUE(host.ok()) << host.error();
    ASSERT_EQ(sdk::lib::pal_init(sdk::platform::PLATFORM_TYPE_HW, nullptr), sdk::lib::PAL_RET_OK);
    board(host).set_present(2, false);
    cardsim_cpld_s cpld = board(host).cpld();
    cpld.reset_events = 1u << 9;
    board(host).set_cpld(cpld);
    on_card_thread(host.card(0).card_bdf, [&] {
        EXPECT_EQ(sdk::lib::pal_get_cpld_id(), 101);
        EXPECT_EQ(sdk::lib::pal_get_cpld_rev(), 3);
        EXPECT_EQ(sdk::lib::get_rst_reason(), 5);
        EXPECT_EQ(sdk::lib::get_system_led(), 0);
        EXPECT_TRUE(sdk::lib::pal_is_qsfp_port_present(1));
        EXPECT_FALSE(sdk::lib::pal_is_qsfp_port_present(2));
        EXPECT_FALSE(sdk::lib::pal_is_qsfp_port_present(7));
        EXPECT_EQ(sdk::lib::pal_qsfp_reset_port(1), sdk::lib::PAL_RET_OK);
        EXPECT_TRUE(sdk::lib::pal_is_qsfp_port_reset(1));
        EXPECT_EQ(sdk::lib::pal_qsfp_set_port(7), sdk::lib::PAL_RET_NOK);
        EXPECT_EQ(sdk::lib::pal_qsfp_presence_intr_clear(7), sdk::lib::PAL_RET_OK);
        EXPECT_EQ(sdk::lib::pal_qsfp_set_led(1, 1, 1), 0);  // not on this variant

        // the lower page: no select
        board(host).clear_requests();
        uint8_t lower[4] = {};
        EXPECT_EQ(sdk::lib::pal_qsfp_read(lower, 4, 2, PAL_QSFP_LOWER_PAGE, 1, 1), 0);
        EXPECT_EQ(lower[0], 2);
        EXPECT_EQ(requests(host, CARDSIM_EP_XCVR, PAL_IPC_QSFP_WRITE), 0u);
        // page 2: selected, read, and byte 127 set back to 4
        uint8_t upper[4] = {};
        EXPECT_EQ(sdk::lib::pal_qsfp_read(upper, 4, 128, 2, 1, 1), 0);
        EXPECT_EQ(upper[0], upper_byte(2, 0));
        EXPECT_EQ(upper[3], upper_byte(2, 3));
        auto selects = board(host).requests(CARDSIM_EP_XCVR, PAL_IPC_QSFP_WRITE);
        ASSERT_EQ(selects.size(), 2u);
        EXPECT_EQ(selects[0].word(12), 127u);
        EXPECT_EQ(selects[0].body[28], 2);
        EXPECT_EQ(selects[1].body[28], 4);
        EXPECT_EQ(board(host).selected_page(1), 4);

        const uint8_t data[2] = {0x77, 0x78};
        EXPECT_EQ(sdk::lib::pal_qsfp_write(data, 2, 130, 5, 1, 1), 0);
        EXPECT_EQ(board(host).xcvr(1).upper[5 * 128 + 2], 0x77);
        EXPECT_EQ(sdk::lib::pal_qsfp_read(upper, 0, 0, 4, 1, 1), -1);
        EXPECT_EQ(sdk::lib::pal_qsfp_write(data, 0, 0, 4, 1, 1), -1);
        // an absent module: the read fails and so does a write whose select fails
        EXPECT_EQ(sdk::lib::pal_qsfp_read(upper, 4, 0, 4, 1, 2), -1);
        EXPECT_EQ(sdk::lib::pal_qsfp_write(data, 2, 130, 5, 1, 2), -1);
    });
}

// the paged functions share one lock handle per process: every check of
// them is here, starting with a lock that cannot be attached
TEST(PalBoard, PagedAccessUnderTheLock)
{
    no_vmb_bdf env;
    log_capture log;
    cardsim_host host({1, {}, 0});
    ASSERT_TRUE(host.ok()) << host.error();
    if (access("/share/", F_OK) == 0) {
        GTEST_SKIP() << "this host keeps its lock records in /share/";
    }
    const bool lock_existed = access("/dev/shm/qsfp_lock", F_OK) == 0;

    // while the testbed shows a folder where the lock record should be, the
    // lock cannot be attached and nothing is sent
    const std::string blocker = host.root_dir() + "/dev/shm/qsfp_lock";
    std::filesystem::create_directories(blocker);
    on_card_thread(host.card(0).card_bdf, [&] {
        uint8_t buf[4] = {};
        const uint8_t data[1] = {1};
        EXPECT_EQ(pal_qsfp_read_page(buf, 4, 0, 2, 1, 1), -1);
        EXPECT_EQ(pal_qsfp_read_page_fast(buf, 4, 0, 2, 1, 1, 10), -1);
        EXPECT_EQ(pal_qsfp_write_page(data, 1, 0, 2, 1, 1), -1);
        EXPECT_EQ(pal_qsfp_bank_page_sel(126, 0, 2, 1, 0, 10, buf), -1);
    });
    EXPECT_TRUE(board(host).requests().empty());
    EXPECT_TRUE(log.has("Failed to acquire qsfp lock"));
    std::filesystem::remove_all(host.root_dir() + "/dev/shm");

    on_card_thread(host.card(0).card_bdf, [&] {
        uint8_t buf[8] = {};
        EXPECT_EQ(pal_qsfp_read_page(buf, 0, 0, 4, 1, 1), -1);
        // the lower page: one read, no select
        board(host).clear_requests();
        EXPECT_EQ(pal_qsfp_read_page(buf, 4, 20, PAL_QSFP_LOWER_PAGE, 1, 1), 0);
        EXPECT_EQ(buf[0], 20);
        EXPECT_EQ(requests(host, CARDSIM_EP_XCVR, PAL_IPC_QSFP_WRITE), 0u);
        // page 2 stays selected afterwards
        EXPECT_EQ(pal_qsfp_read_page(buf, 4, 128, 2, 1, 1), 0);
        EXPECT_EQ(buf[1], upper_byte(2, 1));
        EXPECT_EQ(board(host).selected_page(1), 2);

        // the fast read retries a failing read as often as told
        board(host).set_xcvr_fault({cardsim_xcvr_fault_e::READ_FAILS, 5, 1});
        board(host).clear_requests();
        EXPECT_EQ(pal_qsfp_read_page_fast(buf, 4, 128, 1, 3, 1, 10), -1);
        EXPECT_EQ(requests(host, CARDSIM_EP_XCVR, PAL_IPC_QSFP_READ), 3u);
        board(host).set_xcvr_fault({});
        EXPECT_EQ(pal_qsfp_read_page_fast(buf, 4, 128, 1, 3, 1, 10), 0);
        EXPECT_EQ(buf[0], upper_byte(1, 0));

        // a write goes to the page selected first; a failing select writes nothing
        const uint8_t data[2] = {0x61, 0x62};
        EXPECT_EQ(pal_qsfp_write_page(data, 2, 140, 6, 1, 1), 0);
        EXPECT_EQ(board(host).xcvr(1).upper[6 * 128 + 12], 0x61);
        board(host).set_xcvr_fault({cardsim_xcvr_fault_e::WRITE_FAILS, 5, 1});
        board(host).clear_requests();
        EXPECT_EQ(pal_qsfp_write_page(data, 2, 140, 7, 1, 1), -1);
        EXPECT_EQ(requests(host, CARDSIM_EP_XCVR, PAL_IPC_QSFP_WRITE), 1u);
        board(host).set_xcvr_fault({});

        // bank and page at 126 of port + 1, then byte 127 read back
        board(host).clear_requests();
        uint8_t readback = 0;
        EXPECT_EQ(pal_qsfp_bank_page_sel(126, 1, 9, 1, 0, 10, &readback), 0);
        EXPECT_EQ(readback, 9);
        auto w = board(host).requests(CARDSIM_EP_XCVR, PAL_IPC_QSFP_WRITE);
        ASSERT_EQ(w.size(), 1u);
        EXPECT_EQ(w[0].word(4), 1u);
        EXPECT_EQ(w[0].word(12), 126u);
        EXPECT_EQ(w[0].word(20), 2u);
        EXPECT_EQ(w[0].body[28], 1);
        EXPECT_EQ(w[0].body[29], 9);
        board(host).set_present(2, false);
        EXPECT_EQ(pal_qsfp_bank_page_sel(126, 1, 9, 1, 1, 10, &readback), -1);
    });
    if (!lock_existed) {
        unlink("/dev/shm/qsfp_lock");
    }
}

}  // namespace
