#!/usr/bin/env bash
# Loops that form while links stay up, on a real Linux bridge (root). A host behind ge3 sends
# one ARP broadcast every 50 ms, as a switch's neighbours do.
#   A: a loop appears behind ge1 at a random moment of its 10 s transmit interval: seconds
#      until ge1 is cut (admin down), median and worst of RUNS runs;
#   B: ge1 and ge2 are cabled together and start sending in the same moment: how many of the
#      two ports each such loop costs, RUNS runs;
#   C: ge1 in block mode with a loop behind it: seconds from the loop going away until ge1
#      forwards again, median of 5 runs, and whether its link ever went down (skipped by a
#      veskd that has no block mode);
#   D: a storm of forwarding-database changes (one MAC flapping between ge1 and ge2 as fast as
#      a sender can make it) for STORM_SECONDS: veskd's CPU.
# Usage: bench/steady_loop.sh [BUILD_DIR] [RUNS]   (default: build, 10); PARTS=ABCD picks parts,
# LLDPD=1 runs lldpd beside veskd and gives it a metrics directory
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
runs=${2:-10}
storm_seconds=${STORM_SECONDS:-10}
parts=${PARTS:-ABCD}
veskd=$build/vesk/veskd
cli_bin=$build/tools/vesk-cli
[ "$(id -u)" = 0 ] || { echo "needs root" >&2; exit 1; }
[ -x "$veskd" ] && [ -x "$cli_bin" ] || { echo "build veskd and vesk-cli in $build first" >&2; exit 1; }

sw=stl$$s
nb=stl$$n
work=$(mktemp -d /tmp/vesk-steady-XXXXXX)
veskd_pid=
talker_pid=
netns_before_delete() {
    for p in "$talker_pid" "$veskd_pid"; do
        [ -n "$p" ] || continue
        kill "$p" 2>/dev/null || true
        wait "$p" 2>/dev/null || true
    done
    rm -rf "$work"
}
source scripts/netns.sh

# Sends Ethernet frames from the neighbour namespace: "talk IF" one ARP broadcast every 50 ms
# from IF; "flap IF1 IF2 SECONDS" one source MAC alternately from both, as fast as it can.
cat >"$work/frames.py" <<'EOF'
import socket, sys, time
def frame(src):
    arp = bytes.fromhex("0001080006040001") + src + bytes([10, 9, 9, 9]) + bytes(6) + bytes([10, 9, 9, 1])
    return b"\xff" * 6 + src + b"\x08\x06" + arp + bytes(18)
def sock(ifname):
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
    s.bind((ifname, 0))
    return s
if sys.argv[1] == "talk":
    s, f = sock(sys.argv[2]), frame(bytes.fromhex("020000000a03"))
    while True:
        s.send(f)
        time.sleep(0.05)
else:
    a, b, f = sock(sys.argv[2]), sock(sys.argv[3]), frame(bytes.fromhex("020000000b01"))
    end, n = time.monotonic() + float(sys.argv[4]), 0
    while time.monotonic() < end:
        for _ in range(100):
            a.send(f)
            b.send(f)
        n += 200
    print(n)
EOF

cli() { VESK_VTY_SOCKET=$work/vty "$cli_bin" -c "configure terminal" "$@" >/dev/null; }
nbr() { ip -n "$nb" "$@"; }
# Seconds from t0 ($1, an $EPOCHREALTIME) until the condition $3 on the flags ($f) or the
# unicast_flood value ($u) of ge1 holds, polled every 2 ms inside the namespace with shell
# builtins only; "timeout" after $2 seconds.
time_until() {
    ip netns exec "$sw" bash -c '
        t0=${1/./}; limit=$(($2 * 1000000)); u=1
        exec 3<>"$3"
        while :; do
            read -r f </sys/class/net/ge1/flags
            [ -r /sys/class/net/ge1/brport/unicast_flood ] && read -r u </sys/class/net/ge1/brport/unicast_flood
            now=${EPOCHREALTIME/./}
            (( '"$3"' )) && break
            (( now - t0 > limit )) && { echo timeout; exit 1; }
            read -r -t 0.002 -u 3 _ || true
        done
        d=$((now - t0))
        printf "%d.%06d\n" $((d / 1000000)) $((d % 1000000))' _ "$1" "$2" "$work/tick"
}
wait_up() {
    local end=$((SECONDS + 15)) p
    for p in "$@"; do
        until ip -n "$sw" -o link show "$p" | grep -q 'state UP'; do
            [ $SECONDS -lt $end ] || { echo "$p did not come back" >&2; exit 1; }
            sleep 0.05
        done
    done
}
admin_down() { ! ip -n "$sw" -o link show "$1" | grep -q '<[^>]*\<UP\>'; }
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
worst() { sort -n | tail -1; }

netns_make
ip -n "$sw" link add br0 address 02:00:00:00:00:01 type bridge
for i in 1 2 3; do
    ip -n "$sw" link add ge$i address 02:00:00:00:01:0$i type veth peer name n$i address 02:00:00:00:02:0$i netns "$nb"
    ip -n "$sw" link set ge$i master br0
    ip -n "$sw" link set ge$i up
    nbr link set n$i up
done
ip -n "$sw" link set br0 up
nbr link add hp1 type bridge
nbr link set n1 master hp1
nbr link set hp1 up
# LLDPD=1: lldpd on the switch and on its neighbours, and node exporter's directory, as on a
# switch with the operator's tools: a cut must wait on neither. Otherwise veskd finds neither.
if [ "${LLDPD:-0}" = 1 ]; then
    # lldpd starts paused until its own lldpcli, running as _lldpd, reaches the socket.
    chmod 0711 "$work"
    ip netns exec "$sw" lldpd -d -u "$work/lldpd.socket" -I 'ge*' >/dev/null 2>&1 &
    # The neighbours announce themselves every second, so veskd knows them from the first run.
    echo "configure lldp tx-interval 1" >"$work/nb.conf"
    ip netns exec "$nb" lldpd -d -u "$work/nb.socket" -O "$work/nb.conf" -I 'n*' >/dev/null 2>&1 &
    for _ in $(seq 50); do [ -S "$work/lldpd.socket" ] && break; sleep 0.1; done
    chmod 0666 "$work/lldpd.socket"
    mkdir "$work/metrics"
fi
export VESK_LLDPD_SOCKET=$work/lldpd.socket VESK_METRICS_DIR=$work/metrics
printf 'log file %s\n' "$work/veskd.log" >"$work/veskd.conf"
mkfifo "$work/tick"
VESK_VTY_SOCKET=$work/vty ip netns exec "$sw" "$veskd" -f "$work/veskd.conf" -P 0 &
veskd_pid=$!
for _ in $(seq 100); do [ -S "$work/vty" ] && break; sleep 0.1; done
wait_up ge1 ge2 ge3
talk_start() {
    [ -z "$talker_pid" ] || return 0
    ip netns exec "$nb" /usr/bin/python3 "$work/frames.py" talk n3 &
    talker_pid=$!
}
talk_stop() {
    [ -n "$talker_pid" ] || return 0
    kill "$talker_pid"
    wait "$talker_pid" 2>/dev/null || true
    talker_pid=
}
hairpin() { nbr link set dev n1 type bridge_slave hairpin "$1"; }

part() { [[ $parts == *$1* ]]; }

if part A; then
echo "A: a loop appears behind ge1 in steady state (tx-interval 10 s, broadcasts every 50 ms)"
talk_start
cli -c "interface ge1" -c "loop-detect enable"
: >"$work/a"
for i in $(seq "$runs"); do
    # Past the start phase (frames at 0, 1, 2 s), then a moment unrelated to the schedule.
    sleep "3.$((RANDOM % 1000))"
    sleep "$((RANDOM % 10)).$((RANDOM % 1000))"
    t0=$EPOCHREALTIME
    hairpin on
    t=$(time_until "$t0" 15 '(f & 1) == 0')
    hairpin off
    echo "  run $i: $t s"
    echo "$t" >>"$work/a"
    cli -c "interface ge1" -c "loop-detect force up"
    wait_up ge1
done
echo "  median: $(median <"$work/a") s, worst: $(worst <"$work/a") s  (target: 0.3 s median, 1 s worst)"
if [ "${LLDPD:-0}" = 1 ]; then
    echo "  with lldpd: $(grep -c ', shut down (neighbour ' "$work/veskd.log") cuts of $runs logged with the neighbour; $(grep -c '^veskd_' "$work/metrics/veskd.prom") metric lines"
fi
cli -c "interface ge1" -c "no loop-detect enable"
fi

if part B; then
echo "B: ge1 and ge2 cabled together, both start sending at once: ports cut per loop"
talk_stop
nbr link set n1 nomaster
nbr link add cb12 type bridge
nbr link set cb12 up
nbr link set n1 master cb12
nbr link set n2 master cb12
: >"$work/b"
for i in $(seq "$runs"); do
    sleep 1
    cli -c "interface ge1" -c "loop-detect enable" -c "interface ge2" -c "loop-detect enable"
    sleep 3
    cut=0
    for p in ge1 ge2; do admin_down $p && cut=$((cut + 1)); done
    echo "  run $i: $cut port(s) cut"
    echo "$cut" >>"$work/b"
    cli -c "interface ge1" -c "no loop-detect enable" -c "interface ge2" -c "no loop-detect enable"
    wait_up ge1 ge2
done
echo "  runs costing exactly one port: $(grep -c '^1$' "$work/b" || true) of $runs  (target: $runs of $runs)"
nbr link set n1 nomaster
nbr link set n2 nomaster
nbr link set n1 master hp1
fi

if part C; then
echo "C: ge1 blocked by a loop behind it: from the loop going away to forwarding again"
talk_start
if ! cli -c "interface ge1" -c "loop-detect loop block" 2>/dev/null; then
    echo "  skipped: this veskd has no block mode"
else
    cli -c "interface ge1" -c "loop-detect enable"
    : >"$work/c"
    link_downs=0
    for i in $(seq 5); do
        sleep 3
        hairpin on
        if [ "$(time_until "$EPOCHREALTIME" 10 'u == 0')" = timeout ]; then
            echo "  run $i: ge1 was not blocked"
            hairpin off
            continue
        fi
        sleep 2
        admin_down ge1 && link_downs=$((link_downs + 1))
        t0=$EPOCHREALTIME
        hairpin off
        t=$(time_until "$t0" 15 'u == 1')
        admin_down ge1 && link_downs=$((link_downs + 1))
        echo "  run $i: $t s"
        echo "$t" >>"$work/c"
    done
    echo "  median: $(median <"$work/c") s, worst: $(worst <"$work/c") s, link down seen $link_downs times  (target: within 3 s, never down)"
    cli -c "interface ge1" -c "no loop-detect enable" -c "interface ge1" -c "loop-detect loop shutdown"
fi
talk_stop
fi

if part D; then
echo "D: one MAC flapping between ge1 and ge2 for $storm_seconds s (both ports protected)"
talk_stop
nbr link set n1 nomaster
cli -c "interface ge1" -c "loop-detect enable" -c "interface ge2" -c "loop-detect enable"
sleep 4
ticks() { awk '{print $14 + $15}' "/proc/$veskd_pid/stat"; }
t0=$(ticks)
s0=$EPOCHREALTIME
sent=$(ip netns exec "$nb" /usr/bin/python3 "$work/frames.py" flap n1 n2 "$storm_seconds")
s1=$EPOCHREALTIME
t1=$(ticks)
awk -v d=$((t1 - t0)) -v hz="$(getconf CLK_TCK)" -v s0="$s0" -v s1="$s1" -v n="$sent" 'BEGIN {
    s = s1 - s0
    printf "  %d frames (%.0f moves/s): veskd CPU %.1f%% of one core  (target < 10%%)\n", n, n / s, 100 * d / hz / s
}'
for p in ge1 ge2; do admin_down $p && echo "  $p was cut by the flapping (it must not be)"; done
fi
true
