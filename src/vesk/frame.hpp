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

}  // namespace vesk
