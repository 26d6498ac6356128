"""A stand-in for Blender's addon_utils: the add-on list refresh."""

calls = []
fail = None  # exception to raise from modules_refresh()


def modules_refresh(module_cache=None):
    calls.append("modules_refresh")
    if fail is not None:
        raise fail


def reset():
    global fail
    calls.clear()
    fail = None
