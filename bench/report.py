#!/usr/bin/env python3
"""Turns the raw figures of bench/run.sh into a Markdown report.

    report.py RAW_DIR COMMIT "TREES" "PACK_TREES"

RAW_DIR holds hyperfine's JSON exports (<loc>-<tree>.json, pack-<tree>.json,
<loc>-python-later.<round>.json), peak memory medians (<loc>-<tree>.rss:
"name KiB" lines), sizes (*.size: one number), file counts (*.count: one
number) and the onefile CPython's check of its paths (<loc>-python-check.txt).
"""

import datetime
import json
import os
import platform
import statistics
import subprocess
import sys

TARGET_DISK = 1.00
TARGET_TMPFS = 1.10
TARGET_RSS_MIB = 16.0
TARGET_PACK_TIME = 1.10
TARGET_PACK_SIZE = 1.01
TARGET_CACHED_LATER = 1.50
TARGET_RECLAIM = 1.05
# Later cached starts with a budget of their own, in milliseconds.
TARGET_CACHED_LATER_MS = {"tree10": 20.0}
TARGET_PYTHON = 1.10

LABELS = {
    "onefile": "onefile executable (unpack, child, clean up)",
    "tar-zstd": "`tar -I 'zstd -19' -xf` + `rm -rf`",
    "zstd-d": "`zstd -d -c > /dev/null`",
    "makeself": "makeself `--zstd` archive, `--noprogress --quiet`",
}


def read(raw, name):
    path = os.path.join(raw, name)
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return f.read().strip()


def hyperfine(raw, name):
    text = read(raw, name)
    if text is None:
        return {}
    return {r["command"]: r for r in json.loads(text)["results"]}


def rounds(raw, prefix, numerator, denominator):
    """Merges the runs of hyperfine exports <prefix>.1.json, <prefix>.2.json,
    ...: for each command its median, min and max over all runs, and the
    ratio of the `numerator` command's median to the `denominator`'s in each
    round."""
    times, ratios, i = {}, [], 1
    while True:
        results = hyperfine(raw, f"{prefix}.{i}.json")
        if not results:
            break
        for name, r in results.items():
            times.setdefault(name, []).extend(r["times"])
        if numerator in results and denominator in results:
            ratios.append(results[numerator]["median"] / results[denominator]["median"])
        i += 1
    merged = {name: {"median": statistics.median(t), "min": min(t), "max": max(t), "runs": len(t)}
              for name, t in times.items()}
    return merged, ratios


def rss(raw, name):
    text = read(raw, name) or ""
    values = {}
    for line in text.splitlines():
        key, _, kib = line.partition(" ")
        values[key] = int(kib) / 1024.0
    return values


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def verdict(ok):
    return "ok" if ok else "**missed**"


def mib(n):
    return f"{int(n) / 1048576:.2f} MiB"


def main():
    raw, commit, trees, pack_trees = sys.argv[1], sys.argv[2], sys.argv[3].split(), sys.argv[4].split()
    out = []
    out.append(f"# Startup benchmark, {datetime.date.today().isoformat()}, commit {commit}")
    out.append("")
    out.append(f"- Machine: {os.cpu_count()} CPUs (nproc {len(os.sched_getaffinity(0))}), {cpu_model()}")
    out.append(f"- Kernel: {platform.system()} {platform.release()}")
    out.append(f"- Date: {datetime.datetime.now().astimezone().isoformat(timespec='seconds')}")
    out.append(f"- Commit: {commit}")
    loads = [(when, read(raw, name)) for when, name in
             (("at the start", "load-start.txt"),
              ("before the CPython's later starts on disk", "disk-python-load.txt"),
              ("on tmpfs", "tmpfs-python-load.txt"), ("at the end", "load-end.txt"))]
    loads = [f"{' '.join(text.split()[:3])} {when}" for when, text in loads if text]
    if loads:
        out.append("- Load average (1, 5, 15 min): " + "; ".join(loads))
    try:
        versions = subprocess.run(["sh", "-c", "hyperfine --version; zstd --version; makeself --version | tail -n 1"],
                                  capture_output=True, text=True).stdout.split("\n")
        out.append("- Tools: " + "; ".join(v.strip() for v in versions if v.strip()))
    except OSError:
        pass
    out.append("")
    out.append("Times are hyperfine medians (min to max in brackets), with the shell's own start-up "
               "subtracted; peak RSS is the median of GNU time's `%M`, the largest single process "
               "of the command. Every command unpacks below the same temporary folder (TMPDIR).")
    out.append("")

    ratios = []
    launcher_rss = []
    for loc, where in (("disk", "a directory under the build tree"), ("tmpfs", "/dev/shm")):
        header = [f"## Temporary folder on {loc} ({where})", "",
                  "| Tree | Command | Median | Range | Peak RSS |", "|---|---|---:|---:|---:|"]
        for t in trees:
            results = hyperfine(raw, f"{loc}-{t}.json")
            memory = rss(raw, f"{loc}-{t}.rss")
            if not results:
                # Started in the cached mode alone (BENCH_CACHED_ONLY).
                continue
            out.extend(header)
            header = []
            for name in ("onefile", "tar-zstd", "zstd-d", "makeself"):
                r = results.get(name)
                if r is None:
                    out.append(f"| {t} | {LABELS[name]} | n/a | | |")
                    continue
                m = memory.get(name)
                m_text = f"{m:.1f} MiB" if m is not None else "n/a"
                out.append(f"| {t} | {LABELS[name]} | {r['median'] * 1000:.1f} ms "
                           f"| {r['min'] * 1000:.1f} to {r['max'] * 1000:.1f} ms | {m_text} |")
            if "onefile" in results and "tar-zstd" in results:
                ratio = results["onefile"]["median"] / results["tar-zstd"]["median"]
                target = TARGET_DISK if loc == "disk" else TARGET_TMPFS
                ratios.append((t, loc, ratio, target))
            if "onefile" in memory:
                launcher_rss.append((t, loc, memory["onefile"]))
        if not header:
            out.append("")

    cached_ratios = []
    checks = []
    for loc in ("disk", "tmpfs"):
        rows = []
        for t in trees:
            default = hyperfine(raw, f"{loc}-{t}.json").get("onefile")
            first = hyperfine(raw, f"{loc}-{t}-first.json").get("onefile-cached-first")
            later = hyperfine(raw, f"{loc}-{t}-later.json")
            cached, single = later.get("onefile-cached-later"), later.get("onefile-single")
            single_cached = later.get("onefile-single-cached")
            for label, r in ((f"{t}, default mode (unpack, child, clean up)", default),
                             (f"{t}, cached, first start (unpack, sync, publish, child)", first),
                             (f"{t}, cached, later start (one process, nothing unpacked)", cached),
                             ("one-file payload, default mode (same run as the row above)", single),
                             ("one-file payload, cached, later start (same run)", single_cached)):
                if r is not None:
                    rows.append(f"| {label} | {r['median'] * 1000:.1f} ms "
                                f"| {r['min'] * 1000:.1f} to {r['max'] * 1000:.1f} ms |")
            files = read(raw, f"{t}-files.count")
            if cached and single_cached:
                check = cached["median"] - single_cached["median"]
                count = f"{int(files):,}" if files else "all the"
                # Processor time, less shaken than the wall clock by other
                # work on the machine: hyperfine's means of user and system.
                cpu = (cached["user"] + cached["system"] - single_cached["user"] - single_cached["system"])
                rows.append(f"| {t}: the check of {count} files (later start - one-file cached later start) "
                            f"| {check * 1000:.1f} ms | user + system: {cpu * 1000:.1f} ms |")
                checks.append((t, loc, count, cached["median"], check))
            if default and first:
                rows.append(f"| {t}: first cached start / default start | {first['median'] / default['median']:.3f} | |")
            if cached and single:
                cached_ratios.append((t, loc, cached["median"] / single["median"]))
        if rows:
            out.append(f"## Cached target directory, temporary folder on {loc}")
            out.append("")
            out.append("| Start | Median | Range |")
            out.append("|---|---:|---:|")
            out.extend(rows)
            out.append("")

    python_ratios = []
    python_files = read(raw, "python-files.count")
    described = False
    for loc in ("disk", "tmpfs"):
        later, round_ratios = rounds(raw, f"{loc}-python-later", "onefile-python-cached", "python3")
        onefile, installed = later.get("onefile-python-cached"), later.get("python3")
        default = hyperfine(raw, f"{loc}-python-default.json").get("onefile-python")
        if not (onefile or default):
            continue
        out.append(f"## Onefile CPython, temporary folder on {loc}")
        out.append("")
        if not described:
            described = True
            out.append(f"Debian's python3.11 embedded through PyConfig in a small main library; packed: its "
                   f"standard library with lib-dynload, less test/, config-3.11-*/ and the test-only "
                   f"extension modules, with unchecked-hash .pyc files, and libpython3.11.so.1.0 "
                   f"({int(python_files):,} files with the main library). `-c pass`, hyperfine without "
                   f"a shell; the later starts in {len(round_ratios)} short rounds, each of both "
                   f"commands one after the other, in turns first, their runs merged. The installed interpreter also reads this machine's "
                   f"dist-packages directories and runs their .pth files; the packed one has none.")
            out.append("")
        out.append("| Start | Median | Range | Runs |")
        out.append("|---|---:|---:|---:|")
        for label, r in (("onefile CPython, cached, later start", onefile),
                         ("installed interpreter, `/usr/bin/python3 -c pass`", installed),
                         ("onefile CPython, default mode (unpack, child, clean up)", default)):
            if r is not None:
                runs = r.get("runs", len(r.get("times", [])))
                out.append(f"| {label} | {r['median'] * 1000:.1f} ms "
                           f"| {r['min'] * 1000:.1f} to {r['max'] * 1000:.1f} ms | {runs} |")
        if onefile and installed:
            ratio = onefile["median"] / installed["median"]
            python_ratios.append((loc, ratio))
            out.append(f"| onefile later start / installed interpreter | {ratio:.3f} | "
                       + ", ".join(f"{x:.3f}" for x in round_ratios) + " (each round) | |")
        out.append("")
        check = read(raw, f"{loc}-python-check.txt")
        if check:
            out.append("What a first start of the cached executable printed of its own paths:")
            out.append("")
            out.append("```")
            out.append(check)
            out.append("```")
            out.append("")

    out.append("## Against the targets")
    out.append("")
    out.append("| Measure | Figure | Target | |")
    out.append("|---|---:|---:|---|")
    for t, loc, ratio, target in ratios:
        out.append(f"| {t}, {loc}: onefile / tar-zstd (row 1 / row 2) | {ratio:.3f} | <= {target:.2f} "
                   f"| {verdict(ratio <= target)} |")
    for t, loc, m in launcher_rss:
        out.append(f"| {t}, {loc}: launcher peak RSS | {m:.1f} MiB | <= {TARGET_RSS_MIB:.0f} MiB "
                   f"| {verdict(m <= TARGET_RSS_MIB)} |")
    for t in pack_trees:
        results = hyperfine(raw, f"pack-{t}.json")
        talvor_size, tar_size = read(raw, f"pack-{t}-talvor.size"), read(raw, f"pack-{t}-tar.size")
        if "talvor-pack" in results and "tar-zstd" in results:
            ratio = results["talvor-pack"]["median"] / results["tar-zstd"]["median"]
            out.append(f"| {t}: packing time, talvor-pack / tar-zstd "
                       f"({results['talvor-pack']['median']:.2f} s / {results['tar-zstd']['median']:.2f} s) "
                       f"| {ratio:.3f} | <= {TARGET_PACK_TIME:.2f} | {verdict(ratio <= TARGET_PACK_TIME)} |")
        if talvor_size and tar_size:
            ratio = int(talvor_size) / int(tar_size)
            out.append(f"| {t}: packed size, talvor-pack / tar-zstd ({mib(talvor_size)} / {mib(tar_size)}) "
                       f"| {ratio:.3f} | <= {TARGET_PACK_SIZE:.2f} | {verdict(ratio <= TARGET_PACK_SIZE)} |")
    for t, loc, ratio in cached_ratios:
        out.append(f"| {t}, {loc}: later cached start / one-file payload start | {ratio:.3f} "
                   f"| <= {TARGET_CACHED_LATER:.2f} | {verdict(ratio <= TARGET_CACHED_LATER)} |")
    for t, loc, count, later, check in checks:
        budget = TARGET_CACHED_LATER_MS.get(t)
        if budget is not None:
            out.append(f"| {t}, {loc}: later cached start (the check of {count} files: {check * 1000:.1f} ms) "
                       f"| {later * 1000:.1f} ms | < {budget:.0f} ms | {verdict(later * 1000 < budget)} |")
    for loc, ratio in python_ratios:
        out.append(f"| onefile CPython, {loc}: later cached start / `/usr/bin/python3 -c pass` | {ratio:.3f} "
                   f"| <= {TARGET_PYTHON:.2f} | {verdict(ratio <= TARGET_PYTHON)} |")
    reclaim = json.loads(read(raw, "reclaim.json") or "null")
    if reclaim:
        ratio = reclaim["leftovers"]["to_run_code"] / reclaim["empty"]["to_run_code"]
        out.append(f"| start to run_code, 1,000 leftovers / empty temporary folder "
                   f"| {ratio:.3f} | <= {TARGET_RECLAIM:.2f} | {verdict(ratio <= TARGET_RECLAIM)} |")
    if not (ratios or checks or python_ratios):
        out.append("| launcher rows | n/a | | the onefile executables were not built |")
    out.append("")

    if reclaim:
        out.append("## Reclaiming what killed launchers left (temporary folder on disk)")
        out.append("")
        out.append(f"A tiny application (its main library only) started {reclaim['empty']['runs']} times per "
                   "condition, the conditions alternating; each temporary folder is topped up before every "
                   f"run. A run removes at most {reclaim['cap']} leftovers while its application runs, and "
                   "begins none after it has ended but the first: this application ends at once, so the "
                   "whole run shows what one leftover costs. Medians.")
        out.append("")
        out.append("| Temporary folder | Start to run_code | Range | Whole run | Added to the whole run "
                   "| Leftovers removed per run |")
        out.append("|---|---:|---:|---:|---:|---:|")
        names = {
            "empty": "empty",
            "leftovers": "1,000 leftovers (20 files of 4 KiB each)",
            "crowded": "1,000 leftovers and 10,000 unrelated entries",
            "large": f"{reclaim['cap']} leftovers, each a copy of {reclaim['tree']}",
        }
        base = reclaim["empty"]["whole"]
        for key, label in names.items():
            r = reclaim[key]
            low, high = r["to_run_code_range"]
            out.append(f"| {label} ({r['runs']} runs) | {r['to_run_code']:.2f} ms | {low:.2f} to {high:.2f} ms "
                       f"| {r['whole']:.1f} ms | {r['whole'] - base:+.1f} ms | {r['removed']:.0f} |")
        out.append("")

    out.append("## Sizes")
    out.append("")
    out.append("| Tree | onefile executable | tar.zst (-19) | makeself archive |")
    out.append("|---|---:|---:|---:|")
    for t in trees:
        cells = []
        for kind in ("onefile", "tarzst", "makeself"):
            v = read(raw, f"{t}-{kind}.size")
            cells.append(mib(v) if v else "n/a")
        if cells.count("n/a") == len(cells):
            continue
        out.append(f"| {t} | " + " | ".join(cells) + " |")
    python_size = read(raw, "python-onefile.size")
    if python_size:
        out.append(f"| onefile CPython | {mib(python_size)} | | |")
    out.append("")
    print("\n".join(out))


if __name__ == "__main__":
    main()
