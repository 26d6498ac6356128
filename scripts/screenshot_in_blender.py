"""Runs in Blender's real interface (under a virtual screen): shows the host add-on's
preferences, presses Install for Tellmora as a click does and saves a screenshot
while the install is under way (the server holds the archive back)."""

import os

import addon_utils
import bpy

HOST = "corvane_host"
OUTPUT = os.environ["CORVANE_SCREENSHOT"]


def prepare():
    # The profile's folders were made after this Blender started: put them on sys.path.
    bpy.utils.refresh_script_paths()
    addon_utils.modules_refresh()
    addon_utils.enable(HOST, default_set=True)
    prefs = bpy.context.preferences.addons[HOST].preferences
    prefs.index = list(prefs.addons.keys()).index("tellmora")

    window = bpy.context.window_manager.windows[0]
    screen = window.screen
    area = max(screen.areas, key=lambda a: a.width * a.height)
    for other in screen.areas:
        if other != area and other.type == "VIEW_3D":
            area = other
    area.ui_type = "PREFERENCES"
    bpy.context.preferences.active_section = "ADDONS"
    bpy.context.window_manager.addon_search = "Corvane"
    bpy.context.preferences.view.show_addons_enabled_only = False
    for module in addon_utils.modules():
        if module.__name__ == HOST:
            addon_utils.module_bl_info(module)["show_expanded"] = True
    for region in area.regions:
        region.tag_redraw()
    bpy.app.timers.register(press_install, first_interval=1.0)


def press_install():
    window = bpy.context.window_manager.windows[0]
    area = next(a for a in window.screen.areas if a.ui_type == "PREFERENCES")
    region = next(r for r in area.regions if r.type == "WINDOW")
    with bpy.context.temp_override(window=window, area=area, region=region):
        bpy.ops.corvane.action("INVOKE_DEFAULT", action="install")
    bpy.app.timers.register(shoot, first_interval=2.5)


def shoot():
    window = bpy.context.window_manager.windows[0]
    area = next(a for a in window.screen.areas if a.ui_type == "PREFERENCES")
    with bpy.context.temp_override(window=window, area=area):
        bpy.ops.screen.screenshot_area(filepath=OUTPUT)
    bpy.app.timers.register(lambda: bpy.ops.wm.quit_blender() and None, first_interval=0.2)
    return None


def guarded(step):
    """A failing step ends Blender with an error instead of leaving it open."""

    def run():
        try:
            return step()
        except BaseException:
            import traceback

            traceback.print_exc()
            os._exit(1)

    return run


prepare, press_install, shoot = guarded(prepare), guarded(press_install), guarded(shoot)
bpy.app.timers.register(prepare, first_interval=0.5)
