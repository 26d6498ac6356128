"""Reads the XML files valgrind's memcheck wrote (scripts/lanes/memcheck.sh) and reports the
errors that are corvane's: those with a stack (where the error happened, or where
the memory was allocated or freed) that, followed outwards from its innermost frame,
reaches the module's code before it reaches Blender's code, another library or the
interpreter running Python code. An error inside Blender or a library that the
module merely called into is counted apart ("reached from the module's calls"),
and so is every other error. Exits 1 when one is corvane's, or when no Blender
process was checked.

    python3 scripts/lanes/memcheck_report.py build/memcheck
"""

import sys
import xml.etree.ElementTree as ElementTree
from collections import Counter
from pathlib import Path

MODULE = "vesk.cpython-311-x86_64-linux-gnu.so"


def frame_text(frame):
    function = frame.findtext("fn") or "???"
    where = frame.findtext("file")
    where = f"{where}:{frame.findtext('line')}" if where else Path(frame.findtext("obj") or "?").name
    return f"{function} ({where})"


# Libraries the module's own calls go through without handing control to other code.
PASSED_THROUGH = ("libpython3", "libc.so", "libc-", "ld-linux", "libstdc++", "libgcc_s", "libm.so", "vgpreload_")


def is_module(frame):
    return MODULE in (frame.findtext("obj") or "")


def is_foreign(frame):
    """A frame of other code than the module and the interpreter's API as the module calls it."""
    obj = Path(frame.findtext("obj") or "").name
    if frame.findtext("fn") == "_PyEval_EvalFrameDefault":
        return True  # Python code ran in between
    return not obj.startswith(PASSED_THROUGH)


def classify(error):
    """'module' (the module's own code), 'reached' (other code the module called), or 'elsewhere'."""
    stacks = [stack.findall("frame") for stack in error.findall("stack")]
    for frames in stacks:
        for frame in frames:
            if is_module(frame):
                return "module"
            if is_foreign(frame):
                break
    if any(is_module(frame) for frames in stacks for frame in frames):
        return "reached"
    return "elsewhere"


def read(path):
    """[(command, errors, complete)] of the valgrind runs in one file: Blender executes itself
    again at start-up, and valgrind, following it under the same process id, starts a second
    document in the same file. A document cut short still gives its whole errors."""
    runs = []
    for text in path.read_text(errors="replace").split('<?xml version="1.0"?>'):
        if "<valgrindoutput>" not in text:
            continue
        complete = "</valgrindoutput>" in text
        if not complete:
            cut = text.rfind("</error>")
            if cut >= 0:
                text = text[:cut + len("</error>")]
            elif "<error>" in text:
                text = text[:text.find("<error>")]
            if "</args>" not in text:
                continue  # nothing but the start of a preamble
            text += "\n</valgrindoutput>\n"
        root = ElementTree.fromstring(text)
        argv = root.find("args/argv")
        command = " ".join([argv.findtext("exe") or "?"] + [a.text or "" for a in argv.findall("arg")]) \
            if argv is not None else "?"
        runs.append((command, root.findall("error"), complete))
    return runs


def main():
    folder = Path(sys.argv[1] if len(sys.argv) > 1 else "build/memcheck")
    files = sorted(folder.glob("memcheck.*.xml"))
    if not files:
        print(f"memcheck: no valgrind output in {folder}")
        return 1
    in_module = []
    reached, others = Counter(), Counter()
    processes = cut_short = 0
    for path in files:
        runs = read(path)
        processes += 1
        cut_short += not runs[-1][2] if runs else 1
        for command, errors, complete in runs:
            for error in errors:
                kind = error.findtext("kind")
                where = classify(error)
                if where == "module":
                    in_module.append((path.name, command, error))
                else:
                    (reached if where == "reached" else others)[kind] += 1
    print(f"memcheck: {processes} Blender processes checked ({cut_short} ended without valgrind's summary)")
    print(f"  errors and definite leaks in corvane's code ({MODULE}): {len(in_module)}")
    print(f"  in Blender or a library, reached from the module's calls: "
          f"{sum(reached.values())} {dict(reached) if reached else ''}")
    print(f"  elsewhere (Blender, its libraries, the interpreter): "
          f"{sum(others.values())} {dict(others) if others else ''}")
    for name, command, error in in_module[:20]:
        what = error.findtext("what") or error.findtext("xwhat/text")
        print(f"\n{name}: {command}\n  {error.findtext('kind')}: {what}")
        for stack in error.findall("stack"):
            for frame in stack.findall("frame")[:25]:
                print("    " + frame_text(frame))
            print("    --")
    return 1 if in_module else 0


if __name__ == "__main__":
    sys.exit(main())
