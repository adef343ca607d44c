#!/usr/bin/env bash
# Runs each storm scenario of tests/e2e/scenarios (storm_*.scn) RUNS times (default 20) and reports how many runs
# detected the loop in time (within the transmit interval + 2 s, as the test demands), the
# detection-time distribution, and the worst vty answer, veskd CPU and transmit-timer gaps seen.
# Root only: the storms build network namespaces (deleted by the test even when it fails).
#
#   bench/storm.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
runs=${RUNS:-20}
test_bin=$build/tests/e2e_test
[ -x "$test_bin" ] || { echo "missing $test_bin (build e2e_test and veskd first)" >&2; exit 2; }
[ "$(id -u)" = 0 ] || { echo "storms need root" >&2; exit 2; }

out=$(mktemp /tmp/vesk-storm.XXXXXX)
trap 'rm -f "$out"' EXIT

for storm in storm_foreign_flood storm_own_frames; do
    : >"$out"
    for i in $(seq 1 "$runs"); do
        "$test_bin" --gtest_filter="StormTest.Scenario/$storm" >>"$out" 2>&1 || true
    done
    echo "== $storm: $runs runs"
    times=$(sed -n 's/^line [0-9]*: log Detect a loop on the port.*: \([0-9]*\) ms$/\1/p' "$out" |
            sort -n)
    n=$(echo "$times" | grep -c . || true)
    intime=$(echo "$times" | awk 'NF && $1 <= 12000' | wc -l)
    echo "in time: $intime of $runs"
    if [ "$n" -gt 0 ]; then
        pick() { echo "$times" | sed -n "$1p"; }
        p90=$(( (n * 9 + 9) / 10 ))
        echo "detection (ms): min $(pick 1)  median $(pick $(( (n + 1) / 2 )))  p90 $(pick $p90)  max $(pick "$n")"
    fi
    vty=$(sed -n 's/^line [0-9]*: vty .*: \([0-9]*\) ms$/\1/p' "$out" | sort -n | tail -n 1)
    cpu=$(sed -n 's/.*veskd CPU \([0-9.]*\)%.*/\1/p' "$out" | sort -g | tail -n 1)
    echo "worst vty answer: ${vty:-?} ms; highest veskd CPU: ${cpu:-not measured}% of a core"
    sed -n 's/^gaps:\(.*\) ms$/transmit-timer gaps (ms):\1/p' "$out" | sort | uniq -c
done
