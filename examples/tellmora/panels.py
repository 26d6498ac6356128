"""The sidebar panels: the main one names no bl_idname, so Blender knows it by its class name."""

import bpy

from .ops import TELLMORA_OT_tell


class TELLMORA_PT_main(bpy.types.Panel):
    bl_label = "Tellmora"
    bl_space_type = "VIEW_3D"
    bl_region_type = "UI"
    bl_category = "Tellmora"

    def draw(self, context):
        self.layout.operator(TELLMORA_OT_tell.bl_idname)
        self.layout.prop(context.scene.tellmora, "include_hidden")


class TELLMORA_PT_details(bpy.types.Panel):
    bl_label = "Details"
    bl_parent_id = "TELLMORA_PT_main"
    bl_space_type = "VIEW_3D"
    bl_region_type = "UI"

    def draw(self, context):
        settings = context.scene.tellmora
        self.layout.label(text=settings.last_message or "Press Tell Me.")
        self.layout.label(text=f"Told {settings.times_told} times")
