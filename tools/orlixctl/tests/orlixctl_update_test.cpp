// orlixctl fw update on the emulated host: whole installs on both cards with
// their progress on a terminal and in lines, the version check against the
// running image, and a profile update that installs the package

#include <gtest/gtest.h>

#include <string>

#include "tests/support/fw_package.h"
#include "tools/orlixctl/tests/orlixctl_fixture.h"

namespace {

// the version each card keeps for its second bank's SoC image: an install
// writes that bank while the card runs the first
const char* k_stored = R"SH(
    stored() { $CTL -j fw show "$1" | jq -r '[.versions.soc[] | select(.name == "Zephyr-B") | .version][0]'; }
)SH";

// the percents of one label, in the order they were drawn or printed, from
// text with the terminal's carriage returns and escapes taken out; "ok" when
// they never go back and end at 100, else the offending sequence
const char* k_monotonic = R"SH(
    monotonic() { tr '\r' '\n' < "$1" | sed 's/\x1b\[[0-9]*[A-Za-z]//g' |
        awk -v l="$2" '$1 == l { for (i = 2; i <= NF; i++) if ($i ~ /^[0-9]+%$/) { p = $i + 0; break }
                                 if (p < last) bad = 1; seq = seq " " p; last = p; n++ }
                       END { print (n > 0 && !bad && last == 100 ? "ok" : "BAD" seq) }'; }
)SH";

TEST_F(Orlixctl, UpdateBothCardsOnATerminalAndInLines)
{
    fw_package pkg(dir.path());
    std::string path = pkg.build("full.tar");
    const std::string version = pkg.options().software_version;
    run_result r = run("P='" + path + "'" + k_stored + k_monotonic + R"SH(
        echo "before=$(stored 0),$(stored 1)"
        script -q -e -c "$CTL fw update all $P -y" /dev/null > tty.out; echo tty_rc=$?
        for c in 0000:20:00.0 0000:24:00.0; do echo "bar $c $(monotonic tty.out $c)"; done
        grep -q '\[##############################\] 100%' tty.out && echo FULL_BAR
        grep -q 'Verify \[soc-uboottpl\]' tty.out && echo TPL_INSTALLED
        tr -d '\r' < tty.out | grep -c 'updated to' | sed 's/^/updated_rows=/'
        echo "after=$(stored 0),$(stored 1)"
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
            grep "^$c " steps.txt > "$c.steps"
            echo "lines $c $(monotonic "$c.steps" $c)"
            # every status once, and per partition an erase, an install and a verification
            sed 's/^[^%]*% //; s/ ([0-9.]* s)$//' "$c.steps" > "$c.status"
            echo "dup $c=$(sort "$c.status" | uniq -d | wc -l)"
            e=$(grep -c '^Erase \[' "$c.status"); i=$(grep -c '^Install \[' "$c.status"); v=$(grep -c '^Verify \[' "$c.status")
            echo "steps $c e=$e i=$i v=$v total=$(wc -l < "$c.status")"
            head -1 "$c.status"; tail -2 "$c.status" | tr '\n' ' '; echo
        done
        grep -c '\x1b' steps.txt | sed 's/^/escapes=/'
    )SH", "", 300);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "before=1.4.0,1.4.0\n")) << r.out;
    EXPECT_TRUE(has(r.out, "tty_rc=0\n")) << r.out << r.err;
    for (const char* c : {"0000:20:00.0", "0000:24:00.0"}) {
        std::string card = c;
        EXPECT_TRUE(has(r.out, "bar " + card + " ok\n")) << r.out;
        EXPECT_TRUE(has(r.out, "lines " + card + " ok\n")) << r.out;
        EXPECT_TRUE(has(r.out, "dup " + card + "=0\n")) << r.out;
        // the package's 9 partitions but soc-uboottpl, which the first install
        // brought to the package's version (the card keeps one of it, no bank):
        // three steps each, and Starting, Post-processing, Done
        EXPECT_TRUE(has(r.out, "steps " + card + " e=8 i=8 v=8 total=27\n")) << r.out;
    }
    EXPECT_TRUE(has(r.out, "FULL_BAR\nTPL_INSTALLED\n")) << r.out;
    EXPECT_TRUE(has(r.out, "updated_rows=2\n")) << r.out;
    EXPECT_TRUE(has(r.out, "after=" + version + "," + version + "\n")) << r.out;
    EXPECT_TRUE(has(r.out, "next=fw-b running=1.4.0\n")) << r.out;
    EXPECT_TRUE(has(r.out, "json_rc=0\n[0,0]\nupdated to " + version +
                               " in fw-b, pending reset: it runs after orlixctl card reset 0000:20:00.0\nupdated to " +
                               version + " in fw-b, pending reset: it runs after orlixctl card reset 0000:24:00.0\n"))
        << r.out;
    EXPECT_TRUE(has(r.out, "Starting\nPost-processing Done \n")) << r.out;
    EXPECT_TRUE(has(r.out, "escapes=0\n")) << r.out;
}

// the card runs "1.4.0"; a package's "-E-N" is its build tag, so "1.4.0-E-12"
// is the running release and "1.3.9-E-3" an older one
TEST_F(Orlixctl, UpdateVersionChecks)
{
    fw_package_options_s same_opts;
    same_opts.software_version = "1.4.0-E-12";
    fw_package same(dir.path(), same_opts);
    fw_package_options_s older_opts;
    older_opts.software_version = "1.3.9-E-3";
    fw_package older(dir.path(), older_opts);
    run_result r = run("S='" + same.build("same.tar") + "' O='" + older.build("older.tar") + "'" + k_stored + R"SH(
        $CTL -j fw show 0 | jq -r '"running=" + .running_version'
        $CTL fw update all "$S" -y > same.out 2>&1; echo same=$?
        $CTL -j fw update 0 "$S" -y | jq -c '[.cards[] | .exit_code, .result]'
        $CTL fw update 1 "$O" -y > /dev/null 2> older.err; echo older=$?
        grep -v "^lspci:" older.err
        $CTL -j fw update 0 "$O" --dry-run; echo older_dry=$?
        $CTL -j fw update 0 "$O" --dry-run --allow-older > dry.json; echo dry=$?
        jq -r '.cards[0].result' dry.json
        $CTL fw update 1 "$O" --dry-run --allow-older | grep -c 'would install 1.3.9-E-3 over 1.4.0'
        # nothing of that reached the flash
        echo "stored=$(stored 0),$(stored 1)"
        $CTL -j fw show 0 | jq -r '"next=" + .next_boot_image'
    )SH");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "running=1.4.0\nsame=2\n")) << r.out;
    EXPECT_TRUE(has(r.out, "[2,\"already at 1.4.0 (package 1.4.0-E-12)\"]")) << r.out;
    EXPECT_TRUE(has(r.out, "older=4\nError - 0000:24:00.0: package 1.3.9-E-3 is older than the running 1.4.0 "
                           "(--allow-older installs it)\n"))
        << r.out;
    EXPECT_TRUE(has(r.out, "\"exit_code\":4")) << r.out;
    EXPECT_TRUE(has(r.out, "older_dry=4\n")) << r.out;
    EXPECT_TRUE(has(r.out, "dry=0\nwould install 1.3.9-E-3 over 1.4.0\n1\n")) << r.out;
    EXPECT_TRUE(has(r.out, "stored=1.4.0,1.4.0\nnext=fw-a\n")) << r.out;
}

// what a fleet lives through: a second install on a card refused at once
// naming the first, which goes on and leaves its image pending; the same
// package again is "already stored"; card reset runs it. an installer that
// dies leaves the card free
TEST_F(Orlixctl, OneInstallPerCardThenResetRunsIt)
{
    fw_package pkg(dir.path());
    std::string path = pkg.build("lock.tar");
    const std::string version = pkg.options().software_version;
    run_result r = run("P='" + path + "'" + R"SH(
        # waits up to 30 s until card $1's update lock names its holder
        held() { i=0; until [ -s "$ORLIXCTL_STATE_DIR/$1/update.lock" ]; do
            i=$((i+1)); [ $i -gt $((300 * WAIT_SCALE)) ] && { echo "NO_LOCK $1"; return 1; }; sleep 0.1; done; }
        $CTL fw update 0 "$P" -y > first.out 2> first.err &
        FIRST=$!
        held 0000:20:00.0
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
        held 0000:24:00.0 && kill -9 $H; wait $H
        $CTL fw boot-image set 1 fw-a -y > /dev/null 2>&1; echo after_death=$?
    )SH", "", 200);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string v = version;
    EXPECT_TRUE(has(r.out, "second=1\nFIRST_GOES_ON\nCard 0000:20:00.0 is busy: pid FIRST (orlixctl) is installing\n"
                           "first=0\nupdated to " + v + " in fw-b, pending reset: it runs after orlixctl card reset 0000:20:00.0\n"))
        << r.out << r.err;
    EXPECT_TRUE(has(r.out, "[\"fw-a\",\"1.4.0\",\"fw-b\",\"" + v + "\",true]\n[true,false]\n"
                           "reset_pending     yes: fw-b (" + v + ") runs after a reset (orlixctl card reset 0000:20:00.0)\n"
                           "already stored in fw-b, pending reset\nagain=2\n"))
        << r.out;
    EXPECT_TRUE(has(r.out, "0000:20:00.0 reset, runs fw-b (" + v + ")\nreset=0\n[\"fw-b\",\"" + v + "\",\"fw-b\",\"" + v +
                           "\",false]\n"))
        << r.out << r.err;
    EXPECT_TRUE(has(r.out, "after_death=0\n")) << r.out;
    EXPECT_FALSE(has(r.out, "NO_LOCK")) << r.out;
}

// profile update installs the package with the profile's device
// configuration, then records the profile
TEST_F(Orlixctl, ProfileUpdateInstallsThePackage)
{
    fw_package_options_s opts;
    opts.card_profile = true;
    fw_package pkg(dir.path(), opts);
    std::string path = pkg.build("profiles.tar");
    run_result r = run("P='" + path + "'" + k_stored + R"SH(
        $CTL -j profile update 0 "$P" rdma -y | jq -c '[.profile, .stage, .stages]'; echo rc=$?
        # the device configuration alone, from what the card has installed: the stage it
        # reached and the engine's refusal (fw-a and fw-b differ after one install)
        $CTL profile update 0 rdma --device-config-only -y 2>&1 >/dev/null | grep -v lspci
        $CTL -j profile show 0 | jq -r '"active=" + .active_profile'
        echo "stored=$(stored 0),$(stored 1)"
        $CTL -j profile show 1 | jq -r '"other=" + .active_profile'
    )SH", "", 200);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string stages = "[\"card profile\",\"Port Profile\",\"Activation\",\"Done\"]";
    EXPECT_TRUE(has(r.out, "[\"rdma\",\"Done\"," + stages + "]\nrc=0\n")) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "0000:20:00.0   0% card profile (")) << r.out;
    EXPECT_TRUE(has(r.out, "Generic error: card profile: NIC ")) << r.out;
    EXPECT_TRUE(has(r.out, "Both the main firmware partitions must run same firmware version for profile update")) << r.out;
    EXPECT_TRUE(has(r.out, "active=rdma\n")) << r.out;
    EXPECT_TRUE(has(r.out, "stored=" + opts.software_version + ",1.4.0\n")) << r.out;
    EXPECT_FALSE(has(r.out, "other=rdma")) << r.out;
}

// fw verify: a card's flash against a package, through the card's own
// checksums, before and after an install and after a partition changed
// behind the package's back; verifying writes nothing
TEST_F(Orlixctl, VerifyComparesTheFlashWithThePackage)
{
    fw_package pkg(dir.path());
    std::string path = pkg.build("verify.tar");
    run_result r = run("P='" + path + "'" + R"SH(
        $CTL fw verify 0 "$P" > /dev/null 2>&1; echo fresh=$?
        $CTL fw update 0 "$P" -y > /dev/null 2>&1; echo update=$?
        $CTL -j fw verify 0 "$P" > ok.json; echo verify=$?
        jq -c '[.match, (.partitions | length), [.partitions[] | select(.match | not)]]' ok.json
        $CTL fw erase 0 soc-dtb -y > /dev/null; echo erase=$?
        before=$($CTL -j fw show 0)
        $CTL -j fw verify 0 "$P" > bad.json 2> bad.err; echo changed=$?
        jq -c '[.match, [.partitions[] | select(.match | not) | .partition]]' bad.json
        grep -v '^lspci:' bad.err
        $CTL fw verify 0 "$P" | grep -c MISMATCH
        [ "$before" = "$($CTL -j fw show 0)" ] && echo UNCHANGED
    )SH", "", 200);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "fresh=4\nupdate=0\nverify=0\n[true,9,[]]\nerase=0\nchanged=4\n[false,[\"soc-dtb\"]]\n"))
        << r.out << r.err;
    EXPECT_TRUE(has(r.out, "Error - 0000:20:00.0: flash differs from package " + path + " in soc-dtb\n1\nUNCHANGED\n"))
        << r.out;
}

// the two ways a card can leave an install unfinished, set on the emulated
// cards from the start: card 1's flash stays "in progress" for ever (an
// update and a comparison end at their deadlines), card 0 says yes to a boot
// image selection and keeps the old one
TEST_F(Orlixctl, UpdateStopsAtItsDeadlineAndReadsBackWhatTheCardBoots)
{
    fw_package pkg(dir.path());
    std::string path = pkg.build("bound.tar");
    run_result r = run("P='" + path + "'" + R"SH(
        $CTL fw update 1 "$P" -y --timeout 3 > /dev/null 2> stuck.err; echo stuck=$?
        grep -o 'Operation timed out: .* : Firmware update timed out after 3 seconds in Erase \[soc-zephyr\]' stuck.err | sed 's/: NIC .* : /: /'
        $CTL -j fw show 1 | jq -r '"next1=" + .next_boot_image'
        $CTL fw verify 1 "$P" --timeout 2 > /dev/null 2> vstuck.err; echo vstuck=$?
        grep -o 'Flash check timed out after 2 seconds in Verify \[soc-zephyr\]' vstuck.err
        $CTL -j fw update 0 "$P" -y > lost.json 2> /dev/null; echo lost=$?
        # read back (by the engine or by fw update itself): not a success
        jq -r '.cards[0].result' lost.json | grep -oE 'the card (boots|starts) fw-a next' | sed 's/^/lost: /'
        $CTL -j fw show 0 | jq -r '"next0=" + .next_boot_image'
    )SH", "", 200, {"flash 1 stuck", "flash 0 boot-lost"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "stuck=1\nOperation timed out: Firmware update timed out after 3 seconds in Erase [soc-zephyr]\nnext1=fw-a\n"
                           "vstuck=1\nFlash check timed out after 2 seconds in Verify [soc-zephyr]\n"))
        << r.out << r.err;
    EXPECT_TRUE(has(r.out, "lost=1\nlost: the card ")) << r.out;
    EXPECT_TRUE(has(r.out, " fw-a next\n")) << r.out;
    EXPECT_TRUE(has(r.out, "next0=fw-a\n")) << r.out;
}

}  // namespace
