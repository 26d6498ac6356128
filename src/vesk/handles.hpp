// Object handles and error passing shared by every unit of corvane.vesk.
//
// Ref owns one reference, Borrowed does not; Kept owns one reference for the
// life of the process. A C++ PythonError means "a Python exception is set";
// the require() checks throw it, and edge() turns it back into the NULL / -1
// that CPython expects, adding a traceback entry for the function it leaves.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <initializer_list>
#include <new>
#include <source_location>
#include <string_view>
#include <utility>

namespace vesk {

// A Python exception is set; file and line say where the C++ code noticed it.
struct PythonError {
    const char* file;
    int line;
};

[[noreturn]] inline void raise_set(std::source_location at = std::source_location::current()) {
    throw PythonError{at.file_name(), static_cast<int>(at.line())};
}

// Sets a Python exception of `type` with `message` and throws.
[[noreturn]] inline void raise(PyObject* type, const char* message,
                               std::source_location at = std::source_location::current()) {
    PyErr_SetString(type, message);
    raise_set(at);
}

class Borrowed {
public:
    constexpr Borrowed() noexcept = default;
    constexpr Borrowed(PyObject* object) noexcept : object_(object) {}
    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    bool is(Borrowed other) const noexcept { return object_ == other.object_; }

private:
    PyObject* object_ = nullptr;
};

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference.
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Adds a reference of its own to a borrowed one.
    static Ref borrow(Borrowed object) noexcept { return Ref(Py_XNewRef(object.get())); }

    Ref(const Ref& other) noexcept : object_(Py_XNewRef(other.object_)) {}
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller (for CPython, which takes new references).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void reset() noexcept { Py_CLEAR(object_); }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    operator Borrowed() const noexcept { return Borrowed(object_); }
    bool is(Borrowed other) const noexcept { return object_ == other.get(); }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// A reference held until the process ends. It is never released, because
// releasing it from a static destructor would run after the interpreter is gone.
class Kept {
public:
    Borrowed get() const noexcept { return Borrowed(object_); }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    void keep(Borrowed object) noexcept {
        PyObject* old = std::exchange(object_, Py_XNewRef(object.get()));
        Py_XDECREF(old);
    }
    void forget() noexcept { keep(Borrowed()); }

private:
    PyObject* object_ = nullptr;
};

// ---- checks ---------------------------------------------------------------

inline Ref require(PyObject* new_reference, std::source_location at = std::source_location::current()) {
    if (!new_reference) raise_set(at);
    return Ref::steal(new_reference);
}

inline int require_status(int status, std::source_location at = std::source_location::current()) {
    if (status < 0) raise_set(at);
    return status;
}

// ---- common object operations ------------------------------------------------

inline Ref text(std::string_view value, std::source_location at = std::source_location::current()) {
    return require(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())), at);
}

inline Ref integer(long value, std::source_location at = std::source_location::current()) {
    return require(PyLong_FromLong(value), at);
}

inline Ref none() noexcept { return Ref::borrow(Py_None); }

inline Ref boolean(bool value) noexcept { return Ref::borrow(value ? Py_True : Py_False); }

inline Ref attr(Borrowed object, const char* name, std::source_location at = std::source_location::current()) {
    return require(PyObject_GetAttrString(object.get(), name), at);
}

inline Ref attr(Borrowed object, Borrowed name, std::source_location at = std::source_location::current()) {
    return require(PyObject_GetAttr(object.get(), name.get()), at);
}

inline void set_attr(Borrowed object, const char* name, Borrowed value,
                     std::source_location at = std::source_location::current()) {
    require_status(PyObject_SetAttrString(object.get(), name, value.get()), at);
}

// Presence test: any exception raised by the lookup counts as absence.
inline bool has_attr(Borrowed object, const char* name) {
    Ref found = Ref::steal(PyObject_GetAttrString(object.get(), name));
    if (!found) PyErr_Clear();
    return static_cast<bool>(found);
}

// getattr(object, name, fallback): only AttributeError falls back.
inline Ref attr_or(Borrowed object, const char* name, Borrowed fallback,
                   std::source_location at = std::source_location::current()) {
    PyObject* found = PyObject_GetAttrString(object.get(), name);
    if (found) return Ref::steal(found);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_set(at);
    PyErr_Clear();
    return Ref::borrow(fallback);
}

inline bool truthy(Borrowed object, std::source_location at = std::source_location::current()) {
    return require_status(PyObject_IsTrue(object.get()), at) != 0;
}

inline Ref item(Borrowed container, Borrowed key, std::source_location at = std::source_location::current()) {
    return require(PyObject_GetItem(container.get(), key.get()), at);
}

inline void set_item(Borrowed container, Borrowed key, Borrowed value,
                     std::source_location at = std::source_location::current()) {
    require_status(PyObject_SetItem(container.get(), key.get(), value.get()), at);
}

inline void del_item(Borrowed container, Borrowed key, std::source_location at = std::source_location::current()) {
    require_status(PyObject_DelItem(container.get(), key.get()), at);
}

inline bool contains(Borrowed container, Borrowed value, std::source_location at = std::source_location::current()) {
    return require_status(PySequence_Contains(container.get(), value.get()), at) != 0;
}

// callable(*arguments)
inline Ref call(Borrowed callable, std::initializer_list<Borrowed> arguments = {},
                std::source_location at = std::source_location::current()) {
    static_assert(sizeof(Borrowed) == sizeof(PyObject*));
    auto vector = reinterpret_cast<PyObject* const*>(arguments.begin());
    return require(PyObject_Vectorcall(callable.get(), vector, arguments.size(), nullptr), at);
}

// callable(*positional, **{names[i]: keyword_values[i]})
inline Ref call_keywords(Borrowed callable, std::initializer_list<Borrowed> positional,
                         std::initializer_list<std::pair<const char*, Borrowed>> keywords,
                         std::source_location at = std::source_location::current()) {
    Ref args = require(PyTuple_New(static_cast<Py_ssize_t>(positional.size())), at);
    Py_ssize_t index = 0;
    for (Borrowed value : positional) PyTuple_SET_ITEM(args.get(), index++, Py_NewRef(value.get()));
    Ref kwargs = require(PyDict_New(), at);
    for (auto& [name, value] : keywords) require_status(PyDict_SetItemString(kwargs.get(), name, value.get()), at);
    return require(PyObject_Call(callable.get(), args.get(), kwargs.get()), at);
}

// ---- catching ---------------------------------------------------------------------

// The exception that was set, taken out of the interpreter, for an `except` clause:
// test it with matches(), then either take value() (the exception is handled) or
// rethrow() it unchanged.
class CaughtError {
public:
    CaughtError() noexcept {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        type_ = Ref::steal(type);
        value_ = Ref::steal(value);
        traceback_ = Ref::steal(traceback);
    }
    bool matches(Borrowed type) const noexcept {
        return type_ && PyErr_GivenExceptionMatches(type_.get(), type.get());
    }
    // The exception object, normalised, carrying its traceback.
    Ref value(std::source_location at = std::source_location::current()) {
        PyObject *type = type_.release(), *value = value_.release(), *traceback = traceback_.release();
        PyErr_NormalizeException(&type, &value, &traceback);
        Ref owned_type = Ref::steal(type), owned_value = Ref::steal(value), owned_traceback = Ref::steal(traceback);
        if (!owned_value) raise_set(at);
        if (owned_traceback) PyException_SetTraceback(owned_value.get(), owned_traceback.get());
        return owned_value;
    }
    // The exception object, normalised in place; the error stays caught.
    Borrowed peek_value() noexcept {
        PyObject *type = type_.release(), *value = value_.release(), *traceback = traceback_.release();
        PyErr_NormalizeException(&type, &value, &traceback);
        type_ = Ref::steal(type);
        value_ = Ref::steal(value);
        traceback_ = Ref::steal(traceback);
        return value_;
    }
    // Puts the exception back as it was; the caller then rethrows its PythonError.
    void restore() noexcept { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }

private:
    Ref type_, value_, traceback_;
};

// ---- the edge back into CPython ------------------------------------------------

// The unit's path as the traceback shows it: the part from "src/vesk/" on.
inline const char* unit_path(const char* file) noexcept {
    const char* found = std::strstr(file, "src/vesk/");
    return found ? found : file;
}

// Appends a traceback entry for `function` to the exception that is set.
inline void add_traceback(const char* function, const PythonError& error) noexcept {
    if (PyErr_Occurred()) _PyTraceback_Add(function, unit_path(error.file), error.line);
}

// Runs `body` for CPython: a PythonError becomes NULL with the exception kept and
// a traceback entry naming `function`; a C++ allocation failure becomes MemoryError.
template <class Body>
PyObject* edge(const char* function, Body&& body) noexcept {
    try {
        return body().release();
    } catch (const PythonError& error) {
        add_traceback(function, error);
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "corvane.vesk: unexpected C++ exception");
        return nullptr;
    }
}

}  // namespace vesk
