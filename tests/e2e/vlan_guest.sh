#!/usr/bin/env bash
# VLAN-aware bridges on a kernel that has them, run by scripts/vmlab.sh in a guest (as root, in
# namespaces of the guest): vlan_guest.sh BUILD_DIR. Switch s (bridge br0, vlan_filtering 1,
# ports ge1..ge4) faces neighbour n (n1..n4). Prints one line a check; exits 1 when any failed.
set -uo pipefail
build=$(realpath "${1:?usage: vlan_guest.sh BUILD_DIR}")
work=$(mktemp -d)
failed=0
modprobe -a bridge 8021q veth || exit 1
source "$(dirname "$(realpath "$0")")/lab.sh"
netns s n t u v w
trap 'kill $(jobs -p) 2>/dev/null; wait; for ns in "${namespaces[@]}"; do ip netns del $ns; done; rm -rf "$work" 2>/dev/null' EXIT
check() { # NAME EXPECTED ACTUAL
    if [ "$2" = "$3" ]; then echo "ok   $1"; else
        echo "FAIL $1"; diff <(echo "$2") <(echo "$3") | sed 's/^/     /'; failed=1; fi
}
# lab SWITCH NEIGHBOUR BRIDGE PORT PEER N: a VLAN-filtering BRIDGE in namespace SWITCH with ports
# PORT1..PORTN, each cabled to PEER1..PEERN in namespace NEIGHBOUR.
lab() {
    ip -n "$1" link add "$3" type bridge vlan_filtering 1
    ip -n "$1" link set "$3" up
    for i in $(seq "$6"); do
        ip link add "$4$i" netns "$1" type veth peer name "$5$i" netns "$2"
        ip -n "$1" link set "$4$i" master "$3" up
        ip -n "$2" link set "$5$i" up
    done
}
lab s n br0 ge n 4
for a in "ge1 vid 20" "ge1 vid 30" "ge3 vid 10" "ge3 vid 20" "ge4 vid 10"; do bridge -n s vlan add dev $a; done
bridge -n s vlan del dev ge2 vid 1
cat >"$work/sconf" <<EOC
log file $work/slog
interface ge1
 loop-detect enable
 loop-detect protect vlan 20
interface ge2
 loop-detect enable
 loop-detect protect vlan 20
interface ge3
 loop-detect enable
 loop-detect protect vlan 20
EOC

frames n n1 tags 6 "$work/ready1" >"$work/tags1" &
until_ok 20 test -e "$work/ready1"
veskd s s br0 || exit 1

# The members of each VLAN, as "show loop-detect" lists them and as the bridge has them.
members() {
    cli s "show loop-detect" | awk '/^[0-9]/ { printf "%s", $1; $1 = ""; print }' |
        while read -r vid ports; do echo "$vid $(printf '%s\n' $ports | sort | xargs)"; done
}
bridge_members() {
    bridge -n s -j vlan show | jq -r '[.[] | select(.ifname != "br0") | .ifname as $p | .vlans[]? |
        {v: .vlan, $p}] | group_by(.v)[] | "\(.[0].v) \(map(.p) | sort | join(" "))"'
}
check "membership as the bridge's" "$(bridge_members)" "$(members)"
check "ge2, in no VLAN, is a protected port" "  isProtected: Yes" \
    "$(cli s "show loop-detect interface ge2" | grep -e isProtected -e 'not found')"
# Made while ge1's start is counted, for the block of one VLAN further down: a trunk of 129
# VLANs with 16 protected. Switch v's bridge bv (vlan_filtering 1) has vg1 (the trunk), vg2 (VLAN
# 20) and vg3 (VLANs 20 and 30); neighbour w joins vw1.20 and vw2.20 (a loop in VLAN 20 between
# vg1 and vg2, closed later), sends VLAN-30 frames into vg1 and counts what leaves vg3.
lab v w bv vg vw 3
for a in "vg1 vid 20" "vg1 vid 30" "vg1 vid 100-225" "vg2 vid 20" "vg3 vid 20" "vg3 vid 30"; do bridge -n v vlan add dev $a; done
ip -n w link add lw20 type bridge
for i in 1 2; do ip -n w link add link vw$i name vw$i.20 type vlan id 20 && ip -n w link set vw$i.20 master lw20; done
ip -n w link set vw1.20 up
ip -n w link set lw20 up
{
    printf 'log file %s/vlog\ninterface vg1\n loop-detect loop block\n' "$work"
    for v in 20 30 $(seq 100 113); do printf ' loop-detect protect vlan %d\n' $v; done
} >"$work/vconf"
veskd v v bv || exit 1
wait %1
check "ge1's start: each VLAN 3 frames, tagged as the bridge egresses (1 untagged, 20 tagged)" \
    "3 8100 20
3 untagged" "$(cat "$work/tags1")"

bridge -n s vlan add dev ge2 vid 1 pvid untagged
bridge -n s vlan add dev ge2 vid 20
sleep 1
check "membership after ge2 joins VLANs 1 and 20" "$(bridge_members)" "$(members)"

# A loop in VLAN 10 only, behind ge3 and ge4, where ge3 protects 1 and 20: nothing to report.
ip -n n link add lp10 type bridge
for i in 3 4; do ip -n n link add link n$i name n$i.10 type vlan id 10 && ip -n n link set n$i.10 master lp10 up; done
ip -n n link set lp10 up
# A loop in VLAN 20 only, behind ge1 and ge2.
ip -n n link add lp20 type bridge
for i in 1 2; do ip -n n link add link n$i name n$i.20 type vlan id 20 && ip -n n link set n$i.20 master lp20 up; done
ip -n n link set lp20 up
until_ok 15 grep -q "Detect a loop" "$work/slog"
check "a loop in VLAN 20 only: cut once" "1" "$(grep -c 'Detect a loop on the port ge[12]' "$work/slog")"
# The loop is gone with the port cut; its other end learns so at its next clean probe.
cut=$(grep -o 'Detect a loop on the port ge[12]' "$work/slog" | tail -c 4)
partner=ge$((3 - ${cut#ge}))
isloop() { cli s "show loop-detect interface $partner" | grep -q 'isLoop: No'; }
check "the partner $partner of the loop cut at $cut: no loop flag after its next probe" "cleared" \
    "$(until_ok 25 isloop && echo cleared)"
check "a loop in VLAN 10 not reported" "" "$(grep 'ge[34]' "$work/slog")"

# At run time ge3's PVID becomes 20 (VLAN 1 now tagged), and the bridge turns 802.1ad: the next
# frames follow both.
bridge -n s vlan add dev ge3 vid 20 pvid untagged
bridge -n s vlan add dev ge3 vid 1
ip -n s link set br0 type bridge vlan_protocol 802.1ad
frames n n3 tags 11 "$work/ready3" >"$work/tags3" &
wait %%
check "PVID 20 and 802.1ad at run time: VLAN 20 untagged, VLAN 1 tagged 0x88a8" "88a8 1
untagged" "$(cut -d' ' -f2- "$work/tags3")"

# STP beside veskd: switch t's bridge bt runs the kernel's STP; its ports st1 and st2 are cabled
# to each other, so STP blocks one; st3 has a loop behind it (a neighbour reflecting frames) that
# STP does not see. veskd must never cut st1 or st2 for the frames through the blocking one. The
# bridge is VLAN-unaware: st4, protecting VLAN 20, has a loop of VLAN-20 tagged frames only.
ip -n t link add bt type bridge stp_state 1 forward_delay 200 hello_time 100 max_age 600
ip -n t link add st1 type veth peer name st2
# hairpin N LINK: LINK of neighbour u alone on a bridge hpN that sends its frames back.
hairpin() {
    ip -n u link add hp$1 type bridge && ip -n u link set "$2" master hp$1 up &&
        ip -n u link set dev "$2" type bridge_slave hairpin on && ip -n u link set hp$1 up
}
ip link add st3 netns t type veth peer name u3 netns u
hairpin 3 u3
ip link add st4 netns t type veth peer name u4 netns u
ip -n u link add link u4 name u4.20 type vlan id 20 && ip -n u link set u4 up
hairpin 4 u4.20
for p in st1 st2 st3 st4; do ip -n t link set $p master bt; done
ip -n t link set bt up
printf 'log file %s/tlog\nloop-detect enable\ninterface st4\n loop-detect protect vlan 20\n' "$work" >"$work/tconf"
veskd t t bt || exit 1
until_ok 20 grep -qs "Running as root" "$work/tlog"
for p in st1 st2 st3 st4; do ip -n t link set $p up; done
until_ok 20 grep -qs "Detect a loop on the port st3" "$work/tlog"
until_ok 10 grep -qs "Detect a loop on the port st4" "$work/tlog"
sleep 3
check "STP: the loops behind st3 and (VLAN 20 only) st4 cut, none through the blocking port" \
    "Detect a loop on the port st3
Detect a loop on the port st4
does not forward" "$(grep -o -e 'Detect a loop on the port [a-z0-9]*' -e 'does not forward' "$work/tlog" | sort -u)"

# Block only the looped VLAN, on the trunk vg1 made above. At 1 s w brings vw2.20 up, which
# closes the loop, and a broadcast into VLAN 20 through vg3 sets it storming.
check "a trunk of 129 VLANs, 16 protected: its membership and protection shown" "129 16" \
    "$(cli v "show loop-detect" | awk '/^[0-9]/ && / vg1 /' | wc -l) $(cli v "show loop-detect interface vg1" | sed -n 's/.*ProtectVlan list: //p' | wc -w)"
frames w vw3 vlans vw1 4 100 vw2.20 >"$work/vcount" &
wait %%
until_ok 10 grep -q "Detect a loop on the port vg1 in vlan 20, block" "$work/vlog"
# After the block (from 2.5 s on): VLAN 30 flows at the rate sent (50 a half second), VLAN 20
# carries the probes alone; before it, the storm.
check "loop in VLAN 20: VLAN 30 forwarded throughout, the VLAN 20 storm stopped" "ok" \
    "$(awk '$1 >= 2.5 && ($3 < 45 || $2 > 5) { bad = 1 } END { print bad ? "no" : "ok" }' "$work/vcount")"
check "the VLAN 20 storm was there before the block" "yes" \
    "$(awk '$1 < 2.5 { s += $2 } END { print (s >= 10 ? "yes" : "no (" s ")") }' "$work/vcount")"
check "vg1 shown blocked in VLAN 20 alone" "  Port state: blocked (vlan 20)" \
    "$(cli v "show loop-detect interface vg1" | grep 'Port state')"
vstates() {
    bridge -n v -j -d vlan show dev vg1 |
        jq -r '[.[].vlans[] | select(.vlan == 20 or .vlan == 30) | "\(.vlan):\(.state // "?")"] | join(" ")'
}
check "the bridge: vg1 blocking in VLAN 20, forwarding in VLAN 30, still in all 129" \
    "20:blocking 30:forwarding 129" "$(vstates) $(bridge -n v -j vlan show dev vg1 | jq '.[0].vlans | length')"
ip -n w link del lw20
until_ok 10 grep -q "Cancel a loop on the port vg1 in vlan 20, unblock" "$work/vlog"
check "the loop gone: VLAN 20 forwarding again" "20:forwarding 30:forwarding" "$(vstates)"
# A VLAN state set from outside (as a spanning tree of VLANs would) is another thing: VLAN 30 of
# vg1 is then neither probed nor cut, until it forwards again; veskd's own block of VLAN 20 was
# never taken for it.
bridge -n v vlan set dev vg1 vid 30 state blocking
until_ok 10 grep -q "vg1: the bridge does not forward on it in vlan 30" "$work/vlog"
bridge -n v vlan set dev vg1 vid 30 state forwarding
until_ok 10 grep -q "vg1: the bridge forwards on it in vlan 30 again" "$work/vlog"
check "VLAN states: VLAN 30's set from outside noted, veskd's own block of VLAN 20 not" \
    "in vlan 30
in vlan 30 again" "$(grep -o -e 'forward on it in vlan [0-9]*' -e 'forwards on it in vlan [0-9]* again' "$work/vlog" | sed 's/.*on it //')"

[ $failed = 0 ] || { echo "--- log"; cat "$work"/*log "$work"/*out; }
exit $failed
