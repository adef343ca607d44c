#!/usr/bin/env bash
# Detection latency of veskd on a real Linux bridge (as root), median of RUNS runs each:
#   A: from "loop-detect enable" on a port with a loop behind it to the port being admin down;
#   B: in steady state (transmit interval 10 s), from the moment a loop appears behind the
#      port to the port being admin down.
# Usage: bench/detect_latency.sh [BUILD_DIR] [RUNS]   (default: build, 10)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
runs=${2:-10}
veskd=$build/vesk/veskd
cli_bin=$build/tools/vesk-cli
[ "$(id -u)" = 0 ] || { echo "needs root" >&2; exit 1; }
[ -x "$veskd" ] && [ -x "$cli_bin" ] || { echo "build veskd and vesk-cli in $build first" >&2; exit 1; }

sw=dmnB$$s
nb=dmnB$$n
work=$(mktemp -d /tmp/dmn-bench-XXXXXX)
veskd_pid=
netns_before_delete() {
    if [ -n "$veskd_pid" ]; then
        kill "$veskd_pid" 2>/dev/null || true
        wait "$veskd_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
source scripts/netns.sh

cli() { VESK_VTY_SOCKET=$work/vty "$cli_bin" -c "configure terminal" -c "interface ge1" "$@" >/dev/null; }
hairpin() { ip -n "$nb" link set dev n1 type bridge_slave hairpin "$1"; }
# Seconds from t0 ($1, an $EPOCHREALTIME) until ge1 is admin down, polled every 2 ms inside
# the namespace with shell builtins only; "timeout" after $2 seconds.
time_to_down() {
    ip netns exec "$sw" bash -c '
        t0=${1/./}; limit=$(($2 * 1000000))
        exec 3<>"$3"
        while :; do
            read -r f </sys/class/net/ge1/flags
            now=${EPOCHREALTIME/./}
            (( (f & 1) == 0 )) && break
            (( now - t0 > limit )) && { echo timeout; exit 1; }
            read -r -t 0.002 -u 3 _ || true
        done
        d=$((now - t0))
        printf "%d.%06d\n" $((d / 1000000)) $((d % 1000000))' _ "$1" "$2" "$work/tick"
}
wait_up() {
    local end=$((SECONDS + 15))
    until ip -n "$sw" -o link show ge1 | grep -q 'state UP'; do
        [ $SECONDS -lt $end ] || { echo "ge1 did not come back" >&2; exit 1; }
        sleep 0.05
    done
}
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

netns_make
ip -n "$sw" link add br0 address 02:00:00:00:00:01 type bridge
ip -n "$sw" link add ge1 address 02:00:00:00:01:01 type veth peer name n1 address 02:00:00:00:02:01 netns "$nb"
ip -n "$sw" link set ge1 master br0
ip -n "$sw" link set ge1 up
ip -n "$sw" link set br0 up
ip -n "$nb" link add hp1 type bridge
ip -n "$nb" link set n1 master hp1
ip -n "$nb" link set hp1 up
ip -n "$nb" link set n1 up
printf 'log file %s\n' "$work/veskd.log" >"$work/veskd.conf"
mkfifo "$work/tick"
VESK_VTY_SOCKET=$work/vty ip netns exec "$sw" "$veskd" -f "$work/veskd.conf" -P 0 &
veskd_pid=$!
for _ in $(seq 100); do [ -S "$work/vty" ] && break; sleep 0.1; done
wait_up

echo "A: loop-detect enable -> admin down (loop already there)"
hairpin on
: >"$work/a"
for i in $(seq "$runs"); do
    t0=$EPOCHREALTIME
    cli -c "loop-detect enable"
    t=$(time_to_down "$t0" 5)
    echo "  run $i: $t s"
    echo "$t" >>"$work/a"
    cli -c "no loop-detect enable"
    wait_up
done
echo "  median: $(median <"$work/a") s"

echo "B: loop appears -> admin down (steady state, tx-interval 10 s)"
hairpin off
cli -c "loop-detect tx-interval time 10" -c "loop-detect enable"
: >"$work/b"
for i in $(seq "$runs"); do
    # Past the start phase (frames at 0, 1, 2 s), then a moment unrelated to the schedule.
    sleep "3.$((RANDOM % 1000))"
    sleep "$((RANDOM % 10)).$((RANDOM % 1000))"
    t0=$EPOCHREALTIME
    hairpin on
    t=$(time_to_down "$t0" 15)
    echo "  run $i: $t s"
    echo "$t" >>"$work/b"
    hairpin off
    cli -c "loop-detect force up"
    wait_up
done
echo "  median: $(median <"$work/b") s"
