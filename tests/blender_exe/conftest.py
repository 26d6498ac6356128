import pytest

import harness


def pytest_collection_modifyitems(config, items):
    if harness.BLENDER is None:
        skip = pytest.mark.skip(reason="Debian's blender executable is not installed")
        for item in items:
            if "blender_exe" in str(item.fspath):
                item.add_marker(skip)
