"""Where an install's or a start-up's time goes, measured inside Blender.

`StageClock` times the floor's stages through its `mark` callback. `ModuleStages`
times the calls corvane.vesk makes through its globals (it reads every global at the
moment of use, so a timed stand-in put into its namespace is what it calls):
gc.collect, typing.get_type_hints, compile, exec, requests.get (the request and the
body), the archive's file reads and writes, the digest's update, and the zip archive
(opening it and unpacking). What is not under one of those is "the rest": the
module's own code and the calls into Blender (register_class, the record's fields).
"""

import builtins
import time
import types


class StageClock:
    def __init__(self):
        self.seconds = {}
        self.last = time.perf_counter()

    def restart(self):
        self.last = time.perf_counter()

    def mark(self, stage):
        now = time.perf_counter()
        self.seconds[stage] = self.seconds.get(stage, 0.0) + now - self.last
        self.last = now


class _TimedFile:
    """A file object whose read and write are timed; everything else passes through."""

    def __init__(self, stages, file, read_stage="file reads", write_stage="file writes"):
        self._file = file
        if hasattr(file, "read"):
            self.read = stages.timed(read_stage, file.read)
        if hasattr(file, "write"):
            self.write = stages.timed(write_stage, file.write)

    def __getattr__(self, name):
        return getattr(self._file, name)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return self._file.__exit__(*exc)


class ModuleStages:
    NAMES = ("gc.collect", "typing.get_type_hints", "compile", "exec", "requests.get", "file reads",
             "file writes", "md5.update", "zip archive")

    def __init__(self):
        self.seconds = dict.fromkeys(self.NAMES, 0.0)
        self.calls = dict.fromkeys(self.NAMES, 0)

    def timed(self, stage, function):
        seconds, calls, clock = self.seconds, self.calls, time.perf_counter

        def timed_call(*args, **kwargs):
            started = clock()
            try:
                return function(*args, **kwargs)
            finally:
                seconds[stage] += clock() - started
                calls[stage] += 1

        return timed_call

    def install(self, vesk):
        """Puts timed stand-ins into the module's namespace."""
        import gc
        import hashlib
        import requests
        import typing
        import zipfile

        namespace = vars(vesk)
        stages = self

        class TimedMd5:
            def __init__(self):
                self._md5 = hashlib.md5()
                self.update = stages.timed("md5.update", self._md5.update)

            def hexdigest(self):
                return self._md5.hexdigest()

        def timed_zip(*args, **kwargs):
            archive = stages.timed("zip archive", zipfile.ZipFile)(*args, **kwargs)
            for method in ("infolist", "extractall", "close"):
                setattr(archive, method, stages.timed("zip archive", getattr(archive, method)))
            open_member = stages.timed("zip archive", archive.open)
            # A member read chunk by chunk is decompressed as it is read.
            archive.open = lambda *a, **k: _TimedFile(stages, open_member(*a, **k), "zip archive", "zip archive")
            return archive

        def timed_open(*args, **kwargs):
            return _TimedFile(stages, builtins.open(*args, **kwargs))

        namespace["gc"] = types.SimpleNamespace(collect=self.timed("gc.collect", gc.collect))
        namespace["typing"] = types.SimpleNamespace(
            get_type_hints=self.timed("typing.get_type_hints", typing.get_type_hints))
        namespace["compile"] = self.timed("compile", compile)
        namespace["exec"] = self.timed("exec", exec)
        namespace["requests"] = types.SimpleNamespace(get=self.timed("requests.get", requests.get))
        namespace["hashlib"] = types.SimpleNamespace(md5=TimedMd5)
        namespace["zipfile"] = types.SimpleNamespace(ZipFile=timed_zip)
        namespace["open"] = timed_open
