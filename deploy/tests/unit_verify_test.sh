#!/usr/bin/env bash
# the unit as a staged install (DESTDIR, prefix /usr) lays it out:
# systemd-analyze verify with ExecStart pointed at the staged daemon and the
# staged manual pages on MANPATH (so that Documentation= is checked as well),
# and systemd-analyze security: an exposure of 4.0 or less, each setting it
# still counts against the unit named in the unit's comments. exits 77
# (skip) when systemd-analyze is missing or cannot run here.
# usage: unit_verify_test.sh BUILD_DIR
set -uo pipefail
build=$1
command -v systemd-analyze > /dev/null || { echo "SKIP: systemd-analyze is not installed"; exit 77; }
systemd-analyze --version > /dev/null 2>&1 || { echo "SKIP: systemd-analyze does not run here"; exit 77; }
work=$(mktemp -d /tmp/orlix-unit.XXXXXX)
trap 'rm -rf "$work"' EXIT
if ! DESTDIR=$work/root cmake --install "$build" --prefix /usr > "$work/install.log" 2>&1; then
    cat "$work/install.log"; echo "FAIL: staged install"; exit 1
fi
unit=$work/root/usr/lib/systemd/system/orlixmon.service
[ -f "$unit" ] || { echo "FAIL: the unit is not installed"; exit 1; }
[ -f "$work/root/etc/orlixmon/orlixmon.json" ] || { echo "FAIL: the configuration is not in etc/orlixmon"; exit 1; }

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
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
    dir=$(jq -r ".$key" "$work/root/etc/orlixmon/orlixmon.json")
    grep -Eq "^ReadWritePaths=(.* )?$dir( |$)" "$unit" || fail "$key $dir is not in ReadWritePaths"
done

mkdir -p "$work/units"
sed "s|^ExecStart=/usr/sbin/orlixmon|ExecStart=$work/root/usr/sbin/orlixmon|" "$unit" > "$work/units/orlixmon.service"
if ! out=$(MANPATH=$work/root/usr/share/man systemd-analyze verify "$work/units/orlixmon.service" 2>&1); then
    if grep -qi "failed to initialize\|not been booted\|Operation not permitted" <<< "$out"; then
        echo "SKIP: systemd-analyze verify cannot run in this container: $out"; exit 77
    fi
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
[ $failures -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "unit verified"
