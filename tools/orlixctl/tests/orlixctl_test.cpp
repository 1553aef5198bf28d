// orlixctl against an emulated host: the commands that read and the small
// card requests on one host, the package checks that touch no card, the
// refusals and the bad arguments

#include <gtest/gtest.h>

#include <string>

#include "tests/support/fw_package.h"
#include "tools/orlixctl/tests/orlixctl_fixture.h"

namespace {

// each bad command line: its exit code and a text of its message
const std::pair<const char*, const char*> k_bad_commands[] = {
    {"card show 9", "rc=3 Error - no card with index 9"},
    {"card show 0000:99:00.0", "rc=3 Error - no card at PCI address 0000:99:00.0"},
    {"card show 12345678-1234-1234-1234-123456789abc", "rc=3 Error - no card with UUID"},
    {"card show NOSUCHSERIAL", "rc=3 Error - no card with PCI address, UUID, serial"},
    {"card show ''", "rc=1 Error - no card given"},
    {"bogus", "rc=2 Error - unknown command 'bogus' "},
    {"crad list", "rc=2 Error - unknown command 'crad'; did you mean 'card'?"},
    {"-p card lsit", "rc=2 Error - unknown command 'lsit' of 'card'; did you mean 'list'?"},
    {"card time gte 0", "rc=2 Error - unknown command 'gte' of 'time'; did you mean 'get'?"},
    {"fw boot-image set 0 fw-z", "rc=105 IMAGE: fw-z not in"},
    {"qsfp show 0 0", "rc=105 PORT: Value 0 not in range"},
    {"dtb get 0 -o x --type 9", "Invalid input: NIC"},
    {"pcie cap-set 0 --port 7f:00.0 --uemsk 0 --dpccr 0 -y", "rc=1 PCIe device not found: NIC"},
    {"profile update 0 rdma -y", "rc=1 Error - a firmware package is needed unless --device-config-only or --activate-only"},
    {"card time set 0 yesterday", "rc=1 Error - invalid time"},
    {"fw erase 0 nosuch -y", "rc=3 Error - no flash partition"},
    {"fw inspect /nonexistent.tar", "rc=3 Error - package /nonexistent.tar is not a readable file"},
    // config check reads a file as the monitor does: its errors, and what it would
    // take without a word (a minus sign or a word where a number belongs, a flag
    // neither true nor false, a value where an object belongs)
    {"config check ok.json", "rc=0 ok.json: valid"},
    {"config check none.json", "rc=1 No such node (filter.lif.counters)"},
    {"config check warn.json",
     "rc=4 Warning - filter.card.liveness_poll_interval: \"-5\" has a minus sign and wraps to 18446744073709551611 "
     "Warning - filter.lif.poll_interval: \"fast\" is not a whole number, the default 100000 applies "
     "Warning - filter.port.counters[0].cumulative: \"True\" is neither true nor false and counts as false "
     "Warning - filter.port.counters[0].threshold: \"100\" is not an object, the keys below it take their defaults"},
};

// each bad command line with its exit code and message; then card selection
// in every form, the card's own requests, dumps with their progress on a
// terminal, telemetry tail and --follow across a rotation
TEST_F(Orlixctl, ReadCommandsAndBadArgumentsOnOneHost)
{
    std::string table;
    for (const auto& [args, says] : k_bad_commands) {
        table += sh_call("t", {args, says});
    }
    run_result r = run(R"SH(
        t() { eval "\$CTL $1" > o 2> e; got="rc=$? $(cat o e | grep -v '^lspci:' | head -c 600 | tr '\n' ' ')"
              case "$got" in *"$2"*) ;; *) echo "BAD [$1] wants [$2], got [$got]";; esac; }
        conf() { printf '{"log_dir": "%s", "telemetry_dir": "%s", "filter": {%s}}' "$PWD" "$PWD" "$2" > "$1"; }
        conf ok.json '"lif": {"counters": []}, "port": {"counters": []}'
        conf none.json ''
        conf warn.json '"card": {"liveness_poll_interval": "-5"}, "lif": {"poll_interval": "fast", "counters": []},
            "port": {"counters": [{"counter": "frames_rx_ok", "cumulative": "True", "threshold": 100, "action": {"stats_record": true}}]}'
        )SH" + table + R"SH(
        $CTL -j crad 2>/dev/null | jq -c .error
        $CTL -j card show 9 | jq -c .error
        $CTL -j fw boot-image set 0 fw-z 2>/dev/null | jq -c .error.code
        command -v setpriv >/dev/null && setpriv --reuid=65534 --regid=65534 --clear-groups $CTL card list; echo user=$?

        U=$($CTL -j card list | jq -r '.cards[1].uuid'); S=$($CTL -j card list | jq -r '.cards[1].serial')
        for c in 1 0000:24:00.0 24:00.0 "$U" "$(echo $U | tr a-f A-F)" "$S"; do $CTL -j card uuid "$c" | jq -r '.address + " " + .uuid'; done |
            grep -c "^0000:24:00.0 $U$" | sed 's/^/selected=/'
        $CTL -j card list | jq -e '.cards | length == 2 and all(.state == "up")' >/dev/null && echo LIST_OK
        $CTL -j card show 0 | jq -e '(.ports | length) == 2 and (.lifs | length) == 2 and .firmware.running_image == "fw-a" and .serial == "ORX26000000"' >/dev/null && echo SHOW_OK
        $CTL -j card liveness 0 | jq -e '.alive' >/dev/null && echo LIVE_OK
        $CTL -j card cmb update 1 7 -y | jq -c .; $CTL card cmb get 1 | grep cmb; $CTL -j card cmb get 0 | jq -c .cmb
        $CTL card pss-reset 1 -y; $CTL card sdk-init 0
        $CTL -j fw show 0 | jq -e '.next_boot_image == "fw-a" and (.versions.soc | map(.name) | index("Zephyr-B")) != null' >/dev/null && echo FW_OK
        $CTL -j qsfp show 0 2 --raw --page 1 | jq -e '.offset == 128 and .bytes[0] == 129' >/dev/null && echo RAW_OK
        $CTL secure-boot show 0 | grep -q life_cycle_state && echo SB_OK

        $CTL -j coredump get 0 -o out.cd | jq -e '.size == 2500' >/dev/null && grep -q '#CD:BEGIN#' out.cd && echo CD_OK
        $CTL dtb get 1 -o out.dtb --type 3 2>steps >/dev/null; echo dtb=$? size=$(stat -c %s out.dtb) lines=$(grep -c '%' steps)
        # on a terminal: one bar redrawn in place up to 100%
        script -q -c "$CTL dtb get 0 -o tty.dtb" /dev/null | tr '\r' '\n' | grep '%' | sed -n '1p;$p'
        $CTL -j coredump clear 0 --kind suc --assume-yes | jq -c .cleared
        $CTL -j coredump clear 0 --assume-yes | jq -c .cleared
        $CTL coredump get 0 --suc -o x; echo suc=$?

        F="$ORLIXCTL_TELEMETRY_DIR/card_0000:20:00.0_stats.log"
        printf '*** Boot #3 ***\n{"a": 1}\n{"a": 2}\n' > "$F"
        $CTL -j telemetry tail 0 --stats | jq -c '.records'
        $CTL telemetry tail 0 --stats
        # --follow: a line only once it is whole, and on across a rotation
        $CTL -j telemetry tail 0 --stats --follow > follow.out &
        PID=$!
        lines() { [ "$(wc -l < follow.out)" -ge "$1" ]; }
        wait_for 10 lines 2
        printf '{"n": 2, "na' >> "$F"; sleep 0.5
        printf 'me": "half"}\n' >> "$F"; wait_for 10 lines 3
        mv "$F" "$F.1"; printf '*** Boot #1 ***\n{"n": 3}\n' > "$F"; wait_for 10 lines 4
        printf '{"n": 4}\n' >> "$F"; wait_for 10 lines 5
        kill $PID; wait $PID 2>/dev/null
        jq -c -s . follow.out
        $CTL telemetry tail 0 --events; echo no_events=$?

        # without --telemetry-dir: the installed monitor configuration, then the package's folder
        T=$ORLIXCTL_TELEMETRY_DIR; D=${T%/tel}; unset ORLIXCTL_TELEMETRY_DIR
        printf '{"telemetry_dir": "%s", "filter": {"lif": {"counters": []}, "port": {"counters": []}}}' "$T" > "$D/mon.json"
        # a card that left the bus still has its files
        echo '{"b": 1}' > "$T/card_0000:77:00.0_event.log"
        ORLIXCTL_MONITOR_CONFIG=$D/mon.json $CTL telemetry tail 77:00.0
        ORLIXCTL_MONITOR_CONFIG=$D/absent.json $CTL telemetry tail 0000:77:00.0; echo none=$?
    )SH");
    expect_all(r, {"selected=6\n", "LIST_OK\nSHOW_OK\nLIVE_OK\n", "{\"address\":\"0000:24:00.0\",\"cmb\":7}\ncmb      7\n0\n",
                   "0000:24:00.0: PSS reset\n0000:20:00.0: platform layer ready",
                   "FW_OK\nRAW_OK\nSB_OK\nCD_OK\ndtb=0 size=2048 lines=",
                   "0000:20:00.0 [..............................]   0%", "[##############################] 100%",
                   "[\"suc\"]\n[\"card\",\"suc\"]\n", "suc=2\n[{\"a\":1},{\"a\":2}]\na=1\na=2\n",
                   "[{\"a\":1},{\"a\":2},{\"n\":2,\"name\":\"half\"},{\"n\":3},{\"n\":4}]\nno_events=3\nb=1\nnone=3\n",
                   "{\"code\":2,\"message\":\"Error - unknown command 'crad'; did you mean 'card'?\"}\n{\"code\":3,\"message\":"
                   "\"Error - no card with index 9 (the host has 2 cards)\"}\n105\nuser=1\n"});
    EXPECT_TRUE(test_has(r.err, "Error - no telemetry of card 0000:77:00.0 in /var/lib/orlixmon (" + dir.file("absent.json") +
                               " not found, the package's default; --telemetry-dir names another directory)"))
        << r.err;
    EXPECT_FALSE(test_has(r.out, "BAD")) << r.out;
    EXPECT_TRUE(test_has(r.err, "Error - orlixctl requires root privileges, please login as superuser or use sudo")) << r.err;
}

// every command that changes a card or the host, run without a terminal and
// without -y, whatever a script pipes in: refused naming -y, nothing done. on
// a terminal they ask, and anything but y leaves the card as it was
TEST_F(Orlixctl, DestructiveCommandsAskOrRefuse)
{
    run_result r = run(R"SH(
        state() { $CTL -j fw show 0 | jq -c '[.next_boot_image, .versions, .secure_boot]'
                  $CTL -j card list | jq -c '[.cards[] | .address]'
                  $CTL -j coredump get 0 -o cd.out | jq -c .size; }
        before=$(state)
        NET=$($CTL -j card show 0 | jq -r .functions.func_1002)
        while read -r cmd; do
            for input in "</dev/null" "echo y |" "echo n |"; do
                eval "$input \$CTL $cmd" > out 2> err; rc=$?
                grep -q 'needs confirmation and standard input is not a terminal: add -y' err || echo "NO_HINT $cmd: $(cat err)"
                [ $rc = 2 ] || echo "RC $rc $cmd"
            done
        done <<'END'
fw erase 0 soc-dtb
fw update 0 pkg.tar
fw boot-image set 0 fw-b
secure-boot update 0 enable
coredump clear 0
pcie unbind 0
pcie remove 1
pcie cap-set 0 --port 0000:00:01.0 --uemsk 1 --dpccr 0
card decommission 0
card recommission 1
card reset 0
profile update 0 pkg.tar rdma
END
        ask() { printf '%s\n' "$1" | script -q -e -c "$2" /dev/null > ask.out; echo "rc=$?"; tr -d '\r' < ask.out | grep -v '^lspci:'; }
        ask n "$CTL fw erase 0 soc-dtb"
        ask "" "$CTL pcie remove 1"
        [ "$before" = "$(state)" ] && echo UNTOUCHED
        [ -e "/sys/bus/pci/drivers/plenx/$NET" ] && echo STILL_BOUND
        ask y "$CTL coredump clear 0"
        # a rehearsal asks nothing: on to the package check
        $CTL fw update 0 pkg.tar --dry-run < /dev/null 2> err; echo dry=$?
    )SH");
    expect_all(r, {"rc=2\nn\nErase partition soc-dtb of card 0000:20:00.0? [y/N] Error - not confirmed, nothing done",
                   "rc=2\n\nRemove card 0000:24:00.0 from the PCIe tree? [y/N] Error - not confirmed",
                   "UNTOUCHED\nSTILL_BOUND\nrc=0\ny\nClear the stored coredumps of card 0000:20:00.0 (card and SUC)? "
                   "[y/N] 0000:20:00.0: card",
                   "dry=3\n"});
    EXPECT_FALSE(test_has(r.out, "NO_HINT") || test_has(r.out, "RC ")) << r.out;
}

// fw inspect and the checks fw update makes before it writes: digests (the
// ones the engine refuses too), unsafe members, the running version against
// the package's ("1.4.0-E-12" is the running 1.4.0 release, "1.3.9-E-3" an
// older one); none of it reaches the flash
TEST_F(Orlixctl, PackageChecksTouchNothing)
{
    auto package = [this](const char* name, auto&& set) {
        fw_package_options_s o;
        set(o);
        return "'" + fw_package(dir.path(), o).build(name) + "'";
    };
    const std::string pkgs =
        "P=" + package("release 1.4.2.tar", [](auto&) {}) + " B=" + package("bad.tar", [](auto& o) {
            o.fault = fw_package_fault_e::wrong_digest;
            o.fault_member = "talmira/uboot.img";
        }) + " U=" + package("upper.tar", [](auto& o) { o.fault = fw_package_fault_e::upper_case_digest; }) +
        " E=" + package("evil.tar", [](auto& o) { o.fault = fw_package_fault_e::dot_dot_member; }) +
        " S=" + package("same.tar", [](auto& o) { o.software_version = "1.4.0-E-12"; }) +
        " O=" + package("older.tar", [](auto& o) { o.software_version = "1.3.9-E-3"; });
    run_result r = run(pkgs + R"SH(
        before=$($CTL -j fw show 0 | jq -c '[.versions, .next_boot_image]')
        $CTL -j fw inspect "$P" | jq -e '.digest_ok and (.images | length) > 5' >/dev/null && echo INSPECT_OK
        $CTL -j fw inspect "$U" 2>/dev/null | jq -c '[.digest_ok, (.images[] | select(.digest_ok | not) | .problem)]'
        $CTL -j fw inspect "$B" 2>/dev/null | jq -c '[.digest_ok, (.images[] | select(.digest_ok | not) | .name)]'
        $CTL fw inspect "$B" >/dev/null 2>&1; echo bad=$?
        $CTL fw inspect "$E" 2>&1 >/dev/null | grep -v '^lspci:'
        $CTL fw inspect "$E" >/dev/null 2>&1; echo hostile=$?
        $CTL fw update 0 "$B" --assume-yes >/dev/null 2>&1; echo bad_update=$?
        $CTL -j fw update 0 "$P" --dry-run | jq -r '.cards[0].result'
        $CTL fw update all "$S" -y > same.out 2>&1; echo same=$?
        $CTL -j fw update 0 "$S" -y | jq -c '[.cards[] | .exit_code, .result]'
        $CTL fw update 1 "$O" -y > /dev/null 2> older.err; echo older=$?
        grep -v "^lspci:" older.err
        $CTL -j fw update 0 "$O" --dry-run > /dev/null; echo older_dry=$?
        $CTL -j fw update 0 "$O" --dry-run --allow-older | jq -r '.cards[0].result'
        [ "$before" = "$($CTL -j fw show 0 | jq -c '[.versions, .next_boot_image]')" ] && echo UNTOUCHED
        echo "stored=$(stored 0),$(stored 1)"
        [ -z "$(ls "$ORLIXCTL_STATE_DIR/fwupgrade" 2>/dev/null | grep -v '^0000' )" ] && echo NO_LOGS
    )SH");
    expect_all(r, {"INSPECT_OK\n[false,\"digest in upper case (the update refuses it)\"]\n[false,\"talmira/uboot.img\"]\n"
                   "bad=4\n",
                   "member \"../evil\" leaves the directory it is unpacked into\nhostile=4\nbad_update=4\n"
                   "would install 1.4.2",
                   "same=2\n[2,\"already at 1.4.0 (package 1.4.0-E-12)\"]\nolder=4\nError - 0000:24:00.0: package "
                   "1.3.9-E-3 is older than the running 1.4.0 (--allow-older installs it)\nolder_dry=4\n"
                   "would install 1.3.9-E-3 over 1.4.0\nUNTOUCHED\nstored=1.4.0,1.4.0\nNO_LOGS\n"});
}

}  // namespace
