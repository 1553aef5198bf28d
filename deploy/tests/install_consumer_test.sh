#!/usr/bin/env bash
# a staged install (cmake --install --prefix), then: every installed header
# compiles on its own with the flags of orlix.pc, and one program built with
# pkg-config and one built with find_package(orlix) link the shared library
# and run
# usage: install_consumer_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$1 src=$2
work=$(mktemp -d /tmp/orlix-consumer.XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! cmake --install "$build" --prefix "$prefix" > "$work/install.log" 2>&1; then
    cat "$work/install.log"
    echo "FAIL: staged install"
    exit 1
fi
pc=$(find "$prefix" -name orlix.pc -print -quit)
[ -n "$pc" ] || { echo "FAIL: no orlix.pc installed"; exit 1; }
export PKG_CONFIG_PATH=${pc%/*}
cflags=$(pkg-config --cflags orlix) || { echo "FAIL: pkg-config --cflags orlix"; exit 1; }
libs=$(pkg-config --libs orlix)
libdir=$(pkg-config --variable=libdir orlix)
echo "cflags: $cflags"
echo "libs: $libs"

# the headers of the prefix only: nothing from the source tree
headers=$(cd "$prefix/include/orlix" && find . -name '*.h' | sed 's|^\./||' | sort)
[ -n "$headers" ] || fail "no headers installed"
for h in aml/aml_status.h aml/aml_inventory.h fwupdate/fwupdate.h ipc/nic_ipc.h log/trace_level.h; do
    grep -qx "$h" <<< "$headers" || fail "$h is not installed"
done
count=0
for h in $headers; do
    printf '#include "%s"\n#include "%s"\n' "$h" "$h" > "$work/one.cpp"
    if ! c++ -std=c++17 -fsyntax-only -Wall -Wextra $cflags "$work/one.cpp" 2> "$work/one.err"; then
        fail "$h does not compile on its own (or twice)"
        head -20 "$work/one.err"
    fi
    count=$((count + 1))
done
echo "headers compiled on their own: $count"

check_program() {
    local what=$1 bin=$2
    if ! readelf -d "$bin" | grep -q 'NEEDED.*liborlix\.so\.0'; then
        fail "$what: not linked against liborlix.so.0"
    fi
    local out
    out=$("$bin") || fail "$what: exit status $?"
    grep -q '^uuid 1 0$' <<< "$out" || fail "$what: uuid checks: $out"
    grep -q '^status 11: Invalid input' <<< "$out" || fail "$what: status text: $out"
}

# pkg-config
if c++ -std=c++17 -o "$work/consumer-pc" "$src/consumer/consumer.cpp" $cflags $libs -Wl,-rpath,"$libdir" 2> "$work/pc.err"; then
    check_program pkg-config "$work/consumer-pc"
else
    cat "$work/pc.err"
    fail "pkg-config consumer does not build"
fi

# find_package
if cmake -S "$src/consumer" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" > "$work/cfg.log" 2>&1 &&
    cmake --build "$work/cmake-build" > "$work/build.log" 2>&1; then
    check_program find_package "$work/cmake-build/consumer"
else
    cat "$work/cfg.log" "$work/build.log" 2>/dev/null | tail -30
    fail "find_package consumer does not build"
fi

if [ $failures -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "install consumer: all checks passed"
