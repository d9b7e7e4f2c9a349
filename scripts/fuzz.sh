#!/usr/bin/env bash
# Builds the libFuzzer target and runs it for SECONDS (default 60) over a
# corpus seeded with archives made by talvor-pack, after replaying every kept
# regression input. New findings are written to build/fuzz/findings/.
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
seconds=${1:-60}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target unpack_fuzzer
cmake --preset linux >/dev/null
cmake --build --preset linux --target talvor-pack

fuzzer=build/fuzz/fuzz/unpack_fuzzer
pack=$(find build/linux -name talvor-pack -type f -perm -u+x | head -n 1)
corpus=build/fuzz/corpus
findings=build/fuzz/findings
mkdir -p "$corpus" "$findings"

# Seeds: small valid archives of a few shapes.
seed_src=build/fuzz/seed-src
rm -rf "$seed_src"
mkdir -p "$seed_src/tree/sub/deeper" "$seed_src/empty"
printf 'main library stand-in' > "$seed_src/main.so"
printf 'a' > "$seed_src/tree/one.txt"
head -c 40000 /dev/zero > "$seed_src/tree/sub/zeros.bin"
printf 'unicode name' > "$seed_src/tree/sub/deeper/ünï ✓.txt"
: > "$seed_src/tree/empty.txt"
"$pack" create -o "$corpus/seed-main-only" --main "$seed_src/main.so" --level 3
"$pack" create -o "$corpus/seed-tree" --main "$seed_src/main.so" --level 3 "$seed_src/tree/"
"$pack" create -o "$corpus/seed-tree-19" --main "$seed_src/main.so" "$seed_src/tree/"

# Every kept input must pass before new ground is searched.
regressions=(fuzz/regressions/*)
if [ -e "${regressions[0]}" ]; then
    "$fuzzer" -close_fd_mask=3 "${regressions[@]}" >/dev/null 2>"$findings/regressions.log" ||
        { tail -n 40 "$findings/regressions.log"; exit 1; }
fi

"$fuzzer" -max_total_time="$seconds" -close_fd_mask=3 -max_len=262144 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$findings/" -print_final_stats=1 "$corpus" 2>&1 | tee "$findings/last-run.log" |
    grep -E '^(#[0-9]+ +DONE|stat::|Done|SUMMARY|==[0-9]+==ERROR)' || true
if ls "$findings"/crash-* "$findings"/leak-* "$findings"/timeout-* >/dev/null 2>&1; then
    echo "fuzz: findings in $findings" >&2
    exit 1
fi
