#!/bin/sh
# Runs a Windows program under Wine, for CTest and GoogleTest discovery:
#
#   wine-run.sh [--wineprefix=DIR] program.exe [arguments...]
#
# The prefix is $TALVOR_WINEPREFIX, else DIR, else ./wineprefix. It is made
# on first use.
#
# The first Wine process of a wineserver session starts services.exe,
# winedevice.exe and plugplay.exe, which inherit its standard handles. A test
# runner that reads the program's output through a pipe would then see the
# end of it only when the server goes away. So the server is started as a
# persistent one and the prefix booted with all three standard streams on
# /dev/null before the program runs; the lock keeps tests that start together
# from booting the same prefix twice. The lock's descriptor must not reach the
# server, which would then hold the lock for as long as it lives. Stop the server with
# `WINEPREFIX=DIR wineserver -k`.
set -eu

prefix=
case "${1:-}" in
--wineprefix=*)
    prefix=${1#--wineprefix=}
    shift
    ;;
esac
# Wine names the host's files in the locale's character set: under the C
# locale (a bare root or container sets none) a file name outside ASCII
# cannot be made. C.UTF-8 is always there.
case $(locale charmap 2>/dev/null) in
UTF-8) ;;
*) LC_ALL=C.UTF-8 && export LC_ALL ;;
esac
WINEPREFIX=${TALVOR_WINEPREFIX:-${prefix:-$(pwd)/wineprefix}}
WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES

if [ "$#" -eq 0 ]; then
    echo "usage: $0 [--wineprefix=DIR] program.exe [arguments...]" >&2
    exit 2
fi

mkdir -p "$WINEPREFIX"
(
    flock 9
    # Exit status 2: a server for this prefix runs already, and whoever
    # started it booted the prefix.
    status=0
    wineserver -p </dev/null >/dev/null 2>&1 9>&- || status=$?
    if [ "$status" -eq 0 ] || [ ! -f "$WINEPREFIX/.talvor-booted" ]; then
        wine wineboot </dev/null >/dev/null 2>&1 9>&-
        : >"$WINEPREFIX/.talvor-booted"
    fi
    # Without a debugger a crashing program just ends with its exception
    # code. Wine's own, started for every unhandled exception, holds the
    # crashed program's handles (and a test runner's pipes) until the other
    # Wine processes of the moment end: up to two minutes in a parallel run.
    if [ ! -f "$WINEPREFIX/.talvor-no-debugger" ]; then
        wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
            /v Debugger /t REG_SZ /d "" /f </dev/null >/dev/null 2>&1 9>&-
        : >"$WINEPREFIX/.talvor-no-debugger"
    fi
) 9>"$WINEPREFIX.lock"

exec wine "$@"
