import sys

import end_to_end


def test_install_update_restart_uninstall_in_the_bpy_module():
    # Each Blender session is a process of its own: the bpy module, imported by this interpreter.
    end_to_end.check(end_to_end.run(module_python=sys.executable))
