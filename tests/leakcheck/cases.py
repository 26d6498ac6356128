"""Rows of the reference-leak check.

Each row calls corvane.vesk along one path (success, an exception returned,
raised or swallowed) against the stand-in for Blender's API. The check runs
every row many times on the debug interpreter and fails when the interpreter's
total reference count grows. A new function or failure path adds one row here.

A row is `@case("name")` on a function `run(vesk, env)`; `env` is a `LeakEnv`
(a scratch folder and helpers shared by the rows). A row must leave the module
and the stand-in as it found them, so that every round does the same work.
"""

import contextlib

CASES = {}


def case(name):
    def add(run):
        assert name not in CASES, f"duplicate leak-check row {name!r}"
        CASES[name] = run
        return run

    return add


@contextlib.contextmanager
def raises(*types):
    try:
        yield
    except types:
        pass
    else:
        raise AssertionError(f"expected one of {types}")


@case("RegisterException: built")
def _(vesk, env):
    error = vesk.RegisterException([1020, "md5", "Zip file has broken, please reinstall."])
    assert error.message


@case("RegisterException: too short (IndexError)")
def _(vesk, env):
    with raises(IndexError):
        vesk.RegisterException([1020, "md5"])


@case("RegisterException: wrong argument count (TypeError)")
def _(vesk, env):
    with raises(TypeError):
        vesk.RegisterException()
