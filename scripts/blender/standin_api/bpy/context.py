"""bpy.context: the preferences view and the window manager's add-on filter."""

from types import SimpleNamespace

preferences = SimpleNamespace(view=SimpleNamespace(show_addons_enabled_only=True))
window_manager = SimpleNamespace(addon_filter="Enabled", addon_search="")


def reset():
    preferences.view = SimpleNamespace(show_addons_enabled_only=True)
    window_manager.addon_filter = "Enabled"
    window_manager.addon_search = ""
