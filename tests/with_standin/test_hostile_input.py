"""Hostile input, property-based: random module bundles (from the record's cache and
from a waiting data file), random archives, random package index documents and
random service documents. Each is fed to the real module and to a plain-Python
model of the same steps; both must end the same way: the same modules, files,
record fields and requests, or the same exception.
The interpreter must survive all of it (the sanitizer run repeats these tests).
"""

import hashlib
import io
import json
import os
import re
import sys
import tempfile
import threading
import types
import zipfile
from contextlib import contextmanager
from pathlib import Path

import bpy
import pytest
import requests
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import faultserver as fs
from addon_package import NAME, archive, bundle_text

# CORVANE_HOSTILE_EXAMPLES runs more inputs per property than CI's 100.
# Hypothesis before 6 (Debian 11's) has no check on function-scoped fixtures to suppress.
FAST = settings(max_examples=int(os.environ.get("CORVANE_HOSTILE_EXAMPLES", "100")), deadline=None,
                suppress_health_check=[HealthCheck.too_slow] + [
                    getattr(HealthCheck, name) for name in ("function_scoped_fixture",) if hasattr(HealthCheck, name)])
SPECIAL = (f"{NAME}.__init__", f"{NAME}.auto_load")


# ---- the models: the same steps, in plain Python --------------------------------------------


class Printed(list):
    def __call__(self, value):
        self.append(str(value))


def model_load(cached, printed):
    """__import_module__'s loading steps on the cached bundle text: (names of the loaded
    modules, start-up files written, names entered in sys.modules), or the exception."""
    content = cached.replace("/x00", "\0").encode()
    loaded, files, entered = [], {}, []
    for record in content.split(b"\x0b\x0b"):
        if not record.strip():
            continue
        module_name, source = record.split(b"\x0b", 1)
        module_name, source = module_name.decode(), source.decode()
        if module_name in SPECIAL:
            files[module_name.split(".")[1] + ".py"] = source.encode()
            continue
        code = compile(source, module_name, "exec")
        entered.append(module_name)
        try:
            exec(code, {"__name__": module_name})
        except Exception as error:
            printed(error)
            continue
        loaded.append(module_name)
    return loaded, files, entered


def outcome(run, counted=True):
    """What a call ends with: ("returned", value) or ("raised", type, text); the module's
    outcomes are counted in the statistics (pytest --hypothesis-show-statistics)."""
    try:
        result = run()
    except BaseException as error:  # noqa: B036 - SystemExit from a module is an outcome too
        if counted:
            event(f"raised {type(error).__name__}")
        return ("raised", type(error), str(error))
    if counted:
        event("returned " + (f"{len(result)} modules" if isinstance(result, list) else type(result).__name__))
    return ("returned", result)


# ---- the module's side ------------------------------------------------------------------------


@contextmanager
def user_folder(vesk, data="", installed=None):
    """A fresh user scripts folder and a host with the add-on's record, for one example;
    sys.modules and sys.path as they were afterwards."""
    modules_before = dict(sys.modules)
    path_before = list(sys.path)
    with tempfile.TemporaryDirectory(prefix="corvane-hostile-") as folder:
        bpy.utils.scripts_path = str(Path(folder, "scripts"))
        prefs = bpy.types.host_preferences(vesk.VESKAddonData, [{"name": NAME, "title": "Tellmora"}])
        prefs.installed = {} if installed is None else installed
        prefs.addons[NAME].data = data
        vesk._vesk = prefs
        try:
            yield prefs.addons[NAME], Path(folder)
        finally:
            for name in set(sys.modules) - set(modules_before):
                del sys.modules[name]
            sys.modules.update(modules_before)
            sys.path[:] = path_before
            vesk._vesk = None


def home_of(folder):
    return folder / "scripts" / "addons" / NAME


def start_up_files(home):
    return {name: (home / name).read_bytes() for name in ("__init__.py", "auto_load.py") if (home / name).exists()}


@pytest.fixture
def printed(vesk, monkeypatch):
    log = Printed()
    monkeypatch.setattr(vesk, "print", log, raising=False)
    return log


# ---- random bundles -----------------------------------------------------------------------------

# Sources whose outcome a model can know without running arbitrary code: a few known
# ones, and random text over an alphabet in which no call, import or loop can be spelt.
KNOWN_SOURCES = ["VALUE = 1\n", "raise ValueError('broken at import')\n", "def (:\n", "a\n", "raise SystemExit(3)\n",
                 "X = '\x0b'\n", "# é 漢\n", "a = 1\0\n", "", "'''\n", "X = '/x00'\n"]
HARMLESS = "a=1 \n\t#.'é漢\r\x0c"
ODD_NAMES = [f"{NAME}.a", f"{NAME}.b", *SPECIAL, f"{NAME}.a.b", "other.x", "", ".", "..", f"{NAME}..x", "a\0b",
             "é.漢", f"{NAME}.__init__.x", f" {NAME}.a", f"{NAME}.a ", f"{NAME}/a", "a" * 300]
HUGE = [(f"{NAME}.huge", "A = 1\n" * 40_000), ("x" * 60_000, "A = 1\n")]


@st.composite
def bundles(draw):
    """A bundle text: records of odd names and sources, joined with stray separators, NULs and blanks."""
    text = st.text(alphabet=HARMLESS + "\0", max_size=40) | st.text(alphabet=HARMLESS + "\x0b\0", max_size=40)
    records = []
    for _ in range(draw(st.integers(0, 6))):
        if draw(st.integers(0, 24)) == 0:
            name, source = draw(st.sampled_from(HUGE))
        else:
            name = draw(st.one_of(st.sampled_from([f"{NAME}.a", f"{NAME}.b", f"{NAME}.c", *SPECIAL]),
                                  st.sampled_from(ODD_NAMES), st.text(alphabet=HARMLESS + "\0", max_size=12)))
            source = draw(st.one_of(st.sampled_from(["VALUE = 1\n", "X = '\x0b'\n", "# é 漢\n", "", "X = '/x00'\n",
                                                     "raise ValueError('broken at import')\n", "a\n"]),
                                    st.sampled_from(KNOWN_SOURCES), text))
        separator = draw(st.sampled_from(["\x0b"] * 20 + ["", "\x0b\x0b", "/x00", "\0"]))
        records.append(name + separator + source)
    joins = st.sampled_from(["\x0b\x0b"] * 6 + ["\x0b\x0b \n", "\x0b\x0b\x0b", "\n\x0b\x0b\t"])
    bundle = ""
    for index, record in enumerate(records):
        bundle += (draw(joins) if index else "") + record
    return bundle + draw(st.sampled_from(["", "", "\x0b\x0b", "\x0b\x0b\n", "/x00"]))


def check_load(vesk, cached, printed, record, home):
    """Loads the record's bundle through the module and through the model; both must agree."""
    expected_printed = Printed()
    expected = outcome(lambda: model_load(cached, expected_printed), counted=False)
    before = set(sys.modules)
    got = outcome(lambda: vesk.__import_module__(NAME, "http://127.0.0.1:9"))
    entered = [name for name in sys.modules if name not in before]
    if expected[0] == "raised":
        assert got == expected
    else:
        loaded, files, model_entered = expected[1]
        assert got[0] == "returned", got
        assert [m.__name__ for m in got[1]] == loaded
        assert all(m.__package__ == NAME and m.__file__ == f"{home}/{NAME}" for m in got[1])
        assert start_up_files(home) == files
        assert sorted(entered) == sorted(set(model_entered))
        assert printed == expected_printed
    assert not [f for f in os.listdir(home) if f.endswith(".tmp")]


@FAST
@given(st.one_of(bundles(), bundles(), bundles(), st.text(alphabet="a\x0b\ud800\udfff\0é", max_size=12)))
def test_random_bundles_from_the_cache(vesk, printed, cached):
    with user_folder(vesk, cached) as (record, folder):
        if not cached:
            return  # an empty cache means a download: the next test's matter
        printed.clear()
        check_load(vesk, cached, printed, record, home_of(folder))
        assert record.data == cached


@st.composite
def data_files(draw):
    """The bytes of a waiting data file: a random bundle, with invalid UTF-8 and NUL bytes spliced in."""
    raw = bytearray(draw(bundles()).encode("utf-8", "surrogatepass"))
    splices = [b"\0"] * draw(st.integers(0, 2))
    if draw(st.integers(0, 2)) == 0:
        splices.append(draw(st.sampled_from([b"\xff", b"\xc3", b"\xed\xa0\x80", b"\xe6\xbc", b"\x80"])))
    for splice in splices:
        at = draw(st.integers(0, len(raw)))
        raw[at:at] = splice
    return bytes(raw)


@FAST
@given(data_files())
def test_random_data_files(vesk, printed, raw):
    with user_folder(vesk, "cached before") as (record, folder):
        home = home_of(folder)
        home.mkdir(parents=True)
        (home / f"{NAME}.data").write_bytes(raw)
        printed.clear()
        try:
            text = raw.decode()
        except UnicodeDecodeError as error:
            event("raised UnicodeDecodeError")
            with pytest.raises(UnicodeDecodeError) as raised:
                vesk.__import_module__(NAME, "http://127.0.0.1:9")
            assert str(raised.value) == str(error)
            # The file stays and the cache is unchanged.
            assert record.data == "cached before" and (home / f"{NAME}.data").read_bytes() == raw
            return
        cached = text.replace("\0", "/x00")
        if not cached:
            assert vesk.__import_module__(NAME, "http://127.0.0.1:9") == [] and record.data == ""
            return
        check_load(vesk, cached, printed, record, home)
        assert record.data == cached and not (home / f"{NAME}.data").exists()


# ---- random archives ------------------------------------------------------------------------

SEGMENTS = ["..", ".", "", "a", "b", f"{NAME}.data", "~", "C:", "a\\..\\..", "__init__.py", "é"]


@st.composite
def member_names(draw):
    segments = draw(st.lists(st.sampled_from(SEGMENTS), min_size=1, max_size=7))
    return draw(st.sampled_from(["", "", "/", "//", "../../../../../../"])) + "/".join(segments) + draw(
        st.sampled_from(["", "", "", "/"]))


def cleaned(name):
    """Where the zip library unpacks a member, relative to the target: its "", "." and ".." parts dropped."""
    return "/".join(part for part in name.split("/") if part not in ("", ".", ".."))


@pytest.fixture(scope="module")
def server():
    with fs.FaultServer() as server:
        yield server


@FAST
@given(st.lists(st.tuples(member_names(), st.sampled_from(["data", "junk", "not utf-8"])), max_size=6),
       st.sampled_from([True, True, False]))
def test_random_archives_unpack_only_inside_the_add_on_folder(vesk, printed, server, members, with_data):
    good = bundle_text([("a", "A = 1\n"), ("__init__", "I = 1\n")])
    contents = {"data": good.encode(), "junk": b"junk", "not utf-8": b"\xff\xfe"}
    entries = {name: b"" if name.endswith("/") else contents[kind] for name, kind in members}
    if with_data:
        entries[f"{NAME}.data"] = contents["data"]
    package = archive(entries)
    digest = hashlib.md5(package).hexdigest()
    server.put(f"/{NAME}/index.json", fs.json_answer(json.dumps([{"version": [1, 0], "md5": digest}])))
    server.put(f"/{NAME}/{digest}.zip", fs.whole(package))

    with user_folder(vesk) as (record, folder):
        home = home_of(folder)
        # Where a member would land if its path were taken as it is written.
        literal = {os.path.normpath(name if name.startswith("/") else os.path.join(home, name)) for name in entries}
        literal = {path for path in literal if not path.startswith(str(folder) + "/") and not os.path.exists(path)}
        got = outcome(lambda: vesk.__import_module__(NAME, server.url))
        outside = [str(p.relative_to(folder)) for p in folder.rglob("*") if home not in p.parents and p != home
                   and not p.is_dir()]
        assert outside == [] and not [path for path in literal if os.path.exists(path)]
        inside = {str(p.relative_to(home)) for p in home.rglob("*") if not p.is_dir()}
        assert not [name for name in inside if name.endswith(".tmp")]
        # The data file a load reads is a whole member: the last one in the archive.
        data_members = [entries[name] for name in entries if cleaned(name) == f"{NAME}.data"
                        and not name.endswith("/")]
        if record.data:
            assert record.data.encode() == data_members[-1]
        if got[0] == "returned":
            assert [m.__name__ for m in got[1]] == ["tellmora.a"]
            assert not {f"{NAME}.data", f"{NAME}.zip"} & inside
        else:
            # The zip library's own errors too: an empty member name raises IndexError in it
            # (ValueError "Empty filename." from Python 3.13 on).
            zip_refusals = (OSError, IndexError) + ((ValueError,) if sys.version_info >= (3, 13) else ())
            assert issubclass(got[1], (OSError, UnicodeDecodeError, ValueError, IndexError)), got
            if f"{NAME}.data" in inside:
                assert (home / f"{NAME}.data").read_bytes() in data_members
            if not data_members:
                assert issubclass(got[1], zip_refusals), got


# ---- random package index documents ---------------------------------------------------------

JSON_LEAVES = st.none() | st.booleans() | st.integers(-3, 300) | st.floats(allow_nan=False) | st.text(
    alphabet="0123456789abcdef.AF /?#%é\n", max_size=34)
JSON = st.recursive(JSON_LEAVES, lambda inner: st.lists(inner, max_size=4) | st.dictionaries(
    st.sampled_from(["version", "md5", "x", "0"]), inner, max_size=3), max_leaves=12)


@st.composite
def index_documents(draw, digest):
    """An index body: random JSON, or near-valid releases with odd versions and digests."""
    version = draw(st.lists(st.integers(0, 20), max_size=4) | JSON)
    md5 = draw(st.sampled_from([digest, digest.upper(), digest + "/", "../" + digest, "0" * 32]) | JSON)
    release = draw(st.sampled_from([{"version": version, "md5": md5}, {"version": version}, {"md5": md5}]))
    value = draw(st.sampled_from([[release], [release, {"version": [0]}], release, [], [[release]]]) | JSON)
    body = json.dumps(value)
    return draw(st.sampled_from([body, body, body, body[:-1], "<html>", ""]))


def model_download(url, name, stored):
    """download() up to the digest check, in plain Python; `stored` receives the record's version."""
    result = requests.get(url + "/" + name + "/index.json")
    last = result.json()[0]
    stored["version"] = ".".join(str(it) for it in last["version"])
    archive_response = requests.get(url + "/" + name + "/" + last["md5"] + ".zip")
    if last["md5"] != hashlib.md5(archive_response.content).hexdigest():
        return ("RegisterException", 1020)
    return "unpacked"


ARCHIVE = archive({f"{NAME}.data": bundle_text([("a", "A = 1\n")])})
DIGEST = hashlib.md5(ARCHIVE).hexdigest()


@FAST
@given(index_documents(DIGEST))
def test_random_index_documents(vesk, printed, server, body):
    server.put(f"/{NAME}/index.json", fs.json_answer(body))
    server.put(f"/{NAME}/{DIGEST}.zip", fs.whole(ARCHIVE))
    since = len(server.requests)
    stored = {"version": "before"}
    try:
        expected = model_download(server.url, NAME, stored)
    except Exception as error:
        expected = (type(error), str(error))
    model_requests = server.requests[since:]

    with user_folder(vesk) as (record, folder):
        record.version = "before"
        since = len(server.requests)
        got = outcome(lambda: vesk.__import_module__(NAME, server.url))
        assert server.requests[since:] == model_requests
        if expected == "unpacked":
            assert got[0] == "returned" and [m.__name__ for m in got[1]] == ["tellmora.a"]
        elif expected[0] == "RegisterException":
            assert got[0] == "raised" and got[1] is vesk.RegisterException, got
            assert os.listdir(home_of(folder)) == []
        else:
            assert got[:2] == ("raised", expected[0]), (got, expected)
            if expected[0] is KeyError or expected[0] is TypeError:
                assert got[2] == expected[1]
        assert record.version == stored["version"]


# ---- random service documents ----------------------------------------------------------------

SERVICE_INVALID = (1021, "service", "Distribution server sent an invalid answer, please try again later.")


def model_service(body, service_url):
    """The service document's rules: (package address, manager-update flag), or None for an invalid answer."""
    try:
        document = json.loads(body)
    except ValueError:
        return None
    if not isinstance(document, dict):
        return None
    url = document.get("url", service_url)
    if not isinstance(url, str) or not url.lower().startswith(("http://", "https://")):
        return None
    flag = document.get("manager_update", 0)
    if not isinstance(flag, int) or isinstance(flag, bool):
        return None
    return url.rstrip("/"), flag


def newer(latest, installed):
    """Plain dotted numbers compare as numbers (1.2 the same as 1.2.0); other versions differ or not."""
    plain = re.compile(r"[0-9]+(\.[0-9]+)*")
    if plain.fullmatch(latest) and plain.fullmatch(installed):
        numbers = [[int(it) for it in version.split(".")] for version in (latest, installed)]
        length = max(map(len, numbers))
        return [*numbers[0], *[0] * length][:length] > [*numbers[1], *[0] * length][:length]
    return latest != installed


def model_check(record, response):
    """check_addon_update after the index request: (update, tips) as left, or the exception."""
    data = response.json()[0]
    if not record["version"]:
        return record["update"], record["tips"]
    latest = ".".join(str(it) for it in data["version"])
    if newer(latest, record["version"]):
        return True, "Available update: " + latest
    return False, "No update"


@st.composite
def service_documents(draw, base):
    """Mostly answers that lead on to the update check, with odd addresses and flags among them."""
    odd = draw(st.integers(0, 9)) < 3
    url = draw(st.sampled_from([base.upper(), "ftp://127.0.0.1/", "127.0.0.1", "", "http:/x"]) | JSON if odd else
               st.sampled_from([base, base + "/", base + "//", base + "/sub"]))
    flag = draw(st.sampled_from([0] * 6 + [1, 2, -1, True, False, 10**30, "1", 1.0, None]))
    document = {}
    if draw(st.integers(0, 3)):
        document["url"] = url
    if draw(st.booleans()):
        document["manager_update"] = flag
    value = document if draw(st.integers(0, 5)) else draw(st.sampled_from([[document], "x"]) | JSON)
    body = json.dumps(value)
    return draw(st.sampled_from([body] * 10 + [body[:-1], "<html>"]))


@FAST
@given(st.data())
def test_random_service_documents_and_update_checks(vesk, printed, server, monkeypatch, data):
    service = server.url + "/service"
    body = data.draw(service_documents(server.url + "/dist"))
    versions = st.lists(st.integers(0, 12), max_size=4) | JSON
    index = data.draw(st.sampled_from([json.dumps([{"version": data.draw(versions)}])] * 4 + ["[]", "{}", "<html>"]))
    installed_version = data.draw(st.sampled_from(["", "1.2", "1.10.0", "a.b", "1..2", " 1", "\u0663", "2"]))
    server.put("/service/service.json", fs.json_answer(body))
    server.put(f"/dist/{NAME}/index.json", fs.json_answer(index))
    server.put(f"/dist/sub/{NAME}/index.json", fs.json_answer(index))
    monkeypatch.setenv("VESK_SERVICE_URL", service)
    started = []
    monkeypatch.setattr(vesk, "operator", lambda action: started.append(action))

    answer = model_service(body, service)
    with user_folder(vesk) as (record, folder):
        record.version, record.tips, record.update = installed_version, "earlier", True
        before = {"version": installed_version, "tips": "earlier", "update": True}
        threads = set(threading.enumerate())
        got = outcome(lambda: vesk.register(record, "check_update"))
        for thread in set(threading.enumerate()) - threads:
            thread.join(10)
        if answer is None:
            assert got[0] == "returned" and isinstance(got[1], vesk.RegisterException), got
            assert got[1].args == SERVICE_INVALID and record.url is None
            assert (record.version, record.tips, record.update, record.status, record.data) == ("", "", False, False, "")
            assert started == []
            return
        url, flag = answer
        assert record.url == url
        assert started == (["update_manager"] if flag else [])
        try:
            response = requests.get(url + "/" + NAME + "/index.json")
            if response.status_code == 404:  # said so, to an add-on not installed
                assert got[0] == "returned" and got[1].args[:2] == (1022, "index"), got
                return
            expected = ("returned", model_check(before, response))
        except Exception as error:
            expected = ("raised", type(error))
        if expected[0] == "raised":
            assert got[:2] == expected, (got, expected)
        else:
            assert got == ("returned", None), got
            assert (record.update, record.tips) == expected[1]
