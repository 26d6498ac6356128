// What the units of corvane.vesk share beyond the handles: the module's
// namespace, and the function tables from which the module body defines its functions.
#pragma once

#include "handles.hpp"

#include <span>

namespace vesk {

// The full dotted name the module is imported under.
inline constexpr const char* module_name = "corvane.vesk";

// A module-level function's C entry: parses its arguments, then runs its body at the edge.
using Entry = PyObject* (*)(PyObject* module, PyObject* args, PyObject* kwargs);

// One entry of a function table. `doc` begins with the text signature, as in
// "name($module, /, a, b=None)\n--\n\n", so that inspect.signature reads it.
template <Entry entry>
PyMethodDef function_entry(const char* name, const char* doc) noexcept {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)), METH_VARARGS | METH_KEYWORDS,
            doc};
}

// Module-level functions each unit contributes. The body defines them in its own
// fixed order, whichever unit holds them. The entries live as long as the process.
std::span<PyMethodDef> frame_functions();
std::span<PyMethodDef> registration_functions();
std::span<PyMethodDef> packages_functions();
std::span<PyMethodDef> manager_functions();

// The module global `name`, read from the module's namespace at the moment of use
// and then from the built-ins, as a Python module's code reads its globals.
Ref global(Borrowed module, Borrowed name, Where at = Where::here());

// Assigns the module global `name`.
void set_global(Borrowed module, Borrowed name, Borrowed value,
                Where at = Where::here());

// Parses a module function's arguments with the interpreter's own rules; `format`
// is a PyArg_ParseTupleAndKeywords format such as "O|O:register".
template <class... Out>
bool parse_arguments(PyObject* args, PyObject* kwargs, const char* format, const char* const* names,
                     Out**... out) noexcept {
    return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), out...) != 0;
}

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

// requests.get(address), with `timeout=` when one is given (else requests' unbounded wait).
Ref web_get(Borrowed module, Borrowed address, Borrowed timeout = {});

// Whether the calling thread is the interpreter's main thread (Blender's).
bool on_main_thread();

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

// "<title> <version> needs Blender X.Y or later", for the index's newest release.
Ref newer_blender_needed(Borrowed addon, Borrowed releases);

}  // namespace vesk
