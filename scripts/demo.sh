#!/usr/bin/env bash
# Builds the demo application into one executable for Linux and for Windows,
# runs each with a few arguments (one with a blank, one empty) and shows that
# no target directory is left behind.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

cmake --preset linux >/dev/null
cmake --build --preset linux --target hello
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target hello

leftovers() { find "$1" -maxdepth 1 -name 'onefile_*' 2>/dev/null | wc -l; }

echo
echo "== Linux: build/linux/examples/hello/hello 'with blank' '' --exit 3"
tmp=$(mktemp -d)
set +e
TMPDIR=$tmp build/linux/examples/hello/hello "with blank" "" --exit 3
status=$?
set -e
echo "-- exit status: $status; target directories left in $tmp: $(leftovers "$tmp")"
rmdir "$tmp"

echo
echo "== Windows (under Wine): hello.exe 'with blank' '' --exit 3"
prefix="$top/build/mingw/wineprefix"
# The Wine server of the prefix, and the services that Wine starts with it,
# run for as long as the server does: a persistent one, for good. A server
# that the demo starts is stopped when the demo ends, however it ends; one
# that ran already (tests of the same build tree) is not the demo's to stop.
mkdir -p "$prefix"
server=0
WINEPREFIX="$prefix" wineserver -p </dev/null >/dev/null 2>&1 || server=$?
stop_server() {
    WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
    WINEPREFIX="$prefix" wineserver -w >/dev/null 2>&1 || true
}
if [ "$server" -eq 0 ]; then
    trap stop_server EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
fi
set +e
"$top/cmake/wine-run.sh" --wineprefix="$prefix" build/mingw/examples/hello/hello.exe "with blank" "" --exit 3 | tr -d '\r'
status=${PIPESTATUS[0]}
set -e
wine_temp=$(find "$prefix/drive_c/users" -maxdepth 2 -iname temp -type d 2>/dev/null | head -n 1)
echo "-- exit status: $status; target directories left in Wine's temp folder: $(leftovers "${wine_temp:-/nonexistent}")"
