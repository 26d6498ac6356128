"""bpy.ops: the few operators the manager calls."""

calls = []  # (operator name, keywords)
fail_on = {}  # operator name -> exception to raise


def _operator(name, effect=None):
    def run(**keywords):
        calls.append((name, keywords))
        if name in fail_on:
            raise fail_on[name]
        if effect:
            effect(**keywords)
        return {"FINISHED"}

    run.__name__ = name
    return run


class wm:
    save_userpref = staticmethod(_operator("wm.save_userpref"))


def _enabled():
    import addon_utils

    return addon_utils.enabled


class preferences:
    addon_enable = staticmethod(_operator("preferences.addon_enable", lambda module: _enabled().add(module)))
    addon_remove = staticmethod(_operator("preferences.addon_remove", lambda module: _enabled().discard(module)))


def reset():
    calls.clear()
    fail_on.clear()
