// faults from outside: the control words, taken one line at a time directly
// and through a fifo, and the emulator command's own use of them

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "emulator/cardsim_control.h"
#include "emulator/cardsim_host.h"
#include "ipc/nic_ipc.h"
#include "tests/support/process_runner.h"

namespace {

bool node_exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

TEST(CardsimControl, WordsSetAndClearFaultsAndRemoveCards)
{
    cardsim_host host({2, {}, 0});
    ASSERT_TRUE(host.ok()) << host.error();
    std::string error;

    ASSERT_TRUE(cardsim_control_apply(host, "hang 1", error)) << error;
    EXPECT_EQ(host.firmware(1).fault().kind, cardsim_fault_e::SILENT);
    EXPECT_EQ(host.firmware(0).fault().kind, cardsim_fault_e::NONE);
    ASSERT_TRUE(cardsim_control_apply(host, "answer 1", error)) << error;
    EXPECT_EQ(host.firmware(1).fault().kind, cardsim_fault_e::NONE);

    ASSERT_TRUE(cardsim_control_apply(host, "errno 0 EIO", error)) << error;
    EXPECT_EQ(host.firmware(0).fault().kind, cardsim_fault_e::DRIVER_ERRNO);
    EXPECT_EQ(host.firmware(0).fault().value, static_cast<uint32_t>(EIO));
    ASSERT_TRUE(cardsim_control_apply(host, "  errno 0   110 ", error)) << error;
    EXPECT_EQ(host.firmware(0).fault().value, 110u);
    ASSERT_TRUE(cardsim_control_apply(host, "fwerr 0 9", error)) << error;
    EXPECT_EQ(host.firmware(0).fault().kind, cardsim_fault_e::FW_ERRNO);
    EXPECT_EQ(host.firmware(0).fault().value, 9u);
    ASSERT_TRUE(cardsim_control_apply(host, "delay 1 250", error)) << error;
    EXPECT_EQ(host.firmware(1).fault().kind, cardsim_fault_e::DELAY);
    EXPECT_EQ(host.firmware(1).fault().value, 250u);
    host.clear_fault(1);

    const std::string node = host.card(1).ipc_devnode;
    ASSERT_TRUE(node_exists(node));
    ASSERT_TRUE(cardsim_control_apply(host, "remove 1", error)) << error;
    EXPECT_FALSE(host.card_present(1));
    EXPECT_FALSE(node_exists(node));
    EXPECT_FALSE(node_exists("/sys/bus/pci/devices/" + host.card(1).card_bdf));
    EXPECT_TRUE(cardsim_control_apply(host, "remove 1", error)) << "twice is harmless";
    ASSERT_TRUE(cardsim_control_apply(host, "restore 1", error)) << error;
    EXPECT_TRUE(host.card_present(1));
    EXPECT_TRUE(node_exists(node));

    // a reboot brings a hung card back, into the image it was told to start
    ASSERT_TRUE(cardsim_control_apply(host, "hang 1", error)) << error;
    host.flash(1).set_running_image(CARDSIM_IMAGE_A);
    ASSERT_EQ(host.flash(1).handle(0x10004, std::vector<uint8_t>{1, 0, 0, 0}.data(), 4).body[0], 0);
    ASSERT_TRUE(cardsim_control_apply(host, "reset 1", error)) << error;
    EXPECT_EQ(host.flash(1).running_image(), CARDSIM_IMAGE_B);
    EXPECT_EQ(host.firmware(1).fault().kind, cardsim_fault_e::NONE);
    EXPECT_EQ(host.flash(0).running_image(), CARDSIM_IMAGE_A);

    // the flash service's faults, on every partition or one
    ASSERT_TRUE(cardsim_control_apply(host, "flash 1 stuck", error)) << error;
    EXPECT_EQ(host.flash(1).fault().kind, cardsim_flash_fault_e::STUCK_IN_PROGRESS);
    EXPECT_EQ(host.flash(1).fault().partition, CARDSIM_FLASH_ANY);
    ASSERT_TRUE(cardsim_control_apply(host, "flash 1 verify-mismatch soc-zephyr", error)) << error;
    EXPECT_EQ(host.flash(1).fault().kind, cardsim_flash_fault_e::VERIFY_MISMATCH);
    EXPECT_EQ(host.flash(1).fault().partition, 10u);
    ASSERT_TRUE(cardsim_control_apply(host, "flash 1 ok", error)) << error;
    EXPECT_EQ(host.flash(1).fault().kind, cardsim_flash_fault_e::NONE);

    // the serial lspci shows comes from the vital product data
    std::string serial;
    ASSERT_TRUE(cardsim_control_apply(host, "vpd 1 off", error)) << error;
    EXPECT_FALSE(nic_ipc_serial_from_bdf(host.card(1).ipc_bdf, serial));
    EXPECT_TRUE(nic_ipc_serial_from_bdf(host.card(0).ipc_bdf, serial));
    ASSERT_TRUE(cardsim_control_apply(host, "vpd 1 on", error)) << error;
    ASSERT_TRUE(nic_ipc_serial_from_bdf(host.card(1).ipc_bdf, serial));
    EXPECT_EQ(serial, host.card(1).serial);

    // a module's reading on one lane or all, and its flags against its thresholds
    ASSERT_TRUE(cardsim_control_apply(host, "xcvr 1 2 rx-power-dbm -12 3", error)) << error;
    ASSERT_TRUE(cardsim_control_apply(host, "xcvr 1 2 temperature 80.5", error)) << error;
    ASSERT_TRUE(cardsim_control_apply(host, "xcvr 1 1 present off", error)) << error;
    cardsim_xcvr_s x = host.firmware(1).board().xcvr(2);
    EXPECT_EQ(x.lower[38] << 8 | x.lower[39], 631) << "-12 dBm: 63.1 uW in 0.1 uW";
    EXPECT_EQ(x.lower[34] << 8 | x.lower[35], 6310) << "the other lanes as they were";
    EXPECT_EQ(x.lower[10], 0x10) << "lane 3: rx power under its low warning, above its low alarm";
    EXPECT_EQ(x.lower[6], 0xa0) << "temperature: high alarm and high warning";
    EXPECT_EQ(x.lower[22] << 8 | x.lower[23], 80 * 256 + 128);
    EXPECT_FALSE(host.firmware(1).board().xcvr(1).present);
    EXPECT_EQ(host.firmware(0).board().xcvr(2).lower[10], 0) << "card 0 untouched";

    EXPECT_TRUE(cardsim_control_apply(host, "tick off", error));
    EXPECT_TRUE(cardsim_control_apply(host, "", error));
    EXPECT_TRUE(cardsim_control_apply(host, "# a comment", error));

    // every bad line is refused with its reason, and changes nothing
    host.clear_fault(0);
    const char* bad[] = {"hang",         "hang 2",        "hang x",      "hang 1 2",  "errno 0",
                         "errno 0 EWHAT", "errno 0 0",    "fwerr 0 -1",  "explode 0", "tick maybe",
                         "hang 99999999999", "remove -1", "answer 1.0", "flash 0",   "flash 0 melt",
                         "flash 0 stuck soc-nothing", "flash 0 stuck soc-zephyr 1", "reset", "reset 0 B",
                         "delay 0", "delay 0 -5", "delay 0 3600001", "vpd 0 maybe", "vpd 0",
                         "xcvr 0 3 temperature 30", "xcvr 0 1 rx-power-dbm", "xcvr 0 1 glow 3",
                         "xcvr 0 1 rx-power-dbm -12 5", "xcvr 0 1 temperature 30 1", "xcvr 0 1 voltage 7",
                         "xcvr 0 1 tx-bias-ma x", "xcvr 0 1 present maybe"};
    for (const char* line : bad) {
        error.clear();
        EXPECT_FALSE(cardsim_control_apply(host, line, error)) << line;
        EXPECT_FALSE(error.empty()) << line;
    }
    EXPECT_EQ(host.firmware(0).fault().kind, cardsim_fault_e::NONE);
    EXPECT_EQ(host.firmware(1).fault().kind, cardsim_fault_e::NONE);
    EXPECT_EQ(host.flash(0).fault().kind, cardsim_flash_fault_e::NONE);
}

TEST(CardsimControl, LinesThroughAFifoTakeEffectWhileWritersComeAndGo)
{
    cardsim_host host({2, {}, 0});
    ASSERT_TRUE(host.ok()) << host.error();
    char tmpl[] = "/tmp/orlix-control-test.XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const std::string fifo = dir + "/control";
    {
        cardsim_control_channel channel(host, fifo);
        ASSERT_TRUE(channel.ok()) << channel.error();
        auto send = [&](const std::string& text) {
            int fd = open(fifo.c_str(), O_WRONLY);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
            close(fd);
        };
        auto wait_for = [&](const std::function<bool()>& done) {
            return test_wait_until(done, std::chrono::seconds(3));
        };
        send("nonsense line\nhang 1\n");
        EXPECT_TRUE(wait_for([&] { return host.firmware(1).fault().kind == cardsim_fault_e::SILENT; }));
        send("answer 1\nremove 0\n");  // a second writer after the first closed
        EXPECT_TRUE(wait_for([&] { return !host.card_present(0); }));
        EXPECT_EQ(host.firmware(1).fault().kind, cardsim_fault_e::NONE);
        send("rest");
        send("ore 0\n");  // a line may come in pieces
        EXPECT_TRUE(wait_for([&] { return host.card_present(0); }));
    }
    // a path that is not a fifo is refused
    cardsim_control_channel wrong(host, dir);
    EXPECT_FALSE(wrong.ok());
    std::filesystem::remove_all(dir);
}

}  // namespace
