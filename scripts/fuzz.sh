#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer) and runs
# each for a while, starting from its committed seeds. Any crash, leak, sanitizer report,
# timeout or broken model check fails the run; the input that did it is left in the work
# directory (printed at the end) to add to fuzz/corpus/<target>/ once fixed.
#
#   scripts/fuzz.sh                      every target, 30 s each (the test command's run)
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
all=(fuzz_verdict fuzz_nsm_unix fuzz_netlink fuzz_cli fuzz_config fuzz_login fuzz_log_file)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
    -DVESK_FUZZ=ON -DVESK_BENCH=OFF >/dev/null
cmake --build "$build" -j "${BUILD_JOBS:-2}" --target "${targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=()
for t in "${targets[@]}"; do
    corpus=$work/$t/corpus
    findings=$work/$t/findings
    scratch=$work/$t/scratch
    mkdir -p "$corpus" "$findings" "$scratch"
    echo "== $t: ${seconds} s"
    # Commands can create files (log file NAME): the targets run inside their scratch directory,
    # and every path handed to them is absolute.
    if ! VESK_FUZZ_SCRATCH=$scratch "$root/$build/fuzz/$t" \
        -max_total_time="$seconds" -timeout=25 -max_len=4096 -rss_limit_mb=2048 \
        -print_final_stats=1 \
        -artifact_prefix="$findings/" "$corpus" "$root/fuzz/corpus/$t" \
        >"$work/$t/log" 2>&1; then
        failed+=("$t")
        tail -n 40 "$work/$t/log"
    fi
    if ls "$findings"/* >/dev/null 2>&1; then
        [[ " ${failed[*]} " == *" $t "* ]] || failed+=("$t")
    fi
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)' "$work/$t/log" || true
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "== findings in: ${failed[*]} (inputs under $work/<target>/findings)"
    exit 1
fi
echo "== no findings ($work)"
