#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks for building and testing, and
# fetches Debian's zstd source package for the Windows build. Idempotent and
# silent when everything is already in place.
#   scripts/deps.sh [--bench|--release]   (--bench adds the benchmark tools,
#                                         --release those of the release check)
#
# Every failure names what failed; apt's own output, hidden while it
# succeeds, is shown when it does not. The trap reports in the main shell
# only: a failure inside a command substitution or subshell is reported once,
# by the line that ran it.
set -Eeuo pipefail
trap 'status=$?; [ "$BASH_SUBSHELL" -ne 0 ] ||
      echo "deps: failed (status $status) at line $LINENO: $BASH_COMMAND" >&2' ERR

top=$(cd "$(dirname "$0")/.." && pwd)
zstd_dir="$top/build/deps/zstd"

packages=(cmake ninja-build make g++ pkg-config g++-mingw-w64-x86-64-posix
          wine wine64 libzstd-dev zstd googletest libgtest-dev dpkg-dev xz-utils
          clang lld llvm libclang-rt-14-dev python3 osslsigncode openssl gdb
          elfutils)
if [ "${1:-}" = "--bench" ]; then
    # libpython3.11-dev: the onefile CPython embeds the interpreter.
    packages+=(hyperfine makeself time python3.11 libpython3.11-dev)
fi
if [ "${1:-}" = "--release" ]; then
    packages+=(debootstrap unzip)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# Runs a command with its output kept aside. When the command fails, prints
# the command and its output and ends the script with its status.
quiet() {
    local log status=0
    log=$(mktemp)
    "$@" >"$log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        echo "deps: '$*' failed with status $status; its output:" >&2
        cat "$log" >&2
        rm -f "$log"
        exit "$status"
    fi
    rm -f "$log"
}

apt_updated=0
apt_update() {
    [ $apt_updated -eq 1 ] && return
    quiet as_root apt-get update -q
    apt_updated=1
}

if [ ${#missing[@]} -gt 0 ]; then
    echo "deps: installing ${missing[*]}"
    apt_update
    quiet as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        "${missing[@]}"
fi

# zstd source for the mingw build, from Debian's own source package.
if [ ! -f "$zstd_dir/lib/zstd.h" ]; then
    # The deb-src entry names the same mirror as the machine's own entry for
    # Debian's main archive; empty when there is one already.
    entry=$("$top/scripts/deb-src-entry.sh")
    if [ -n "$entry" ]; then
        echo "deps: adding a deb-src entry for Debian's source packages"
        printf '%s\n' "$entry" | as_root tee /etc/apt/sources.list.d/talvor-deb-src.sources >/dev/null
        apt_updated=0
    fi
    apt_update
    echo "deps: fetching Debian's zstd source package"
    tmp=$(mktemp -d); chmod 755 "$tmp"
    (cd "$tmp" && quiet apt-get source --download-only -q zstd)
    orig=$(find "$tmp" -maxdepth 1 -name '*zstd_*.orig.tar.*' ! -name '*.asc' | head -n 1)
    if [ -z "$orig" ]; then
        echo "deps: apt-get source left no *zstd_*.orig.tar.* in $tmp" >&2
        exit 1
    fi
    mkdir -p "$zstd_dir"
    tar -xf "$orig" -C "$zstd_dir" --strip-components=1
    rm -rf "$tmp"
fi
