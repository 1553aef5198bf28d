// orlixctl commands that change a card or the host: PCIe, decommission and
// recommission, boot image, erase, secure boot, profiles, confirmation on a
// terminal and telemetry --follow

#include <gtest/gtest.h>

#include <string>

#include "tests/support/fw_package.h"
#include "tools/orlixctl/tests/orlixctl_fixture.h"

namespace {

// waits up to 30 s (scaled) for `card list` to show N cards (the emulated kernel
// changes the tree a moment after the sysfs write, as the real one does)
const char* k_wait_cards = R"SH(
    wait_cards() { i=0; while [ "$($CTL -j card list | jq '.cards | length')" != "$1" ]; do
        i=$((i+1)); [ $i -gt $((150 * WAIT_SCALE)) ] && { echo "TIMEOUT waiting for $1 cards"; return 1; }; sleep 0.2; done; }
    # waits up to 10 s until path $2 exists (present) or not (absent)
    wait_path() { i=0; while :; do
        if [ -e "$2" ]; then [ "$1" = present ] && return 0; else [ "$1" = absent ] && return 0; fi
        i=$((i+1)); [ $i -gt $((50 * WAIT_SCALE)) ] && return 1; sleep 0.2; done; }
)SH";

TEST_F(Orlixctl, PcieUnbindBindCapSetRemoveRescanDecommission)
{
    run_result r = run(std::string(k_wait_cards) + R"SH(
        NET=$($CTL -j card show 0 | jq -r .functions.func_1002); [ -n "$NET" ] || echo NO_NET
        $CTL -j pcie unbind 0 --devices network -y | jq -c .
        wait_path absent "/sys/bus/pci/drivers/plenx/$NET" && echo NET_UNBOUND
        [ -e "/sys/bus/pci/drivers/vosk_ipc" ] && ls /sys/bus/pci/drivers/vosk_ipc | grep -q ':' && echo IPC_KEPT
        $CTL -j pcie bind 0 --devices network | jq -c .
        wait_path present "/sys/bus/pci/drivers/plenx/$NET" && echo NET_BOUND

        # decommission: off the bus, the host port named; the port brings it back
        D=$($CTL -j card decommission 0 -y); P0=$(echo "$D" | jq -r .host_port)
        echo "$D" | jq -c '[.saved_uemsk, .saved_dpccr, .reset]'
        echo "port0=$P0"
        wait_cards 1 && echo DECOMMISSIONED
        $CTL -j card list | jq -r '.cards[0].address'
        $CTL pcie rescan "$P0"; echo rescan=$?
        wait_cards 2 && echo BACK

        $CTL -j pcie cap-set 0 --port "$P0" --uemsk 0x1234abcd --dpccr 0x42 -y | jq -c '[.uemsk, .dpccr]'
        echo "uemsk=$(setpci -s "$P0" ECAP0001+8.l) dpccr=$(setpci -s "$P0" ECAP001d+6.w)"

        P1=$($CTL -j pcie remove 1 -y | jq -r .host_port)
        wait_cards 1 && echo REMOVED
        $CTL card show 0000:24:00.0 >/dev/null 2>&1; echo gone=$?
        $CTL -j pcie rescan "${P1#0000:}" | jq -c .
        wait_cards 2 && echo BACK2
        $CTL -j card liveness 1 | jq -e .alive >/dev/null && echo ALIVE
        $CTL pcie rescan 0000:7f:00.0; echo bad_rescan=$?
    )SH");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* k : {"{\"address\":\"0000:20:00.0\",\"devices\":\"network\",\"unbound\":true}", "NET_UNBOUND",
                          "IPC_KEPT", "\"bound\":true", "NET_BOUND", "[1048576,65,\"none\"]\n", "DECOMMISSIONED\n0000:24:00.0\n", "rescanned\nrescan=0",
                          "BACK\n", "[305441741,66]", "uemsk=1234abcd dpccr=0042", "REMOVED", "gone=3",
                          "\"rescanned\":true", "BACK2", "ALIVE", "bad_rescan=1"}) {
        EXPECT_TRUE(has(r.out, k)) << k << "\n" << r.out << r.err;
    }
    EXPECT_FALSE(has(r.out, "TIMEOUT")) << r.out;
    EXPECT_FALSE(has(r.out, "NO_NET")) << r.out;
    EXPECT_TRUE(has(r.err, "Failed to perform PCIe rescan")) << r.err;
}

TEST_F(Orlixctl, FirmwareBootImageEraseSecureBootAndProfiles)
{
    fw_package_options_s opts;
    opts.card_profile = true;
    fw_package pkg(dir.path(), opts);
    std::string path = pkg.build("profiles.tar");
    run_result r = run("P='" + path + R"SH('
        $CTL -j fw boot-image set 0 fw-b -y | jq -c .
        $CTL -j fw show 0 | jq -r '"next=" + .next_boot_image'
        $CTL -j fw boot-image set 1 fw-gold -y >/dev/null
        $CTL -j fw show 1 | jq -r '"other=" + .next_boot_image'
        $CTL -j fw erase 0 soc-dtb -y | jq -c .
        $CTL -j secure-boot update 0 enable -y | jq -c .
        $CTL -j secure-boot show 0 | jq -r '"enable=\(.secure_enable)"'
        $CTL -j secure-boot update 0 disable -y | jq -c .secure_boot
        $CTL -j profile show 0 --package "$P" | jq -c '[.profiles[].name]'
        $CTL -j profile show 0 | jq -r '"active=" + .active_profile'
        $CTL profile show 0 --package "$P" | grep -q 'rdma profile' && echo PROFILE_TABLE
        $CTL profile update 0 "$P" nosuch -y; echo noprofile=$?
    )SH");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* k : {"{\"address\":\"0000:20:00.0\",\"next_boot_image\":\"fw-b\"}", "next=fw-b", "other=fw-gold",
                          "\"erased\":\"soc-dtb\"", "\"secure_boot\":true", "enable=1", "\nfalse\n",
                          "[\"default\",\"rdma\"]", "active=default", "PROFILE_TABLE"}) {
        EXPECT_TRUE(has(r.out, k)) << k << "\n" << r.out << r.err;
    }
    EXPECT_FALSE(has(r.out, "noprofile=0")) << r.out;
}

TEST_F(Orlixctl, RecommissionRoundTrip)
{
    run_result r = run(R"SH(
        $CTL -j card recommission 1 --rescan-delay 0 -y | jq -c .; echo rc=$?
        $CTL -j card list | jq -c '[.cards[] | .state]'
        $CTL -j card liveness 1 | jq -e .alive >/dev/null && echo ALIVE
    )SH", "", 200);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "{\"address\":\"0000:24:00.0\",\"recommissioned\":true}\nrc=0")) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "[\"up\",\"up\"]")) << r.out;
    EXPECT_TRUE(has(r.out, "ALIVE")) << r.out;
}

// on a terminal the destructive commands ask; anything but y leaves the card
// as it was
TEST_F(Orlixctl, ConfirmationOnATerminal)
{
    run_result r = run(R"SH(
        ask() { printf '%s\n' "$1" | script -q -e -c "$2" /dev/null > ask.out; echo "rc=$?"; tr -d '\r' < ask.out | grep -v '^lspci:'; }
        ask n "$CTL fw erase 0 soc-dtb"
        ask "" "$CTL pcie remove 1"
        $CTL -j card list | jq '.cards | length'
        ask y "$CTL coredump clear 0"
    )SH");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "rc=2\nn\nErase partition soc-dtb of card 0000:20:00.0? [y/N] Error - not confirmed, nothing done"))
        << r.out;
    EXPECT_TRUE(has(r.out, "rc=2\n\nRemove card 0000:24:00.0 from the PCIe tree? [y/N] Error - not confirmed")) << r.out;
    EXPECT_TRUE(has(r.out, "\n2\n")) << "declined: both cards still there\n" << r.out;
    EXPECT_TRUE(has(r.out, "rc=0\ny\nClear the stored coredumps of card 0000:20:00.0 (card and SUC)? [y/N] 0000:20:00.0: card")) << r.out;
}

// --follow prints what the monitor appends, a line only once it is whole,
// and keeps going across a rotation
TEST_F(Orlixctl, TelemetryFollowAcrossARotation)
{
    run_result r = run(R"SH(
        F="$ORLIXCTL_TELEMETRY_DIR/card_0000:20:00.0_stats.log"
        printf '*** Boot #1 ***\n{"n": 1}\n' > "$F"
        $CTL -j telemetry tail 0 --stats --follow > follow.out &
        PID=$!
        sleep 1
        printf '{"n": 2, "na' >> "$F"; sleep 1
        printf 'me": "half"}\n' >> "$F"; sleep 1
        mv "$F" "$F.1"; printf '*** Boot #1 ***\n{"n": 3}\n' > "$F"; sleep 1
        printf '{"n": 4}\n' >> "$F"; sleep 1
        kill $PID; wait $PID 2>/dev/null
        cat follow.out | jq -c -s .
        $CTL telemetry tail 0 --events; echo no_events=$?
    )SH");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "[{\"n\":1},{\"n\":2,\"name\":\"half\"},{\"n\":3},{\"n\":4}]")) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "no_events=3")) << r.out;
}

}  // namespace
