"""The demo: Tellmora published, served on loopback, installed, updated, restarted
from the cached bundle with the server stopped and again with it back, and
uninstalled by corvane.vesk in Debian's Blender."""

import importlib.metadata
import io
import shutil
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "blender"))
import blender_session as session  # noqa: E402

from corvane import publish, serve  # noqa: E402

IN_BLENDER = Path(__file__).resolve().parent / "demo_in_blender.py"

# For a packaged host in the bpy module: the interpreter's own corvane (the build that
# sits beside bpy) stays out of sight, modules and metadata, so that the package's
# copy is the one imported and reported.
PACKAGED_CORVANE_ONLY = """\
import importlib.machinery, importlib.metadata, sys, sysconfig
class _PackagedCorvaneOnly:
    own = {sysconfig.get_paths()["purelib"], sysconfig.get_paths()["platlib"]}
    @classmethod
    def _path(cls):
        return [p for p in sys.path if p not in cls.own]
    @classmethod
    def find_spec(cls, name, path=None, target=None):
        if name != "corvane":
            return None
        found = importlib.machinery.PathFinder.find_spec(name, cls._path())
        if found is None:
            raise ModuleNotFoundError("No module named 'corvane'", name=name)
        return found
    @classmethod
    def find_distributions(cls, context=importlib.metadata.DistributionFinder.Context()):
        if context.name != "corvane":
            return iter(())
        return importlib.metadata.MetadataPathFinder.find_distributions(
            importlib.metadata.DistributionFinder.Context(name="corvane", path=cls._path()))
sys.meta_path.insert(0, _PackagedCorvaneOnly)
"""


def say(text=""):
    print(text, flush=True)


def next_release_source(temp):
    """Tellmora's sources as they stand for 1.1.0: the same code, a new bl_info version."""
    source = Path(temp) / "tellmora-1.1.0" / "tellmora"
    shutil.copytree(session.TELLMORA_SOURCE, source, ignore=shutil.ignore_patterns("__pycache__"))
    init = source / "__init__.py"
    init.write_text(init.read_text().replace('"version": (1, 0, 0)', '"version": (1, 1, 0)'))
    return source


def run_phase(home, phase, dist, next_source, *, factory, extra_env=None, module_python=None, online=True):
    """One Blender session of the demo: Debian's Blender, or the bpy module when
    `module_python` names an interpreter that has it. `online`: Blender's online access
    (4.2 and later) on or off. Returns the session's run (process, report)."""
    env = {"CORVANE_DEMO_PHASE": phase, "CORVANE_DEMO_SOURCE": str(next_source), "CORVANE_DEMO_DIST": str(dist),
           **(extra_env or {})}
    packaged = bool(env.get("CORVANE_DEMO_PACKAGE"))
    # Nothing of the checkout on the session's sys.path: a packaged host's session starts
    # outside it too (`-c` puts the working folder on sys.path).
    return session.run(IN_BLENDER, home, module=module_python, factory=factory, online=online, env=env, path=(),
                       before_bpy=PACKAGED_CORVANE_ONLY if packaged else "", cwd=home if packaged else None,
                       timeout=600)


def run_blender(home, phase, dist, next_source, factory):
    process = run_phase(home, phase, dist, next_source, factory=factory).process
    for line in process.stdout.splitlines():
        if line.startswith("DEMO| "):
            say("  " + line[6:] if line[6:] else "")
    if process.returncode != 0:
        say(f"Blender exited with {process.returncode}:")
        say((process.stdout + process.stderr)[-4000:])
    return process.returncode == 0


def main():
    with tempfile.TemporaryDirectory(prefix="corvane-demo-") as temp:
        temp = Path(temp)
        dist, home = temp / "dist", temp / "profile"
        say(f"corvane {importlib.metadata.version('corvane')} demo in Debian's Blender "
            f"({session.blender_version_line()})")

        say()
        say("== The maker publishes Tellmora 1.0.0")
        release = publish.publish(str(session.TELLMORA_SOURCE), "1.0.0", str(dist))
        say(f"  {release['archive']}: modules {release['modules']}")

        log = io.StringIO()
        try:
            server = serve.serve(str(dist), stream=log)  # the address the host add-on names (SERVICE_URL)
        except OSError as error:
            say(f"cannot serve on {serve.DEFAULT_HOST}:{serve.DEFAULT_PORT}: {error}")
            return 1
        with server:
            say(f"== Serving {dist} at {server.url}")
            session.install_into_profile(home)
            say(f"== A Blender user profile in {home}, with corvane in scripts/modules "
                "and the host add-on in scripts/addons")

            next_source = next_release_source(temp)
            ok = run_blender(home, "first", dist, next_source, factory=True)
            downloads = [p for p in server.requests if p.endswith(".zip")]
            say()
            say(f"  server: {len(server.requests)} requests so far, archives downloaded: {downloads}")
        if ok:
            say()
            say(f"== The server stops: nothing answers at {server.url}")
            ok = run_blender(home, "offline", dist, next_source, factory=False)
        if ok:
            server = serve.serve(str(dist), stream=log)
            say()
            say(f"== The server is back at {server.url}")
            with server:
                ok = run_blender(home, "second", dist, next_source, factory=False)
                say()
                say(f"  server during the second start: {server.requests}")
                archives = [p for p in server.requests if p.endswith(".zip")]
                say(f"  archives downloaded during the second start: {len(archives)}")
                ok = ok and not archives
        say()
        say("Demo " + ("complete: every step did what it says." if ok else "FAILED."))
        return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
