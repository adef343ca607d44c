#!/usr/bin/env bash
# Switches running veskd side by side (root): each a network namespace with bridge br0 and a
# veskd of its own, bridge-wide "loop-detect enable". One loop costs one link, and the switch
# nearest the loop acts.
#   pair     two switches joined by two cables, the second plugged while both run: exactly one
#            cable is cut and the switches stay linked;
#   edge     distribution switch C above access switch A, a host behind C talking, a cable
#            between two edge ports of A: A cuts an edge port, C keeps its link to A.
# (With no veskd behind the port any more, a hold-off ends in a cut: integration's neighbours.scn.)
# Usage: multi_switch.sh BUILD_DIR [RUNS] [CASES...]   (default: 3 runs of every case);
# VESK_EXTRA_CONF adds a line to every switch's configuration ("loop-detect hold-off 0" gives
# the behaviour of a veskd that never yields, for comparison).
# Prints one line a run and "N of N runs" a case; exits 1 when any run failed.
set -uo pipefail
build=$(realpath "${1:?usage: multi_switch.sh BUILD_DIR [RUNS] [CASES...]}")
runs=${2:-3}
shift $(($# < 2 ? $# : 2))
cases=("$@")
((${#cases[@]})) || cases=(pair edge)
[ "$(id -u)" = 0 ] || { echo "needs root" >&2; exit 1; }
[ -x "$build/vesk/veskd" ] && [ -x "$build/tools/vesk-cli" ] ||
    { echo "build veskd and vesk-cli in $build first" >&2; exit 1; }

tag=ms$$
work=$(mktemp -d /tmp/vesk-multi-XXXXXX)
source "$(dirname "$(realpath "$0")")/lab.sh"

teardown() {
    kill $(jobs -p) 2>/dev/null
    wait
    for ns in "${namespaces[@]}"; do
        ip netns pids "$ns" 2>/dev/null | xargs -r kill -9 2>/dev/null
        ip netns del "$ns" 2>/dev/null
    done
    namespaces=()
}
trap 'teardown; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

# switch X MAC: a namespace with bridge br0 of that MAC.
switch() {
    netns "$tag$1" && ip -n "$tag$1" link add br0 address "$2" type bridge &&
        ip -n "$tag$1" link set br0 up
}

# cable X PORT Y PORT: a cable between ports of two switches (or two ports of one), both in br0.
cable() {
    ip link add "$2" netns "$tag$1" type veth peer name "$4" netns "$tag$3" || return 1
    ip -n "$tag$1" link set "$2" master br0 up && ip -n "$tag$3" link set "$4" master br0 up
}

# run X: veskd on switch X, ready once its vty answers.
run() {
    printf 'log file %s/%slog\nloop-detect enable\n%s\n' "$work" "$1" "${VESK_EXTRA_CONF:-}" >"$work/$1conf"
    veskd "$1" "$tag$1" br0
}

# down X PORT: the port is administratively down.
down() { (( ($(ip netns exec "$tag$1" cat "/sys/class/net/$2/flags") & 1) == 0 )); }
cut_cable() { down "$1" "$2" || down "$3" "$4"; }

# settle CMD...: waits up to 10 s for the first cut (CMD holds), then long enough for a switch
# that held off to probe and cut too if it were going to: what is cut then is the outcome.
settle() {
    until_ok 10 "$@"
    sleep 2
}
any_cut() {
    local pair
    for pair in "$@"; do
        # shellcheck disable=SC2086
        cut_cable $pair && return 0
    done
    return 1
}

# Each case builds its switches, gives the first frames time to tell the switches of each other
# (the start phase's three frames go out in the first two seconds), makes the loop, waits, and
# prints what was cut; "ok" first when the case's rule held.
case_pair() {
    switch a 02:00:00:00:0a:00 && switch b 02:00:00:00:0b:00 && cable a l1 b l1 || return 1
    run a && run b || return 1
    sleep 3
    cable a l2 b l2 || return 1
    settle any_cut "a l1 b l1" "a l2 b l2"
    local cut=0 which=
    cut_cable a l1 b l1 && cut=$((cut + 1)) which+=" l1"
    cut_cable a l2 b l2 && cut=$((cut + 1)) which+=" l2"
    [ "$cut" = 1 ] && printf 'ok '
    echo "cables cut: $cut ($which )"
}

case_edge() {
    switch c 02:00:00:00:0c:00 && switch a 02:00:00:00:0d:00 && cable c c2a a a2c || return 1
    netns "$tag"h && ip link add h1 netns "$tag"c type veth peer name eth0 netns "$tag"h || return 1
    ip -n "$tag"c link set h1 master br0 up && ip -n "$tag"h link set eth0 up || return 1
    run c && run a || return 1
    frames "$tag"h eth0 talk >/dev/null 2>&1 &
    sleep 3
    cable a e1 a e2 || return 1
    settle any_cut "a e1 a e2" "c c2a a a2c"
    local edge=0
    down a e1 && edge=$((edge + 1))
    down a e2 && edge=$((edge + 1))
    cut_cable c c2a a a2c && { echo "the link between C and A was cut; A's edge ports cut: $edge"; return 0; }
    [ "$edge" = 1 ] && printf 'ok '
    echo "A's edge ports cut: $edge, the link between C and A kept"
}

failed=0
for c in "${cases[@]}"; do
    good=0
    for i in $(seq "$runs"); do
        rm -f "$work"/*
        "case_$c" >"$work/result" || echo "set-up failed" >"$work/result"
        teardown
        line=$(<"$work/result")
        echo "$c run $i: $line"
        [[ $line == ok\ * ]] && good=$((good + 1)) && continue
        grep -H '' "$work"/*log 2>/dev/null | sed "s|^$work/\(.*\)log:|  \1: |"
    done
    echo "$c: $good of $runs runs"
    [ "$good" = "$runs" ] || failed=1
done
exit "$failed"
