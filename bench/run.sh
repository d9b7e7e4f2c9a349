#!/usr/bin/env bash
# Startup benchmark: a onefile executable against tar|zstd, plain zstd and a
# makeself archive of the same tree, with the temporary folder on disk and on
# tmpfs; the same tree with a cached target directory, its first start
# against the default mode and its later starts against onefile executables
# whose payload is one file (default mode and cached); a onefile CPython's
# later cached start against the installed interpreter; and talvor-pack
# against tar|zstd for packing. Writes a Markdown report to
# bench/results/<date>-<commit>.md and prints it.
#
#   bench/run.sh [BUILD_DIR]          (default build/bench, a Release build)
#
# Environment:
#   BENCH_TREES   trees to measure (default "tree1 tree10")
#   BENCH_RUNS1   hyperfine runs for tree1 (default 10)
#   BENCH_RUNS10  hyperfine runs for tree10 (default 5)
#   BENCH_RSS     runs per peak-memory median (default 3)
#   BENCH_RUNS_LATER  hyperfine runs for the later cached starts (default 30)
#   BENCH_PYTHON  1 to measure the onefile CPython, 0 to leave it out (default 1)
#   BENCH_RUNS_PYTHON  hyperfine runs of each command for CPython's later
#                 cached start, split over 10 rounds (default 100)
#   BENCH_RUNS_PYTHON_DEFAULT  hyperfine runs for CPython's default-mode
#                 start (default 5; 0 leaves it out)
#   BENCH_CACHED_ONLY  1 to measure only the cached target directory and
#                 the onefile CPython: no default-mode trees, peers, packing
#                 or reclaiming (default 0)
#   BENCH_PACK    trees whose packing is timed (default "tree1"; packing
#                 tree10 at level 19 takes minutes per run)
#   BENCH_RECLAIM_RUNS, BENCH_RECLAIM_LARGE_RUNS
#                 runs of the reclaiming benchmark (bench/reclaim.py)
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=$(mkdir -p "${1:-$top/build/bench}" && cd "${1:-$top/build/bench}" && pwd)
trees=${BENCH_TREES:-tree1 tree10}
rss_runs=${BENCH_RSS:-3}
pack_trees=${BENCH_PACK:-tree1}
python=${BENCH_PYTHON:-1}
# The trees started in the default mode and against their peers.
default_trees=$trees
if [ "${BENCH_CACHED_ONLY:-0}" = 1 ]; then default_trees=""; pack_trees=""; fi

for tool in hyperfine makeself zstd tar cmake ninja python3 /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is missing (scripts/deps.sh --bench)" >&2; exit 1; }
done

log() { echo "bench: $*" >&2; }
runs_for() { if [ "$1" = tree1 ]; then echo "${BENCH_RUNS1:-10}"; else echo "${BENCH_RUNS10:-5}"; fi; }

raw="$build/raw"
artifacts="$build/artifacts"
mkdir -p "$raw" "$artifacts"
rm -f "$raw"/*.json "$raw"/*.rss "$raw"/*.size "$raw"/*.count "$raw"/*.txt
# The machine's load (/proc/loadavg) at the start, before the CPython's
# later starts and at the end, for the report.
cat /proc/loadavg > "$raw/load-start.txt"

# 1. The project in Release, for talvor-pack.
log "building the project in $build/project"
cmake -S "$top" -B "$build/project" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DTALVOR_BUILD_TESTS=OFF -DTALVOR_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build/project" >/dev/null
pack=$(find "$build/project" -type f -name talvor-pack -perm -u+x | head -n 1)
[ -n "$pack" ] || { echo "bench: talvor-pack not found in $build/project" >&2; exit 1; }

# 2. The trees, regenerated only when the generator changes.
gen_hash=$(sha256sum "$top/bench/gen_tree.py" | cut -c1-16)
for t in $trees; do
    if [ "$(cat "$build/trees/$t.stamp" 2>/dev/null)" != "$gen_hash" ]; then
        log "generating $t"
        rm -rf "$build/trees/$t" "$artifacts/$t".*
        mkdir -p "$build/trees"
        python3 "$top/bench/gen_tree.py" "$t" "$build/trees/$t"
        echo "$gen_hash" > "$build/trees/$t.stamp"
    fi
    find "$build/trees/$t" -type f | wc -l > "$raw/$t-files.count"
done

# The packed CPython: Debian's python3.11 standard library with lib-dynload,
# less the regression tests (test/ and the extension modules built only for
# them: _test*, _xxtestfuzz, _ctypes_test) and config-3.11-*/ (the static
# libraries and Makefile for building against Python, 25 MiB that no program
# imports). The launcher does not keep modification times, so the
# timestamp-checked .pyc files of the installed copy would all be stale once
# unpacked: they are compiled again as unchecked-hash .pyc files, which
# Python loads without looking at the source's time.
py_exe=/usr/bin/python3.11
if [ "$python" = 1 ]; then
    if [ ! -x "$py_exe" ] || [ ! -d /usr/lib/python3.11/lib-dynload ]; then
        echo "bench: $py_exe or its standard library is missing (scripts/deps.sh --bench)" >&2; exit 1
    fi
    py_include=$("$py_exe" -c 'import sysconfig; print(sysconfig.get_path("include"))')
    py_libdir=$("$py_exe" -c 'import sysconfig; print(sysconfig.get_config_var("LIBDIR"))')
    py_soname=$("$py_exe" -c 'import sysconfig; print(sysconfig.get_config_var("INSTSONAME"))')
    if [ ! -f "$py_include/Python.h" ] || [ ! -f "$py_libdir/libpython3.11.so" ] || [ ! -f "$py_libdir/$py_soname" ]; then
        echo "bench: libpython3.11 for embedding is missing (scripts/deps.sh --bench)" >&2; exit 1
    fi
    py_tree="$build/trees/python"
    py_stamp="$("$py_exe" -VV | head -n 1) $(dpkg-query -W -f='${Version}' libpython3.11-stdlib 2>/dev/null); less test, config and the test modules"
    if [ "$(cat "$py_tree.stamp" 2>/dev/null)" != "$py_stamp" ]; then
        log "copying the python3.11 standard library to $py_tree"
        rm -rf "$py_tree"
        mkdir -p "$py_tree/lib"
        cp -rL /usr/lib/python3.11 "$py_tree/lib/"
        stdlib="$py_tree/lib/python3.11"
        rm -rf "$stdlib/test" "$stdlib"/config-3.11-* "$stdlib"/lib-dynload/_test*.so \
               "$stdlib"/lib-dynload/_xxtestfuzz.*.so "$stdlib"/lib-dynload/_ctypes_test.*.so
        find "$stdlib" -depth -type d -name __pycache__ -exec rm -rf {} +
        "$py_exe" -m compileall -q -j 0 --invalidation-mode unchecked-hash "$stdlib" >/dev/null
        echo "$py_stamp" > "$py_tree.stamp"
    fi
    # The standard library, libpython and the main library.
    echo $(($(find "$py_tree" -type f | wc -l) + 2)) > "$raw/python-files.count"
fi

# 3. The onefile executables, from a downstream project that uses the
#    project's CMake function the way an application would.
onefile_ok=0
if [ -f "$top/cmake/TalvorOnefile.cmake" ]; then
    proj="$build/onefile-project"
    mkdir -p "$proj"
    cat > "$proj/noop.cpp" <<'EOF'
// The benchmark's main library: returns at once, so that a run measures
// only the launcher's unpacking, child start and clean-up.
extern "C" __attribute__((visibility("default"))) int run_code(int, char**, const char*)
{
    return 0;
}
EOF
    cat > "$proj/stamp.cpp" <<'EOF'
// The reclaiming benchmark's main library: prints the monotonic clock on
// entry to run_code, the moment the application starts.
#include <stdio.h>
#include <time.h>

extern "C" __attribute__((visibility("default"))) int run_code(int, char**, const char*)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    printf("%lld\n", (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
    return 0;
}
EOF
    cat > "$proj/python.c" <<'EOF'
/* The onefile CPython's main library: the interpreter embedded through its
   configuration API, its home the directory that holds this library, so
   that the packed standard library is used and never the system's. The
   packed libpython3.11 beside it is found through its RUNPATH of $ORIGIN. */
#include <Python.h>
#include <stdio.h>
#include <string.h>

__attribute__((visibility("default"))) int run_code(int argc, char** argv, const char* dll_path)
{
    char home[4096];
    const char* slash = strrchr(dll_path, '/');
    size_t length = slash != NULL ? (size_t)(slash - dll_path) : 0;
    if (length == 0 || length >= sizeof home) {
        fprintf(stderr, "onefile python: no directory in %s\n", dll_path);
        return 1;
    }
    memcpy(home, dll_path, length);
    home[length] = '\0';

    /* As python3 itself: the command line and the PYTHON* variables are
       read, but the home is this one, whatever PYTHONHOME says. */
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    PyStatus status = PyConfig_SetBytesString(&config, &config.home, home);
    if (!PyStatus_Exception(status)) status = PyConfig_SetBytesArgv(&config, argc, argv);
    if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) {
        if (PyStatus_IsExit(status)) return status.exitcode;
        fprintf(stderr, "Fatal Python error: %s%s%s\n", status.func != NULL ? status.func : "",
                status.func != NULL ? ": " : "", status.err_msg != NULL ? status.err_msg : "");
        return 1;
    }
    return Py_RunMain();
}
EOF
    {
        echo "cmake_minimum_required(VERSION 3.25)"
        echo "project(talvor_bench LANGUAGES C CXX)"
        echo "add_subdirectory(\"$top\" talvor)"
        echo "add_library(bench_noop SHARED noop.cpp)"
        echo "talvor_add_onefile(bench_single MAIN bench_noop)"
        echo "talvor_add_onefile(bench_single_cached MAIN bench_noop TARGET_DIRECTORY \"{TEMP}/talvor-bench-cache\")"
        echo "add_library(bench_stamp SHARED stamp.cpp)"
        echo "talvor_add_onefile(bench_reclaim MAIN bench_stamp)"
        for t in $trees; do
            case " $default_trees " in *" $t "*)
                echo "talvor_add_onefile(bench_$t MAIN bench_noop DIRECTORIES \"$build/trees/$t\")";;
            esac
            echo "talvor_add_onefile(bench_${t}_cached MAIN bench_noop DIRECTORIES \"$build/trees/$t\"" \
                 "TARGET_DIRECTORY \"{TEMP}/talvor-bench-cache\")"
        done
        if [ "$python" = 1 ]; then
            echo "add_library(bench_cpython SHARED python.c)"
            echo "target_include_directories(bench_cpython PRIVATE \"$py_include\")"
            echo "target_link_libraries(bench_cpython PRIVATE \"$py_libdir/libpython3.11.so\")"
            packed="MAIN bench_cpython FILES \"$py_libdir/$py_soname\" DIRECTORIES \"$py_tree/lib\""
            echo "talvor_add_onefile(bench_python $packed)"
            echo "talvor_add_onefile(bench_python_cached $packed TARGET_DIRECTORY \"{TEMP}/talvor-bench-cache\")"
        fi
    } > "$proj/CMakeLists.txt.new"
    cmp -s "$proj/CMakeLists.txt.new" "$proj/CMakeLists.txt" || mv "$proj/CMakeLists.txt.new" "$proj/CMakeLists.txt"
    rm -f "$proj/CMakeLists.txt.new"
    log "building the onefile executables in $proj/build"
    if cmake -S "$proj" -B "$proj/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >"$raw/onefile-build.log" 2>&1 \
       && cmake --build "$proj/build" >>"$raw/onefile-build.log" 2>&1; then
        onefile_ok=1
        for t in $default_trees; do
            exe=$(find "$proj/build" -type f -name "bench_$t" -perm -u+x | head -n 1)
            [ -n "$exe" ] || { log "bench_$t not found"; onefile_ok=0; }
            ln -sf "$exe" "$artifacts/$t.onefile"
            stat -c %s "$exe" > "$raw/$t-onefile.size"
        done
        for t in $trees; do
            ln -sf "$proj/build/bench_${t}_cached" "$artifacts/$t.cached"
        done
        ln -sf "$proj/build/bench_single" "$artifacts/single.onefile"
        ln -sf "$proj/build/bench_single_cached" "$artifacts/single.cached"
        if [ "$python" = 1 ]; then
            ln -sf "$proj/build/bench_python" "$artifacts/python.onefile"
            ln -sf "$proj/build/bench_python_cached" "$artifacts/python.cached"
            stat -c %s "$proj/build/bench_python" > "$raw/python-onefile.size"
        fi
    else
        log "the onefile project failed to build; see $raw/onefile-build.log"
    fi
else
    log "cmake/TalvorOnefile.cmake does not exist yet: no launcher rows"
fi

# 4. The peers: tar.zst and a makeself archive whose script does nothing.
for t in $default_trees; do
    if [ ! -f "$artifacts/$t.tar.zst" ]; then
        log "compressing $t with tar | zstd -19"
        tar -C "$build/trees/$t" -c . | zstd -q -19 -T0 -o "$artifacts/$t.tar.zst"
    fi
    if [ ! -f "$artifacts/$t.run" ]; then
        log "building the makeself archive of $t"
        # No MD5 or CRC: like the launcher, the archive then checks nothing
        # beyond what its decompressor checks.
        makeself --zstd --complevel 19 --threads 0 --nomd5 --nocrc --nox11 --quiet --tar-quietly \
            "$build/trees/$t" "$artifacts/$t.run" "talvor bench $t" true >/dev/null
    fi
    stat -c %s "$artifacts/$t.tar.zst" > "$raw/$t-tarzst.size"
    stat -c %s "$artifacts/$t.run" > "$raw/$t-makeself.size"
done

# Peak resident memory of the largest process in a command (GNU time reports
# the maximum over the process and its waited-for descendants), median of
# $rss_runs runs, in KiB.
peak_rss() {
    local values=() i
    for ((i = 0; i < rss_runs; i++)); do
        /usr/bin/time -f %M -o "$raw/time.out" sh -c "$1" >/dev/null
        values+=("$(tail -n 1 "$raw/time.out")")
    done
    printf '%s\n' "${values[@]}" | sort -n | sed -n "$(((rss_runs + 1) / 2))p"
}

# 5. Startup, once with the temporary folder on disk and once on tmpfs.
disk_tmp="$build/tmp"
shm_tmp="/dev/shm/talvor-bench-$$"
trap 'rm -rf "$shm_tmp"' EXIT
for loc in disk tmpfs; do
    if [ $loc = disk ]; then tmp=$disk_tmp; else tmp=$shm_tmp; fi
    rm -rf "$tmp"; mkdir -p "$tmp"
    for t in $default_trees; do
        a="$artifacts/$t"
        names=(); cmds=()
        if [ $onefile_ok = 1 ]; then names+=(onefile); cmds+=("'$a.onefile'"); fi
        names+=(tar-zstd); cmds+=("d=\$(mktemp -d) && tar -I 'zstd -19' -xf '$a.tar.zst' -C \"\$d\" && rm -rf \"\$d\"")
        names+=(zstd-d); cmds+=("zstd -q -d -c '$a.tar.zst' > /dev/null")
        names+=(makeself); cmds+=("'$a.run' --noprogress --quiet --nox11")
        args=()
        for i in "${!cmds[@]}"; do args+=(-n "${names[$i]}" "${cmds[$i]}"); done
        log "startup of $t, temporary folder on $loc ($tmp)"
        TMPDIR=$tmp hyperfine --style basic --warmup 1 --runs "$(runs_for "$t")" \
            --export-json "$raw/$loc-$t.json" "${args[@]}" >&2
        for i in "${!cmds[@]}"; do
            echo "${names[$i]} $(TMPDIR=$tmp peak_rss "${cmds[$i]}")" >> "$raw/$loc-$t.rss"
        done
        left=$(find "$tmp" -mindepth 1 -maxdepth 1 | wc -l)
        [ "$left" -eq 0 ] || log "warning: $left entries left behind in $tmp"
    done
    # The cached target directory: every first start unpacks into an empty
    # cache (removed before the run, untimed); the later starts find it
    # filled, side by side with onefile executables whose payload is one
    # file, in the default mode and cached: the difference between the two
    # cached starts is the check of the tree's files.
    if [ $onefile_ok = 1 ]; then
        cache="$tmp/talvor-bench-cache"
        for t in $trees; do
            a="$artifacts/$t"
            log "cached first start of $t, temporary folder on $loc"
            TMPDIR=$tmp hyperfine --style basic --runs "$(runs_for "$t")" --prepare "rm -rf '$cache'" \
                --export-json "$raw/$loc-$t-first.json" -n onefile-cached-first "'$a.cached'" >&2
            log "cached later start of $t against a one-file payload, temporary folder on $loc"
            TMPDIR=$tmp hyperfine --style basic --warmup 3 --runs "${BENCH_RUNS_LATER:-30}" \
                --export-json "$raw/$loc-$t-later.json" -n onefile-cached-later "'$a.cached'" \
                -n onefile-single "'$artifacts/single.onefile'" \
                -n onefile-single-cached "'$artifacts/single.cached'" >&2
            rm -rf "$cache"
        done
    fi
    # The onefile CPython: one untimed start fills its cached directory,
    # then its later starts run against the installed interpreter, without
    # a shell, in five short rounds of both commands one after the other,
    # so that a change in the machine's load reaches both alike.
    if [ $onefile_ok = 1 ] && [ "$python" = 1 ]; then
        cache="$tmp/talvor-bench-cache"
        a="$artifacts/python"
        rm -rf "$cache"
        # The prefix, a module of the standard library, an extension module
        # of lib-dynload and the mapped libpython must all lie in the cached
        # directory: otherwise the run measured the system's copies.
        TMPDIR=$tmp "$a.cached" -c '
import sys, encodings, _json
print("sys.prefix", sys.prefix)
print("encodings", encodings.__file__)
print("_json", _json.__file__)
for m in sorted({l.split()[-1] for l in open("/proc/self/maps") if "libpython3" in l}):
    print("libpython", m)
' > "$raw/$loc-python-check.txt"
        home=$(find "$cache" -mindepth 1 -maxdepth 1 -type d | head -n 1)
        if [ -z "$home" ] || [ "$(grep -c -E " $home(/|\$)" "$raw/$loc-python-check.txt")" -ne 4 ]; then
            log "the onefile CPython did not run from its cached directory $home:"
            cat "$raw/$loc-python-check.txt" >&2
            exit 1
        fi
        runs=${BENCH_RUNS_PYTHON:-100}
        cat /proc/loadavg > "$raw/$loc-python-load.txt"
        log "cached later start of CPython against /usr/bin/python3, temporary folder on $loc"
        # Ten short rounds, the two commands' order swapped every round, so
        # that a drift of the machine's speed weighs on both alike.
        onefile=(-n onefile-python-cached "'$a.cached' -c pass")
        installed=(-n python3 "/usr/bin/python3 -c pass")
        for round in 1 2 3 4 5 6 7 8 9 10; do
            if [ $((round % 2)) -eq 1 ]; then order=("${onefile[@]}" "${installed[@]}")
            else order=("${installed[@]}" "${onefile[@]}"); fi
            TMPDIR=$tmp hyperfine --style basic -N --warmup 3 --runs $(((runs + 9) / 10)) \
                --export-json "$raw/$loc-python-later.$round.json" "${order[@]}" >&2
        done
        if [ "${BENCH_RUNS_PYTHON_DEFAULT:-5}" -gt 0 ]; then
            log "default-mode start of the onefile CPython, temporary folder on $loc"
            TMPDIR=$tmp hyperfine --style basic -N --warmup 1 --runs "${BENCH_RUNS_PYTHON_DEFAULT:-5}" \
                --export-json "$raw/$loc-python-default.json" -n onefile-python "'$a.onefile' -c pass" >&2
        fi
        rm -rf "$cache"
    fi
    rm -rf "$tmp"
done

# 6. Packing: talvor-pack at its default level against tar | zstd -19 -T0.
main_lib=$(find "$build/onefile-project/build" -name 'libbench_noop.so' 2>/dev/null | head -n 1)
if [ -z "$main_lib" ]; then
    # Without the downstream project, any small library stands in.
    main_lib="$artifacts/noop.so"
    printf 'extern "C" int run_code(int, char**, const char*) { return 0; }\n' \
        | c++ -x c++ -shared -fPIC -O2 -o "$main_lib" -
fi
for t in $pack_trees; do
    out="$artifacts/$t.pack"
    log "packing $t"
    hyperfine --style basic --runs "${BENCH_PACK_RUNS:-3}" --export-json "$raw/pack-$t.json" \
        -n talvor-pack "'$pack' create -o '$out.kay' --main '$main_lib' '$build/trees/$t/'" \
        -n tar-zstd "tar -C '$build/trees/$t' -c . | zstd -q -19 -T0 -f -o '$out.tar.zst'" >&2
    stat -c %s "$out.kay" > "$raw/pack-$t-talvor.size"
    stat -c %s "$out.tar.zst" > "$raw/pack-$t-tar.size"
done

# 7. Reclaiming: leftovers of killed launchers against an empty temporary
#    folder, on disk.
rm -f "$raw/reclaim.json"
if [ $onefile_ok = 1 ] && [ -n "$default_trees" ]; then
    stamp=$(find "$proj/build" -type f -name bench_reclaim -perm -u+x | head -n 1)
    first_tree=${trees%% *}
    log "reclaiming: 1,000 leftovers against an empty temporary folder"
    python3 "$top/bench/reclaim.py" "$stamp" "$build/trees/$first_tree" "$raw/reclaim.json" "$build/reclaim-tmp"
fi

# 8. The report.
cat /proc/loadavg > "$raw/load-end.txt"
commit=$(git -C "$top" rev-parse --short HEAD 2>/dev/null || echo unknown)
if [ -n "$(GIT_OPTIONAL_LOCKS=0 git -C "$top" status --porcelain 2>/dev/null)" ]; then commit="$commit-dirty"; fi
mkdir -p "$top/bench/results"
report="$top/bench/results/$(date +%F)-$commit.md"
python3 "$top/bench/report.py" "$raw" "$commit" "$trees" "$pack_trees" > "$report"
cat "$report"
log "written to $report"
