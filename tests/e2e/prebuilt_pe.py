#!/usr/bin/env python3
"""talvor-pack completing a prebuilt Windows launcher, seen from the build
machine: two runs write the same bytes, binutils and LLVM read the result,
and a launcher that cannot be completed is refused with exit status 1, a
message, and nothing written.

    prebuilt_pe.py TALVOR_PACK LAUNCHER.exe APP.dll SCRATCH_DIR
"""
import os
import shutil
import struct
import subprocess
import sys

pack, launcher, app, scratch = sys.argv[1:5]
shutil.rmtree(scratch, ignore_errors=True)
os.makedirs(scratch)
failures = passes = 0


def check(ok, what):
    global failures, passes
    passes += bool(ok)
    failures += not ok
    if not ok:
        print("FAIL:", what)


def create(launcher_path, out, *options, env=None):
    return subprocess.run([pack, "create", "-q", "--launcher", launcher_path, "-o", out, "--main", app, *options],
                          capture_output=True, text=True, env=env)


def headers(image):
    """The offsets of the COFF header (after "PE\\0\\0") and of the optional header."""
    pe = struct.unpack_from("<I", image, 0x3C)[0] + 4
    return pe, pe + 20


def patched(image, at, fmt, value):
    image = bytearray(image)
    struct.pack_into(fmt, image, at, value)
    return bytes(image)


epoch = dict(os.environ, SOURCE_DATE_EPOCH="1700000000")
images = []
for run in ("one", "two"):
    out = os.path.join(scratch, run, "app.exe")
    os.makedirs(os.path.dirname(out))
    r = create(launcher, out, "--product-version", "2.0", env=epoch)
    check(r.returncode == 0, f"run {run}: exit {r.returncode}, {r.stderr}")
    images.append(open(out, "rb").read() if r.returncode == 0 else b"")
completed = images[0]
check(completed and images[0] == images[1], "two runs write the same bytes")
coff, _ = headers(completed)
check(struct.unpack_from("<I", completed, coff + 4)[0] == 1700000000, "SOURCE_DATE_EPOCH is the time stamp")
for tool in (["x86_64-w64-mingw32-objdump", "-x"], ["llvm-readobj", "--file-headers", "--sections", "--coff-resources"]):
    r = subprocess.run(tool + [out], capture_output=True, text=True)
    check(r.returncode == 0 and ".talvor" in r.stdout and "warning" not in r.stderr.lower(),
          f"{tool[0]} reads the executable: exit {r.returncode}, {r.stderr}")

original = open(launcher, "rb").read()
coff, opt = headers(original)
sections, opt_size = struct.unpack_from("<H", original, coff + 2)[0], struct.unpack_from("<H", original, coff + 16)[0]
table_end = opt + opt_size + 40 * sections
descriptor = completed.find(b"TalvorOnefile\0D1")
refusals = [
    ("signed", patched(original, opt + 112 + 8 * 4 + 4, "<I", 8), [], "it is signed"),
    ("other machine", patched(original, coff, "<H", 0x14C), [], "a launcher for another machine"),
    ("no header room", patched(original, opt + 60, "<I", table_end), [], "no room in its headers"),
    ("completed", completed, [], "already completed"),
    ("state reset", patched(completed, descriptor + 32, "<I", 0), [], "it holds a payload already"),
    ("not PE", patched(original, 0x3C, "<I", len(original) - 2), [], "not a PE executable"),
    ("text", b"MZ not a program", [], "not a prebuilt launcher"),
    ("bad icon", original, ["--icon", app], "not an icon file"),
    ("bad version", original, ["--file-version", "1.70000"], "a version is a[.b[.c[.d]]]"),
    ("bad manifest", original, ["--manifest", app], "not an XML manifest"),
]
for what, image, options, message in refusals:
    case = os.path.join(scratch, what.replace(" ", "_"))
    os.makedirs(case)
    with open(os.path.join(case, "launcher.exe"), "wb") as f:
        f.write(image)
    r = create(os.path.join(case, "launcher.exe"), os.path.join(case, "out.exe"), *options)
    check(r.returncode == 1 and r.stderr.startswith("talvor-pack: ") and message in r.stderr,
          f"{what}: exit {r.returncode}, {r.stderr!r}")
    check(os.listdir(case) == ["launcher.exe"], f"{what}: nothing is written, found {os.listdir(case)}")

print(f"{passes} passed, {failures} failed")
sys.exit(1 if failures else 0)
