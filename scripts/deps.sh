#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
set -euo pipefail

packages=(cmake ninja-build g++ clang clang-format libclang-rt-14-dev lld pkg-config
          libgtest-dev libgmock-dev libbenchmark-dev libmnl-dev libreadline-dev libsystemd-dev
          nlohmann-json3-dev scdoc libcrypt-dev libsodium-dev liblldpctl-dev iproute2 procps psmisc
          qemu-system-x86 busybox-static kmod jq lldpd prometheus-node-exporter curl)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    # lldpd and node exporter are services: the tests start their own, in namespaces, so the
    # machine's must not start on install. An administrator's own policy-rc.d stays.
    policy=
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        policy=/usr/sbin/policy-rc.d
        printf '#!/bin/sh\nexit 101\n' >"$policy"
        chmod 0755 "$policy"
        trap 'rm -f "$policy"' EXIT
    fi
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
