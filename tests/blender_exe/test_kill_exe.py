"""Debian's Blender killed with SIGKILL at random points of an install, then started
again on the same user folders: Tellmora either comes back whole from the saved
record or is downloaded again, and is never loaded from a torn file.

Each round starts a Blender that updates Tellmora again and again (uninstall,
download, unpack, load, register, preferences saved) and kills it when a randomly
chosen moment comes: the n-th request of one kind reaching the server, the n-th
appearance of a file in the add-on folder or of Blender's preferences being
written, or a random delay. Some rounds also kill the next Blender while its
start-up thread registers Tellmora. Then a Blender starts on the same folders and
reports what came back.

CORVANE_KILL_ROUNDS (default 10) and CORVANE_KILL_SEED set the run; the figures
are printed (run pytest with -s to see them).
"""

import collections
import hashlib
import io
import json
import os
import random
import re
import shutil
import signal
import time
import zipfile
from pathlib import Path

from corvane import publish, serve

import harness
from harness import session

IN_BLENDER = harness.TESTS / "kill_in_blender.py"
ADDON = "tellmora"
CLASSES = ["TELLMORA_OT_tell", "TELLMORA_PG_settings", "TELLMORA_PT_details", "TELLMORA_PT_main"]
ROUNDS = int(os.environ.get("CORVANE_KILL_ROUNDS", "10"))
SEED = int(os.environ.get("CORVANE_KILL_SEED", str(time.time_ns() % 2**32)))

# Leftovers that a kill may strand in the add-on folder and no load ever reads: an
# archive being downloaded (replaced by the next download) and temporary files.
STRANDED = (f"{ADDON}.zip",)
# Blender 2.83 imports a folder left without __init__.py as a namespace package and fails
# on its missing file instead.
BLENDER_FINDS_NO_FOLDER = re.compile(
    r'Traceback \(most recent call last\):\n  File "[^"]*/addon_utils.py", line \d+, in enable\n'
    r'(?:(?:    |  File ).*\n)*(?:ModuleNotFoundError: No module named \'tellmora\'|'
    r'TypeError: stat: path should be string, bytes, os.PathLike or integer, not NoneType)\n')


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def start(home, phase, server, report):
    """Blender on the profile `home`; its output goes to home/blender.log (read with `output`)."""
    return session.start(IN_BLENDER, home, factory=False, wrapper=(), report=report, log=home / "blender.log",
                         env={"VESK_SERVICE_URL": server.url, "CORVANE_KILL_PHASE": phase,
                              "CORVANE_KILL_CYCLES": "1000"}).process


def output(home):
    return (home / "blender.log").read_text(errors="replace")


def observations(home, server, since):
    """What can be seen from outside at this moment: requests so far, files present."""
    folder = home / "scripts" / "addons" / ADDON
    try:
        files = set(os.listdir(folder))
    except FileNotFoundError:
        files = {"<no add-on folder>"}
    seen = {name for name in files if not name.startswith(".")}
    seen |= {"temporary " + name.split(".")[1] for name in files if name.startswith(".")}
    if (home / "config" / "userpref.blend@").exists():
        seen.add("userpref.blend@")
    return seen, server.requests[since:]


def choose_moment(rng, first_install):
    """What the kill waits for, then a random extra delay of up to about one update cycle;
    on a fresh profile, mostly a moment of the first install."""
    after = round(rng.uniform(0, 0.12), 3)
    nth = 1 if first_install else rng.randint(1, 6)
    kind = rng.choice(["request", "request", "file", "delay"])
    if kind == "request":
        return ("request", rng.choice(["/service.json", "/index.json", ".zip"]), nth, after)
    if kind == "file":
        return ("file", rng.choice([f"{ADDON}.zip", "<no add-on folder>", "userpref.blend@"]), min(nth, 4), after)
    return ("delay", round(rng.uniform(0.3, 0.9 if first_install else 2.5), 3))


def label(moment):
    return " ".join(map(str, moment[:1] if moment[0] == "delay" else moment[:2]))


def kill_when(process, moment, home, server, deadline=5.0):
    """Kills `process` at `moment` (or at the deadline, when the moment never comes); returns
    what fired, or None when the process ended first."""
    began = time.monotonic()
    since = len(server.requests)
    appearances = collections.Counter()
    present = set()
    fired_at = None
    while process.poll() is None:
        now = time.monotonic()
        if fired_at is None:
            seen, requests = observations(home, server, since)
            for name in seen - present:
                appearances[name] += 1
            present = seen
            kind = moment[0]
            if (kind == "delay" and now - began >= moment[1]) or (
                    kind == "request" and sum(path.endswith(moment[1]) for path in requests) >= moment[2]) or (
                    kind == "file" and appearances[moment[1]] >= moment[2]):
                fired_at, what = now, label(moment)
            elif now - began > deadline:
                fired_at, what = now, "deadline"
        if fired_at is not None and now - fired_at >= (moment[3] if len(moment) > 3 else 0):
            process.send_signal(signal.SIGKILL)
            process.wait()
            return what
        time.sleep(0.0005)
    return None


def test_killed_installs_never_load_a_torn_file(tmp_path):
    rng = random.Random(SEED)
    dist, home = tmp_path / "dist", tmp_path / "profile"
    release = publish.publish(str(session.TELLMORA_SOURCE), "1.0.0", str(dist))
    with zipfile.ZipFile(release["archive"]) as zf:
        bundle = zf.read(f"{ADDON}.data")
    startup = {name: sha256((session.TELLMORA_SOURCE / name).read_bytes()) for name in ("__init__.py", "auto_load.py")}
    session.install_into_profile(home)
    figures = collections.Counter()
    moments = collections.Counter()
    stranded = collections.Counter()

    with serve.serve(str(dist), port=0, stream=io.StringIO()) as server:
        for round_number in range(ROUNDS):
            fresh = rng.random() < 0.35
            if fresh:
                # A user's first install: no saved preferences, no add-on folder.
                (home / "config" / "userpref.blend").unlink(missing_ok=True)
                shutil.rmtree(home / "scripts" / "addons" / ADDON, ignore_errors=True)
                figures["rounds from a fresh profile"] += 1
            moment = choose_moment(rng, fresh)
            process = start(home, "churn", server, tmp_path / "churn.json")
            fired = kill_when(process, moment, home, server)
            assert fired, f"round {round_number}: Blender ended before {moment}:\n{output(home)[-3000:]}"
            figures["kills during an update"] += 1
            moments[fired] += 1

            if rng.random() < 0.3:
                # Killed again while the start-up thread registers from the saved record.
                process = start(home, "verify", server, tmp_path / "ignored.json")
                kill_when(process, ("delay", rng.uniform(0.2, 0.9)), home, server)
                figures["kills during a start-up registration"] += 1

            report_file = tmp_path / "verify.json"
            report_file.unlink(missing_ok=True)
            since = len(server.requests)
            process = start(home, "verify", server, report_file)
            process.wait(240)
            shown = output(home)
            context = f"round {round_number} (seed {SEED}), killed at {moment}:\n{shown[-4000:]}"
            assert process.returncode == 0, context
            # Killed between the uninstall's removal of the folder and the new start-up modules,
            # Blender's own saved add-on list names a package that is gone: Blender says so at
            # start, and the manager's start-up thread brings it back.
            shown, gone = BLENDER_FINDS_NO_FOLDER.subn("", shown)
            figures["Blender's own start-up found the add-on folder gone"] += gone
            assert "Traceback" not in shown, context  # nor a start-up thread's exception
            report = json.loads(report_file.read_text())

            assert report["status"] and report["classes"] == CLASSES, context
            assert report["data"] == sha256(bundle) and report["version"] == "1.0.0", context
            assert report["startup_files"] == startup, context
            assert report["told"].startswith("The scene holds"), context
            leftovers = [f for f in report["files"] if f not in ("__init__.py", "auto_load.py")]
            assert all(f in STRANDED or f.startswith(".") for f in leftovers), context
            stranded.update(leftovers)
            downloads = sum(path.endswith(".zip") for path in server.requests[since:])
            if report["came_back"]:
                assert report["saved"] == {"status": True, "data": len(bundle.decode())}, context
                assert report["tips"] == "No update" and downloads == 0, context
                figures["came back whole from the saved record"] += 1
            else:
                assert not report["saved"]["status"], context  # a saved install comes back at start-up
                assert report["tips"] == "INSTALLED", context
                figures["installed again" + (", downloaded" if downloads else " from the saved record")] += 1

    summary = {"seed": SEED, "rounds": ROUNDS, **figures, "moments": dict(sorted(moments.items())),
               "stranded files seen after a round": dict(stranded)}
    print("\nkill rounds:", json.dumps(summary, indent=1))
