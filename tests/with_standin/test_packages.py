"""__import_module__: the package fetched from a real HTTP server on loopback, and
loaded from the record's cache, with faults injected through the stand-in."""

import importlib.util
import json
import os
import socket
import sys
import traceback
import types
import zipfile

import bpy
import pytest
import requests

import harness
from addon_package import (AUTO_LOAD_SOURCE, INIT_SOURCE, NAME, archive, bundle_text, package_archive,
                            publish_source, serve, standard_records, write_package)

MODULES = [
    ("a", "VALUE = 1\n"),
    ("b", "from . import a\nVALUE = a.VALUE + 1\n"),
    ("c", "raise ValueError('c is broken')\n"),
    ("d", "NAME = __name__\nTEXT = '\u00e9\u6f22\x0b'  # \x0b single vertical tabs stay\n"),
]
SOURCES = {f"{module}.py": source for module, source in MODULES}
INIT_WITH_TEXT = INIT_SOURCE + "TITLE = 'T\u00e9llmora \u6f22'\n"


@pytest.fixture
def dist(tmp_path):
    (tmp_path / "dist").mkdir()
    return tmp_path / "dist"


@pytest.fixture
def server(dist):
    """corvane.serve on a free loopback port, serving `dist`."""
    server = serve(dist)
    yield server
    server.shutdown()


def published_bundle(release):
    with zipfile.ZipFile(release["archive"]) as zf:
        return zf.read(f"{NAME}.data").decode()


@pytest.fixture
def record(vesk, monkeypatch):
    """The add-on's record in a host's preferences; sys.path and sys.modules restored afterwards."""
    prefs = bpy.types.host_preferences(vesk.VESKAddonData, [{"name": NAME}])
    vesk._vesk = prefs
    monkeypatch.setattr(sys, "path", list(sys.path))
    before = set(sys.modules)
    monkeypatch.setattr(sys, "meta_path", list(sys.meta_path))
    yield prefs.addons[NAME]
    for name in set(sys.modules) - before:
        del sys.modules[name]


@pytest.fixture
def home(tmp_path):
    return tmp_path / "scripts" / "addons" / NAME


def names(modules):
    return [m.__name__ for m in modules]


def test_download_then_cache_then_waiting_data_file(vesk, record, home, dist, server, tmp_path, capsys):
    release = publish_source(tmp_path / "source", dist, {**SOURCES, "__init__.py": INIT_WITH_TEXT,
                                                         "icons/logo.txt": "logo"}, "1.10.0")
    bundle = published_bundle(release)

    modules = vesk.__import_module__(NAME, server.url)
    assert names(modules) == ["tellmora.a", "tellmora.b", "tellmora.d"]
    assert server.requests == ["/tellmora/index.json", f"/tellmora/{release['md5']}.zip"]
    assert modules[1].VALUE == 2  # the relative import found the on-disk package and the earlier sibling
    assert modules[2].TEXT == "\u00e9\u6f22\x0b"
    assert capsys.readouterr().out == "c is broken\n"
    assert "tellmora.c" in sys.modules and "tellmora.auto_load" not in sys.modules
    assert all(m.__package__ == NAME and m.__file__ == f"{home}/{NAME}" for m in modules)
    assert sys.modules["tellmora.b"] is modules[1]
    assert sorted(set(os.listdir(home)) - {"__pycache__"}) == ["__init__.py", "auto_load.py", "icons"]
    assert (home / "__init__.py").read_bytes() == INIT_WITH_TEXT.encode()
    assert (home / "auto_load.py").read_text() == AUTO_LOAD_SOURCE
    assert (home / "icons" / "logo.txt").read_text() == "logo"
    assert record.data == bundle and record.version == "1.10.0"

    again = vesk.__import_module__(NAME, server.url)  # the cached bundle: no request
    assert names(again) == names(modules) and again[0] is not modules[0]
    assert len(server.requests) == 2

    (home / "__init__.py").write_text("overwritten")
    newer = bundle_text(standard_records(("a", "VALUE = 5\n")))
    (home / f"{NAME}.data").write_text(newer)
    loaded = vesk.__import_module__(NAME, server.url)
    assert [m.VALUE for m in loaded] == [5] and record.data == newer
    assert not (home / f"{NAME}.data").exists() and len(server.requests) == 2
    assert (home / "__init__.py").read_text() == INIT_SOURCE


@pytest.mark.parametrize("fault", ["body differs", "upper-case md5"])
def test_corrupt_archive(vesk, record, home, dist, server, tmp_path, fault):
    release = publish_source(tmp_path / "source", dist, SOURCES, "2.0")
    if fault == "body differs":
        with open(release["archive"], "r+b") as f:
            f.truncate(release["size"] - 1)
    else:
        index = json.loads((dist / NAME / "index.json").read_text())
        index[0]["md5"] = index[0]["md5"].upper()
        (dist / NAME / "index.json").write_text(json.dumps(index))
    record.version = "1.0"
    with pytest.raises(vesk.RegisterException) as raised:
        vesk.__import_module__(NAME, server.url)
    assert raised.value.args == (1020, "md5", "Zip file has broken, please reinstall.")
    assert raised.value.message == "Zip file has broken, please reinstall."
    entries = [e.name for e in traceback.extract_tb(raised.value.__traceback__)]
    assert entries[-3:] == ["__import_module__", "fetch_data", "download"]
    assert os.listdir(home) == [] and record.version == "2.0" and record.data == ""
    assert len(server.requests) == 2


@pytest.mark.parametrize("index, error", [
    # requests before 2.27 (Debian 11's) raises the JSON decoder's own error, a ValueError.
    (None, getattr(requests.exceptions, "JSONDecodeError", ValueError)),
    ([], IndexError),
    ([{"version": [1]}], KeyError),
    ([{"md5": "0" * 32}], KeyError),
    ([{"version": [1], "md5": None}], TypeError),  # the archive's address is text joined to the digest
])
def test_index_failures(vesk, record, home, dist, server, index, error):
    (dist / NAME).mkdir()
    (dist / NAME / "index.json").write_text("<html>not json</html>" if index is None else json.dumps(index))
    record.version = "1.0"
    with pytest.raises(error):
        vesk.__import_module__(NAME, server.url)
    assert os.listdir(home) == [] and server.requests == [f"/{NAME}/index.json"]
    assert record.version == ("1" if index and "version" in index[0] else "1.0")


def test_archive_failures(vesk, record, home, dist, server):
    write_package(dist, b"not a zip archive")
    with pytest.raises(zipfile.BadZipFile):
        vesk.__import_module__(NAME, server.url)
    assert os.listdir(home) == [f"{NAME}.zip"]

    write_package(dist, archive({"readme.txt": "no data file"}))
    with pytest.raises(FileNotFoundError):
        vesk.__import_module__(NAME, server.url)
    assert os.listdir(home) == ["readme.txt"]


def test_torn_data_member_leaves_no_data_file(vesk, record, home, dist, server):
    bundle = bundle_text(standard_records(*MODULES)).encode()
    buffer = bytearray(archive({"readme.txt": "x", f"{NAME}.data": bundle}))
    # Stored uncompressed: flipping a byte of the data member breaks its CRC, not the archive.
    buffer[:] = _stored(buffer)
    at = bytes(buffer).index(b"VALUE = 1")
    buffer[at] ^= 0x20
    write_package(dist, bytes(buffer))
    with pytest.raises(zipfile.BadZipFile, match="CRC"):
        vesk.__import_module__(NAME, server.url)
    assert sorted(os.listdir(home)) == ["readme.txt", f"{NAME}.zip"]

    write_package(dist, package_archive(bundle))
    assert names(vesk.__import_module__(NAME, server.url)) == ["tellmora.a", "tellmora.b", "tellmora.d"]


def _stored(zip_bytes):
    """The same archive with every member stored uncompressed."""
    import io

    source = zipfile.ZipFile(io.BytesIO(bytes(zip_bytes)))
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as zf:
        for info in source.infolist():
            zf.writestr(zipfile.ZipInfo(info.filename, info.date_time), source.read(info))
    return out.getvalue()


def test_members_never_land_outside_the_addon_folder(vesk, record, home, dist, server, tmp_path):
    bundle = bundle_text(standard_records(("a", "VALUE = 1\n")))
    write_package(dist, archive({
        "../escape.txt": "x", "/absolute.txt": "x", "sub/../../escape2.txt": "x", "../../../../../../tmp/e3": "x",
        f"./{NAME}.data": bundle,
    }))
    assert names(vesk.__import_module__(NAME, server.url)) == ["tellmora.a"]
    written = sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*") if p.is_file() and dist not in p.parents)
    inside = f"scripts/addons/{NAME}/"
    assert written == [inside + f for f in ["__init__.py", "absolute.txt", "auto_load.py", "escape.txt",
                                            "sub/escape2.txt", "tmp/e3"]]
    assert record.data == bundle


def test_bundle_forms_from_the_cache(vesk, record, home, capsys):
    source = "X = 'a\x0bb'  # é \u6f22\x0b\nY = '\u00e9\u6f22'\n"
    record.data = bundle_text([
        ("__init__", "T = '\u00e9\u6f22 /x00'\n"),
        ("a", source),
        ("a", "X = 'second'\n"),
        ("auto_load", "# single \x0b vertical tab kept\n"),
    ]) + "\x0b\x0bother.mod\x0bZ = __package__\n\x0b\x0b \t\n"
    modules = vesk.__import_module__(NAME, "http://127.0.0.1:9")  # nothing listens: the cache is used
    assert names(modules) == ["tellmora.a", "tellmora.a", "other.mod"]
    assert modules[0].X == "a\x0bb" and modules[0].Y == "\u00e9\u6f22"
    assert sys.modules["tellmora.a"] is modules[1] and modules[2].Z == NAME
    assert (home / "__init__.py").read_bytes() == "T = '\u00e9\u6f22 \0'\n".encode()
    assert (home / "auto_load.py").read_bytes() == b"# single \x0b vertical tab kept\n"
    assert capsys.readouterr().out == ""

    record.data = bundle_text([("__init__", "x"), ("auto_load", "y")]) + "\x0b\x0b"
    assert vesk.__import_module__(NAME, "http://127.0.0.1:9") == []


PACKAGE_FORM = [
    ("__form__", '"package"\n'),
    ("__init__", 'bl_info = {"name": "Tellmora", "blender": (2, 83, 0)}\nfrom . import ops\n'
                 "def register():\n    ops.register()\n"),
    ("ops", "from __future__ import annotations\nfrom . import util  # a cycle plain Python allows\n"
            "def register():\n    global LATE\n    from .deep.inner import leaf\n    LATE = leaf.where()\n"),
    ("util", "from . import ops\nimport importlib\n"
             "def fail():\n    raise RuntimeError('from memory')\n"),
    ("deep.__init__", "\n"),
    ("deep.inner.__init__", "\n"),
    ("deep.inner.leaf", "import os\ndef where():\n    return os.path.dirname(__file__)\n"),
]


def test_package_form_is_served_by_a_finder_until_unregistered(vesk, record, home, monkeypatch):
    record.data = bundle_text(PACKAGE_FORM)
    assert vesk.__import_module__(NAME, "http://127.0.0.1:9") == []  # Blender imports it when it enables it
    stub = (home / "__init__.py").read_text()
    assert 'bl_info = {"name": "Tellmora", "blender": (2, 83, 0)}\n' in stub and "ops" not in stub
    stamp = (home / "__init__.py").stat().st_mtime_ns
    addon = __import__(NAME)
    addon.register()
    assert addon.__file__ == str(home / "__init__.py") and addon.ops.util.ops is addon.ops
    assert addon.ops.LATE == str(home / "deep" / "inner")
    assert sys.modules[f"{NAME}.deep.inner"].__path__ == [str(home / "deep" / "inner")]
    with pytest.raises(RuntimeError) as raised:
        addon.ops.util.fail()
    assert "raise RuntimeError('from memory')" in "".join(traceback.format_tb(raised.tb))
    # The modules' names stand on disk for add-ons that list their folder, their code does not.
    assert {str(p.relative_to(home)): p.read_text() for p in home.rglob("*.py") if p.parent != home or
            p.name != "__init__.py"} == {name: "# Served from memory by corvane.\n" for name in
                                         ["ops.py", "util.py", "deep/__init__.py", "deep/inner/__init__.py",
                                          "deep/inner/leaf.py"]}

    # What was compiled is kept with the record at shut-down; the next start runs it
    # uncompiled, the stub on disk left as it is.
    vesk._vesk.installed = {}
    vesk.unregister_all()
    assert record.code.startswith(importlib.util.MAGIC_NUMBER.hex()) and record.data
    for name in [n for n in sys.modules if n.startswith(NAME)]:
        del sys.modules[name]
    sys.meta_path[:] = [f for f in sys.meta_path if type(f).__name__ != "BundleFinder"]  # as in a new process
    vesk.__import_module__(NAME, "http://127.0.0.1:9")
    with monkeypatch.context() as patch:
        patch.setattr(vesk, "compile", None, raising=False)
        assert __import__(f"{NAME}.deep.inner.leaf").deep.inner.leaf.where() == str(home / "deep" / "inner")
    assert (home / "__init__.py").stat().st_mtime_ns == stamp
    vesk.unregister(NAME)
    assert not any(name == NAME or name.startswith(NAME + ".") for name in sys.modules)
    assert not any(type(finder).__name__ == "BundleFinder" for finder in sys.meta_path)


def test_nul_in_the_data_file_is_kept_escaped_in_the_record(vesk, record, home):
    home.mkdir(parents=True)
    (home / f"{NAME}.data").write_bytes(bundle_text([("__init__", "N = '\0'\n")]).encode())
    assert vesk.__import_module__(NAME, "http://127.0.0.1:9") == []
    assert record.data == bundle_text([("__init__", "N = '/x00'\n")])
    assert (home / "__init__.py").read_bytes() == b"N = '\0'\n"


@pytest.mark.parametrize("bad, error", [
    ("tellmora.no_separator", ValueError),
    ("tellmora.syntax\x0bdef (:\n", SyntaxError),
    ("tellmora.exits\x0braise SystemExit(3)\n", SystemExit),
])
def test_bundle_errors_propagate_and_earlier_modules_stay(vesk, record, bad, error):
    record.data = bundle_text([("a", "VALUE = 1\n")]) + "\x0b\x0b" + bad
    with pytest.raises(error):
        vesk.__import_module__(NAME, "http://127.0.0.1:9")
    assert sys.modules["tellmora.a"].VALUE == 1
    assert ("tellmora.exits" in sys.modules) == (error is SystemExit)


def test_data_file_not_utf8_stays(vesk, record, home):
    home.mkdir(parents=True)
    (home / f"{NAME}.data").write_bytes(b"tellmora.a\x0b\xff\n")
    record.data = "kept"
    with pytest.raises(UnicodeDecodeError):
        vesk.__import_module__(NAME, "http://127.0.0.1:9")
    assert record.data == "kept" and (home / f"{NAME}.data").exists()


def test_empty_data_file_means_download_next_time(vesk, record, home, dist, server, tmp_path):
    home.mkdir(parents=True)
    (home / f"{NAME}.data").write_bytes(b"")
    assert vesk.__import_module__(NAME, server.url) == [] and record.data == "" and server.requests == []
    publish_source(tmp_path / "source", dist, {"a.py": ""})
    assert names(vesk.__import_module__(NAME, server.url)) == ["tellmora.a"] and len(server.requests) == 2


def test_missing_record_and_unreachable_server(vesk, record, home, server):
    with pytest.raises(KeyError):
        vesk.__import_module__("unknown", server.url)
    assert server.requests == [] and os.listdir(home.parent) == ["unknown"]

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        closed = probe.getsockname()[1]
    with pytest.raises(requests.exceptions.ConnectionError):
        vesk.__import_module__(NAME, f"http://127.0.0.1:{closed}")
    assert os.listdir(home) == []


def test_start_up_module_write_failure_leaves_no_temporary(vesk, record, home):
    (home / "__init__.py").mkdir(parents=True)
    record.data = bundle_text([("auto_load", "A = 1\n"), ("__init__", "I = 1\n")])
    with pytest.raises(IsADirectoryError):
        vesk.__import_module__(NAME, "http://127.0.0.1:9")
    assert sorted(os.listdir(home)) == ["__init__.py", "auto_load.py"]


def test_steps_use_the_globals_found_at_the_moment(vesk, record, monkeypatch, capsys):
    calls = []
    monkeypatch.setattr(vesk, "gc", types.SimpleNamespace(collect=lambda: calls.append("collect")))
    monkeypatch.setattr(vesk, "compile", lambda *a: calls.append(("compile", a[1:])) or compile(*a), raising=False)
    monkeypatch.setattr(vesk, "print", lambda e: calls.append(("print", type(e))), raising=False)
    record.data = bundle_text(standard_records(*MODULES))
    vesk.__import_module__(NAME, "http://127.0.0.1:9")
    assert calls == [
        ("compile", ("tellmora.a", "exec")), "collect", ("compile", ("tellmora.b", "exec")), "collect",
        ("compile", ("tellmora.c", "exec")), ("print", ValueError), "collect",
        ("compile", ("tellmora.d", "exec")), "collect",
    ]
    assert capsys.readouterr().out == ""


def test_start_up_modules_are_utf8_under_an_ascii_locale(tmp_path):
    run = harness.fresh_python(f"""
        import locale, os, sys
        import bpy, corvane.vesk as v
        bpy.utils.scripts_path = {str(tmp_path / "scripts")!r}
        v._vesk = bpy.types.host_preferences(v.VESKAddonData, [{{"name": "tellmora"}}])
        v._vesk.addons["tellmora"].data = "tellmora.__init__\\x0bT = '\\u00e9\\u6f22'\\n"
        v.__import_module__("tellmora", "http://127.0.0.1:9")
        print(locale.getpreferredencoding(False))
    """, env={"LC_ALL": "C", "LANG": "C", "PYTHONUTF8": "0", "PYTHONCOERCECLOCALE": "0"})
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() != "UTF-8"
    assert (tmp_path / "scripts/addons/tellmora/__init__.py").read_bytes() == "T = 'é漢'\n".encode()


def test_a_failing_close_after_a_failing_write_keeps_both(vesk, record, home, monkeypatch):
    class FailingFile:
        def write(self, data):
            raise OSError("disk full")

        def close(self):
            raise ValueError("close failed too")

    monkeypatch.setattr(vesk, "open", lambda *args, **keywords: FailingFile(), raising=False)
    record.data = bundle_text([("__init__", "I = 1\n")])
    with pytest.raises(ValueError, match="close failed too") as raised:
        vesk.__import_module__(NAME, "http://127.0.0.1:9")
    assert isinstance(raised.value.__context__, OSError) and os.listdir(home) == []


@pytest.mark.parametrize("running, installed", [((3, 4, 1), "1.0.0"), ((4, 2, 0), "1.1.0"), ((2, 83, 5), None)])
def test_download_takes_the_newest_release_this_blender_runs(vesk, record, dist, server, tmp_path, running,
                                                            installed):
    for version, blender in (("1.0.0", (3, 0, 0)), ("1.1.0", (4, 2, 0))):
        publish_source(tmp_path / version, dist, {
            "__init__.py": f'bl_info = {{"name": "Tellmora", "blender": {blender!r}}}\n', "a.py": "A = 1\n"}, version)
    bpy.app.version = running
    record.title = "Tellmora"
    if installed:
        assert names(vesk.__import_module__(NAME, server.url)) == [f"{NAME}.a"] and record.version == installed
        return
    with pytest.raises(vesk.RegisterException) as raised:
        vesk.__import_module__(NAME, server.url)
    assert raised.value.args == (1030, "blender", "Tellmora 1.1.0 needs Blender 4.2 or later")
    assert not [path for path in server.requests if path.endswith(".zip")] and record.data == ""


def test_a_withdrawn_release_gives_way_to_the_previous_one(vesk, record, dist, server, tmp_path):
    from corvane.__main__ import main as corvane

    for version in ("1.0.0", "1.1.0"):
        publish_source(tmp_path / version, dist, {"a.py": f"A = {version!r}\n"}, version)
    assert corvane(["withdraw", str(dist), NAME, "1.1.0"]) == 0
    assert vesk.__import_module__(NAME, server.url)[0].A == "1.0.0" and record.version == "1.0.0"
