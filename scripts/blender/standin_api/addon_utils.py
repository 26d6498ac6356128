"""A stand-in for Blender's addon_utils: the add-on list refresh, and which add-ons
Blender has enabled (bpy.ops.preferences.addon_enable adds one, addon_remove takes it away)."""

calls = []
fail = None  # exception to raise from modules_refresh()
enabled = set()


def modules_refresh(module_cache=None):
    calls.append("modules_refresh")
    if fail is not None:
        raise fail


def check(module_name):
    return module_name in enabled, module_name in enabled


def reset():
    global fail
    calls.clear()
    enabled.clear()
    fail = None
