#!/usr/bin/env bash
# The multi-switch scenarios of tests/e2e/scenarios (switches_CASE.scn, default every case), RUNS
# (default 20) runs of each (root); VESK_EXTRA_CONF adds a line to every switch's configuration
# ("loop-detect hold-off 0" gives the behaviour of a veskd that never yields, for comparison).
# Usage: bench/multi_switch.sh [BUILD_DIR] [RUNS] [CASES...]
set -euo pipefail
cd "$(dirname "$0")/.."
cases=("${@:3}")
((${#cases[@]})) || cases=(pair edge)
"${1:-build}/tests/e2e_test" --gtest_filter="$(printf 'Lab.Scenario/switches_%s:' "${cases[@]}")" \
    --gtest_repeat="${2:-20}" | grep -E '^\[ +(OK|FAILED) +\] Lab' | sed 's/ (.*//' | sort | uniq -c
