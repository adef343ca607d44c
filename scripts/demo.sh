#!/usr/bin/env bash
# The demonstration: builds veskd. (The live loop demonstration arrives with loop detection.)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc
echo "veskd is built at build/vesk/veskd; the live loop demonstration is not available yet."
