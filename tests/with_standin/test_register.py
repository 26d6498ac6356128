"""register / unregister of one add-on, the service document and the add-on update check.

Loading and class ordering are swapped for recording fakes through the module's
namespace; the distribution server is a real HTTP server on loopback.
"""

import sys
import threading
import types

import bpy
import pytest

from faultserver import FaultServer, whole

NAME = "tellmora"


@pytest.fixture
def web(monkeypatch):
    server = FaultServer()
    monkeypatch.setenv("VESK_SERVICE_URL", server.url + "/")
    server.put_json("/service.json", {"url": server.url + "/addons/", "manager_update": 0})
    server.put_json(f"/addons/{NAME}/index.json", [{"version": [1, 2, 0], "md5": "0" * 32}])
    yield server
    server.close()


@pytest.fixture
def prefs(vesk):
    prefs = bpy.types.host_preferences(vesk.VESKAddonData, [{"name": NAME, "title": "Tellmora"}])
    prefs.installed = {}
    vesk._vesk = prefs
    return prefs


class Addon:
    """Fake loaded modules and classes of one add-on, with a log of what happened to them."""

    def __init__(self, vesk, monkeypatch, module_names=("alpha", "beta")):
        self.log = []
        self.modules = []
        self.classes = []
        for short in module_names:
            module = types.ModuleType(f"{NAME}.{short}")
            module.register = (lambda s=short: self.log.append(("register", s)))
            module.unregister = (lambda s=short: self.log.append(("unregister", s)))
            cls = type(f"{short.upper()}_OT_x", (bpy.types.Operator,), {})
            module.cls = cls
            self.modules.append(module)
            self.classes.append(cls)
        self.import_calls = []
        self.import_error = None
        monkeypatch.setattr(vesk, "__import_module__", self.import_module, raising=False)
        monkeypatch.setattr(vesk, "__get_ordered_classes__", lambda modules: list(self.classes), raising=False)

    def import_module(self, name, url):
        self.import_calls.append((name, url))
        if self.import_error is not None:
            raise self.import_error
        for module in self.modules:
            sys.modules[module.__name__] = module
        return list(self.modules)

    def cleanup(self):
        for module in self.modules:
            sys.modules.pop(module.__name__, None)


@pytest.fixture
def addon(vesk, monkeypatch):
    fake = Addon(vesk, monkeypatch)
    yield fake
    fake.cleanup()


def test_register_loads_registers_and_records(vesk, prefs, web, addon):
    record = prefs.addons[NAME]
    record.version = "1.2.0"
    assert vesk.register(record) is None

    assert record.url == web.url + "/addons"
    assert addon.import_calls == [(NAME, web.url + "/addons")]
    assert bpy.utils.registered == addon.classes
    assert addon.log == [("register", "alpha"), ("register", "beta")]
    assert not any(m.__name__ in sys.modules for m in addon.modules)
    entry = prefs.installed[NAME]
    assert list(entry) == ["unregister", "ordered_classes"]
    assert entry["ordered_classes"] == addon.classes
    assert [hook() for hook in entry["unregister"]] and addon.log[-2:] == [("unregister", "alpha"),
                                                                         ("unregister", "beta")]
    assert (record.update, record.tips) == (False, "No update")
    assert web.requests == ["/service.json", f"/addons/{NAME}/index.json"]


def test_classes_are_registered_before_any_hook(vesk, prefs, web, addon, monkeypatch):
    seen = []
    addon.modules[0].register = lambda: seen.append(list(bpy.utils.registered))
    vesk.register(prefs.addons[NAME])
    assert seen == [addon.classes]


def test_check_update_only_checks(vesk, prefs, web, addon):
    record = prefs.addons[NAME]
    record.version = "1.1"
    assert vesk.register(record, "check_update") is None
    assert vesk.register(addon=record, action="check_update") is None
    assert addon.import_calls == [] and bpy.utils.registered == [] and prefs.installed == {}
    assert (record.update, record.tips) == (True, "Available update: 1.2.0")


@pytest.mark.parametrize("installed, index, update, tips", [
    ("1.2", [1, 2, 0], False, "No update"),
    ("1.2a", [1, 2, 0], True, "Available update: 1.2.0"),  # not plain numbers: any difference
    ("1.10.0", [1, 9, 9], False, "No update"),
    ("2.0.0", [1, 9, 9], False, "No update"),
    ("1.9.9", [1, 10], True, "Available update: 1.10"),
])
def test_update_check_compares_numbers(vesk, prefs, web, addon, installed, index, update, tips):
    web.put_json(f"/addons/{NAME}/index.json", [{"version": index, "md5": "0" * 32}])
    record = prefs.addons[NAME]
    record.version = installed
    vesk.register(record, "check_update")
    assert (record.update, record.tips) == (update, tips)


@pytest.mark.parametrize("running, releases, update, tips", [
    ((4, 5, 0), 3, True, "Available update: 2.0"),
    ((3, 4, 1), 3, True, "Available update: 1.5"),
    ((2, 93, 0), 3, False, "No update"),  # a release without "blender" suits any
    ((2, 93, 0), 2, False, "Tellmora 2.0 needs Blender 4.2 or later"),
])
def test_update_check_offers_the_newest_release_this_blender_runs(vesk, prefs, web, addon, running, releases,
                                                                  update, tips):
    web.put_json(f"/addons/{NAME}/index.json", [{"version": [2, 0], "md5": "0" * 32, "blender": [4, 2, 0]},
                                                {"version": [1, 5], "md5": "1" * 32, "blender": [3, 0, 0]},
                                                {"version": [1, 0], "md5": "2" * 32}][:releases])
    bpy.app.version = running
    record = prefs.addons[NAME]
    record.version = "1.2"
    vesk.register(record, "check_update")
    assert (record.update, record.tips) == (update, tips)


def test_update_check_without_version_asks_but_changes_nothing(vesk, prefs, web, addon):
    record = prefs.addons[NAME]
    record.tips, record.update = "kept", True
    vesk.register(record, "check_update")
    assert (record.update, record.tips) == (True, "kept")
    assert web.count(f"/addons/{NAME}/index.json") == 1


def test_update_check_errors_propagate(vesk, prefs, web, addon):
    record = prefs.addons[NAME]
    record.version = "1.0"
    web.put(f"/addons/{NAME}/index.json", "<html>not json</html>")
    with pytest.raises(ValueError):
        vesk.register(record)
    web.put_json(f"/addons/{NAME}/index.json", [])
    with pytest.raises(IndexError):
        vesk.register(record)
    assert addon.import_calls == [] and prefs.installed == {}


class RecordingThread:
    started = []

    def __init__(self, target=None, args=(), **keywords):
        self.target, self.args, self.keywords = target, args, keywords

    def is_alive(self):
        return False

    def start(self):
        RecordingThread.started.append((self.target, self.args, self.keywords, getattr(self, "daemon", None),
                                        RecordingThread.web_requests()))


def test_manager_update_flag_starts_one_thread_before_the_index_request(vesk, prefs, web, addon, monkeypatch):
    web.put_json("/service.json", {"url": web.url + "/addons", "manager_update": 1})
    fake_threading = types.SimpleNamespace(Thread=RecordingThread, current_thread=threading.current_thread)
    RecordingThread.started = []
    RecordingThread.web_requests = lambda: list(web.requests)
    monkeypatch.setattr(vesk, "threading", fake_threading)
    operator = object()
    monkeypatch.setattr(vesk, "operator", operator, raising=False)
    vesk.register(prefs.addons[NAME], "check_update")
    # Explicitly not a daemon: a start-up thread that starts it is one, and would pass that on.
    assert RecordingThread.started == [(operator, ("update_manager",), {}, False, ["/service.json"])]

    web.put_json("/service.json", {"url": web.url + "/addons"})
    RecordingThread.started = []
    vesk.register(prefs.addons[NAME], "check_update")
    assert RecordingThread.started == []


@pytest.mark.parametrize("document", [
    "not json at all",
    "[1, 2]",
    '"http://127.0.0.1/"',
    '{"url": "ftp://example.invalid/addons"}',
    '{"url": 17}',
    '{"manager_update": "1"}',
    '{"manager_update": true}',
    '{"manager_update": 1.5}',
    whole("<html>Service Unavailable</html>", 503),  # an answer: an installed add-on does not start offline
])
def test_invalid_service_document_resets_and_returns_the_error(vesk, prefs, web, addon, document):
    web.put("/service.json", document)
    record = prefs.addons[NAME]
    record.status, record.tips, record.data = True, "INSTALLED", "cached"
    error = vesk.register(record)
    assert isinstance(error, vesk.RegisterException)
    assert error.args == (1021, "service", "Distribution server sent an invalid answer, please try again later.")
    assert (record.status, record.tips, record.data) == (False, "", "")
    assert record.url is None and addon.import_calls == [] and prefs.installed == {}


def test_service_without_url_means_the_service_itself(vesk, prefs, web, addon):
    web.put_json("/service.json", {})
    web.put_json(f"/{NAME}/index.json", [{"version": [1], "md5": ""}])
    vesk.register(prefs.addons[NAME], "check_update")
    assert prefs.addons[NAME].url == web.url


OFFLINE_TIPS = "Offline: running from the saved copy; updates were not checked."
OFFLINE_CHECK_TIPS = "Offline: could not check for updates."
RECORDS = {  # status, data: only an installed record with its bundle cached can start offline
    "installed": (True, "cached bundle"), "installed, no bundle": (True, ""), "not installed": (False, "cached bundle")}


@pytest.mark.parametrize("silent", [False, True], ids=["answers", "silent"])
@pytest.mark.parametrize("kind", RECORDS)
def test_only_an_installed_add_on_waits_bounded_and_starts_without_an_answer(vesk, prefs, web, addon, monkeypatch,
                                                                             kind, silent):
    import requests

    calls = []

    def get(address, **keywords):
        calls.append(keywords)
        if silent:
            raise requests.ReadTimeout("read timed out")
        return requests.get(address, **keywords)

    monkeypatch.setattr(vesk, "requests", types.SimpleNamespace(get=get, exceptions=requests.exceptions))
    record = prefs.addons[NAME]
    record.status, record.data = RECORDS[kind]
    record.version, record.tips = "1.0.0", "INSTALLED"
    startable = kind == "installed"
    if not silent:
        assert vesk.register(record) is None and record.tips == "Available update: 1.2.0"
    elif startable:
        assert vesk.register(record, "check_update") is None and record.tips == OFFLINE_CHECK_TIPS
        assert vesk.register(record) is None and record.tips == OFFLINE_TIPS
        assert (record.status, record.version, record.data) == (True, "1.0.0", "cached bundle")
        assert addon.import_calls == [(NAME, None)] and list(prefs.installed) == [NAME]
    else:
        with pytest.raises(requests.ReadTimeout):
            vesk.register(record)
        assert addon.import_calls == [] and record.tips == "INSTALLED"
    # The wait is bounded only where the add-on can start without an answer.
    assert calls and all(keywords == ({"timeout": 10} if startable else {}) for keywords in calls)


def test_register_exception_resets_the_record_and_is_returned(vesk, prefs, web, addon):
    record = prefs.addons[NAME]
    # An earlier successful registration stays recorded and is taken down.
    vesk.register(record)
    addon.log.clear()
    addon.import_error = vesk.RegisterException([1020, "md5", "Zip file has broken, please reinstall."])
    record.status, record.version = True, "1.2.0"
    error = vesk.register(record)
    assert error is addon.import_error and error.message == "Zip file has broken, please reinstall."
    assert error.__traceback__ is not None
    assert (record.status, record.version, record.tips) == (False, "", "")
    assert bpy.utils.registered == []
    assert addon.log == [("unregister", "alpha"), ("unregister", "beta")]
    assert list(prefs.installed) == [NAME]


def test_a_failing_registration_undoes_what_it_registered(vesk, prefs, web, addon):
    record = prefs.addons[NAME]
    bpy.utils.fail_on[addon.classes[1].__name__] = ValueError("refused")
    with pytest.raises(ValueError, match="refused"):
        vesk.register(record)
    assert bpy.utils.registered == [] and addon.log == [] and prefs.installed == {}
    assert all(m.__name__ in sys.modules for m in addon.modules)

    # A module whose hook registers its classes itself too: Blender refuses the second
    # registration, every time, and nothing stays registered to make the next one fail otherwise.
    bpy.utils.reset()
    beta = addon.modules[1]
    beta.register = lambda: bpy.utils.register_class(beta.cls)
    for attempt in (1, 2):
        with pytest.raises(ValueError, match="already registered") as raised:
            vesk.register(record)
        assert bpy.utils.registered == [] and prefs.installed == {}
        assert addon.log == [("register", "alpha"), ("unregister", "alpha")] * attempt  # no hook twice
    import traceback
    entries = [(entry.name, entry.filename) for entry in traceback.extract_tb(raised.value.__traceback__)]
    assert ("register", "src/vesk/registration.cpp") in entries

    beta.register = lambda: None
    assert vesk.register(record) is None and bpy.utils.registered == addon.classes


def test_host_shut_down_under_an_action_stops_it_before_its_next_touch(vesk, prefs, web, addon):
    """unregister_all (the host disabled, its preferences freed by Blender) while an install
    runs: the install stops at its next touch of the registry or the record, takes down what
    it registered and writes nothing more; a later init works."""
    record = prefs.addons[NAME]
    seen = {}

    def shut_down():
        addon.log.append(("register", "alpha"))
        vesk.unregister_all()
        seen.update(vars(record))

    addon.modules[0].register = shut_down
    with pytest.raises(RuntimeError, match="The host add-on was disabled"):
        vesk.operator("install")
    assert vars(record) == seen and record.status is False
    assert bpy.utils.registered == [] and prefs.installed == {} and vesk._vesk is prefs
    assert addon.log == [("register", "alpha"), ("register", "beta"), ("unregister", "alpha"), ("unregister", "beta")]

    addon.modules[0].register = lambda: None
    vesk.init(prefs)
    vesk.operator("install")
    assert record.tips == "INSTALLED" and bpy.utils.registered == addon.classes


def test_modules_named_like_the_manager_get_no_hook_but_leave_the_table(vesk, prefs, web, addon):
    impostor = types.ModuleType("corvane.vesk")
    impostor.register = lambda: addon.log.append(("register", "impostor"))
    addon.modules.append(impostor)
    saved = sys.modules["corvane.vesk"]
    try:
        vesk.register(prefs.addons[NAME])
        assert ("register", "impostor") not in addon.log
        assert "corvane.vesk" not in sys.modules
    finally:
        sys.modules["corvane.vesk"] = saved
    assert prefs.installed[NAME]["unregister"][-1] is not None


def test_module_names_that_are_not_plain_text_leave_the_table_by_equality(vesk, prefs, web, addon, monkeypatch):
    class Name(str):
        pass

    renamed, odd = addon.modules
    odd_key = odd.__name__

    def load(name, url):
        modules = addon.import_module(name, url)
        renamed.__name__ = Name(renamed.__name__)  # equal to its key in the table
        odd.__name__ = [odd_key]  # unhashable, and equal to no key
        return modules

    monkeypatch.setattr(vesk, "__import_module__", load)
    try:
        assert vesk.register(prefs.addons[NAME]) is None
        assert f"{NAME}.alpha" not in sys.modules
        assert sys.modules[odd_key] is odd
    finally:
        odd.__name__ = odd_key


def test_presence_test_treats_any_lookup_error_as_absence(vesk, prefs, web, addon):
    class Touchy(types.ModuleType):
        def __getattribute__(self, name):
            if name in ("register", "unregister"):
                raise RuntimeError("lookup failed")
            return super().__getattribute__(name)

    addon.modules[0] = Touchy(f"{NAME}.alpha")
    assert vesk.register(prefs.addons[NAME]) is None
    assert addon.log == [("register", "beta")]
    assert len(prefs.installed[NAME]["unregister"]) == 1


def test_unregister_resets_and_undoes_in_reverse(vesk, prefs, web, addon):
    record = prefs.addons[NAME]
    vesk.register(record)
    record.status, record.update, record.version, record.data, record.tips = True, True, "1", "x", "INSTALLED"
    bpy.utils.calls.clear()
    addon.log.clear()
    assert vesk.unregister(NAME) is None
    assert (record.status, record.update, record.version, record.data, record.tips) == (False, False, "", "", "")
    assert bpy.utils.calls == [("unregister", c) for c in reversed(addon.classes)]
    assert addon.log == [("unregister", "alpha"), ("unregister", "beta")]
    assert list(prefs.installed) == [NAME]

    # Again: the first unregister_class fails, is swallowed, and no hook runs.
    addon.log.clear()
    assert vesk.unregister(name=NAME) is None
    assert addon.log == []


def test_unregister_swallows_exceptions_but_not_interrupts(vesk, prefs, web, addon):
    record = prefs.addons[NAME]
    assert vesk.unregister(NAME) is None  # no entry in installed
    vesk.register(record)
    addon.modules[0].unregister = lambda: (_ for _ in ()).throw(KeyboardInterrupt())
    prefs.installed[NAME]["unregister"][0] = addon.modules[0].unregister
    with pytest.raises(KeyboardInterrupt):
        vesk.unregister(NAME)


def test_unregister_of_an_unknown_name_changes_nothing(vesk, prefs):
    record = prefs.addons[NAME]
    record.tips = "INSTALLED"
    with pytest.raises(KeyError):
        vesk.unregister("other")
    assert record.tips == "INSTALLED"


def test_register_reads_swapped_globals_at_call_time(vesk, prefs, web, addon, monkeypatch):
    calls = []
    monkeypatch.setattr(vesk, "unregister", lambda name: calls.append(name))
    addon.import_error = vesk.RegisterException([1, "t", "m"])
    vesk.register(prefs.addons[NAME])
    assert calls == [NAME]


def test_unset_service_address_means_the_built_in_default(vesk, prefs, addon, monkeypatch):
    monkeypatch.delenv("VESK_SERVICE_URL", raising=False)
    try:
        server = FaultServer(port=8731)  # the default built into this repository's module
    except OSError:
        pytest.skip("port 8731 is in use")
    try:
        server.put_json("/service.json", {"manager_update": 0})
        server.put_json(f"/{NAME}/index.json", [{"version": [1], "md5": ""}])
        vesk.register(prefs.addons[NAME], "check_update")
        assert prefs.addons[NAME].url == "http://127.0.0.1:8731"
        assert server.requests == ["/service.json", f"/{NAME}/index.json"]
    finally:
        server.close()


def test_offline_by_blenders_switch_asks_nothing_and_starts_an_installed_add_on(vesk, prefs, web, addon,
                                                                                 monkeypatch):
    monkeypatch.setenv("VESK_PACKAGE_INDEX_URL", web.url)
    record = prefs.addons[NAME]
    prefs.index = 0
    message = "Online access is disabled in Blender's preferences (System > Network)."
    monkeypatch.setattr(bpy.app, "online_access", False, raising=False)

    # Not installed, or no bundle cached: nothing to start from, and the record stays whole.
    for status, data in (RECORDS["not installed"], RECORDS["installed, no bundle"]):
        record.status, record.version, record.data, record.tips = status, "1.2.0", data, "INSTALLED"
        with pytest.raises(ConnectionError) as raised:
            vesk.register(record)
        assert str(raised.value) == message
        assert (record.status, record.data, record.tips) == (status, data, "INSTALLED")

    # Installed: started from the saved copy; Update still refuses before it uninstalls.
    record.status, record.data = RECORDS["installed"]
    kept = (record.status, record.version, record.data, record.update)
    with pytest.raises(ConnectionError) as raised:
        vesk.operator("update")
    assert str(raised.value) == message and record.tips == "INSTALLED"
    assert vesk.operator("check_update") is None and record.tips == OFFLINE_CHECK_TIPS
    assert vesk.register(record) is None and record.tips == OFFLINE_TIPS
    assert vesk.update_package("corvane") == message
    assert web.requests == []
    assert addon.import_calls == [(NAME, None)] and list(prefs.installed) == [NAME]
    assert (record.status, record.version, record.data, record.update) == kept and record.url is None

    # Read at every call: turned on again, the same registration asks the server.
    bpy.app.online_access = True
    for cls in addon.classes:
        bpy.utils.unregister_class(cls)  # as in the next Blender session
    assert vesk.register(record) is None
    assert addon.import_calls[-1] == (NAME, web.url + "/addons") and record.tips == "No update"
