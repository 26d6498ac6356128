"""The publisher: bundle format in both forms, load order, refusals, archive and index."""

import hashlib
import json
import os
import pkgutil
import shutil
import sys
import types
import zipfile

import pytest

from corvane.publish import PublishError, bundle_form, main, publish, split_bundle

NAME = "tellmora"
INIT = "bl_info = {'name': 'Tellmora'}\n"
DEBIAN_ADDONS = "/usr/share/blender/scripts/addons"


def make_addon(root, files, name=NAME, form="auto_load"):
    """Write an add-on source folder, with an empty auto_load.py unless in the package
    form; values are text (UTF-8) or bytes."""
    folder = root / name
    if form == "auto_load":
        files = {"auto_load.py": "", **files}
    for rel, content in files.items():
        (folder / rel).parent.mkdir(parents=True, exist_ok=True)
        data = content.encode("utf-8") if isinstance(content, str) else content
        (folder / rel).write_bytes(data)
    return folder


def records(release):
    with zipfile.ZipFile(release["archive"]) as zf:
        return split_bundle(zf.read(f"{release['name']}.data"))


def order(release):
    return [module for module, _ in records(release)]


def load_like_the_manager(release, addons_dir, monkeypatch):
    """Unpack and load a release with the manager's steps; return (loaded, errors)."""
    name = release["name"]
    home = addons_dir / name
    with zipfile.ZipFile(release["archive"]) as zf:
        zf.extractall(home)
    monkeypatch.syspath_prepend(str(addons_dir))
    for key in [k for k in sys.modules if k == name or k.startswith(name + ".")]:
        monkeypatch.delitem(sys.modules, key)
    loaded, errors = [], []
    for record in (home / f"{name}.data").read_bytes().split(b"\x0b\x0b"):
        if not record.strip():
            continue
        module_name, source = (part.decode("utf-8") for part in record.split(b"\x0b", 1))
        if module_name in (f"{name}.__init__", f"{name}.auto_load"):
            (home / (module_name.split(".")[1] + ".py")).write_text(source, encoding="utf-8")
            continue
        module = types.ModuleType(module_name)
        module.__package__ = name
        monkeypatch.setitem(sys.modules, module_name, module)
        try:
            exec(compile(source, module_name, "exec"), module.__dict__)
            loaded.append(module_name)
        except Exception as e:
            errors.append((module_name, e))
    for key in [k for k in sys.modules if k == name or k.startswith(name + ".")]:
        monkeypatch.setitem(sys.modules, key, sys.modules.pop(key))  # undone: removed
    return loaded, errors


class TestBundleFormat:
    @pytest.mark.parametrize("form, extra", [("auto_load", "auto_load"), ("package", "__form__")])
    def test_round_trip(self, tmp_path, form, extra):
        sources = {
            "__init__.py": INIT,
            "text.py": "LABEL = 'Größe \x0b tab'\nVT = 'a\x0bb'\n",
            "empty.py": "",
            "no_newline.py": "X = 1  # ends in a vertical tab\x0b",
            "windows.py": b"\xef\xbb\xbfA = 1\r\nB = '''x\r\ny'''\r\n",
        }
        release = publish(make_addon(tmp_path, sources, form=form), "1.0.0", tmp_path / "d")
        got = dict(records(release))
        assert release["form"] == bundle_form(records(release)) == form
        assert set(got) == {f"{NAME}.{m[:-3]}" for m in sources} | {f"{NAME}.{extra}"}
        assert got[f"{NAME}.text"] == sources["text.py"]
        # An empty source or one ending in 0x0B would run into the separator.
        assert got[f"{NAME}.empty"] == "\n"
        assert got[f"{NAME}.no_newline"] == sources["no_newline.py"] + "\n"
        # Read as Python's importer would: no byte order mark, plain line feeds.
        assert got[f"{NAME}.windows"] == "A = 1\nB = '''x\ny'''\n"


class TestImportOrder:
    @pytest.mark.parametrize("statement", [
        "from . import zeta",
        "from .zeta import VALUE",
        "import tellmora.zeta as z",
        "from tellmora import zeta",
        "from tellmora.zeta import VALUE",
        "class Panel:\n    try:\n        from . import zeta\n    except ImportError:\n        pass",
    ])
    def test_imported_sibling_comes_first(self, tmp_path, statement):
        src = make_addon(tmp_path, {"__init__.py": INIT, "alpha.py": statement + "\n",
                                    "zeta.py": "VALUE = 1\n"})
        assert order(publish(src, "1.0.0", tmp_path / "d"))[2:] == [
            f"{NAME}.zeta", f"{NAME}.alpha"]

    def test_chain_loads_with_the_managers_steps(self, tmp_path, monkeypatch):
        src = make_addon(tmp_path, {
            "__init__.py": INIT + "from . import auto_load\n",
            "auto_load.py": "READY = True\n",
            "a_ops.py": "from .b_props import Props\nfrom . import c_utils, a_ops, auto_load\n",
            "b_props.py": "from tellmora.c_utils import helper\nclass Props:\n    h = helper\n",
            "c_utils.py": "import tellmora.d_base\ndef helper():\n    return 1\n",
            "d_base.py": "from tellmora import bl_info\n",
            "e_free.py": "",
        })
        release = publish(src, "1.0.0", tmp_path / "d")
        # Start-up modules first; among modules ready to load, alphabetical.
        assert order(release) == [f"{NAME}.{m}" for m in (
            "__init__", "auto_load", "d_base", "c_utils", "b_props", "a_ops", "e_free")]
        loaded, errors = load_like_the_manager(release, tmp_path / "addons", monkeypatch)
        assert errors == []
        assert loaded == order(release)[2:]

    def test_imports_not_run_at_load_time_are_not_ordered(self, tmp_path):
        src = make_addon(tmp_path, {
            "__init__.py": INIT,
            "a.py": "from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    from . import b\n"
                    "def later():\n    from . import b\n",
            "b.py": "from . import a\n",
        })
        assert order(publish(src, "1.0.0", tmp_path / "d"))[2:] == [f"{NAME}.a", f"{NAME}.b"]

    def test_cycle_refused_naming_modules_files_and_lines(self, tmp_path):
        src = make_addon(tmp_path, {
            "__init__.py": INIT,
            "alpha.py": "import os\nfrom . import beta\n",
            "beta.py": "from .gamma import G\n",
            "gamma.py": "\n\nfrom tellmora import alpha\nG = 1\n",
            "free.py": "",
        })
        with pytest.raises(PublishError) as info:
            publish(src, "1.0.0", tmp_path / "d")
        message = str(info.value)
        assert "alpha -> beta -> gamma -> alpha" in message
        assert f"{src / 'alpha.py'}:2" in message and f"{src / 'gamma.py'}:3" in message
        assert "free" not in message
        assert not (tmp_path / "d").exists()


class TestRefusals:
    @pytest.mark.parametrize("files, file, line, words", [
        ({"m.py": "A = 1\nB = 2\nC = '\x0b\x0b'\n"}, "m.py", 3, "0x0B"),
        ({"m.py": "\x0bA = 1\n"}, "m.py", 1, "begins with a 0x0B"),
        ({"sub/__init__.py": "", "sub/m.py": "A = 1\nPATH = '/x00'\n"},
         os.path.join("sub", "m.py"), 2, "/x00"),
        ({"m.py": b"A = 1\nB = '\xff'\n"}, "m.py", 2, "not valid UTF-8"),
        ({"m.py": b"# coding: ascii\nB = '\xe9'\n"}, "m.py", 2, "not valid ascii"),
        ({"tellmora.zip": "x"}, "tellmora.zip", 1, "taken by the manager"),
        ({"__init__.py": "import bpy\n"}, "__init__.py", 1, "no bl_info"),
        ({"__init__.py": "bl_info = dict(name='T')\n"}, "__init__.py", 1, "not a literal"),
    ])
    def test_package_form_refuses_only_what_cannot_be_carried_or_listed(self, tmp_path, files, file, line,
                                                                        words):
        src = make_addon(tmp_path, {"__init__.py": INIT, **files}, form="package")
        with pytest.raises(PublishError) as info:
            publish(src, "1.0.0", tmp_path / "d")
        assert f"{src / file}:{line}:" in str(info.value) and words in str(info.value)
        assert not (tmp_path / "d").exists()

    @pytest.mark.parametrize("files, file, line, words", [
        ({"m.py": "A = 1\nB = 2\nC = '\x0b\x0b'\n"}, "m.py", 3, "0x0B"),
        ({"m.py": "A = 1\ndef broken(:\n"}, "m.py", 2, "does not compile"),
        ({"m.py": "A = 1\x00\n"}, "m.py", 1, "does not compile"),
        ({"my-mod.py": ""}, "my-mod.py", 1, "not a Python identifier"),
        ({"class.py": ""}, "class.py", 1, "not a Python identifier"),
        ({"sub/inner.py": ""}, os.path.join("sub", "inner.py"), 1, "nested packages"),
        ({"m.py": '"""Doc."""\nfrom __future__ import annotations\n'}, "m.py", 2, "annotations"),
        ({"m.py": "A = 1\nPATH = '/x00'\n"}, "m.py", 2, "/x00"),
        ({"m.py": b"A = 1\nB = '\xff'\n"}, "m.py", 2, "UTF-8"),
        ({"m.py": "# -*- coding: latin-1 -*-\n"}, "m.py", 1, "UTF-8"),
        ({"m.py": "from .. import other\n"}, "m.py", 1, "beyond the add-on package"),
        ({"tellmora.data": "x"}, "tellmora.data", 1, "taken by the manager"),
    ])
    def test_refused_with_file_and_line(self, tmp_path, files, file, line, words):
        src = make_addon(tmp_path, {"__init__.py": INIT, **files})
        with pytest.raises(PublishError) as info:
            publish(src, "1.0.0", tmp_path / "d")
        assert f"{src / file}:{line}:" in str(info.value) and words in str(info.value)
        assert not (tmp_path / "d").exists()

    @pytest.mark.parametrize("files, version, name, form", [
        ({"m.py": ""}, "1.0.0", None, "auto_load"),  # no __init__.py: not a package
        ({"m.py": ""}, "1.0.0", None, "package"),
        ({"__init__.py": INIT}, "1.0.0", "my addon", "auto_load"),
        ({"__init__.py": INIT}, "1.0.0", "my addon", "package"),
        *[({"__init__.py": INIT}, v, None, "auto_load") for v in ("", "1.x", "1..2", "-1.0", "1.2.0-beta")],
    ])
    def test_other_refusals(self, tmp_path, files, version, name, form):
        with pytest.raises(PublishError):
            publish(make_addon(tmp_path, files, form=form), version, tmp_path / "d", name=name)

    def test_broken_index_refused_and_kept(self, tmp_path):
        index = tmp_path / "d" / NAME / "index.json"
        index.parent.mkdir(parents=True)
        index.write_text("{not json")
        with pytest.raises(PublishError, match="index.json"):
            publish(make_addon(tmp_path, {"__init__.py": INIT}), "1.0.0", tmp_path / "d")
        assert index.read_text() == "{not json"
        assert os.listdir(index.parent) == ["index.json"]

    def test_cli_exit_codes(self, tmp_path, capsys):
        src = make_addon(tmp_path, {"__init__.py": INIT, "m.py": "def f(:\n"})
        assert main([str(src), "1.0.0", "--dist", str(tmp_path / "d")]) == 2
        assert f"{src / 'm.py'}:1:" in capsys.readouterr().err
        os.remove(src / "m.py")
        assert main([str(src), "2.0.1", "--dist", str(tmp_path / "d"), "--name", "other",
                     "--manager-update", "1"]) == 0
        index = json.loads((tmp_path / "d" / "other" / "index.json").read_text())
        assert index[0]["version"] == [2, 0, 1] and index[0]["md5"] in capsys.readouterr().out
        assert json.loads((tmp_path / "d" / "service.json").read_text())["manager_update"] == 1


class TestArchive:
    FILES = {
        "__init__.py": INIT, "ops.py": "from . import props\n", "props.py": "P = 1\n",
        "README.txt": "read me\n", "icons/tool.png": b"\x89PNG\r\n\x1a\n\x00",
        "__pycache__/ops.cpython-311.pyc": b"junk", ".hidden": "x", ".git/config": "x",
    }

    def test_contents_and_digest(self, tmp_path):
        release = publish(make_addon(tmp_path, self.FILES), "1.0.0", tmp_path / "d")
        with open(release["archive"], "rb") as f:
            assert hashlib.md5(f.read()).hexdigest() == release["md5"]
        assert os.path.basename(release["archive"]) == release["md5"] + ".zip"
        with zipfile.ZipFile(release["archive"]) as zf:
            assert zf.namelist() == ["tellmora.data", "README.txt", "icons/tool.png"]
            assert zf.read("icons/tool.png") == self.FILES["icons/tool.png"]

    def test_republishing_unchanged_code_changes_nothing(self, tmp_path):
        src, dist = make_addon(tmp_path, self.FILES), tmp_path / "d"
        assert publish(src, "1.0.0", dist)["changed"] is True

        def snapshot():
            return {p: (p.read_bytes(), p.stat().st_mtime_ns) for p in dist.rglob("*")
                    if p.is_file()}

        before = snapshot()
        # Other timestamps and permissions on the sources give the same bytes.
        for path in src.rglob("*"):
            os.utime(path, (1_700_000_000, 1_700_000_000))
        os.chmod(src / "ops.py", 0o600)
        assert publish(src, "1.0.0", dist)["changed"] is False
        assert snapshot() == before


class TestPackageForm:
    """Any add-on as Blender installs it from a zip: its package tree in the bundle, the
    rest next to it."""

    def test_modules_in_the_bundle_other_files_in_the_archive(self, tmp_path):
        src = make_addon(tmp_path, {
            # Not compiled, checked or ordered here: Blender lists it, and fails at enable.
            "__init__.py": "from __future__ import annotations\nbl_info = {'name': 'T', 'version': (2, 1)}\n"
                           "\ndef broken(:\n",
            "ops.py": "from .. import outside\nfrom . import ui\n",
            "ui.py": "from . import ops\n",
            "latin.py": b"# -*- coding: latin-1 -*-\r\nLABEL = 'caf\xe9'\n",
            "sub/__init__.py": "", "sub/mod.py": "", "sub/deep/__init__.py": "", "sub/deep/leaf.py": "",
            "sub/data.json": "{}", "sub/loose/x.py": "", "sub/loose/inner/__init__.py": "", "presets/default.py": "",
            "my-tool.py": "", "class.py": "", "bad-pkg/__init__.py": "", "icons/a.png": b"\x89PNG",
            "sub/__pycache__/mod.cpython-311.pyc": b"junk", ".git/config": "x", "sub/.hidden.py": "",
        }, form="package")
        release = publish(src, None, tmp_path / "d")
        got = records(release)
        assert [module for module, _ in got] == [f"{NAME}.{m}" for m in (
            "__form__", "__init__", "latin", "ops", "sub.__init__", "sub.deep.__init__", "sub.deep.leaf",
            "sub.mod", "ui")]
        assert got[0][1] == '"package"\n' and release["version"] == [2, 1]
        assert dict(got)[f"{NAME}.latin"] == "# -*- coding: latin-1 -*-\nLABEL = 'café'\n"
        with zipfile.ZipFile(release["archive"]) as zf:
            assert zf.namelist() == [f"{NAME}.data", "bad-pkg/__init__.py", "class.py", "icons/a.png",
                                     "my-tool.py", "presets/default.py", "sub/data.json", "sub/loose/inner/__init__.py",
                                     "sub/loose/x.py"]

    def test_single_file(self, tmp_path, capsys):
        src = tmp_path / "gizmo.py"
        src.write_text("bl_info = {'name': 'Gizmo', 'version': (0, 3), 'blender': (2, 80, 0)}\n")
        assert main([str(src), "--dist", str(tmp_path / "d")]) == 0
        assert "gizmo 0.3 published (package form)" in capsys.readouterr().out
        [archive] = (tmp_path / "d" / "gizmo").glob("*.zip")
        with zipfile.ZipFile(archive) as zf:
            assert zf.namelist() == ["gizmo.data"]
            assert split_bundle(zf.read("gizmo.data")) == [
                ("gizmo.__form__", '"package"\n'), ("gizmo.__init__", src.read_text())]

    @pytest.mark.skipif(not os.path.isdir(DEBIAN_ADDONS), reason="needs Debian's Blender add-ons")
    @pytest.mark.parametrize("addon", ["io_mesh_stl", "object_print3d_utils", "rigify", "add_curve_sapling",
                                       "io_scene_gltf2"])
    def test_debian_addons_renamed(self, tmp_path, addon):
        """The bundle holds the modules Python's importer finds in the package tree; every
        other file is an archive member."""
        name, copy = f"cv_{addon}", tmp_path / f"cv_{addon}"
        shutil.copytree(os.path.join(DEBIAN_ADDONS, addon), copy, ignore=shutil.ignore_patterns("__pycache__", ".*"))
        modules = {f"{name}.__init__": "__init__.py"}

        def walk(folder, prefix):
            for info in pkgutil.iter_modules([str(copy / folder)], prefix):
                path = folder + info.name.rsplit(".", 1)[1]
                if info.ispkg:
                    modules[info.name + ".__init__"] = path + "/__init__.py"
                    walk(path + "/", info.name + ".")
                else:
                    modules[info.name] = path + ".py"

        walk("", name + ".")
        files = {path.relative_to(copy).as_posix() for path in copy.rglob("*") if path.is_file()}
        release = publish(copy, "1.0.0", tmp_path / "d", force=True)
        assert {module for module, _ in records(release)} == set(modules) | {f"{name}.__form__"}
        with zipfile.ZipFile(release["archive"]) as zf:
            assert set(zf.namelist()) == files - set(modules.values()) | {f"{name}.data"}


class TestIndexAndService:
    def test_releases_newest_first_same_version_replaced(self, tmp_path):
        src, dist = make_addon(tmp_path, {"__init__.py": INIT}), tmp_path / "d"
        publish(src, "1.2.0", dist)
        publish(src, "1.10.0", dist)
        (src / "fix.py").write_text("F = 1\n")
        fixed = publish(src, "1.10.0", dist)
        publish(src, "1.5.0", dist)  # an older line never takes element 0
        index = json.loads((dist / NAME / "index.json").read_text())
        assert [e["version"] for e in index] == [[1, 10, 0], [1, 5, 0], [1, 2, 0]]
        assert index[0]["md5"] == fixed["md5"]

    def test_service_document(self, tmp_path):
        src, dist = make_addon(tmp_path, {"__init__.py": INIT}), tmp_path / "d"
        service = dist / "service.json"
        publish(src, "1.0.0", dist)
        assert json.loads(service.read_text()) == {"manager_update": 0}
        service.write_text('{"url": "https://a.invalid", "x": 1}')
        publish(src, "1.1.0", dist)  # an existing document is left alone
        assert service.read_text() == '{"url": "https://a.invalid", "x": 1}'
        publish(src, "1.1.0", dist, base_url="https://b.invalid/", manager_update=1)
        assert json.loads(service.read_text()) == {
            "url": "https://b.invalid", "x": 1, "manager_update": 1}
        for bad in ({"base_url": "ftp://x"}, {"manager_update": 2}):
            with pytest.raises(PublishError):
                publish(src, "1.1.0", dist, **bad)


class TestVersionFromBlInfo:
    INIT = "bl_info = {'name': 'Tellmora', 'version': (4, 7, 7), 'blender': (3, 6, 0)}\n"

    @pytest.mark.parametrize("version, force, published", [
        (None, False, [4, 7, 7]),
        ("4.7.7", False, [4, 7, 7]),
        ("1.0.0", False, None),  # refused: users would see 4.7.7 in Blender's add-on list
        ("1.0.0", True, [1, 0, 0]),
    ])
    def test_version_defaults_to_bl_info_and_must_match_it(self, tmp_path, version, force, published):
        src, dist = make_addon(tmp_path, {"__init__.py": self.INIT}), tmp_path / "d"
        if published is None:
            with pytest.raises(PublishError, match="differs from bl_info"):
                publish(src, version, dist, force=force)
            assert not dist.exists()
            return
        publish(src, version, dist, force=force)
        assert json.loads((dist / NAME / "index.json").read_text())[0]["version"] == published

    def test_index_records_the_oldest_blender(self, tmp_path, capsys):
        src, dist = make_addon(tmp_path, {"__init__.py": self.INIT}), tmp_path / "d"
        assert main([str(src), "--dist", str(dist)]) == 0
        assert "Blender 3.6 and later" in capsys.readouterr().out
        assert json.loads((dist / NAME / "index.json").read_text())[0]["blender"] == [3, 6, 0]
        (src / "__init__.py").write_text("bl_info = {'name': 'T', 'blender': '3.6'}\n")
        with pytest.raises(PublishError, match="blender"):
            publish(src, "1.0.0", dist)
        (src / "__init__.py").write_text("X = 1\n")  # no bl_info: no version to take
        assert main([str(src), "--dist", str(dist)]) == 2


class TestDistributionTools:
    """python -m corvane check, list and withdraw on a published folder."""

    @pytest.fixture
    def dist(self, tmp_path):
        src, dist = make_addon(tmp_path, {"__init__.py": INIT}), tmp_path / "d"
        publish(src, "1.0.0", dist)
        (src / "__init__.py").write_text("bl_info = {'name': 'Tellmora', 'blender': (4, 2, 0)}\n")
        os.remove(src / "auto_load.py")  # the newer release in the package form
        assert publish(src, "1.1.0", dist)["form"] == "package"
        return dist

    @staticmethod
    def run(capsys, *argv):
        from corvane.__main__ import main as corvane

        status = corvane(list(map(str, argv)))
        return status, capsys.readouterr().out.splitlines()

    def test_a_published_folder_passes(self, dist, capsys):
        assert self.run(capsys, "check", dist) == (0, [f"{dist}: ready to upload"])

    @pytest.mark.parametrize("damage, problem", [
        (lambda d, first, older: os.remove(d / NAME / f"{older}.zip"), "is missing"),
        (lambda d, first, older: (d / NAME / f"{older}.zip").write_bytes(b"PK junk"), "MD5 is"),
        (lambda d, first, older: ((d / NAME / f"{older}.zip").write_bytes(b"PK junk"),
                                  _rename_to_digest(d / NAME, older)), "not a readable zip"),
        (lambda d, first, older: _replace_bundle(d / NAME, older, b"tellmora.__init__ without separator"),
         "not a module bundle"),
        (lambda d, first, older: (d / "service.json").write_text("{broken"), "service.json: not a JSON"),
        (lambda d, first, older: (d / NAME / "notes.txt").write_text("x"), "unlisted file"),
        (lambda d, first, older: (d / NAME / "index.json").write_text('[{"version": [1], "md5": "X"}]'),
         "32 lower-case"),
        (lambda d, first, older: _replace_bundle(d / NAME, first, b"tellmora.__form__\x0b\"package\"\n\x0b\x0b"
                                                 b"tellmora.__init__\x0bbl_info = {}\n", {"__init__.py": "X"}),
         "holds __init__.py"),
    ])
    def test_check_names_each_problem_on_a_line(self, dist, capsys, damage, problem):
        index = json.loads((dist / NAME / "index.json").read_text())
        damage(dist, index[0]["md5"], index[1]["md5"])
        status, lines = self.run(capsys, "check", dist)
        assert status == 1 and len([line for line in lines if problem in line]) == 1, lines

    def test_withdraw_then_prune(self, dist, capsys):
        newest = json.loads((dist / NAME / "index.json").read_text())[0]["md5"]
        status, lines = self.run(capsys, "withdraw", dist, NAME, "1.1.0")
        assert status == 0 and lines[-1] == "offered first now: 1.0.0"
        assert [e["version"] for e in json.loads((dist / NAME / "index.json").read_text())] == [[1, 0, 0]]
        assert self.run(capsys, "check", dist) == (1, [f"{dist / NAME / newest}.zip: unlisted file"])
        assert self.run(capsys, "check", "--prune", dist) == (0, [f"removed {dist / NAME / newest}.zip",
                                                                  f"{dist}: ready to upload"])
        assert self.run(capsys, "withdraw", dist, NAME, "1.1.0")[0] == 2

    def test_list_shows_which_blenders_get_which_release(self, dist, capsys):
        status, lines = self.run(capsys, "list", dist)
        assert status == 0 and [line.split("  (")[0] for line in lines] == [
            f"{NAME}: 2 releases", "  1.1.0      Blender 4.2 and later",
            "  1.0.0      any Blender up to before 4.2"]


def _rename_to_digest(folder, md5):
    """Lists a damaged archive under its own digest, as a re-upload might."""
    digest = hashlib.md5((folder / f"{md5}.zip").read_bytes()).hexdigest()
    os.rename(folder / f"{md5}.zip", folder / f"{digest}.zip")
    (folder / "index.json").write_text((folder / "index.json").read_text().replace(md5, digest))


def _replace_bundle(folder, md5, bundle, others=None):
    from addon_package import archive

    (folder / f"{md5}.zip").write_bytes(archive({f"{NAME}.data": bundle, **(others or {})}))
    _rename_to_digest(folder, md5)
