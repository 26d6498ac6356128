// What the units of corvane.vesk share beyond the handles: the module's
// namespace, and the function tables from which the module body defines its functions.
#pragma once

#include "handles.hpp"

#include <span>

namespace vesk {

// The full dotted name the module is imported under.
inline constexpr const char* module_name = "corvane.vesk";

// Module-level functions each unit contributes. The body defines them in its own
// fixed order, whichever unit holds them. The entries live as long as the process.
std::span<PyMethodDef> frame_functions();
std::span<PyMethodDef> registration_functions();
std::span<PyMethodDef> packages_functions();
std::span<PyMethodDef> manager_functions();

// The module global `name`, read from the module's namespace at the moment of use
// and then from the built-ins, as a Python module's code reads its globals.
Ref global(Borrowed module, const char* name, std::source_location at = std::source_location::current());
// The same, by a name object (an interned one hashes once for all lookups).
Ref global(Borrowed module, Borrowed name, std::source_location at = std::source_location::current());

// Assigns the module global `name`.
void set_global(Borrowed module, const char* name, Borrowed value,
                std::source_location at = std::source_location::current());

// Parses a module function's arguments with the interpreter's own rules; `format`
// is a PyArg_ParseTupleAndKeywords format such as "O|O:register".
template <class... Out>
bool parse_arguments(PyObject* args, PyObject* kwargs, const char* format, const char* const* names,
                     Out**... out) noexcept {
    return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), out...) != 0;
}

// value == "literal", by Python's equality.
inline bool equals_text(Borrowed value, const char* literal, std::source_location at = std::source_location::current()) {
    Ref other = text(literal, at);
    return require_status(PyObject_RichCompareBool(value.get(), other.get(), Py_EQ), at) != 0;
}

// str(value)
inline Ref as_text(Borrowed value, std::source_location at = std::source_location::current()) {
    return require(PyObject_Str(value.get()), at);
}

// The add-on update check: compares the record's version with the distribution
// server's index and writes `update` and `tips`; starts the manager's own update
// when `manager_update` is non-zero. Internal to the module (manager unit).
void check_addon_update(Borrowed module, Borrowed addon, Borrowed manager_update);

}  // namespace vesk
