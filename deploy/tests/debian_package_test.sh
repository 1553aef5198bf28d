#!/usr/bin/env bash
# the Debian packages as an operator gets them: builds them from a copy of
# the source tree (dpkg-buildpackage -b, as README says), runs lintian on
# them, installs the four on this machine, runs the daemon from its installed
# paths with the installed configuration on an emulated host (the installed
# orlix-cardsim), builds a program against the installed library, and purges
# the packages again, also when a check fails: nothing of them may be left.
# exits 77 (skip) when not root, without the Debian build tools, or when the
# machine has one of the packages or their folders already (they are not
# this test's to remove).
# usage: debian_package_test.sh SOURCE_DIR
set -uo pipefail
src=$1
packages=(orlixmon liborlix0 liborlix-dev orlix-cardsim)
dirs=(/etc/orlixmon /var/log/orlixmon /var/lib/orlixmon /usr/include/orlix)

[ "$(id -u)" -eq 0 ] || { echo "SKIP: dpkg -i needs root"; exit 77; }
for tool in dpkg-buildpackage dh lintian; do
    command -v $tool > /dev/null || { echo "SKIP: no $tool (tools/install-deps installs it)"; exit 77; }
done
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2> /dev/null | grep -q "installed\|config-files" &&
        { echo "SKIP: $p is installed on this machine already"; exit 77; }
done
for d in "${dirs[@]}"; do
    [ -e "$d" ] && { echo "SKIP: $d exists already"; exit 77; }
done

work=$(mktemp -d /tmp/orlix-deb.XXXXXX)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
daemon=
cleanup() {
    [ -n "$daemon" ] && kill "$daemon" 2> /dev/null
    local installed=()
    for p in "${packages[@]}"; do
        dpkg-query -W "$p" > /dev/null 2>&1 && installed+=("$p")
    done
    if [ ${#installed[@]} -gt 0 ]; then
        dpkg --purge "${installed[@]}" > "$work/purge.log" 2>&1 || { cat "$work/purge.log"; echo "FAIL: dpkg --purge"; }
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# the tree as it is, less the build folders; builds of any copy share the
# compiler cache: the copy's path is taken out of the flags and the cache keys
mkdir "$work/src"
if git -C "$src" rev-parse --is-inside-work-tree > /dev/null 2>&1; then
    (cd "$src" && git ls-files -co --exclude-standard -z | tar -c --null -T -) | tar -x -C "$work/src"
else
    tar -C "$src" --exclude='./build*' --exclude='./obj-*' -c . | tar -x -C "$work/src"
fi
export DEB_BUILD_OPTIONS="nocheck parallel=2 noautodbgsym"
if command -v ccache > /dev/null; then
    export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
    export CCACHE_BASEDIR=$work/src CCACHE_NOHASHDIR=1
    export DEB_CFLAGS_STRIP="-ffile-prefix-map=$work/src=." DEB_CXXFLAGS_STRIP="-ffile-prefix-map=$work/src=."
fi
start=$SECONDS
(cd "$work/src" && nice dpkg-buildpackage -b -us -uc) > "$work/build.log" 2>&1 ||
    { tail -40 "$work/build.log"; echo "FAIL: dpkg-buildpackage"; exit 1; }
echo "dpkg-buildpackage: $((SECONDS - start)) s"
changes=$(ls "$work"/orlixmon_*.changes 2> /dev/null | head -1)
[ -n "$changes" ] || { echo "FAIL: no .changes made"; exit 1; }
declare -A deb
for p in "${packages[@]}"; do
    deb[$p]=$(ls "$work"/${p}_*.deb 2> /dev/null | head -1)
    [ -n "${deb[$p]}" ] || { echo "FAIL: no ${p}_*.deb made"; exit 1; }
done

# lintian: no error, no warning; what remains is justified in
# debian/*.lintian-overrides
lintian --fail-on error,warning --no-tag-display-limit "$changes" > "$work/lintian.log" 2>&1 ||
    { cat "$work/lintian.log"; fail "lintian"; }
grep -E "^(E|W):" "$work/lintian.log" && fail "lintian reports errors or warnings"

# what each package carries and asks for
field() { dpkg-deb -f "${deb[$1]}" "$2"; }
for need in "orlixmon jq" "orlixmon pciutils" "orlixmon procps" "orlixmon libsystemd0" "liborlix0 jq" \
    "liborlix-dev liborlix0 (= " "orlix-cardsim libumockdev0" "orlix-cardsim umockdev"; do
    set -- $need
    p=$1; shift
    grep -qF -- "$*" <<< "$(field "$p" Depends)" || fail "$p does not depend on $*: $(field "$p" Depends)"
done
grep -q umockdev <<< "$(field orlixmon Depends)" && fail "orlixmon depends on umockdev: $(field orlixmon Depends)"
dpkg-deb -e "${deb[liborlix0]}" "$work/lib-control"
grep -q '^liborlix 0 liborlix0 ' "$work/lib-control/shlibs" 2> /dev/null || fail "liborlix0 has no shlibs entry"
grep -q ldconfig "$work/lib-control/triggers" 2> /dev/null || fail "liborlix0 has no ldconfig trigger"
dpkg-deb -e "${deb[orlixmon]}" "$work/control"
grep -qx /etc/orlixmon/orlixmon.json "$work/control/conffiles" || fail "no conffile /etc/orlixmon/orlixmon.json"

dpkg -i "${deb[@]}" > "$work/install.log" 2>&1 || { cat "$work/install.log"; fail "dpkg -i"; exit 1; }
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" | grep -q "install ok installed" || fail "$p not installed after dpkg -i"
    dpkg -L "$p" >> "$work/files"
done
for f in /usr/sbin/orlixmon /usr/sbin/orlixctl /usr/bin/orlix-cardsim /etc/orlixmon/orlixmon.json \
    /lib/systemd/system/orlixmon.service /usr/share/man/man8/orlixmon.8.gz /usr/share/man/man8/orlixctl.8.gz \
    /usr/share/man/man5/orlixmon.json.5.gz /usr/share/man/man1/orlix-cardsim.1.gz /usr/include/orlix/aml/aml_status.h \
    /usr/share/orlixmon/prometheus/prometheus.yml /usr/share/orlixmon/prometheus/orlixmon-alerts.yml \
    /usr/share/doc/orlixmon/copyright /usr/share/doc/liborlix0/changelog.gz; do
    grep -qx "$f" "$work/files" || fail "no package has $f"
    [ -e "$f" ] || fail "$f is not on the disk"
done
ldconfig -p | grep -q 'liborlix\.so\.0 ' || fail "ldconfig does not know liborlix.so.0"
# the sample Prometheus configuration finds its alerts beside it
if command -v promtool > /dev/null; then
    promtool check config /usr/share/orlixmon/prometheus/prometheus.yml > "$work/promtool.log" 2>&1 ||
        { cat "$work/promtool.log"; fail "promtool check config on the installed sample"; }
fi
# postinst: the folders of the configuration, root's alone; the unit enabled, not started
for key in log_dir telemetry_dir; do
    d=$(jq -r ".$key" /etc/orlixmon/orlixmon.json)
    [ "$(stat -c %a:%U "$d" 2> /dev/null)" = 750:root ] || fail "postinst did not make $key $d 0750 root's"
done
[ -L /etc/systemd/system/multi-user.target.wants/orlixmon.service ] || fail "the unit is not enabled"
for p in /proc/[0-9]*; do
    [ "$(readlink "$p/exe" 2> /dev/null)" = /usr/sbin/orlixmon ] && fail "the daemon was started (${p#/proc/})"
done

# the installed daemon with the installed configuration on an emulated host
# of two cards (the emulator's preload shows it the cards), until both cards'
# telemetry has lines; another orlixmon of this machine's tests may be
# running (single instance): then it is tried again
# the bound grows with the machine's load (runnable processes per processor,
# rounded up, at most 4), as the suite's other waits do
scale=$(awk -v s="${ORLIX_TIMEOUT_SCALE:-1}" -v n="$(nproc)" \
    '{ f = int($1 / n); if (f < $1 / n) f++; if (f < 1) f = 1; if (f > 4) f = 4; print (s < 1 ? 1 : s) * f }' /proc/loadavg)
ran=0
for attempt in 1 2 3 4 5 6; do
    /usr/bin/orlix-cardsim run --cards 2 -- /usr/sbin/orlixmon -c /etc/orlixmon/orlixmon.json \
        > "$work/daemon.out" 2> "$work/daemon.err" &
    daemon=$!
    for _ in $(seq 1 $((300 * scale))); do
        [ "$(cat /var/lib/orlixmon/card_*_stats.log 2> /dev/null | grep -c '^{')" -ge 2 ] &&
            [ "$(ls /var/lib/orlixmon/card_*_stats.log 2> /dev/null | wc -l)" -eq 2 ] && { ran=1; break; }
        kill -0 $daemon 2> /dev/null || break
        sleep 0.1
    done
    kill -TERM $daemon 2> /dev/null
    wait $daemon
    status=$?
    daemon=
    [ $ran -eq 1 ] && break
    grep -q "already running" "$work/daemon.err" || break
    sleep 10
done
if [ $ran -eq 1 ]; then
    [ $status -eq 0 ] || fail "the installed daemon ended with $status: $(cat "$work/daemon.err")"
    grep -q "Exiting ORLIX monitor" "$work/daemon.out" || fail "the installed daemon did not say it exits"
    grep -q "card up\|Card init successful" /var/log/orlixmon/orlixmon.log || fail "no card in the installed daemon's trace log"
else
    cat "$work/daemon.err"; fail "the installed daemon wrote no telemetry of both cards"
fi

# a program of one's own against the installed library
if c++ -std=c++17 -o "$work/consumer" "$src/deploy/tests/consumer/consumer.cpp" $(pkg-config --cflags --libs orlix) \
    2> "$work/consumer.err"; then
    "$work/consumer" | grep -q '^uuid 1 0$' || fail "the consumer of the installed library: $("$work/consumer")"
else
    cat "$work/consumer.err"; fail "no program builds against the installed liborlix-dev"
fi

# purge, then nothing of them is left
dpkg --purge "${packages[@]}" > "$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "dpkg --purge"; }
left=0
while read -r f; do
    # folders shared with other packages (/usr, /usr/share/man, ...) stay
    [ -e "$f" ] && [ ! -d "$f" ] && { echo "left behind: $f"; left=$((left + 1)); }
done < "$work/files"
for d in "${dirs[@]}" /usr/share/orlixmon /usr/lib/*/cmake/orlix; do
    [ -e "$d" ] && { echo "left behind: $d"; left=$((left + 1)); }
done
ls /etc/systemd/system/*/orlixmon.service /etc/systemd/system/orlixmon.service \
    /var/lib/systemd/deb-systemd-helper-enabled/*orlixmon* /var/lib/systemd/deb-systemd-helper-masked/*orlixmon* 2> /dev/null &&
    left=$((left + 1))
ldconfig -p | grep -q 'liborlix\.so\.0 ' && { echo "left behind: liborlix.so.0 in the ldconfig cache"; left=$((left + 1)); }
[ $left -eq 0 ] || fail "$left thing(s) left after purge"

[ $failures -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "debian packages: built, lintian-clean, installed, run, purged"
