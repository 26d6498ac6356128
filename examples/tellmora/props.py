"""What Tellmora keeps per scene."""

import bpy


class TELLMORA_PG_settings(bpy.types.PropertyGroup):
    include_hidden: bpy.props.BoolProperty(name="Include Hidden", default=True)
    last_message: bpy.props.StringProperty(name="Last Message")
    times_told: bpy.props.IntProperty(name="Times Told", default=0)


def register():
    bpy.types.Scene.tellmora = bpy.props.PointerProperty(type=TELLMORA_PG_settings)


def unregister():
    del bpy.types.Scene.tellmora
