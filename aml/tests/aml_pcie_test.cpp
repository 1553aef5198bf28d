// pcie device management on an emulated host: capability writes on the host
// port, unbinding and binding the card's functions and auxiliary devices,
// decommission with its reset and its failure paths, and a full recommission

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <tuple>

#include "aml/aml_card_requests.h"
#include "aml/aml_inventory.h"
#include "aml/aml_pcie.h"
#include "emulator/cardsim_host.h"
#include "emulator/cardsim_pci.h"
#include "ipc/le_bytes.h"
#include "ipc/nic_ipc.h"
#include "tests/support/process_runner.h"

namespace {

constexpr uint32_t k_card_ep = 0x13, k_card_reset_op = 0x10008, k_cpld_reload_op = 0x1000e;

bool exists(const std::string& path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

uint32_t config_word(const cardsim_host& host, const std::string& bdf, size_t at, size_t bytes)
{
    uint64_t value = 0;
    const std::string config = test_read_file(host.sysfs_dir(bdf) + "/config");
    (void)le_get(reinterpret_cast<const uint8_t*>(config.data()), config.size(), at, bytes, value);
    return static_cast<uint32_t>(value);
}

// the card's port's AER uncorrectable mask and DPC control
using regs_t = std::pair<uint32_t, uint32_t>;
const regs_t k_port_defaults{CARDSIM_AER_UEMSK_DEFAULT, CARDSIM_DPC_CTL_DEFAULT};
regs_t port_regs(const cardsim_host& host, size_t card)
{
    const std::string& port = host.card(card).root_port_bdf;
    return {config_word(host, port, CARDSIM_ECAP_AER_AT + 8, 4), config_word(host, port, CARDSIM_ECAP_DPC_AT + 6, 2)};
}

struct bound_s {
    const cardsim_host& host;
    size_t card;
    std::string root() const { return host.root_dir(); }
    bool net() const { return exists(root() + "/sys/bus/pci/drivers/plenx/" + host.card(card).func_1002_bdf); }
    bool aux() const
    {
        return exists(root() + "/sys/bus/auxiliary/drivers/plenx_rdma/" + host.card(card).rdma_aux) &&
               test_has(test_read_file(root() + "/sys/bus/auxiliary/devices/" + host.card(card).rdma_aux + "/uevent"),
                   "DRIVER=plenx_rdma");
    }
    bool aux_unbound() const
    {
        return !exists(root() + "/sys/bus/auxiliary/drivers/plenx_rdma/" + host.card(card).rdma_aux) &&
               !test_has(test_read_file(root() + "/sys/bus/auxiliary/devices/" + host.card(card).rdma_aux + "/uevent"), "DRIVER=");
    }
    bool ipc() const { return exists(root() + "/sys/bus/pci/drivers/vosk_ipc/" + host.card(card).ipc_bdf); }
    bool core() const { return exists(root() + "/sys/bus/pci/drivers/vxc_core/" + host.card(card).core_bdf); }
};

aml_status_e decommission(const cardsim_host& host, size_t card, aml_card_decommission_rsp_s& rsp, bool reset = true,
                          bool cpld_reload = false)
{
    aml_card_decommission_req_s req;
    req.card.bdf = host.card(card).card_bdf;
    req.reset = reset;
    req.reset_arg = 30;
    req.cpld_reload = cpld_reload;
    return aml_card_decommission(&req, &rsp);
}

cardsim_host_options_s two_cards_second_bare()
{
    cardsim_card_spec_s bare = cardsim_default_card(1);
    bare.port_error_caps = false;
    bare.ipc_device = false;
    bare.fwctl_device = false;
    return {2, {cardsim_default_card(0), bare}, 0};
}

// one host through a card's life: its functions unbound and bound, a
// decommission with its reset and the rescan that brings it back, a removal
// by hand
TEST(AmlPcieLifecycle, BindDecommissionRescanAndRemove)
{
    cardsim_host host({2, {}, 0});
    ASSERT_TRUE(host.ok()) << host.error();
    bound_s card0{host, 0}, card1{host, 1};
    ASSERT_TRUE(card0.net() && card0.aux() && card0.ipc() && card0.core());

    aml_card_unbind_pcie_devices_req_s unbind{{"", host.card(0).card_bdf}, aml_pcie_host_network_devices()};
    aml_card_unbind_pcie_devices_rsp_s unbind_rsp;
    ASSERT_EQ(aml_card_unbind_pcie_devices(&unbind, &unbind_rsp), AML_STATUS_OK) << unbind_rsp.error;
    EXPECT_FALSE(unbind.card.uuid.empty()) << "the handle was validated";
    ASSERT_TRUE(test_wait_until([&] { return !card0.net() && card0.aux_unbound(); }));
    EXPECT_TRUE(card0.ipc() && card0.core()) << "only the network function went";
    EXPECT_TRUE(card1.net() && card1.aux()) << "the other card is not touched";

    // nothing bound: nothing is written
    const std::string bus = host.root_dir() + "/sys/bus/";
    test_write_file(bus + "pci/drivers/plenx/unbind", "");
    test_write_file(bus + "auxiliary/drivers/plenx_rdma/unbind", "");
    ASSERT_EQ(aml_card_unbind_pcie_devices(&unbind, &unbind_rsp), AML_STATUS_OK);
    EXPECT_EQ(test_read_file(bus + "pci/drivers/plenx/unbind") + test_read_file(bus + "auxiliary/drivers/plenx_rdma/unbind"), "");

    aml_card_bind_pcie_devices_req_s bind{{"", host.card(0).card_bdf}, aml_pcie_host_network_devices()};
    aml_card_bind_pcie_devices_rsp_s bind_rsp;
    ASSERT_EQ(aml_card_bind_pcie_devices(&bind, &bind_rsp), AML_STATUS_OK) << bind_rsp.error;
    ASSERT_TRUE(test_wait_until([&] { return card0.net() && card0.aux(); })) << "the auxiliary device follows";
    test_write_file(bus + "pci/drivers/plenx/bind", "");
    ASSERT_EQ(aml_card_bind_pcie_devices(&bind, &bind_rsp), AML_STATUS_OK);
    EXPECT_EQ(test_read_file(bus + "pci/drivers/plenx/bind"), "") << "a bound function is not bound again";

    // the management functions: their device nodes are found through the drivers
    unbind.devices = aml_pcie_card_mgmt_devices();
    ASSERT_EQ(aml_card_unbind_pcie_devices(&unbind, &unbind_rsp), AML_STATUS_OK);
    ASSERT_TRUE(test_wait_until([&] { return !card0.ipc() && !card0.core(); }));
    std::string path;
    EXPECT_NE(nic_vosk_device_path_from_vmb_bdf(host.card(0).card_bdf, path), 0);
    bind.devices = aml_pcie_card_mgmt_devices();
    ASSERT_EQ(aml_card_bind_pcie_devices(&bind, &bind_rsp), AML_STATUS_OK);
    ASSERT_TRUE(test_wait_until([&] { return card0.ipc() && card0.core(); }));
    ASSERT_EQ(nic_vosk_device_path_from_vmb_bdf(host.card(0).card_bdf, path), 0);
    EXPECT_EQ(path, host.card(0).ipc_devnode);

    // a device id the card does not have, a driver name that is not one
    unbind.devices = {{0x9999, "plenx", {"rdma"}}, {NIC_PCI_DEV_FUNC_1002, "../x", {"/"}}};
    EXPECT_EQ(aml_card_unbind_pcie_devices(&unbind, &unbind_rsp), AML_STATUS_OK);
    EXPECT_TRUE(card0.net());

    // decommission masks, resets and removes the card; a non-zero answer word
    const auto& info = host.card(0);
    host.set_fault(0, {cardsim_fault_e::STATUS_11, 0, k_card_ep, k_card_reset_op});
    uint64_t requests = host.firmware(0).requests();
    aml_card_decommission_rsp_s rsp;
    ASSERT_EQ(decommission(host, 0, rsp), AML_STATUS_OK) << rsp.error;
    EXPECT_EQ(rsp.host_port, info.root_port_bdf);
    EXPECT_EQ(regs_t(rsp.uemsk, rsp.dpccr), k_port_defaults);
    EXPECT_TRUE(rsp.reset_answer);
    EXPECT_EQ(host.firmware(0).requests(), requests + 1) << "one CARD_RESET";
    // surprise down masked, containment off
    EXPECT_EQ(port_regs(host, 0), regs_t(CARDSIM_AER_UEMSK_DEFAULT | 0x20, CARDSIM_DPC_CTL_DEFAULT & ~0x3u));
    ASSERT_TRUE(test_wait_until([&] { return !host.card_present(0); }));
    for (const std::string& gone : {"/sys/bus/pci/devices/" + info.card_bdf, "/sys/bus/pci/devices/" + info.ipc_bdf, info.ipc_devnode}) {
        EXPECT_FALSE(exists(host.root_dir() + gone)) << gone;
    }
    EXPECT_TRUE(exists(host.root_dir() + "/sys/bus/pci/devices/" + info.root_port_bdf));
    EXPECT_TRUE(host.card_present(1));

    // the port brings it back; then the saved registers go back
    aml_pcie_rescan_req_s rescan{0, rsp.host_port};
    aml_pcie_rescan_rsp_s rescan_rsp;
    ASSERT_EQ(aml_pcie_rescan(&rescan, &rescan_rsp), AML_STATUS_OK);
    ASSERT_TRUE(test_wait_until([&] { return host.card_present(0); }));
    EXPECT_TRUE(card0.net() && card0.aux() && card0.ipc() && card0.core()) << "drivers probe again";
    aml_card_liveness_check_req_s live{{"", info.card_bdf}};
    aml_card_liveness_check_rsp_s live_rsp;
    EXPECT_EQ(aml_card_liveness_check(&live, &live_rsp), AML_STATUS_OK) << live_rsp.error;
    aml_card_pcie_cap_set_req_s restore{{"", info.card_bdf}, rsp.host_port, rsp.uemsk, rsp.dpccr};
    aml_card_pcie_cap_set_rsp_s restore_rsp;
    ASSERT_EQ(aml_card_pcie_cap_set(&restore, &restore_rsp), AML_STATUS_OK);
    EXPECT_EQ(port_regs(host, 0), k_port_defaults);
    host.clear_fault(0);

    // without a reset nothing is sent; the card still leaves
    requests = host.firmware(1).requests();
    aml_card_decommission_rsp_s quiet_rsp;
    ASSERT_EQ(decommission(host, 1, quiet_rsp, false), AML_STATUS_OK) << quiet_rsp.error;
    EXPECT_FALSE(quiet_rsp.reset_answer);
    EXPECT_EQ(host.firmware(1).requests(), requests);
    ASSERT_TRUE(test_wait_until([&] { return !host.card_present(1); }));

    aml_card_decommission_rsp_s gone_rsp;
    EXPECT_NE(decommission(host, 1, gone_rsp, false), AML_STATUS_OK) << "the removed card's address names none";
    EXPECT_FALSE(gone_rsp.error.empty());

    aml_card_pcie_remove_req_s rm;
    aml_card_pcie_remove_rsp_s rm_rsp;
    for (const auto& [bdf, status, text] : {std::make_tuple("", AML_STATUS_INVALID_INPUT, "ERROR - PCIe BDF not set"),
             std::make_tuple("0000:20:00.0'; reboot; '", AML_STATUS_INVALID_INPUT, "ERROR - Invalid PCIe BDF"),
             std::make_tuple("0000:7f:00.0", AML_STATUS_PCIE_DEV_NOT_FOUND,
                             "NIC (0000:7f:00.0) : ERROR - Failed to get host port\n")}) {
        rm.bdf = bdf;
        EXPECT_EQ(aml_card_pcie_remove(&rm, &rm_rsp), status) << bdf;
        EXPECT_TRUE(test_has(rm_rsp.error, text)) << rm_rsp.error;
    }
    rm.bdf = host.card(0).card_bdf;
    ASSERT_EQ(aml_card_pcie_remove(&rm, &rm_rsp), AML_STATUS_OK) << rm_rsp.error;
    EXPECT_EQ(rm_rsp.host_port, host.card(0).root_port_bdf);
    EXPECT_TRUE(test_wait_until([&] { return !host.card_present(0); }));

    rescan.bdf = "0000:7f:00.0";
    EXPECT_EQ(aml_pcie_rescan(&rescan, &rescan_rsp), AML_STATUS_PCIE_RESCAN_ERR);
    EXPECT_EQ(rescan_rsp.error, "NIC (0000:7f:00.0) : Failed to perform PCIe rescan\n");
    rescan.bdf = "../../x";
    EXPECT_EQ(aml_pcie_rescan(&rescan, &rescan_rsp), AML_STATUS_PCIE_RESCAN_ERR);
    rescan.bdf = rm_rsp.host_port;
    EXPECT_EQ(aml_pcie_rescan(&rescan, &rescan_rsp), AML_STATUS_OK) << rescan_rsp.error;
    EXPECT_TRUE(test_wait_until([&] { return host.card_present(0); }));
}

// the bare card's port and the faults of a reset: the port's registers go
// back and the functions are bound back; then capability writes where the
// port has them, and nowhere else
TEST(AmlPciePort, FailedResetsRestoreThePortAndCapabilitiesAreWrittenWhereTheyAre)
{
    cardsim_host host(two_cards_second_bare());
    ASSERT_TRUE(host.ok()) << host.error();
    bound_s card0{host, 0}, card1{host, 1};

    struct case_s {
        const char* what;
        cardsim_fault_s fault;
        bool cpld_reload;
        aml_status_e status;
        std::string text;
    };
    const case_s cases[] = {
        {"reset refused", {cardsim_fault_e::FW_ERRNO, EIO, k_card_ep, k_card_reset_op}, false, AML_STATUS_IPC_OP_ERR,
         "ERROR - CARD_RESET IPC operation failed, err " + std::string(strerror(EIO))},
        {"reset exchange failed", {cardsim_fault_e::DRIVER_ERRNO, ETIMEDOUT, k_card_ep, k_card_reset_op}, false,
         AML_STATUS_IPC_OP_ERR, "CARD_RESET IPC operation failed"},
        {"cpld reload refused", {cardsim_fault_e::FW_ERRNO, 7, k_card_ep, k_cpld_reload_op}, true, AML_STATUS_IPC_OP_ERR,
         "ERROR - Failed to reload CPLD, err : 7"},
        {"cpld reload answer short", {cardsim_fault_e::SHORT_BODY, 2, k_card_ep, k_cpld_reload_op}, true,
         AML_STATUS_MSG_SIZE_MISMATCH, "ERROR - CPLD_RELOAD IPC response size 2"},
    };
    for (const case_s& c : cases) {
        SCOPED_TRACE(c.what);
        host.set_fault(0, c.fault);
        aml_card_decommission_rsp_s rsp;
        EXPECT_EQ(decommission(host, 0, rsp, true, c.cpld_reload), c.status);
        EXPECT_TRUE(test_has(rsp.error, c.text)) << rsp.error;
        EXPECT_TRUE(test_has(rsp.error, "(" + host.card(0).card_bdf + ")"));
        EXPECT_EQ(port_regs(host, 0), k_port_defaults) << "restored";
        ASSERT_TRUE(test_wait_until([&] { return card0.net() && card0.aux(); })) << "bound back";
        EXPECT_TRUE(card0.ipc() && card0.core()) << "management functions never left";
        EXPECT_TRUE(host.card_present(0));
    }

    // no channel to a card without devices; its port has nothing to restore
    aml_card_decommission_rsp_s bare_rsp;
    EXPECT_EQ(decommission(host, 1, bare_rsp), AML_STATUS_IPC_CONN_ERR);
    EXPECT_TRUE(test_has(bare_rsp.error, "ERROR - Failed to open IPC connection")) << bare_rsp.error;
    EXPECT_EQ(regs_t(bare_rsp.uemsk, bare_rsp.dpccr), regs_t(0, 0));
    ASSERT_TRUE(test_wait_until([&] { return card1.net() && card1.aux(); }));
    EXPECT_TRUE(host.card_present(1));

    const std::string port0 = host.card(0).root_port_bdf, port1 = host.card(1).root_port_bdf;
    EXPECT_TRUE(aml_pcie_port_has_aer(port0) && aml_pcie_port_has_dpc(port0));
    EXPECT_FALSE(aml_pcie_port_has_aer(port1) || aml_pcie_port_has_dpc(port1));
    EXPECT_EQ(port_regs(host, 0), k_port_defaults);

    aml_card_pcie_cap_set_req_s set{{"", host.card(0).card_bdf}, port0, 0x1234abcd, 0x0042};
    aml_card_pcie_cap_set_rsp_s set_rsp;
    ASSERT_EQ(aml_card_pcie_cap_set(&set, &set_rsp), AML_STATUS_OK) << set_rsp.error;
    EXPECT_EQ(port_regs(host, 0), regs_t(0x1234abcd, 0x0042)) << "both writes reached the config space";
    EXPECT_EQ(config_word(host, port0, CARDSIM_ECAP_DPC_AT + 4, 2), 0u) << "the word before is untouched";

    // no capabilities: both steps are skipped and count as done
    std::string before = test_read_file(host.sysfs_dir(port1) + "/config");
    aml_card_pcie_cap_set_req_s bare_set{{"", host.card(1).card_bdf}, port1, 0xffffffff, 0xffff};
    EXPECT_EQ(aml_card_pcie_cap_set(&bare_set, &set_rsp), AML_STATUS_OK);
    EXPECT_EQ(test_read_file(host.sysfs_dir(port1) + "/config"), before);
    EXPECT_EQ(port_regs(host, 1).first, 0u);

    // a port that is not there, or a text that is no port, is refused: it has
    // no capabilities, and "nothing to write" must not read as done
    test_temp_dir dir("aml-pcie");
    const std::string marker = dir.file("injected");
    for (const std::string& port : {std::string("0000:7f:00.0"), port0 + "; touch " + marker}) {
        aml_card_pcie_cap_set_req_s bad{{"", host.card(0).card_bdf}, port, 1, 1};
        EXPECT_EQ(aml_card_pcie_cap_set(&bad, &set_rsp), AML_STATUS_PCIE_DEV_NOT_FOUND) << port;
        EXPECT_NE(set_rsp.error.find(" : ERROR - PCIe port " + port + " not found\n"), std::string::npos) << set_rsp.error;
    }
    EXPECT_FALSE(exists(marker));
    EXPECT_EQ(port_regs(host, 0).first, 0x1234abcdu);
}

// both cards at once; no rescan delay: the emulated card reboots at once
TEST(AmlPcieRecommission, RoundTripAndACardThatComesBackWithoutABar)
{
    cardsim_host host({2, {}, 0});
    ASSERT_TRUE(host.ok()) << host.error();
    host.set_rescan_unassigned(1, NIC_PCI_DEV_FUNC_1003);
    aml_card_handle_s handles[2] = {{"", host.card(0).card_bdf}, {"", host.card(1).card_bdf}};
    std::string steps[2], errors[2];
    aml_status_e results[2] = {AML_STATUS_GENERIC_ERR, AML_STATUS_GENERIC_ERR};
    std::thread workers[2];
    for (size_t i = 0; i < 2; i++) {
        workers[i] = std::thread([&, i] { results[i] = aml_card_recommission(&handles[i], steps[i], errors[i], 0); });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    EXPECT_TRUE(test_has(errors[1], "Failed to assign BAR memory for " + host.card(1).func_1003_bdf)) << errors[1];
    EXPECT_FALSE(nic_ipc_is_device_bar_map_valid(host.card(1).func_1003_bdf));
    const aml_status_e want[2] = {AML_STATUS_OK, AML_PCIE_STATUS_BAR_UNASSIGNED};
    for (size_t i = 0; i < 2; i++) {
        EXPECT_EQ(results[i], want[i]) << steps[i] << ": " << errors[i];
        EXPECT_EQ(steps[i], "Commission");
        EXPECT_TRUE(host.card_present(i));
        EXPECT_EQ(port_regs(host, i), k_port_defaults) << "card " << i << " port restored";
        bound_s bound{host, i};
        EXPECT_TRUE(bound.net() && bound.aux() && bound.ipc() && bound.core());
    }
    aml_card_uuid_get_req_s uuid_req{host.card(0).card_bdf};
    aml_card_uuid_get_rsp_s uuid_rsp;
    EXPECT_EQ(aml_card_uuid_get(&uuid_req, &uuid_rsp), AML_STATUS_OK) << uuid_rsp.error;
    EXPECT_EQ(uuid_rsp.uuid, handles[0].uuid);
}

}  // namespace
