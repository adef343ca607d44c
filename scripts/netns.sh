# Two network namespaces for scripts that run veskd on real Linux bridges (root): $sw for the
# switch and $nb for its neighbours. Source this file once both names are set; netns_make
# creates them with IPv6 off and loopback up. On exit they are deleted with whatever still runs
# in them, after the script's own netns_before_delete where it defines one.
# shellcheck shell=bash

netns_make() {
    for ns in "$sw" "$nb"; do
        ip netns add "$ns"
        ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 \
            net.ipv6.conf.default.disable_ipv6=1
        ip -n "$ns" link set lo up
    done
}

netns_cleanup() {
    trap - EXIT INT TERM
    if declare -F netns_before_delete >/dev/null; then
        netns_before_delete
    fi
    for ns in "$sw" "$nb"; do
        ip netns pids "$ns" 2>/dev/null | xargs -r kill -9 2>/dev/null || true
        ip netns del "$ns" 2>/dev/null || true
    done
}

trap netns_cleanup EXIT
trap 'exit 130' INT TERM
