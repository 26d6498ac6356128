"""Generated add-ons for the install and start-up benchmark: a flat folder of modules
as a maker writes them, published by corvane.publish.

Every module holds what a real add-on module holds: two property groups (one a
collection item), an operator with its own properties, a panel under the add-on's
root panel, helper functions and constants, and register/unregister hooks that hang
its settings on the scene. Module part_0000 holds the root property group and panel
that every other module points at, so the classes depend on each other across
modules. `class_order` gives a registration order that respects those dependencies,
which the floor uses instead of working one out.
"""

import os
from pathlib import Path

NAME = "tellmora"  # the add-on the manager looks after

BL_INFO = dict(name="Tellmora", author="corvane benchmark", version=(1, 0, 0), blender=(3, 4, 0),
               location="View3D > Sidebar > Tellmora", description="Generated add-on", category="3D View")

INIT_SOURCE = f'''"""Tellmora (generated for the benchmark)."""

bl_info = {BL_INFO!r}


def register():
    pass


def unregister():
    pass
'''

AUTO_LOAD_SOURCE = '''"""Start-up helper written to disk beside __init__.py."""

modules = []


def init():
    modules.clear()
'''

MODULE_SOURCE = '''"""Part {tag} of the generated add-on: its settings, an operator and a panel."""

import math

import bpy
from bpy.props import (
    BoolProperty,
    CollectionProperty,
    EnumProperty,
    FloatProperty,
    IntProperty,
    PointerProperty,
    StringProperty,
)
{import_root}
MODES_{tag} = [
    ("COUNT", "Count", "Count the selected objects"),
    ("MEASURE", "Measure", "Measure the selected objects"),
    ("DESCRIBE", "Describe", "Describe the selected objects"),
]
SCALE_{tag} = {index} * 0.25 + 1.0
LIMITS_{tag} = {{"low": 0.0, "high": 100.0 + {index}, "step": 0.5}}


class TELLMORA_PG_item_{tag}(bpy.types.PropertyGroup):
    label: StringProperty(name="Label", default="item {tag}")
    weight: FloatProperty(name="Weight", default=1.0, min=0.0, max=10.0)
    visible: BoolProperty(name="Visible", default=True)


class TELLMORA_PG_part_{tag}(bpy.types.PropertyGroup):
    enabled: BoolProperty(name="Enabled", default=True)
    count: IntProperty(name="Count", default={index}, min=0, max=100000)
    factor: FloatProperty(name="Factor", default=SCALE_{tag}, soft_min=0.0, soft_max=10.0)
    caption: StringProperty(name="Caption", default="Part {tag}")
    mode: EnumProperty(name="Mode", items=MODES_{tag}, default="COUNT")
    items: CollectionProperty(type=TELLMORA_PG_item_{tag})
    active_item: IntProperty(name="Active Item", default=0){root_pointer}


class TELLMORA_OT_part_{tag}(bpy.types.Operator):
    """Run part {tag} on the selected objects"""

    bl_idname = "tellmora.part_{tag}"
    bl_label = "Tellmora Part {tag}"
    bl_options = {{"REGISTER", "UNDO"}}

    amount: FloatProperty(name="Amount", default=1.0, min=LIMITS_{tag}["low"], max=LIMITS_{tag}["high"])
    repeat: IntProperty(name="Repeat", default=1, min=1, max=16)

    @classmethod
    def poll(cls, context):
        return context.scene is not None

    def execute(self, context):
        settings = getattr(context.scene, "tellmora_part_{tag}", None)
        total = measure_{tag}(context.selected_objects or [], self.amount) * self.repeat
        if settings is not None:
            settings.count = int(total) % 100000
        self.report({{"INFO"}}, describe_{tag}(total))
        return {{"FINISHED"}}


class TELLMORA_PT_part_{tag}(bpy.types.Panel):
    bl_label = "Part {tag}"
    bl_idname = "TELLMORA_PT_part_{tag}"
    bl_space_type = "VIEW_3D"
    bl_region_type = "UI"
    bl_category = "Tellmora"{parent}

    def draw(self, context):
        layout = self.layout
        settings = getattr(context.scene, "tellmora_part_{tag}", None)
        if settings is None:
            layout.label(text="Not registered")
            return
        row = layout.row(align=True)
        row.prop(settings, "enabled")
        row.prop(settings, "mode", text="")
        layout.prop(settings, "factor")
        layout.operator(TELLMORA_OT_part_{tag}.bl_idname)


def measure_{tag}(objects, amount):
    total = 0.0
    for obj in objects:
        size = getattr(obj, "dimensions", None)
        if size is not None:
            total += math.sqrt(sum(v * v for v in size)) * amount * SCALE_{tag}
    return min(total, LIMITS_{tag}["high"])


def describe_{tag}(total):
    if total <= LIMITS_{tag}["low"]:
        return "Part {tag}: nothing to measure"
    return "Part {tag}: %.2f" % total


def register():
    bpy.types.Scene.tellmora_part_{tag} = PointerProperty(type=TELLMORA_PG_part_{tag})


def unregister():
    del bpy.types.Scene.tellmora_part_{tag}
'''


def module_name(index):
    return f"part_{index:04d}"


def module_source(index):
    root = index > 0
    return MODULE_SOURCE.format(
        index=index,
        tag=f"{index:04d}",
        import_root="from .part_0000 import TELLMORA_PG_part_0000\n" if root else "",
        root_pointer="\n    root: PointerProperty(type=TELLMORA_PG_part_0000)" if root else "",
        parent='\n    bl_parent_id = "TELLMORA_PT_part_0000"' if root else "",
    )


def class_order(size):
    """(module name, class name) in an order that registers every class after the ones it needs."""
    order = []
    for index in range(size):
        tag = f"{index:04d}"
        order += [(f"{NAME}.{module_name(index)}", f"TELLMORA_{kind}_{tag}")
                  for kind in ("PG_item", "PG_part", "OT_part", "PT_part")]
    return order


def write_source(folder, size, extra_megabytes=0):
    """The add-on's source folder: __init__, auto_load, `size` modules and optionally a
    file of `extra_megabytes` random (incompressible) bytes."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "__init__.py").write_text(INIT_SOURCE)
    (folder / "auto_load.py").write_text(AUTO_LOAD_SOURCE)
    for index in range(size):
        (folder / f"{module_name(index)}.py").write_text(module_source(index))
    if extra_megabytes:
        (folder / "assets").mkdir(exist_ok=True)
        with open(folder / "assets" / "library.bin", "wb") as out:
            for _ in range(extra_megabytes):
                out.write(os.urandom(1 << 20))
    return folder


def publish(work, case, size, extra_megabytes=0):
    """Publishes the generated add-on into work/case/dist; returns the publisher's description."""
    from corvane.publish import publish as publish_release

    source = write_source(Path(work) / case / "source" / NAME, size, extra_megabytes)
    return publish_release(str(source), "1.0.0", str(Path(work) / case / "dist"), NAME)
