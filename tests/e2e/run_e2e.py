#!/usr/bin/env python3
"""End-to-end tests of the Linux launcher: real onefile executables, run in
a scratch temporary folder each, with a time limit, checking exit status,
exact output and that nothing is left behind.

    run_e2e.py BIN_DIR CASE
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

BIN = os.path.abspath(sys.argv[1])
TIMEOUT = 30


def exe(name):
    return os.path.join(BIN, name)


class Scratch:
    """A fresh temporary folder for the launcher; must be empty at the end."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="talvor-e2e-", dir=os.path.join(BIN, "scratch"))

    def env(self, **extra):
        env = {k: v for k, v in os.environ.items() if not k.startswith("TALVOR_")}
        env["TMPDIR"] = self.path
        env.update(extra)
        return env

    def leftovers(self):
        return os.listdir(self.path)

    def finish(self):
        left = self.leftovers()
        shutil.rmtree(self.path, ignore_errors=True)
        check(left == [], "nothing is left in the temporary folder, found %r" % left)


failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL: " + what)


def run(scratch, argv, env=None, cwd=None):
    result = subprocess.run(argv, env=env or scratch.env(), cwd=cwd, capture_output=True, timeout=TIMEOUT)
    return result


def parse(stdout):
    values = {}
    for line in stdout.decode("utf-8", "replace").splitlines():
        if "=" in line:
            key, value = line.split("=", 1)
            if value == "unset":
                values[key] = None
            elif value.startswith("x"):
                values[key] = bytes.fromhex(value[1:]).decode("utf-8", "surrogateescape")
            else:
                values[key] = value
    return values


def case_exit_statuses():
    for status, expected in [(0, 0), (3, 3), (255, 255), (256, 0), (-1, 255)]:
        s = Scratch()
        r = run(s, [exe("onefile_app"), "exit", str(status)])
        check(r.returncode == expected, "run_code returning %d ends the launcher with %d, got %d" % (status, expected, r.returncode))
        check(r.stdout == b"ready\n" and r.stderr == b"", "only the application writes: %r %r" % (r.stdout, r.stderr))
        s.finish()


def case_crash():
    s = Scratch()
    r = run(s, [exe("onefile_app"), "crash"])
    check(r.returncode == -signal.SIGSEGV, "a crashing application ends the launcher by SIGSEGV, got %d" % r.returncode)
    s.finish()


def case_arguments():
    args = ["print", "with blank", "tab\there", 'quote"inside', 'trail\\', 'dir with blank\\\\', "", "ünïcødé ✓",
            "*", "--exit", "\"\""]
    s = Scratch()
    r = run(s, [exe("onefile_app")] + args)
    check(r.returncode == 0, "print exits 0, got %d (%r)" % (r.returncode, r.stderr))
    v = parse(r.stdout)
    check(v.get("argc") == str(len(args) + 1), "argc counts every argument: %r" % v.get("argc"))
    for i, a in enumerate(args, start=1):
        check(v.get("arg%d" % i) == a, "argument %d arrives unchanged: %r != %r" % (i, v.get("arg%d" % i), a))
    check(v.get("arg0") == os.path.realpath(exe("onefile_app")), "argv[0] is the launcher's module path: %r" % v.get("arg0"))
    s.finish()


def case_handover():
    s = Scratch()
    p = subprocess.Popen(["./onefile_app", "print"], cwd=BIN, env=s.env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = p.communicate(timeout=TIMEOUT)
    v = parse(out)
    check(p.returncode == 0, "print exits 0: %r" % err)
    check(v["TALVOR_ONEFILE_DIRECTORY"] == os.path.realpath(BIN), "directory of the launcher: %r" % v["TALVOR_ONEFILE_DIRECTORY"])
    check(v["TALVOR_ORIGINAL_ARGV0"] == "./onefile_app", "argv[0] as given: %r" % v["TALVOR_ORIGINAL_ARGV0"])
    check(v["TALVOR_ONEFILE_PARENT"] == str(p.pid), "the parent's process id")
    time_us, random = v["TALVOR_ONEFILE_TIME_US"], v["TALVOR_ONEFILE_RANDOM"]
    check(len(time_us) == 6 and time_us.isdigit(), "six digits of microseconds: %r" % time_us)
    check(len(random) == 11, "eleven random characters: %r" % random)
    check(v["TALVOR_ONEFILE_START"] is None, "no start time is set")
    target = os.path.join(s.path, "onefile_%d_%s_%s" % (p.pid, time_us, random))
    check(v["dll"] == os.path.join(target, "libe2e_app.so"), "the main library's path: %r" % v["dll"])
    check(not os.path.exists(target), "the target directory is removed")
    s.finish()

    # Inherited remembered values are replaced with fresh ones.
    s = Scratch()
    r = run(s, [exe("onefile_app"), "print"], env=s.env(TALVOR_ONEFILE_RANDOM="stalestalea", TALVOR_ONEFILE_TIME_US="123456",
                                                      TALVOR_ONEFILE_START="1"))
    v = parse(r.stdout)
    check(v["TALVOR_ONEFILE_RANDOM"] != "stalestalea" and v["TALVOR_ONEFILE_START"] is None, "a parent makes fresh values")
    s.finish()


def case_no_entry_point():
    s = Scratch()
    r = run(s, [exe("onefile_noentry")])
    check(r.returncode == 2, "exit 2 without run_code, got %d" % r.returncode)
    check(r.stdout == b"Error, DLL entry point not found.\n", "message on standard output: %r" % r.stdout)
    s.finish()


def case_missing_dependency():
    s = Scratch()
    r = run(s, [exe("onefile_dep_missing"), "dep"])
    check(r.returncode == 2, "exit 2 for a missing dependency, got %d" % r.returncode)
    check(r.stderr.startswith(b"Error, load DLL. ([Error 0] ") and r.stderr.endswith(b")\n"), "load error: %r" % r.stderr)
    s.finish()
    # A dependency next to the launcher, or in the current directory, is not used.
    s = Scratch()
    alone = os.path.join(s.path, "alone")
    os.mkdir(alone)
    shutil.copy(exe("onefile_dep_missing"), alone)
    shutil.copy(exe("libe2e_dep.so"), alone)
    r = run(s, [os.path.join(alone, "onefile_dep_missing"), "dep"], cwd=alone)
    check(r.returncode == 2 and r.stderr.startswith(b"Error, load DLL."), "a dependency next to the launcher is not found")
    shutil.rmtree(alone)
    s.finish()


def case_packed_dependency():
    s = Scratch()
    r = run(s, [exe("onefile_dep_packed"), "dep"])
    check(r.returncode == 42, "the dependency in the target directory is found, got %d %r" % (r.returncode, r.stderr))
    s.finish()


def case_parent_set_by_hand():
    s = Scratch()
    r = run(s, [exe("onefile_app"), "exit", "5"], env=s.env(TALVOR_ONEFILE_PARENT="2147483600"))
    check(r.returncode == 5, "an unknown parent id means parent mode, got %d" % r.returncode)
    s.finish()

    s = Scratch()
    first = subprocess.Popen([exe("onefile_app"), "sleep", "3000"], env=s.env(), stdout=subprocess.PIPE)
    first.stdout.readline()
    r = run(s, [exe("onefile_app"), "exit", "5"], env=s.env(TALVOR_ONEFILE_PARENT=str(first.pid)))
    check(r.returncode == 2 and r.stderr.startswith(b"Error, load DLL."),
          "another instance's id makes a child with no library: %d %r" % (r.returncode, r.stderr))
    first.wait(timeout=TIMEOUT)
    s.finish()


def interrupt(command, sig, expect_seconds):
    s = Scratch()
    start = time.monotonic()
    p = subprocess.Popen([exe("onefile_app")] + command, env=s.env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    check(p.stdout.readline() == b"ready\n", "the application started")
    if command[0] == "stubborn":
        p.stdout.readline()
    p.send_signal(sig)
    p.wait(timeout=TIMEOUT)
    elapsed = time.monotonic() - start
    check(p.returncode == -sig, "%s ends the launcher by the same signal, got %d" % (sig.name, p.returncode))
    lo, hi = expect_seconds
    check(lo <= elapsed <= hi, "%s took %.1f s, expected %.1f to %.1f" % (sig.name, elapsed, lo, hi))
    s.finish()


def case_signals():
    interrupt(["sleep", "20000"], signal.SIGINT, (0, 3))
    interrupt(["sleep", "20000"], signal.SIGTERM, (0, 3))
    # An application that ignores the signal is killed after five seconds.
    interrupt(["stubborn", "20000"], signal.SIGTERM, (4.8, 9))


def case_link_survives():
    s = Scratch()
    outside = tempfile.mkdtemp(prefix="talvor-outside-", dir=os.path.join(BIN, "scratch"))
    with open(os.path.join(outside, "keep.txt"), "w") as f:
        f.write("keep")
    r = run(s, [exe("onefile_app"), "link", outside])
    check(r.returncode == 0, "the application made its link")
    check(os.path.exists(os.path.join(outside, "keep.txt")), "clean-up does not follow a link out of the target directory")
    shutil.rmtree(outside)
    s.finish()


if __name__ == "__main__":
    os.makedirs(os.path.join(BIN, "scratch"), exist_ok=True)
    globals()["case_" + sys.argv[2]]()
    if failures:
        print("%d check(s) failed" % len(failures))
        sys.exit(1)
    print("ok")
