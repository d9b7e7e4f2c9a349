#!/usr/bin/env bash
# Reads apt sources of both forms with scripts/deb-src-entry.sh, each case in
# an apt root of its own below SCRATCH, and compares what it prints and its
# exit status.
#   deb_src_entry_test.sh SCRIPT SCRATCH
set -euo pipefail
script=$1
scratch=$2
rm -rf "$scratch"
mkdir -p "$scratch"

failures=0
passes=0

# root CASE: a fresh apt root for a bookworm machine.
root() {
    local dir="$scratch/$1"
    mkdir -p "$dir/etc/apt/sources.list.d"
    printf 'PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"\nVERSION_CODENAME=bookworm\n' >"$dir/etc/os-release"
    echo "$dir"
}

# check CASE STATUS EXPECTED_STDOUT [STDERR_WORDS]
check() {
    local name=$1 want_status=$2 want_out=$3 want_err=${4:-}
    local out err status=0
    out=$("$script" "$scratch/$name" 2>"$scratch/$name.err") || status=$?
    err=$(cat "$scratch/$name.err")
    if [ "$status" -ne "$want_status" ] || [ "$out" != "$want_out" ] ||
       { [ -n "$want_err" ] && [[ "$err" != *"$want_err"* ]]; }; then
        echo "FAIL $name: status $status (want $want_status)"
        echo "--- stdout:"; echo "$out"; echo "--- want:"; echo "$want_out"
        echo "--- stderr:"; echo "$err"
        failures=$((failures + 1))
    else
        passes=$((passes + 1))
    fi
}

main_entry='Types: deb-src
URIs: file:/srv/debian
Suites: bookworm
Components: main'
signed_main_entry="$main_entry
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"

# The installer's one-line file: comments, a CD-ROM line, options in
# brackets, the security archive and a foreign repository before the mirror.
dir=$(root one_line)
cat >"$dir/etc/apt/sources.list" <<'LIST'
#deb cdrom:[Debian GNU/Linux 12.5.0 _Bookworm_ - Official amd64 DVD Binary-1]/ bookworm contrib main

deb cdrom:[Debian GNU/Linux 12.5.0 _Bookworm_ - Official amd64 DVD Binary-1]/ bookworm contrib main
deb cdrom:[Debian_12_netinst]/ bookworm main
deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] file:/srv/debian-security bookworm-security main
deb [arch=amd64 signed-by=/usr/share/keyrings/other-archive.gpg] file:/srv/other bookworm main
deb [arch=amd64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] file:/srv/debian/ bookworm main non-free-firmware # the mirror
deb file:/srv/debian bookworm-updates main
LIST
check one_line 0 "$signed_main_entry"

# A one-line part file without options: no Signed-By to copy.
dir=$(root one_line_part)
echo 'deb file:/srv/debian bookworm contrib main' >"$dir/etc/apt/sources.list.d/mirror.list"
echo 'deb file:/srv/ignored bookworm main' >"$dir/etc/apt/sources.list.d/mirror.list.save"
check one_line_part 0 "$main_entry"

# deb822 stanzas: security first, a disabled stanza, then the mirror with two
# suites and fields in mixed case, a comment and a continued line.
dir=$(root deb822)
cat >"$dir/etc/apt/sources.list.d/debian.sources" <<'SOURCES'
Types: deb
URIs: file:/srv/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: file:/srv/disabled
Suites: bookworm
Components: main
Enabled: no

types: deb
# the mirror
URIs: file:/srv/debian
Suites: bookworm
  bookworm-updates
Components: main
signed-by: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
check deb822 0 "$signed_main_entry"

# A deb-src entry for the mirror is there already: nothing to add. One for
# another suite does not count.
dir=$(root deb_src_present)
cat >"$dir/etc/apt/sources.list" <<'LIST'
deb file:/srv/debian bookworm main
deb-src file:/srv/debian bookworm-updates main
deb-src file:/srv/debian/ bookworm main
LIST
check deb_src_present 0 ""

# Only the security and updates archives, another release's mirror, and the
# mirror without main: none serves the source.
dir=$(root none)
cat >"$dir/etc/apt/sources.list" <<'LIST'
deb file:/srv/debian-security bookworm-security main
deb file:/srv/debian bookworm-updates main
deb file:/srv/debian trixie main
deb file:/srv/debian bookworm contrib
LIST
check none 1 "" "serves Debian's main archive for bookworm"

# No apt sources at all, and no release to match.
root empty >/dev/null
check empty 1 "" "serves Debian's main archive for bookworm"
mkdir -p "$scratch/no_release"
check no_release 1 "" "VERSION_CODENAME"

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
