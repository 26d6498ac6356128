"""Runs in Blender's real interface (under a virtual screen): shows the host add-on's
preferences, presses Install for Tellmora as a click does and saves a screenshot
while the install is under way (the server holds the archive back)."""

import os

import addon_utils
import bpy
from blender_inside import HOST, enable_host, guarded, preferences_area, press, quit_soon

OUTPUT = os.environ["CORVANE_SCREENSHOT"]


def prepare():
    enable_host()
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
    bpy.app.timers.register(guarded(press_install), first_interval=1.0)


def press_install():
    press("install")
    bpy.app.timers.register(guarded(shoot), first_interval=2.5)


def shoot():
    window, area = preferences_area()
    with bpy.context.temp_override(window=window, area=area):
        bpy.ops.screen.screenshot_area(filepath=OUTPUT)
    quit_soon(0.2)


bpy.app.timers.register(guarded(prepare), first_interval=0.5)
