#!/usr/bin/env python3
"""Reclaiming benchmark: what leftovers of killed launchers in the temporary
folder cost a run, side by side in one run of this script.

    reclaim.py STAMP_EXE TREE OUT_JSON WORK_DIR

STAMP_EXE is a onefile executable whose main library prints the monotonic
clock (CLOCK_MONOTONIC, in ns) on entry to run_code; TREE is a tree whose
copies stand in for the leftovers of a large application. Each condition
has its own temporary folder under WORK_DIR, topped up before every run to
what the condition names; the runs of the conditions alternate, so that the
machine's drift hits all of them alike.

Conditions:
  empty         an empty temporary folder
  leftovers     1,000 leftovers (dead runs' directories of 20 files of
                4 KiB, with their lock files)
  crowded       the same 1,000 leftovers and 10,000 unrelated entries
  large         as many leftovers as one run removes at most (the cap),
                each a copy of TREE

The application returns at once, so a run removes one leftover (a run stops
reclaiming once its application has ended); "whole run" shows what that one
costs.

Measures per run: from just before the launcher is started to run_code, and
the whole run (to the launcher's end).

Environment: BENCH_RECLAIM_RUNS (default 30), BENCH_RECLAIM_LARGE_RUNS
(default 5).
"""

import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

LEFTOVERS = 1000
UNRELATED = 10000
CAP = 32  # directories a run removes at most
ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
rng = random.Random(7)


def leftover_name():
    return "onefile_%d_%06d_%s" % (rng.randint(100, 4000000), rng.randint(0, 999999),
                                   "".join(rng.choice(ALPHABET) for _ in range(11)))


def make_small_leftover(folder):
    path = os.path.join(folder, leftover_name())
    os.mkdir(path, 0o700)
    for sub in ("", "lib", "data"):
        if sub:
            os.mkdir(os.path.join(path, sub), 0o700)
    for i in range(20):
        sub = ("", "lib", "data")[i % 3]
        with open(os.path.join(path, sub, "file%02d.bin" % i), "wb") as f:
            f.write(os.urandom(4096))
    open(path + ".lock", "w").close()


def make_large_leftover(folder, tree):
    path = os.path.join(folder, leftover_name())
    shutil.copytree(tree, path)
    os.chmod(path, 0o700)
    open(path + ".lock", "w").close()


def locks(folder):
    return sum(1 for n in os.listdir(folder) if n.endswith(".lock"))


def top_up(condition, folder, tree):
    if condition == "empty":
        return
    if condition == "large":
        for _ in range(CAP - locks(folder)):
            make_large_leftover(folder, tree)
        return
    for _ in range(LEFTOVERS - locks(folder)):
        make_small_leftover(folder)
    if condition == "crowded" and not os.path.exists(os.path.join(folder, "unrelated_00000")):
        for i in range(UNRELATED):
            open(os.path.join(folder, "unrelated_%05d" % i), "w").close()


def one_run(exe, folder):
    env = dict(os.environ, TMPDIR=folder)
    start = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
    r = subprocess.run([exe], env=env, capture_output=True)
    end = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
    if r.returncode != 0:
        raise SystemExit("bench: %s failed: %d %r" % (exe, r.returncode, r.stderr))
    entered = int(r.stdout.split()[-1])
    return (entered - start) / 1e6, (end - start) / 1e6


def main():
    exe, tree, out, work = sys.argv[1:5]
    runs = int(os.environ.get("BENCH_RECLAIM_RUNS", "30"))
    large_runs = int(os.environ.get("BENCH_RECLAIM_LARGE_RUNS", "5"))
    conditions = ["empty", "leftovers", "crowded", "large"]
    folders = {c: os.path.join(work, c) for c in conditions}
    for folder in folders.values():
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
    samples = {c: {"to_run_code": [], "whole": [], "removed": []} for c in conditions}
    for i in range(runs + 1):
        for c in conditions:
            if c == "large" and i > large_runs:
                continue
            top_up(c, folders[c], tree)
            before = locks(folders[c])
            to_run_code, whole = one_run(exe, folders[c])
            if i == 0:
                continue  # warm-up
            samples[c]["to_run_code"].append(to_run_code)
            samples[c]["whole"].append(whole)
            samples[c]["removed"].append(before - locks(folders[c]))
    summary = {}
    for c, s in samples.items():
        summary[c] = {k: statistics.median(v) for k, v in s.items()}
        summary[c]["runs"] = len(s["whole"])
        summary[c]["to_run_code_range"] = [min(s["to_run_code"]), max(s["to_run_code"])]
    summary["cap"] = CAP
    summary["tree"] = os.path.basename(tree.rstrip("/"))
    with open(out, "w") as f:
        json.dump(summary, f, indent=1)
    for folder in folders.values():
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
