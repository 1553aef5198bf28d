// the emulated host as a program under the preload sees it: the pci tree,
// card memory through the resource window, and the ticking counters

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "emulator/cardsim_host.h"
#include "tests/support/process_runner.h"

namespace {

std::string slurp(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(CardsimHost, SysfsShowsEveryCardWithItsBusRangeAndFunctions)
{
    cardsim_host host({3, {}, 0});
    ASSERT_TRUE(host.ok()) << host.error();
    ASSERT_EQ(host.card_count(), 3u);
    for (size_t i = 0; i < 3; i++) {
        const auto& c = host.card(i);
        std::string dev = "/sys/bus/pci/devices/" + c.card_bdf;
        EXPECT_EQ(slurp(dev + "/vendor"), "0x1e7b");
        EXPECT_EQ(slurp(dev + "/device"), "0x1478");
        unsigned bus = std::stoul(c.card_bdf.substr(5, 2), nullptr, 16);
        EXPECT_EQ(std::stoul(slurp(dev + "/secondary_bus_number")), bus + 1);
        EXPECT_EQ(std::stoul(slurp(dev + "/subordinate_bus_number")), bus + 2);
        EXPECT_EQ(slurp("/sys/bus/pci/devices/" + c.rsc_bdf + "/device"), "0x100f");
        EXPECT_EQ(access(("/sys/bus/pci/drivers/vosk_ipc/" + c.ipc_bdf + "/misc/voskipcdev" + std::to_string(i)).c_str(), F_OK), 0);
        EXPECT_EQ(access(("/sys/bus/pci/drivers/vxc_core/" + c.core_bdf + "/fwctl/fwctl" + std::to_string(i)).c_str(), F_OK), 0);
        EXPECT_EQ(access(c.ipc_devnode.c_str(), F_OK), 0);
        EXPECT_EQ(access(c.fwctl_devnode.c_str(), F_OK), 0);
    }
    EXPECT_NE(host.card(0).serial, host.card(1).serial);
}

TEST(CardsimHost, CardsCanLackTheirDevices)
{
    cardsim_card_spec_s no_ipc = cardsim_default_card(0);
    no_ipc.ipc_device = false;
    cardsim_card_spec_s no_fwctl = cardsim_default_card(1);
    no_fwctl.fwctl_device = false;
    cardsim_host host({2, {no_ipc, no_fwctl}, 0});
    ASSERT_TRUE(host.ok()) << host.error();
    EXPECT_TRUE(host.card(0).ipc_devnode.empty());
    EXPECT_NE(access("/dev/voskipcdev1", F_OK), -1);
    EXPECT_EQ(access("/dev/voskipcdev0", F_OK), -1);
    EXPECT_EQ(access("/dev/fwctl/fwctl1", F_OK), -1);
}

TEST(CardsimHost, CountersInCardMemoryAreSharedWithTheResourceWindow)
{
    cardsim_host host({1, {}, 0});
    ASSERT_TRUE(host.ok()) << host.error();
    std::string path = "/sys/bus/pci/devices/" + host.card(0).rsc_bdf + "/resource2";
    int fd = open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    void* va = mmap(nullptr, CARDSIM_MEM_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    ASSERT_NE(va, MAP_FAILED);
    auto at = [&](uint64_t addr) {
        uint64_t v;
        memcpy(&v, static_cast<uint8_t*>(va) + (addr - CARDSIM_MEM_BASE), 8);
        return v;
    };

    host.set_counter(0, cardsim_lif_block(1) + 448, 1000);
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

    std::string hdr = slurp("/sys/bus/pci/devices/" + host.card(0).rsc_bdf + "/resource4");
    ASSERT_GE(hdr.size(), 32u);
    uint32_t magic;
    uint64_t mem_base;
    memcpy(&magic, hdr.data(), 4);
    memcpy(&mem_base, hdr.data() + 24, 8);
    EXPECT_EQ(magic, 0x70616c78u);
    EXPECT_EQ(mem_base, CARDSIM_MEM_BASE);
}

TEST(CardsimHost, TickerAdvancesCountersUntilPaused)
{
    cardsim_host host({1, {}, 10});
    ASSERT_TRUE(host.ok()) << host.error();
    uint64_t first = host.counter(0, CARDSIM_PORT_REGION);
    test_wait_until([&] { return host.counter(0, CARDSIM_PORT_REGION) != first; }, std::chrono::seconds(2));
    EXPECT_GT(host.counter(0, CARDSIM_PORT_REGION), first);
    host.set_ticking(false);
    usleep(30000);
    uint64_t paused = host.counter(0, CARDSIM_PORT_REGION);
    usleep(50000);
    EXPECT_EQ(host.counter(0, CARDSIM_PORT_REGION), paused);
}

TEST(CardsimHost, TooManyCardsIsAnError)
{
    cardsim_host host({CARDSIM_CARDS_MAX + 1, {}, 0});
    EXPECT_FALSE(host.ok());
    EXPECT_NE(host.error().find("at most"), std::string::npos);
}

}  // namespace
