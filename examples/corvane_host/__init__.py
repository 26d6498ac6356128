"""corvane host: the add-on that carries corvane's add-on manager into Blender.

A maker copies this folder, renames it, and names the add-ons it manages and the
server they come from in the two constants below (here: Tellmora, from the local
server). Its preferences show the managed add-ons and the manager's buttons.

The buttons that talk to the network (Install, Update, Check Update, Update
Manager) run their action on a worker thread, one at a time, so that Blender keeps
drawing meanwhile; the outcome comes back on the main thread through
`bpy.app.timers`. From a script, `bpy.ops.corvane.action(action=...)` runs the
action to its end before it returns, as before.
"""

# The add-ons this host manages, by their names on the server, and the server's address
# (VESK_SERVICE_URL in the environment overrides it, for development).
MANAGED_ADDONS = ("tellmora",)
SERVICE_URL = "http://127.0.0.1:8731"

bl_info = {
    "name": "Corvane Host",
    "author": "corvane",
    "version": (0, 1, 0),
    "blender": (2, 83, 0),  # the oldest Blender the legacy zip serves: Debian's 2.83 (Python 3.9)
    "location": "Edit > Preferences > Add-ons > Corvane Host",
    "description": "Installs, updates and removes the maker's add-ons",
    "category": "System",
}

import os  # noqa: E402
import sys  # noqa: E402
import threading  # noqa: E402
import time  # noqa: E402

import bpy  # noqa: E402

from . import bundled  # noqa: E402

bundled.use_own_copy()
from corvane import vesk  # noqa: E402

bundled.route_manager_updates(vesk)

# The manager's actions as buttons, in the order they are shown: action, label, icon, tooltip.
ACTIONS = (
    ("install", "Install", "IMPORT", "Download, load and register the selected add-on"),
    ("uninstall", "Uninstall", "TRASH", "Unregister the selected add-on and forget its cached code"),
    ("update", "Update", "FILE_REFRESH", "Fetch the newest release of the selected add-on, then replace the installed one"),
    ("check_update", "Check Update", "VIEWZOOM", "Ask the server whether a newer release exists"),
    ("preferences", "Preferences", "PREFERENCES", "Show the selected add-on in Blender's add-on list"),
    ("update_manager", "Update Manager", "PACKAGE", "Update corvane itself from the package index"),
    ("version", "Version", "INFO", "Show the manager's version"),
)

# The actions that wait on a server run on a worker; what the panel says meanwhile.
UNDER_WAY = {
    "install": "Installing {}…",
    "update": "Updating {}…",
    "check_update": "Checking {} for updates…",
    "update_manager": "Updating the add-on manager…",
}
# Refused while a worker runs: the network actions, and Uninstall, which would take the
# add-on away under an install.
CONFLICTING = set(UNDER_WAY) | {"uninstall"}
RECORD_FIELDS = ("status", "update", "version", "data", "tips")


class Job:
    """One network action on a worker thread. The worker is a daemon, so that one waiting
    on a silent server (requests have no time-out) does not hold Blender's exit."""

    def __init__(self, action, record):
        self.action = action
        self.name = record.name if record else None
        self.title = (record.title or record.name) if record else "the add-on"
        # The record as it was: put back if Blender quits before the action ends.
        self.before = {field: getattr(record, field) for field in RECORD_FIELDS} if record else None
        self.text = UNDER_WAY[action].format(self.title)
        self.started = time.monotonic()
        self.shown = 0  # the whole seconds the panel shows as elapsed
        self.loading_file = False  # Blender is loading a file: the action goes on
        self.result = self.error = self.outcome = None
        self.done = threading.Event()
        # Blender quits: this job's worker stops (only this job's: a later one runs on).
        self.quitting = False
        self.parked = threading.Event()
        self.thread = threading.Thread(target=self._work, name=f"corvane {action}", daemon=True)

    def _work(self):
        sys.setprofile(self._park_when_quitting)
        try:
            self.result = vesk.operator(self.action)
        except Exception as error:  # shown to the user on the main thread
            self.error = error
        finally:
            sys.setprofile(None)
            self.done.set()

    def _park_when_quitting(self, frame, event, arg):
        # Called at every Python call and return on the worker: once Blender quits, the worker
        # stops at the next one, so that it writes nothing more into the record Blender saves.
        if self.quitting:
            sys.setprofile(None)
            self.parked.set()
            _never.wait()


_job = None  # the action under way, at most one per host
_never = threading.Event()


def _selected_record():
    prefs = bpy.context.preferences.addons[__name__].preferences
    return prefs.addons[prefs.index] if 0 <= prefs.index < len(prefs.addons) else None


def _refusal(action):
    if _job is not None and action in CONFLICTING:
        return f"Busy: {_job.text}"
    return None


def _start(action):
    global _job
    _job = Job(action, _selected_record())
    _job.thread.start()
    bpy.app.timers.register(_watch, first_interval=0.1, persistent=True)
    return _job


def _redraw_progress():
    for window in bpy.context.window_manager.windows:
        for area in window.screen.areas:
            if area.type == "PREFERENCES":
                area.tag_redraw()


def _watch():
    """The main thread's side of a job: the progress shown, then the outcome."""
    job = _job
    if job is None:
        return None
    if not job.done.is_set():
        # The progress changes once a second; a redraw of the add-on list is not free.
        shown = int(time.monotonic() - job.started)
        if shown != job.shown:
            job.shown = shown
            _redraw_progress()
        return 0.1
    _finish(job)
    return None


def _record(name):
    host = bpy.context.preferences.addons.get(__name__)
    if host is None or name is None or name not in host.preferences.addons:
        return None
    return host.preferences.addons[name]


def _finish(job):
    global _job
    _job = None
    try:
        job.outcome = _outcome(job, _record(job.name))
    except Exception as error:  # the host must not stay busy
        job.outcome = ("ERROR", f"{type(error).__name__}: {error}")
    print(f"corvane: {job.outcome[0]}: {job.outcome[1]}", flush=True)
    for window in bpy.context.window_manager.windows:
        for area in window.screen.areas:
            area.tag_redraw()


def _outcome(job, record):
    """The report for an ended job: the error, the action's answer, or the record's tips."""
    if job.error is None and job.action in ("install", "update") and record is not None and record.status:
        _require_enabled(job, record, _complete_enable(job.name))
    if job.error is not None:
        return "ERROR", f"{type(job.error).__name__}: {job.error}"
    if job.result:
        return "INFO", str(job.result)
    tips = record.tips if record is not None else ""
    failed = tips.startswith("ERROR") or (job.action in ("install", "update") and tips != "INSTALLED")
    return "ERROR" if failed else "INFO", f"{job.title}: {tips or 'done'}"


def _complete_enable(name):
    """An install ends by enabling the add-on in Blender's add-on list. Off the main thread
    Blender refuses that call whenever it is drawing ("can't modify blend data in this
    state"), and the manager lets the refusal pass: it is made here, where it was not.
    Returns what Blender raised, if it did."""
    import addon_utils

    module = sys.modules.get(name)
    try:
        current = (module is not None and getattr(module, "__addon_enabled__", False)
                   and name in bpy.context.preferences.addons
                   and getattr(module, "__time__", None) == os.path.getmtime(module.__file__))
        if not current:
            addon_utils.modules_refresh()
            bpy.ops.preferences.addon_enable(module=name)
    except Exception as error:  # judged by _require_enabled
        return error
    return None


def _require_enabled(job, record, refusal):
    """As the manager judges an install made on the main thread: it holds only when Blender
    has the add-on enabled (its __init__ may fail at import). Otherwise what the install
    registered is taken down, as after a failed install, and the tips say why."""
    import addon_utils

    if all(addon_utils.check(job.name)):
        return
    vesk.unregister(job.name)
    vesk._vesk.installed.pop(job.name, None)
    lines = [line.strip() for line in str(refusal).splitlines() if line.strip()] if refusal else []
    why = (lines[-1].removeprefix("Error: ") if lines
           else type(refusal).__name__ if refusal else "Blender did not find it among its add-ons")
    record.tips = f"Blender could not enable {record.title or record.name}: {why}"


def _in_pip(thread):
    """Whether `thread` is running pip (Update Manager's last step)."""
    frame = sys._current_frames().get(thread.ident)
    while frame is not None:
        if frame.f_globals.get("__name__", "").partition(".")[0] == "pip":
            return True
        frame = frame.f_back
    return False


def _quit_under_way(job):
    """Blender quits while a worker runs: the worker stops where it is and the record gets
    its state from before the action back, so the preferences Blender saves next hold it
    whole. A worker waiting on a server is not waited for; one running pip is, as the
    manager's own update thread is, since pip cut off half-way leaves a broken install."""
    global _job
    if _in_pip(job.thread):
        print("corvane: Blender quits once pip has finished updating the manager", flush=True)
        job.done.wait()
    else:
        job.quitting = True
        job.parked.wait(0.5)
    if _job is job:
        _job = None
    record = _record(job.name)
    if job.done.is_set() or record is None:
        return  # it ended meanwhile: what it wrote is whole
    for field, value in job.before.items():
        setattr(record, field, value)


@bpy.app.handlers.persistent
def _loading_file(*args):
    if _job is not None:
        _job.loading_file = True


@bpy.app.handlers.persistent
def _file_loaded(*args):
    # Loading took the action's operator down: another one watches the action from here on.
    if _job is not None:
        _job.loading_file = False
        bpy.app.timers.register(_watch_again, first_interval=0.01)


def _watch_again():
    manager = bpy.context.window_manager
    if _job is not None and manager.windows:
        _invoke_on(_main_window(manager), watch=True)


def _invoke_on(window, **properties):
    """Invokes the action operator with `window` as its context's window."""
    if hasattr(bpy.context, "temp_override"):  # Blender 3.2 and later
        with bpy.context.temp_override(window=window):
            return bpy.ops.corvane.action("INVOKE_DEFAULT", **properties)
    return bpy.ops.corvane.action({"window": window, "screen": window.screen}, "INVOKE_DEFAULT", **properties)


def _main_window(manager):
    return next((w for w in manager.windows if w.parent is None), manager.windows[0])


class CORVANE_OT_action(bpy.types.Operator):
    """Run one action of the add-on manager on the selected add-on"""

    bl_idname = "corvane.action"
    bl_label = "Add-on Manager Action"
    bl_options = {"INTERNAL"}

    action: bpy.props.EnumProperty(items=[(key, label, tip) for key, label, _, tip in ACTIONS])
    # Only watch the action under way, after a file load took its own operator down.
    watch: bpy.props.BoolProperty(options={"HIDDEN", "SKIP_SAVE"})

    @classmethod
    def description(cls, context, properties):
        return {key: tip for key, _, _, tip in ACTIONS}.get(properties.action, cls.__doc__)

    def execute(self, context):
        refusal = _refusal(self.action)
        if refusal:
            self.report({"WARNING"}, refusal)
            return {"CANCELLED"}
        try:
            result = vesk.operator(self.action)
        except Exception as error:  # shown to the user, never dropped
            self.report({"ERROR"}, f"{type(error).__name__}: {error}")
            return {"CANCELLED"}
        if result:
            self.report({"INFO"}, str(result))
        for window in context.window_manager.windows:
            for area in window.screen.areas:
                area.tag_redraw()
        return {"FINISHED"}

    def invoke(self, context, event):
        if self.watch:
            if _job is None:
                return {"CANCELLED"}
            self.job = _job
        else:
            # A button: the network actions go to a worker (without windows, nothing draws anyway).
            if self.action not in UNDER_WAY or not context.window_manager.windows:
                return self.execute(context)
            refusal = _refusal(self.action)
            if refusal:
                self.report({"WARNING"}, refusal)
                return {"CANCELLED"}
            self.job = _start(self.action)
        # The operator stays until the job ends, to show its outcome as a report. Its handler
        # sits on the main window, which Blender takes down only to quit or to load a file.
        manager = context.window_manager
        main = _main_window(manager)
        if hasattr(context, "temp_override"):
            with context.temp_override(window=main):
                manager.modal_handler_add(self)
        elif context.window == main:
            manager.modal_handler_add(self)
        else:
            # Before Blender 3.2 a handler goes only on the context's own window: an
            # operator invoked on the main window watches the action instead.
            _invoke_on(main, watch=True)
            return {"FINISHED"}
        self.timer = manager.event_timer_add(0.1, window=main)
        _redraw_progress()
        return {"RUNNING_MODAL"}

    def modal(self, context, event):
        if self.job.outcome is None:
            return {"PASS_THROUGH"}
        context.window_manager.event_timer_remove(self.timer)
        self.report({self.job.outcome[0]}, self.job.outcome[1])
        return {"FINISHED", "PASS_THROUGH"}

    def cancel(self, context):
        manager = context.window_manager
        manager.event_timer_remove(self.timer)
        job = self.job
        if job is not _job or job.done.is_set() or job.loading_file:
            return
        if context.window is not None and context.window not in manager.windows[:]:
            # Its window was closed, another main window stays: Blender goes on, and so does
            # the action; another operator watches it from the main window left.
            bpy.app.timers.register(_watch_again, first_interval=0.01)
            return
        _quit_under_way(job)


class CORVANE_UL_addons(bpy.types.UIList):
    def draw_item(self, context, layout, data, item, icon, active_data, active_propname, index):
        row = layout.row(align=True)
        row.label(text=item.title or item.name, icon="CHECKMARK" if item.status else "BLANK1")
        row.label(text=item.version or "-")
        row.label(text="Update available" if item.update else "")


class CorvaneHostPreferences(bpy.types.AddonPreferences):
    bl_idname = __name__

    addons: bpy.props.CollectionProperty(type=vesk.VESKAddonData)
    index: bpy.props.IntProperty(name="Selected add-on")

    def draw(self, context):
        layout = self.layout
        header = layout.row()
        header.label(text="Add-on")
        header.label(text="Version")
        header.label(text="Update")
        layout.template_list("CORVANE_UL_addons", "", self, "addons", self, "index", rows=3)
        _draw_online_access(layout, context)
        buttons = layout.grid_flow(columns=4, even_columns=True, align=True)
        for key, label, icon, _ in ACTIONS:
            cell = buttons.row(align=True)
            cell.enabled = _job is None or key not in CONFLICTING
            cell.operator(CORVANE_OT_action.bl_idname, text=label, icon=icon).action = key
        if _job is not None:
            _draw_progress(layout.box().row())
        if 0 <= self.index < len(self.addons):
            box = layout.box()
            box.label(text="Tips", icon="INFO")
            box.label(text=self.addons[self.index].tips or "-")


def _draw_progress(layout):
    """The action under way, with Blender's own progress ring where it has one (4.0 and
    later; the work has no known length, so the ring turns), else its waiting icon."""
    job = _job
    if job is None:
        return
    elapsed = time.monotonic() - job.started
    text = f"{job.text} {int(elapsed)} s"
    if hasattr(layout, "progress"):
        layout.progress(factor=(elapsed / 8) % 1.0, type="RING", text=text)
    else:
        layout.label(text=text, icon="SORTTIME")


def _draw_online_access(layout, context):
    # Blender 4.2 and later let the user forbid add-ons the network; before, there is no switch.
    if getattr(bpy.app, "online_access", True):
        return
    box = layout.box()
    box.label(text="Online access is off: the manager cannot reach its server.", icon="INTERNET_OFFLINE")
    box.label(text="Installed add-ons run from their saved copies; updates are not checked.")
    box.label(text="Turn it on in Preferences > System > Network, or here:")
    box.prop(context.preferences.system, "use_online_access")


def _declare_record_fields():
    # The record's field declarations are texts naming corvane.vesk's globals.
    fields = vesk.VESKAddonData.__annotations__
    vesk.VESKAddonData.__annotations__ = {
        name: eval(declaration, vars(vesk)) if isinstance(declaration, str) else declaration
        for name, declaration in fields.items()}


_classes = (CORVANE_OT_action, CORVANE_UL_addons)


def register():
    _declare_record_fields()
    bpy.utils.register_class(vesk.VESKAddonData)
    for cls in _classes:
        bpy.utils.register_class(cls)
    bpy.utils.register_class(CorvaneHostPreferences)
    bpy.app.handlers.load_pre.append(_loading_file)
    bpy.app.handlers.load_post.append(_file_loaded)
    vesk.init(bpy.context.preferences.addons[__name__].preferences, addons=MANAGED_ADDONS,
              service_url=SERVICE_URL)


def unregister():
    global _job
    # A worker still running stops at its next touch of the records, which Blender frees
    # with the host's preferences; its outcome is no longer shown. Its record gets its
    # fields from before the action back, so that the preferences the manager saves next
    # hold it whole.
    job, _job = _job, None
    record = _record(job.name) if job is not None and not job.done.is_set() else None
    if record is not None:
        for field, value in job.before.items():
            setattr(record, field, value)
    if bpy.app.timers.is_registered(_watch):
        bpy.app.timers.unregister(_watch)
    bpy.app.handlers.load_pre.remove(_loading_file)
    bpy.app.handlers.load_post.remove(_file_loaded)
    vesk.unregister_all()
    bpy.utils.unregister_class(CorvaneHostPreferences)
    for cls in reversed(_classes):
        bpy.utils.unregister_class(cls)
    bpy.utils.unregister_class(vesk.VESKAddonData)
