"""Faults on the way of an install, through operator("install") and the real module:
the distribution server misbehaving at each of its four requests, the user scripts
folder read-only or missing, a full disk. Each case checks the state the failure
leaves (record, add-on folder, sys.modules, `installed`, Blender's classes), then
mends the fault and installs again: the add-on loads whole.
"""

import hashlib
import json
import os
import socket
import subprocess
import sys
import zipfile
from contextlib import contextmanager

import bpy
import pytest
import requests
import urllib3

import faultserver as fs
from addon_package import NAME, archive, bundle_text, oversized_member, package_archive, standard_records

SOURCES = [
    ("props", "import bpy\n\nclass TELLMORA_PG_settings(bpy.types.PropertyGroup):\n    pass\n"),
    ("ops", "import bpy, sys\n\nsettings = sys.modules['tellmora.props'].TELLMORA_PG_settings\n\n"
            "class TELLMORA_OT_tell(bpy.types.Operator):\n    bl_idname = 'tellmora.tell'\n"
            "    settings: bpy.props.PointerProperty(type=settings)\n\nHOOKED = []\n\n"
            "def register():\n    HOOKED.append('register')\n\ndef unregister():\n    HOOKED.append('unregister')\n"),
]
BUNDLE = bundle_text(standard_records(*SOURCES))
ARCHIVE = package_archive(BUNDLE, extra={"icons/logo.txt": "logo"})
DIGEST = hashlib.md5(ARCHIVE).hexdigest()
INDEX = json.dumps([{"version": [1, 0, 0], "md5": DIGEST}])

SERVICE_MESSAGE = "Distribution server sent an invalid answer, please try again later."
ZIP_MESSAGE = "Zip file has broken, please reinstall."
NOT_PUBLISHED = "Tellmora is not published on the server (HTTP 404)."

# How a server misbehaves, given the body it should have sent.
NETWORK_FAULTS = {
    "reset on accept": None,  # the connection itself, not an answer: see the test
    "refused": lambda body: fs.refuse(),
    "reset mid-body": lambda body: fs.reset_mid_body(body),
    "cut short of its length": lambda body: fs.cut_body(body),
}
ANSWER_FAULTS = {
    "404": lambda body: fs.whole(b"<html>not found</html>", 404, "text/html"),
    "500": lambda body: fs.whole(b"<html>server error</html>", 500, "text/html"),
    "garbage": lambda body: fs.whole(b"\x89{garbage[", 200, "application/json"),
}


@pytest.fixture
def server(monkeypatch):
    with fs.FaultServer() as server:
        monkeypatch.setenv("VESK_SERVICE_URL", server.url)
        server.put("/service.json", fs.json_answer(json.dumps({"url": server.url + "/dist"})))
        server.put(f"/dist/{NAME}/index.json", fs.json_answer(INDEX))
        server.put(f"/dist/{NAME}/{DIGEST}.zip", fs.whole(ARCHIVE))
        yield server


@pytest.fixture
def prefs(vesk, monkeypatch):
    """The host's preferences with the add-on's record; sys.path and sys.modules restored afterwards."""
    prefs = bpy.types.host_preferences(vesk.VESKAddonData, [{"name": NAME, "title": "Tellmora"}])
    prefs.installed = {}
    vesk._vesk = prefs
    monkeypatch.setattr(sys, "path", list(sys.path))
    before = set(sys.modules)
    yield prefs
    for name in set(sys.modules) - before:
        del sys.modules[name]


@pytest.fixture
def scripts(tmp_path):
    return tmp_path / "scripts"


def state(prefs, scripts):
    """What a failure may have changed, in one comparable value."""
    record = prefs.addons[NAME]
    home = scripts / "addons" / NAME
    return {
        "status": record.status, "update": record.update, "version": record.version, "tips": record.tips,
        "data": record.data == BUNDLE if record.data else "",
        "files": sorted(set(os.listdir(home)) - {"__pycache__"}) if home.is_dir() else None,
        "modules": sorted(m for m in sys.modules if m.startswith(NAME)),
        "installed": sorted(prefs.installed),
        "classes": [c.__name__ for c in bpy.utils.registered],
    }


UNTOUCHED = {"status": False, "update": False, "version": "", "tips": "", "data": "", "files": None,
             "modules": [], "installed": [], "classes": []}


def assert_installs_whole(vesk, prefs, scripts):
    assert vesk.operator("install") is None
    assert state(prefs, scripts) == {
        "status": True, "update": False, "version": "1.0.0", "tips": "INSTALLED", "data": True,
        "files": ["__init__.py", "auto_load.py", "icons"], "modules": [], "installed": [NAME],
        "classes": ["TELLMORA_PG_settings", "TELLMORA_OT_tell"]}
    assert (scripts / "addons" / NAME / "__init__.py").read_text() == standard_records()[0][1]
    assert vesk._vesk.installed[NAME]["unregister"][0].__globals__["HOOKED"] == ["register"]


# The server's four requests in the order an install makes them, and the answers that
# put the fault at one of them: the index is asked for twice, by the update check
# and by the download.
STAGES = {
    "service": ("/service.json", lambda fault, good: [fault, good]),
    "update check": (f"/dist/{NAME}/index.json", lambda fault, good: [fault, good]),
    "download index": (f"/dist/{NAME}/index.json", lambda fault, good: [good, fault, good]),
    "archive": (f"/dist/{NAME}/{DIGEST}.zip", lambda fault, good: [fault, good]),
}
GOOD = {"update check": INDEX, "download index": INDEX, "archive": ARCHIVE}  # the service's names the server


# requests before 2.27 (Debian 11's) raises the JSON decoder's own error, a ValueError, for
# a body that is not JSON; urllib3 before 2 takes a body cut short of its length without
# complaint, and the cut body is then an answer like any other.
NOT_JSON = getattr(requests.exceptions, "JSONDecodeError", ValueError)
CUT_SHORT_NOTICED = int(urllib3.__version__.split(".")[0]) >= 2


def fault_outcome(stage, fault):
    """(exception raised or None, state left) for a fault at one stage."""
    network = fault in NETWORK_FAULTS and (fault != "cut short of its length" or CUT_SHORT_NOTICED)
    if stage == "service":
        if network:
            return requests.RequestException, UNTOUCHED
        return None, {**UNTOUCHED, "tips": SERVICE_MESSAGE}  # the service's answer is checked
    if stage in ("update check", "download index"):
        files = [] if stage == "download index" else None  # the folder is made by the download only
        if fault == "404":
            return None, {**UNTOUCHED, "tips": NOT_PUBLISHED, "files": files}
        # Not JSON: the decoding error, whatever the status.
        return requests.RequestException if network else NOT_JSON, {
            **UNTOUCHED, "files": [] if stage == "download index" else None}
    if network:
        return requests.RequestException, {**UNTOUCHED, "version": "1.0.0", "files": []}
    # An error page is not the archive: its digest differs, the record is reset.
    return None, {**UNTOUCHED, "tips": ZIP_MESSAGE, "files": []}


OFFLINE_TIPS = "Offline: running from the saved copy; updates were not checked."
INSTALLED = {"status": True, "update": False, "version": "1.0.0", "tips": "INSTALLED", "data": True, "files": None,
             "modules": [], "installed": [], "classes": []}  # as saved: the next Blender starts it
STARTED_OFFLINE = {**INSTALLED, "tips": OFFLINE_TIPS, "files": ["__init__.py", "auto_load.py"], "installed": [NAME],
                   "classes": ["TELLMORA_PG_settings", "TELLMORA_OT_tell"]}


def installed_outcome(stage, fault):
    """(exception raised or None, state left) for a fault before an installed add-on's start."""
    if fault in ("reset on accept", "refused"):
        return None, STARTED_OFFLINE  # no answer at all: the saved copy starts
    if fault in NETWORK_FAULTS and (fault != "cut short of its length" or CUT_SHORT_NOTICED):
        return requests.RequestException, INSTALLED  # an answer broken off is an answer
    if stage == "service":
        return None, UNTOUCHED  # the answer is checked, and the record reset
    if fault == "404":  # said so, and the saved copy starts
        return None, {**STARTED_OFFLINE, "tips": NOT_PUBLISHED}
    return NOT_JSON, INSTALLED


@pytest.mark.parametrize("stage, fault, record", [
    *[(stage, fault, "new") for stage in STAGES for fault in [*NETWORK_FAULTS, *ANSWER_FAULTS]],
    # A start of an installed add-on asks the service and the index, and downloads nothing.
    *[(stage, fault, "installed") for stage in ("service", "update check")
      for fault in [*NETWORK_FAULTS, *ANSWER_FAULTS]],
])
def test_server_fault_at_each_request(vesk, prefs, scripts, server, stage, fault, record):
    path, queue = STAGES[stage]
    good = json.dumps({"url": server.url + "/dist"}) if stage == "service" else GOOD[stage]
    make = {**NETWORK_FAULTS, **ANSWER_FAULTS}[fault]
    if make is None:
        # Each request has a connection of its own, in stage order.
        server.reset_on_accept = {list(STAGES).index(stage) + 1}
    else:
        server.put(path, *queue(make(good.encode() if isinstance(good, str) else good), fs.whole(good)))

    if record == "installed":
        saved = prefs.addons[NAME]
        saved.status, saved.version, saved.data, saved.tips = True, "1.0.0", BUNDLE, "INSTALLED"
        raised, left = installed_outcome(stage, fault)
        if raised:
            with pytest.raises(raised):
                vesk.register(saved)
        else:
            outcome = vesk.register(saved)
            assert (outcome.message if outcome else None) == (None if left["status"] else SERVICE_MESSAGE)
        assert state(prefs, scripts) == left
        assert server.count(f"/dist/{NAME}/{DIGEST}.zip") == 0
        return

    raised, left = fault_outcome(stage, fault)
    if raised:
        with pytest.raises(raised):
            vesk.operator("install")
    else:
        assert vesk.operator("install") is None
    assert state(prefs, scripts) == left
    record = prefs.addons[NAME]
    assert record.url == (None if stage == "service" else server.url + "/dist")

    assert_installs_whole(vesk, prefs, scripts)


def test_nothing_listening(vesk, prefs, scripts, server, monkeypatch):
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        closed = f"http://127.0.0.1:{probe.getsockname()[1]}"
    monkeypatch.setenv("VESK_SERVICE_URL", closed)
    with pytest.raises(requests.ConnectionError):
        vesk.operator("install")
    assert state(prefs, scripts) == UNTOUCHED and prefs.addons[NAME].url is None

    monkeypatch.setenv("VESK_SERVICE_URL", server.url)
    server.put("/service.json", fs.json_answer(json.dumps({"url": closed})), fs.json_answer(
        json.dumps({"url": server.url + "/dist"})))
    with pytest.raises(requests.ConnectionError):
        vesk.operator("install")
    assert state(prefs, scripts) == UNTOUCHED and prefs.addons[NAME].url == closed
    assert_installs_whole(vesk, prefs, scripts)


def test_truncated_archives(vesk, prefs, scripts, server):
    cut = ARCHIVE[:len(ARCHIVE) * 2 // 3]
    # Announced with the whole archive's digest: the cut one fails the check and is removed.
    server.put(f"/dist/{NAME}/{DIGEST}.zip", fs.whole(cut), fs.whole(ARCHIVE))
    assert vesk.operator("install") is None
    assert state(prefs, scripts) == {**UNTOUCHED, "tips": ZIP_MESSAGE, "files": []}
    assert_installs_whole(vesk, prefs, scripts)

    # Published cut, with its own digest: the zip library refuses it and the archive stays;
    # the next download replaces it.
    vesk.operator("uninstall")
    cut_digest = hashlib.md5(cut).hexdigest()
    cut_index = fs.json_answer(json.dumps([{"version": [1, 0, 1], "md5": cut_digest}]))
    server.put(f"/dist/{NAME}/index.json", cut_index, cut_index, fs.json_answer(INDEX))  # the check, the download
    server.put(f"/dist/{NAME}/{cut_digest}.zip", fs.whole(cut))
    with pytest.raises(zipfile.BadZipFile):
        vesk.operator("install")
    assert state(prefs, scripts) == {**UNTOUCHED, "version": "1.0.1", "files": [f"{NAME}.zip"]}
    # Uninstall takes the files of the failed install away too, registered or not.
    vesk.operator("uninstall")
    assert state(prefs, scripts) == UNTOUCHED
    assert_installs_whole(vesk, prefs, scripts)
    assert f"{NAME}.zip" not in os.listdir(scripts / "addons" / NAME)


def test_bundle_not_utf8_stays_until_removed(vesk, prefs, scripts, server):
    broken = package_archive(BUNDLE.encode() + b"\n# \xff\xfe\n")
    digest = hashlib.md5(broken).hexdigest()
    server.put(f"/dist/{NAME}/index.json", fs.json_answer(json.dumps([{"version": [1, 0, 0], "md5": digest}])))
    server.put(f"/dist/{NAME}/{digest}.zip", fs.whole(broken))
    with pytest.raises(UnicodeDecodeError):
        vesk.operator("install")
    assert state(prefs, scripts) == {**UNTOUCHED, "version": "1.0.0", "files": [f".{NAME}.version", f"{NAME}.data"]}
    # The data file waiting is read again at every install, without asking the server.
    requests_before = len(server.requests)
    with pytest.raises(UnicodeDecodeError):
        vesk.operator("install")
    assert server.requests[requests_before:] == ["/service.json", f"/dist/{NAME}/index.json"]

    (scripts / "addons" / NAME / f"{NAME}.data").unlink()
    server.put(f"/dist/{NAME}/index.json", fs.json_answer(INDEX))
    assert_installs_whole(vesk, prefs, scripts)


# ---- updates, leftovers, bounds ------------------------------------------------------------

NEWER = package_archive(BUNDLE + "\x0b\x0b" + bundle_text([("news", "NEWS = 1\n")]))
NEWER_DIGEST = hashlib.md5(NEWER).hexdigest()
NEWER_INDEX = json.dumps([{"version": [1, 1, 0], "md5": NEWER_DIGEST}, {"version": [1, 0, 0], "md5": DIGEST}])


@pytest.mark.parametrize("fault, tips", [
    ("index 404", "Update failed: " + NOT_PUBLISHED),
    ("archive 404", "Update failed: " + ZIP_MESSAGE),
    ("archive cut short", "Update failed: " + ZIP_MESSAGE),
])
def test_failed_update_keeps_the_installed_release(vesk, prefs, scripts, server, fault, tips):
    assert_installs_whole(vesk, prefs, scripts)
    installed = state(prefs, scripts)
    newer_zip = f"/dist/{NAME}/{NEWER_DIGEST}.zip"
    if fault == "index 404":
        server.put(f"/dist/{NAME}/index.json", fs.whole(b"not found", 404, "text/plain"))
    else:
        server.put(f"/dist/{NAME}/index.json", fs.json_answer(NEWER_INDEX))
        server.put(newer_zip, fs.whole(b"<html>gone</html>", 404, "text/html") if fault == "archive 404" else
                   fs.whole(NEWER[:-100]))
    assert vesk.operator("update") is None
    assert state(prefs, scripts) == {**installed, "update": fault != "index 404", "tips": tips}
    assert vesk._vesk.installed[NAME]["unregister"][0].__globals__["HOOKED"] == ["register"]

    # Served whole: fetched once, then put in place of the installed release.
    server.put(f"/dist/{NAME}/index.json", fs.json_answer(NEWER_INDEX))
    server.put(newer_zip, fs.whole(NEWER))
    fetched = server.count(newer_zip)
    assert vesk.operator("update") is None
    record = prefs.addons[NAME]
    assert (record.status, record.version, record.tips, server.count(newer_zip)) == (True, "1.1.0", "INSTALLED",
                                                                                      fetched + 1)
    assert [c.__name__ for c in bpy.utils.registered] == ["TELLMORA_PG_settings", "TELLMORA_OT_tell"]


@pytest.mark.parametrize("left", ["data file of an install cut off before the preferences were saved", "folder"])
def test_what_is_left_where_the_data_file_goes(vesk, prefs, scripts, server, monkeypatch, left):
    home = scripts / "addons" / NAME
    if left == "folder":  # a broken release unpacked one there
        (home / f"{NAME}.data").mkdir(parents=True)
        (home / f"{NAME}.data" / "a.py").write_text("A = 1\n")
        downloads = 1
    else:
        def stopping_open(path, mode="r", *args, **keywords):
            if str(path).endswith(f"{NAME}.data") and mode == "rb":
                raise KeyboardInterrupt  # Blender killed right after unpacking
            return open(path, mode, *args, **keywords)

        monkeypatch.setattr(vesk, "open", stopping_open, raising=False)
        with pytest.raises(KeyboardInterrupt):
            vesk.operator("install")
        monkeypatch.delattr(vesk, "open")
        record = prefs.addons[NAME]
        record.status, record.version, record.data, record.tips = False, "", "", ""  # as the saved preferences hold it
        downloads = 0
    since = len(server.requests)
    assert_installs_whole(vesk, prefs, scripts)  # the version too
    assert server.requests[since:].count(f"/dist/{NAME}/{DIGEST}.zip") == downloads

    # Installed without a version (as an older corvane adopted such a file): offered the newest release.
    prefs.addons[NAME].version = ""
    vesk.operator("check_update")
    assert (prefs.addons[NAME].update, prefs.addons[NAME].tips) == (True, "Available update: 1.0.0")


@pytest.mark.parametrize("package, tips", [
    ("announced as 300 MiB", "Tellmora cannot be installed: its package is larger than 256 MiB."),
    ("a member stated as 1.25 GiB", "Tellmora cannot be installed: its package unpacks to more than 1 GiB."),
])
def test_oversized_packages_are_refused_before_anything_is_written(vesk, prefs, scripts, server, package, tips):
    if package == "announced as 300 MiB":
        server.put(f"/dist/{NAME}/{DIGEST}.zip", fs.announcing(300 << 20), fs.whole(ARCHIVE))
    else:
        bomb = oversized_member(package_archive(BUNDLE, extra={"big.bin": "x"}), "big.bin", 5 << 28)
        digest = hashlib.md5(bomb).hexdigest()
        server.put(f"/dist/{NAME}/index.json", fs.json_answer(json.dumps([{"version": [1, 0, 0], "md5": digest}])),
                   fs.json_answer(json.dumps([{"version": [1, 0, 0], "md5": digest}])), fs.json_answer(INDEX))
        server.put(f"/dist/{NAME}/{digest}.zip", fs.whole(bomb))
    assert vesk.operator("install") is None
    assert state(prefs, scripts) == {**UNTOUCHED, "tips": tips, "files": []}
    assert_installs_whole(vesk, prefs, scripts)


@pytest.fixture(scope="session")
def certificate(tmp_path_factory):
    folder = tmp_path_factory.mktemp("tls")
    cert, key = folder / "cert.pem", folder / "key.pem"
    made = subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                           "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                           "-keyout", str(key), "-out", str(cert)], capture_output=True)
    if made.returncode != 0:
        pytest.skip(f"openssl cannot make a certificate here: {made.stderr.decode()}")
    return str(cert), str(key)


def test_https_redirected_to_http_is_refused(vesk, prefs, scripts, server, certificate, monkeypatch):
    with fs.FaultServer(tls=certificate) as secure:
        monkeypatch.setenv("REQUESTS_CA_BUNDLE", certificate[0])
        monkeypatch.setenv("VESK_SERVICE_URL", secure.url)
        secure.put("/service.json", fs.redirect(server.url + "/service.json"))
        assert vesk.operator("install") is None
        refused = "The distribution server redirected a secure (https) address to an insecure (http) one: refused."
        assert state(prefs, scripts) == {**UNTOUCHED, "tips": refused}

        # Within https, a redirect is followed.
        secure.put("/service.json", fs.redirect(secure.url + "/moved.json"))
        secure.put("/moved.json", fs.json_answer(json.dumps({"url": server.url + "/dist"})))
        assert_installs_whole(vesk, prefs, scripts)


# ---- the user's folders -----------------------------------------------------------------


@contextmanager
def mounted(folder, options):
    """A tmpfs mounted on `folder` (made if missing); the test is skipped where mounting is not permitted."""
    folder.mkdir(parents=True, exist_ok=True)
    try:
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(folder)], capture_output=True,
                              text=True)
    except OSError as error:
        pytest.skip(f"cannot mount a tmpfs here: {error}")
    if done.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {done.stderr.strip()}")
    try:
        yield folder
    finally:
        subprocess.run(["umount", "-l", str(folder)], check=True)


def remount(folder, options):
    subprocess.run(["mount", "-o", f"remount,{options}", str(folder)], check=True, capture_output=True)


def test_user_scripts_folder_that_cannot_be_made(vesk, prefs, scripts, server):
    scripts.parent.mkdir(parents=True, exist_ok=True)
    blocked = scripts.parent / "a file"
    blocked.write_text("")
    bpy.utils.scripts_path = str(blocked / "scripts")  # a file where a folder should be
    with pytest.raises(NotADirectoryError):
        vesk.operator("install")
    assert state(prefs, scripts) == UNTOUCHED and not scripts.exists()
    assert server.requests == ["/service.json", f"/dist/{NAME}/index.json"]

    bpy.utils.scripts_path = str(scripts / "not" / "there")  # missing folders are made, parents too
    assert_installs_whole(vesk, prefs, scripts / "not" / "there")


@pytest.mark.parametrize("read_only", ["scripts", "addons", "add-on folder"])
def test_read_only_user_folders(vesk, prefs, scripts, server, read_only):
    """Root writes anywhere a mode allows nothing: the folder is a read-only mount."""
    folder = {"scripts": scripts, "addons": scripts / "addons", "add-on folder": scripts / "addons" / NAME}[read_only]
    with mounted(folder, "size=1m"):
        if read_only == "add-on folder":
            assert_installs_whole(vesk, prefs, scripts)  # a package on disk, the bundle cached
            vesk.unregister(NAME)
            del prefs.installed[NAME]
            prefs.addons[NAME].data = BUNDLE
            before = {p: p.read_bytes() for p in folder.iterdir() if p.is_file()}
        remount(folder, "ro")
        with pytest.raises(OSError) as raised:
            vesk.operator("install")
        assert raised.value.errno == 30  # EROFS
        if read_only == "add-on folder":
            # The start-up modules cannot be replaced: nothing of the cached bundle runs.
            assert state(prefs, scripts) == {**UNTOUCHED, "data": True, "files": ["__init__.py", "auto_load.py",
                                                                                  "icons"]}
            assert {p: p.read_bytes() for p in folder.iterdir() if p.is_file()} == before
            prefs.addons[NAME].data = ""
        else:
            assert state(prefs, scripts) == {**UNTOUCHED, "files": None}
        remount(folder, "rw")
        assert_installs_whole(vesk, prefs, scripts)


def test_full_disk(vesk, prefs, scripts, server):
    """The add-ons folder on a 64 KiB tmpfs: too small for the archive, then for the unpacked
    bundle, then for the start-up modules; each leaves no half-written file that a later
    load could take for whole."""
    def padded(padding):
        return package_archive(BUNDLE + "\x0b\x0b" + bundle_text([("padding", f"PAD = '{padding}'\n")]))

    incompressible = padded(os.urandom(96 * 1024).hex())  # hex digits pack to about half: larger than the disk
    compressible = padded("x" * 200_000)  # packs small, unpacks larger than the disk
    addons = scripts / "addons"
    with mounted(addons, "size=64k"):
        for package in (incompressible, compressible):
            digest = hashlib.md5(package).hexdigest()
            server.put(f"/dist/{NAME}/index.json", fs.json_answer(json.dumps([{"version": [1, 0, 0], "md5": digest}])))
            server.put(f"/dist/{NAME}/{digest}.zip", fs.whole(package))
            tips = "No update" if prefs.addons[NAME].version else ""  # the check before the download
            with pytest.raises(OSError) as raised:
                vesk.operator("install")
            assert raised.value.errno == 28  # ENOSPC
            # No archive cut short, no data file, whole or torn, nor a temporary one.
            assert state(prefs, scripts) == {**UNTOUCHED, "version": "1.0.0", "tips": tips, "files": []}

        server.put(f"/dist/{NAME}/index.json", fs.json_answer(INDEX))
        assert_installs_whole(vesk, prefs, scripts)

        # The bundle cached, and not a byte left on the disk for the start-up modules.
        vesk.unregister(NAME)
        del prefs.installed[NAME]
        prefs.addons[NAME].data = BUNDLE
        before = {p.name: p.read_bytes() for p in (addons / NAME).iterdir() if p.is_file()}
        filler = addons / "filler"
        descriptor = os.open(filler, os.O_WRONLY | os.O_CREAT)
        try:
            while os.write(descriptor, b"\0" * 4096):
                pass
        except OSError:
            pass
        finally:
            os.close(descriptor)
        with pytest.raises(OSError) as raised:
            vesk.operator("install")
        assert raised.value.errno == 28
        assert state(prefs, scripts) == {**UNTOUCHED, "data": True, "files": ["__init__.py", "auto_load.py", "icons"]}
        assert {p.name: p.read_bytes() for p in (addons / NAME).iterdir() if p.is_file()} == before

        filler.unlink()
        prefs.addons[NAME].data = ""
        assert_installs_whole(vesk, prefs, scripts)
