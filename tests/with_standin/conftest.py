"""Tests against the stand-in for Blender's API, in this process."""

import os
import sys
from pathlib import Path

import pytest

import harness

sys.path.insert(0, str(harness.STANDIN))

import addon_utils  # noqa: E402
import bpy  # noqa: E402

assert bpy.__file__.startswith(str(harness.STANDIN)), "the real bpy was imported before the stand-in"


@pytest.fixture(autouse=True, scope="session")
def module_under_test():
    """A checked build (the sanitizer run) names the package folder its module must come from."""
    folder = os.environ.get("CORVANE_PACKAGE_DIR")
    if folder:
        import corvane.vesk

        assert Path(corvane.vesk.__file__).parent == Path(folder, "corvane"), corvane.vesk.__file__


@pytest.fixture(autouse=True)
def fresh_standin():
    bpy.reset()
    addon_utils.reset()
    yield


@pytest.fixture
def vesk(tmp_path):
    """The module, with the registry back to its imported state and Blender's user folder in tmp_path."""
    import corvane.vesk as module

    module._vesk = None
    bpy.utils.scripts_path = str(tmp_path / "scripts")
    yield module
    module._vesk = None
