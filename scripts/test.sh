#!/usr/bin/env bash
# Runs every test: the g++ build's unit, integration and (as root) end-to-end tests, then the
# unit and integration tests again in a clang build under AddressSanitizer and
# UndefinedBehaviorSanitizer. Any failure or sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

echo "== g++ build"
scripts/build.sh build -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc
echo "== unit, integration and end-to-end tests"
ctest --test-dir build --output-on-failure --timeout 300 -j 2 -LE e2e
if [ "$(id -u)" = 0 ]; then
    ctest --test-dir build --output-on-failure --timeout 300 -L e2e
else
    echo "(end-to-end tests skipped: they need root)"
fi

echo "== clang build with AddressSanitizer + UndefinedBehaviorSanitizer"
scripts/build.sh build-asan -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
    -DVESK_SANITIZE=address,undefined -DVESK_BENCH=OFF
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-asan --output-on-failure --timeout 300 -j 2 -L 'zet|vesk|integration'
echo "== all tests passed"
