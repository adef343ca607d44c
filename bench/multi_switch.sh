#!/usr/bin/env bash
# The multi-switch lab of tests/e2e/multi_switch.sh, RUNS (default 20) runs of each case (root).
# Usage: bench/multi_switch.sh [BUILD_DIR] [RUNS] [CASES...]
set -euo pipefail
cd "$(dirname "$0")/.."
exec bash tests/e2e/multi_switch.sh "${1:-build}" "${2:-20}" "${@:3}"
