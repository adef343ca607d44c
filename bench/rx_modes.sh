#!/usr/bin/env bash
# Reading a loop storm: one recvmsg per frame against the frame socket's receive ring. Two
# bridges cabled by three veth pairs carry one looping broadcast that passes the kernel filter;
# vesk_rx_probe then reads the switch side for SECONDS in each mode, alternately, RUNS times,
# and the median of each figure is reported. Root only; the namespaces go away even when the
# script fails.
#
#   bench/rx_modes.sh [BUILD_DIR]      (RUNS default 5, SECONDS default 4)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
runs=${RUNS:-5}
seconds=${SECONDS_PER_RUN:-4}
probe=$build/bench/vesk_rx_probe
[ "$(id -u)" = 0 ] || { echo "needs root" >&2; exit 2; }
[ -x "$probe" ] || { echo "build vesk_rx_probe in $build first" >&2; exit 2; }

sw=rxm$$s
nb=rxm$$n
out=$(mktemp /tmp/rx-modes.XXXXXX)
netns_before_delete() { rm -f "$out"; }
source scripts/netns.sh
netns_make
ip -n "$sw" link add br0 type bridge
ip -n "$nb" link add nbr type bridge
for i in 1 2 3; do
    ip -n "$sw" link add "ge$i" type veth peer name "n$i" netns "$nb"
    ip -n "$sw" link set "ge$i" master br0 up
    ip -n "$nb" link set "n$i" master nbr up
done
ip -n "$sw" link set br0 up
ip -n "$nb" link set nbr up
sleep 1

# One ARP request from 0.0.0.0, padded to 60 bytes, broadcast from the switch: it loops for ever.
ip netns exec "$sw" /usr/bin/python3 -c '
import socket
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
s.bind(("br0", 0))
mac = bytes([2, 0x66, 0, 0, 0, 1])
arp = b"\x00\x01\x08\x00\x06\x04\x00\x01" + mac + bytes(4) + bytes(6) + bytes([10, 0, 0, 9])
s.send(b"\xff" * 6 + mac + b"\x08\x06" + arp + bytes(46 - len(arp)))'
sleep 1
rx() { ip netns exec "$sw" cat /sys/class/net/ge1/statistics/rx_packets; }
a=$(rx); sleep 1; b=$(rx)
echo "storm: ge1 receives $((b - a)) frames/s"

for i in $(seq 1 "$runs"); do
    for mode in recvfrom ring; do
        ip netns exec "$sw" "$probe" "$mode" "$seconds" | tee -a "$out"
    done
done

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
for mode in recvfrom ring; do
    field() { grep "^$mode " "$out" | sed -n "s/.* $1 \([0-9.]*\).*/\1/p" | median; }
    echo "== $mode, median of $runs: read $(field read)/s, handed on $(field handed)/s," \
         "kernel dropped $(field dropped)/s, reader CPU $(field cpu)%, $(field per-frame) ns a frame"
done
