#!/usr/bin/env bash
# Run by scripts/vmlab.sh in a qemu guest, whose kernel has VLAN-aware bridges and 802.1Q (the
# machines we build on lack both): vlan_guest.sh BUILD_DIR runs the scenarios that need them,
# tests/e2e/scenarios/vlan_*.scn, which elsewhere skip themselves. Here a skip is a failure: a
# guest that cannot run them must not pass for one that did.
modprobe -a bridge 8021q veth || exit 1
out=$(VESK_VLAN_GUEST=1 "$1/tests/e2e_test" --gtest_filter='Lab.Scenario/vlan_*' 2>&1)
rc=$?
printf '%s\n' "$out"
n=$(ls "$(dirname "$0")"/scenarios/vlan_*.scn | wc -l)
[ "$rc" -eq 0 ] && grep -q "^\[  PASSED  \] $n tests" <<<"$out" && ! grep -q '^\[  SKIPPED \]' <<<"$out"
