"""Compiles corvane.vesk's units for Windows x64 and macOS arm64 and x86_64 with zig's
Clang against those targets' own system headers (mingw-w64's for Windows, Apple's libc
for macOS, libc++ for each), every warning an error; nothing is linked.

The Python headers are this machine's interpreter's, made to fit the target: in a
copy of its include folder, pyconfig.h keeps a HAVE_<HEADER>_H only where the target
has that header. For Windows, the POSIX headers that mingw-w64 carries and the
Windows SDK (MSVC) lacks are stubs that stop the compile, so a unit that includes
one fails here as it would fail under MSVC.

Usage: .venv/bin/python scripts/lanes/cross_check.py [TARGET...]   (zig's ziglang wheel is
installed into the running interpreter's environment when missing)
"""

import os
import re
import shutil
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent.parent
UNITS = sorted((REPO / "src" / "vesk").glob("*.cpp"))
BUILD = REPO / "build" / "cross"
TARGETS = ("x86_64-windows-gnu", "aarch64-macos", "x86_64-macos")
# Kept in step with CMakeLists.txt's flags for GCC and Clang.
FLAGS = ["-std=c++20", "-O0", "-Wall", "-Wextra", "-Wpedantic", "-Wno-missing-field-initializers", "-Werror",
         "-Wno-unused-command-line-argument"]
# In mingw-w64, not in the Windows SDK that MSVC compiles with.
NOT_IN_WINDOWS_SDK = ("unistd.h", "dirent.h", "pthread.h", "sched.h", "semaphore.h", "strings.h", "libgen.h",
                      "getopt.h", "sys/time.h", "sys/param.h", "sys/mman.h", "dlfcn.h")


def zig():
    try:
        import ziglang  # noqa: F401
    except ImportError:
        print("== installing zig (the ziglang wheel)", flush=True)
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--disable-pip-version-check", "ziglang"],
                       check=True)
    return [sys.executable, "-m", "ziglang"]


def include_dirs(compiler, target):
    """The target's system include folders, as zig's driver passes them to Clang."""
    listing = subprocess.run(compiler + ["c++", "-target", target, "-E", "-x", "c++", "-", "-v"],
                             input="", capture_output=True, text=True).stderr
    found = re.search(r"#include <\.\.\.> search starts here:\n(.*?)End of search list", listing, re.S)
    if not found:
        raise SystemExit(f"zig names no include folders for {target}:\n{listing}")
    return [Path(line.strip()) for line in found.group(1).splitlines() if line.strip()]


def python_headers(target, system_dirs, denied):
    """A copy of this interpreter's include folder whose pyconfig.h claims only the target's headers."""
    source = Path(sysconfig.get_paths()["include"])
    folder = BUILD / target / "python"
    shutil.rmtree(folder, ignore_errors=True)
    shutil.copytree(source, folder)

    def present(name):
        parts = name.lower().split("_")
        candidates = {"/".join(parts), parts[0] + "/" + "_".join(parts[1:]), "_".join(parts)}
        return any(c + ".h" not in denied and (d / (c + ".h")).is_file() for c in candidates for d in system_dirs)

    config = folder / "pyconfig.h"
    lines = [line if not (m := re.match(r"#define HAVE_(\w+)_H 1\s*$", line)) or present(m.group(1))
             else f"/* {line.strip()}: not on {target} */"
             for line in config.read_text().splitlines()]
    if "windows" in target:
        # What the interpreter's own Windows configuration says of the platform: its
        # threads, and its API imported from python3X.dll.
        lines += ["#define MS_WINDOWS", "#define MS_WIN32", "#define MS_WIN64", "#define NT_THREADS",
                  "#define HAVE_DECLSPEC_DLL", "#ifndef Py_ENABLE_SHARED", "#define Py_ENABLE_SHARED 1", "#endif"]
    config.write_text("\n".join(lines) + "\n")
    return folder


def windows_stubs(target):
    folder = BUILD / target / "not-in-sdk"
    for header in NOT_IN_WINDOWS_SDK:
        stub = folder / header
        stub.parent.mkdir(parents=True, exist_ok=True)
        stub.write_text(f'#error "<{header}> is POSIX: the Windows SDK that MSVC builds with has no such header"\n')
    return folder


def check(compiler, target):
    system_dirs = include_dirs(compiler, target)
    windows = "windows" in target
    extra = ["-I", str(windows_stubs(target))] if windows else []
    python = python_headers(target, system_dirs, NOT_IN_WINDOWS_SDK if windows else ())
    failed = []
    for unit in UNITS:
        result = subprocess.run(compiler + ["c++", "-target", target, *FLAGS, *extra, "-I", str(python), "-c",
                                            str(unit), "-o", str(BUILD / target / (unit.stem + ".o"))],
                                capture_output=True, text=True, cwd=REPO)
        if result.returncode != 0:
            failed.append(unit.name)
            print((result.stdout + result.stderr).rstrip(), flush=True)
    return failed


def main(argv):
    compiler = zig()
    version = subprocess.run(compiler + ["version"], capture_output=True, text=True).stdout.strip()
    status = 0
    for target in argv or TARGETS:
        began = time.monotonic()
        print(f"== {target}: zig {version} c++, {len(UNITS)} units, Python headers of {sys.version.split()[0]}",
              flush=True)
        failed = check(compiler, target)
        took = time.monotonic() - began
        print(f"   {target}: {'FAILED: ' + ', '.join(failed) if failed else 'ok'} ({took:.0f} s)", flush=True)
        status = status or (1 if failed else 0)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
