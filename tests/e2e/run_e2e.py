#!/usr/bin/env python3
"""End-to-end tests of the Linux launcher: real onefile executables, run in
a scratch temporary folder each, with a time limit, checking exit status,
exact output and that nothing is left behind.

    run_e2e.py BIN_DIR CASE
"""
import contextlib
import fcntl
import hashlib
import os
import pty
import pwd
import random
import resource
import select
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import termios
import time

BIN = os.path.abspath(sys.argv[1])
TIMEOUT = 30


# "_prebuilt": the table runs against the applications that talvor-pack
# made from the prebuilt launcher, each named as its linked twin plus this.
WAY = os.environ.get("TALVOR_E2E_WAY", "")


def exe(name):
    """An onefile application (made the way under test) or another file of
    the build."""
    return os.path.join(BIN, name + WAY if name.startswith("onefile_") else name)


class Scratch:
    """A fresh temporary folder for the launcher (below `parent`, by default
    the build tree's scratch folder); must be empty at the end."""

    def __init__(self, parent=None):
        self.path = tempfile.mkdtemp(prefix="talvor-e2e-", dir=parent or os.path.join(BIN, "scratch"))

    def env(self, **extra):
        env = {k: v for k, v in os.environ.items() if not k.startswith("TALVOR_")}
        env["TMPDIR"] = self.path
        env.update(extra)
        return env

    def leftovers(self):
        # ThreadSanitizer's runtime keeps a file of its own here while a
        # process starts up; a process killed meanwhile leaves it.
        return [n for n in os.listdir(self.path) if not n.startswith("tsan.rodata.")]

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


def processes_with(token, prefix=False):
    """Process ids whose command line holds the argument `token` (or, with
    `prefix`, one that starts with it): the launcher and the application of
    one run carry it, nothing else does."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    arguments = f.read().split(b"\0")
            except OSError:
                continue
            if any(a == token.encode() or prefix and a.startswith(token.encode()) for a in arguments):
                found.append(int(entry))
    return found


def survivors(token, seconds=1.0, prefix=False):
    """The processes of a run still alive after `seconds`; those are killed."""
    deadline = time.monotonic() + seconds
    while processes_with(token, prefix) and time.monotonic() < deadline:
        time.sleep(0.02)
    alive = processes_with(token, prefix)
    for pid in alive:
        with contextlib.suppress(OSError):
            os.kill(pid, signal.SIGKILL)
    return alive


def finished(p, token, seconds=10):
    """Waits for a launcher to end (killing it after `seconds`), then takes
    what is left of its run. Returns whether it hung, the pids of the run
    still alive after a second, and its standard error."""
    hung = False
    try:
        p.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        hung = True
        p.kill()
        p.wait()
    # A surviving application holds the pipes open: it goes first.
    alive = survivors(token)
    return hung, alive, p.communicate()[1]


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
    p = subprocess.Popen(["./onefile_app" + WAY, "print"], cwd=BIN, env=s.env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = p.communicate(timeout=TIMEOUT)
    v = parse(out)
    check(p.returncode == 0, "print exits 0: %r" % err)
    check(v["TALVOR_ONEFILE_DIRECTORY"] == os.path.realpath(BIN), "directory of the launcher: %r" % v["TALVOR_ONEFILE_DIRECTORY"])
    check(v["TALVOR_ORIGINAL_ARGV0"] == "./onefile_app" + WAY, "argv[0] as given: %r" % v["TALVOR_ORIGINAL_ARGV0"])
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
    # dlerror has no number: its text alone, which names the missing library.
    check(r.stderr.startswith(b"Error, load DLL. (libe2e_dep.so: ") and r.stderr.endswith(b")\n")
          and b"[Error" not in r.stderr, "load error: %r" % r.stderr)
    s.finish()
    # A dependency next to the launcher, or in the current directory, is not used.
    s = Scratch()
    alone = os.path.join(s.path, "alone")
    os.mkdir(alone)
    shutil.copy(exe("onefile_dep_missing"), alone)
    shutil.copy(exe("libe2e_dep.so"), alone)
    r = run(s, [os.path.join(alone, os.path.basename(exe("onefile_dep_missing"))), "dep"], cwd=alone)
    check(r.returncode == 2 and r.stderr.startswith(b"Error, load DLL."), "a dependency next to the launcher is not found")
    shutil.rmtree(alone)
    s.finish()


def case_packed_dependency():
    s = Scratch()
    r = run(s, [exe("onefile_dep_packed"), "dep"])
    check(r.returncode == 42, "the dependency in the target directory is found, got %d %r" % (r.returncode, r.stderr))
    # A module loaded at run time sees the symbols of the libraries that the
    # main library links: they are in the global scope, as a program's are.
    r = run(s, [exe("onefile_dep_packed"), "plugin"])
    check(r.returncode == 43 and r.stdout == b"ready\nplugin=loaded\n",
          "a plugin finds the main library's dependency, got %d %r" % (r.returncode, r.stdout))
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


def interrupt(command, sig, expect_seconds, launcher="onefile_app"):
    """Sends `sig` to the launcher once the application runs; the launcher
    must end by it within `expect_seconds` of the signal (the start, slow
    on a loaded machine, does not count)."""
    s = Scratch()
    p = subprocess.Popen([exe(launcher)] + command, env=s.env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    check(p.stdout.readline() == b"ready\n", "the application started")
    if command[0] == "stubborn":
        p.stdout.readline()
    start = time.monotonic()
    p.send_signal(sig)
    p.wait(timeout=TIMEOUT)
    elapsed = time.monotonic() - start
    check(p.returncode == -sig, "%s ends the launcher by the same signal, got %d" % (sig.name, p.returncode))
    lo, hi = expect_seconds
    check(lo <= elapsed <= hi, "%s took %.1f s, expected %.1f to %.1f" % (sig.name, elapsed, lo, hi))
    s.finish()


def on_terminal(launcher, command, key):
    """Runs the launcher as the foreground process group of a fresh
    pseudo-terminal and types `key` once the application has started: the
    terminal then signals the whole group, as a shell's job would be.
    Returns the exit status, the seconds after the key, and the output."""
    s = Scratch()
    master, slave = pty.openpty()

    def take_terminal():
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)

    p = subprocess.Popen([exe(launcher)] + command, env=s.env(), stdin=slave, stdout=slave, stderr=slave,
                         start_new_session=True, preexec_fn=take_terminal)
    os.close(slave)
    output = b""
    start = None
    deadline = time.monotonic() + TIMEOUT
    started = b"stubborn\r\n" if command[0] == "stubborn" else b"ready\r\n"
    while p.poll() is None and time.monotonic() < deadline:
        if start is None and started in output:
            os.write(master, key)
            start = time.monotonic()
        ready, _, _ = select.select([master], [], [], 0.05)
        if ready:
            try:
                output += os.read(master, 4096)
            except OSError:
                pass
    if p.poll() is None:
        p.kill()
    p.wait()
    elapsed = time.monotonic() - (start or 0)
    try:
        while select.select([master], [], [], 0)[0]:
            data = os.read(master, 4096)
            if not data:
                break
            output += data
    except OSError:
        pass
    os.close(master)
    s.finish()
    print("%s %s, key %r: status %d after %.2f s" % (launcher, " ".join(command), key, p.returncode, elapsed))
    return p.returncode, elapsed, output.replace(b"\r\n", b"\n")


def case_signals():
    interrupt(["sleep", "20000"], signal.SIGINT, (0, 3))
    interrupt(["sleep", "20000"], signal.SIGTERM, (0, 3))
    # An application that ignores the signal is killed after five seconds.
    interrupt(["stubborn", "20000"], signal.SIGTERM, (4.8, 9))
    # The console launcher leaves Ctrl+C and Ctrl+\ of the terminal to the
    # application, which handles them here and ends later with its own code.
    for key in (b"\x03", b"\x1c"):
        status, elapsed, output = on_terminal("onefile_app_console", ["stubborn", "1500", "9"], key)
        check(status == 9 and b"interrupts=1\n" in output,
              "%r is left to the application: %d %r" % (key, status, output))
        check(elapsed >= 1.0, "the launcher waited for the application: %.1f s" % elapsed)
    # The default launcher takes the terminal's Ctrl+C: the application that
    # survives it is stopped after five seconds.
    status, elapsed, output = on_terminal("onefile_app", ["stubborn", "20000", "9"], b"\x03")
    check(status == -signal.SIGINT and 4.8 <= elapsed <= 9,
          "the default launcher ends by SIGINT after 5 s: %d %.1f s %r" % (status, elapsed, output))
    # A signal sent to the console launcher alone takes the same path as in
    # the default one: passed on, and the launcher ends by it.
    interrupt(["sleep", "20000"], signal.SIGINT, (0, 3), launcher="onefile_app_console")
    interrupt(["stubborn", "20000"], signal.SIGINT, (4.8, 9), launcher="onefile_app_console")


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


# --- Reclaiming what killed launchers left -------------------------------------


def lock_free(path):
    """True when nobody holds the lock file at `path`."""
    with open(path, "rb") as f:
        try:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return True
        except BlockingIOError:
            return False


def snapshot(path):
    """Every name below `path` (not following links), with each file's bytes."""
    tree = {}
    for top, dirs, files in os.walk(path):
        for name in dirs + files:
            full = os.path.join(top, name)
            tree[os.path.relpath(full, path)] = None if not os.path.isfile(full) or os.path.islink(full) else open(full, "rb").read()
    return tree


def leftover(folder, name, mode=0o700, lock=True):
    os.mkdir(os.path.join(folder, name), mode)
    with open(os.path.join(folder, name, "payload.txt"), "w") as f:
        f.write(name)
    os.chmod(os.path.join(folder, name), mode)
    if lock:
        open(os.path.join(folder, name + ".lock"), "w").close()


def killed_launchers(scratch, count, command=("sleep", "60000")):
    """Starts `count` launchers, kills each outright with SIGKILL once its
    application runs, and returns the names they left."""
    before = set(scratch.leftovers())
    processes = [subprocess.Popen([exe("onefile_app")] + list(command), env=scratch.env(), stdout=subprocess.PIPE)
                 for _ in range(count)]
    for p in processes:
        check(p.stdout.readline() == b"ready\n", "the application started")
    # A launcher reclaims while its application starts: give the last ones
    # time to finish that, or they would take the first ones' leftovers.
    time.sleep(1)
    for p in processes:
        p.kill()
        p.wait()
    return set(scratch.leftovers()) - before


def case_reclaim():
    # What the reclaimer must leave alone, each with an unlocked lock file
    # where that is not the point: a directory without one (an older
    # launcher's, or not ours), one open to others, a link, and names that
    # miss the pattern in one place each.
    decoys = [("onefile_4242_123456_AAAAAAAAAAA", 0o700, False),
              ("onefile_4243_123456_AAAAAAAAAAA", 0o755, True),
              ("onefile_4244_12345_AAAAAAAAAAA", 0o700, True),
              ("onefile_4245_123456_AAAAAAAAAA", 0o700, True),
              ("onefile_4246_123456_AAAAAAAAAA+", 0o700, True),
              ("onefile__123456_AAAAAAAAAAA", 0o700, True),
              ("onefile_12345678901_123456_AAAAAAAAAAA", 0o700, True),
              ("onefile_x4247_123456_AAAAAAAAAAA", 0o700, True)]
    for unrelated in (0, 10000):
        s = Scratch()
        outside = tempfile.mkdtemp(prefix="talvor-outside-", dir=os.path.join(BIN, "scratch"))
        with open(os.path.join(outside, "keep.txt"), "w") as f:
            f.write("keep")
        for name, mode, lock in decoys:
            leftover(s.path, name, mode, lock)
        os.symlink(outside, os.path.join(s.path, "onefile_4248_123456_AAAAAAAAAAA"))
        open(os.path.join(s.path, "onefile_4248_123456_AAAAAAAAAAA.lock"), "w").close()
        for i in range(unrelated):
            if i % 10 == 0:
                os.mkdir(os.path.join(s.path, "unrelated_%05d" % i))
            else:
                open(os.path.join(s.path, "unrelated_%05d" % i), "w").close()
        kept = snapshot(s.path)

        stop = os.path.join(outside, "stop")
        live = subprocess.Popen([exe("onefile_app"), "hold", "100000", stop], env=s.env(), stdout=subprocess.PIPE)
        live.stdout.readline()
        live_names = set(s.leftovers()) - set(kept)
        check(len(live_names) == 2, "the live run has a directory and a lock file: %r" % live_names)
        killed = killed_launchers(s, 20)
        check(len(killed) == 40 and all(lock_free(os.path.join(s.path, n)) for n in killed if n.endswith(".lock")),
              "20 killed launchers leave 20 directories and 20 free lock files: %r" % sorted(killed))

        # An application that runs for a while: one that ends at once stops
        # the reclaiming after the first leftover.
        r = run(s, [exe("onefile_app"), "sleep", "1500"])
        check(r.returncode == 0, "the normal run ends with 0: %d %r" % (r.returncode, r.stderr))
        left = set(s.leftovers())
        check(not (killed & left), "%d unrelated entries: nothing of the killed runs is left: %r"
              % (unrelated, sorted(killed & left)[:4]))
        check(live_names <= left, "the live run's directory and lock file stay")
        after = {k: v for k, v in snapshot(s.path).items() if k.split("/")[0] not in live_names}
        check(after == kept, "the decoys and the unrelated entries are untouched: %r"
              % sorted(set(after.items()) ^ set(kept.items()))[:4])
        check(os.path.exists(os.path.join(outside, "keep.txt")), "nothing is followed through a link")
        open(stop, "w").close()
        out, _ = live.communicate(timeout=TIMEOUT)
        check(live.returncode == 0 and b"kept=1\n" in out, "the live run kept its files: %d %r" % (live.returncode, out))
        for name in kept:
            path = os.path.join(s.path, name)
            if os.path.islink(path) or not os.path.isdir(path):
                os.unlink(path) if os.path.lexists(path) else None
            else:
                os.chmod(path, 0o700)
                shutil.rmtree(path)
        shutil.rmtree(outside)
        s.finish()


def case_reclaim_race():
    """Launchers started and killed at random while others reclaim: no live
    run loses a file, and afterwards nothing is left."""
    s = Scratch()
    rng = random.Random(1313)
    live, others, pending_kills = [], [], []
    storm_end = time.monotonic() + 15
    victims = 0
    while time.monotonic() < storm_end:
        roll = rng.random()
        if roll < 0.45:
            p = subprocess.Popen([exe("onefile_app"), "sleep", "60000"], env=s.env(), stdout=subprocess.DEVNULL)
            pending_kills.append((time.monotonic() + rng.uniform(0, 0.6), p))
            victims += 1
        elif roll < 0.6:
            live.append(subprocess.Popen([exe("onefile_app"), "hold", str(rng.randint(1000, 4000))], env=s.env(),
                                         stdout=subprocess.PIPE))
        else:
            others.append(subprocess.Popen([exe("onefile_app"), "sleep", str(rng.choice([0, 300]))], env=s.env(),
                                           stdout=subprocess.DEVNULL))
        now = time.monotonic()
        for due, p in [k for k in pending_kills if k[0] <= now]:
            p.kill()
            p.wait()
            pending_kills.remove((due, p))
        time.sleep(rng.uniform(0, 0.08))
    for _, p in pending_kills:
        p.kill()
        p.wait()
    for p in live:
        out, _ = p.communicate(timeout=60)
        check(p.returncode == 0 and b"kept=1\n" in out, "a live run kept its files: %d %r" % (p.returncode, out))
    for p in others:
        p.wait(timeout=60)
        check(p.returncode == 0, "a reclaiming run ends with 0: %d" % p.returncode)
    print("%d killed, %d live, %d reclaiming runs; %d entries left after the storm"
          % (victims, len(live), len(others), len(s.leftovers())))
    for _ in range(10):
        if not s.leftovers():
            break
        run(s, [exe("onefile_app"), "sleep", "1000"])
    s.finish()


# --- Damaged attached data ---------------------------------------------------

SIGNATURE = b"KAY\x28\xb5\x2f\xfd"


def blob_region(image):
    """Start and length of the attached data inside an executable."""
    start = image.find(SIGNATURE)
    assert start >= 0 and image.find(SIGNATURE, start + 1) < 0, "one attached data"
    for end in range(start + 14, len(image) - 7):
        if struct.unpack_from("<Q", image, end)[0] == end - start:
            return start, end + 8 - start
    raise AssertionError("no trailing length")


# Offset in the attached data of the frame header descriptor: after "KAY"
# and the zstd magic number.
DESCRIPTOR_AT = 3 + 4


def patched(scratch, name, change):
    """A copy of the executable `name` (onefile_big has room for any of the
    replacement archives) whose attached data `change` rewrote;
    the result may be shorter than the original: zeros fill the rest."""
    image = bytearray(open(exe(name), "rb").read())
    start, length = blob_region(image)
    blob = change(bytearray(image[start:start + length]))
    assert len(blob) <= length, "the new attached data fits the old room (%d > %d)" % (len(blob), length)
    image[start:start + length] = bytes(blob) + bytes(length - len(blob))
    directory = os.path.join(scratch.path, "exe")
    os.makedirs(directory, exist_ok=True)
    path = os.path.join(directory, name)
    with open(path, "wb") as f:
        f.write(image)
    os.chmod(path, 0o755)
    return path


def archive(entries, end_marker=True):
    data = b""
    for name, content, *claimed in entries:
        data += name.encode("utf-16-le", "surrogatepass") + b"\0\0"
        data += struct.pack("<Q", claimed[0] if claimed else len(content)) + content
    return data + (b"\0\0" if end_marker else b"")


def attached(archive_bytes):
    frame = subprocess.run(["zstd", "-19", "--check", "-q", "-c"], input=archive_bytes, capture_output=True,
                           check=True).stdout
    return b"KAY" + frame + bytes(3) + struct.pack("<Q", 6 + len(frame))


def with_archive(entries, end_marker=True):
    return lambda old: bytearray(attached(archive(entries, end_marker)))


def main_library():
    return open(exe("libe2e_app.so"), "rb").read()


def insert_after_descriptor(byte, set_bits, clear_bits):
    """Inserts one header byte after the frame header descriptor, taking the
    room from the trailing length, which the launcher never reads."""
    def change(blob):
        at = DESCRIPTOR_AT
        assert blob[at] & 0x20, "a single-segment frame"
        blob[at] = (blob[at] | set_bits) & ~clear_bits & 0xFF
        blob.insert(at + 1, byte)
        del blob[-1]
        return blob
    return change


def flip(offset_of):
    def change(blob):
        blob[offset_of(blob)] ^= 0x55
        return blob
    return change


def truncate_frame(blob):
    frame_length = len(blob) - 14
    cut = 3 + frame_length // 2
    return blob[:cut] + bytes(len(blob) - cut)


def expect(scratch, path, status, out=None, err=None, env=None, err_prefix=None):
    r = run(scratch, [path, "print"], env=env)
    check(r.returncode == status, "%s: exit %d expected, got %d (%r %r)" % (os.path.basename(path), status, r.returncode,
                                                                          r.stdout, r.stderr))
    if out is not None:
        check(r.stdout == out, "standard output %r expected, got %r" % (out, r.stdout))
    if err is not None:
        check(r.stderr == err, "standard error %r expected, got %r" % (err, r.stderr))
    if err_prefix is not None:
        check(r.stderr.startswith(err_prefix), "standard error starting %r expected, got %r" % (err_prefix, r.stderr))
    return r


DECODE = b"Error, couldn't decode attached data.\n"


def nothing_left(scratch):
    """A failed parent removes the target directory it made: only the
    patched executable stays, and the scratch folder must then be empty."""
    shutil.rmtree(os.path.join(scratch.path, "exe"), ignore_errors=True)


def case_bad_attached_data():
    lib = main_library()
    classes = [
        ("bad magic", flip(lambda b: 0), 2, b"Error, couldn't find attached data header.\n", b""),
        ("truncated frame", truncate_frame, 2, DECODE, b""),
        ("corrupt block", flip(lambda b: 3 + (len(b) - 14) // 2), 2, DECODE, b""),
        ("checksum mismatch", flip(lambda b: len(b) - 12), 2, DECODE, b""),
        ("window over 2^27 + 1", insert_after_descriptor(0x90, 0, 0x20), 2, DECODE, b""),
        ("dictionary id", insert_after_descriptor(0x2A, 0x01, 0), 2, DECODE, b""),
        ("missing end marker", with_archive([("libe2e_app.so", lib)], end_marker=False), 2, DECODE, b""),
        ("shorter than its size", with_archive([("libe2e_app.so", lib), ("x.bin", b"abc", 100000)]), 2, DECODE, b""),
        ("name over 1023 units", with_archive([("libe2e_app.so", lib), ("n" * 1024, b"x")]), 2, DECODE, b""),
        # The child finds no entry: it ends with a message, and so does its parent.
        ("no entries", with_archive([]), 2, DECODE, b""),
    ]
    for label, change, status, out, err in classes:
        s = Scratch()
        print("class:", label)
        expect(s, patched(s, "onefile_big", change), status, out=out, err=err)
        nothing_left(s)
        s.finish()

    # The longest name fits (in components the file system accepts); a path
    # over 4095 units is an exceeded bound.
    longest = "\\".join(["n" * 200] * 5) + "\\" + "n" * 18
    assert len(longest) == 1023
    s = Scratch()
    expect(s, patched(s, "onefile_big", with_archive([("libe2e_app.so", lib), (longest, b"x")])), 0)
    nothing_left(s)
    s.finish()
    s = Scratch()
    deep = s.path
    while len(deep) < 3400:
        deep = os.path.join(deep, "d" * 200)
    os.makedirs(deep)
    path = patched(s, "onefile_big", with_archive([("libe2e_app.so", lib), ("n" * 1000, b"x")]))
    r = run(s, [path, "print"], env=s.env(TMPDIR=deep))
    check(r.returncode == -signal.SIGABRT and r.stdout == b"" and r.stderr == b"",
          "a path over 4095 units aborts silently: %d %r %r" % (r.returncode, r.stdout, r.stderr))
    check(os.listdir(deep) == [], "the aborted parent removed its target directory: %r" % os.listdir(deep))
    shutil.rmtree(os.path.join(s.path, "d" * 200))
    nothing_left(s)
    s.finish()


def case_unsafe_names():
    lib = main_library()
    for name in ["..\\escaped.txt", "a\\..\\..\\escaped.txt", "a/../../escaped.txt", "sub\\.\\x", "a\\\\b", "...\\x"]:
        s = Scratch()
        path = patched(s, "onefile_big", with_archive([("libe2e_app.so", lib), (name, b"evil")]))
        r = run(s, [path, "print"])
        shown = name.replace("\\", "/")
        check(r.returncode == 2 and r.stdout == b"", "%r is refused with exit 2: %d" % (name, r.returncode))
        check(r.stderr.startswith(b"Error, failed to open '") and r.stderr.endswith(("/" + shown + "' for writing.\n").encode()),
              "%r: message naming the path: %r" % (name, r.stderr))
        check(not os.path.exists(os.path.join(s.path, "escaped.txt")) and not os.path.exists(os.path.join(BIN, "escaped.txt")),
              "nothing is written outside the target directory")
        nothing_left(s)
        s.finish()


def open_to_others(path):
    """True when a user who owns none of the directories on the way may reach
    `path` and run programs there."""
    if os.statvfs(path).f_flag & os.ST_NOEXEC:
        return False
    path = os.path.realpath(path)
    while os.stat(path).st_mode & stat.S_IXOTH:
        if os.path.dirname(path) == path:
            return True
        path = os.path.dirname(path)
    return False


def scratch_for_another_user():
    """A scratch folder that another user can write to and run a copy of a
    launcher from, wherever the checkout lies (a home folder of mode 0700
    closes the build tree to others): the usual one when others can reach
    it, else one in the system's temporary folder. None, with the reason,
    when neither can be reached."""
    for parent in (os.path.join(BIN, "scratch"), tempfile.gettempdir()):
        if open_to_others(parent):
            s = Scratch(parent)
            os.chmod(s.path, 0o777)
            return s
    print("skipped: neither %s nor %s is open to other users" % (os.path.join(BIN, "scratch"), tempfile.gettempdir()))
    return None


def copied(scratch, name):
    """A copy of the executable `name` in the scratch folder, which a later
    nothing_left removes."""
    directory = os.path.join(scratch.path, "exe")
    os.makedirs(directory, mode=0o755, exist_ok=True)
    path = os.path.join(directory, name)
    shutil.copy(exe(name), path)
    os.chmod(path, 0o755)
    return path


def no_core_room():
    """Why a process here could not dump a core even if it tried, or None:
    a check that none was dumped proves nothing then."""
    hard = resource.getrlimit(resource.RLIMIT_CORE)[1]
    if hard != resource.RLIM_INFINITY and hard < 1 << 30:
        return "the hard core-size limit is %d bytes" % hard
    return None


def allowing_cores():
    hard = resource.getrlimit(resource.RLIMIT_CORE)[1]
    resource.setrlimit(resource.RLIMIT_CORE, (hard, hard))


def case_temp_folder_faults():
    # A missing temporary folder is created on the way, like any directory.
    s = Scratch()
    missing = os.path.join(s.path, "missing", "deeper")
    r = run(s, [exe("onefile_app"), "exit", "7"], env=s.env(TMPDIR=missing))
    check(r.returncode == 7, "runs with a missing temporary folder: %d %r" % (r.returncode, r.stderr))
    check(os.listdir(missing) == [], "its target directory is removed")
    shutil.rmtree(os.path.join(s.path, "missing"))
    s.finish()

    # A temporary "folder" that is a file.
    s = Scratch()
    blocker = os.path.join(s.path, "file")
    open(blocker, "w").close()
    r = run(s, [exe("onefile_app"), "exit", "7"], env=s.env(TMPDIR=blocker))
    check(r.returncode == 2 and r.stderr.startswith(b"Error, failed to open '" + blocker.encode() + b"/onefile_"),
          "a temporary folder that is a file: %d %r" % (r.returncode, r.stderr))
    os.unlink(blocker)
    s.finish()

    # A read-only file system.
    s = Scratch()
    with mounted_tmpfs(s, "ro", "ro,size=1m") as readonly:
        if readonly:
            r = run(s, [exe("onefile_app"), "exit", "7"], env=s.env(TMPDIR=readonly))
            check(r.returncode == 2 and r.stderr.startswith(b"Error, failed to open '"),
                  "a read-only temporary folder: %d %r" % (r.returncode, r.stderr))
    s.finish()

    # No profile folder: no HOME, and a user id without a passwd entry.
    stranger = 54321
    if os.getuid() != 0:
        print("skipped: changing the user id needs root")
        return
    with contextlib.suppress(KeyError):
        pwd.getpwuid(stranger)
        print("skipped: user id %d has a passwd entry" % stranger)
        return
    s = scratch_for_another_user()
    if s is None:
        return
    env = s.env()
    env.pop("HOME", None)
    env.pop("XDG_CACHE_HOME", None)

    def become_stranger(cores=False):
        if cores:
            allowing_cores()
        os.setgroups([])
        os.setgid(stranger)
        os.setuid(stranger)

    r = subprocess.run([copied(s, "onefile_app"), "exit", "7"], env=env, preexec_fn=become_stranger,
                       capture_output=True, timeout=TIMEOUT)
    check(r.returncode == 7 and r.stderr == b"", "runs without a profile folder: %d %r" % (r.returncode, r.stderr))

    # {CACHE_DIR} has nothing to expand to then: the launcher says so and
    # aborts, without a core dump in its working directory (the scratch
    # folder, which the user may write to) or anywhere else.
    p = subprocess.Popen([copied(s, "onefile_cache_dir"), "exit", "7"], env=env, cwd=s.path,
                         preexec_fn=lambda: become_stranger(cores=True), stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE)
    # The raw status, which alone tells whether a core was dumped; the one
    # line of standard error fits in the pipe meanwhile.
    _, status = os.waitpid(p.pid, 0)
    p.returncode = os.waitstatus_to_exitcode(status)
    err = p.stderr.read()
    p.stderr.close()
    check(os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGABRT and
          err == b"Error, couldn't runtime expand spec '{CACHE_DIR}/talvor-e2e'.\n",
          "{CACHE_DIR} without a profile folder aborts with its message: status %#x %r" % (status, err))
    cores = [n for n in s.leftovers() if n.startswith("core")]
    reason = no_core_room()
    if reason:
        print("skipped: whether the abort dumps a core: %s" % reason)
    else:
        check(not os.WCOREDUMP(status) and cores == [], "the abort dumps no core: status %#x, %r" % (status, cores))
    for name in cores:
        os.unlink(os.path.join(s.path, name))
    nothing_left(s)
    s.finish()


@contextlib.contextmanager
def mounted_tmpfs(scratch, name, options):
    """A tmpfs mounted with `options` below the scratch folder, or None where
    this machine does not allow mounting; unmounted and removed afterwards."""
    path = os.path.join(scratch.path, name)
    os.mkdir(path)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", path], capture_output=True).returncode != 0:
        print("skipped: cannot mount a tmpfs with %s here" % options)
        os.rmdir(path)
        yield None
        return
    try:
        yield path
    finally:
        subprocess.run(["umount", path])
        os.rmdir(path)


def case_full_disk():
    s = Scratch()
    with mounted_tmpfs(s, "small", "size=256k") as small:
        if small:
            r = run(s, [exe("onefile_big"), "exit", "7"], env=s.env(TMPDIR=small))
            check(r.returncode == 2 and r.stdout == b"", "a full disk ends with exit 2: %d" % r.returncode)
            check(r.stderr == b"Error, couldn't unpack file to target path. ([Error 28] No space left on device)\n",
                  "the write failure is reported: %r" % r.stderr)
            check(os.listdir(small) == [], "the part that fitted is removed: %r" % os.listdir(small))
    s.finish()


def case_concurrent_launches():
    s = Scratch()
    processes = []
    for i in range(50):
        processes.append(subprocess.Popen([exe("onefile_app"), "print", "launch %d" % i], env=s.env(),
                                          stdout=subprocess.PIPE, stderr=subprocess.PIPE))
    directories = set()
    for i, p in enumerate(processes):
        out, err = p.communicate(timeout=120)
        v = parse(out)
        check(p.returncode == 0 and err == b"", "launch %d ends with 0: %d %r" % (i, p.returncode, err))
        check(v.get("arg2") == "launch %d" % i, "launch %d sees its own argument: %r" % (i, v.get("arg2")))
        directories.add(os.path.dirname(v.get("dll") or ""))
    check(len(directories) == 50, "every launch has its own directory: %d" % len(directories))
    s.finish()


def case_private_target_directory():
    s = Scratch()
    p = subprocess.Popen([exe("onefile_app"), "sleep", "2000"], env=s.env(), stdout=subprocess.PIPE)
    p.stdout.readline()
    targets = [n for n in os.listdir(s.path) if n.startswith("onefile_") and not n.endswith(".lock")]
    check(len(targets) == 1, "one target directory: %r" % targets)
    status = os.lstat(os.path.join(s.path, targets[0]))
    check(stat.S_ISDIR(status.st_mode) and stat.S_IMODE(status.st_mode) == 0o700, "mode 0700: %o" % status.st_mode)
    check(status.st_uid == os.getuid(), "owned by the user")
    # Beside it, the lock file that marks the run as live, held by the parent.
    check(sorted(os.listdir(s.path)) == sorted(targets + [targets[0] + ".lock"]), "the lock file lies beside it")
    check(not lock_free(os.path.join(s.path, targets[0] + ".lock")), "the running launcher holds its lock")
    p.wait(timeout=TIMEOUT)
    s.finish()


# --- The cached target directory -----------------------------------------------

UNTRUSTED = b"Error, refused target directory '%s': not the user's own, or others may write to it.\n"


class Cache(Scratch):
    """A scratch temporary folder that holds the cached directories."""

    def app_dir(self):
        return os.path.join(self.path, "talvor-e2e")

    def finals(self):
        """The versions, and the staging directories with their lock files."""
        names = os.listdir(self.app_dir()) if os.path.isdir(self.app_dir()) else []
        return sorted(n for n in names if ".partial" not in n and not n.endswith(".lock")), \
            sorted(n for n in names if ".partial" in n)

    def complete(self, final):
        """The published directory holds every file whole."""
        path = os.path.join(self.app_dir(), final)
        return sorted(os.listdir(path)) == ["libe2e_app.so", "payload.txt"] and \
            os.path.getsize(os.path.join(path, "payload.txt")) == 1048576 and \
            open(os.path.join(path, "libe2e_app.so"), "rb").read() == main_library()

    def finish(self):
        shutil.rmtree(self.app_dir(), ignore_errors=True)
        Scratch.finish(self)


def case_cached_runs():
    s = Cache()
    outputs = []
    for start in ("first", "later"):
        r = run(s, [exe("onefile_cached"), "print", "a b"])
        check(r.returncode == 0 and r.stderr == b"", "%s start runs: %d %r" % (start, r.returncode, r.stderr))
        outputs.append(parse(r.stdout))
        finals, partials = s.finals()
        check(len(finals) == 1 and len(finals[0]) == 16 and partials == [], "%s start: one final directory: %r %r" % (start, finals, partials))
    first, later = outputs
    final = os.path.join(s.app_dir(), finals[0])
    for key in ("argc", "arg0", "arg1", "arg2", "TALVOR_ONEFILE_DIRECTORY", "TALVOR_ORIGINAL_ARGV0"):
        check(first.get(key) == later.get(key), "%s is the same in a child and in the launcher's process: %r %r" % (key, first.get(key), later.get(key)))
    check(later["dll"] == os.path.join(final, "libe2e_app.so"), "the main library's path: %r" % later["dll"])
    check(later["arg0"] == os.path.realpath(exe("onefile_cached")), "argv[0] is the launcher's module path")
    for path in (s.app_dir(), final):
        status = os.lstat(path)
        check(stat.S_IMODE(status.st_mode) == 0o700 and status.st_uid == os.geteuid(), "%s is private: %o" % (path, status.st_mode))
    check(s.complete(finals[0]), "the final directory is complete")
    image = open(exe("onefile_cached"), "rb").read()
    start, length = blob_region(image)
    check(finals[0] == hashlib.sha256(image[start:start + length]).hexdigest()[:16],
          "the directory is named by the SHA-256 of the attached data: %r" % finals[0])
    # A later start writes nothing: the directory stays as the first left it.
    before = os.stat(final).st_mtime_ns
    run(s, [exe("onefile_cached"), "exit", "0"])
    check(os.stat(final).st_mtime_ns == before, "a later start changes nothing")

    # An updated application gets its own directory; the old one stays.
    r = run(s, [exe("onefile_cached_update"), "exit", "4"])
    check(r.returncode == 4, "the update runs: %d %r" % (r.returncode, r.stderr))
    updated, partials = s.finals()
    check(len(updated) == 2 and finals[0] in updated and partials == [], "two versions, two directories: %r" % updated)
    s.finish()


def case_cached_concurrent():
    s = Cache()
    processes = [subprocess.Popen([exe("onefile_cached"), "print", "launch %d" % i], env=s.env(),
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE) for i in range(20)]
    for i, p in enumerate(processes):
        out, err = p.communicate(timeout=120)
        check(p.returncode == 0 and err == b"" and parse(out).get("arg2") == "launch %d" % i,
              "first start %d succeeds: %d %r" % (i, p.returncode, err))
    finals, partials = s.finals()
    check(len(finals) == 1 and partials == [] and s.complete(finals[0]),
          "one complete final directory and no staging directory: %r %r" % (finals, partials))
    s.finish()


def case_cached_interrupted():
    import random
    rng = random.Random(12)
    for i in range(24):
        sig = (signal.SIGINT, signal.SIGTERM, signal.SIGKILL)[i % 3]
        s = Cache()
        p = subprocess.Popen([exe("onefile_cached"), "sleep", "50"], env=s.env(), stdout=subprocess.DEVNULL)
        time.sleep(rng.uniform(0, 0.04))
        p.send_signal(sig)
        p.wait(timeout=TIMEOUT)
        finals, partials = s.finals()
        check(all(s.complete(f) for f in finals) and len(finals) <= 1, "%s: no partial final directory: %r" % (sig.name, finals))
        # A killed start cannot clean up; an interrupted one removes its staging directory.
        check(sig == signal.SIGKILL or partials == [], "%s: no staging directory is left: %r" % (sig.name, partials))
        s.finish()


def case_cached_untrusted():
    def wide_open(path):
        os.chmod(path, 0o777)

    def foreign(path):
        os.chown(path, 12345, 12345)

    def linked(path):
        os.rename(path, path + ".real")
        os.symlink(path + ".real", path)

    # What is changed, and how, after a first start made the directories.
    cases = [("final", wide_open), ("final", foreign), ("final", linked), ("parent", wide_open), ("parent", foreign)]
    for where, change in cases:
        if change is foreign and os.geteuid() != 0:
            print("skipped: planting a directory of another user needs root")
            continue
        s = Cache()
        run(s, [exe("onefile_cached"), "exit", "0"])
        final = os.path.join(s.app_dir(), s.finals()[0][0])
        refused = final if where == "final" else s.app_dir()
        change(refused)
        r = run(s, [exe("onefile_cached"), "print"])
        check(r.returncode == 2 and r.stdout == b"" and r.stderr == UNTRUSTED % refused.encode(),
              "%s %s is refused: %d %r %r" % (where, change.__name__, r.returncode, r.stdout, r.stderr))
        check(os.path.lexists(final), "a refused directory is left as it is")
        os.chmod(s.app_dir(), 0o700)
        s.finish()
    # A parent planted before the first start: nothing is unpacked into it.
    s = Cache()
    os.mkdir(s.app_dir(), 0o777)
    os.chmod(s.app_dir(), 0o777)
    r = run(s, [exe("onefile_cached"), "exit", "0"])
    check(r.returncode == 2 and r.stderr == UNTRUSTED % s.app_dir().encode() and s.finals() == ([], []),
          "a planted parent is refused before unpacking: %d %r" % (r.returncode, r.stderr))
    s.finish()


ATTACKER = "talvor-attacker"


def attacker_ids():
    """The uid and gid of a second real user, made for the tests where it is
    missing; None (after saying why) where users cannot be made."""
    if os.geteuid() != 0:
        print("skipped: making a second user needs root")
        return None
    with contextlib.suppress(KeyError):
        entry = pwd.getpwnam(ATTACKER)
        return entry.pw_uid, entry.pw_gid
    made = subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", ATTACKER],
                          capture_output=True)
    if made.returncode != 0:
        print("skipped: useradd failed: %r" % made.stderr)
        return None
    entry = pwd.getpwnam(ATTACKER)
    return entry.pw_uid, entry.pw_gid


def as_user(ids):
    def switch():
        os.setgroups([])
        os.setgid(ids[1])
        os.setuid(ids[0])
    return switch


def attacker_start(ids):
    """The attacker's process: the other user, and killed when the test dies,
    however it dies (a time limit's SIGKILL included)."""
    switch = as_user(ids)

    def start():
        import ctypes
        ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
        switch()
    return start


class SharedTemp:
    """A temporary folder shared by every user, as /tmp is: root's, mode
    1777, below /tmp so that any user reaches it wherever the checkout lies.
    Holds a copy of the cached executable that every user may run."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="talvor-shared-", dir="/tmp")
        os.chmod(self.path, 0o1777)
        self.exe = os.path.join(self.path, "onefile_cached")
        shutil.copy(exe("onefile_cached"), self.exe)
        os.chmod(self.exe, 0o755)

    def env(self, tmpdir=None):
        env = {k: v for k, v in os.environ.items() if not k.startswith("TALVOR_")}
        env["TMPDIR"] = tmpdir or self.path
        return env

    def finish(self):
        shutil.rmtree(self.path, ignore_errors=True)


def foreign_tree(path, ids):
    """What an attacker plants: a directory of theirs whose main library is
    not the application's (a library without run_code, so that loading it
    shows), with a payload of the right size."""
    os.makedirs(path, exist_ok=True)
    shutil.copy(os.path.join(BIN, "libe2e_noentry.so"), os.path.join(path, "libe2e_app.so"))
    with open(os.path.join(path, "payload.txt"), "wb") as f:
        f.write(b"x" * 1048576)
    for top, dirs, files in os.walk(path):
        for name in [top] + [os.path.join(top, n) for n in files]:
            os.chown(name, *ids)
            os.chmod(name, 0o777)


def plant_link(path, target, ids):
    """A link at `path`, owned by the attacker, put in place in one step."""
    temporary = path + ".planting"
    os.symlink(target, temporary)
    os.lchown(temporary, *ids)
    os.rename(temporary, path)


def judge(r, outcomes, what):
    """A start either ran the application or refused with the message;
    anything else (above all a foreign library loaded) is a failure."""
    if r.returncode == 0 and r.stdout.startswith(b"ready\n") and r.stderr == b"":
        outcomes["ran"] += 1
    elif r.returncode == 2 and r.stdout == b"" and r.stderr.startswith(b"Error, refused target directory '") \
            and r.stderr.endswith(b"': not the user's own, or others may write to it.\n"):
        outcomes["refused"] += 1
    else:
        outcomes["wrong"] += 1
        check(False, "%s: %d %r %r" % (what, r.returncode, r.stdout[:200], r.stderr[:200]))


def case_cached_attacks():
    ids = attacker_ids()
    if ids is None:
        return
    digest = hashlib.sha256(bytes(blob(open(exe("onefile_cached"), "rb").read()))).hexdigest()[:16]
    me = os.geteuid()

    # Two users, one cached executable, one shared temporary folder: each
    # gets a directory of their own, and neither disturbs the other.
    t = SharedTemp()
    for who, switch in (("root", None), (ATTACKER, as_user(ids)), ("root again", None)):
        r = subprocess.run([t.exe, "print"], env=t.env(), preexec_fn=switch, capture_output=True, timeout=TIMEOUT)
        uid = me if switch is None else ids[0]
        dll = parse(r.stdout).get("dll", "")
        check(r.returncode == 0 and dll == os.path.join(t.path, "talvor-e2e-%d" % uid, digest, "libe2e_app.so"),
              "%s runs from a directory of its own: %d %r %r" % (who, r.returncode, dll, r.stderr))
    t.finish()

    # Each row: where the attacker's link stands in the victim's path
    # (TMPDIR = shared/level1/level2), and what the victim may do.
    t = SharedTemp()
    level1 = os.path.join(t.path, "level1")
    level2 = os.path.join(level1, "level2")
    os.makedirs(level2)
    os.chmod(level1, 0o755)
    os.chmod(level2, 0o755)
    evil = os.path.join(t.path, "evil")
    for where in ("level1", "level2", "app", "final"):
        outcomes = {"ran": 0, "refused": 0, "wrong": 0}
        run_cmd = lambda: subprocess.run([t.exe, "exit", "0"], env=t.env(level2), capture_output=True, timeout=TIMEOUT)
        judge(run_cmd(), outcomes, "a start before the %s link" % where)
        app = os.path.join(level2, "talvor-e2e")
        target = {"level1": level1, "level2": level2, "app": app, "final": os.path.join(app, digest)}[where]
        real = target + ".real"
        os.rename(target, real)
        below = {"level1": ["level2", "talvor-e2e", digest], "level2": ["talvor-e2e", digest], "app": [digest],
                 "final": []}[where]
        foreign_tree(os.path.join(evil, where, *below), ids)
        plant_link(target, os.path.join(evil, where), ids)
        r = run_cmd()
        judge(r, outcomes, "the %s link" % where)
        # Directly inside the shared folder a taken name gives way to the
        # user's own; anywhere else the start is refused, naming the link.
        expected = "ran" if where == "level1" else "refused"
        check(outcomes[expected] >= 1 and (where == "level1" or target.encode() in r.stderr),
              "the %s link: %s, %r" % (where, expected, r.stderr))
        os.unlink(target)
        os.rename(real, target)
    t.finish()

    # Races: an attacker plants parents while first starts run, and flips a
    # link while later starts run; several hundred starts, none of which may
    # load the attacker's library.
    t = SharedTemp()
    attacker_script = """
import os, random, shutil, sys, time
shared, evil, digest, uid, mode = sys.argv[1:6]
os.makedirs(os.path.join(evil, digest))
shutil.copy(sys.argv[6], os.path.join(evil, digest, "libe2e_app.so"))
open(os.path.join(evil, digest, "payload.txt"), "wb").write(b"x" * 1048576)
for top, dirs, files in os.walk(evil):
    os.chmod(top, 0o777)
rng = random.Random(int(uid))
while True:
    if mode == "plant":
        for name in ("talvor-e2e", "talvor-e2e-" + uid):
            try:
                os.mkdir(os.path.join(shared, name), 0o777)
                os.chmod(os.path.join(shared, name), 0o777)
            except OSError:
                pass
            try:
                os.rename(os.path.join(shared, name), os.path.join(shared, name + ".moved"))
                os.symlink(evil, os.path.join(shared, name))
            except OSError:
                pass
    else:
        for target in (os.path.join(shared, "good"), evil):
            try:
                os.symlink(target, os.path.join(shared, "flip.new"))
                os.rename(os.path.join(shared, "flip.new"), os.path.join(shared, "flip", "talvor-e2e"))
            except OSError:
                pass
    time.sleep(rng.uniform(0, 0.002))
"""
    flip_folder = os.path.join(t.path, "flip")
    # Where the attacker can read it, wherever the checkout lies.
    foreign_library = os.path.join(t.path, "libe2e_noentry.so")
    shutil.copy(os.path.join(BIN, "libe2e_noentry.so"), foreign_library)
    os.chmod(foreign_library, 0o644)
    for mode, starts in (("plant", 200), ("flip", 200)):
        evil = tempfile.mkdtemp(prefix="evil-", dir=t.path)
        os.chown(evil, *ids)
        if mode == "flip":
            # A folder the attacker may write to but the victim trusts
            # (the victim's own, sticky): the attacker's link in it is
            # never followed, whatever it points to.
            os.makedirs(os.path.join(t.path, "good", digest), exist_ok=True)
            os.mkdir(flip_folder, 0o1777)
            os.chmod(flip_folder, 0o1777)
        # The system's interpreter: the one running this test may lie where
        # the other user cannot reach it.
        python = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
        attacker = subprocess.Popen([python, "-c", attacker_script, t.path,
                                     os.path.join(evil, "tree"), digest, str(me), mode,
                                     foreign_library],
                                    preexec_fn=attacker_start(ids), stderr=subprocess.DEVNULL)
        outcomes = {"ran": 0, "refused": 0, "wrong": 0}
        try:
            for i in range(starts):
                tmpdir = t.path if mode == "plant" else flip_folder
                r = subprocess.run([t.exe, "exit", "0"], env=t.env(tmpdir), capture_output=True, timeout=TIMEOUT)
                judge(r, outcomes, "%s, start %d" % (mode, i))
                if mode == "plant":
                    # The victim's directory goes again, so that every start
                    # is a first start.
                    subprocess.run(["rm", "-rf"] + [os.path.join(t.path, n) for n in os.listdir(t.path)
                                                    if n.startswith("talvor-e2e")])
        finally:
            alive = attacker.poll() is None
            attacker.kill()
            attacker.wait()
        check(alive, "%s: the attacker ran throughout" % mode)
        print("%s: %r" % (mode, outcomes))
        check(outcomes["wrong"] == 0, "%s: no foreign library ran and every refusal said so: %r" % (mode, outcomes))
        subprocess.run(["rm", "-rf", evil, flip_folder])
    t.finish()


class ManyCache(Scratch):
    """The cached application of 200 files in ten directories."""

    def app_dir(self):
        return os.path.join(self.path, "talvor-e2e-many")

    def final(self):
        return os.path.join(self.app_dir(), [n for n in os.listdir(self.app_dir()) if len(n) == 16][0])

    def complete(self):
        expected = snapshot(os.path.join(BIN, "many-payload"))
        expected["libe2e_app.so"] = main_library()
        return snapshot(self.final()) == expected

    def start(self, *command):
        return subprocess.Popen([exe("onefile_cached_many")] + list(command), env=self.env(),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def remove_random_files(final, rng):
    files = sorted(os.path.join(top, n) for top, _, names in os.walk(final) for n in names if n.endswith(".txt"))
    for path in rng.sample(files, 5):
        os.unlink(path)


def truncate(name, size):
    def damage(final, rng):
        path = os.path.join(final, name)
        os.truncate(path, size if size >= 0 else os.path.getsize(path) // 2)
    return damage


def empty(final, rng):
    for name in os.listdir(final):
        path = os.path.join(final, name)
        shutil.rmtree(path) if os.path.isdir(path) else os.unlink(path)


def case_cached_damage():
    # What a temporary-folder cleaner, a virus scanner or a power loss does
    # to a cached directory; and whether an instance runs during it (not
    # while its main library is cut: a mapped library that shrinks takes the
    # process down by itself).
    rng = random.Random(17)
    cases = [("five files deleted", remove_random_files, True),
             ("a directory deleted", lambda final, rng: shutil.rmtree(os.path.join(final, "d3")), True),
             ("a data file cut short", truncate(os.path.join("d5", "f15.txt"), -1), True),
             ("the main library emptied", truncate("libe2e_app.so", 0), False),
             ("the main library deleted", lambda final, rng: os.unlink(os.path.join(final, "libe2e_app.so")), False),
             ("everything deleted", empty, False)]
    for what, damage, running in cases:
        s = ManyCache()
        first = s.start("exit", "0")
        first.communicate(timeout=TIMEOUT)
        before = s.start("sleep", "1500") if running else None
        if before:
            check(before.stdout.readline() == b"ready\n", "%s: an instance runs" % what)
        damage(s.final(), rng)
        # Two starts at once find the damage; both end up running the whole
        # application, and so does every start after them.
        repairs = [s.start("exit", "5") for _ in range(2)]
        for p in repairs + ([before] if before else []):
            out, err = p.communicate(timeout=TIMEOUT)
            expected = 0 if p is before else 5
            check(p.returncode == expected and err == b"", "%s: a start ends with %d: %d %r" % (what, expected, p.returncode, err))
        check(s.complete(), "%s: the directory is whole again" % what)
        later = s.start("print")
        out, err = later.communicate(timeout=TIMEOUT)
        check(later.returncode == 0 and parse(out).get("TALVOR_ONEFILE_TIME_US", "") is None,
              "%s: the start after runs in the launcher's process: %r" % (what, err))
        check(sorted(os.listdir(s.app_dir())) == sorted([os.path.basename(s.final()), os.path.basename(s.final()) + ".lock"]),
              "%s: nothing but the version and its lock: %r" % (what, os.listdir(s.app_dir())))
        shutil.rmtree(s.app_dir())
        s.finish()


def case_cached_reclaim():
    # First starts killed outright in the middle of unpacking 20 MiB: each
    # leaves its staging directory, with its lock file.
    s = Scratch()
    app = os.path.join(s.path, "talvor-e2e-large")

    def staging():
        return [n for n in (os.listdir(app) if os.path.isdir(app) else []) if n.endswith(".partial")]

    def start(*command):
        return subprocess.Popen([exe("onefile_cached_large")] + list(command), env=s.env(), stdout=subprocess.PIPE)

    for i in range(20):
        before = len(staging())
        p = start("exit", "0")
        while p.poll() is None and len(staging()) == before:
            time.sleep(0.0002)
        p.kill()
        p.communicate()
        for final in [n for n in os.listdir(app) if len(n) == 16]:
            shutil.rmtree(os.path.join(app, final))
    left = staging()
    check(len(left) >= 15, "killed first starts leave their staging directories: %d" % len(left))
    # One normal start removes them all while its application runs, which
    # it does until they are gone.
    stop = os.path.join(s.path, "stop")
    p = start("hold", "60000", stop)
    deadline = time.monotonic() + 60
    while any(".partial" in n for n in os.listdir(app)) and time.monotonic() < deadline:
        time.sleep(0.05)
    open(stop, "w").close()
    p.communicate(timeout=TIMEOUT)
    check(p.returncode == 0 and not any(".partial" in n for n in os.listdir(app)),
          "one normal start removes them all: %r" % os.listdir(app))
    os.unlink(stop)
    shutil.rmtree(app)
    s.finish()

    s = Cache()
    app = s.app_dir()
    run(s, [exe("onefile_cached"), "exit", "0"])
    finals, partials = s.finals()
    # Other versions beside this one: unused for eight days, used an hour
    # ago, and held by a live run that started long ago. Only the first goes,
    # by a later start that runs in the launcher's process.
    day = 24 * 3600
    versions = {"0123456789abcdef": (8 * day, False), "1123456789abcdef": (3600, False),
                "2123456789abcdef": (30 * day, True)}
    held = []
    for name, (age, live) in versions.items():
        leftover(app, name)
        lock = os.path.join(app, name + ".lock")
        os.utime(lock, (time.time() - age, time.time() - age))
        if live:
            f = open(lock, "rb")
            fcntl.flock(f, fcntl.LOCK_SH)
            held.append(f)
    r = run(s, [exe("onefile_cached"), "exit", "0"])
    check(r.returncode == 0, "a later start runs: %r" % r.stderr)
    names = set(os.listdir(app))
    check("0123456789abcdef" not in names and "0123456789abcdef.lock" not in names,
          "a version unused for a week is removed: %r" % sorted(names))
    check({"1123456789abcdef", "2123456789abcdef"} <= names, "used or held versions stay: %r" % sorted(names))
    own = os.path.join(app, finals[0] + ".lock")
    check(time.time() - os.stat(own).st_mtime < 60, "a start marks its version as used")
    for f in held:
        f.close()
    s.finish()


def blob(image):
    start, length = blob_region(image)
    return image[start:start + length]


def started(argv, scratch, preexec_fn=None):
    """Starts a launcher in the scratch folder (its working directory, where
    a core dump would land) and waits for the application's "ready"."""
    p = subprocess.Popen(argv, env=scratch.env(), cwd=scratch.path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         preexec_fn=preexec_fn)
    check(p.stdout.readline() == b"ready\n", "%s: the application started" % argv[1:])
    return p


def inheriting(*ignored):
    """Settings for the launcher to inherit: the signals `ignored` set to
    ignore, and no core dumps (SIGQUIT and SIGXCPU would leave one in the
    scratch folder)."""
    def setup():
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
        for sig in ignored:
            signal.signal(sig, signal.SIG_IGN)
    return setup


def case_signal_dispositions():
    # Every signal a process may catch and whose default action ends it,
    # sent to the launcher alone, is passed on; the application dies of it,
    # and the launcher, after clean-up, too.
    passed_on = [signal.SIGUSR1, signal.SIGUSR2, signal.SIGALRM, signal.SIGPIPE, signal.SIGTERM, signal.SIGINT,
                 signal.SIGHUP, signal.SIGQUIT, signal.SIGXCPU, signal.SIGXFSZ, signal.SIGVTALRM, signal.SIGPROF,
                 signal.SIGIO, signal.SIGPWR, signal.SIGRTMIN, signal.SIGRTMIN + 3, signal.SIGRTMAX]
    for sig in passed_on:
        name = signal.strsignal(sig)
        s = Scratch()
        token = "passed-%d-%d" % (os.getpid(), sig)
        p = started([exe("onefile_app"), "sleep", "20000", token], s, preexec_fn=inheriting())
        start = time.monotonic()
        os.kill(p.pid, sig)
        _, alive, _ = finished(p, token)
        elapsed = time.monotonic() - start
        check(p.returncode == -sig and elapsed < 3,
              "%s ends the launcher by the same signal at once: %d after %.1f s" % (name, p.returncode, elapsed))
        check(alive == [], "%s: nothing of the run is left running: %r" % (name, alive))
        s.finish()

    # A signal inherited as ignored stays ignored, in the launcher and in the
    # application, which ends with its own exit code: nohup for SIGHUP, a
    # background job of a non-interactive shell for SIGINT and SIGQUIT.
    for sig in (signal.SIGHUP, signal.SIGINT, signal.SIGQUIT):
        s = Scratch()
        token = "ignored-%d-%d" % (os.getpid(), sig)
        p = started([exe("onefile_app"), "ignored", "1000", "5", token], s, preexec_fn=inheriting(sig))
        ignored = p.stdout.readline().decode().strip().split("=", 1)[-1].split(",")
        check(str(int(sig)) in ignored, "%s is still ignored in the application: %r" % (sig.name, ignored))
        os.kill(p.pid, sig)
        finished(p, token)
        check(p.returncode == 5, "an ignored %s leaves the launcher running to the end: %d" % (sig.name, p.returncode))
        s.finish()

    # An inherited SIGCHLD set to ignore changes no exit status.
    s = Scratch()
    r = subprocess.run([exe("onefile_app"), "exit", "7"], env=s.env(), capture_output=True, timeout=TIMEOUT,
                       preexec_fn=inheriting(signal.SIGCHLD))
    check(r.returncode == 7, "exit 7 with SIGCHLD ignored: %d %r" % (r.returncode, r.stderr))
    s.finish()

    # The application's core dump is its own: the launcher ends by the same
    # signal without dumping one over it.
    with open("/proc/sys/kernel/core_pattern") as f:
        pattern = f.read().strip()
    reason = no_core_room()
    if reason:
        print("skipped: whether a crash's launcher dumps a core: %s" % reason)
    else:
        s = Scratch()
        p = subprocess.Popen([exe("onefile_app"), "crash"], env=s.env(), cwd=s.path, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL, preexec_fn=allowing_cores)
        # The raw status, which alone tells whether a core was dumped.
        _, status = os.waitpid(p.pid, 0)
        p.returncode = os.waitstatus_to_exitcode(status)
        check(os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGSEGV,
              "a crashing application ends the launcher by SIGSEGV: status %#x" % status)
        check(not os.WCOREDUMP(status), "the launcher dumps no core of its own (core_pattern %r)" % pattern)
        for name in s.leftovers():
            if name.startswith("core"):
                os.unlink(os.path.join(s.path, name))
        s.finish()

    # Killed outright, the launcher takes its application with it; its
    # directory stays until a later run reclaims it.
    s = Scratch()
    token = "killed-%d" % os.getpid()
    p = started([exe("onefile_app"), "sleep", "20000", token], s)
    p.kill()
    _, alive, _ = finished(p, token)
    check(alive == [], "the application ends with a launcher killed outright: %r" % alive)
    left = sorted(s.leftovers())
    check(len(left) == 2 and left[1] == left[0] + ".lock" and lock_free(os.path.join(s.path, left[1])),
          "the directory stays beside its lock file, free for a later run to take: %r" % left)
    for name in left:
        path = os.path.join(s.path, name)
        shutil.rmtree(path) if os.path.isdir(path) else os.unlink(path)
    s.finish()


def case_interrupt_storm():
    """Launches interrupted at a random moment from the start to the end of
    unpacking, by a random signal of those a user sends most."""
    runs = int(os.environ.get("TALVOR_E2E_INTERRUPT_RUNS", "300"))
    seed = int(os.environ.get("TALVOR_E2E_SEED", str(time.time_ns() % 1000000)))
    # On a loaded machine (under ThreadSanitizer, a start can take seconds)
    # the case stops starting runs after 230 s, and says so, rather than
    # overrun its time limit of 300 s.
    budget = time.monotonic() + float(os.environ.get("TALVOR_E2E_INTERRUPT_SECONDS", "230"))
    rng = random.Random(seed)
    launcher = exe("onefile_large")

    # The time to "ready" covers the unpacking and the start of the child.
    times = []
    for _ in range(5):
        s = Scratch()
        start = time.monotonic()
        p = subprocess.Popen([launcher, "exit", "0"], env=s.env(), stdout=subprocess.PIPE)
        p.stdout.readline()
        times.append(time.monotonic() - start)
        p.communicate(timeout=TIMEOUT)
        s.finish()
    window = sorted(times)[len(times) // 2]
    print("seed %d, %d runs, time to ready %.0f ms" % (seed, runs, window * 1000))

    signals = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGUSR1]
    hangs, wrong_ends, orphans, leftovers = [], [], [], []
    done = 0
    for i in range(runs):
        if time.monotonic() > budget:
            print("stopped after %d runs: the time for the case is spent" % i)
            break
        done += 1
        s = Scratch()
        token = "storm-%d-%d" % (os.getpid(), i)
        sig = rng.choice(signals)
        delay = rng.uniform(0, window)
        p = subprocess.Popen([launcher, "sleep", "60000", token], env=s.env(), stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE)
        time.sleep(delay)
        p.send_signal(sig)
        what = "run %d, %s after %.0f ms" % (i, sig.name, delay * 1000)
        hung, alive, err = finished(p, token)
        if hung:
            hangs.append(what)
        if p.returncode != -sig:
            wrong_ends.append("%s: %d %r" % (what, p.returncode, err[:200]))
        if alive:
            orphans.append(what)
        left = [n for n in s.leftovers() if n.startswith("onefile_")]
        if left:
            leftovers.append("%s: %r" % (what, left))
        # Besides, ThreadSanitizer's runtime keeps a file of its own in the
        # temporary folder while it starts up, and a signal then leaves it.
        for name in s.leftovers():
            path = os.path.join(s.path, name)
            if os.path.isdir(path):
                shutil.rmtree(path, ignore_errors=True)
            else:
                os.unlink(path)
        s.finish()
        if len(hangs) > 3:
            print("stopped after %d runs: the launcher hangs" % (i + 1))
            break
    # An application started as its launcher went down may show up late.
    time.sleep(0.5)
    late = survivors("storm-%d-" % os.getpid(), 0, prefix=True)
    orphans += ["late, pid %d" % pid for pid in late]

    print("runs %d, hangs %d, wrong ends %d, orphans %d, leftovers %d" %
          (done, len(hangs), len(wrong_ends), len(orphans), len(leftovers)))
    for label, found in (("hang", hangs), ("wrong end", wrong_ends), ("orphan", orphans), ("leftover", leftovers)):
        for what in found[:5]:
            print("  %s: %s" % (label, what))
        check(found == [], "no %s in %d interrupted launches: %d" % (label, done, len(found)))


def case_prebuilt_elf():
    """Prebuilt launchers completed by talvor-pack: they run, and keep running
    after every strip tool; twice the same inputs give the same bytes; what
    is no prebuilt launcher, or is one already completed, is refused with
    nothing written."""
    pack, launchers = os.environ["TALVOR_E2E_PACK"], os.environ["TALVOR_E2E_LAUNCHERS"]
    work = tempfile.mkdtemp(prefix="talvor-prebuilt-", dir=os.path.join(BIN, "scratch"))

    def complete(launcher, out):
        return subprocess.run([pack, "create", "-q", "--launcher", launcher, "-o", out, "--main",
                               exe("libe2e_app.so")], capture_output=True, timeout=TIMEOUT)

    def variant(name, source, change):
        data = bytearray(open(source, "rb").read())
        change(data)
        with open(os.path.join(work, name), "wb") as f:
            f.write(data)
        return os.path.join(work, name)

    # Symbols and a debug link besides: sections behind the payload that move.
    marked = os.path.join(work, "marked")
    subprocess.run(["objcopy", "--add-symbol", "talvor_e2e_mark=.text:0,global,function",
                    "--add-gnu-debuglink=" + exe("libe2e_app.so"), os.path.join(launchers, "linux"), marked],
                   check=True)
    strips = [[], ["strip"], ["strip", "--strip-all"], ["objcopy", "--strip-debug"], ["eu-strip"], ["llvm-strip"]]

    # readelf warns on its standard error; eu-elflint reports on its output,
    # and on any executable that lld linked it finds what lld does otherwise
    # than GNU ld: the completed executable may have nothing the launcher lacks.
    def lint(path):
        return [set(getattr(subprocess.run(tool + [path], capture_output=True, timeout=TIMEOUT), stream)
                    .splitlines()) for tool, stream in ((["readelf", "-a", "-W"], "stderr"),
                                                        (["eu-elflint", "--gnu-ld", "-q"], "stdout"))]

    for launcher in [os.path.join(launchers, "linux"), os.path.join(launchers, "linux-console"), marked]:
        as_linked = lint(launcher)
        if as_linked != [set(), set()]:
            print("%s as linked: %r" % (launcher, as_linked))
        app = os.path.join(work, os.path.basename(launcher) + ".app")
        r1, r2 = complete(launcher, app), complete(launcher, app + "2")
        check(r1.returncode == 0 and r2.returncode == 0, "%s completed: %r" % (launcher, r1.stderr + r2.stderr))
        check(open(app, "rb").read() == open(app + "2", "rb").read(), "%s: twice the same bytes" % launcher)
        for tool in strips:
            what = "%s after %s" % (os.path.basename(app), " ".join(tool) or "nothing")
            if tool and shutil.which(tool[0]) is None:
                check(False, "%s: %s is missing (scripts/deps.sh installs it)" % (what, tool[0]))
                continue
            stripped = os.path.join(work, "stripped")
            shutil.copyfile(app, stripped)
            os.chmod(stripped, 0o755)
            if tool:
                subprocess.run(tool + [stripped], check=True, timeout=TIMEOUT)
            s = Scratch()
            r = run(s, [stripped, "exit", "7"])
            check(r.returncode == 7 and r.stdout == b"ready\n", "%s runs: %d %r" % (what, r.returncode, r.stderr))
            s.finish()
            for linter, found, before in zip(("readelf", "eu-elflint"), lint(stripped), as_linked):
                check(found <= before, "%s: %s finds nothing new: %r" % (what, linter, found - before))

    completed, prebuilt = os.path.join(work, "linux.app"), os.path.join(launchers, "linux")
    magic = b"TalvorOnefile\0D1"
    descriptor = open(prebuilt, "rb").read().split(magic)[1][:64]

    def reset_state(data):
        at = data.index(magic) + 32
        data[at:at + 4] = bytes(4)

    def writable_room(data):
        phoff, phnum = struct.unpack_from("<Q", data, 32)[0], struct.unpack_from("<H", data, 56)[0]
        loads = [phoff + 56 * i for i in range(phnum) if struct.unpack_from("<I", data, phoff + 56 * i)[0] == 1]
        data[loads[-1] + 4] |= 2

    refusals = [
        ("not ELF", variant("text", __file__, lambda d: None), "not a prebuilt launcher of Talvor Onefile"),
        ("no descriptor", variant("true", "/bin/true", lambda d: None), "not a prebuilt launcher of Talvor Onefile"),
        ("aarch64", variant("aarch64", prebuilt, lambda d: d.__setitem__(18, 183)),
         "for another machine"),
        ("32-bit", variant("elf32", prebuilt, lambda d: d.__setitem__(4, 1)),
         "for another machine"),
        ("room writable", variant("writable", prebuilt, writable_room), "not a read-only segment of its own"),
        ("completed", completed, "already completed"),
        ("completed, state reset", variant("reset", completed, reset_state), "completed already"),
        # A launcher linked without the room: the descriptor, but no segment for the payload.
        ("no room", variant("unreserved", "/bin/true", lambda d: d.extend(magic + descriptor)),
         "no room reserved for the payload"),
    ]
    for label, source, message in refusals:
        out = os.path.join(work, "refused", "out")
        os.makedirs(os.path.dirname(out), exist_ok=True)
        r = complete(source, out)
        check(r.returncode == 1 and message.encode() in r.stderr, "%s: refused with %r, got %d %r" %
              (label, message, r.returncode, r.stderr))
        check(os.listdir(os.path.dirname(out)) == [], "%s: nothing written: %r" % (label, os.listdir(os.path.dirname(out))))
    shutil.rmtree(work)


if __name__ == "__main__":
    os.makedirs(os.path.join(BIN, "scratch"), exist_ok=True)
    globals()["case_" + sys.argv[2]]()
    if failures:
        print("%d check(s) failed" % len(failures))
        sys.exit(1)
    print("ok")
