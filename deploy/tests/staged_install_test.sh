#!/usr/bin/env bash
# one staged install (DESTDIR, prefix /usr, as a package lays it out), then:
# every installed header compiles on its own with the flags of orlix.pc;
# one program built with pkg-config and one built with find_package(orlix)
# link the shared library and run; every manual page renders without a
# warning (groff -ww) and man -l reads it; the unit passes systemd-analyze verify
# (ExecStart pointed at the staged daemon, the staged manual pages on
# MANPATH, so that Documentation= is checked as well) and systemd-analyze
# security with an exposure of 4.0 or less, each setting it still counts
# named in the unit's comments. exits 77 (skip) after the library checks
# when systemd-analyze is missing or cannot run here.
# usage: staged_install_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$1 src=$2
work=$(mktemp -d /tmp/orlix-staged.XXXXXX)
trap 'rm -rf "$work"' EXIT
root=$work/root
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# the end: 1 with failures, else 0 with the line given
finish() { [ $failures -eq 0 ] || { echo "$failures failure(s)"; exit 1; }; echo "$*"; exit 0; }

DESTDIR=$root cmake --install "$build" --prefix /usr > "$work/install.log" 2>&1 ||
    { cat "$work/install.log"; echo "FAIL: staged install"; exit 1; }

## the library: headers, pkg-config, find_package
pc=$(find "$root" -name orlix.pc -print -quit)
[ -n "$pc" ] || { echo "FAIL: no orlix.pc installed"; exit 1; }
export PKG_CONFIG_PATH=${pc%/*}
cflags=$(pkg-config --cflags orlix) || { echo "FAIL: pkg-config --cflags orlix"; exit 1; }
libs=$(pkg-config --libs orlix)
libdir=$(pkg-config --variable=libdir orlix)
echo "cflags: $cflags"
# the headers of the install only: nothing from the source tree
headers=$(cd "$root/usr/include/orlix" && find . -name '*.h' | sed 's|^\./||' | sort)
for h in aml/aml_status.h aml/aml_inventory.h fwupdate/fwupdate.h ipc/nic_ipc.h log/trace_level.h; do
    grep -qx "$h" <<< "$headers" || fail "$h is not installed"
done
for h in $headers; do
    printf '#include "%s"\n#include "%s"\n' "$h" "$h" > "$work/one.cpp"
    c++ -std=c++17 -fsyntax-only -Wall -Wextra $cflags "$work/one.cpp" 2> "$work/one.err" ||
        { fail "$h does not compile on its own (or twice)"; head -20 "$work/one.err"; }
done
echo "headers compiled on their own: $(wc -w <<< "$headers")"

check_program() {
    local what=$1 bin=$2 out
    readelf -d "$bin" | grep -q 'NEEDED.*liborlix\.so\.0' || fail "$what: not linked against liborlix.so.0"
    out=$("$bin") || fail "$what: exit status $?"
    grep -q '^uuid 1 0$' <<< "$out" || fail "$what: uuid checks: $out"
    grep -q '^status 11: Invalid input' <<< "$out" || fail "$what: status text: $out"
}
if c++ -std=c++17 -o "$work/consumer-pc" "$src/consumer/consumer.cpp" $cflags $libs -Wl,-rpath,"$libdir" 2> "$work/pc.err"; then
    check_program pkg-config "$work/consumer-pc"
else
    cat "$work/pc.err"; fail "pkg-config consumer does not build"
fi
if cmake -S "$src/consumer" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" > "$work/cfg.log" 2>&1 &&
    cmake --build "$work/cmake-build" > "$work/build.log" 2>&1; then
    check_program find_package "$work/cmake-build/consumer"
else
    cat "$work/cfg.log" "$work/build.log" 2> /dev/null | tail -30; fail "find_package consumer does not build"
fi

## the manual pages as installed: groff -ww renders each without a warning
## and man -l shows its NAME section
if command -v groff > /dev/null; then
    for page in man8/orlixmon.8 man8/orlixctl.8 man5/orlixmon.json.5 man1/orlix-cardsim.1; do
        f=$root/usr/share/man/$page name=${page#*/}
        [ -f "$f" ] || { fail "$page is not installed"; continue; }
        warnings=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$f" 2>&1)
        [ -z "$warnings" ] || fail "$page: $warnings"
        text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$f" 2>&1 | col -b)
        grep -q "^NAME" <<< "$text" && grep -q "${name%.*}" <<< "$text" || fail "man -l $page shows no NAME section"
        # a formatter's complaint ("troff: ...: warning: ..."), not the word in the text
        grep -q "warning:" <<< "$text" && fail "man -l $page: $(grep "warning:" <<< "$text")"
    done
else
    echo "no groff (groff-base): the manual pages are not rendered"
fi

## the unit
unit=$root/usr/lib/systemd/system/orlixmon.service
[ -f "$unit" ] || fail "the unit is not installed"
[ -f "$root/etc/orlixmon/orlixmon.json" ] || fail "the configuration is not in etc/orlixmon"
[ $failures -eq 0 ] || finish
# the unit's lines that the daemon's work depends on, and its hardening
# (ProtectClock= implies a device rule, which closes every device not allowed:
# the cards' IPC devices and fwctl must be)
for line in Type=notify Restart=on-failure ProtectSystem=strict ProtectHome=yes PrivateTmp=yes NoNewPrivileges=yes \
    'ExecStart=/usr/sbin/orlixmon -c /etc/orlixmon/orlixmon.json' CapabilityBoundingSet=CAP_SYS_ADMIN \
    SystemCallFilter=@system-service RestrictNamespaces=yes UMask=0077 SystemCallArchitectures=native \
    'DeviceAllow=char-misc rw' 'DeviceAllow=char-fwctl rw'; do
    grep -qx "$line" "$unit" || fail "the unit has no line $line"
done
grep -q '^WatchdogSec=' "$unit" || fail "no WatchdogSec"
grep -q '^RestrictAddressFamilies=.*AF_UNIX' "$unit" || fail "no RestrictAddressFamilies with AF_UNIX"
for banned in PrivateDevices=yes ProtectKernelTunables=yes; do
    grep -q "^$banned" "$unit" && fail "$banned takes the cards or the sysfs writes away"
done
# the directories of the default configuration are writable
for key in log_dir telemetry_dir; do
    dir=$(jq -r ".$key" "$root/etc/orlixmon/orlixmon.json")
    grep -Eq "^ReadWritePaths=(.* )?$dir( |$)" "$unit" || fail "$key $dir is not in ReadWritePaths"
done

skip() { [ $failures -eq 0 ] || finish; echo "SKIP: $*"; exit 77; }
command -v systemd-analyze > /dev/null || skip "systemd-analyze is not installed"
systemd-analyze --version > /dev/null 2>&1 || skip "systemd-analyze does not run here"
mkdir -p "$work/units"
sed "s|^ExecStart=/usr/sbin/orlixmon|ExecStart=$root/usr/sbin/orlixmon|" "$unit" > "$work/units/orlixmon.service"
if ! out=$(MANPATH=$root/usr/share/man systemd-analyze verify "$work/units/orlixmon.service" 2>&1); then
    grep -qi "failed to initialize\|not been booted\|Operation not permitted" <<< "$out" &&
        skip "systemd-analyze verify cannot run in this container: $out"
    fail "systemd-analyze verify: $out"
elif [ -n "$out" ]; then
    fail "systemd-analyze verify warns: $out"
fi
# the exposure, and every setting still counted named in a comment with its reason
if ! security=$(systemd-analyze security --offline=yes --no-pager "$work/units/orlixmon.service" 2>&1); then
    fail "systemd-analyze security: $security"
else
    score=$(sed -n 's/.*Overall exposure level for orlixmon.service: \([0-9.]*\).*/\1/p' <<< "$security")
    echo "exposure: $score"
    awk -v s="$score" 'BEGIN { exit !(s != "" && s <= 4.0) }' || fail "exposure $score is above 4.0"
    comments=$(grep '^#' "$unit")
    while read -r setting; do
        grep -q -- "$setting" <<< "$comments" || fail "$setting counts against the unit and no comment says why"
    done < <(grep '^✗' <<< "$security" | awk '{ print $2 }' | sed 's/[=~].*//; s|/.*||')
fi
finish "staged install: library consumers, manual pages and unit verified"
