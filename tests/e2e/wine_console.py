#!/usr/bin/env python3
"""Console control events for the Windows launcher, under Wine.

    wine_console.py WINE_RUN WINEPREFIX BIN_DIR CASE

A GUI program gets console events only when it has a console: the launcher
runs under a pseudo-terminal here, and SIGINT sent to the Linux process of a
Wine program makes Wine deliver CTRL_C_EVENT to that process.

What Wine 8 does, measured: the event reaches only the process that got the
signal; Windows would deliver it to every process attached to the console.
So the launcher's child keeps running unless it is signalled too: the case
"parent_only" sees the launcher give its child the full 5 s before it
terminates it; "whole_console" signals both, as Windows would, and the
child, which has no handler, ends at once. Every Wine process has Linux
parent 1, so the two launcher processes are told apart by their start time.
The Linux exit status of the wine command says nothing here (cmd.exe stands
between), so only the end, its timing and the removed directory are checked.
TEMP is set for the launcher through cmd.exe: Wine ignores the Linux value.

The case "subsystem" types its commands into an interactive cmd.exe
instead, which waits for a console program and not for a GUI one, and
reads the exit code from %errorlevel%.

The case "storm" interrupts some 200 starts at random moments, each with a
token of its own in its arguments. STORM_RUNS (default 200), STORM_SECONDS
(default 240, the time after which no new run starts) and STORM_SEED (the
random moments; printed) change it. A run whose process is stuck in Wine's
own signal handling (see stuck_in_wine; gdb tells) is reported and not
counted, as long as such runs stay rare; so is a typed start whose launcher
never appeared (2 in some 2,400 runs, cause not known), which was never
interrupted.
"""
import os
import pty
import random
import re
import select
import shutil
import signal
import subprocess
import sys
import termios
import time

WINE_RUN, CASE = sys.argv[1], sys.argv[4]
PREFIX, BIN = os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3])
EXE = os.path.join(BIN, "onefile_app.exe")
CONSOLE_EXE = os.path.join(BIN, "onefile_app_console.exe")
MANY_EXE = os.path.join(BIN, "onefile_many.exe")
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL: " + what, flush=True)


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


class Console:
    """The launcher started through cmd.exe under a pseudo-terminal, with its
    own TEMP; `output` is what the terminal shows, without control codes."""

    def __init__(self, command="", milliseconds=0, exe=EXE):
        self.temp = os.path.join(BIN, "scratch-console", "%s_%d" % (CASE, os.getpid()))
        shutil.rmtree(self.temp, ignore_errors=True)
        os.makedirs(self.temp)
        # The duration makes the command line unique among running launchers.
        self.marker = "%s %d" % (command, milliseconds)
        self.exe = exe
        set_temp = "set TEMP={0}&& set TMP={0}".format(windows_path(self.temp))
        # Without a command: an interactive cmd.exe that type() feeds.
        cmd = ["cmd", "/c", "%s&& %s %s" % (set_temp, windows_path(exe), self.marker)] if command else ["cmd"]
        self.master, slave = pty.openpty()
        self.wine = subprocess.Popen([WINE_RUN, "--wineprefix=" + PREFIX] + cmd, stdin=slave,
                                     stdout=slave, stderr=slave, start_new_session=True, cwd=BIN)
        os.close(slave)
        self.raw = b""
        if not command:
            # Typed before the first prompt, a line break would be taken
            # as part of the line.
            self.wait_for(windows_path(BIN) + ">")
            self.type(set_temp)
            self.echo("step", "%errorlevel%")

    def type(self, line):
        """Types one line into the interactive cmd.exe, once Wine reads the
        terminal raw: before that, the line discipline turns the carriage
        return into a line feed, which cmd.exe takes as part of the line."""
        end = time.monotonic() + 10
        while termios.tcgetattr(self.master)[3] & termios.ICANON and time.monotonic() < end:
            self.pump(0.02)
        os.write(self.master, line.encode() + b"\r")

    def echo(self, label, value):
        """Has cmd.exe echo `value` (expanded) after `label`=, waits for it
        and returns it. The typed line itself shows the unexpanded text."""
        self.type("echo %s=%s." % (label, value))
        end = time.monotonic() + 30
        while time.monotonic() < end:
            found = re.search(r"\b%s=([^%%\r\n]*)\.\r" % label, self.output())
            if found:
                return found.group(1)
            self.pump(0.1)
        check(False, "cmd.exe echoed %s: %r" % (label, self.output()))
        return None

    def output(self):
        return re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", self.raw).decode("utf-8", "replace")

    def pump(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            ready, _, _ = select.select([self.master], [], [], 0.05)
            if ready:
                try:
                    data = os.read(self.master, 4096)
                except OSError:
                    return
                if not data:
                    return
                self.raw += data

    def wait_for(self, text, seconds=30):
        end = time.monotonic() + seconds
        while text not in self.output() and time.monotonic() < end:
            self.pump(0.1)
        check(text in self.output(), "the application printed %r: %r" % (text, self.output()))

    def launchers(self):
        """Linux pids of the launcher processes, the parent first."""
        return wine_processes(os.path.basename(self.exe) + " " + self.marker)

    def finish(self):
        for pid in self.launchers():
            os.kill(pid, signal.SIGKILL)
        if self.marker == " 0":
            self.type("exit")
        try:
            self.wine.wait(timeout=15)
        except subprocess.TimeoutExpired:
            os.killpg(self.wine.pid, signal.SIGKILL)
            self.wine.wait()
        os.close(self.master)
        left = os.listdir(self.temp)
        check(left == [], "nothing is left in the temporary folder, found %r" % left)
        shutil.rmtree(self.temp, ignore_errors=True)


def remove(path):
    """Removes a run's directory or the lock file beside it."""
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    elif os.path.lexists(path):
        os.remove(path)


def wine_processes(text, windows_only=False):
    """Linux pids of the live processes other than cmd.exe whose command
    line holds `text`, the oldest first. `windows_only` leaves out a process
    whose Linux parent is one of them: Wine's own fork on the way to a new
    process, which is no Windows process yet and gets no console event
    (signalled, it never goes on, and the launcher's CreateProcessW waits for
    it for good)."""
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            cmdline = open("/proc/%s/cmdline" % name, "rb").read().replace(b"\0", b" ").decode("utf-8", "replace")
            stat = open("/proc/%s/stat" % name).read()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        if fields[0] != "Z" and text in cmdline and "cmd.exe" not in cmdline:
            found.append((int(fields[19]), int(name), int(fields[1])))  # start time, pid, parent
    pids = set(pid for _, pid, _ in found)
    return [pid for _, pid, parent in sorted(found) if not (windows_only and parent in pids)]


def alive(pid):
    try:
        stat = open("/proc/%d/stat" % pid).read()
    except OSError:
        return False
    return stat[stat.rindex(")") + 2] != "Z"


def interrupt(command, signalled, expect_seconds):
    """Signals the first `signalled` launcher processes (parent, child)."""
    console = Console(command, 20000 + os.getpid() % 10000)
    console.wait_for("ready")
    if command == "stubborn":
        console.wait_for("stubborn")
    pids = console.launchers()
    check(len(pids) == 2, "a parent and a child launcher run: %r" % pids)
    if len(pids) == 2:
        targets = [n for n in os.listdir(console.temp) if not n.endswith(".lock")]
        check(len(targets) == 1 and targets[0].startswith("onefile_"), "one target directory: %r" % targets)
        check(sorted(os.listdir(console.temp)) == sorted(targets + [t + ".lock" for t in targets]),
              "and its lock file beside it: %r" % os.listdir(console.temp))
        start = time.monotonic()
        for pid in pids[:signalled]:
            os.kill(pid, signal.SIGINT)
        while any(alive(pid) for pid in pids) and time.monotonic() - start < 20:
            console.pump(0.05)
        elapsed = time.monotonic() - start
        print("%s, %d process(es) signalled: ended after %.2f s" % (command, signalled, elapsed), flush=True)
        check(console.launchers() == [], "both launcher processes ended")
        low, high = expect_seconds
        check(low <= elapsed <= high, "the launcher ended after %.1f s, expected %.1f to %.1f" % (elapsed, low, high))
        check(os.listdir(console.temp) == [], "the target directory is removed")
    console.finish()


def case_parent_only():
    # The child ignores nothing, but never hears of the event: terminated
    # after the 5 s the launcher gives it.
    interrupt("sleep", 1, (4.8, 9))


def case_whole_console():
    interrupt("sleep", 2, (0, 3))
    # A child that swallows the event is terminated after 5 s.
    interrupt("stubborn", 2, (4.8, 9))


def case_subsystem():
    console = Console()
    # The prompt does not wait for the GUI launcher: %errorlevel% is the
    # start's, not the application's.
    console.type("%s exit 7" % windows_path(EXE))
    check(console.echo("gui", "%errorlevel%") == "0", "cmd.exe does not wait for the GUI launcher")
    console.wait_for("ready")
    # It waits for the console launcher and sees its exit code.
    console.raw = b""
    console.type("%s exit 7" % windows_path(CONSOLE_EXE))
    check(console.echo("console", "%errorlevel%") == "7", "cmd.exe sees the console launcher's exit code")
    check(console.output().find("ready") < console.output().find("console=7"), "the application ran first")

    # Ctrl+C reaches both processes of the console, as on Windows; the
    # console launcher leaves it to the application, which survives it and
    # ends later with its own code, and waits for it: longer than the 5 s
    # after which the default launcher would have ended the application.
    console.raw = b""
    console.marker = "stubborn %d 9" % (6000 + os.getpid() % 100)
    console.exe = CONSOLE_EXE
    console.type("%s %s" % (windows_path(CONSOLE_EXE), console.marker))
    console.wait_for("stubborn\r")
    pids = console.launchers()
    check(len(pids) == 2, "a parent and a child launcher run: %r" % pids)
    start = time.monotonic()
    for pid in pids:
        os.kill(pid, signal.SIGINT)
    while any(alive(pid) for pid in pids) and time.monotonic() - start < 20:
        console.pump(0.05)
    elapsed = time.monotonic() - start
    print("console launcher, Ctrl+C: ended after %.2f s" % elapsed, flush=True)
    check(console.echo("stubborn", "%errorlevel%") == "9" and "interrupts=1" in console.output(),
          "the application handled Ctrl+C and ended with its own code: %r" % console.output())
    check(elapsed > 5.5, "the launcher did not stop the application: %.1f s" % elapsed)
    check(os.listdir(console.temp) == [], "the target directory is removed")
    console.marker = " 0"
    console.finish()


def start_in(console, token):
    """Types the start of onefile_many with a long sleep into the
    interactive cmd.exe (which does not wait for the GUI launcher) and returns
    the launcher's pid and the time it was first seen, or (None, None)."""
    console.type("%s sleep 60000 %s" % (windows_path(MANY_EXE), token))
    end = time.monotonic() + 20
    while time.monotonic() < end:
        pids = wine_processes(token)
        if pids:
            return pids[0], time.monotonic()
        console.pump(0.002)
    return None, None


def wait_until_gone(token, seconds, console):
    end = time.monotonic() + seconds
    while wine_processes(token) and time.monotonic() < end:
        console.pump(0.02)
    return wine_processes(token)


def stacks_of(pid):
    """Every thread's stack of the Unix process `pid`, as gdb prints them."""
    try:
        return subprocess.run(["gdb", "-p", str(pid), "-batch", "-ex", "thread apply all bt"],
                              capture_output=True, text=True, timeout=60).stdout
    except (OSError, subprocess.TimeoutExpired):
        return ""


def stuck_in_wine(stacks):
    """True when a process is stuck in Wine itself rather than in the
    launcher. Wine turns a console event into SIGINT for one thread of the
    process, and its signal handler allocates (to start the handler thread;
    to end a thread, when the process is ended meanwhile). Should the signal
    land while that thread is inside the C library's allocator, the handler
    waits for good on the lock that its own thread holds. No Windows program
    can prevent that; the stacks show it: the allocator's lock is waited for
    inside a signal handler or a thread's exit."""
    return ("lll_lock_wait_private" in stacks and "main_arena" in stacks
            and ("<signal handler called>" in stacks or "__pthread_exit" in stacks))


def case_storm():
    """Ctrl+C at a random moment between the launcher's start and the end of
    its unpacking, over and over: after each, the launcher has ended, no
    process of that run lives on, and no target directory is left. The
    event reaches the launcher alone (Wine 8): once it has taken it, it
    starts no child, or stops the one it started. The runs take turns
    in one interactive cmd.exe, which starts each launcher without waiting
    for it."""
    runs = int(os.environ.get("STORM_RUNS", "200"))
    console = Console()
    seed = int(os.environ.get("STORM_SEED", str(os.getpid())))
    chance = random.Random(seed)
    # How long unpacking takes: from the launcher's first sight until its
    # child is seen. These runs are stopped by signalling both processes,
    # as Windows would, so they end at once.
    unpacking = []
    for i in range(5):
        token = "calibrate%d_%d" % (seed, i)
        parent, seen = start_in(console, token)
        check(parent is not None, "the launcher starts")
        if parent is None:
            break
        while len(wine_processes(token, windows_only=True)) < 2 and time.monotonic() - seen < 20:
            pass
        unpacking.append(time.monotonic() - seen)
        for pid in wine_processes(token, windows_only=True):
            os.kill(pid, signal.SIGINT)
        check(wait_until_gone(token, 15, console) == [], "a calibration run ends")
    for name in os.listdir(console.temp):
        remove(os.path.join(console.temp, name))
    window = sorted(unpacking)[len(unpacking) // 2] if unpacking else 0.5
    print("seed %d; start to child, uninterrupted: %s s; interrupts from 0 to %.3f s"
          % (seed, " ".join("%.3f" % t for t in unpacking), window), flush=True)

    hangs = orphans = leftovers = late_children = slow = wine_faults = unseen = 0
    begin = time.monotonic()
    # On a loaded machine a run can take seconds: the case stops starting
    # runs after 4 minutes, and says so, rather than overrun its time limit.
    budget = begin + float(os.environ.get("STORM_SECONDS", "240"))
    done = 0
    for i in range(runs):
        if hangs + orphans + leftovers + wine_faults + unseen >= 20 or time.monotonic() > budget:
            print("stopped after %d runs" % i, flush=True)
            break
        done += 1
        token = "storm%d_%d" % (seed, i)
        parent, seen = start_in(console, token)
        if parent is None:
            # Never interrupted: what a launcher that failed to start printed
            # is counted among the messages, and what it left among the
            # leftovers of the next run.
            unseen += 1
            print("run %d: no launcher seen within 20 s of its start; the console ends with %r"
                  % (i, console.output()[-300:]), flush=True)
            continue
        moment = seen + chance.uniform(0, window)
        while time.monotonic() < moment:
            pass
        # Unpacking may have ended already: the event then goes to the
        # child as well, as Windows sends it to every process of the
        # console. A child that starts in between gets its 5 s.
        pids = wine_processes(token, windows_only=True)
        late_children += len(pids) > 1
        for pid in [parent] + pids[1:]:
            try:
                os.kill(pid, signal.SIGINT)
            except ProcessLookupError:
                pass
        # 5 s for a child, 2 s of removal retries, and room for a loaded
        # machine.
        end = time.monotonic() + 5 + 2 + 8
        while alive(parent) and time.monotonic() < end:
            console.pump(0.01)
        ended = time.monotonic()
        hung = alive(parent)
        slow += not hung and ended - moment > 5
        stuck = wait_until_gone(token, 1, console)
        stacks = {pid: stacks_of(pid) for pid in stuck}
        wine_fault = bool(stuck) and all(stuck_in_wine(stacks[pid]) for pid in stuck)
        what = "interrupted after %.3f s (%s), ended after %.3f s" % (
            moment - seen, "child running" if len(pids) > 1 else "no child seen", ended - moment)
        if wine_fault:
            wine_faults += 1
            print("run %d: %s; %r stuck in Wine's signal handling, not counted" % (i, what, stuck), flush=True)
        elif hung:
            hangs += 1
            print("run %d: %s; the launcher still runs, with %d other process(es)" % (i, what, len(stuck) - 1),
                  flush=True)
            # Where each process waits, for a hang that is not Wine's known one.
            for pid in stuck:
                print("stacks of %d:\n%s" % (pid, stacks[pid] or "(gdb could not attach)"), flush=True)
        elif stuck:
            orphans += 1
            print("run %d: %s; %r live on" % (i, what, stuck), flush=True)
        for pid in stuck:
            os.kill(pid, signal.SIGKILL)
        wait_until_gone(token, 10, console)
        names = [name for name in os.listdir(console.temp) if name.startswith("onefile_")]
        if names and not wine_fault:
            leftovers += 1
            files = sum(len(found) for name in names for _, _, found in os.walk(os.path.join(console.temp, name)))
            print("run %d: %s; left %r with %d file(s)" % (i, what, names, files), flush=True)
        if names:
            time.sleep(0.2)
            for name in names:
                remove(os.path.join(console.temp, name))
    # Each message with the run whose start was typed last before it.
    messages = []
    last_run = "before the first run"
    for line in console.output().splitlines():
        started = re.search(r"(storm\d+_\d+)", line)
        last_run = started.group(1) if started else last_run
        if "Error," in line:
            messages.append("%s: %s" % (last_run, line.strip()))
    errors = len(messages)
    print("runs %d, hangs %d, orphans %d, leftovers %d, messages %d (events after unpacking: %d, ends after "
          "more than 5 s: %d, stuck in Wine: %d, never seen: %d; %.1f s)"
          % (done, hangs, orphans, leftovers, errors, late_children, slow, wine_faults, unseen,
             time.monotonic() - begin), flush=True)
    check(hangs == 0 and orphans == 0 and leftovers == 0, "no hang, orphan or leftover")
    check((wine_faults + unseen) * 20 <= done,
          "runs stuck in Wine or never seen stay rare: %d in %d runs" % (wine_faults + unseen, done))
    check(errors == 0, "an interrupted launcher reports no failure: %r" % messages)
    console.marker = " 0"
    console.finish()


if __name__ == "__main__":
    globals()["case_" + CASE]()
    if failures:
        print("%d check(s) failed" % len(failures))
        sys.exit(1)
    print("ok")
