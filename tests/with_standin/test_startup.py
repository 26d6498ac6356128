"""init, unregister_all and get_addons_path against the stand-in."""

import os
import sys
import threading
import types

import bpy
import pytest


@pytest.fixture
def prefs(vesk):
    return bpy.types.host_preferences(vesk.VESKAddonData)


@pytest.fixture
def threads(vesk, monkeypatch):
    """Replaces the module's `threading` with one that records the threads started."""
    started = []

    class Thread:
        def __init__(self, **keywords):
            self.keywords = keywords

        def start(self):
            started.append(self.keywords)

    monkeypatch.setattr(vesk, "threading", types.SimpleNamespace(Thread=Thread))
    return started


def test_init_registers_translations_and_adds_the_missing_record(vesk, prefs, threads):
    assert vesk.init(prefs) is None
    assert bpy.app.translations.calls == [("register", "corvane.vesk")]
    assert bpy.app.translations.tables["corvane.vesk"] is vesk.langs
    assert vesk._vesk is prefs and prefs.installed == {}
    assert [(r.name, r.title, r.status) for r in prefs.addons] == [("tellmora", "Tellmora", False)]
    assert threads == []


def test_init_starts_one_register_thread_per_installed_record(vesk, prefs, threads, monkeypatch):
    other = prefs.addons.add()
    other.name, other.status = "other", True
    known = prefs.addons.add()
    known.name, known.title, known.status = "tellmora", "Kept title", True
    monkeypatch.setattr(vesk, "register", lambda addon: None, raising=False)
    vesk.init(prefs)
    assert [r.name for r in prefs.addons] == ["other", "tellmora"] and known.title == "Kept title"
    assert [t["args"] for t in threads] == [(vesk.register, other), (vesk.register, known)]


def test_init_threads_run_the_register_found_at_start(vesk, prefs, monkeypatch):
    record = prefs.addons.add()
    record.name, record.status = "tellmora", True
    ran = []
    done = threading.Event()

    def register(addon, action=None):
        thread = threading.current_thread()
        ran.append((thread is not threading.main_thread(), thread.daemon, addon, action))
        done.set()

    monkeypatch.setattr(vesk, "register", register, raising=False)
    vesk.init(prefs)
    assert done.wait(10)
    assert ran == [(True, True, record, None)]  # a daemon: it must not hold Blender's exit


@pytest.mark.parametrize("finalizing", [False, True], ids=["running", "finalizing"])
def test_a_failing_start_up_registration_never_writes_through_a_buffered_stream(vesk, prefs, monkeypatch, capfd,
                                                                                finalizing):
    # Blender exiting freezes the daemon thread where it stands: inside a buffered stream's
    # write it would hold the lock that the exit's flush waits on, and Blender aborts.
    record = prefs.addons.add()
    record.name, record.status = "tellmora", True
    buffered = types.SimpleNamespace(fileno=lambda: 2, encoding="utf-8", write=lambda text: pytest.fail(text))
    monkeypatch.setattr(vesk, "sys", types.SimpleNamespace(is_finalizing=lambda: finalizing, stderr=buffered))
    monkeypatch.setattr(vesk, "register", lambda addon: ({}["no server"]), raising=False)
    before = set(threading.enumerate())
    vesk.init(prefs)
    for thread in set(threading.enumerate()) - before:
        thread.join(10)
    report = capfd.readouterr().err
    if finalizing:
        assert report == ""
    else:
        assert report.startswith("Exception in thread ") and report.endswith("KeyError: 'no server'\n")


def test_second_init_refused_by_blender_changes_nothing(vesk, prefs, threads):
    vesk.init(prefs)
    prefs.installed["tellmora"] = {"unregister": [], "ordered_classes": []}
    other = bpy.types.host_preferences(vesk.VESKAddonData)
    with pytest.raises(ValueError, match="already registered"):
        vesk.init(other)
    assert vesk._vesk is prefs and "tellmora" in prefs.installed and len(other.addons) == 0


def test_init_accepted_again_replaces_installed(vesk, prefs, threads):
    vesk.init(prefs)
    first = prefs.installed
    bpy.app.translations.tables.clear()
    vesk.init(prefs)
    assert prefs.installed == {} and prefs.installed is not first and len(prefs.addons) == 1


def test_init_steps_before_a_failure_stay_done(vesk):
    prefs = types.SimpleNamespace()  # no `addons`
    with pytest.raises(AttributeError, match="addons"):
        vesk.init(prefs)
    assert vesk._vesk is prefs and prefs.installed == {}
    assert "corvane.vesk" in bpy.app.translations.tables


def test_unregister_all_saves_then_unregisters_then_removes_translations(vesk, prefs, threads, monkeypatch):
    vesk.init(prefs)
    order = []
    monkeypatch.setattr(bpy.ops.wm, "save_userpref", lambda: order.append("save") or {"FINISHED"})
    monkeypatch.setattr(vesk, "unregister", lambda name: order.append(name) or "ignored", raising=False)
    prefs.installed.update(a={}, b={})
    assert vesk.unregister_all() is None
    assert order == ["save", "a", "b"]
    assert bpy.app.translations.calls[-1] == ("unregister", "corvane.vesk")
    assert vesk._vesk is prefs and list(prefs.installed) == ["a", "b"]


def test_unregister_all_survives_a_registration_finishing_meanwhile(vesk, prefs, threads, monkeypatch):
    vesk.init(prefs)
    prefs.installed.update(a={}, b={}, c={})
    seen = []

    def unregister(name):
        seen.append(name)
        prefs.installed[f"late-{name}"] = {}  # another thread's register completing

    monkeypatch.setattr(vesk, "unregister", unregister, raising=False)
    vesk.unregister_all()
    assert seen == ["a", "b", "c"]
    assert "corvane.vesk" not in bpy.app.translations.tables


def test_unregister_all_failures(vesk, prefs, threads, monkeypatch):
    with pytest.raises(AttributeError):  # before init
        vesk.unregister_all()
    assert [c[0] for c in bpy.ops.calls] == ["wm.save_userpref"]

    vesk.init(prefs)
    prefs.installed["a"] = {}
    bpy.ops.fail_on["wm.save_userpref"] = RuntimeError("cannot save")
    monkeypatch.setattr(vesk, "unregister", lambda name: pytest.fail("unregistered after a failed save"),
                        raising=False)
    with pytest.raises(RuntimeError, match="cannot save"):
        vesk.unregister_all()
    assert "corvane.vesk" in bpy.app.translations.tables


@pytest.fixture
def search_path(monkeypatch):
    monkeypatch.setattr(sys, "path", list(sys.path))
    return sys.path


def test_get_addons_path_creates_both_folders_and_puts_addons_on_sys_path(vesk, tmp_path, search_path):
    expected = str(tmp_path / "scripts") + os.sep + "addons"
    assert vesk.get_addons_path() == expected
    assert os.path.isdir(expected) and search_path[-1] == expected
    assert vesk.get_addons_path() == expected and search_path.count(expected) == 1


def test_get_addons_path_keeps_existing_folders_and_joins_without_normalising(vesk, tmp_path, search_path):
    (tmp_path / "scripts" / "addons" / "kept").mkdir(parents=True)
    bpy.utils.scripts_path = str(tmp_path / "scripts") + os.sep
    path = vesk.get_addons_path()
    assert path == str(tmp_path / "scripts") + os.sep + os.sep + "addons"
    assert (tmp_path / "scripts" / "addons" / "kept").is_dir() and search_path[-1] == path


def test_get_addons_path_makes_a_missing_user_folder_too(vesk, tmp_path, search_path):
    # A user who never saved preferences has no Blender user folder above the scripts folder.
    bpy.utils.scripts_path = str(tmp_path / "config" / "blender" / "4.5" / "scripts")
    expected = bpy.utils.scripts_path + os.sep + "addons"
    assert vesk.get_addons_path() == expected and os.path.isdir(expected) and expected in search_path

    bpy.utils.scripts_path = str(tmp_path / "file" / "scripts")
    (tmp_path / "file").write_text("not a folder")
    with pytest.raises(NotADirectoryError):
        vesk.get_addons_path()


@pytest.mark.parametrize("keywords, error", [
    ({"addons": "tellmora"}, TypeError),
    ({"addons": ("tellmora", 7)}, TypeError),
    ({"addons": ("tellmora", "my-addon")}, ValueError),
    ({"addons": 7}, TypeError),
    ({"service_url": "ftp://example.invalid"}, ValueError),
    ({"service_url": "example.invalid"}, ValueError),
    ({"service_url": b"http://example.invalid"}, TypeError),
])
def test_init_refuses_bad_addons_and_addresses_before_changing_anything(vesk, prefs, keywords, error):
    with pytest.raises(error, match="addons|add-on name|service_url"):
        vesk.init(prefs, **keywords)
    assert vesk._vesk is None and bpy.app.translations.calls == [] and len(prefs.addons) == 0


def test_a_host_names_its_addons_and_server(vesk, prefs, tmp_path, monkeypatch):
    import addon_package

    dist = tmp_path / "dist"
    addon_package.publish_source(tmp_path / "source", dist, {"a.py": "VALUE = 1\n"}, "1.0.0")
    addon_package.publish_source(tmp_path / "source", dist, {
        "__init__.py": 'bl_info = {"name": "Gadget", "blender": (2, 83, 0)}\n', "b.py": "VALUE = 2\n"},
        "2.1.0", "other_tool")
    monkeypatch.delenv("VESK_SERVICE_URL", raising=False)
    with addon_package.serve(dist) as server:
        vesk.init(prefs, addons=["tellmora", "other_tool", "tellmora"], service_url=server.url + "/")
        assert [(r.name, r.title) for r in prefs.addons] == [("tellmora", "Tellmora"), ("other_tool", "Other Tool")]
        for index in range(2):
            prefs.index = index
            vesk.operator("install")
        requests = server.requests
    # Installed, a record shows the add-on's own bl_info name.
    assert [(r.status, r.version, r.tips, r.title) for r in prefs.addons] == [
        (True, "1.0.0", "INSTALLED", "Tellmora"), (True, "2.1.0", "INSTALLED", "Gadget")]
    assert list(prefs.installed) == ["tellmora", "other_tool"] and "/other_tool/index.json" in requests
    vesk.unregister_all()
    # Positional init keeps the built-in list.
    vesk.init(bpy.types.host_preferences(vesk.VESKAddonData))
    assert [r.name for r in vesk._vesk.addons] == ["tellmora"] and vesk._vesk.service_url is None
