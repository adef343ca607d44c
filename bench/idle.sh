#!/usr/bin/env bash
# Whole-process figures of veskd on the socket backends (no root needed):
#  - start-up to ready: from exec to the readiness signal a "monitor" parent receives, with 512
#    ports reported by the NSM peer and a configuration of 512 interface blocks (median of RUNS);
#  - idle cost: 48 protected ports (loop detection on every port, frames every 10 s, no loop),
#    CPU over IDLE_SECONDS seconds after a warm-up, given as CPU seconds per hour and % of one core,
#    and the resident memory.
#
#   bench/idle.sh [BUILD_DIR]        IDLE_SECONDS=60 RUNS=5 by default
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
seconds=${IDLE_SECONDS:-60}
runs=${RUNS:-5}
for tool in vesk/veskd tools/vesk-nsm-peer tools/vesk-wire; do
    [ -x "$build/$tool" ] || { echo "missing $build/$tool (build it first)" >&2; exit 2; }
done

work=$(mktemp -d /tmp/vesk-idle.XXXXXX)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

# The NSM peer, fed orders through a fifo; waits until it has answered every order.
start_nsm() { # PORTS
    local ports=$1 dir=$work/nsm$1
    mkdir -p "$dir"
    mkfifo "$dir/in"
    "$build/tools/vesk-nsm-peer" "$dir/sock" <"$dir/in" >"$dir/out" &
    pids+=($!)
    exec {nsm_fd}>"$dir/in"
    {
        for i in $(seq 1 "$ports"); do
            printf 'if-add %d ge%d up 02:00:00:00:%02x:%02x\n' $((i + 100)) "$i" $((i / 256)) $((i % 256))
        done
        echo "bridge-add 1"
        echo "vlan-add 1 1"
        for i in $(seq 1 "$ports"); do echo "port-add $((i + 100)) 1"; done
    } >&"$nsm_fd"
    local want=$((2 * ports + 2))
    for _ in $(seq 1 600); do
        [ "$(wc -l <"$dir/out")" -ge "$want" ] && return 0
        sleep 0.05
    done
    echo "the NSM peer did not take its orders" >&2
    exit 1
}

# The wire drops every frame; asked "count" it says how many the daemon sent.
start_wire() {
    mkfifo "$work/wire.in"
    "$build/tools/vesk-wire" "$work/wire.sock" <"$work/wire.in" >"$work/wire.out" &
    pids+=($!)
    exec {wire_fd}>"$work/wire.in"
    for _ in $(seq 1 100); do [ -S "$work/wire.sock" ] && return 0; sleep 0.05; done
    echo "the wire did not start" >&2
    exit 1
}

# Runs veskd under a parent whose program name is "monitor"; prints the milliseconds from exec
# to the readiness signal, then leaves veskd running (its pid in $work/veskd.pid) when KEEP=1.
monitor=$work/monitor.py
cat >"$monitor" <<'PY'
import os, signal, subprocess, sys, time
got = []
signal.signal(signal.SIGRTMIN, lambda *a: got.append(time.monotonic()))
env = dict(os.environ)
t0 = time.monotonic()
p = subprocess.Popen(sys.argv[2:], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
open(sys.argv[1], "w").write(str(p.pid))
deadline = t0 + 30
while not got and time.monotonic() < deadline and p.poll() is None:
    time.sleep(0.001)
print("%.1f" % ((got[0] - t0) * 1000) if got else "none", flush=True)
if os.environ.get("KEEP") != "1":
    p.kill()
p.wait()
PY

run_veskd() { # NSM_DIR CONFIG
    VESK_NSM=unix:$1/sock VESK_FRAME=unix:$work/wire.sock VESK_VTY_SOCKET=$work/vty \
        bash -c 'exec -a monitor /usr/bin/python3 "$@"' _ "$monitor" "$work/veskd.pid" \
        "$build/vesk/veskd" -f "$2" -P 0
}

median() { sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }

start_wire

echo "== start-up to ready: 512 ports, 512 interface blocks, $runs runs"
start_nsm 512
config=$work/512.conf
{
    echo "log file $work/veskd.log"
    for i in $(seq 1 512); do
        printf 'interface ge%d\n loop-detect enable\n loop-detect tx-interval time %d\n!\n' "$i" $((10 + i % 290))
    done
} >"$config"
: >"$work/ready"
for _ in $(seq 1 "$runs"); do
    run_veskd "$work/nsm512" "$config" >>"$work/ready"
done
echo "ready after (ms): $(tr '\n' ' ' <"$work/ready")"
echo "median: $(grep -v none "$work/ready" | median) ms  (target < 200 ms)"

echo "== idle: 48 protected ports, ${seconds} s"
start_nsm 48
idle_config=$work/48.conf
printf 'log file %s/veskd48.log\nloop-detect enable\n' "$work" >"$idle_config"
KEEP=1 run_veskd "$work/nsm48" "$idle_config" >"$work/ready48" &
pids+=($!)
for _ in $(seq 1 200); do [ -s "$work/ready48" ] && break; sleep 0.05; done
pid=$(cat "$work/veskd.pid")
pids+=("$pid")
sleep 12 # past the start phase: three frames a port at one-second intervals
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)
wire_count() {
    echo count >&"$wire_fd"
    for _ in $(seq 1 100); do
        local line
        line=$(grep '^sent' "$work/wire.out" | tail -n 1)
        if [ -n "$line" ] && [ "$line" != "${1:-}" ]; then echo "$line"; return; fi
        sleep 0.05
    done
}
c0=$(wire_count)
t0=$(ticks "$pid")
sleep "$seconds"
t1=$(ticks "$pid")
c1=$(wire_count "$c0")
echo "wire before: $c0; after: $c1"
rss=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
awk -v d=$((t1 - t0)) -v hz="$hz" -v s="$seconds" -v rss="$rss" 'BEGIN {
    cpu = d / hz
    printf "CPU: %.2f s in %d s = %.1f s per hour = %.4f%% of one core  (target < 0.1%%)\n", cpu, s, cpu * 3600 / s, 100 * cpu / s
    printf "RSS: %.1f MiB  (target < 8 MiB)\n", rss / 1024
}'
