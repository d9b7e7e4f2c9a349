#!/usr/bin/env python3
"""Builds tests/downstream/project the way an application author does: a copy
outside this tree, through add_subdirectory or find_package, natively or
cross-compiled for Windows. Then checks incremental builds, copies the
executable away, deletes the build tree and runs the copy (Windows: under
Wine), which must exit with 42.

    run_downstream.py install    --source REPO --work DIR --prefix P [--host-build]
    run_downstream.py subdirectory|package --source REPO --work DIR --pack TALVOR_PACK
                      [--prefix P] [--toolchain FILE --wine-run SCRIPT --wineprefix DIR]

install puts this build (and with --host-build a build-machine build made
here, for its talvor-pack) into the prefix that the package way uses.
"""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def fail(what):
    print("FAIL: " + what)
    sys.exit(1)


def run(argv, ok_status=0, **kwargs):
    result = subprocess.run(argv, capture_output=True, text=True, **kwargs)
    if ok_status is not None and result.returncode != ok_status:
        fail("%s exited with %d:\n%s%s" % (" ".join(argv), result.returncode, result.stdout, result.stderr))
    return result


def install(args):
    shutil.rmtree(args.prefix, ignore_errors=True)
    if args.host_build:
        host = os.path.join(args.work, "host-build")
        shutil.rmtree(host, ignore_errors=True)
        run(["cmake", "-S", args.source, "-B", host, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
             "-DTALVOR_BUILD_TESTS=OFF", "-DTALVOR_BUILD_EXAMPLES=OFF"])
        run(["cmake", "--build", host])
        run(["cmake", "--install", host, "--prefix", args.prefix])
        shutil.rmtree(host)
    run(["cmake", "--install", args.build, "--prefix", args.prefix])


def ico(color):
    """A 16x16 32-bit icon of one colour, whose pixels the executable must carry."""
    pixels = bytes(color) * 256
    bitmap = struct.pack("<IiiHHIIiiII", 40, 16, 32, 1, 32, 0, len(pixels) + 64, 0, 0, 0, 0) + pixels + bytes(64)
    return struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", 16, 16, 0, 0, 1, 32, len(bitmap), 22) + bitmap, pixels


def largest_icon_image(prefix):
    """The biggest image of the installed default icon, as the executable stores it."""
    with open(os.path.join(prefix, "lib", "cmake", "TalvorOnefile", "resources", "talvor_default.ico"), "rb") as f:
        data = f.read()
    count = struct.unpack_from("<H", data, 4)[0]
    entries = [struct.unpack_from("<II", data, 6 + 16 * i + 8) for i in range(count)]
    size, offset = max(entries)
    return data[offset:offset + size]


def packed_names(args, exe):
    listing = run([args.pack, "list", exe]).stdout
    return {line.split()[-1].replace("\\", "/") for line in listing.splitlines() if line.strip()}


def build(build_dir):
    return run(["cmake", "--build", build_dir]).stdout


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("way", choices=["install", "subdirectory", "package"])
    parser.add_argument("--source", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--build")
    parser.add_argument("--prefix")
    parser.add_argument("--host-build", action="store_true")
    parser.add_argument("--pack")
    parser.add_argument("--toolchain")
    parser.add_argument("--wine-run")
    parser.add_argument("--wineprefix")
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    if args.way == "install":
        return install(args)

    windows = args.toolchain is not None
    work = os.path.join(args.work, args.way)
    shutil.rmtree(work, ignore_errors=True)
    project = os.path.join(work, "project")
    # "@x@" would be replaced if the generated source were configured.
    build_dir = os.path.join(work, "build@x@")
    shutil.copytree(os.path.join(HERE, "project"), project)

    # add_subdirectory: a Debug build, packed quickly, rebuilt by the steps
    # below. find_package: a release build, stripped and packed at level 19.
    configure = ["cmake", "-S", project, "-B", build_dir, "-G", "Ninja"]
    if args.way == "subdirectory":
        configure += ["-DCMAKE_BUILD_TYPE=Debug", "-DTALVOR_SOURCE_DIR=" + args.source]
    else:
        configure += ["-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_PREFIX_PATH=" + args.prefix]
    if windows:
        toolchain = args.toolchain
        if args.way == "package":
            # The installed copy, as a find_package user names it.
            toolchain = os.path.join(args.prefix, "lib", "cmake", "TalvorOnefile", "toolchains",
                                     os.path.basename(args.toolchain))
        configure += ["-DCMAKE_TOOLCHAIN_FILE=" + toolchain]
    if args.way == "package":
        # A cached target directory beside the executable; a spec that
        # mixes a cached parent with a per-start one is refused at once.
        refused = run(configure[:4] + [os.path.join(work, "refused")] + configure[5:] +
                      ["-DDOWNSTREAM_TARGET_DIRECTORY={TEMP}/{PID}/downstream"], ok_status=None)
        if refused.returncode == 0 or "mixes the two kinds" not in " ".join(refused.stderr.split()):
            fail("a mixed TARGET_DIRECTORY was not refused:\n" + refused.stderr)
        configure += ["-DDOWNSTREAM_TARGET_DIRECTORY={PROGRAM_DIR}/cache"]
    icon_file = os.path.join(project, "app.ico")
    if windows:
        if args.way == "subdirectory":
            icon, icon_pixels = ico((1, 2, 3, 255))
            with open(icon_file, "wb") as f:
                f.write(icon)
            configure += ["-DDOWNSTREAM_ICON=" + icon_file]
    run(configure)
    build(build_dir)
    exe = os.path.join(build_dir, "downstream.exe" if windows else "downstream")
    twin = os.path.join(build_dir, "downstream_prebuilt.exe" if windows else "downstream_prebuilt")

    if "no work to do" not in build(build_dir):
        fail("a second build with nothing changed did some work")
    names = packed_names(args, exe)
    expected = {"share/data/answer.txt", "share/data/gone.txt", "share/extra.txt", "docs/readme.txt"}
    expected |= {"libalpha.dll", "libbeta.dll", "libwinpthread-1.dll"} if windows else {"libalpha.so.1", "libbeta.so.2"}
    if not expected <= names or any(".tmp" in n or "cache" in n for n in names):
        fail("packed names %r, expected %r without the excluded ones" % (sorted(names), sorted(expected)))
    if packed_names(args, twin) != names:
        fail("the executable made from the prebuilt launcher packs %r, not %r" % (sorted(packed_names(args, twin)), sorted(names)))
    # The C++ application, with its runtime DLLs found and packed, and without.
    cxx = [os.path.join(build_dir, n + ".exe") for n in ("downstream_cxx", "downstream_cxx_alone")] if windows else []
    if cxx:
        runtime = {"libstdc++-6.dll", "libwinpthread-1.dll"}
        if not runtime <= packed_names(args, cxx[0]) or runtime & packed_names(args, cxx[1]):
            fail("the C++ application packs %r, and with NO_RUNTIME_DLLS %r" %
                 (sorted(packed_names(args, cxx[0])), sorted(packed_names(args, cxx[1]))))

    with open(exe, "rb") as f:
        image = f.read()
    if windows:
        if b"longPathAware" not in image:
            fail("no manifest in the executable")
        if args.way == "subdirectory" and icon_pixels not in image:
            fail("the given icon is not in the executable")
        if args.way == "package" and largest_icon_image(args.prefix) not in image:
            fail("the default icon is not in the executable")
        if os.path.exists(os.path.join(build_dir, "talvor", "tools", "pack", "talvor-pack.exe")):
            fail("an author's build built the Windows talvor-pack, which it never runs")
    if not windows:
        dynamic = run(["readelf", "-d", os.path.join(build_dir, "libdownstream_app.so")]).stdout
        if "[$ORIGIN:/opt/downstream/lib]" not in dynamic:
            fail("the main library's RUNPATH is not $ORIGIN and the author's own:\n" + dynamic)
    if args.way == "package":
        symbols = run(["x86_64-w64-mingw32-nm" if windows else "nm", exe], ok_status=None)
        if "no symbols" not in symbols.stderr:
            fail("the release executable is not stripped")

    if args.way == "subdirectory":
        # Inputs that change without a newer modification time of their own.
        os.remove(os.path.join(project, "data", "gone.txt"))
        late = os.path.join(work, "late.txt")
        with open(late, "w") as f:
            f.write("late\n")
        os.utime(late, (946684800, 946684800))
        os.rename(late, os.path.join(project, "more", "late.txt"))
        build(build_dir)
        names = packed_names(args, exe)
        if "share/data/gone.txt" in names or "share/late.txt" not in names:
            fail("a removed or moved-in file did not re-pack: %r" % sorted(names))
        if windows:
            icon, icon_pixels = ico((4, 5, 6, 255))
            with open(icon_file, "wb") as f:
                f.write(icon)
            build(build_dir)
            with open(exe, "rb") as f:
                if icon_pixels not in f.read():
                    fail("a changed icon did not reach the executable")
        # Nothing of the launcher's project installs from an author's build.
        installed = os.path.join(work, "installed")
        run(["cmake", "--install", build_dir, "--prefix", installed])
        if os.path.exists(installed) and os.listdir(installed):
            fail("an add_subdirectory build installed %r" % os.listdir(installed))

    # The executable alone, after the build tree is gone.
    run_dir = os.path.join(work, "run")
    os.makedirs(run_dir)
    for made in [exe, twin] + cxx:
        shutil.copy2(made, run_dir)
    shutil.rmtree(build_dir)
    if windows:
        # DLLs of the packed names planted beside the executable, which is
        # also the current directory: the packed ones are loaded, never these.
        for planted in ("libalpha.dll", "libbeta.dll"):
            with open(os.path.join(run_dir, planted), "wb") as f:
                f.write(b"MZ planted, not a DLL")

    def start(made):
        copy = os.path.join(run_dir, os.path.basename(made))
        argv = [args.wine_run, "--wineprefix=" + args.wineprefix, copy] if windows else [copy]
        return run(argv + ["an argument"], ok_status=None, cwd=run_dir, timeout=120)

    # Both ways; the cached ones twice: the first start unpacks, the second
    # runs from what the first left.
    for made in [exe, twin] + cxx[:1]:
        for _ in range(2 if args.way == "package" and made in (exe, twin) else 1):
            result = start(made)
            if result.returncode != 42:
                fail("%s exited with %d, not 42:\n%s%s" % (os.path.basename(made), result.returncode, result.stdout,
                                                           result.stderr))
    if cxx:
        # GCC's library imports libgcc_s_seh-1.dll first; clang links libgcc
        # statically.
        result = start(cxx[1])
        if result.returncode != 2 or not result.stderr.startswith("Error, load DLL. ([Error 126] ") or \
                not re.search(r"Missing: '(libstdc\+\+-6|libgcc_s_seh-1)\.dll'\.\n$", result.stderr):
            fail("without its runtime DLLs the C++ application ended with %d:\n%s%s" %
                 (result.returncode, result.stdout, result.stderr))
    versions = [n for n in os.listdir(os.path.join(run_dir, "cache")) if not n.endswith(".lock")] \
        if args.way == "package" else []
    if args.way == "package" and len(versions) != 1:
        fail("no cached directory beside the executable: %r" % os.listdir(run_dir))
    shutil.rmtree(work)
    print("ok: %s, %s" % (args.way, "windows" if windows else "linux"))


if __name__ == "__main__":
    main()
