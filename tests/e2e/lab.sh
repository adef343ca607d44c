# What the lab scripts share, sourced once $build (the build tree) and $work (their files) are set.
frames=$(dirname "${BASH_SOURCE[0]}")/frames.py
namespaces=()
# netns NAME...: fresh network namespaces without IPv6, each added to $namespaces.
netns() {
    for ns; do
        ip netns add "$ns" || return 1
        namespaces+=("$ns")
        ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
        ip -n "$ns" link set lo up
    done
}
# until_ok SECONDS CMD...: CMD holds within SECONDS (polled).
until_ok() { local end=$((SECONDS + $1)); shift; until "$@"; do ((SECONDS < end)) || return 1; sleep 0.1; done; }
# cli NAME COMMAND...: the vty of veskd NAME.
cli() { local vty=$work/$1vty; shift; VESK_VTY_SOCKET=$vty "$build/tools/vesk-cli" "${@/#/-c}"; }
# frames NAMESPACE INTERFACE MODE ARGS...: what tests/e2e/frames.py sends or counts there.
frames() { ip netns exec "$1" /usr/bin/python3 "$frames" "${@:2}"; }
# veskd NAME NAMESPACE BRIDGE: a veskd on the bridge, its files $work/NAME{conf,log,state,vty,out};
# ready once its vty answers.
veskd() {
    VESK_BRIDGE=$3 VESK_STATE=$work/$1state VESK_VTY_SOCKET=$work/$1vty ip netns exec "$2" \
        "$build/vesk/veskd" -f "$work/$1conf" -P 0 >"$work/$1out" 2>&1 &
    until_ok 20 cli "$1" "show loop-detect" >/dev/null 2>&1 ||
        { echo "FAIL veskd on $3 of $2 did not start"; cat "$work/$1out"; return 1; }
}
