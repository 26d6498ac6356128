"""bpy.ops: the few operators the manager calls."""

calls = []  # (operator name, keywords)
fail_on = {}  # operator name -> exception to raise


def _operator(name):
    def run(**keywords):
        calls.append((name, keywords))
        if name in fail_on:
            raise fail_on[name]
        return {"FINISHED"}

    run.__name__ = name
    return run


class wm:
    save_userpref = staticmethod(_operator("wm.save_userpref"))


class preferences:
    addon_enable = staticmethod(_operator("preferences.addon_enable"))
    addon_remove = staticmethod(_operator("preferences.addon_remove"))


def reset():
    calls.clear()
    fail_on.clear()
