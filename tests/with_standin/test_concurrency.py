"""init's start-up threads registering while the host thread installs, updates,
uninstalls and shuts down, against the stand-in: random interleavings, repeated.

CORVANE_CONCURRENCY_ROUNDS (default 200) and CORVANE_CONCURRENCY_SEED (default:
a new one, printed) choose the run; a failing round names its seed, and
scripts/checks/concurrency.py --standin --seed N --rounds 1 runs it again.
"""

import os
import random
import shutil
import sys
import threading

import addon_utils
import bpy
import pytest

import addon_package
import concurrency_rounds
from faultserver import FaultServer

NAMES = ("tellmora", "stress_a", "stress_b")
ROUNDS = int(os.environ.get("CORVANE_CONCURRENCY_ROUNDS", "200"))


def registered_classes(name):
    return [cls for cls in bpy.utils.registered if cls.__module__.startswith(name + ".")]


def log_emptier():
    """The stand-in's logs would keep every round's classes and modules alive; what they
    held before the rounds (the module's own record type, say) stays."""
    prepared = len(bpy.types.prepared)

    def empty():
        for log in (bpy.utils.calls, bpy.ops.calls, addon_utils.calls, bpy.app.translations.calls):
            log.clear()
        del bpy.types.prepared[prepared:]

    return empty


@pytest.fixture
def host(vesk, tmp_path, monkeypatch):
    dist = tmp_path / "dist"
    for name in NAMES:
        addon_package.publish_source(tmp_path / "source", dist, concurrency_rounds.addon_sources(name), "1.0.0",
                                     name)
    server = addon_package.serve(dist)
    monkeypatch.setenv("VESK_SERVICE_URL", server.url)
    prefs = bpy.types.host_preferences(vesk.VESKAddonData)
    # Switch threads far more often than the interpreter's 5 ms, for finer interleavings.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.0002)
    try:
        yield concurrency_rounds.Host(vesk, prefs, NAMES, concurrency_rounds.bundles_from_dist(dist, NAMES),
                                      registered_classes, bpy.utils.registered.remove, log_emptier(),
                                      lambda: shutil.rmtree(tmp_path / "scripts", ignore_errors=True))
    finally:
        sys.setswitchinterval(interval)
        bpy.app.translations.tables.clear()
        server.shutdown()


def test_startup_threads_against_the_host_thread(host, capsys):
    seed = int(os.environ.get("CORVANE_CONCURRENCY_SEED", random.randrange(1 << 30)))
    outcomes = []
    for number in range(ROUNDS):
        outcome = concurrency_rounds.run_blocking(concurrency_rounds.Round(host, number, seed + number,
                                                                           join_timeout=30))
        outcomes.append(outcome)
        if outcome.problems:
            break
    lines = concurrency_rounds.report_lines(outcomes)
    with capsys.disabled():
        print(f"\nconcurrency, stand-in (seed {seed}): " + "\n  ".join(lines))
    assert not [o for o in outcomes if o.problems], "\n".join(lines)
    # The rounds did overlap: registrations ran on the start-up threads and the host acted meanwhile.
    assert sum(any(s.startswith("init: ") and s != "init: 0 threads" for s in o.steps)
               for o in outcomes) > len(outcomes) // 2


def test_registrations_of_one_add_on_take_turns(vesk, monkeypatch):
    """A second registration of an add-on waits for the first (which would otherwise have its
    modules taken out of sys.modules and its url reset under it); another add-on goes ahead."""
    web = FaultServer()
    monkeypatch.setenv("VESK_SERVICE_URL", web.url)
    web.put_json("/service.json", {"url": web.url, "manager_update": 0})
    for name in ("tellmora", "other"):
        web.put_json(f"/{name}/index.json", [{"version": [1, 0, 0], "md5": "0" * 32}])
    prefs = bpy.types.host_preferences(vesk.VESKAddonData, [{"name": "tellmora"}, {"name": "other"}])
    prefs.installed = {}
    vesk._vesk = prefs
    entered = {"first": threading.Event(), "second": threading.Event(), "other": threading.Event()}
    release = threading.Event()
    seen = []

    def import_module(name, url):
        key = name if name == "other" else ("second" if entered["first"].is_set() else "first")
        entered[key].set()
        if key == "first":
            release.wait(20)
            seen.append(prefs.addons[name].url)
        return []

    monkeypatch.setattr(vesk, "__import_module__", import_module)
    monkeypatch.setattr(vesk, "__get_ordered_classes__", lambda modules: [])
    threads = [threading.Thread(target=vesk.register, args=(prefs.addons[name],))
               for name in ("tellmora", "tellmora", "other")]
    try:
        threads[0].start()
        assert entered["first"].wait(10)
        threads[1].start()
        threads[2].start()
        assert entered["other"].wait(10), "another add-on's registration is not held up"
        assert not entered["second"].wait(0.5), "the second registration of the add-on did not wait"
    finally:
        release.set()
        for thread in threads:
            thread.join(20)
        web.close()
    assert entered["second"].is_set()
    assert seen == [web.url]
    assert set(prefs.installed) == {"tellmora", "other"}


def test_folders_another_thread_made_meanwhile(vesk, tmp_path, monkeypatch):
    """Two start-up threads on a profile without the add-ons folder both find it missing;
    the one whose os.makedirs comes second must not fail for the folder the first just made."""
    import os
    import types

    scripts = tmp_path / "scripts"
    (scripts / "addons").mkdir(parents=True)  # made by the other thread ...
    told_missing = []

    def exists(path):  # ... after this thread had found it missing
        if path not in told_missing:
            told_missing.append(path)
            return False
        return os.path.exists(path)

    fake_os = types.SimpleNamespace(makedirs=os.makedirs, path=types.SimpleNamespace(
        exists=exists, sep=os.sep, isdir=os.path.isdir))
    monkeypatch.setattr(vesk, "os", fake_os)
    monkeypatch.setattr(sys, "path", list(sys.path))
    assert vesk.get_addons_path() == str(scripts) + os.sep + "addons"
    assert told_missing == [str(scripts), str(scripts) + os.sep + "addons"]
    # A file where the folder should be is still an error.
    told_missing.clear()
    bpy.utils.scripts_path = str(tmp_path / "file")
    (tmp_path / "file").write_text("")
    with pytest.raises(FileExistsError):
        vesk.get_addons_path()


def test_register_class_refused_while_blender_draws(vesk, monkeypatch):
    """Blender refuses register_class, changing nothing, while its main thread runs a Python
    draw callback; a start-up thread that meets the refusal registers the class once the
    drawing is over. On the main thread itself the refusal stands."""
    web = FaultServer()
    monkeypatch.setenv("VESK_SERVICE_URL", web.url)
    web.put_json("/service.json", {"url": web.url, "manager_update": 0})
    web.put_json("/tellmora/index.json", [{"version": [1, 0, 0], "md5": "0" * 32}])
    prefs = bpy.types.host_preferences(vesk.VESKAddonData, [{"name": "tellmora"}])
    prefs.installed = {}
    vesk._vesk = prefs
    cls = type("TELLMORA_PT_main", (bpy.types.Panel,), {})
    monkeypatch.setattr(vesk, "__import_module__", lambda name, url: [])
    monkeypatch.setattr(vesk, "__get_ordered_classes__", lambda modules: [cls])
    register_class = bpy.utils.register_class
    refusals = []

    def drawing(refused):
        def refuse(cls):
            if len(refusals) < refused:
                refusals.append(threading.current_thread().name)
                raise RuntimeError(f"register_class(...): can't run in readonly state '{cls.__name__}'")
            return register_class(cls)
        return refuse

    try:
        monkeypatch.setattr(bpy.utils, "register_class", drawing(3))
        outcome = []
        worker = threading.Thread(target=lambda: outcome.append(vesk.register(prefs.addons[0])), name="start-up")
        worker.start()
        worker.join(20)
        assert outcome == [None] and refusals == ["start-up"] * 3
        assert cls.is_registered and prefs.installed["tellmora"]["ordered_classes"] == [cls]

        bpy.utils.registered.clear()
        refusals.clear()
        monkeypatch.setattr(bpy.utils, "register_class", drawing(1))
        with pytest.raises(RuntimeError, match="readonly state"):
            vesk.register(prefs.addons[0])
        assert refusals == ["MainThread"]
        # Any other refusal stands on every thread.
        bpy.utils.fail_on["TELLMORA_PT_main"] = RuntimeError("register_class(...): something else")
        monkeypatch.setattr(bpy.utils, "register_class", register_class)
        errors = []

        def run():
            try:
                vesk.register(prefs.addons[0])
            except RuntimeError as error:
                errors.append(str(error))

        worker = threading.Thread(target=run)
        worker.start()
        worker.join(20)
        assert errors == ["register_class(...): something else"]
    finally:
        bpy.utils.fail_on.clear()
        web.close()
