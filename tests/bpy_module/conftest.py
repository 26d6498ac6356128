"""The package index's bpy (Blender 4.5 or 5.2) imported in-process, on temporary user folders, online
access on (from 4.2 on a factory profile has it off)."""

import os
import tempfile
from pathlib import Path

import pytest

_home = Path(tempfile.mkdtemp(prefix="corvane-bpy-"))
os.environ["BLENDER_USER_CONFIG"] = str(_home / "config")
os.environ["BLENDER_USER_SCRIPTS"] = str(_home / "scripts")
(_home / "config").mkdir()
(_home / "scripts").mkdir()

bpy = pytest.importorskip("bpy")  # noqa: E402
assert "standin_api" not in (bpy.__file__ or ""), "the stand-in must not be on this process's path"
import harness  # noqa: E402

harness.session.allow_online_access(bpy)


@pytest.fixture(scope="session")
def blender_home():
    return _home
