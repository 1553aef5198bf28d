// the emulated host as a program under the preload sees it: the pci tree,
// card memory and its counters, and faults from outside (control words,
// directly and through a fifo). the product's own emulated tests drive the
// card's services through its device nodes

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "emulator/cardsim_control.h"
#include "emulator/cardsim_host.h"
#include "ipc/le_bytes.h"
#include "ipc/nic_ipc.h"
#include "tests/support/process_runner.h"

namespace {

using bytes = std::vector<uint8_t>;
using std::filesystem::exists;

// every wait for the emulator's threads is bounded, longer under a sanitizer
std::chrono::milliseconds bound()
{
    return std::chrono::seconds(10) * test_timeout_scale();
}

// a host of two cards without a ticker, and its control words
class CardsimHost : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(host.ok()) << host.error(); }
    bool apply(const std::string& line)
    {
        std::string error;
        bool ok = cardsim_control_apply(host, line, error);
        EXPECT_EQ(ok, error.empty()) << line << ": " << error;
        return ok;
    }
    cardsim_host host{{2, {}, 0}};
};

TEST(CardsimHostTree, SysfsShowsEveryCardWithItsBusRangeFunctionsAndDevices)
{
    cardsim_card_spec_s no_ipc = cardsim_default_card(1), no_fwctl = cardsim_default_card(2);
    no_ipc.ipc_device = false;
    no_fwctl.fwctl_device = false;
    cardsim_host host({3, {cardsim_default_card(0), no_ipc, no_fwctl}, 0});
    ASSERT_TRUE(host.ok()) << host.error();
    for (size_t i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        const auto& c = host.card(i);
        const std::string dev = "/sys/bus/pci/devices/" + c.card_bdf, n = std::to_string(i);
        EXPECT_EQ(test_read_file(dev + "/vendor") + test_read_file(dev + "/device"), "0x1e7b0x1478");
        unsigned bus = std::stoul(c.card_bdf.substr(5, 2), nullptr, 16);
        EXPECT_EQ(std::stoul(test_read_file(dev + "/secondary_bus_number")), bus + 1);
        EXPECT_EQ(std::stoul(test_read_file(dev + "/subordinate_bus_number")), bus + 2);
        EXPECT_EQ(test_read_file("/sys/bus/pci/devices/" + c.rsc_bdf + "/device"), "0x100f");
        EXPECT_EQ(exists("/sys/bus/pci/drivers/vosk_ipc/" + c.ipc_bdf + "/misc/voskipcdev" + n), i != 1);
        EXPECT_EQ(exists("/dev/voskipcdev" + n), i != 1);
        EXPECT_EQ(exists("/sys/bus/pci/drivers/vxc_core/" + c.core_bdf + "/fwctl/fwctl" + n), i != 2);
        EXPECT_EQ(exists("/dev/fwctl/fwctl" + n), i != 2);
    }
    EXPECT_NE(host.card(0).serial, host.card(1).serial);

    // shapes the emulator cannot build are refused with the reason
    cardsim_card_spec_s many_lifs = cardsim_default_card(0);
    many_lifs.lifs.resize(CARDSIM_LIF_MAX + 1, many_lifs.lifs[0]);
    for (const cardsim_host_options_s& bad : {cardsim_host_options_s{CARDSIM_CARDS_MAX + 1, {}, 0},
                                              cardsim_host_options_s{1, {many_lifs}, 0}}) {
        cardsim_host refused(bad);
        EXPECT_FALSE(refused.ok());
        EXPECT_TRUE(test_has(refused.error(), "at most")) << refused.error();
    }
}

TEST(CardsimHostTree, CountersInCardMemoryTickUntilPausedAndAreSharedWithTheResourceWindow)
{
    cardsim_host host({1, {}, 10});
    ASSERT_TRUE(host.ok()) << host.error();
    const uint64_t first = host.counter(0, CARDSIM_PORT_REGION);
    EXPECT_TRUE(test_wait_until([&] { return host.counter(0, CARDSIM_PORT_REGION) != first; }, bound()));
    host.set_ticking(false);
    // paused: a window of several ticks without a change comes, and stays
    EXPECT_TRUE(test_wait_until([&] {
        uint64_t before = host.counter(0, CARDSIM_PORT_REGION);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return host.counter(0, CARDSIM_PORT_REGION) == before;
    }, bound()));

    const std::string rsc = "/sys/bus/pci/devices/" + host.card(0).rsc_bdf;
    int fd = open((rsc + "/resource2").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    void* va = mmap(nullptr, CARDSIM_MEM_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    ASSERT_NE(va, MAP_FAILED);
    auto at = [&](uint64_t addr) { return le_at<uint64_t>(static_cast<uint8_t*>(va), CARDSIM_MEM_SIZE, addr - CARDSIM_MEM_BASE); };
    host.set_counter(0, cardsim_lif_block(1) + 448, 1000);
    host.set_counter(0, CARDSIM_PORT_REGION + 16, 0);
    EXPECT_EQ(at(cardsim_lif_block(1) + 448), 1000u);
    host.tick();
    // slot k grows by k + 1 per tick
    EXPECT_EQ(at(cardsim_lif_block(1) + 448), 1000u + 57);
    EXPECT_EQ(at(CARDSIM_PORT_REGION + 16), 3u);
    EXPECT_EQ(host.counter(0, CARDSIM_PORT_REGION + 16), 3u);
    // outside card memory nothing is read or written
    host.set_counter(0, CARDSIM_MEM_BASE + CARDSIM_MEM_SIZE, 5);
    EXPECT_EQ(host.counter(0, CARDSIM_MEM_BASE + CARDSIM_MEM_SIZE), 0u);
    munmap(va, CARDSIM_MEM_SIZE);

    std::string hdr = test_read_file(rsc + "/resource4");
    EXPECT_EQ(le_at<uint32_t>(hdr, 0), 0x70616c78u);
    EXPECT_EQ(le_at<uint64_t>(hdr, 24), CARDSIM_MEM_BASE);
}

TEST_F(CardsimHost, ControlWordsSetAndClearFaultsAndRemoveCards)
{
    const struct {
        const char* line;
        size_t card;
        cardsim_fault_e kind;
        uint32_t value;
    } faults[] = {
        {"hang 1", 1, cardsim_fault_e::SILENT, 0},       {"answer 1", 1, cardsim_fault_e::NONE, 0},
        {"errno 0 EIO", 0, cardsim_fault_e::DRIVER_ERRNO, EIO}, {"  errno 0   110 ", 0, cardsim_fault_e::DRIVER_ERRNO, 110},
        {"fwerr 0 9", 0, cardsim_fault_e::FW_ERRNO, 9},   {"delay 1 250", 1, cardsim_fault_e::DELAY, 250},
    };
    for (const auto& f : faults) {
        ASSERT_TRUE(apply(f.line));
        EXPECT_EQ(host.firmware(f.card).fault().kind, f.kind) << f.line;
        EXPECT_EQ(host.firmware(f.card).fault().value, f.value) << f.line;
    }
    host.clear_fault(0);
    host.clear_fault(1);

    // the card goes while a descriptor of its node is open: the device stays
    // behind the descriptor (umockdev ends a program whose node lost its
    // socket) and fails its calls, ENODEV, as a removed device's do
    const std::string node = host.card(1).ipc_devnode;
    const int held = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_TRUE(apply("remove 1"));
    EXPECT_FALSE(host.card_present(1));
    EXPECT_FALSE(exists(node));
    EXPECT_FALSE(exists("/sys/bus/pci/devices/" + host.card(1).card_bdf));
    EXPECT_EQ(write(held, "x", 1), -1);
    EXPECT_EQ(errno, ENODEV);
    close(held);
    EXPECT_TRUE(apply("remove 1")) << "twice is harmless";
    ASSERT_TRUE(apply("restore 1"));
    EXPECT_TRUE(host.card_present(1));
    EXPECT_TRUE(exists(node));

    // a reboot brings a hung card back, into the image it was told to start
    ASSERT_TRUE(apply("hang 1"));
    host.flash(1).set_running_image(CARDSIM_IMAGE_A);
    ASSERT_EQ(host.flash(1).handle(0x10004, bytes{1, 0, 0, 0}.data(), 4).body[0], 0);
    ASSERT_TRUE(apply("reset 1"));
    EXPECT_EQ(host.flash(1).running_image(), CARDSIM_IMAGE_B);
    EXPECT_EQ(host.firmware(1).fault().kind, cardsim_fault_e::NONE);
    EXPECT_EQ(host.flash(0).running_image(), CARDSIM_IMAGE_A);

    // the flash service's faults, on every partition or one
    ASSERT_TRUE(apply("flash 1 stuck"));
    EXPECT_EQ(host.flash(1).fault().kind, cardsim_flash_fault_e::STUCK_IN_PROGRESS);
    EXPECT_EQ(host.flash(1).fault().partition, CARDSIM_FLASH_ANY);
    ASSERT_TRUE(apply("flash 1 verify-mismatch soc-zephyr"));
    EXPECT_EQ(host.flash(1).fault().partition, 10u);
    ASSERT_TRUE(apply("flash 1 ok"));
    EXPECT_EQ(host.flash(1).fault().kind, cardsim_flash_fault_e::NONE);

    // the serial lspci shows comes from the vital product data
    std::string serial;
    ASSERT_TRUE(apply("vpd 1 off"));
    EXPECT_FALSE(nic_ipc_serial_from_bdf(host.card(1).ipc_bdf, serial));
    EXPECT_TRUE(nic_ipc_serial_from_bdf(host.card(0).ipc_bdf, serial));
    ASSERT_TRUE(apply("vpd 1 on"));
    ASSERT_TRUE(nic_ipc_serial_from_bdf(host.card(1).ipc_bdf, serial));
    EXPECT_EQ(serial, host.card(1).serial);

    // a module's reading and its flags against its thresholds (lane readings:
    // the monitor's transceiver metrics test)
    ASSERT_TRUE(apply("xcvr 1 2 temperature 80.5"));
    ASSERT_TRUE(apply("xcvr 1 1 present off"));
    cardsim_xcvr_s x = host.firmware(1).board().xcvr(2);
    EXPECT_EQ(x.lower[6], 0xa0) << "temperature: high alarm and high warning";
    EXPECT_EQ(x.lower[22] << 8 | x.lower[23], 80 * 256 + 128);
    EXPECT_FALSE(host.firmware(1).board().xcvr(1).present);
    EXPECT_EQ(host.firmware(0).board().xcvr(2).lower[10], 0) << "card 0 untouched";
    for (const char* line : {"tick off", "", "# a comment"}) {
        EXPECT_TRUE(apply(line)) << line;
    }

    // every bad line is refused with its reason, and changes nothing
    for (const char* line : {"hang", "hang 2", "hang x", "hang 1 2", "errno 0", "errno 0 EWHAT", "errno 0 0",
                             "fwerr 0 -1", "explode 0", "tick maybe", "hang 99999999999", "remove -1", "answer 1.0",
                             "flash 0", "flash 0 melt", "flash 0 stuck soc-nothing", "flash 0 stuck soc-zephyr 1",
                             "reset", "reset 0 B", "delay 0", "delay 0 -5", "delay 0 3600001", "vpd 0 maybe", "vpd 0",
                             "xcvr 0 3 temperature 30", "xcvr 0 1 rx-power-dbm", "xcvr 0 1 glow 3",
                             "xcvr 0 1 rx-power-dbm -12 5", "xcvr 0 1 temperature 30 1", "xcvr 0 1 voltage 7",
                             "xcvr 0 1 tx-bias-ma x", "xcvr 0 1 present maybe"}) {
        EXPECT_FALSE(apply(line)) << line;
    }
    EXPECT_EQ(host.firmware(0).fault().kind, cardsim_fault_e::NONE);
    EXPECT_EQ(host.firmware(1).fault().kind, cardsim_fault_e::NONE);
    EXPECT_EQ(host.flash(0).fault().kind, cardsim_flash_fault_e::NONE);
}

TEST_F(CardsimHost, LinesThroughAFifoTakeEffectWhileWritersComeAndGo)
{
    test_temp_dir dir("orlix-control-test");
    const std::string fifo = dir.file("control");
    {
        cardsim_control_channel channel(host, fifo);
        ASSERT_TRUE(channel.ok()) << channel.error();
        auto send = [&](const std::string& text) {
            int fd = open(fifo.c_str(), O_WRONLY);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
            close(fd);
        };
        send("nonsense line\nhang 1\n");
        EXPECT_TRUE(test_wait_until([&] { return host.firmware(1).fault().kind == cardsim_fault_e::SILENT; }, bound()));
        send("answer 1\nremove 0\n");  // a second writer after the first closed
        EXPECT_TRUE(test_wait_until([&] { return !host.card_present(0); }, bound()));
        EXPECT_EQ(host.firmware(1).fault().kind, cardsim_fault_e::NONE);
        send("rest");
        send("ore 0\n");  // a line may come in pieces
        EXPECT_TRUE(test_wait_until([&] { return host.card_present(0); }, bound()));

        // a line is in force for the next request with no wait, as one set
        // before the run is: the steps of an install, its transport too
        host.flash(0).set_busy_polls(0);
        host.flash(0).set_running_image(CARDSIM_IMAGE_A);
        const bytes select_b{1, 0, 0, 0}, checksum{10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        using seen_fn = uint32_t (*)(cardsim_host&, const cardsim_reply_s&);
        seen_fn boot = [](cardsim_host& h, const cardsim_reply_s&) { return h.boot_image(0); };
        seen_fn status = [](cardsim_host&, const cardsim_reply_s& r) { return uint32_t{r.body.at(0)}; };
        seen_fn fw_errno = [](cardsim_host&, const cardsim_reply_s& r) { return r.fw_errno; };
        const struct {
            const char* lines;
            uint32_t opcode;
            const bytes& req;
            seen_fn seen;
            uint32_t want;
        } cases[] = {
            {"flash 0 boot-lost\n", 0x10004, select_b, boot, CARDSIM_IMAGE_A},
            {"flash 0 stuck\n", 0x10005, checksum, status, CARDSIM_FLASH_IN_PROGRESS},
            {"flash 0 ok\nfwerr 0 9\n", 0x10005, checksum, fw_errno, 9},
            {"answer 0\n", 0x10005, checksum, status, CARDSIM_FLASH_DONE},
        };
        for (int round = 0; round < 3; round++) {
            for (const auto& c : cases) {
                send(c.lines);
                cardsim_reply_s r = host.firmware(0).handle(CARDSIM_EP_FWUPDATE, c.opcode, c.req.data(), c.req.size());
                EXPECT_EQ(c.seen(host, r), c.want) << c.lines << " round " << round;
            }
        }
    }
    cardsim_control_channel wrong(host, dir.path());
    EXPECT_FALSE(wrong.ok());
}

}  // namespace
