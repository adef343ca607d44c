#!/usr/bin/env bash
# Mutation score of the unit and integration tests over zet/ and vesk/:
#   scripts/mutate.sh [--seed N] [--count N]     a seeded random sample (default 1 and 50)
#   scripts/mutate.sh --save FILE                keep the sample, to replay it later with
#   scripts/mutate.sh --sample FILE              the same mutants, even after code moved
#   scripts/mutate.sh --list                     only print the sample
#   scripts/mutate.sh --lab ...                  zet/nsm, zet/frame mutants meet the lab too (root)
# Works on a copy under build-mutate/ (--work DIR), so the tree stays untouched.
set -euo pipefail
cd "$(dirname "$0")/.."
exec /usr/bin/python3 scripts/mutate.py "$@"
