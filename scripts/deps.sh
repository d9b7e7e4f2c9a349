#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks for building and testing, and
# fetches Debian's zstd source package for the Windows build. Idempotent and
# silent when everything is already in place.
#   scripts/deps.sh [--bench]     (--bench adds the benchmark tools)
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
zstd_dir="$top/build/deps/zstd"

packages=(cmake ninja-build make g++ pkg-config g++-mingw-w64-x86-64-posix
          wine wine64 libzstd-dev zstd googletest libgtest-dev dpkg-dev xz-utils
          clang libclang-rt-14-dev python3)
if [ "${1:-}" = "--bench" ]; then
    packages+=(hyperfine makeself time)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

apt_updated=0
apt_update() {
    [ $apt_updated -eq 1 ] && return
    as_root apt-get update -qq >/dev/null
    apt_updated=1
}

if [ ${#missing[@]} -gt 0 ]; then
    echo "deps: installing ${missing[*]}"
    apt_update
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null 2>&1
fi

# zstd source for the mingw build, from Debian's own source package.
if [ ! -f "$zstd_dir/lib/zstd.h" ]; then
    src_list=/etc/apt/sources.list.d/talvor-deb-src.sources
    if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
        echo "deps: adding a deb-src entry for Debian's source packages"
        # Only the main archive carries source packages; security updates
        # of zstd are not needed for the decoder we build.
        uri=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources 2>/dev/null)
        printf 'Types: deb-src\nURIs: %s\nSuites: bookworm\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
            "${uri:-http://deb.debian.org/debian}" | as_root tee "$src_list" >/dev/null
        apt_updated=0
    fi
    apt_update
    echo "deps: fetching Debian's zstd source package"
    tmp=$(mktemp -d); chmod 755 "$tmp"
    (cd "$tmp" && apt-get source --download-only -qq zstd >/dev/null)
    orig=$(ls "$tmp"/*zstd_*.orig.tar.* | head -n 1)
    mkdir -p "$zstd_dir"
    tar -xf "$orig" -C "$zstd_dir" --strip-components=1
    rm -rf "$tmp"
fi
