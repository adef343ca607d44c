#!/usr/bin/env bash
# Runs a script as root in a qemu guest on Debian's own kernel, whose bridge filters VLANs and
# which has 802.1Q: the kernels we build on have neither.
#   vmlab.sh SCRIPT [ARGS...]
# The guest's root is this machine's / (read-only over 9p, under a tmpfs overlay), so the
# script, the build tree and every tool are where they are here; writes stay in the guest. The
# kernel's modules are under /lib/modules, for modprobe. SCRIPT runs with bash in the current
# directory; its output is printed here and its status is vmlab.sh's.
# Exits 77 (skipped) with a line saying why when this machine has no qemu.
# Environment: VESK_VMLAB_CACHE (where the kernel and initramfs are kept, default
# ~/.cache/vesk-vmlab), VESK_VMLAB_ACCEL (kvm, tcg or auto: KVM when it boots the kernel, else
# emulation), VESK_VMLAB_TIMEOUT (seconds, default 600), VESK_VMLAB_MEM (MiB, default 1024).
set -euo pipefail
script=$(realpath "${1:?usage: vmlab.sh SCRIPT [ARGS...]}")
shift
qemu=$(command -v qemu-system-x86_64 || true)
if [ -z "$qemu" ]; then
    echo "vmlab: skipped: no qemu-system-x86_64 (apt-get install qemu-system-x86 busybox-static kmod)"
    exit 77
fi
for tool in busybox depmod; do
    command -v "$tool" >/dev/null || { echo "vmlab: $tool is missing (scripts/deps.sh)" >&2; exit 1; }
done
cache=${VESK_VMLAB_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vesk-vmlab}
mkdir -p "$cache"
cache=$(realpath "$cache")

# The kernel package linux-image-amd64 points to, unpacked once; guests of one cache share it.
prepare_kernel() {
    local pkg deb
    pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/.*Depends: \(linux-image-[^ ]*\)/\1/p' | head -1)
    [ -n "$pkg" ] || { echo "vmlab: apt-cache knows no linux-image-amd64 (apt-get update?)" >&2; return 1; }
    if [ ! -e "$cache/$pkg/ready" ]; then
        rm -rf "${cache:?}/$pkg"
        mkdir -p "$cache/$pkg"
        (cd "$cache/$pkg" && apt-get download "$pkg" >/dev/null 2>&1) ||
            { echo "vmlab: apt-get download $pkg failed" >&2; return 1; }
        deb=$(ls "$cache/$pkg"/*.deb)
        dpkg -x "$deb" "$cache/$pkg/root"
        rm -f "$deb"
        depmod -b "$cache/$pkg/root" "$(ls "$cache/$pkg/root/lib/modules")"
        touch "$cache/$pkg/ready"
    fi
    echo "$pkg"
}

# The initramfs: busybox, the modules that reach the root over 9p, and /init, which mounts the
# root, binds the kernel's modules into it and hands over to the second stage there.
prepare_initramfs() {
    local dir=$1 kver=$2 tmp mod
    [ -e "$dir/initramfs.cpio" ] && return 0
    tmp=$(mktemp -d "$cache/initramfs.XXXXXX")
    mkdir -p "$tmp/bin" "$tmp/mods" "$tmp/proc" "$tmp/sys" "$tmp/dev" "$tmp/lower" "$tmp/rw" "$tmp/root"
    cp "$(command -v busybox)" "$tmp/bin/busybox"
    for mod in $(modprobe -d "$dir/root" -S "$kver" --show-depends -a virtio_pci 9pnet_virtio 9p overlay |
        awk '$1 == "insmod" { print $2 }'); do
        grep -qx "$(basename "$mod")" "$tmp/mods/order" 2>/dev/null && continue
        cp "$mod" "$tmp/mods/"
        basename "$mod" >>"$tmp/mods/order"
    done
    cat >"$tmp/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for m in $(cat /mods/order); do insmod /mods/$m; done
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=512000,cache=mmap host /lower
mount -t tmpfs -o size=70% tmpfs /rw
mkdir -p /rw/upper /rw/work
mount -t overlay overlay -o lowerdir=/lower,upperdir=/rw/upper,workdir=/rw/work /root
cp /stage2 /root/vmlab-stage2
umount /proc /sys /dev
exec switch_root /root /bin/sh /vmlab-stage2
EOF
    cat >"$tmp/stage2" <<'EOF'
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
ln -s /proc/self/fd /dev/fd
mount -t tmpfs tmpfs /run
mkdir -p /vmlab-out
mount -t 9p -o trans=virtio,version=9p2000.L out /vmlab-out
kver=$(uname -r)
mkdir -p /lib/modules/$kver
mount --bind "$(cat /vmlab-out/modules)" /lib/modules/$kver
hostname vmlab
ip link set lo up
bash /vmlab-out/cmd >/vmlab-out/log 2>&1
echo $? >/vmlab-out/rc
sync
busybox poweroff -f
EOF
    chmod +x "$tmp/init"
    (cd "$tmp" && find . | busybox cpio -o -H newc >"$dir/initramfs.cpio" 2>/dev/null)
    rm -rf "$tmp"
}

exec 9>"$cache/lock"
flock 9
pkg=$(prepare_kernel)
kdir=$cache/$pkg
kver=$(ls "$kdir/root/lib/modules")
prepare_initramfs "$kdir" "$kver"
flock -u 9

out=$(mktemp -d /tmp/vesk-vmlab-XXXXXX)
trap '[ -n "${VMLAB_KEEP:-}" ] || rm -rf "$out"' EXIT
echo "$kdir/root/lib/modules/$kver" >"$out/modules"
{
    printf 'cd %q || exit 1\n' "$PWD"
    printf 'export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root\n'
    printf 'exec bash %q' "$script"
    printf ' %q' "$@"
    printf '\n'
} >"$out/cmd"

# boot ACCEL [SECONDS]: one guest, its serial console in $out/console; 0 when the script ran.
boot() {
    local accel=(-accel tcg,thread=multi -cpu max)
    [ "$1" = kvm ] && accel=(-accel kvm -cpu host)
    rm -f "$out/rc"
    timeout "${2:-${VESK_VMLAB_TIMEOUT:-600}}" "$qemu" "${accel[@]}" -smp 2 -m "${VESK_VMLAB_MEM:-1024}" \
        -nodefaults -display none -no-reboot -serial "file:$out/console" \
        -kernel "$kdir/root/boot/vmlinuz-$kver" -initrd "$kdir/initramfs.cpio" \
        -append "console=ttyS0 quiet loglevel=3 panic=-1 rdinit=/init" \
        -virtfs local,path=/,mount_tag=host,security_model=none,readonly=on \
        -virtfs "local,path=$out,mount_tag=out,security_model=none" \
        -device virtio-rng-pci >/dev/null 2>&1 || true
    [ -e "$out/rc" ]
}

# A KVM that cannot boot a stock kernel (a paravirtual one) fails at once or hangs: one empty
# boot tells, remembered for this kernel on this host.
choose_accel() {
    local verdict=$cache/accel-$kver-$(uname -r)
    [ -w /dev/kvm ] || { echo tcg; return; }
    if [ ! -e "$verdict" ]; then
        mv "$out/cmd" "$out/cmd.script"
        echo 'exit 0' >"$out/cmd"
        if boot kvm 30; then echo kvm; else echo tcg; fi >"$verdict"
        mv "$out/cmd.script" "$out/cmd"
    fi
    cat "$verdict"
}

accel=${VESK_VMLAB_ACCEL:-auto}
[ "$accel" = auto ] && accel=$(choose_accel)
start=$SECONDS
# Emulation on a loaded machine has panicked a guest while it booted, before the script began
# (no log yet): a second boot then runs nothing twice.
if ! boot "$accel" && { [ -e "$out/log" ] || ! boot "$accel"; }; then
    echo "vmlab: the guest ($accel) did not finish the script; its console:" >&2
    tail -n 40 "$out/console" >&2
    exit 1
fi
cat "$out/log"
echo "vmlab: guest ($accel, $kver) ran for $((SECONDS - start)) s" >&2
exit "$(cat "$out/rc")"
