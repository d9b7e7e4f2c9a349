#!/usr/bin/env bash
# Peak memory of talvor-pack list, verify and extract over a large archive,
# plain and inside a larger file (as in an executable). They read the file in
# pieces, so the peak stays near the decoder's window whatever the size.
#
#   bench/pack_memory.sh TALVOR_PACK [MEGABYTES] [LEVEL]   (default 300 MB, level 3)
#
# Half of the input is random bytes, half is compressible words.
set -euo pipefail

pack=$(realpath "$1")
megabytes=${2:-300}
level=${3:-3}
command -v /usr/bin/time >/dev/null || { echo "pack_memory: /usr/bin/time is missing" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/in"
half=$((megabytes / 2))
head -c "${half}M" /dev/urandom >"$work/in/random.bin"
python3 - "$work/in/words.txt" "$half" <<'PY'
import random, sys
random.seed(1)
words = [b"alpha", b"beta", b"gamma", b"delta", b"onefile", b"launcher", b"\n"]
with open(sys.argv[1], "wb") as out:
    for _ in range(int(sys.argv[2])):
        out.write(b" ".join(random.choice(words) for _ in range(180000))[: 1 << 20])
PY
echo main >"$work/main.so"
"$pack" create --quiet --level "$level" -o "$work/app.bin" --main "$work/main.so" "$work/in/"
{ head -c 1000000 /dev/urandom; cat "$work/app.bin"; head -c 1000000 /dev/urandom; } >"$work/host.exe"

echo "input ${megabytes} MB at level $level, archive $(stat -c %s "$work/app.bin") bytes"
echo "| command | peak RSS (KiB) | wall time |"
echo "|---|---|---|"
for command in "list app.bin" "verify app.bin" "verify host.exe" "extract app.bin out"; do
    rm -rf "$work/out"
    (cd "$work" && /usr/bin/time -v "$pack" $command >/dev/null 2>"$work/time.txt") || { cat "$work/time.txt" >&2; exit 1; }
    rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt")
    wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$work/time.txt")
    echo "| $command | $rss | $wall |"
done
cmp "$work/in/random.bin" "$work/out/random.bin" && cmp "$work/in/words.txt" "$work/out/words.txt"
