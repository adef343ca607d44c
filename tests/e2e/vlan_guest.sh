#!/usr/bin/env bash
# VLAN-aware bridges on a kernel that has them, run by scripts/vmlab.sh in a guest (as root, in
# namespaces of the guest): vlan_guest.sh BUILD_DIR. Switch s (bridge br0, vlan_filtering 1,
# ports ge1..ge4) faces neighbour n (n1..n4). Prints one line a check; exits 1 when any failed.
set -uo pipefail
build=$(realpath "${1:?usage: vlan_guest.sh BUILD_DIR}")
work=$(mktemp -d)
failed=0
modprobe -a bridge 8021q veth || exit 1
for ns in s n t u v w; do
    ip netns add $ns
    ip netns exec $ns sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
    ip -n $ns link set lo up
done
trap 'kill $(jobs -p) 2>/dev/null; wait; for ns in s n t u v w; do ip netns del $ns; done; rm -rf "$work" 2>/dev/null' EXIT
S() { ip netns exec s "$@"; }
N() { ip netns exec n "$@"; }
cli() { VESK_VTY_SOCKET=$work/vty "$build/tools/vesk-cli" "${@/#/-c}"; }
check() { # NAME EXPECTED ACTUAL
    if [ "$2" = "$3" ]; then echo "ok   $1"; else
        echo "FAIL $1"; diff <(echo "$2") <(echo "$3") | sed 's/^/     /'; failed=1; fi
}
# until SECONDS CMD...: CMD holds within SECONDS (polled).
until_ok() { local end=$((SECONDS + $1)); shift; until "$@"; do ((SECONDS < end)) || return 1; sleep 0.2; done; }
# veskd PREFIX NAMESPACE BRIDGE: a veskd on the bridge, its files $work/PREFIX{conf,log,state,vty,out}.
veskd() {
    VESK_BRIDGE=$3 VESK_STATE=$work/$1state VESK_VTY_SOCKET=$work/$1vty ip netns exec "$2" \
        "$build/vesk/veskd" -f "$work/$1conf" -P 0 >"$work/$1out" 2>&1 &
}
# The detection frames (ARP from 0.0.0.0) out of a neighbour's interface for SECONDS: one line
# each tag seen, how many and the tag ("untagged" or TPID and VID), sorted by tag.
tags() {
    N /usr/bin/python3 - "$@" <<'PY'
import socket, struct, sys, time
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(3))
s.bind((sys.argv[1], 0))
s.setsockopt(263, 8, 1)  # PACKET_AUXDATA: the tag the kernel took out of the frame
open(sys.argv[3], "w").close()
seen, end = {}, time.time() + float(sys.argv[2])
while (left := end - time.time()) > 0:
    s.settimeout(left)
    try:
        f, anc, _, _ = s.recvmsg(2048, 64)
    except socket.timeout:
        break
    tag = "untagged"
    for lvl, typ, d in anc:
        st, _, _, _, _, tci, tpid = struct.unpack("IIIHHHH", d[:20])
        if st & 0x10:
            tag = "%04x %d" % (tpid if st & 0x40 else 0x8100, tci & 0xFFF)
    off = 12
    while f[off:off + 2] in (b"\x81\x00", b"\x88\xa8"):
        tag, off = "%s %d" % (f[off:off + 2].hex(), int.from_bytes(f[off + 2:off + 4], "big") & 0xFFF), off + 4
    if f[off:off + 2] == b"\x08\x06" and f[off + 16:off + 20] == bytes(4):
        seen[tag] = seen.get(tag, 0) + 1
print("\n".join("%d %s" % (n, t) for t, n in sorted(seen.items())))
PY
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
for a in "ge1 vid 20" "ge1 vid 30" "ge3 vid 10" "ge3 vid 20" "ge4 vid 10"; do S bridge vlan add dev $a; done
S bridge vlan del dev ge2 vid 1
cat >"$work/conf" <<EOC
log file $work/log
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

tags n1 6 "$work/ready1" >"$work/tags1" &
until_ok 20 test -e "$work/ready1"
veskd "" s br0
until_ok 20 cli "show loop-detect" >/dev/null 2>&1 || { echo "FAIL veskd did not start"; cat "$work/out"; exit 1; }

# The members of each VLAN, as "show loop-detect" lists them and as the bridge has them.
members() {
    cli "show loop-detect" | awk '/^[0-9]/ { printf "%s", $1; $1 = ""; print }' |
        while read -r vid ports; do echo "$vid $(printf '%s\n' $ports | sort | xargs)"; done
}
bridge_members() {
    S bridge -j vlan show | /usr/bin/python3 -c '
import json, sys
m = {}
for p in json.load(sys.stdin):
    for v in p["vlans"] if p["ifname"] != "br0" else []:
        m.setdefault(v["vlan"], []).append(p["ifname"])
print("\n".join(" ".join([str(k)] + sorted(v)) for k, v in sorted(m.items())))'
}
check "membership as the bridge's" "$(bridge_members)" "$(members)"
check "ge2, in no VLAN, is a protected port" "  isProtected: Yes" \
    "$(cli "show loop-detect interface ge2" | grep -e isProtected -e 'not found')"
# Made while ge1's start is counted, for the block of one VLAN further down: a trunk of 129
# VLANs with 16 protected. Switch v's bridge bv (vlan_filtering 1) has vg1 (the trunk), vg2 (VLAN
# 20) and vg3 (VLANs 20 and 30); neighbour w joins vw1.20 and vw2.20 (a loop in VLAN 20 between
# vg1 and vg2, closed later), sends VLAN-30 frames into vg1 and counts what leaves vg3.
V() { ip netns exec v "$@"; }
W() { ip netns exec w "$@"; }
vcli() { VESK_VTY_SOCKET=$work/vvty "$build/tools/vesk-cli" "${@/#/-c}"; }
lab v w bv vg vw 3
for a in "vg1 vid 20" "vg1 vid 30" "vg1 vid 100-225" "vg2 vid 20" "vg3 vid 20" "vg3 vid 30"; do V bridge vlan add dev $a; done
W ip link add lw20 type bridge
for i in 1 2; do W ip link add link vw$i name vw$i.20 type vlan id 20 && W ip link set vw$i.20 master lw20; done
W ip link set vw1.20 up
W ip link set lw20 up
{
    printf 'log file %s/vlog\ninterface vg1\n loop-detect loop block\n' "$work"
    for v in 20 30 $(seq 100 113); do printf ' loop-detect protect vlan %d\n' $v; done
} >"$work/vconf"
veskd v v bv
wait %1
check "ge1's start: each VLAN 3 frames, tagged as the bridge egresses (1 untagged, 20 tagged)" \
    "3 8100 20
3 untagged" "$(cat "$work/tags1")"

S bridge vlan add dev ge2 vid 1 pvid untagged
S bridge vlan add dev ge2 vid 20
sleep 1
check "membership after ge2 joins VLANs 1 and 20" "$(bridge_members)" "$(members)"

# A loop in VLAN 10 only, behind ge3 and ge4, where ge3 protects 1 and 20: nothing to report.
N ip link add lp10 type bridge
for i in 3 4; do N ip link add link n$i name n$i.10 type vlan id 10 && N ip link set n$i.10 master lp10 up; done
N ip link set lp10 up
# A loop in VLAN 20 only, behind ge1 and ge2.
N ip link add lp20 type bridge
for i in 1 2; do N ip link add link n$i name n$i.20 type vlan id 20 && N ip link set n$i.20 master lp20 up; done
N ip link set lp20 up
if until_ok 15 grep -q "Detect a loop" "$work/log"; then
    check "a loop in VLAN 20 only: cut once" "1" "$(grep -c 'Detect a loop on the port ge[12]' "$work/log")"
else check "a loop in VLAN 20 only: cut once" "1" "none"; fi
# The loop is gone with the port cut; its other end learns so at its next clean probe.
cut=$(grep -o 'Detect a loop on the port ge[12]' "$work/log" | tail -c 4)
partner=ge$((3 - ${cut#ge}))
isloop() { cli "show loop-detect interface $partner" | grep -q 'isLoop: No'; }
check "the partner $partner of the loop cut at $cut: no loop flag after its next probe" "cleared" \
    "$(until_ok 25 isloop && echo cleared)"
check "a loop in VLAN 10 not reported" "" "$(grep 'ge[34]' "$work/log")"

# At run time ge3's PVID becomes 20 (VLAN 1 now tagged), and the bridge turns 802.1ad: the next
# frames follow both.
S bridge vlan add dev ge3 vid 20 pvid untagged
S bridge vlan add dev ge3 vid 1
S ip link set br0 type bridge vlan_protocol 802.1ad
tags n3 11 "$work/ready3" >"$work/tags3" &
wait %%
check "PVID 20 and 802.1ad at run time: VLAN 20 untagged, VLAN 1 tagged 0x88a8" "88a8 1
untagged" "$(cut -d' ' -f2- "$work/tags3")"

# STP beside veskd: switch t's bridge bt runs the kernel's STP; its ports st1 and st2 are cabled
# to each other, so STP blocks one; st3 has a loop behind it (a neighbour reflecting frames) that
# STP does not see. veskd must never cut st1 or st2 for the frames through the blocking one. The
# bridge is VLAN-unaware: st4, protecting VLAN 20, has a loop of VLAN-20 tagged frames only.
T() { ip netns exec t "$@"; }
T ip link add bt type bridge stp_state 1 forward_delay 200 hello_time 100 max_age 600
T ip link add st1 type veth peer name st2
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
for p in st1 st2 st3 st4; do T ip link set $p master bt; done
T ip link set bt up
printf 'log file %s/tlog\nloop-detect enable\ninterface st4\n loop-detect protect vlan 20\n' "$work" >"$work/tconf"
veskd t t bt
until_ok 20 grep -qs "Running as root" "$work/tlog"
for p in st1 st2 st3 st4; do T ip link set $p up; done
until_ok 20 grep -qs "Detect a loop on the port st3" "$work/tlog"
until_ok 10 grep -qs "Detect a loop on the port st4" "$work/tlog"
sleep 3
check "STP: the loops behind st3 and (VLAN 20 only) st4 cut, none through the blocking port" \
    "Detect a loop on the port st3
Detect a loop on the port st4
does not forward" "$(grep -o -e 'Detect a loop on the port [a-z0-9]*' -e 'does not forward' "$work/tlog" | sort -u)"

# Block only the looped VLAN, on the trunk vg1 made above.
until_ok 20 vcli "show loop-detect" >/dev/null 2>&1 || { echo "FAIL veskd on bv did not start"; cat "$work/vout"; }
check "a trunk of 129 VLANs, 16 protected: its membership and protection shown" "129 16" \
    "$(vcli "show loop-detect" | awk '/^[0-9]/ && / vg1 /' | wc -l) $(vcli "show loop-detect interface vg1" | sed -n 's/.*ProtectVlan list: //p' | wc -w)"
W /usr/bin/python3 - vw1 vw3 4 100 >"$work/vcount" <<'PY' &
import select, socket, struct, sys, time
tx_if, rx_if, dur, rate = sys.argv[1], sys.argv[2], float(sys.argv[3]), int(sys.argv[4])
# At 1 s vw2.20 comes up, which closes the loop (an rtnetlink request: an ip command takes a
# quarter of a second to start here), and a broadcast into VLAN 20 through vg3 sets it storming.
nl = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, 0)
up = struct.pack("=IHHIIBBHiII", 32, 16, 5, 1, 0, 0, 0, 0, socket.if_nametoindex("vw2.20"), 1, 1)
seed = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
seed.bind((rx_if, 0))
seed_frame = b"\xff" * 6 + bytes.fromhex("020000002014") + b"\x81\x00\x00\x14\x88\xb5" + bytes(46)
rx = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(3))
rx.bind((rx_if, 0))
rx.setsockopt(263, 8, 1)  # PACKET_AUXDATA: the tag the kernel took out of the frame
tx = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
tx.bind((tx_if, 0))
frame = b"\xff" * 6 + bytes.fromhex("02000000301e") + b"\x81\x00\x00\x1e\x88\xb5" + bytes(46)
t0 = time.time()
buckets, sent, due = {}, 0, t0
while (now := time.time()) < t0 + dur:
    if seed_frame and now >= t0 + 1:
        nl.send(up)
        seed.send(seed_frame)
        seed_frame = None
    if now >= due:
        tx.send(frame)
        sent, due = sent + 1, due + 1.0 / rate
    if not select.select([rx], [], [], max(0, min(due, t0 + dur) - time.time()))[0]:
        continue
    f, anc, _, _ = rx.recvmsg(2048, 64)
    vid = 0
    for lvl, typ, d in anc:
        st, _, _, _, _, tci, _ = struct.unpack("IIIHHHH", d[:20])
        if st & 0x10:
            vid = tci & 0xFFF
    if f[12:14] == b"\x81\x00":
        vid = int.from_bytes(f[14:16], "big") & 0xFFF
    b = buckets.setdefault(int((time.time() - t0) * 2), {20: 0, 30: 0})
    if vid in b:
        b[vid] += 1
for k in range(int(dur * 2)):
    b = buckets.get(k, {20: 0, 30: 0})
    print("%.1f %d %d" % (k / 2, b[20], b[30]))
PY
wait %%
until_ok 10 grep -q "Detect a loop on the port vg1 in vlan 20, block" "$work/vlog"
# After the block (from 2.5 s on): VLAN 30 flows at the rate sent (50 a half second), VLAN 20
# carries the probes alone; before it, the storm.
check "loop in VLAN 20: VLAN 30 forwarded throughout, the VLAN 20 storm stopped" "ok" \
    "$(awk '$1 >= 2.5 && ($3 < 45 || $2 > 5) { bad = 1 } END { print bad ? "no" : "ok" }' "$work/vcount")"
check "the VLAN 20 storm was there before the block" "yes" \
    "$(awk '$1 < 2.5 { s += $2 } END { print (s >= 10 ? "yes" : "no (" s ")") }' "$work/vcount")"
check "vg1 shown blocked in VLAN 20 alone" "  Port state: blocked (vlan 20)" \
    "$(vcli "show loop-detect interface vg1" | grep 'Port state')"
vstates() { V bridge -j -d vlan show dev vg1 | /usr/bin/python3 -c '
import json, sys
print(" ".join("%d:%s" % (v["vlan"], v.get("state", "?")) for p in json.load(sys.stdin) for v in p["vlans"] if v["vlan"] in (20, 30)))'; }
check "the bridge: vg1 blocking in VLAN 20, forwarding in VLAN 30, still in all 129" \
    "20:blocking 30:forwarding 129" "$(vstates) $(V bridge -j vlan show dev vg1 | /usr/bin/python3 -c 'import json,sys; print(len(json.load(sys.stdin)[0]["vlans"]))')"
W ip link del lw20
until_ok 10 grep -q "Cancel a loop on the port vg1 in vlan 20, unblock" "$work/vlog"
check "the loop gone: VLAN 20 forwarding again" "20:forwarding 30:forwarding" "$(vstates)"
# A VLAN state set from outside (as a spanning tree of VLANs would) is another thing: VLAN 30 of
# vg1 is then neither probed nor cut, until it forwards again; veskd's own block of VLAN 20 was
# never taken for it.
V bridge vlan set dev vg1 vid 30 state blocking
until_ok 10 grep -q "vg1: the bridge does not forward on it in vlan 30" "$work/vlog"
V bridge vlan set dev vg1 vid 30 state forwarding
until_ok 10 grep -q "vg1: the bridge forwards on it in vlan 30 again" "$work/vlog"
check "VLAN states: VLAN 30's set from outside noted, veskd's own block of VLAN 20 not" \
    "in vlan 30
in vlan 30 again" "$(grep -o -e 'forward on it in vlan [0-9]*' -e 'forwards on it in vlan [0-9]* again' "$work/vlog" | sed 's/.*on it //')"

[ $failed = 0 ] || { echo "--- log"; cat "$work/log" "$work/out" "$work/tlog" "$work/vlog"; }
exit $failed
