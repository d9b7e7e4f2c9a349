#!/usr/bin/env bash
# The Windows launcher under Wine against the Linux launcher, on the same
# tree. Wine adds its own start-up and file-system layers, so its figures say
# only how the two builds compare on this machine, nothing about Windows.
#
#   bench/wine.sh [BUILD_DIR]       (default build/bench; run bench/run.sh first)
#
# Environment: WINE_TREES (default "tree1"), WINE_RUNS (default 10).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build/bench}" && pwd)
trees=${WINE_TREES:-tree1}
runs=${WINE_RUNS:-10}
log() { echo "bench: $*" >&2; }

for tool in hyperfine wine wineserver x86_64-w64-mingw32-g++-posix cmake ninja; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is missing" >&2; exit 1; }
done
pack=$(find "$build/project" -type f -name talvor-pack -perm -u+x 2>/dev/null | head -n 1)
for t in $trees; do
    [ -e "$build/artifacts/$t.onefile" ] && [ -d "$build/trees/$t" ] && [ -n "$pack" ] \
        || { echo "bench: run bench/run.sh first (no Linux onefile of $t)" >&2; exit 1; }
done

# The Windows executables, cross-built around a DLL whose run_code returns at
# once; the build machine's talvor-pack writes their attached data.
proj="$build/onefile-project-mingw"
mkdir -p "$proj"
cat > "$proj/noop.cpp" <<'EOF'
// The benchmark's main DLL: returns at once.
extern "C" __declspec(dllexport) int run_code(int, wchar_t**, const wchar_t*)
{
    return 0;
}
EOF
cat > "$proj/trivial.cpp" <<'EOF'
// Wine's own start-up and exit, without a launcher: the baseline.
int main()
{
    return 0;
}
EOF
{
    echo "cmake_minimum_required(VERSION 3.25)"
    echo "project(talvor_bench_mingw LANGUAGES C CXX)"
    echo "add_subdirectory(\"$top\" talvor)"
    echo "add_library(bench_noop SHARED noop.cpp)"
    echo "target_link_options(bench_noop PRIVATE -static)"
    echo "add_executable(bench_trivial trivial.cpp)"
    echo "target_link_options(bench_trivial PRIVATE -static)"
    for t in $trees; do
        echo "talvor_add_onefile(bench_$t MAIN bench_noop DIRECTORIES \"$build/trees/$t\")"
    done
} > "$proj/CMakeLists.txt"
log "cross-building the Windows onefile executables in $proj/build"
cmake -S "$proj" -B "$proj/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchains/mingw-w64.cmake" \
      -DTALVOR_PACK_EXECUTABLE="$pack" >"$build/raw/wine-build.log" 2>&1
cmake --build "$proj/build" >>"$build/raw/wine-build.log" 2>&1

# One Wine prefix, booted once, with a persistent server, so that each run
# pays only for its own process.
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trivial="$proj/build/bench_trivial.exe"
"$top/cmake/wine-run.sh" "$trivial"
trap 'wineserver -k 2>/dev/null || true' EXIT
wine_temp=$(wine cmd /c echo %TEMP% 2>/dev/null | tr -d '\r')
wine_temp_unix=$(winepath -u "$wine_temp" 2>/dev/null | tr -d '\r')

disk_tmp="$build/tmp"
rm -rf "$disk_tmp"; mkdir -p "$disk_tmp"
out="$build/raw/wine.md"
{
    echo "## Wine figures: relative only"
    echo
    echo "Windows launcher under Wine $(wine --version) against the Linux launcher,"
    echo "medians of $runs runs. The Windows temporary folder is the Wine prefix's"
    echo "($wine_temp_unix), on disk; the Linux launcher's TMPDIR is on the same disk."
    echo "The Wine baseline is a trivial Windows program, Wine's own start-up and exit."
    echo
    echo "| Tree | Linux launcher | Wine launcher | Wine baseline | (Wine - baseline) / Linux |"
    echo "|---|---:|---:|---:|---:|"
} > "$out"
for t in $trees; do
    exe="$proj/build/bench_$t.exe"
    log "startup of $t: Linux against Wine"
    TMPDIR=$disk_tmp hyperfine --style basic --warmup 2 --runs "$runs" --export-json "$build/raw/wine-$t.json" \
        -n linux "'$build/artifacts/$t.onefile'" \
        -n wine "wine '$exe'" \
        -n wine-baseline "wine '$trivial'" >&2
    python3 - "$build/raw/wine-$t.json" "$t" >> "$out" <<'EOF'
import json, sys
r = {x["command"]: x["median"] for x in json.load(open(sys.argv[1]))["results"]}
rel = (r["wine"] - r["wine-baseline"]) / r["linux"]
print(f"| {sys.argv[2]} | {r['linux'] * 1000:.1f} ms | {r['wine'] * 1000:.1f} ms "
      f"| {r['wine-baseline'] * 1000:.1f} ms | {rel:.2f} |")
EOF
    left=$(find "$wine_temp_unix" -mindepth 1 -maxdepth 1 -name 'onefile_*' 2>/dev/null | wc -l)
    [ "$left" -eq 0 ] || log "warning: $left onefile_* directories left behind in $wine_temp_unix"
done
rm -rf "$disk_tmp"
cat "$out"
