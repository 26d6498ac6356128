"""What the leak-check rows share: `LeakEnv`, fresh for every row.

A row that needs more than a scratch folder adds it here as a lazily built
attribute, so that only the rows using it pay for it, and registers what must
be undone after every round (logs that would otherwise grow) and at the end of
the row:

    @functools.cached_property
    def server(self):
        server = faultserver.FaultServer()
        self.after_round(server.requests.clear)
        self.on_close(server.close)
        return server
"""

import shutil
import tempfile
import threading
import time
from pathlib import Path

from concurrency_rounds import runs_module_code

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
        self._scripts_path = bpy.utils.scripts_path = str(self.tmp / "scripts")
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
        bpy.utils.scripts_path = self._scripts_path  # a row may reset bpy.utils; its files stay in tmp
        for hook in self._round_hooks:
            hook()

    def join_threads(self, timeout=30.0, daemon_timeout=2.0):
        """Waits for the threads started since the last call: the module's background work, and
        briefly for daemon threads such as a server's request handlers (a server's own thread
        runs on and is left alone from then on)."""
        daemon_deadline = time.monotonic() + daemon_timeout
        for thread in set(threading.enumerate()) - self._threads:
            if thread is not threading.current_thread():
                waits_long = not thread.daemon or runs_module_code(thread)
                thread.join(timeout if waits_long else max(0.0, daemon_deadline - time.monotonic()))
        self._threads = set(threading.enumerate())

    def close(self):
        self.join_threads()
        for hook in reversed(self._close_hooks):
            hook()
        self.vesk._vesk = None
        shutil.rmtree(self.tmp, ignore_errors=True)
