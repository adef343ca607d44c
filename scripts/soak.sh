#!/usr/bin/env bash
# Soak: veskd on the socket backends (no root) for an hour of loops made and removed, link flaps,
# force up, VLAN changes from the module and configuration changes, a step every second or so.
# Reports veskd's resident memory, open descriptors and live records per type ("show memory") at
# the start and the end, and fails when any of them grew (memory by more than 512 KiB, which
# allocator caching can account for). Not part of the test command.
#
#   scripts/soak.sh [BUILD_DIR]          SOAK_SECONDS=3600 by default; SOAK_SEED picks the steps
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
seconds=${SOAK_SECONDS:-3600}
RANDOM=${SOAK_SEED:-20261206}
ports=8
for tool in vesk/veskd tools/vesk-nsm-peer tools/vesk-wire tools/vesk-cli; do
    [ -x "$build/$tool" ] || { echo "missing $build/$tool (build it first)" >&2; exit 2; }
done

work=$(mktemp -d /tmp/vesk-soak.XXXXXX)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

mkfifo "$work/nsm.in" "$work/wire.in"
"$build/tools/vesk-nsm-peer" "$work/nsm.sock" <"$work/nsm.in" >"$work/nsm.out" &
pids+=($!)
exec {nsm_fd}>"$work/nsm.in"
"$build/tools/vesk-wire" "$work/wire.sock" <"$work/wire.in" >"$work/wire.out" &
pids+=($!)
exec {wire_fd}>"$work/wire.in"

nsm() { echo "$*" >&"$nsm_fd"; }
wire() { echo "$*" >&"$wire_fd"; }
cli() { "$build/tools/vesk-cli" -s "$work/vty" -t 10 "${@/#/-c}" >/dev/null 2>&1 || true; }

for i in $(seq 1 "$ports"); do nsm "if-add $((100 + i)) ge$i up 02:00:00:00:01:$(printf %02x "$i")"; done
nsm "bridge-add 1"
for vid in 1 10 20; do nsm "vlan-add 1 $vid"; done
for i in $(seq 1 "$ports"); do nsm "port-add $((100 + i)) 1 10"; done
for _ in $(seq 1 200); do [ -S "$work/nsm.sock" ] && [ -S "$work/wire.sock" ] && break; sleep 0.05; done

printf 'log file %s/veskd.log\nloop-detect enable\n' "$work" >"$work/veskd.conf"
VESK_NSM=unix:$work/nsm.sock VESK_FRAME=unix:$work/wire.sock VESK_VTY_SOCKET=$work/vty \
    "$build/vesk/veskd" -f "$work/veskd.conf" -P 0 >"$work/veskd.out" 2>&1 &
pid=$!
pids+=("$pid")
for _ in $(seq 1 200); do [ -S "$work/vty" ] && break; sleep 0.05; done

snapshot() { # NAME
    {
        echo "rss_kib $(awk '/VmRSS/ {print $2}' "/proc/$pid/status")"
        echo "descriptors $(ls "/proc/$pid/fd" | wc -l)"
        "$build/tools/vesk-cli" -s "$work/vty" -c "show memory" | awk '$1 ~ /^[0-9]+$/ {print "type_" $1, $NF}'
    } >"$work/$1"
}

# The picture both snapshots are taken in: no loops, every port protecting VLAN 1 only with the
# default intervals, released, its link up, and sending again.
settle() {
    for i in $(seq 1 "$ports"); do wire "drop $((100 + i))"; done
    for i in $(seq 1 "$ports"); do
        cli "configure terminal" "interface ge$i" "no loop-detect protect vlan all" \
            "loop-detect protect vlan 1" "no loop-detect tx-interval time" "loop-detect force up" "end"
        nsm "link-up $((100 + i))"
    done
    sleep 5
}

# Every port looped and released once first, so that first-use allocations are behind us.
for i in $(seq 1 "$ports"); do wire "reflect $((100 + i))"; done
sleep 3
settle
snapshot start

end=$((SECONDS + seconds))
steps=0
while [ "$SECONDS" -lt "$end" ]; do
    p=$((1 + RANDOM % ports))
    ifx=$((100 + p))
    case $((RANDOM % 9)) in
    0) wire "reflect $ifx" ;;
    1) wire "drop $ifx" ;;
    2) wire "cable $ifx $((100 + 1 + RANDOM % ports))" ;;
    3) nsm "link-down $ifx"; sleep 0.2; nsm "link-up $ifx" ;;
    4) cli "configure terminal" "interface ge$p" "loop-detect force up" "end" ;;
    5) cli "configure terminal" "interface ge$p" "loop-detect tx-interval time $((10 + RANDOM % 291))" \
        "loop-detect protect vlan $((1 + RANDOM % 30))" "end" ;;
    6) cli "configure terminal" "interface ge$p" "no loop-detect protect vlan all" "loop-detect enable" "end" ;;
    7) nsm "port-add $ifx 20"; sleep 0.2; nsm "port-del $ifx 20" ;;
    8) cli "show loop-detect" "show wmi loop-detect" "show running-config" ;;
    esac
    steps=$((steps + 1))
    kill -0 "$pid" || { echo "veskd died after $steps steps" >&2; exit 1; }
    sleep 1
done

settle
snapshot end

echo "== $steps steps in $seconds s"
join -a1 -a2 -e 0 -o 0,1.2,2.2 <(sort "$work/start") <(sort "$work/end") |
    awk '{printf "%-28s %10s -> %10s\n", $1, $2, $3}'
join -a1 -a2 -e 0 -o 0,1.2,2.2 <(sort "$work/start") <(sort "$work/end") | awk '
    $1 == "rss_kib" && $3 > $2 + 512 { bad = 1; print "memory grew" }
    $1 == "descriptors" && $3 > $2 { bad = 1; print "descriptors grew" }
    $1 ~ /^type_/ && $3 > $2 { bad = 1; print "live records grew: " $1 }
    END { exit bad }'
