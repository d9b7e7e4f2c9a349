#!/usr/bin/env bash
# Makes (once) a minimal Debian root of the machine's own release, with no
# compiler in it, from the mirror that the machine's apt sources name.
#   debian_root.sh DIR
# DIR/root is the root; DIR/root.done marks it complete, so that a run cut
# short is started again rather than used.
set -euo pipefail
dir=$1
root=$dir/root
if [ -f "$dir/root.done" ]; then exit 0; fi

. /etc/os-release
codename=$VERSION_CODENAME
# The first `deb` source of Debian's main archive for this release: a
# one-line entry of sources.list or a deb822 stanza of sources.list.d.
mirror=$(
    { [ -f /etc/apt/sources.list ] && cat /etc/apt/sources.list
      find /etc/apt/sources.list.d -maxdepth 1 -name '*.list' -exec cat {} + 2>/dev/null; } |
        awk -v c="$codename" '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { if ($(i+1) == c) { print $i; exit } } }'
)
if [ -z "$mirror" ]; then
    mirror=$(find /etc/apt/sources.list.d -maxdepth 1 -name '*.sources' -exec cat {} + 2>/dev/null |
        awk -v c="$codename" '
            /^[ \t]*$/ { if (deb && suite && uri != "") { print uri; exit } deb = 0; suite = 0; uri = ""; next }
            /^Types:/ { for (i = 2; i <= NF; i++) if ($i == "deb") deb = 1 }
            /^URIs:/ { uri = $2 }
            /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == c) suite = 1 }
            END { if (deb && suite && uri != "") print uri }' | head -n 1)
fi
if [ -z "$mirror" ]; then
    echo "debian_root: no deb source for $codename in the machine's apt sources" >&2
    exit 1
fi

rm -rf "$root"
mkdir -p "$dir"
echo "debian_root: debootstrap --variant=minbase $codename from $mirror (once)"
if ! debootstrap --variant=minbase "$codename" "$root" "$mirror" >"$dir/debootstrap.log" 2>&1; then
    echo "debian_root: debootstrap failed; the end of $dir/debootstrap.log:" >&2
    tail -n 20 "$dir/debootstrap.log" >&2
    exit 1
fi
touch "$dir/root.done"
