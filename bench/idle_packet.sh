#!/usr/bin/env bash
# Idle cost of veskd on the Linux backends (root): a bridge with 48 veth ports in a network
# namespace (their peers in a second one), loop detection on every port, frames every 10 s, no
# loop. Reports veskd's CPU over IDLE_SECONDS after a warm-up and its resident memory, which
# here includes the packet socket's receive ring. bench/idle.sh measures the same on the socket
# backends.
#
#   bench/idle_packet.sh [BUILD_DIR]        IDLE_SECONDS=60 by default
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
seconds=${IDLE_SECONDS:-60}
ports=48
[ "$(id -u)" = 0 ] || { echo "needs root" >&2; exit 2; }
[ -x "$build/vesk/veskd" ] || { echo "missing $build/vesk/veskd (build it first)" >&2; exit 2; }

sw=idl$$s
nb=idl$$n
work=$(mktemp -d /tmp/vesk-idle-packet.XXXXXX)
pid=
netns_before_delete() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    rm -rf "$work"
}
source scripts/netns.sh
netns_make
ip -n "$sw" link add br0 type bridge
ip -n "$sw" link set br0 up
for i in $(seq 1 "$ports"); do
    ip -n "$sw" link add "ge$i" type veth peer name "p$i" netns "$nb"
    ip -n "$sw" link set "ge$i" master br0 up
    ip -n "$nb" link set "p$i" up
done

printf 'log file %s/veskd.log\nloop-detect enable\n' "$work" >"$work/veskd.conf"
ip netns exec "$sw" env VESK_NSM=kernel VESK_FRAME=packet VESK_BRIDGE=br0 \
    VESK_VTY_SOCKET="$work/vty" "$build/vesk/veskd" -f "$work/veskd.conf" -P 0 \
    >"$work/veskd.out" 2>&1 &
pid=$!
sleep 15 # past the start phase: three frames a port at one-second intervals
tx() { ip netns exec "$nb" cat "/sys/class/net/p1/statistics/rx_packets"; }
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
f0=$(tx)
t0=$(ticks)
sleep "$seconds"
t1=$(ticks)
f1=$(tx)
rss=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
echo "frames ge1 sent in ${seconds} s: $((f1 - f0))"
awk -v d=$((t1 - t0)) -v hz="$(getconf CLK_TCK)" -v s="$seconds" -v rss="$rss" 'BEGIN {
    cpu = d / hz
    printf "CPU: %.2f s in %d s = %.1f s per hour = %.4f%% of one core  (target < 0.1%%)\n", cpu, s, cpu * 3600 / s, 100 * cpu / s
    printf "RSS: %.1f MiB  (target < 8 MiB)\n", rss / 1024
}'
