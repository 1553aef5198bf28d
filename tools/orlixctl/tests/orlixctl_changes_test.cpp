// orlixctl commands that change a card or the host: PCIe and decommission,
// boot image, erase, secure boot and a profile update that installs

#include <gtest/gtest.h>

#include <string>

#include "tests/support/fw_package.h"
#include "tools/orlixctl/tests/orlixctl_fixture.h"

namespace {

// the pcie commands and a decommission: their documents and exit codes, and
// the card back after a rescan at its port (what each does to the tree is the
// library's tests'; the emulated kernel changes it a moment after the write)
TEST_F(Orlixctl, PcieUnbindBindCapSetRemoveRescanDecommission)
{
    run_result r = run(R"SH(
        cards() { [ "$($CTL -j card list | jq '.cards | length')" = "$1" ]; }
        NET=$($CTL -j card show 0 | jq -r .functions.func_1002)
        $CTL -j pcie unbind 0 --devices network -y | jq -c .
        wait_for 10 test ! -e "/sys/bus/pci/drivers/plenx/$NET" && $CTL -j pcie bind 0 --devices network | jq -c .
        wait_for 10 test -e "/sys/bus/pci/drivers/plenx/$NET" && echo NET_BOUND
        D=$($CTL -j card decommission 0 -y); P0=$(echo "$D" | jq -r .host_port)
        echo "$D" | jq -c '[.saved_uemsk, .saved_dpccr, .reset]'
        wait_for 30 cards 1 && $CTL pcie rescan "$P0"; echo rescan=$?
        wait_for 30 cards 2 && $CTL -j pcie cap-set 0 --port "$P0" --uemsk 0x1234abcd --dpccr 0x42 -y | jq -c '[.uemsk, .dpccr]'
        P1=$($CTL -j pcie remove 1 -y | jq -r .host_port)
        wait_for 30 cards 1 && $CTL card show 0000:24:00.0 >/dev/null 2>&1; echo gone=$?
        $CTL -j pcie rescan "${P1#0000:}" | jq -c .
        wait_for 30 cards 2 && echo BACK
        $CTL pcie rescan 0000:7f:00.0; echo bad_rescan=$?
    )SH");
    expect_all(r, {"{\"address\":\"0000:20:00.0\",\"devices\":\"network\",\"unbound\":true}", "\"bound\":true",
                   "NET_BOUND\n[1048576,65,\"none\"]\n", "rescanned\nrescan=0\n[305441741,66]\ngone=3\n",
                   "\"rescanned\":true", "BACK\nbad_rescan=1"});
    EXPECT_TRUE(test_has(r.err, "Failed to perform PCIe rescan")) << r.err;
}

// a profile update installs the package with the profile's device
// configuration and records the profile; then the boot image, an erase,
// secure boot and the profiles as the card and the package list them
TEST_F(Orlixctl, ProfileUpdateThenBootImageEraseSecureBoot)
{
    fw_package_options_s opts;
    opts.card_profile = true;
    fw_package pkg(dir.path(), opts);
    run_result r = run("P='" + pkg.build("profiles.tar") + R"SH('
        $CTL -j profile update 0 "$P" rdma -y | jq -c '[.profile, .stage, .stages]'; echo rc=$?
        # the device configuration alone, from what the card has installed: the stage it
        # reached and the engine's refusal (fw-a and fw-b differ after one install)
        $CTL profile update 0 rdma --device-config-only -y 2>&1 >/dev/null | grep -v lspci
        $CTL -j profile show 0 | jq -r '"active=" + .active_profile + " kept=\(.profiles | length)"'
        echo "stored=$(stored 0),$(stored 1)"
        $CTL -j profile show 1 | jq -r '"other=" + .active_profile'
        $CTL profile update 0 "$P" nosuch -y; echo noprofile=$?
        $CTL -j profile show 0 --package "$P" | jq -c '[.profiles[].name]'
        $CTL profile show 0 --package "$P" | grep -q 'rdma profile' && echo PROFILE_TABLE

        $CTL -j fw boot-image set 0 fw-a -y | jq -c .
        $CTL -j fw show 0 | jq -r '"next=" + .next_boot_image'
        $CTL -j fw boot-image set 1 fw-gold -y >/dev/null
        $CTL -j fw show 1 | jq -r '"gold=" + .next_boot_image'
        $CTL -j fw erase 1 soc-dtb -y | jq -c .
        $CTL -j secure-boot update 1 enable -y | jq -c .
        $CTL -j secure-boot show 1 | jq -r '"enable=\(.secure_enable)"'
        $CTL -j secure-boot update 1 disable -y | jq -c .secure_boot
    )SH", 200);
    const std::string stages = "[\"card profile\",\"Port Profile\",\"Activation\",\"Done\"]";
    expect_all(r, {"[\"rdma\",\"Done\"," + stages + "]\nrc=0\n", "0000:20:00.0   0% card profile (",
                   "Generic error: card profile: NIC ",
                   "Both the main firmware partitions must run same firmware version for profile update",
                   "active=rdma kept=2\nstored=" + opts.software_version + ",1.4.0\nother=", "[\"default\",\"rdma\"]\nPROFILE_TABLE\n",
                   "{\"address\":\"0000:20:00.0\",\"next_boot_image\":\"fw-a\"}\nnext=fw-a\ngold=fw-gold\n",
                   "\"erased\":\"soc-dtb\"", "\"secure_boot\":true", "enable=1\nfalse\n"});
    EXPECT_FALSE(test_has(r.out, "other=rdma") || test_has(r.out, "noprofile=0")) << r.out;
}

}  // namespace
