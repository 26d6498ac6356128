"""The operator that tells about the scene."""

import bpy

from . import helper
from .props import TELLMORA_PG_settings


class TELLMORA_OT_tell(bpy.types.Operator):
    """Describe the objects of the current scene"""

    bl_idname = "tellmora.tell"
    bl_label = "Tell Me"
    bl_options = {"REGISTER"}

    # The operator's own copy of the settings, shown in its redo panel.
    options: bpy.props.PointerProperty(type=TELLMORA_PG_settings)

    def execute(self, context):
        settings = context.scene.tellmora
        objects = [o for o in context.scene.objects if settings.include_hidden or o.visible_get()]
        settings.last_message = helper.describe(helper.count_by_type(objects))
        settings.times_told += 1
        self.report({"INFO"}, settings.last_message)
        return {"FINISHED"}
