// a local user against root's orlixctl on the emulated host. in a private
// mount namespace with its own /tmp (the host's is never touched), user
// nobody pre-creates folders and links at the paths root will use, aimed at a
// victim folder; root then runs an update, a coredump and a profile show. each
// command either works in a private folder or refuses with a message naming
// the folder; the victim never changes and nothing of root's lands in the
// user's folders.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fw_package.h"
#include "tools/orlixctl/tests/orlixctl_fixture.h"

namespace {

struct attack_case {
    const char* name;
    const char* plant;    // run as nobody
    const char* command;  // run as root, $CTL with --state-dir where it matters
    const char* refusal;  // "" when the command must work, else a text of its message
};

const attack_case k_cases[] = {
    // the library's default operational folder taken over in each way
    {"oper-link", "ln -s /tmp/victim /tmp/orlix", "$CTL --state-dir /tmp/orlix/ fw update 0 /tmp/pkgs/gold.tar --gold -y",
     "Directory /tmp/orlix is a symbolic link"},
    {"oper-owned-update",
     "mkdir -m 777 /tmp/orlix /tmp/orlix/fwupgrade && ln -s /tmp/victim /tmp/orlix/fwupgrade/$BDF && "
     "ln -s /tmp/victim/a /tmp/orlix/fwupgrade/fwupgrade-logs-$BDF.log && ln -s /tmp/victim /tmp/orlix/$BDF",
     "$CTL --state-dir /tmp/orlix/ fw update 0 /tmp/pkgs/gold.tar --gold -y", "Directory /tmp/orlix is owned by uid"},
    {"oper-below-link", "mkdir -m 777 /tmp/att && ln -s /tmp/victim /tmp/att/state",
     "$CTL --state-dir /tmp/att/state/orlix profile show 0", "Directory /tmp/att is owned by uid"},
    // coredump output files the user prepared
    {"dump-link", "ln -s /tmp/victim/a /tmp/dump.cd", "$CTL coredump get 0 -o /tmp/dump.cd",
     "/tmp/dump.cd, err - it is a symbolic link"},
    {"dump-user-folder", "mkdir -m 777 /tmp/att", "$CTL coredump get 0 -o /tmp/att/dump.cd",
     "Directory /tmp/att is owned by uid"},
    {"dump-user-file", "echo mine > /tmp/dump.cd && chmod 666 /tmp/dump.cd", "$CTL coredump get 0 -o /tmp/dump.cd",
     "File /tmp/dump.cd is not a regular file of root with one link"},
    // with the user's traps still in /tmp, root's own folders work
    {"private-update", "ln -s /tmp/victim /tmp/orlix", "$CTL fw update 0 /tmp/pkgs/gold.tar --gold -y", ""},
    {"private-coredump", "ln -s /tmp/victim /tmp/orlix", "$CTL coredump get 0 -o /tmp/dump-new.cd", ""},
    {"library-default", "true", "$CTL --state-dir /tmp/orlix/ profile show 0 && stat -c %a:%U /tmp/orlix", ""},
    {"orlixctl-default", "true", "env -u ORLIXCTL_STATE_DIR $CTL profile show 0 && stat -c %a:%U /var/lib/orlix",
     ""},
};

TEST_F(Orlixctl, LocalUserCannotTurnRootsCommandsAgainstTheHost)
{
    if (system("unshare -m true 2>/dev/null") != 0 || system("id nobody >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "needs root, unshare -m and the user nobody";
    }
    fw_package_options_s opt;
    opt.gold = true;
    fw_package pkg(dir.path(), opt);
    pkg.build("gold.tar");

    std::string cases;
    for (const auto& c : k_cases) {
        cases += sh_call("run_case", {c.name, c.plant, c.command, c.refusal});
    }
    const std::string inner = R"SH(
        export BDF=0000:20:00.0
        snapshot() { find /tmp/victim -printf '%p %y %m %u %s\n' | sort; cat /tmp/victim/a /tmp/victim/sub/b; }
        run_case() {
            rm -rf /tmp/orlix /tmp/att /tmp/dump.cd /tmp/root-state /var/lib/orlix
            mkdir -m 700 /tmp/root-state
            env -u LD_PRELOAD setpriv --reuid=nobody --regid=nogroup --clear-groups sh -c "$2" || echo "FAULT $1: plant failed"
            ORLIXCTL_STATE_DIR=/tmp/root-state sh -c "$3" > "/tmp/res/$1.out" 2> "/tmp/res/$1.err"
            rc=$?
            # a command that must work works; one that must refuse does, naming why
            if [ -z "$4" ]; then [ $rc = 0 ] || echo "FAULT $1: rc=$rc"
            elif [ $rc = 0 ] || ! grep -qF -- "$4" "/tmp/res/$1.err"; then echo "FAULT $1: no refusal, rc=$rc"; fi
            snapshot | cmp -s - /tmp/victim.before || echo "FAULT $1: the victim changed"
            if [ -f /tmp/dump.cd ] && [ ! -L /tmp/dump.cd ] && ! grep -qx mine /tmp/dump.cd; then
                echo "FAULT $1: the user's file changed"
            fi
            # anything of root's in a folder of the user's
            find /tmp -path /tmp/res -prune -o -user nobody -type d -exec find {} -mindepth 1 -user root \; |
                sed "s/^/FAULT $1: landed /"
            sed "s/^/ERR $1: /" "/tmp/res/$1.err"
            sed "s/^/OUT $1: /" "/tmp/res/$1.out"
        }
    )SH" + cases + "echo DONE\n";
    // the test's folder stays the working folder under the new /tmp, so the
    // package is copied from it after the mount
    const std::string outer = R"SH(
        cd "$PKGDIR" || exit 89
        mount -t tmpfs -o mode=1777 tmpfs /tmp || exit 90
        mkdir /tmp/varlib && mount --bind /tmp/varlib /var/lib || exit 91
        mkdir -p /tmp/pkgs /tmp/res /tmp/root /tmp/victim/sub /tmp/conf && chmod 700 /tmp/root /tmp/conf
        cp gold.tar /tmp/pkgs/gold.tar || exit 92
        echo keep > /tmp/victim/a; echo keep > /tmp/victim/sub/b
        find /tmp/victim -printf '%p %y %m %u %s\n' | sort > /tmp/victim.before
        cat /tmp/victim/a /tmp/victim/sub/b >> /tmp/victim.before
        export ORLIXCTL_CONF_DIR=/tmp/conf ORLIXCTL_TELEMETRY_DIR=/tmp/root
        "$SIM" run -- sh -c "$INNER"
    )SH";
    setenv("INNER", inner.c_str(), 1);
    setenv("PKGDIR", dir.path().c_str(), 1);
    setenv("SIM", (build_dir() + "/emulator/orlix-cardsim").c_str(), 1);
    setenv("CTL", (build_dir() + "/tools/orlixctl/orlixctl").c_str(), 1);
    test_process p({"/usr/bin/unshare", "-m", "--propagation", "private", "sh", "-c", outer}, dir.path());
    ASSERT_TRUE(p.wait(std::chrono::seconds(240)));
    const std::string out = p.out();
    ASSERT_EQ(p.exit_status(), 0) << out << p.err();

    EXPECT_FALSE(test_has(out, "FAULT")) << out;
    for (const char* text : {"DONE\n", "OUT library-default: 700:root\n", "OUT orlixctl-default: 700:root\n", "OUT private-update: "}) {
        EXPECT_TRUE(test_has(out, text)) << out;
    }
}

}  // namespace
