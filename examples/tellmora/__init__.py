"""Tellmora: tells you about the scene you are working on.

Installed through corvane, this file and auto_load.py are the add-on's package on
disk; the other modules are loaded by the manager straight into Blender, which
also registers their classes. Run from its source folder as a plain add-on,
auto_load finds and registers everything itself.
"""

bl_info = {
    "name": "Tellmora",
    "author": "Tellmora makers",
    "version": (1, 0, 0),
    "blender": (2, 83, 0),
    "location": "View3D > Sidebar > Tellmora",
    "description": "Counts and describes what is in the scene",
    "category": "3D View",
}

from . import auto_load  # noqa: E402

auto_load.init()


def register():
    auto_load.register()


def unregister():
    auto_load.unregister()
