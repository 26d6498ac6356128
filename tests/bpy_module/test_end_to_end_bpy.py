import sys

import pytest

import end_to_end


@pytest.mark.parametrize("form", ["profile", "package"])
def test_install_update_restart_uninstall_in_the_bpy_module(form):
    # Each Blender session is a process of its own: the bpy module, imported by this interpreter.
    # "package": the extension, installed in-process by Blender's own installer. "profile": the
    # demo's path, with the starts between that find the server out of reach.
    end_to_end.check(end_to_end.run(module_python=sys.executable, package=None if form == "profile" else "extension",
                                    offline_starts=end_to_end.OFFLINE_STARTS if form == "profile" else ()))
