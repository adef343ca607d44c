#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer) and runs
# each for a while, starting from its committed seeds. Any crash, leak, sanitizer report,
# timeout or broken model check fails the run; the input that did it is left in the work
# directory (printed at the end) to add to fuzz/corpus/<target>/ once fixed. The binary seeds
# there are written by scripts/fuzz_seeds.py.
#
#   scripts/fuzz.sh                      every target, 30 s each, one per core at a time
#                                        (the test command's run)
#   FUZZ_SECONDS=600 scripts/fuzz.sh     the longer local run: 10 minutes each
#   scripts/fuzz.sh fuzz_cli fuzz_config only these targets
#
# FUZZ_BUILD (default build-fuzz) is the build directory; FUZZ_WORK (default a fresh directory
# under /tmp) keeps the growing corpora and any findings, so a later run can go on from them.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds=${FUZZ_SECONDS:-30}
build=${FUZZ_BUILD:-build-fuzz}
work=${FUZZ_WORK:-$(mktemp -d /tmp/vesk-fuzz.XXXXXX)}
all=(fuzz_verdict fuzz_nsm_unix fuzz_netlink fuzz_cli fuzz_config fuzz_state fuzz_login
     fuzz_log_file)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
    -DCMAKE_BUILD_TYPE=Debug -DVESK_SANITIZE=address,undefined -DVESK_FUZZ=ON -DVESK_BENCH=OFF \
    >/dev/null
cmake --build "$build" -j "${BUILD_JOBS:-2}" --target "${targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# One target: its log, and a "failed" mark when it found something.
run_target() {
    local t=$1 corpus=$work/$1/corpus findings=$work/$1/findings scratch=$work/$1/scratch
    mkdir -p "$corpus" "$findings" "$scratch"
    # Commands can create files (log file NAME): the targets run inside their scratch directory,
    # and every path handed to them is absolute.
    if ! VESK_FUZZ_SCRATCH=$scratch "$root/$build/fuzz/$t" \
        -max_total_time="$seconds" -timeout=25 -max_len=4096 -rss_limit_mb=2048 \
        -print_final_stats=1 \
        -artifact_prefix="$findings/" "$corpus" "$root/fuzz/corpus/$t" \
        >"$work/$t/log" 2>&1 || ls "$findings"/* >/dev/null 2>&1; then
        touch "$work/$t/failed"
    fi
}

# As many targets at once as there are cores: each is one process on one core.
jobs=${FUZZ_JOBS:-$(nproc)}
for t in "${targets[@]}"; do
    echo "== $t: ${seconds} s"
    run_target "$t" &
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
        wait -n || true
    done
done
wait

failed=()
for t in "${targets[@]}"; do
    if [ -e "$work/$t/failed" ]; then
        failed+=("$t")
        echo "== $t found something:"
        tail -n 40 "$work/$t/log"
    fi
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)' "$work/$t/log" | sed "s/^/$t /" || true
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "== findings in: ${failed[*]} (inputs under $work/<target>/findings)"
    exit 1
fi
# A fresh directory without findings holds nothing to keep; one given by FUZZ_WORK is kept for
# the next run to go on from.
[ -n "${FUZZ_WORK:-}" ] || rm -rf "$work"
echo "== no findings"
