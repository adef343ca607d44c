#!/usr/bin/env bash
# Loops that form while links stay up, on a real Linux bridge (root). A host behind ge3 sends
# one ARP broadcast every 50 ms, as a switch's neighbours do.
#   A: a loop appears at a random moment of the 10 s transmit interval, behind ge1 alone (a
#      hairpin: its frames come back once, no storm) and between ge1 and ge2 (a cable: every
#      broadcast circles, a storm), RUNS runs each: milliseconds from the loop's closure and from
#      the first looped frame (a capture on the neighbour's side of the looped ports) until the
#      bridge stops forwarding on a looped port (admin down or port state not forwarding, seen
#      on rtnetlink), and the frames the loop sent into the bridge before then; median and
#      worst. STP=1 runs the same loops against the kernel's spanning tree (minimum timers,
#      STP_RUNS runs, default 5) instead of veskd;
#   B: ge1 and ge2 are cabled together and start sending in the same moment: how many of the
#      two ports each such loop costs, RUNS runs;
#   C: ge1 in block mode with a loop behind it: seconds from the loop going away until ge1
#      forwards again, median of 5 runs, and whether its link ever went down (skipped by a
#      veskd that has no block mode);
#   D: a storm of forwarding-database changes (one MAC flapping between ge1 and ge2 as fast as
#      a sender can make it) for STORM_SECONDS: veskd's CPU.
# veskd runs with the real-time priority the packaged unit gives it (VESK_RT=N overrides, 0 for
# none). A run whose host traffic has stopped (its talker gone or silent) ends the bench with an
# error: it would measure the periodic frame instead.
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
    # A full backlog (ENOBUFS, from any storm on the machine) costs one broadcast, not the talker.
    s, f = sock(sys.argv[2]), frame(bytes.fromhex("020000000a03"))
    while True:
        try:
            s.send(f)
        except OSError:
            pass
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

# Watches one loop from the switch's namespace: "watch.py NEIGHBOUR_NS NIFS PORTS SECONDS"
# captures what the neighbour's interfaces NIFS (comma-separated) send into the bridge, with
# kernel timestamps, and waits for the first sign on rtnetlink that the bridge stopped
# forwarding on one of PORTS: admin down, or a port state other than forwarding. It prints
# "cut PORT T FIRST FRAMES DROPPED DOWN" (T the moment of that sign, FIRST the first looped
# frame's, FRAMES those sent in up to T, DROPPED those the capture lost, DOWN the moment PORT
# went admin down, 0 if not within a second) or "timeout - 0 FIRST ...".
# It sleeps on rtnetlink until the cut and reads the capture only then, so it never competes
# with veskd for the processor during the storm.
cat >"$work/watch.py" <<'EOF'
import ctypes, os, select, socket, struct, sys, time
libc = ctypes.CDLL(None, use_errno=True)
def setns(fd):
    if libc.setns(fd, 0x40000000) != 0:
        sys.exit("watch.py: setns failed")
# Outgoing frames only (what the neighbour sends into the bridge), 64 bytes of each.
prog = struct.pack("HBBI" * 4, 0x30, 0, 0, 0xfffff004, 0x15, 0, 1, 4, 0x06, 0, 0, 64, 0x06, 0, 0, 0)
prog_buf = ctypes.create_string_buffer(prog)
fprog = struct.pack("HL", 4, ctypes.addressof(prog_buf))
home = os.open("/proc/self/ns/net", os.O_RDONLY)
setns(os.open("/run/netns/" + sys.argv[1], os.O_RDONLY))
caps = []
for ifname in sys.argv[2].split(","):
    c = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(3))
    c.setsockopt(socket.SOL_SOCKET, 26, fprog)  # SO_ATTACH_FILTER
    c.setsockopt(socket.SOL_SOCKET, 33, 64 << 20)  # SO_RCVBUFFORCE
    c.setsockopt(socket.SOL_SOCKET, 35, 1)  # SO_TIMESTAMPNS
    c.bind((ifname, 3))
    caps.append(c)
setns(home)
ports = {socket.if_nametoindex(n): n for n in sys.argv[3].split(",")}
nl = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, 0)
nl.setsockopt(socket.SOL_SOCKET, 33, 8 << 20)
nl.bind((0, 1))  # RTMGRP_LINK
ready = time.time()
print("ready", flush=True)
def brport_state(buf, a, end):
    while a + 4 <= end:
        alen, atype = struct.unpack_from("HH", buf, a)
        if alen < 4:
            return None
        if atype & 0x3fff == 1:  # IFLA_BRPORT_STATE
            return buf[a + 4]
        a += (alen + 3) & ~3
    return None
# The port of PORTS that a message in buf shows admin down or, unless down_only, in a port
# state other than forwarding.
def cut_port(buf, down_only=False):
    off = 0
    while off + 32 <= len(buf):
        length, kind = struct.unpack_from("IH", buf, off)
        if length < 32:
            return None
        family, _, _, index, flags = struct.unpack_from("BBHiI", buf, off + 16)
        if kind == 16 and index in ports:  # RTM_NEWLINK
            if family != 7 and not flags & 1:
                return ports[index]
            a = off + 32
            while family == 7 and not down_only and a + 4 <= off + length:
                alen, atype = struct.unpack_from("HH", buf, a)
                if alen < 4:
                    break
                state = brport_state(buf, a + 4, a + alen) if atype & 0x3fff == 12 else None
                if state is not None and state != 3:
                    return ports[index]
                a += (alen + 3) & ~3
        off += (length + 3) & ~3
    return None
end = time.time() + float(sys.argv[4])
port, t, buf = None, 0, b""
while port is None and time.time() < end:
    if not select.select([nl], [], [], max(0, end - time.time()))[0]:
        break
    buf = nl.recv(1 << 16)
    t = time.time()
    port = cut_port(buf)
down, end = t, t + 1
while port is not None and cut_port(buf, True) != port:
    if not select.select([nl], [], [], max(0, end - time.time()))[0]:
        down = 0
        break
    buf = nl.recv(1 << 16)
    down = time.time()
first, frames, dropped = 0, 0, 0
for c in caps:
    c.setblocking(False)
    while True:
        try:
            _, anc, _, _ = c.recvmsg(64, socket.CMSG_SPACE(16))
        except BlockingIOError:
            break
        sec, nsec = struct.unpack("qq", anc[0][2][:16])
        ts = sec + nsec / 1e9
        # What the capture took before the loop could close is no looped frame.
        if ts < ready:
            continue
        first = ts if first == 0 or ts < first else first
        frames += port is not None and ts <= t
    dropped += struct.unpack("II", c.getsockopt(263, 6, 8))[1]  # PACKET_STATISTICS
print("cut %s %.6f" % (port, t) if port else "timeout - 0", "%.6f" % first, frames, dropped, "%.6f" % down)
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
nbr link add cb12 type bridge
nbr link set cb12 up
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
rt=${VESK_RT:-$(sed -n 's/^CPUSchedulingPriority=//p' packaging/veskd.service)}
[ "${rt:-0}" = 0 ] && rt=
VESK_VTY_SOCKET=$work/vty ip netns exec "$sw" ${rt:+chrt -f "$rt"} "$veskd" -f "$work/veskd.conf" -P 0 &
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
# A run without host traffic would measure the periodic frame: its talker must be alive and n3's
# sent count moving.
talk_check() {
    local a b
    kill -0 "$talker_pid" 2>/dev/null || { echo "the talker behind ge3 has died: run refused" >&2; exit 1; }
    a=$(ip netns exec "$nb" cat /sys/class/net/n3/statistics/tx_packets)
    sleep 0.3
    b=$(ip netns exec "$nb" cat /sys/class/net/n3/statistics/tx_packets)
    [ "$b" -gt "$a" ] || { echo "the talker behind ge3 sent nothing for 0.3 s: run refused" >&2; exit 1; }
}

part() { [[ $parts == *$1* ]]; }

if part A; then
talk_start
# One loop: $1 the neighbour's interfaces it runs through, $2 the switch's ports, $3 the command
# that closes it, $4 the one that opens it; $5 the seconds to wait for the cut. Appends
# "MS_FROM_CLOSURE MS_FROM_FIRST_FRAME FRAMES DROPPED LOAD" to $work/a, or "timeout".
loop_run() {
    local ready what port t first frames dropped down t0 load
    talk_check
    coproc WATCH { ip netns exec "$sw" chrt -f 90 /usr/bin/python3 "$work/watch.py" "$nb" "$1" "$2" "$5"; }
    read -r ready <&"${WATCH[0]}"
    t0=$EPOCHREALTIME
    $3
    read -r what port t first frames dropped down <&"${WATCH[0]}"
    wait "$WATCH_PID" || true
    $4
    read -r load _ </proc/loadavg
    if [ "$what" != cut ]; then
        echo "  run $i: no cut within $5 s, load $load"
        echo timeout >>"$work/a"
        return 0
    fi
    awk -v t="$t" -v t0="$t0" -v f="$first" -v n="$frames" -v d="$dropped" -v l="$load" -v p="$port" -v i="$i" -v dn="$down" 'BEGIN {
        down = dn == 0 ? "; not admin down within 1 s" : dn - t > 0.00005 ? sprintf("; admin down %.2f ms later", 1000 * (dn - t)) : ""
        printf "  run %d: %s cut %.1f ms after the closure, %.2f ms after the first looped frame; %d frames in%s%s; load %s\n", i, p, 1000 * (t - t0), 1000 * (t - f), n, d ? " (" d " more lost by the capture)" : "", down, l
        printf "%.3f %.3f %d %d %s\n", 1000 * (t - t0), 1000 * (t - f), n, d, l >> "'"$work/a"'"
    }'
}
# Median and worst of each figure in $work/a.
loop_summary() {
    local timeouts col
    timeouts=$(grep -c timeout "$work/a" || true)
    grep -v timeout "$work/a" >"$work/a.ok" || true
    [ -s "$work/a.ok" ] || { echo "  no run was cut ($timeouts timeouts)"; return 0; }
    col() { awk -v c="$1" '{ print $c }' "$work/a.ok"; }
    echo "  median (worst): from the closure $(col 1 | median) ($(col 1 | worst)) ms," \
         "from the first looped frame $(col 2 | median) ($(col 2 | worst)) ms," \
         "frames in $(col 3 | median) ($(col 3 | worst)); load $(col 5 | median);" \
         "$timeouts of $(wc -l <"$work/a") runs not cut"
}
hairpin_on() { hairpin on; }
hairpin_off() { hairpin off; }
cable_on() { nbr link set n2 master cb12; }
cable_off() { nbr link set n2 nomaster; }
nbr link set n1 nomaster
nbr link set n1 master cb12
if [ "${STP:-0}" = 1 ]; then
    echo "A: the kernel's spanning tree (minimum timers) on loops that form while links stay up"
    ip -n "$sw" link set br0 type bridge hello_time 100 forward_delay 200 max_age 600 stp_state 1
    stp_forwarding() {
        local p s end=$((SECONDS + 40))
        for p in ge1 ge2 ge3; do
            until s=$(ip netns exec "$sw" cat /sys/class/net/$p/brport/state) && [ "$s" = 3 ]; do
                [ $SECONDS -lt $end ] || { echo "$p does not forward" >&2; exit 1; }
                sleep 0.1
            done
        done
    }
    for loop in hairpin cable; do
        nifs=n1 ports=ge1
        [ $loop = cable ] && nifs=n1,n2 ports=ge1,ge2
        [ $loop = hairpin ] && { nbr link set n1 nomaster; nbr link set n1 master hp1; }
        echo " $loop: $ports"
        : >"$work/a"
        for i in $(seq "${STP_RUNS:-5}"); do
            stp_forwarding
            sleep "$((RANDOM % 2)).$((RANDOM % 1000))"
            loop_run "$nifs" "$ports" ${loop}_on ${loop}_off 5
        done
        talk_check
        loop_summary
        [ $loop = hairpin ] && { nbr link set n1 nomaster; nbr link set n1 master cb12; }
    done
    ip -n "$sw" link set br0 type bridge stp_state 0
    exit 0
fi
echo "A: loops that form while links stay up (tx-interval 10 s, broadcasts every 50 ms)"
for loop in hairpin cable; do
    nifs=n1 ports=ge1
    [ $loop = cable ] && nifs=n1,n2 ports=ge1,ge2
    [ $loop = hairpin ] && { nbr link set n1 nomaster; nbr link set n1 master hp1; }
    echo " $loop: $ports"
    for p in ${ports//,/ }; do cli -c "interface $p" -c "loop-detect enable"; done
    : >"$work/a"
    for i in $(seq "$runs"); do
        # Past the start phase (frames at 0, 1, 2 s), then a moment unrelated to the schedule.
        sleep "3.$((RANDOM % 1000))"
        sleep "$((RANDOM % 10)).$((RANDOM % 1000))"
        loop_run "$nifs" "$ports" ${loop}_on ${loop}_off 15
        # The admin down may follow a moment after the first sign of the cut.
        sleep 0.3
        for p in ${ports//,/ }; do
            admin_down $p && cli -c "interface $p" -c "loop-detect force up"
        done
        wait_up ${ports//,/ }
    done
    talk_check
    loop_summary
    for p in ${ports//,/ }; do cli -c "interface $p" -c "no loop-detect enable"; done
    [ $loop = hairpin ] && { nbr link set n1 nomaster; nbr link set n1 master cb12; }
done
nbr link set n1 nomaster
nbr link set n1 master hp1
if [ "${LLDPD:-0}" = 1 ]; then
    echo "  with lldpd: $(grep -c ', shut down (neighbour ' "$work/veskd.log") cuts logged with the neighbour; $(grep -c '^veskd_' "$work/metrics/veskd.prom") metric lines"
fi
fi

if part B; then
echo "B: ge1 and ge2 cabled together, both start sending at once: ports cut per loop"
talk_stop
nbr link set n1 nomaster
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
