#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
set -euo pipefail

packages=(cmake ninja-build g++ clang clang-format libclang-rt-14-dev lld pkg-config
          libgtest-dev libgmock-dev libbenchmark-dev libmnl-dev libreadline-dev libsystemd-dev
          nlohmann-json3-dev scdoc libcrypt-dev libsodium-dev iproute2 procps psmisc
          qemu-system-x86 busybox-static kmod)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
