#!/usr/bin/env bash
# The release archives (make release) at work as an author meets them: on a
# Debian root with no compiler, with talvor-pack alone.
#   tests/release/release_check.sh     (as root: it uses chroot and mount)
#
# - The Linux archive is unpacked into a minimal Debian root (made once with
#   debootstrap, kept in build/release-root); its talvor-pack and launchers
#   need only libc.
# - Inside the root, talvor-pack turns a prebuilt Linux application library
#   into a one-file executable, which runs there; and turns Windows DLLs
#   into Windows executables, which run under Wine outside the root: one
#   built by mingw-w64, and one built for the MSVC ABI by clang and lld-link
#   with no C runtime at all.
# - The Windows archive's talvor-pack.exe does the same under Wine.
# The libraries are built here, outside the root, from tests/e2e/app.c and
# tests/e2e/msvc_app.c. Ends with "N passed, M failed"; exit status 1
# when a step failed.
set -uo pipefail
if [ "$(id -u)" -ne 0 ]; then
    echo "release_check: run as root: it uses chroot and mount" >&2
    exit 1
fi
top=$(cd "$(dirname "$0")/../.." && pwd)
release=$top/build/release
work=$top/build/release-check
root_dir=$top/build/release-root
root=$root_dir/root

passes=0
failures=0
pass() { passes=$((passes + 1)); echo "ok: $1"; }
fail() { failures=$((failures + 1)); echo "FAIL: $1"; [ -z "${2:-}" ] || printf '%s\n' "$2" | sed 's/^/    /'; }
# step WHAT EXPECTED_STATUS COMMAND...: the command's status must be the one
# expected; its output is shown when it is not.
step() {
    local what=$1 expected=$2 output status=0
    shift 2
    output=$("$@" 2>&1) || status=$?
    if [ "$status" -eq "$expected" ]; then pass "$what"; else fail "$what (exit status $status, not $expected)" "$output"; fi
    LAST_OUTPUT=$output
}
windows_path() { echo "Z:${1//\//\\}"; }
# run WHAT EXPECTED_STATUS PROGRAM [ARGUMENT...]: a step that runs a program
# that an earlier step made; when that step failed, this one fails without
# running anything.
run() {
    local what=$1 expected=$2 program=$3
    if [ ! -f "$program" ]; then
        fail "$what: ${program#"$root"} was not made"
        LAST_OUTPUT=
        return
    fi
    shift 3
    step "$what" "$expected" "${runner[@]}" "$program" "$@"
}

one_archive() {  # the one release archive matching a pattern
    local found=("$release"/$1)
    if [ ${#found[@]} -ne 1 ] || [ ! -f "${found[0]}" ]; then
        echo "release_check: need exactly one $release/$1 (make release makes it)" >&2
        exit 1
    fi
    echo "${found[0]}"
}
linux_archive=$(one_archive 'talvor-onefile-*-linux-x86_64.tar.gz')
windows_archive=$(one_archive 'talvor-onefile-*-windows-x86_64.zip')

"$top/tests/release/debian_root.sh" "$root_dir" || exit 1

# --- The libraries, built outside the root -------------------------------
# The Wine prefix is kept between runs: a new one takes seconds and 700 MB.
rm -rf "$work/apps" "$work/windows" "$work/zip-app.exe" "$work/zip-msvc.exe"
mkdir -p "$work/apps" "$work/windows"
gcc -shared -fPIC -O2 -o "$work/apps/libapp.so" "$top/tests/e2e/app.c" || exit 1
x86_64-w64-mingw32-gcc-posix -shared -O2 -o "$work/apps/app.dll" "$top/tests/e2e/app.c" || exit 1
clang --target=x86_64-pc-windows-msvc -fuse-ld=lld -nostdlib -shared -O2 -Wl,-entry:dll_entry \
      -o "$work/apps/msvc_app.dll" "$top/tests/e2e/msvc_app.c" || exit 1

# --- The Linux archive in the root ---------------------------------------
rm -rf "$root/opt/talvor" "$root/check"
mkdir -p "$root/opt/talvor" "$root/check"
tar -xzf "$linux_archive" -C "$root/opt/talvor" --strip-components=1 || exit 1
cp "$work/apps/libapp.so" "$work/apps/app.dll" "$work/apps/msvc_app.dll" "$root/check/"
pack=/opt/talvor/bin/talvor-pack

mounted=()
cleanup() {
    local m
    for m in "${mounted[@]}"; do umount "$m" 2>/dev/null || umount -l "$m"; done
    if [ -n "${wine_server:-}" ]; then
        WINEPREFIX="$work/wineprefix" wineserver -k >/dev/null 2>&1 || true
    fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# The launcher finds its own executable through /proc.
mount -t proc proc "$root/proc" && mounted=("$root/proc") || exit 1
mount --bind /dev "$root/dev" && mounted=("$root/dev" "${mounted[@]}") || exit 1
in_root() { chroot "$root" env -i PATH=/usr/bin:/bin HOME=/root TMPDIR=/tmp "$@"; }

step "the root has no C compiler" 0 in_root sh -c 'for c in cc gcc clang; do ! command -v $c || exit 1; done'
for program in bin/talvor-pack lib/talvor-onefile/launchers/linux lib/talvor-onefile/launchers/linux-console; do
    needed=$(in_root ldd "/opt/talvor/$program" 2>&1 | grep -v -E 'linux-vdso|libc\.so\.6|ld-linux-x86-64' || true)
    if [ -z "$needed" ]; then pass "$program needs only libc"; else fail "$program needs more than libc" "$needed"; fi
done
step "talvor-pack runs in the root" 0 in_root "$pack" --help

# A Linux application: both launchers, run in the root, nothing left behind.
for launcher in linux linux-console; do
    step "root: create --launcher $launcher" 0 in_root "$pack" create -q -o "/check/app-$launcher" \
         --launcher "$launcher" --main /check/libapp.so
    if [ ! -f "$root/check/app-$launcher" ]; then
        fail "root: app-$launcher was not made: nothing to run"
        continue
    fi
    step "root: verify app-$launcher" 0 in_root "$pack" verify "/check/app-$launcher"
    step "root: app-$launcher exit 7 ends with 7" 7 in_root "/check/app-$launcher" exit 7
    case $LAST_OUTPUT in *ready*) pass "root: app-$launcher ran the application" ;;
                         *) fail "root: app-$launcher printed no 'ready'" "$LAST_OUTPUT" ;; esac
    left=$(find "$root/tmp" -maxdepth 1 -name 'onefile_*')
    if [ -z "$left" ]; then pass "root: app-$launcher left nothing in /tmp"; else fail "root: app-$launcher left" "$left"; fi
done

# Windows executables made in the root by the Linux talvor-pack.
step "root: create --launcher windows-gui (mingw DLL)" 0 in_root "$pack" create -q -o /check/app-gui.exe \
     --launcher windows-gui --main /check/app.dll
step "root: create --launcher windows-console (mingw DLL)" 0 in_root "$pack" create -q -o /check/app-console.exe \
     --launcher windows-console --main /check/app.dll
step "root: create --launcher windows-gui (MSVC-ABI DLL)" 0 in_root "$pack" create -q -o /check/msvc.exe \
     --launcher windows-gui --main /check/msvc_app.dll
[ ! -f "$root/check/app-console.exe" ] || step "root: verify app-console.exe" 0 in_root "$pack" verify /check/app-console.exe

# --- Under Wine, outside the root ----------------------------------------
wine_run=("$top/cmake/wine-run.sh" "--wineprefix=$work/wineprefix")
mkdir -p "$work/wineprefix"
wine_server=1
runner=("${wine_run[@]}")
run "wine: app-gui.exe exit 7 ends with 7" 7 "$root/check/app-gui.exe" exit 7
run "wine: app-console.exe exit 7 ends with 7" 7 "$root/check/app-console.exe" exit 7
case $LAST_OUTPUT in "") ;; *ready*) pass "wine: app-console.exe ran the application" ;;
                     *) fail "wine: app-console.exe printed no 'ready'" "$LAST_OUTPUT" ;; esac
run "wine: msvc.exe a b ends with 43 (run_code of an MSVC-ABI DLL)" 43 "$root/check/msvc.exe" a b

# The Windows archive's talvor-pack.exe, under Wine.
if command -v unzip >/dev/null; then
    unzip -q "$windows_archive" -d "$work/windows"
else
    python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$windows_archive" "$work/windows"
fi
pack_exe=$(find "$work/windows" -path '*/bin/talvor-pack.exe' | head -n 1)
step "wine: talvor-pack.exe --help" 0 "${wine_run[@]}" "$pack_exe" --help
step "wine: talvor-pack.exe create --launcher windows-console (mingw DLL)" 0 "${wine_run[@]}" "$pack_exe" create -q \
     -o "$(windows_path "$work/zip-app.exe")" --launcher windows-console --main "$(windows_path "$work/apps/app.dll")"
step "wine: talvor-pack.exe create --launcher windows-gui (MSVC-ABI DLL)" 0 "${wine_run[@]}" "$pack_exe" create -q \
     -o "$(windows_path "$work/zip-msvc.exe")" --launcher windows-gui --main "$(windows_path "$work/apps/msvc_app.dll")"
run "wine: zip-app.exe exit 7 ends with 7" 7 "$work/zip-app.exe" exit 7
run "wine: zip-msvc.exe a b c ends with 44" 44 "$work/zip-msvc.exe" a b c

echo "release-check: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
