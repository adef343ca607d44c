#!/usr/bin/env bash
# Run by scripts/vmlab.sh in a qemu guest, whose kernel has VLAN-aware bridges and 802.1Q (the
# machines we build on lack both): vlan_guest.sh BUILD_DIR runs the scenarios that need them,
# tests/e2e/scenarios/vlan_*.scn, which elsewhere skip themselves.
modprobe -a bridge 8021q veth || exit 1
VESK_VLAN_GUEST=1 exec "$1/tests/e2e_test" --gtest_filter='Lab.Scenario/vlan_*'
