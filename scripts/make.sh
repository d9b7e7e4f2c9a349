#!/bin/sh
# The first command on a fresh Debian 12 machine, which has no make yet:
# installs make, then runs it in the checkout with the given targets.
#   scripts/make.sh demo | test | release | ...
# Every target of the Makefile then installs the rest (scripts/deps.sh).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v make >/dev/null 2>&1; then
    if [ "$(id -u)" -eq 0 ]; then as_root=; else as_root=sudo; fi
    echo "make.sh: installing make"
    $as_root apt-get update -q >/dev/null
    $as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends make >/dev/null
fi
exec make -C "$top" "$@"
