"""corvane host: the add-on that carries corvane's add-on manager into Blender.

A maker copies this folder, renames it, and lists the add-ons it manages in
corvane (the managed add-on here is Tellmora). Its preferences show the managed
add-ons and the manager's buttons.
"""

bl_info = {
    "name": "Corvane Host",
    "author": "corvane",
    "version": (0, 1, 0),
    "blender": (3, 4, 0),
    "location": "Edit > Preferences > Add-ons > Corvane Host",
    "description": "Installs, updates and removes the maker's add-ons",
    "category": "System",
}

import bpy  # noqa: E402

from . import bundled  # noqa: E402

bundled.use_own_copy()
from corvane import vesk  # noqa: E402

# The manager's actions as buttons, in the order they are shown: action, label, icon, tooltip.
ACTIONS = (
    ("install", "Install", "IMPORT", "Download, load and register the selected add-on"),
    ("uninstall", "Uninstall", "TRASH", "Unregister the selected add-on and forget its cached code"),
    ("update", "Update", "FILE_REFRESH", "Uninstall the selected add-on, then install its newest release"),
    ("check_update", "Check Update", "VIEWZOOM", "Ask the server whether a newer release exists"),
    ("preferences", "Preferences", "PREFERENCES", "Show the selected add-on in Blender's add-on list"),
    ("update_manager", "Update Manager", "PACKAGE", "Update corvane itself from the package index"),
    ("version", "Version", "INFO", "Show the manager's version"),
)


class CORVANE_OT_action(bpy.types.Operator):
    """Run one action of the add-on manager on the selected add-on"""

    bl_idname = "corvane.action"
    bl_label = "Add-on Manager Action"
    bl_options = {"INTERNAL"}

    action: bpy.props.EnumProperty(items=[(key, label, tip) for key, label, _, tip in ACTIONS])

    @classmethod
    def description(cls, context, properties):
        return {key: tip for key, _, _, tip in ACTIONS}.get(properties.action, cls.__doc__)

    def execute(self, context):
        note = bundled.update_note() if self.action == "update_manager" else None
        if note:  # this form of the host brings corvane's updates itself
            self.report({"INFO"}, note)
            return {"FINISHED"}
        try:
            result = vesk.operator(self.action)
        except Exception as error:  # shown to the user, never dropped
            self.report({"ERROR"}, f"{type(error).__name__}: {error}")
            return {"CANCELLED"}
        if result:
            self.report({"INFO"}, str(result))
        for window in context.window_manager.windows:
            for area in window.screen.areas:
                area.tag_redraw()
        return {"FINISHED"}


class CORVANE_UL_addons(bpy.types.UIList):
    def draw_item(self, context, layout, data, item, icon, active_data, active_propname, index):
        row = layout.row(align=True)
        row.label(text=item.title or item.name, icon="CHECKMARK" if item.status else "BLANK1")
        row.label(text=item.version or "-")
        row.label(text="Update available" if item.update else "")


class CorvaneHostPreferences(bpy.types.AddonPreferences):
    bl_idname = __name__

    addons: bpy.props.CollectionProperty(type=vesk.VESKAddonData)
    index: bpy.props.IntProperty(name="Selected add-on")

    def draw(self, context):
        layout = self.layout
        header = layout.row()
        header.label(text="Add-on")
        header.label(text="Version")
        header.label(text="Update")
        layout.template_list("CORVANE_UL_addons", "", self, "addons", self, "index", rows=3)
        buttons = layout.grid_flow(columns=4, even_columns=True, align=True)
        for key, label, icon, _ in ACTIONS:
            buttons.operator(CORVANE_OT_action.bl_idname, text=label, icon=icon).action = key
        if 0 <= self.index < len(self.addons):
            box = layout.box()
            box.label(text="Tips", icon="INFO")
            box.label(text=self.addons[self.index].tips or "-")


def _declare_record_fields():
    # The record's field declarations are texts naming corvane.vesk's globals.
    fields = vesk.VESKAddonData.__annotations__
    vesk.VESKAddonData.__annotations__ = {
        name: eval(declaration, vars(vesk)) if isinstance(declaration, str) else declaration
        for name, declaration in fields.items()}


_classes = (CORVANE_OT_action, CORVANE_UL_addons)


def register():
    _declare_record_fields()
    bpy.utils.register_class(vesk.VESKAddonData)
    for cls in _classes:
        bpy.utils.register_class(cls)
    bpy.utils.register_class(CorvaneHostPreferences)
    vesk.init(bpy.context.preferences.addons[__name__].preferences)


def unregister():
    vesk.unregister_all()
    bpy.utils.unregister_class(CorvaneHostPreferences)
    for cls in reversed(_classes):
        bpy.utils.unregister_class(cls)
    bpy.utils.unregister_class(vesk.VESKAddonData)
