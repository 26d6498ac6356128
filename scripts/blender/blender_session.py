"""Starting Blender: Debian's executable or the bpy module, headless or with its interface
under a virtual screen, on a temporary user profile, with corvane and the host add-on in
it; one report comes back (`blender_inside.report` writes it, `run` reads it).

Importable from tests, benchmarks and scripts alike: put this folder on sys.path.
"""

import functools
import importlib.metadata
import json
import os
import re
import shlex
import shutil
import subprocess
import tempfile
import textwrap
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent.parent
HOST_SOURCE = REPO / "examples" / "corvane_host"
TELLMORA_SOURCE = REPO / "examples" / "tellmora"
BLENDER = shutil.which("blender", path="/usr/bin:/usr/local/bin")
REPORT_VARIABLE = "CORVANE_REPORT"
# Where the bootstrap puts the in-Blender helpers (blender_inside) on Blender's sys.path.
SHARED = (str(HERE),)


def installed_corvane():
    """The installed package folder and its dist-info (the build under test)."""
    dist = importlib.metadata.distribution("corvane")
    return Path(dist.locate_file("corvane")), Path(dist._path)


@functools.lru_cache(maxsize=None)
def corvane_site():
    """A folder holding only corvane and its metadata, for another interpreter's sys.path."""
    site = Path(tempfile.mkdtemp(prefix="corvane-site-"))
    package, info = installed_corvane()
    shutil.copytree(package, site / "corvane", ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copytree(info, site / info.name)
    return site


def install_into_profile(home, managed_addons=None, service_url=None):
    """Puts corvane (with its metadata) into the profile's scripts/modules, which
    Blender adds to sys.path at start-up, and the host add-on into scripts/addons;
    `managed_addons` and `service_url`, when given, replace the host's two constants."""
    home = Path(home)
    modules = home / "scripts" / "modules"
    addons = home / "scripts" / "addons"
    modules.mkdir(parents=True, exist_ok=True)
    addons.mkdir(parents=True, exist_ok=True)
    (home / "config").mkdir(exist_ok=True)
    package, info = installed_corvane()
    shutil.copytree(package, modules / "corvane", ignore=shutil.ignore_patterns("__pycache__"), dirs_exist_ok=True)
    shutil.copytree(info, modules / info.name, dirs_exist_ok=True)
    host = addons / HOST_SOURCE.name
    shutil.copytree(HOST_SOURCE, host, ignore=shutil.ignore_patterns("__pycache__"), dirs_exist_ok=True)
    init = host / "__init__.py"
    text = init.read_text()
    for constant, value in (("MANAGED_ADDONS", managed_addons and tuple(managed_addons)), ("SERVICE_URL", service_url)):
        if value is not None:
            text, count = re.subn(rf"^{constant} = .*$", f"{constant} = {value!r}", text, count=1, flags=re.MULTILINE)
            assert count == 1, f"{init} has no {constant}"
    init.write_text(text)
    return home


def blender_wrapper():
    """The command Debian's Blender is started under, if any (CORVANE_BLENDER_WRAPPER, e.g. a
    valgrind command line: scripts/lanes/memcheck.sh), and the factor its time-outs grow by then."""
    return (shlex.split(os.environ.get("CORVANE_BLENDER_WRAPPER", "")),
            float(os.environ.get("CORVANE_BLENDER_TIMEOUT_FACTOR", "1")))


def blender_env(home, extra=None):
    """Debian's Blender takes its Python home from the first python3.x on PATH: /usr/bin first.
    Every user folder it knows (4.2 and later: extensions too), and its home, lies under `home`."""
    home = Path(home)
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "VIRTUAL_ENV"))}
    env["PATH"] = "/usr/bin:/bin:" + env.get("PATH", "")
    env["BLENDER_USER_CONFIG"] = str(home / "config")
    env["BLENDER_USER_SCRIPTS"] = str(home / "scripts")
    env["BLENDER_USER_EXTENSIONS"] = str(home / "extensions")
    # Blender before 3.0 ignores BLENDER_USER_SCRIPTS while that folder does not exist yet
    # and takes the home folder's: that is under `home` too.
    env["HOME"] = str(home)
    env.update(extra or {})
    return env


@functools.lru_cache(maxsize=None)
def blender_version():
    """Debian's Blender's version, e.g. (3, 4, 1) or (4, 3, 2)."""
    with tempfile.TemporaryDirectory(prefix="corvane-version-") as home:
        output = subprocess.run([BLENDER or "blender", "--version"], capture_output=True, text=True,
                                env=blender_env(home), timeout=120).stdout
    found = re.search(r"^Blender (\d+)\.(\d+)\.(\d+)", output, re.MULTILINE)
    if not found:
        raise RuntimeError(f"{BLENDER} --version names no version:\n{output}")
    return tuple(map(int, found.groups()))


def blender_version_line():
    """The first line of Debian's Blender's --version, for people."""
    return subprocess.run([BLENDER or "blender", "--version"], capture_output=True, text=True).stdout.split("\n")[0]


def blender_options(online=True):
    """Options for a run of Debian's Blender: from 4.2 on, add-ons stay off the network
    unless online access is on, and a factory profile has it off. `online` None leaves
    the profile's own setting."""
    if online is None or blender_version() < (4, 2):
        return []
    return ["--online-mode"] if online else ["--offline-mode"]


def allow_online_access(bpy):
    """The same for the bpy module, which takes no command line: the preference, which
    bpy.app.online_access follows at once."""
    if hasattr(bpy.app, "online_access"):
        bpy.context.preferences.system.use_online_access = True


class Run:
    """One Blender session: its process (a Popen until `wait`, then a CompletedProcess-like
    record with stdout and stderr) and the report it wrote."""

    def __init__(self, process, report_file, log, timeout):
        self.process = process
        self.report_file = report_file
        self.log = log
        self.timeout = timeout
        self.report = {}

    def wait(self, timeout=None):
        try:
            stdout, stderr = self.process.communicate(timeout=timeout or self.timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.communicate()
            raise
        if self.log is not None:
            stdout, stderr = Path(self.log).read_text(errors="replace"), ""
        self.process = subprocess.CompletedProcess(self.process.args, self.process.returncode, stdout, stderr)
        self.report = json.loads(self.report_file.read_text()) if self.report_file.exists() else {}
        return self

    @property
    def output(self):
        return self.process.stdout + self.process.stderr

    def __getitem__(self, key):
        return self.report[key]


def start(script, home, *, module=None, interface=False, screen="1280x800", fill_screen=False, factory=True,
          online=True, env=None, path=SHARED, report=None, wrapper=None, timeout=240, cwd=None, log=None,
          before_bpy=""):
    """Starts Blender on the profile `home` running `script` (a file, or Python source
    written into the profile) and returns its `Run`; `run` waits for it too.

    module: an interpreter that has the bpy module, instead of Debian's executable.
    interface: the executable's window and event loop on a virtual screen of `screen`
    (xvfb-run), the window filling it with `fill_screen`; else headless (-b).
    factory: factory settings instead of the profile's saved preferences.
    online: Blender's online access (4.2 and later) on, off, or None: as the profile has it.
    path: folders the script finds first on sys.path (by default the in-Blender helpers).
    report: the JSON file the script's report goes to (default home/report.json).
    wrapper: the command Blender runs under (default CORVANE_BLENDER_WRAPPER, whose
    factor then stretches `timeout`).
    log: a file that takes Blender's output, both streams; else they are kept apart.
    before_bpy: source a bpy module's interpreter runs before importing bpy.
    """
    home = Path(home)
    (home / "config").mkdir(parents=True, exist_ok=True)
    report = Path(report) if report else home / "report.json"
    report.unlink(missing_ok=True)
    if not isinstance(script, Path):
        source, script = textwrap.dedent(script), home / "script.py"
        script.write_text(source)
    if path:
        bootstrap = home / "session_start.py"
        bootstrap.write_text(f"import sys\nsys.path[:0] = {[str(p) for p in path]!r}\n"
                             f"__file__ = {str(script)!r}\n"
                             f"exec(compile(open(__file__).read(), __file__, 'exec'))\n")
        script = bootstrap
    environment = blender_env(home, {REPORT_VARIABLE: str(report), **(env or {})})
    if wrapper is None:
        wrapper, slower = blender_wrapper()
        timeout *= slower
    if module:
        environment["PYTHONPATH"] = str(home / "scripts" / "modules")
        command = [module, "-c", before_bpy + "import bpy\n"
                   "if hasattr(bpy.app, 'online_access'): "
                   f"bpy.context.preferences.system.use_online_access = {bool(online)}\n"
                   f"exec(compile(open({str(script)!r}).read(), {str(script)!r}, 'exec'))"]
    else:
        width, height = screen.split("x")
        command = ((["xvfb-run", "-a", "-s", f"-screen 0 {screen}x24"] if interface else []) + [*wrapper, BLENDER]
                   + ([] if interface else ["-b"]) + (["--factory-startup"] if factory else [])
                   + (["--window-geometry", "0", "0", width, height] if interface and fill_screen else [])
                   + [*blender_options(online), "--python-exit-code", "3", "--python", str(script)])
    if log is not None:
        with open(log, "wb") as out:
            process = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT, env=environment, cwd=cwd)
    else:
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                   env=environment, cwd=cwd)
    return Run(process, report, log, timeout)


def run(script, home, *, check=False, **options):
    """`start`, then waits for Blender to end; with `check`, a non-zero exit raises with its output."""
    finished = start(script, home, **options).wait()
    if check and finished.process.returncode != 0:
        raise AssertionError(f"Blender exited with {finished.process.returncode}:\n{finished.output[-6000:]}")
    return finished
