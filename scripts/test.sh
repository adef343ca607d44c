#!/usr/bin/env bash
# Runs every test, after checking that no include circle but the model's records appeared:
#   1. g++ build: unit, integration and (as root) end-to-end tests;
#   2. clang build under AddressSanitizer + UndefinedBehaviorSanitizer: unit, tool and
#      integration tests, and the libFuzzer targets built in the same tree;
#   3. clang build under ThreadSanitizer: the integration tests and the tests where the receive
#      thread meets the event loop;
#   4. every libFuzzer target for a short run (FUZZ_SECONDS, default 10 s each here; the
#      longer runs are scripts/fuzz.sh's own).
# Any failure, sanitizer report or fuzzer finding fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
start=$SECONDS
jobs=$(nproc)
phase() { echo "== [$((SECONDS - start)) s] $*"; }
# lld links the test programs two to three times faster than the default linker.
lld=(-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld -DCMAKE_SHARED_LINKER_FLAGS=-fuse-ld=lld)

phase "include circles"
# Only the model's records may include one another (docs/architecture.md).
/usr/bin/python3 scripts/include_cycles.py --allow vesk/model/
phase "g++ build"
scripts/build.sh build -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc "${lld[@]}"
phase "unit, tool and integration tests"
ctest --test-dir build --output-on-failure --timeout 300 -j "$jobs" -LE e2e
if [ "$(id -u)" = 0 ]; then
    phase "end-to-end tests (network namespaces)"
    # Each lab has names of its own, so two run at once; the storm tests measure CPU and run
    # alone.
    ctest --test-dir build --output-on-failure --timeout 300 -j "$jobs" -L e2e -E '^StormTest\.'
    ctest --test-dir build --output-on-failure --timeout 300 -L e2e -R '^StormTest\.'
else
    echo "== end-to-end tests skipped: they need root"
fi

phase "clang build with AddressSanitizer + UndefinedBehaviorSanitizer, and the fuzz targets"
scripts/build.sh build-asan -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
    -DCMAKE_BUILD_TYPE=Debug -DVESK_SANITIZE=address,undefined -DVESK_FUZZ=ON -DVESK_BENCH=OFF \
    -DVESK_E2E_TESTS=OFF "${lld[@]}"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure --timeout 300 -j "$jobs" -L 'zet|vesk|tools|integration'

phase "clang build with ThreadSanitizer"
# Only what runs threads against the event loop: the integration tests (real daemon processes,
# peers and vty clients), and the event loop's, the signal handling's and the receive thread's
# own tests.
cmake -S . -B build-tsan -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
    -DCMAKE_BUILD_TYPE=Debug -DVESK_SANITIZE=thread -DVESK_BENCH=OFF -DVESK_E2E_TESTS=OFF \
    "${lld[@]}" >/dev/null
cmake --build build-tsan -j "$jobs" --target veskd vesk-cli vesk-nsm-peer vesk-wire zet_test \
    vesk_test integration_test
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-tsan --output-on-failure --timeout 300 -j "$jobs" -L integration
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-tsan --output-on-failure --timeout 300 -j "$jobs" \
    -R '^((LoopTest|MonoLoopTest|Clock|SignalTest|SignalDeathTest)\.|Files/Scenario\.Runs/receive_)'

phase "fuzz targets"
FUZZ_BUILD=build-asan FUZZ_SECONDS=${FUZZ_SECONDS:-10} scripts/fuzz.sh

echo "== all tests passed in $((SECONDS - start)) s"
