"""Tests against the stand-in for Blender's API, in this process."""

import sys

import pytest

import harness

sys.path.insert(0, str(harness.STANDIN))

import addon_utils  # noqa: E402
import bpy  # noqa: E402

assert bpy.__file__.startswith(str(harness.STANDIN)), "the real bpy was imported before the stand-in"


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
