// the platform layer's board services on an emulated card: CPLD, sensors
// and FRU over endpoint 6, transceiver cages and module memory over
// endpoint 7, the chunked and paged reads, and the host variant's entries
// over them

#include <cerrno>
#include <filesystem>

#include "pal/pal.h"
#include "pal/pal_cpld.h"
#include "pal/pal_qsfp.h"
#include "pal/tests/pal_test_support.h"

namespace {

// the emulated module's pattern: lower byte i is i, byte j of upper page p is p ^ j ^ 0x80
uint8_t upper_byte(uint32_t page, uint32_t j)
{
    return static_cast<uint8_t>(page ^ j ^ 0x80);
}

class PalBoard : public pal_host_test {
protected:
    cardsim_board& board(size_t card = 0) { return host_->firmware(card).board(); }
    size_t requests(uint32_t ep, uint32_t op, size_t card = 0) { return board(card).requests(ep, op).size(); }
    void set_cpld(const std::function<void(cardsim_cpld_s&)>& change, size_t card = 0)
    {
        cardsim_cpld_s cpld = board(card).cpld();
        change(cpld);
        board(card).set_cpld(cpld);
    }

    pal_test_log log_;
};

TEST_F(PalBoard, CpldSensorsFruAndResetReasons)
{
    start(1);
    set_cpld([](cardsim_cpld_s& c) {
        c.regs[0x21] = 0x5a;
        c.reset_events = (1u << 0) | (1u << 13);
    });
    on_card([&] {
        EXPECT_EQ(std::vector<int>({pal_get_cpld_rev(), pal_get_cpld_id(), pal_get_cpld_minor_rev(),
                                    pal_cpld_boot_status(), pal_is_orlix_card()}),
                  std::vector<int>({3, 101, 2, 0, 1}));
        EXPECT_EQ(pal_system_set_led(3, 1) | pal_cpld_set_card_status(7) | pal_write_fw_ver_to_cpld(1, 4, 0, 9), 0);
        EXPECT_EQ(pal_get_system_led(), 3 | 1 << 8);
        uint8_t reg = 0;
        EXPECT_EQ(pal_ipc_get_cpld_reg(0x21, &reg), 0);
        EXPECT_EQ(reg, 0x5a);
        EXPECT_EQ(pal_ipc_set_cpld_reg(0x22, 0xa5), 0);
        EXPECT_EQ(pal_ipc_get_cpld_reg(0x22, &reg), 0);
        EXPECT_EQ(reg, 0xa5);
        EXPECT_EQ(pal_ipc_c_fwsel(1), 0);
        EXPECT_EQ(pal_ipc_c_fwsel(9), -CARDSIM_BOARD_EINVAL);
        for (auto [read, want] : {std::pair<int (*)(uint32_t*), uint32_t>{pal_ipc_c_read_pin, 18000},
                                  {pal_ipc_c_read_vout2, 1200}, {pal_ipc_c_read_die_temperature, 57},
                                  {pal_ipc_c_read_hwtrip_temp, 110}}) {
            uint32_t v = 0;
            EXPECT_EQ(read(&v), 0);
            EXPECT_EQ(v, want);
        }
        // bits 0 and 13: the warm reset wins over the software reboot; bit
        // 31 is an event like any other, not a failure
        EXPECT_EQ(pal_get_reset_events(), (1u << 0) | (1u << 13));
        EXPECT_EQ(pal_get_rst_reason(), 12);
        set_cpld([](cardsim_cpld_s& c) { c.reset_events = (1u << 31) | (1u << 5); });
        EXPECT_EQ(pal_get_reset_events(), (1u << 31) | (1u << 5));
        EXPECT_EQ(pal_get_rst_reason(), 1);

        // a FRU read is its bytes at the offset; too large is refused
        // unsent; past the FRU it fails all ones
        std::vector<uint8_t> fru(32, 0), big(600, 0x11);
        EXPECT_EQ(pal_fru_read(fru.data(), 18, 0), 0);
        EXPECT_EQ(std::string(fru.begin() + 8, fru.begin() + 18), "ORLIX-2600");
        EXPECT_EQ(fru[18], 0);
        const size_t sent = requests(CARDSIM_EP_CPLD, PAL_IPC_CPLD_FRU_READ);
        EXPECT_EQ(pal_fru_read(big.data(), 600, 0), -5);
        EXPECT_EQ(requests(CARDSIM_EP_CPLD, PAL_IPC_CPLD_FRU_READ), sent);
        EXPECT_EQ(big[0], 0x11);
        EXPECT_EQ(pal_fru_read(fru.data(), 4, 4096), -CARDSIM_BOARD_EINVAL);
        EXPECT_EQ(std::vector<uint8_t>(fru.begin(), fru.begin() + 5), (std::vector<uint8_t>{0xff, 0xff, 0xff, 0xff, 0}));
    });
    cardsim_cpld_s cpld = board().cpld();
    EXPECT_EQ(cpld.card_status, 7);
    EXPECT_EQ(cpld.fw_version, (std::array<uint8_t, 4>{1, 4, 0, 9}));
    EXPECT_EQ(cpld.fw_select, 1u);

    // the firmware's failures: a status keeps the value, a refused or short
    // exchange gives 0 from the plain queries
    set_cpld([](cardsim_cpld_s& c) {
        c.id = 103;
        c.status = 7;
    });
    on_card([&] {
        uint32_t v = 0xdead;
        EXPECT_EQ(pal_ipc_c_cpld_id(&v), -7);
        EXPECT_EQ(v, 0u);  // the answer's value field
        EXPECT_EQ(pal_get_system_led(), -7);
        EXPECT_EQ(pal_get_reset_events(), 0u);
    });
    set_cpld([](cardsim_cpld_s& c) { c.status = 0; });
    host_->set_fault(0, {cardsim_fault_e::FW_ERRNO, 5, CARDSIM_EP_CPLD, PAL_IPC_CPLD_ID});
    on_card([&] {
        uint32_t v = 0xdead;
        EXPECT_EQ(pal_ipc_c_cpld_id(&v), PAL_IPC_ERR_EXCHANGE);
        EXPECT_EQ(v, 0xdeadu);
        EXPECT_EQ(pal_get_cpld_id(), 0);
        EXPECT_FALSE(pal_is_orlix_card());
        EXPECT_EQ(pal_get_cpld_rev(), 3);
    });
    EXPECT_TRUE(log_.has("pal ipc send cpld command failed to send err:-71"));
    host_->set_fault(0, {cardsim_fault_e::SHORT_BODY, 2, CARDSIM_EP_CPLD, PAL_IPC_CPLD_ID});
    on_card([&] { EXPECT_EQ(pal_get_cpld_id(), 0); });
    host_->set_fault(0, {cardsim_fault_e::SHORT_BODY, 10, CARDSIM_EP_CPLD, PAL_IPC_CPLD_FRU_READ});
    on_card([&] {
        uint8_t fru[16] = {};
        EXPECT_EQ(pal_fru_read(fru, 16, 0), PAL_IPC_ERR_EXCHANGE);
    });
    host_->clear_fault(0);
    on_card([&] { EXPECT_EQ(pal_get_cpld_id(), 103); });
}

TEST_F(PalBoard, ChannelFollowsVmbBdfOrTheThreadsCard)
{
    start(2);
    set_cpld([](cardsim_cpld_s& c) { c.rev = 9; }, 1);
    on_card([&] { EXPECT_EQ(pal_get_cpld_rev(), 3); }, 0);
    on_card([&] { EXPECT_EQ(pal_get_cpld_rev(), 9); }, 1);
    setenv("VMB_BDF", host_->card(1).card_bdf.c_str(), 1);
    on_card([&] { EXPECT_EQ(pal_get_cpld_rev(), 9); }, 0);
    EXPECT_EQ(requests(CARDSIM_EP_CPLD, PAL_IPC_CPLD_REV, 0), 1u);
    // a card that is not there: no channel
    setenv("VMB_BDF", "0000:99:00.0", 1);
    on_card([&] {
        uint32_t v = 0;
        EXPECT_EQ(pal_ipc_c_cpld_rev(&v), PAL_IPC_ERR_NO_CHANNEL);
        EXPECT_EQ(pal_get_cpld_rev(), 0);
    });
}

TEST_F(PalBoard, TransceiverCommandsAndChunkedReads)
{
    start(1);
    ASSERT_EQ(sdk::lib::pal_init(sdk::platform::PLATFORM_TYPE_HW, nullptr), sdk::lib::PAL_RET_OK);
    ASSERT_EQ(board().ports(), 2u);
    board().set_present(2, false);
    cardsim_xcvr_s x = board().xcvr(1);
    x.intr_pending = true;
    board().set_xcvr(1, x);
    on_card([&] {
        EXPECT_EQ(pal_is_qsfp_port_psnt(1), 1);
        EXPECT_EQ(pal_is_qsfp_port_psnt(2), 0);
        EXPECT_EQ(pal_is_qsfp_port_psnt(3), -CARDSIM_BOARD_EINVAL);
        // each command, then the query that sees it
        const std::vector<std::pair<std::function<int()>, std::function<int()>>> steps = {
            {[] { return pal_qsfp_reset_port(1); }, [] { return pal_is_qsfp_port_reset(1) == 1; }},
            {[] { return pal_qsfp_set_port(1); }, [] { return pal_is_qsfp_port_reset(1) == 0; }},
            {[] { return pal_qsfp_power_en(1, false); }, [] { return pal_is_qsfp_port_powered_up(1) == 0; }},
            {[] { return pal_qsfp_power_en(1, true); }, [] { return pal_is_qsfp_port_powered_up(1) == 1; }},
            {[] { return pal_qsfp_presence_intr_clear(1); }, [] { return pal_is_qsfp_presence_intr_pending(1) == 0; }},
            {[] { return pal_qsfp_set_low_power_mode(1); }, [&] { return board().xcvr(1).low_power; }},
            {[] { return pal_qsfp_reset_low_power_mode(1); }, [&] { return !board().xcvr(1).low_power; }},
            {[] { return pal_qsfp_set_led(1, 2, 5); }, [&] { return board().xcvr(1).led_frequency == 5; }},
            {[] { return pal_cpld_set_port_link_status(1, 1); }, [&] { return board().xcvr(1).link_status == 1; }},
            {[] { return pal_write_qsfp_temp(45, 1); }, [&] { return board().xcvr(1).temperature == 45u; }},
        };
        for (size_t i = 0; i < steps.size(); i++) {
            EXPECT_EQ(steps[i].first(), 0) << "step " << i;
            EXPECT_TRUE(steps[i].second()) << "step " << i;
        }
        EXPECT_EQ(pal_is_qsfp_port_power_failure(1), 0);
        EXPECT_EQ(pal_is_qsfp_port_power_ctrl_present(1), 1);
        EXPECT_EQ(pal_qsfp_mdio_read(1, 0, nullptr), -1);

        // 600 bytes from 128 (page 0 onwards) come in two answers, 512 and 88
        board().clear_requests();
        std::vector<uint8_t> buf(600 + 16, 0xee);
        EXPECT_EQ(pal_qsfp_read(buf.data(), 600, 128, 2, 1), 0);
        for (uint32_t i = 0; i < 600; i++) {
            // page 3 starts with the module's thresholds (bytes 128-199)
            if (!(i / 128 == 3 && i % 128 < 72)) {
                ASSERT_EQ(buf[i], upper_byte(i / 128, i % 128)) << i;
            }
        }
        EXPECT_EQ(buf[600], 0xee);
        auto reads = board().requests(CARDSIM_EP_XCVR, PAL_IPC_QSFP_READ);
        ASSERT_EQ(reads.size(), 2u);
        EXPECT_EQ(reads[1].word(0), 512u);

        // monitoring data has its own memory
        uint8_t dom[4] = {};
        EXPECT_EQ(pal_qsfp_dom_read(dom, 4, 8, 1, 1), 0);
        EXPECT_EQ(dom[3], 11 ^ 0xd0);
        // write then read back; 213 bytes are refused before sending
        const uint8_t data[3] = {0xc1, 0xc2, 0xc3};
        EXPECT_EQ(pal_qsfp_write(data, 3, 10, 1, 1), 0);
        uint8_t back[3] = {};
        EXPECT_EQ(pal_qsfp_read(back, 3, 10, 1, 1), 0);
        EXPECT_EQ(memcmp(back, data, 3), 0);
        const size_t writes = requests(CARDSIM_EP_XCVR, PAL_IPC_QSFP_WRITE);
        std::vector<uint8_t> too_long(213, 1);
        EXPECT_EQ(pal_qsfp_write(too_long.data(), 213, 0, 1, 1), 3);
        EXPECT_EQ(requests(CARDSIM_EP_XCVR, PAL_IPC_QSFP_WRITE), writes);
        EXPECT_EQ(pal_qsfp_write(too_long.data(), 212, 0, 1, 1), 0);

        // failing reads leave all ones and say why
        struct fault_case_s {
            const char* what;
            cardsim_xcvr_fault_s fault;
            uint32_t port;
            int want;
        };
        for (const fault_case_s& c :
             {fault_case_s{"an absent module", {}, 2, static_cast<int>(CARDSIM_BOARD_ENODEV)},
              fault_case_s{"a failing read", {cardsim_xcvr_fault_e::READ_FAILS, 2, 1}, 1, 2},
              fault_case_s{"more to come, with nothing in it", {cardsim_xcvr_fault_e::READ_STALLS, 0, 0}, 1,
                           PAL_IPC_ERR_EXCHANGE}}) {
            board().set_xcvr_fault(c.fault);
            std::vector<uint8_t> got(20, 0);
            EXPECT_EQ(pal_qsfp_read(got.data(), 20, 0, 1, c.port), c.want) << c.what;
            EXPECT_EQ(got, std::vector<uint8_t>(20, 0xff)) << c.what;
        }
        // an answer longer than asked lands only as far as the buffer goes
        board().set_xcvr_fault({cardsim_xcvr_fault_e::LONG_CHUNK, 0, 0});
        std::vector<uint8_t> guarded(10 + 64, 0xee);
        EXPECT_EQ(pal_qsfp_read(guarded.data(), 10, 0, 1, 1), 0);
        EXPECT_EQ(guarded[9], 1);  // the 212 bytes written above
        EXPECT_EQ(guarded[10], 0xee);
        board().set_xcvr_fault({});

        // transport failures: the send's result and the command's message
        host_->set_fault(0, {cardsim_fault_e::DRIVER_ERRNO, EIO, CARDSIM_EP_XCVR, PAL_IPC_QSFP_READ});
        std::vector<uint8_t> untouched(20, 0x33);
        EXPECT_EQ(pal_qsfp_read(untouched.data(), 20, 0, 1, 1), PAL_IPC_ERR_EXCHANGE);
        EXPECT_EQ(untouched[0], 0x33);
        host_->set_fault(0, {cardsim_fault_e::STATUS_11, 0, CARDSIM_EP_XCVR, PAL_IPC_QSFP_PORT_PRESENT});
        EXPECT_EQ(pal_is_qsfp_port_psnt(1), -11);
        host_->clear_fault(0);
        EXPECT_EQ(pal_qsfp_read(nullptr, 4, 0, 1, 1), -EINVAL);

        // the host variant's entries: queries are true above 0, commands
        // fail on anything but 0
        EXPECT_EQ(sdk::lib::pal_get_cpld_id(), 101);
        EXPECT_EQ(std::vector<bool>({sdk::lib::pal_is_qsfp_port_present(1), sdk::lib::pal_is_qsfp_port_present(2),
                                     sdk::lib::pal_is_qsfp_port_present(7)}),
                  std::vector<bool>({true, false, false}));
        EXPECT_EQ(sdk::lib::pal_qsfp_reset_port(1), sdk::lib::PAL_RET_OK);
        EXPECT_TRUE(sdk::lib::pal_is_qsfp_port_reset(1));
        EXPECT_EQ(sdk::lib::pal_qsfp_set_port(7), sdk::lib::PAL_RET_NOK);
        EXPECT_EQ(sdk::lib::pal_qsfp_presence_intr_clear(7), sdk::lib::PAL_RET_OK);
        // the lower page: no select; page 2: selected, read, and byte 127 set back to 4
        board().clear_requests();
        uint8_t lower[4] = {}, upper[4] = {};
        EXPECT_EQ(sdk::lib::pal_qsfp_read(lower, 4, 2, PAL_QSFP_LOWER_PAGE, 1, 1), 0);
        EXPECT_EQ(lower[0], 1);  // the 212 bytes written above
        EXPECT_EQ(requests(CARDSIM_EP_XCVR, PAL_IPC_QSFP_WRITE), 0u);
        EXPECT_EQ(sdk::lib::pal_qsfp_read(upper, 4, 128, 2, 1, 1), 0);
        EXPECT_EQ(upper[3], upper_byte(2, 3));
        auto selects = board().requests(CARDSIM_EP_XCVR, PAL_IPC_QSFP_WRITE);
        ASSERT_EQ(selects.size(), 2u);
        EXPECT_EQ(selects[0].word(12), 127u);
        EXPECT_EQ(std::make_pair(selects[0].body[28], selects[1].body[28]), std::make_pair(uint8_t(2), uint8_t(4)));
        EXPECT_EQ(sdk::lib::pal_qsfp_write(data, 2, 130, 5, 1, 1), 0);
        EXPECT_EQ(board().xcvr(1).upper[5 * 128 + 2], 0xc1);
        EXPECT_EQ(board().selected_page(1), 4);
        // nothing to move, or an absent module (the write's select fails)
        EXPECT_EQ(std::vector<int>({sdk::lib::pal_qsfp_read(upper, 0, 0, 4, 1, 1), sdk::lib::pal_qsfp_write(data, 0, 0, 4, 1, 1),
                                    sdk::lib::pal_qsfp_read(upper, 4, 0, 4, 1, 2), sdk::lib::pal_qsfp_write(data, 2, 130, 5, 1, 2)}),
                  std::vector<int>(4, -1));
    });
    EXPECT_TRUE(log_.has("pal ipc qsfp read command failed to send err:-71"));
}

// the paged functions share one lock handle per process: every check of
// them is here, starting with a lock that cannot be attached
TEST_F(PalBoard, PagedAccessUnderTheLock)
{
    start(1);
    if (access("/share/", F_OK) == 0) {
        GTEST_SKIP() << "this host keeps its lock records in /share/";
    }
    const bool lock_existed = access("/dev/shm/qsfp_lock", F_OK) == 0;
    // while the testbed shows a folder where the lock record should be, the
    // lock cannot be attached and nothing is sent
    std::filesystem::create_directories(host_->root_dir() + "/dev/shm/qsfp_lock");
    on_card([&] {
        uint8_t buf[4] = {};
        EXPECT_EQ(std::vector<int>({pal_qsfp_read_page(buf, 4, 0, 2, 1, 1), pal_qsfp_read_page_fast(buf, 4, 0, 2, 1, 1, 10),
                                    pal_qsfp_write_page(buf, 1, 0, 2, 1, 1), pal_qsfp_bank_page_sel(126, 0, 2, 1, 0, 10, buf)}),
                  std::vector<int>(4, -1));
    });
    EXPECT_TRUE(board().requests().empty());
    EXPECT_TRUE(log_.has("Failed to acquire qsfp lock"));
    std::filesystem::remove_all(host_->root_dir() + "/dev/shm");

    on_card([&] {
        uint8_t buf[8] = {};
        EXPECT_EQ(pal_qsfp_read_page(buf, 0, 0, 4, 1, 1), -1);

        // the fast read retries a failing read as often as told
        board().set_xcvr_fault({cardsim_xcvr_fault_e::READ_FAILS, 5, 1});
        board().clear_requests();
        EXPECT_EQ(pal_qsfp_read_page_fast(buf, 4, 128, 1, 3, 1, 10), -1);
        EXPECT_EQ(requests(CARDSIM_EP_XCVR, PAL_IPC_QSFP_READ), 3u);
        board().set_xcvr_fault({});
        EXPECT_EQ(pal_qsfp_read_page_fast(buf, 4, 128, 1, 3, 1, 10), 0);
        EXPECT_EQ(buf[0], upper_byte(1, 0));

        // a write goes to the page selected first; a failing select writes nothing
        const uint8_t data[2] = {0x61, 0x62};
        EXPECT_EQ(pal_qsfp_write_page(data, 2, 140, 6, 1, 1), 0);
        EXPECT_EQ(board().xcvr(1).upper[6 * 128 + 12], 0x61);
        board().set_xcvr_fault({cardsim_xcvr_fault_e::WRITE_FAILS, 5, 1});
        board().clear_requests();
        EXPECT_EQ(pal_qsfp_write_page(data, 2, 140, 7, 1, 1), -1);
        EXPECT_EQ(requests(CARDSIM_EP_XCVR, PAL_IPC_QSFP_WRITE), 1u);
        board().set_xcvr_fault({});

        // bank and page at 126 of port + 1, then byte 127 read back
        board().clear_requests();
        uint8_t readback = 0;
        EXPECT_EQ(pal_qsfp_bank_page_sel(126, 1, 9, 1, 0, 10, &readback), 0);
        EXPECT_EQ(readback, 9);
        auto w = board().requests(CARDSIM_EP_XCVR, PAL_IPC_QSFP_WRITE);
        ASSERT_EQ(w.size(), 1u);
        EXPECT_EQ(std::vector<uint32_t>({w[0].word(4), w[0].word(12), w[0].word(20)}), std::vector<uint32_t>({1, 126, 2}));
        EXPECT_EQ(w[0].body[28], 1);
        EXPECT_EQ(w[0].body[29], 9);
        board().set_present(2, false);
        EXPECT_EQ(pal_qsfp_bank_page_sel(126, 1, 9, 1, 1, 10, &readback), -1);
    });
    if (!lock_existed) {
        unlink("/dev/shm/qsfp_lock");
    }
}

}  // namespace
