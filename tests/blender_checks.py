"""Checks that run inside a real Blender, either one: the package index's bpy
in-process or Debian's Blender executable (imported there by the test script)."""

import os
from pathlib import Path

HOST_NAME = "corvane_test_host"

# A minimal host add-on: its preferences hold the records, as a maker's host does.
HOST_SOURCE = '''
bl_info = {"name": "corvane test host", "blender": (3, 0, 0), "category": "System"}
import bpy
from corvane import vesk


class HostPreferences(bpy.types.AddonPreferences):
    bl_idname = __name__
    addons: bpy.props.CollectionProperty(type=vesk.VESKAddonData)
    index: bpy.props.IntProperty()


def register():
    # The record's field declarations are text naming the module's globals.
    hints = vesk.VESKAddonData.__annotations__
    vesk.VESKAddonData.__annotations__ = {k: eval(v, vars(vesk)) if isinstance(v, str) else v
                                          for k, v in hints.items()}
    bpy.utils.register_class(vesk.VESKAddonData)
    bpy.utils.register_class(HostPreferences)


def unregister():
    bpy.utils.unregister_class(HostPreferences)
    bpy.utils.unregister_class(vesk.VESKAddonData)
'''


def install_host(scripts_dir):
    folder = Path(scripts_dir) / "addons" / HOST_NAME
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "__init__.py").write_text(HOST_SOURCE)


def enable_host():
    import addon_utils
    import bpy

    # The add-ons folder was made after start-up: let Blender put it on sys.path.
    bpy.utils.refresh_script_paths()
    addon_utils.modules_refresh()
    module = addon_utils.enable(HOST_NAME, default_set=True)
    assert module is not None, "the test host add-on did not enable"
    return bpy.context.preferences.addons[HOST_NAME].preferences


def frame_facts():
    """What the module frame shows in this Blender, as plain values."""
    import bpy
    import corvane.vesk as vesk

    annotations = dict(vesk.VESKAddonData.__annotations__)
    prefs = enable_host()
    record = prefs.addons.add()
    facts = {
        "blender": list(bpy.app.version),
        "langs_keys": list(vesk.langs),
        "langs_rows": [[list(k), v] for k, v in next(iter(vesk.langs.values())).items()],
        "vesk_is_none": vesk._vesk is None,
        "props_are_blenders": vesk.StringProperty is bpy.props.StringProperty
        and vesk.BoolProperty is bpy.props.BoolProperty,
        "record_is_property_group": issubclass(vesk.VESKAddonData, bpy.types.PropertyGroup),
        "record_metaclass_is_blenders": type(vesk.VESKAddonData) is type(bpy.types.PropertyGroup),
        "annotation_texts": list(annotations.values()),
        "new_record": {f: getattr(record, f) for f in ("name", "title", "status", "update", "version", "data", "tips")},
        "records": len(prefs.addons),
        "index": prefs.index,
    }
    bpy.app.translations.register(vesk.__name__, vesk.langs)
    bpy.app.translations.unregister(vesk.__name__)
    facts["translations_accepted"] = True
    return facts


EXPECTED_ANNOTATIONS = [
    "StringProperty(name='Name')", "StringProperty(name='Title')", "BoolProperty(name='Install status')",
    "BoolProperty(name='Update Available')", "StringProperty(name='Version')", "StringProperty(name='Data')",
    "StringProperty(name='Tips')",
]


def assert_frame_facts(facts, locale):
    assert facts["langs_keys"] == [locale]
    assert [row[0] for row in facts["langs_rows"]] == [
        ["Operator", "Check Update"], ["Operator", "Preferences"], ["*", "Tellmora"], ["*", "Tips"]]
    assert facts["langs_rows"][0][1] == "检查更新" and facts["langs_rows"][3][1] == "提示"
    assert facts["vesk_is_none"] and facts["props_are_blenders"]
    assert facts["record_is_property_group"] and facts["record_metaclass_is_blenders"]
    assert facts["annotation_texts"] == EXPECTED_ANNOTATIONS
    assert facts["new_record"] == {"name": "", "title": "", "status": False, "update": False,
                                   "version": "", "data": "", "tips": ""}
    assert facts["records"] == 1 and facts["index"] == 0
    assert facts["translations_accepted"]


def user_scripts():
    return os.environ["BLENDER_USER_SCRIPTS"]
