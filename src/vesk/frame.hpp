// What the units of corvane.vesk share beyond the handles: the module's
// namespace, and the entries from which the module body defines its functions.
#pragma once

#include "handles.hpp"

#include <array>

namespace vesk {

// The full dotted name the module is imported under.
inline constexpr const char* module_name = "corvane.vesk";

// A module function's arguments as its parameters list them; an optional one not given is empty.
using Arguments = std::array<PyObject*, 3>;

// A module function's entry: runs at the edge with the parsed arguments.
using Entry = Ref (*)(Borrowed module, const Arguments& arguments);

// The entries of the module functions, each defined in the unit that holds its work;
// the module body's table (frame unit) names them with their parameters.
Ref init_entry(Borrowed module, const Arguments& arguments);
Ref operator_entry(Borrowed module, const Arguments& arguments);
Ref register_entry(Borrowed module, const Arguments& arguments);
Ref unregister_all_entry(Borrowed module, const Arguments& arguments);
Ref unregister_entry(Borrowed module, const Arguments& arguments);
Ref get_addons_path_entry(Borrowed module, const Arguments& arguments);
Ref import_module_entry(Borrowed module, const Arguments& arguments);
Ref get_ordered_classes_entry(Borrowed module, const Arguments& arguments);
Ref update_package_entry(Borrowed module, const Arguments& arguments);

// The module global `name`, read from the module's namespace at the moment of use
// and then from the built-ins, as a Python module's code reads its globals.
Ref global(Borrowed module, Borrowed name, Where at = Where::here());

// Assigns the module global `name`.
void set_global(Borrowed module, Borrowed name, Borrowed value,
                Where at = Where::here());

// str(value)
inline Ref as_text(Borrowed value, Where at = Where::here()) {
    return require(PyObject_Str(value.get()), at);
}

// The text of the error that Blender's add-ons meet when the user has turned online
// access off (Blender 4.2 and later), and whether that is so now: `bpy.app.online_access`
// read at the moment of asking; a Blender without it is always online.
inline constexpr const char* online_access_disabled =
    "Online access is disabled in Blender's preferences (System > Network).";
bool online_access_off(Borrowed module);

// ---- the host's lifetime ----------------------------------------------------------

// The registry and its records are Blender memory that Blender frees when the host add-on
// is disabled. `init` and `unregister_all` begin a new generation of the host; a call
// still running from an earlier one (a worker waiting on a server when the host was
// unticked) stops at its next touch of the registry or a record with RuntimeError.
void begin_host_generation();
// The generation a start-up thread that `init` starts now belongs to.
unsigned long long host_generation();

// Marks a module function's run on this thread. The outermost one takes the generation
// it belongs to: the current one, or that of the `init` that started its thread.
class InFlight {
public:
    explicit InFlight(Borrowed module);
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;
    ~InFlight();
};

// Whether the host this call belongs to is still there.
bool host_alive() noexcept;
// Raises RuntimeError when it is not; called before every touch of `_vesk` or a record.
void check_host(Where at = Where::here());
// _vesk, for a call in flight.
Ref registry(Borrowed module, Where at = Where::here());
// record.name, read or written by a call in flight.
inline Ref field(Borrowed record, Borrowed name, Where at = Where::here()) {
    check_host(at);
    return attr(record, name, at);
}
inline void set_field(Borrowed record, Borrowed name, Borrowed value, Where at = Where::here()) {
    check_host(at);
    set_attr(record, name, value, at);
}

// ---- the network -----------------------------------------------------------------------

// requests.get(address), with `timeout=` when one is given (else requests' unbounded wait),
// streamed when asked. An https address redirected to an http one is refused
// (RegisterException 1024) before the answer's body is read.
Ref web_get(Borrowed module, Borrowed address, Borrowed timeout = {}, bool stream = false,
            Where at = Where::here());

// Raises RegisterException([code, tag, message]).
[[noreturn]] void raise_register_exception(Borrowed module, long code, const char* tag, Borrowed message,
                                           Where at = Where::here());

// The text the user knows an add-on by: its record's title, else its name.
Ref addon_title(Borrowed record);

// For an index that answers 404: "<title> is not published on the server (HTTP 404).";
// otherwise nothing.
Ref not_published(Borrowed response, Borrowed record);

// Removes whatever is at `path` (a file, a link, a folder with its contents); nothing there is no error.
void remove_path(Borrowed module, Borrowed path);

// ---- between the units -------------------------------------------------------------------

// Downloads, verifies and unpacks the add-on's newest release into its folder, where the
// next load adopts it, without touching its record (packages unit).
void download_release(Borrowed module, Borrowed name, Borrowed url);

// An add-on published in the package form is served to Python's import system from its
// cached bundle by a finder for its name, and Blender enables it itself (packages unit).
// Whether such a finder serves `name` now:
bool serves_package(Borrowed module, Borrowed name);
// At start-up, before Blender enables the add-on (or after, when it ran the stand-in on
// disk): serves the installed record's cached bundle. Nothing for a record of the other form.
void start_package_from_cache(Borrowed module, Borrowed record);
// Keeps the code compiled for the record's add-on in its `code`, for the next start.
void keep_compiled_code(Borrowed module, Borrowed record);
// Disables the add-on in Blender, removes its finder and takes its modules out of sys.modules.
void take_down_package(Borrowed module, Borrowed name);

// Whether the calling thread is the interpreter's main thread (Blender's).
bool on_main_thread(Borrowed module);

// print(value, file=sys.<stream>) for a diagnostic. A daemon thread (a start-up
// registration, the host's worker) is frozen wherever it stands when the interpreter
// finalizes; frozen inside a buffered stream's write, it would hold the stream's lock,
// and the flush at shut-down would abort the process. So from a daemon thread the text
// goes straight to the stream's file descriptor, and not at all once finalizing began.
void console(Borrowed module, Borrowed value, Borrowed stream);

// The add-on update check: compares the record's version with the distribution
// server's index and writes `update` and `tips`; starts the manager's own update
// when `manager_update` is non-zero. `timeout` as for web_get. Internal to the module
// (manager unit).
void check_addon_update(Borrowed module, Borrowed addon, Borrowed manager_update, Borrowed timeout = {});

// The release of an add-on's index (newest first) to install and offer: the first whose
// "blender", the oldest Blender it runs in, the running Blender (bpy.app.version) meets;
// a release without one suits any. An empty Ref when none does. An empty index, or one
// that is no array, raises as its element 0 is looked up (manager unit).
Ref release_for_blender(Borrowed module, Borrowed releases);

// ".".join(str(it) for it in numbers): a release's version as the user reads it (manager unit).
Ref joined_version(Borrowed numbers);

// "<title> <version> needs Blender X.Y or later", for the index's newest release.
Ref newer_blender_needed(Borrowed addon, Borrowed releases);

}  // namespace vesk
