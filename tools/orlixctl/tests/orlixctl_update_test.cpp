// orlixctl fw update and fw verify on the emulated host: whole installs on
// both cards with their progress on a terminal and in lines, the flash
// compared with the package, one install per card and the reset that runs
// it, and the deadline and read-back of an install

#include <gtest/gtest.h>

#include <string>

#include "tests/support/fw_package.h"
#include "tools/orlixctl/tests/orlixctl_fixture.h"

namespace {

// the percents of one label, in the order they were drawn or printed, from
// text with the terminal's carriage returns and escapes taken out; "ok" when
// they never go back and end at 100, else the offending sequence
const char* k_monotonic = R"SH(
    monotonic() { tr '\r' '\n' < "$1" | sed 's/\x1b\[[0-9]*[A-Za-z]//g' |
        awk -v l="$2" '$1 == l { for (i = 2; i <= NF; i++) if ($i ~ /^[0-9]+%$/) { p = $i + 0; break }
                                 if (p < last) bad = 1; seq = seq " " p; last = p; n++ }
                       END { print (n > 0 && !bad && last == 100 ? "ok" : "BAD" seq) }'; }
)SH";

TEST_F(Orlixctl, UpdateBothCardsThenVerifyTheFlash)
{
    fw_package pkg(dir.path());
    const std::string path = pkg.build("full.tar"), v = pkg.options().software_version;
    run_result r = run("P='" + path + "'" + k_monotonic + R"SH(
        $CTL fw verify 0 "$P" > /dev/null 2>&1; echo fresh=$? before=$(stored 0),$(stored 1)
        script -q -e -c "$CTL fw update all $P -y" /dev/null > tty.out; echo tty_rc=$?
        grep -q '\[##############################\] 100%' tty.out && echo FULL_BAR
        grep -q 'Verify \[soc-uboottpl\]' tty.out && echo TPL_INSTALLED
        echo "updated_rows=$(tr -d '\r' < tty.out | grep -c 'updated to') after=$(stored 0),$(stored 1)"
        $CTL -j fw show 1 | jq -r '"next=" + .next_boot_image + " running=" + .running_version'

        # not a terminal: one line a step on standard error, the document on
        # standard output. the cards boot fw-a again first, so that the second
        # install, read back, finds what it wrote wherever the engine takes
        # "the other image" from
        $CTL fw boot-image set 0 fw-a -y > /dev/null && $CTL fw boot-image set 1 fw-a -y > /dev/null
        $CTL -j fw update 0,1 "$P" -y > doc.json 2> steps.txt; echo json_rc=$?
        jq -c '[.cards[] | .exit_code]' doc.json
        jq -r '.cards[].result' doc.json
        for c in 0000:20:00.0 0000:24:00.0; do
            # every status once, and per partition an erase, an install and a verification
            grep "^$c " steps.txt > "$c.steps"; sed 's/^[^%]*% //; s/ ([0-9.]* s)$//' "$c.steps" > "$c.status"
            n() { grep -c "^$1 \\[" "$c.status"; }
            echo "card $c bar=$(monotonic tty.out $c) lines=$(monotonic "$c.steps" $c) dup=$(sort "$c.status" | uniq -d | wc -l)" \
                 "steps=$(n Erase),$(n Install),$(n Verify),$(wc -l < "$c.status")"
            head -1 "$c.status"; tail -2 "$c.status" | tr '\n' ' '; echo
        done
        grep -c '\x1b' steps.txt | sed 's/^/escapes=/'

        # the flash against the package through the card's checksums, and
        # after a partition changed behind the package's back; verifying writes nothing
        $CTL -j fw verify 0 "$P" > ok.json; echo verify=$?
        jq -c '[.match, (.partitions | length), [.partitions[] | select(.match | not)]]' ok.json
        $CTL fw erase 0 soc-dtb -y > /dev/null; echo erase=$?
        before=$($CTL -j fw show 0)
        $CTL -j fw verify 0 "$P" > bad.json 2> bad.err; echo changed=$?
        jq -c '[.match, [.partitions[] | select(.match | not) | .partition]]' bad.json
        grep -v '^lspci:' bad.err
        $CTL fw verify 0 "$P" | grep -c MISMATCH
        [ "$before" = "$($CTL -j fw show 0)" ] && echo UNCHANGED
    )SH", 300);
    const std::string pending = " in fw-b, pending reset: it runs after orlixctl card reset ";
    // the package's 9 partitions but soc-uboottpl, which the first install brought
    // to the package's version (one on the card, no bank): three steps each, and
    // Starting, Post-processing, Done
    expect_all(r, {
        "fresh=4 before=1.4.0,1.4.0\ntty_rc=0\n", "FULL_BAR\nTPL_INSTALLED\nupdated_rows=2 after=" + v + "," + v + "\n",
        "next=fw-b running=1.4.0\n",
        "json_rc=0\n[0,0]\nupdated to " + v + pending + "0000:20:00.0\nupdated to " + v + pending + "0000:24:00.0\n",
        "Starting\nPost-processing Done \n", "escapes=0\n",
        "verify=0\n[true,9,[]]\nerase=0\nchanged=4\n[false,[\"soc-dtb\"]]\nError - 0000:20:00.0: flash differs from "
        "package " + path + " in soc-dtb\n1\nUNCHANGED\n",
        "card 0000:20:00.0 bar=ok lines=ok dup=0 steps=8,8,8,27\n", "card 0000:24:00.0 bar=ok lines=ok dup=0 steps=8,8,8,27\n"});
}

// what a fleet lives through: a second install on a card refused at once
// naming the first, which goes on and leaves its image pending; the same
// package again is "already stored"; card reset runs it. an installer that
// dies leaves the card free
TEST_F(Orlixctl, OneInstallPerCardThenResetRunsIt)
{
    fw_package pkg(dir.path());
    const std::string path = pkg.build("lock.tar"), v = pkg.options().software_version;
    run_result r = run("P='" + path + "'" + R"SH(
        held() { [ -s "$ORLIXCTL_STATE_DIR/$1/update.lock" ]; }
        $CTL fw update 0 "$P" -y > first.out 2> first.err &
        FIRST=$!
        wait_for 30 held 0000:20:00.0
        $CTL fw update 0 "$P" -y > /dev/null 2> second.err; echo second=$?
        kill -0 $FIRST 2>/dev/null && echo FIRST_GOES_ON
        grep -o 'Card 0000:20:00.0 is busy: pid [0-9]* (orlixctl) is installing' second.err | sed "s/pid $FIRST /pid FIRST /"
        wait $FIRST; echo first=$?
        grep -o 'updated to .*' first.out
        show() { $CTL -j fw show 0 | jq -c '[.running_image, .running_version, .next_boot_image, .stored_version, .reset_pending]'; }
        show
        $CTL -j card list | jq -c '[.cards[] | .reset_pending]'
        $CTL fw show 0 | grep '^reset_pending'
        $CTL fw update 0 "$P" -y 2> /dev/null | grep -o 'already stored in fw-b, pending reset'
        $CTL fw update 0 "$P" -y > /dev/null 2>&1; echo again=$?
        $CTL card reset 0 --rescan-delay 2 -y 2> reset.err; echo reset=$?
        show
        $CTL fw update 1 "$P" -y > /dev/null 2>&1 &
        H=$!
        wait_for 30 held 0000:24:00.0 && kill -9 $H; wait $H
        $CTL fw boot-image set 1 fw-a -y > /dev/null 2>&1; echo after_death=$?
    )SH", 200);
    expect_all(r, {"second=1\nFIRST_GOES_ON\nCard 0000:20:00.0 is busy: pid FIRST (orlixctl) is installing\nfirst=0\n"
                   "updated to " + v + " in fw-b, pending reset: it runs after orlixctl card reset 0000:20:00.0\n",
                   "[\"fw-a\",\"1.4.0\",\"fw-b\",\"" + v + "\",true]\n[true,false]\nreset_pending     yes: fw-b (" + v +
                       ") runs after a reset (orlixctl card reset 0000:20:00.0)\nalready stored in fw-b, pending "
                       "reset\nagain=2\n",
                   "0000:20:00.0 reset, runs fw-b (" + v + ")\nreset=0\n[\"fw-b\",\"" + v + "\",\"fw-b\",\"" + v +
                       "\",false]\n",
                   "after_death=0\n"});
}

// the two ways a card can leave an install unfinished, set on the emulated
// cards from the start: card 1's flash stays "in progress" for ever (an
// update and a comparison end at their deadlines), card 0 says yes to a boot
// image selection and keeps the old one
TEST_F(Orlixctl, UpdateStopsAtItsDeadlineAndReadsBackWhatTheCardBoots)
{
    fw_package pkg(dir.path());
    run_result r = run("P='" + pkg.build("bound.tar") + "'" + R"SH(
        $CTL fw update 1 "$P" -y --timeout 3 > /dev/null 2> stuck.err; echo stuck=$?
        grep -o 'Operation timed out: .* : Firmware update timed out after 3 seconds in Erase \[soc-zephyr\]' stuck.err | sed 's/: NIC .* : /: /'
        $CTL -j fw show 1 | jq -r '"next1=" + .next_boot_image'
        $CTL fw verify 1 "$P" --timeout 2 > /dev/null 2> vstuck.err; echo vstuck=$?
        grep -o 'Flash check timed out after 2 seconds in Verify \[soc-zephyr\]' vstuck.err
        $CTL -j fw update 0 "$P" -y > lost.json 2> /dev/null; echo lost=$?
        # read back (by the engine or by the install's own read-back): not a success
        jq -r '.cards[0].result' lost.json | grep -oE 'the card (boots|starts) fw-a next' | sed 's/^/lost: /'
        $CTL -j fw show 0 | jq -r '"next0=" + .next_boot_image'
    )SH", 200, {"flash 1 stuck", "flash 0 boot-lost"});
    expect_all(r, {"stuck=1\nOperation timed out: Firmware update timed out after 3 seconds in Erase [soc-zephyr]\n"
                   "next1=fw-a\nvstuck=1\nFlash check timed out after 2 seconds in Verify [soc-zephyr]\n",
                   "lost=1\nlost: the card ", " fw-a next\n", "next0=fw-a\n"});
}

}  // namespace
