"""The module frame: import, globals, the record and error types, one instance per process."""

import inspect

import addon_utils
import bpy
import pytest

import sys

import harness

BODY_ORDER = ["os", "gc", "bpy", "sys", "types", "typing", "inspect", "requests", "hashlib", "zipfile",
              "addon_utils", "threading", "StringProperty", "BoolProperty", "_vesk"]
FUNCTION_ORDER = ["init", "operator", "register", "unregister_all", "unregister", "get_addons_path",
                  "__import_module__", "__get_ordered_classes__", "update_package"]


def test_globals_are_bound_in_body_order(vesk):
    names = [n for n in vars(vesk) if not (n.startswith("__") and n.endswith("__") and n not in FUNCTION_ORDER)]
    functions = [n for n in names if n in FUNCTION_ORDER]
    assert functions == [n for n in FUNCTION_ORDER if n in functions]
    assert names == BODY_ORDER + functions + ["RegisterException", "VESKAddonData", "langs"]
    assert vesk.bpy is bpy and vesk.addon_utils is addon_utils
    assert vesk.StringProperty is bpy.props.StringProperty and vesk.BoolProperty is bpy.props.BoolProperty
    assert vesk._vesk is None
    assert vesk.__name__ == "corvane.vesk" and vesk.__package__ == "corvane"
    assert vesk.__file__ == vesk.__spec__.origin and vesk.__loader__ is vesk.__spec__.loader
    assert not hasattr(vesk, "__path__")


def test_module_functions_are_real_callables(vesk):
    for name in FUNCTION_ORDER:
        function = getattr(vesk, name, None)
        if function is None:
            continue
        assert function.__module__ == "corvane.vesk" and function.__name__ == name
        signature = inspect.signature(function)
        with pytest.raises(TypeError):
            function(*range(len(signature.parameters) + 1))


def test_translation_table_for_blender_4(vesk):
    assert list(vesk.langs) == ["zh_HANS"]
    table = vesk.langs["zh_HANS"]
    assert list(table) == [("Operator", "Check Update"), ("Operator", "Preferences"), ("*", "Tellmora"), ("*", "Tips")]
    assert table[("Operator", "Check Update")] == "检查更新"
    assert table[("Operator", "Preferences")] == "偏好设置"
    assert table[("*", "Tips")] == "提示"
    assert all(isinstance(k, tuple) and all(type(p) is str for p in k) for k in table)


@pytest.mark.parametrize("version, locale", [((3, 4, 1), "zh_CN"), ((2, 93, 0), "zh_CN"), ((4, 0, 0), "zh_HANS"),
                                             ((5, 0, 1), "zh_HANS")])
def test_locale_follows_blender_major_version(version, locale):
    run = harness.fresh_python(f"""
        import bpy
        bpy.app.version = {version!r}
        import corvane.vesk as v
        print(list(v.langs))
    """)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == repr([locale])


def test_record_type(vesk):
    record = vesk.VESKAddonData
    assert record.__bases__ == (bpy.types.PropertyGroup,)
    assert type(record) is type(bpy.types.PropertyGroup)
    assert ("VESKAddonData", (bpy.types.PropertyGroup,)) in bpy.types.prepared
    assert record.__module__ == "corvane.vesk" and record.__qualname__ == "VESKAddonData"
    assert set(record.__dict__) - {"__dict__", "__weakref__", "__doc__"} == {"__module__", "__annotations__"}
    assert list(record.__annotations__.items()) == [
        ("name", "StringProperty(name='Name')"),
        ("title", "StringProperty(name='Title')"),
        ("status", "BoolProperty(name='Install status')"),
        ("update", "BoolProperty(name='Update Available')"),
        ("version", "StringProperty(name='Version')"),
        ("data", "StringProperty(name='Data')"),
        ("tips", "StringProperty(name='Tips')"),
        ("code", "StringProperty(name='Compiled code')"),
    ]
    # Evaluated in the module's namespace, each text is a Blender property declaration.
    declared = {k: eval(v, vars(vesk)) for k, v in record.__annotations__.items()}
    assert declared["status"].function is bpy.props.BoolProperty
    assert declared["tips"].keywords == {"name": "Tips"}


def test_register_exception(vesk):
    error = vesk.RegisterException([1020, "md5", "Zip file has broken, please reinstall."])
    assert isinstance(error, Exception)
    assert error.args == (1020, "md5", "Zip file has broken, please reinstall.") and error.args[0] == 1020
    assert error.message == "Zip file has broken, please reinstall."
    assert str(error) == str((1020, "md5", "Zip file has broken, please reinstall."))
    assert vesk.RegisterException.__bases__ == (Exception,)
    assert vesk.RegisterException.__module__ == "corvane.vesk"
    assert {"__module__", "__init__"} <= set(vesk.RegisterException.__dict__)
    assert list(inspect.signature(vesk.RegisterException.__init__).parameters) == ["self", "args"]
    with pytest.raises(vesk.RegisterException) as raised:
        raise vesk.RegisterException((7, "tag", "text", "extra"))
    assert raised.value.message == "text" and raised.value.args == (7, "tag", "text", "extra")


def test_register_exception_argument_errors(vesk):
    with pytest.raises(IndexError):
        vesk.RegisterException([1, "short"])
    with pytest.raises(TypeError):
        vesk.RegisterException()
    with pytest.raises(TypeError):
        vesk.RegisterException([1, "a", "b"], "extra")


def test_import_again_after_removal_gives_the_same_module():
    run = harness.fresh_python("""
        import sys, importlib
        import corvane.vesk as first
        first._vesk = "kept"
        del sys.modules["corvane.vesk"]
        second = importlib.import_module("corvane.vesk")
        print(second is first, second._vesk, sys.modules["corvane.vesk"] is first)
    """)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["True", "kept", "True"]


def test_running_the_body_on_another_module_is_refused():
    run = harness.fresh_python("""
        import ctypes, types
        import corvane.vesk as v
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        definition = api.PyModule_GetDef(v)
        assert api.PyModule_ExecDef(v, definition) == 0
        try:
            api.PyModule_ExecDef(types.ModuleType("other"), definition)
        except RuntimeError as e:
            print(e)
    """)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "Module 'vesk' has already been imported. Re-initialisation is not supported."


def test_failed_body_is_forgotten_and_a_later_import_starts_afresh():
    run = harness.fresh_python("""
        import sys, traceback
        sys.modules["requests"] = None  # a dependency that cannot be imported
        try:
            import corvane.vesk
        except ImportError as e:
            entries = [f.name for f in traceback.extract_tb(e.__traceback__)]
            print("failed", "init corvane.vesk" in entries, "corvane.vesk" in sys.modules)
        del sys.modules["requests"]
        import corvane.vesk as v
        print("imported", list(v.langs), v._vesk)
    """)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["failed True False", "imported ['zh_HANS'] None"]


def test_import_outside_blender_fails_on_the_missing_module():
    run = harness.fresh_python("""
        import sys
        sys.modules["addon_utils"] = None  # as outside Blender
        try:
            import corvane.vesk
        except ImportError as e:
            print(e.name, "corvane.vesk" in sys.modules)
    """)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["addon_utils", "False"]


def test_exec_step_exception_keeps_type_and_gains_entry():
    run = harness.fresh_python("""
        import traceback, bpy
        class Refusing:
            def __getitem__(self, i):
                raise KeyError("no version")
        bpy.app.version = Refusing()
        try:
            import corvane.vesk
        except KeyError as e:
            entries = traceback.extract_tb(e.__traceback__)
            print(e.args[0], [(f.name, f.filename) for f in entries if f.name == "init corvane.vesk"])
            print(entries[-1].name)
            print(*[f.lineno for f in entries if f.name == "init corvane.vesk"])
    """)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[0] == "no version [('init corvane.vesk', 'src/vesk/frame.cpp')]"
    assert lines[1] == "__getitem__"  # the original traceback stays below the module's entry
    # The entry's line is where the unit met the error: the version's first item.
    source = (harness.REPO / "src/vesk/frame.cpp").read_text().splitlines()
    assert "item(version" in source[int(lines[2]) - 1]


def test_another_interpreter_is_refused():
    # A subinterpreter sharing the main one's state (the kind an embedding application
    # makes) meets the module's own refusal; from 3.12 an isolated one is refused by the
    # interpreter itself before the module is asked.
    run = harness.fresh_python("""
        import corvane.vesk
        try:
            import _interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
            try:
                interpreters.run_string(interpreters.create(), "import corvane.vesk")
            except interpreters.RunFailedError as e:
                print("legacy", e)
        else:
            for kind in ("legacy", "isolated"):
                failure = _interpreters.run_string(_interpreters.create(kind), "import corvane.vesk")
                print(kind, failure.type.__name__ + ":", failure.msg)
    """)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[0].startswith("legacy") and lines[0].endswith(
        "ImportError'>: Interpreter change detected - this module can only be loaded into one interpreter per process."
        if sys.version_info < (3, 13) else
        "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process.")
    if sys.version_info >= (3, 13):
        assert lines[1].startswith("isolated ImportError:")
