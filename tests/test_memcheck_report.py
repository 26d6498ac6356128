"""scripts/lanes/memcheck_report.py tells corvane's memory errors from Blender's: an error in the
module's code, or in memory the module freed, fails the run; an error inside Blender that
the module merely called into does not."""

import subprocess
import sys

import harness

REPORT = harness.REPO / "scripts" / "lanes" / "memcheck_report.py"
MODULE = "/site/corvane/vesk.cpython-311-x86_64-linux-gnu.so"
PYTHON = "/usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0"
BLENDER = "/usr/bin/blender"


def frames(*objects):
    return "".join(f"<frame><fn>{fn}</fn><obj>{obj}</obj></frame>" for fn, obj in objects)


def error(kind, *stacks):
    return f"<error><kind>{kind}</kind><what>x</what>" + "".join(f"<stack>{s}</stack>" for s in stacks) + "</error>"


def document(*errors, complete=True):
    head = ('<?xml version="1.0"?>\n<valgrindoutput><args><argv><exe>/usr/bin/blender</exe><arg>-b</arg></argv>'
            '</args>')
    return head + "".join(errors) + ("</valgrindoutput>\n" if complete else "")


def report(tmp_path, *texts):
    for number, text in enumerate(texts):
        (tmp_path / f"memcheck.{number}.xml").write_text(text)
    return subprocess.run([sys.executable, str(REPORT), str(tmp_path)], capture_output=True, text=True)


def test_errors_in_blender_reached_from_the_module_do_not_count(tmp_path):
    called_blender = error("SyscallParam",
                           frames(("write", "/lib/libc.so.6"), ("?", BLENDER), ("cfunction_call", PYTHON),
                                  ("?", MODULE)))
    ran_python = error("InvalidRead", frames(("?", "/lib/_socket.so"), ("_PyEval_EvalFrameDefault", PYTHON),
                                             ("?", MODULE)))
    # Blender executes itself again: a second document in the same file.
    run = report(tmp_path, document(complete=False) + document(called_blender, ran_python))
    assert run.returncode == 0, run.stdout
    assert "corvane's code (vesk.cpython-311-x86_64-linux-gnu.so): 0" in run.stdout
    assert "reached from the module's calls: 2" in run.stdout


def test_an_error_in_the_module_or_in_memory_it_freed_counts(tmp_path):
    own = error("InvalidRead", frames(("PyDict_GetItem", PYTHON), ("?", MODULE), ("?", BLENDER)))
    freed = error("InvalidRead", frames(("?", BLENDER)),
                  frames(("free", "/usr/lib/vgpreload_memcheck.so"), ("_Py_Dealloc", PYTHON), ("?", MODULE)))
    # A process that was killed: its last whole error still counts.
    run = report(tmp_path, document(own, freed, complete=False))
    assert run.returncode == 1
    assert "corvane's code (vesk.cpython-311-x86_64-linux-gnu.so): 2" in run.stdout


def test_no_output_fails(tmp_path):
    assert report(tmp_path).returncode == 1
