#!/usr/bin/env bash
# Builds the Debian package dist/veskd_VERSION_ARCH.deb from a clean copy of the source tree
# (the files git knows, so no build directory leaks in), installing what the build needs first
# (as root). Then checks the package: the files it must hold, its man pages rendered without a
# warning, its systemd unit verified against the package's own files, and lintian's verdict.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
start=$SECONDS

tools=(dpkg-dev debhelper lintian man-db systemd git)
missing=()
for p in "${tools[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
export DEBIAN_FRONTEND=noninteractive
apt_updated=
apt_update() {
    [ -n "$apt_updated" ] || apt-get update -q
    apt_updated=1
}
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    apt_update
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

version=$(dpkg-parsechangelog -l debian/changelog -S Version)
project_version=$(sed -n 's/^project(veskd VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
if [ "$version" != "$project_version" ]; then
    echo "debian/changelog is at $version but CMakeLists.txt at $project_version" >&2
    exit 1
fi

work=$(mktemp -d /tmp/veskd-package-XXXXXX)
trap 'rm -rf "$work"' EXIT
src=$work/veskd-$version
mkdir "$src"
git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    tar --null -T - -cf - | tar -xf - -C "$src"

if ! (cd "$src" && dpkg-checkbuilddeps 2>/dev/null); then
    echo "installing the build dependencies"
    apt_update
    apt-get build-dep -y -q "$src"
fi

echo "== building veskd $version"
(cd "$src" && DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" \
    dpkg-buildpackage -b -us -uc >"$work/build.log" 2>&1) || {
    tail -50 "$work/build.log" >&2
    exit 1
}
arch=$(dpkg --print-architecture)
deb=dist/veskd_${version}_${arch}.deb
mkdir -p dist
cp "$work/veskd_${version}_${arch}.deb" "$deb"

echo "== checking $deb"
failed=0
listing=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
for path in ./usr/sbin/veskd ./usr/bin/vesk-cli ./usr/bin/vesk-nsm-peer ./usr/bin/vesk-wire \
    "./usr/lib/$(dpkg-architecture -q DEB_HOST_MULTIARCH)/veskd/libzet.so.1" \
    ./lib/systemd/system/veskd.service ./etc/veskd/veskd.conf ./etc/default/veskd \
    ./usr/share/man/man8/veskd.8.gz ./usr/share/man/man1/vesk-cli.1.gz \
    ./usr/share/man/man5/veskd.conf.5.gz ./usr/share/man/man1/vesk-nsm-peer.1.gz \
    ./usr/share/man/man1/vesk-wire.1.gz; do
    if ! grep -qxF -- "$path" <<<"$listing"; then
        echo "missing from the package: $path" >&2
        failed=1
    fi
done
for conffile in /etc/veskd/veskd.conf /etc/default/veskd; do
    if ! dpkg-deb -I "$deb" conffiles | grep -qxF "$conffile"; then
        echo "not a conffile: $conffile" >&2
        failed=1
    fi
done

tree=$work/tree
dpkg-deb -x "$deb" "$tree"
for page in "$tree"/usr/share/man/man*/*; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    if [ -n "$warnings" ]; then
        echo "man page ${page#"$tree"} renders with warnings:" >&2
        echo "$warnings" >&2
        failed=1
    fi
done
# The unit is verified inside the package's tree (its program and man pages), with the
# system's own units beside it for the targets it names.
cp -an /lib/systemd/system/. "$tree/lib/systemd/system/"
verify=$(MANPATH=$tree/usr/share/man systemd-analyze verify --root="$tree" veskd.service 2>&1)
if [ -n "$verify" ]; then
    echo "systemd-analyze verify veskd.service:" >&2
    echo "$verify" >&2
    failed=1
fi
systemd-analyze security --offline=yes --root="$tree" veskd.service 2>&1 | tail -1

echo "== lintian"
lintian --info --display-info "$deb" || failed=1

if [ "$failed" != 0 ]; then
    echo "package check failed" >&2
    exit 1
fi
echo "== $deb built and checked in $((SECONDS - start)) s"
