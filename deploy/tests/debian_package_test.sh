#!/usr/bin/env bash
# builds the Debian package (what cmake --build BUILD --target package runs), installs
# it on this machine with dpkg -i, runs the installed programs, checks the
# file list, the conffile, the maintainer scripts' directories and the
# enabled unit, and purges the package again, also when a check fails. exits
# 77 (skip) when not root or when the machine has the package or its
# directories already (they are not this test's to remove).
# usage: debian_package_test.sh BUILD_DIR
set -uo pipefail
build=$1
pkg=orlixmon
dirs=(/etc/orlixmon /var/log/orlixmon /var/lib/orlixmon)

[ "$(id -u)" -eq 0 ] || { echo "SKIP: dpkg -i needs root"; exit 77; }
command -v dpkg > /dev/null || { echo "SKIP: not a Debian system"; exit 77; }
if dpkg-query -W -f='${Status}' "$pkg" 2> /dev/null | grep -q "installed\|config-files"; then
    echo "SKIP: $pkg is installed on this machine already"; exit 77
fi
for d in "${dirs[@]}"; do
    [ -e "$d" ] && { echo "SKIP: $d exists already"; exit 77; }
done

work=$(mktemp -d /tmp/orlix-deb.XXXXXX)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
installed=0
cleanup() {
    if [ $installed -eq 1 ] || dpkg-query -W "$pkg" > /dev/null 2>&1; then
        dpkg --purge "$pkg" > "$work/purge.log" 2>&1 || { cat "$work/purge.log"; echo "FAIL: dpkg --purge"; }
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# the package as the package target makes it (cpack on the build's
# CPackConfig.cmake), into the test's folder; ctest runs after the build, so
# the programs are there
if ! cpack --config "$build/CPackConfig.cmake" -B "$work/pkg" > "$work/package.log" 2>&1; then
    tail -30 "$work/package.log"; echo "FAIL: building the package"; exit 1
fi
deb=$(ls "$work/pkg"/${pkg}_*.deb 2> /dev/null | head -1)
[ -n "$deb" ] || { echo "FAIL: no ${pkg}_*.deb made"; exit 1; }
echo "package: $deb ($(stat -c %s "$deb") bytes)"

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libc6 libstdc++6 libspdlog libfmt libsystemd0; do
    grep -q "$lib" <<< "$depends" || fail "Depends lacks $lib (shlibdeps)"
done
dpkg-deb -e "$deb" "$work/control"
grep -qx /etc/orlixmon/orlixmon.json "$work/control/conffiles" || fail "no conffile /etc/orlixmon/orlixmon.json"
for script in postinst prerm postrm; do
    [ -x "$work/control/$script" ] || fail "no $script"
done

installed=1
if ! dpkg -i "$deb" > "$work/install.log" 2>&1; then
    cat "$work/install.log"; fail "dpkg -i"; exit 1
fi
dpkg-query -W -f='${Status}\n' "$pkg" | grep -q "install ok installed" || fail "not installed after dpkg -i"

# the programs from their installed paths
if out=$(/usr/sbin/orlixmon -h 2>&1); then
    grep -q "config-file" <<< "$out" || fail "orlixmon -h: $out"
else
    fail "orlixmon -h exits with $?: $out"
fi
if out=$(/usr/sbin/orlixctl --help 2>&1); then
    grep -qi "usage" <<< "$out" || fail "orlixctl --help: $out"
else
    fail "orlixctl --help exits with $?: $out"
fi
/usr/bin/orlix-cardsim --help > /dev/null 2>&1 || /usr/bin/orlix-cardsim -h > /dev/null 2>&1 ||
    [ -x /usr/bin/orlix-cardsim ] || fail "no orlix-cardsim"

# the file list
dpkg -L "$pkg" > "$work/files"
for f in /usr/sbin/orlixmon /usr/sbin/orlixctl /usr/bin/orlix-cardsim /etc/orlixmon/orlixmon.json \
    /usr/lib/systemd/system/orlixmon.service /usr/share/man/man8/orlixmon.8 /usr/share/man/man8/orlixctl.8 \
    /usr/share/man/man5/orlixmon.json.5 /usr/include/orlix/aml/aml_status.h \
    /usr/share/orlixmon/prometheus/prometheus.yml /usr/share/orlixmon/prometheus/orlixmon-alerts.yml; do
    grep -qx "$f" "$work/files" || fail "dpkg -L lacks $f"
    [ -e "$f" ] || fail "$f is not on the disk"
done
grep -Eq '/liborlix\.so\.0$' "$work/files" || fail "dpkg -L lacks liborlix.so.0"
grep -Eq '/pkgconfig/orlix\.pc$' "$work/files" || fail "dpkg -L lacks orlix.pc"
grep -Eq '/cmake/orlix/orlixConfig\.cmake$' "$work/files" || fail "dpkg -L lacks orlixConfig.cmake"
ldconfig -p | grep -q 'liborlix\.so\.0 ' || fail "ldconfig does not know liborlix.so.0"
jq -e . /etc/orlixmon/orlixmon.json > /dev/null || fail "the installed configuration is not JSON"
# the sample Prometheus configuration finds its alerts beside it
if command -v promtool > /dev/null; then
    promtool check config /usr/share/orlixmon/prometheus/prometheus.yml > "$work/promtool.log" 2>&1 ||
        { cat "$work/promtool.log"; fail "promtool check config on the installed sample"; }
fi

# what postinst did: the configured directories, the unit enabled, not started
for key in log_dir telemetry_dir; do
    d=$(jq -r ".$key" /etc/orlixmon/orlixmon.json)
    [ -d "$d" ] || fail "postinst did not create $key $d"
done
[ -L /etc/systemd/system/multi-user.target.wants/orlixmon.service ] || fail "the unit is not enabled"
for p in /proc/[0-9]*; do
    [ "$(readlink "$p/exe" 2> /dev/null)" = /usr/sbin/orlixmon ] && fail "the daemon was started (${p#/proc/})"
done

# purge, then nothing of it is left
dpkg --purge "$pkg" > "$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "dpkg --purge"; }
installed=0
dpkg-query -W "$pkg" > /dev/null 2>&1 && fail "dpkg still knows $pkg after purge"
left=0
while read -r f; do
    # directories shared with other packages (/usr, /usr/share/man, ...) stay
    if [ -e "$f" ] && [ ! -d "$f" ]; then
        echo "left behind: $f"; left=$((left + 1))
    fi
done < "$work/files"
for d in "${dirs[@]}" /usr/include/orlix /usr/lib/cmake/orlix; do
    [ -e "$d" ] && { echo "left behind: $d"; left=$((left + 1)); }
done
ls /etc/systemd/system/*/orlixmon.service /etc/systemd/system/orlixmon.service \
    /var/lib/systemd/deb-systemd-helper-enabled/*orlixmon* /var/lib/systemd/deb-systemd-helper-masked/*orlixmon* 2> /dev/null &&
    left=$((left + 1))
[ $left -eq 0 ] || fail "$left file(s) left after purge"

[ $failures -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "debian package: installed, checked and purged"
