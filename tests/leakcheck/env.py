"""What the leak-check rows share: `LeakEnv`, fresh for every row.

A row that needs more than a scratch folder adds it here as a lazily built
attribute, so that only the rows using it pay for it, and registers what must
be undone after every round (logs that would otherwise grow) and at the end of
the row:

    @functools.cached_property
    def server(self):
        server = webserver.WebServer()
        self.after_round(server.requests.clear)
        self.on_close(server.close)
        return server
"""

import shutil
import tempfile
import threading
from pathlib import Path

import addon_utils
import bpy


_shared_logs = []


def empty_after_every_round(log):
    """Has the rounds of every row empty `log` (a list), such as a shared server's request log."""
    _shared_logs.append(log)


def round_logs():
    """Logs that grow with every call; each round empties them, so that only the module's growth counts."""
    return [bpy.utils.calls, bpy.ops.calls, addon_utils.calls, bpy.app.translations.calls] + _shared_logs


class LeakEnv:
    def __init__(self, vesk):
        self.vesk = vesk
        self.tmp = Path(tempfile.mkdtemp(prefix="corvane-leak-"))
        self._round_hooks = []
        self._close_hooks = []
        # As the test fixtures leave things: a fresh stand-in, no registry, Blender's user folder in tmp.
        bpy.reset()
        addon_utils.reset()
        vesk._vesk = None
        bpy.utils.scripts_path = str(self.tmp / "scripts")
        self._prepared_mark = len(bpy.types.prepared)
        self._threads = set(threading.enumerate())

    def after_round(self, hook):
        """Calls `hook()` after every round of the row."""
        self._round_hooks.append(hook)

    def on_close(self, hook):
        """Calls `hook()` once the row is done (in reverse order of registration)."""
        self._close_hooks.append(hook)

    def end_round(self):
        for log in round_logs():
            log.clear()
        del bpy.types.prepared[self._prepared_mark:]
        for hook in self._round_hooks:
            hook()

    def join_threads(self, timeout=30.0):
        """Waits for the non-daemon threads started during this row (the module's background work)."""
        for thread in set(threading.enumerate()) - self._threads:
            if not thread.daemon and thread is not threading.current_thread():
                thread.join(timeout)

    def close(self):
        self.join_threads()
        for hook in reversed(self._close_hooks):
            hook()
        self.vesk._vesk = None
        shutil.rmtree(self.tmp, ignore_errors=True)
