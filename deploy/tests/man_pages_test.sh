#!/usr/bin/env bash
# every manual page renders without a single warning (groff -ww), and man -l
# reads it. usage: man_pages_test.sh MAN_DIR
set -uo pipefail
dir=$1
command -v groff > /dev/null || { echo "SKIP: groff is not installed (groff-base)"; exit 77; }
failures=0
for page in orlixmon.8 orlixctl.8 orlixmon.json.5 orlix-cardsim.1; do
    f=$dir/$page
    [ -f "$f" ] || { echo "FAIL: $page is missing"; failures=$((failures + 1)); continue; }
    warnings=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$f" 2>&1)
    if [ -n "$warnings" ]; then
        echo "FAIL: $page: $warnings"; failures=$((failures + 1))
    fi
    name=${page%.*}
    text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$f" 2>&1 | col -b)
    if ! grep -q "^NAME" <<< "$text" || ! grep -q "$name" <<< "$text"; then
        echo "FAIL: man -l $page shows no NAME section for $name"; failures=$((failures + 1))
    fi
    # a formatter's complaint ("troff: ...: warning: ..."), not the word in the text
    if grep -q "warning:" <<< "$text"; then
        echo "FAIL: man -l $page: $(grep "warning:" <<< "$text")"; failures=$((failures + 1))
    fi
done
[ $failures -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "manual pages render cleanly"
