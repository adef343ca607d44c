#!/usr/bin/env bash
# The live demonstration (as root): builds veskd, builds a small switch out of network
# namespaces and a Linux bridge, puts loops behind its ports, and shows veskd finding them,
# shutting the looped ports down, and catching a loop again after "loop-detect force up".
# Everything it makes is removed at the end, also when interrupted.
# Usage: scripts/demo.sh [BUILD_DIR]   (with BUILD_DIR, an existing build is used as it is;
# without, only veskd and vesk-cli are built, in build-demo)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [ "$(id -u)" != 0 ]; then
    echo "demo.sh needs root (it creates network namespaces)" >&2
    exit 1
fi

if [ $# -ge 1 ]; then
    build=$(realpath "$1")
else
    scripts/deps.sh
    build=$root/build-demo
    cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc \
        -DVESK_TESTS=OFF -DVESK_BENCH=OFF -DVESK_MAN=OFF >/dev/null
    cmake --build "$build" -j "$(nproc)" --target veskd vesk-cli
fi
veskd=$build/vesk/veskd
cli_bin=$build/tools/vesk-cli

sw=dmnD$$s
nb=dmnD$$n
work=$(mktemp -d /tmp/dmn-demo-XXXXXX)
veskd_pid=

netns_before_delete() {
    if [ -n "$veskd_pid" ]; then
        kill "$veskd_pid" 2>/dev/null || true
        wait "$veskd_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
source "$root/scripts/netns.sh"
trap 'echo; echo "interrupted: cleaning up"; exit 130' INT TERM

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
cli() { VESK_VTY_SOCKET=$work/vty "$cli_bin" "$@"; }
# Waits up to $1 seconds for the command after it to succeed.
wait_until() {
    local limit=$1
    shift
    local end=$((SECONDS + limit))
    until "$@"; do
        [ $SECONDS -lt $end ] || return 1
        sleep 0.1
    done
}
admin_down() { ! ip -n "$sw" -o link show "$1" | grep -q '[<,]UP[,>]'; }
admin_up() { ip -n "$sw" -o link show "$1" | grep -q '[<,]UP[,>]'; }
log_has() { [ "$(grep -c -- "$1" "$work/veskd.log" 2>/dev/null)" -ge "${2:-1}" ]; }
ring_cut() { admin_down ge2 || admin_down ge3; }
fail() {
    echo "demo failed: $*" >&2
    sed 's/^/    /' "$work/veskd.log" >&2 || true
    exit 1
}
ports() { ip -n "$sw" -br link show master br0 | awk '{ printf "    %-6s %s\n", $1, $2 }' | sed 's/@[^ ]*//'; }

say "A switch: bridge br0 with ports ge1..ge4 in namespace $sw"
netns_make
ip -n "$sw" link add br0 address 02:00:00:00:00:01 type bridge
for i in 1 2 3 4; do
    ip -n "$sw" link add "ge$i" address "02:00:00:00:01:0$i" type veth \
        peer name "n$i" address "02:00:00:00:02:0$i" netns "$nb"
    ip -n "$sw" link set "ge$i" master br0
    ip -n "$sw" link set "ge$i" up
    ip -n "$nb" link set "n$i" up
done
ip -n "$sw" link set br0 up

say "The neighbours, in namespace $nb"
echo "    behind ge1: a device that reflects every frame (a bridge port with hairpin on)"
ip -n "$nb" link add hp1 type bridge
ip -n "$nb" link set n1 master hp1
ip -n "$nb" link set dev n1 type bridge_slave hairpin on
ip -n "$nb" link set hp1 up
echo "    behind ge2 and ge3: one bridge cabled to both ports, a loop through br0"
ip -n "$nb" link add cb23 type bridge
ip -n "$nb" link set n2 master cb23
ip -n "$nb" link set n3 master cb23
ip -n "$nb" link set cb23 up
echo "    behind ge4: an ordinary host, no loop"

say "The configuration: loop detection on for the whole bridge"
cat >"$work/veskd.conf" <<CONF
log file $work/veskd.log
loop-detect enable
CONF
sed 's/^/    /' "$work/veskd.conf"

say "Starting veskd in the switch namespace (kernel NSM over rtnetlink, AF_PACKET frames)"
ip netns exec "$sw" env VESK_VTY_SOCKET="$work/vty" "$veskd" -f "$work/veskd.conf" -P 0 &
veskd_pid=$!
wait_until 10 test -S "$work/vty" || fail "veskd did not start"
echo "    veskd runs as pid $veskd_pid; each port sends a detection frame now, at 1 s and 2 s"

say "Within a second or two the looped ports are shut down"
wait_until 10 admin_down ge1 || fail "ge1 was not shut down"
wait_until 10 ring_cut || fail "neither ge2 nor ge3 was shut down"
echo "  the log:"
grep -- 'loop on the port' "$work/veskd.log" | sed 's/^/    /'
echo "  the ports (admin state as the kernel has it):"
ports
echo "  veskd's view:"
cli -c "show loop-detect" | sed 's/^/    /'

say "The operator forces ge1 up; the loop behind it is still there"
echo "    vesk-cli -c \"configure terminal\" -c \"interface ge1\" -c \"loop-detect force up\""
cli -c "configure terminal" -c "interface ge1" -c "loop-detect force up"
wait_until 5 log_has "Cancel a loop on the port ge1" 1 || fail "ge1 was not released"
wait_until 15 log_has "Detect a loop on the port ge1" 2 || fail "the loop was not found again"
wait_until 5 admin_down ge1 || fail "ge1 was not shut down again"
echo "  a second later veskd releases ge1; its link comes back, it sends at once, and its"
echo "  frame returns again, so it is shut down again within milliseconds:"
grep -- 'on the port ge1\|nsm: ge1' "$work/veskd.log" | sed 's/^/    /'
ports | grep ge1

say "Stopping veskd: ports it shut down stay shut down until their cause is fixed"
kill "$veskd_pid"
wait "$veskd_pid" || true
veskd_pid=
ports
say "Done; removing the namespaces"
