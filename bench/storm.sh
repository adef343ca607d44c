#!/usr/bin/env bash
# Runs each storm of tests/e2e/storm_test.cpp RUNS times (default 20) and reports how many runs
# detected the loop in time (within the transmit interval + 2 s, as the test demands), the
# detection-time distribution, and the worst vty answer, veskd CPU and timer slip seen. Root
# only: the storms build network namespaces (named hdn<pid>..., deleted by the test even when it
# fails).
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

for storm in ForeignFloodOnALoopedPort OwnFrameStormInTwoBridgesIsCut; do
    : >"$out"
    for i in $(seq 1 "$runs"); do
        "$test_bin" --gtest_filter="StormTest.$storm" 2>&1 | grep '^storm ' >>"$out" || true
    done
    echo "== $storm: $runs runs"
    times=$(sed -n 's/.*detected after \([0-9.e-]*\) s.*/\1/p' "$out" | sort -g)
    n=$(echo "$times" | grep -c . || true)
    intime=$(echo "$times" | awk 'NF && $1 <= 12' | wc -l)
    echo "in time: $intime of $runs"
    if [ "$n" -gt 0 ]; then
        pick() { echo "$times" | sed -n "$1p"; }
        p90=$(( (n * 9 + 9) / 10 ))
        echo "detection (s): min $(pick 1)  median $(pick $(( (n + 1) / 2 )))  p90 $(pick $p90)  max $(pick "$n")"
    fi
    vty=$(sed -n 's/.*vty \(worst \)\{0,1\}\([0-9]*\) ms.*/\2/p' "$out" | sort -n | tail -n 1)
    cpu=$(sed -n 's/.*veskd CPU \([0-9.]*\)%.*/\1/p' "$out" | sort -g | tail -n 1)
    slip=$(sed -n 's/.*timer slip \([0-9]*\) ms.*/\1/p' "$out" | sort -n | tail -n 1)
    echo "worst vty answer: ${vty:-?} ms; highest veskd CPU: ${cpu:-not measured}% of a core;" \
         "worst timer slip: ${slip:-not measured} ms"
done
