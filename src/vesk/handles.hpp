// Object handles and error passing shared by every unit of corvane.vesk.
//
// Ref owns one reference, Borrowed does not; Kept owns one reference for the
// life of the process. A C++ PythonError means "a Python exception is set";
// the require() checks throw it, and edge() turns it back into the NULL / -1
// that CPython expects, adding a traceback entry for the function it leaves.
// CaughtError takes a set exception aside, as an `except` clause holds it.
//
// Builds against CPython 3.9 to 3.13; where the API differs between them, the
// difference stays in this file.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>  // PyFrame_New, for traceback entries

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>  // abi::__forced_unwind
#endif

#if PY_VERSION_HEX < 0x030A0000
// Python 3.9 has no Py_NewRef / Py_XNewRef yet (3.10 API).
inline PyObject* Py_NewRef(PyObject* object) {
    Py_INCREF(object);
    return object;
}
inline PyObject* Py_XNewRef(PyObject* object) {
    Py_XINCREF(object);
    return object;
}
#endif

namespace vesk {

// A place in the module's source, taken at the call site by the default arguments (as
// std::source_location does, which older compilers lack).
struct Where {
    const char* file;
    int line;
    static constexpr Where here(const char* file = __builtin_FILE(), int line = __builtin_LINE()) noexcept {
        return {file, line};
    }
};

// A Python exception is set; file and line say where the C++ code noticed it.
struct PythonError {
    const char* file;
    int line;
};

[[noreturn]] inline void raise_set(Where at = Where::here()) {
    throw PythonError{at.file, at.line};
}

// Sets a Python exception of `type` with `message` and throws.
[[noreturn]] inline void raise(PyObject* type, const char* message,
                               Where at = Where::here()) {
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
    // A daemon thread that wakes while the interpreter finalizes is ended by the interpreter
    // (pthread_exit), which unwinds its C++ frames without the interpreter lock: its
    // references are then left as they are, for the interpreter is going away anyway.
    ~Ref() {
        if (object_ && PyGILState_Check()) Py_DECREF(object_);
    }

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

inline Ref require(PyObject* new_reference, Where at = Where::here()) {
    if (!new_reference) raise_set(at);
    return Ref::steal(new_reference);
}

inline int require_status(int status, Where at = Where::here()) {
    if (status < 0) raise_set(at);
    return status;
}

// ---- names ------------------------------------------------------------------

template <std::size_t size>
struct Literal {
    char chars[size];
    constexpr Literal(const char (&from)[size]) { std::copy_n(from, size, chars); }
};

// "text"_n: the interned string for a fixed text (a name the module looks up, a
// message), made once per process. Lookups by the very same object hit the interpreter's
// attribute caches, where a fresh string per lookup would miss them and refill them each time.
template <Literal literal>
Borrowed operator""_n() {
    static PyObject* interned = nullptr;  // kept for the life of the process
    if (!interned) {
        interned = PyUnicode_InternFromString(literal.chars);
        if (!interned) raise_set();
    }
    return Borrowed(interned);
}

// The interned string for a name known only at run time (the module body's tables).
inline Ref interned(const char* name, Where at = Where::here()) {
    return require(PyUnicode_InternFromString(name), at);
}

// ---- common object operations ------------------------------------------------

inline Ref text(std::string_view value, Where at = Where::here()) {
    return require(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())), at);
}

inline Ref integer(long value, Where at = Where::here()) {
    return require(PyLong_FromLong(value), at);
}

inline Ref none() noexcept { return Ref::borrow(Py_None); }

inline Ref attr(Borrowed object, Borrowed name, Where at = Where::here()) {
    return require(PyObject_GetAttr(object.get(), name.get()), at);
}

inline void set_attr(Borrowed object, Borrowed name, Borrowed value,
                     Where at = Where::here()) {
    require_status(PyObject_SetAttr(object.get(), name.get(), value.get()), at);
}

// Whether `name` may be in the namespace of `type` or of a class in its MRO, as the
// interpreter's type lookup reads them; an error while reading counts as maybe.
inline bool maybe_in_mro(PyTypeObject* type, Borrowed name) noexcept {
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return true;
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(mro); ++index) {
        auto base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, index));
#if PY_VERSION_HEX >= 0x030C0000
        // The built-in types keep their namespace elsewhere from 3.12 on.
        Ref namespace_dict = Ref::steal(PyType_GetDict(base));
#else
        Ref namespace_dict = Ref::borrow(base->tp_dict);
#endif
        if (!namespace_dict || PyDict_GetItemWithError(namespace_dict.get(), name.get())) return true;
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return true;
        }
    }
    return false;
}

// True when getattr(object, name) is sure to raise AttributeError: a class whose
// metaclass looks attributes up the ordinary way, with the name in neither its own
// nor its metaclass's MRO. Saves raising and discarding the error for each class.
inline bool surely_absent(Borrowed object, Borrowed name) noexcept {
    if (!PyType_Check(object.get())) return false;
    PyTypeObject* metatype = Py_TYPE(object.get());
    return metatype->tp_getattro == PyType_Type.tp_getattro && !maybe_in_mro(metatype, name) &&
           !maybe_in_mro(reinterpret_cast<PyTypeObject*>(object.get()), name);
}

// Presence test: any exception raised by the lookup counts as absence.
inline bool has_attr(Borrowed object, Borrowed name) {
    if (surely_absent(object, name)) return false;
    Ref found = Ref::steal(PyObject_GetAttr(object.get(), name.get()));
    if (!found) PyErr_Clear();
    return static_cast<bool>(found);
}

// getattr(object, name, fallback): only AttributeError falls back.
inline Ref attr_or(Borrowed object, Borrowed name, Borrowed fallback,
                   Where at = Where::here()) {
    if (surely_absent(object, name)) return Ref::borrow(fallback);
    PyObject* found = PyObject_GetAttr(object.get(), name.get());
    if (found) return Ref::steal(found);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_set(at);
    PyErr_Clear();
    return Ref::borrow(fallback);
}

inline bool truthy(Borrowed object, Where at = Where::here()) {
    return require_status(PyObject_IsTrue(object.get()), at) != 0;
}

inline Ref item(Borrowed container, Borrowed key, Where at = Where::here()) {
    return require(PyObject_GetItem(container.get(), key.get()), at);
}

inline void set_item(Borrowed container, Borrowed key, Borrowed value,
                     Where at = Where::here()) {
    require_status(PyObject_SetItem(container.get(), key.get(), value.get()), at);
}

inline void del_item(Borrowed container, Borrowed key, Where at = Where::here()) {
    require_status(PyObject_DelItem(container.get(), key.get()), at);
}

// dict.get(key) on a dict: the value, or an empty Ref; an unhashable key raises.
inline Ref lookup(Borrowed dict, Borrowed key, Where at = Where::here()) {
    PyObject* found = PyDict_GetItemWithError(dict.get(), key.get());
    if (!found && PyErr_Occurred()) raise_set(at);
    return Ref::borrow(found);
}

inline bool contains(Borrowed container, Borrowed value, Where at = Where::here()) {
    return require_status(PySequence_Contains(container.get(), value.get()), at) != 0;
}

// left == right, by Python's equality.
inline bool equal(Borrowed left, Borrowed right, Where at = Where::here()) {
    return require_status(PyObject_RichCompareBool(left.get(), right.get(), Py_EQ), at) != 0;
}

// callable(*arguments)
inline Ref call(Borrowed callable, std::initializer_list<Borrowed> arguments = {},
                Where at = Where::here()) {
    static_assert(sizeof(Borrowed) == sizeof(PyObject*));
    auto vector = reinterpret_cast<PyObject* const*>(arguments.begin());
    return require(PyObject_Vectorcall(callable.get(), vector, arguments.size(), nullptr), at);
}

// callable(*positional, **{name: value, ...})
inline Ref call_keywords(Borrowed callable, std::initializer_list<Borrowed> positional,
                         std::initializer_list<std::pair<Borrowed, Borrowed>> keywords,
                         Where at = Where::here()) {
    Ref args = require(PyTuple_New(static_cast<Py_ssize_t>(positional.size())), at);
    Py_ssize_t index = 0;
    for (Borrowed value : positional) PyTuple_SET_ITEM(args.get(), index++, Py_NewRef(value.get()));
    Ref kwargs = require(PyDict_New(), at);
    for (auto& [name, value] : keywords) require_status(PyDict_SetItem(kwargs.get(), name.get(), value.get()), at);
    return require(PyObject_Call(callable.get(), args.get(), kwargs.get()), at);
}

// for item in iterable: body(item). A body that returns bool ends the loop with false.
template <class Body>
void for_each(Borrowed iterable, Body&& body, Where at = Where::here()) {
    Ref iterator = require(PyObject_GetIter(iterable.get()), at);
    while (Ref next = Ref::steal(PyIter_Next(iterator.get()))) {
        if constexpr (std::is_same_v<std::invoke_result_t<Body&, Ref>, bool>) {
            if (!body(std::move(next))) return;
        } else {
            body(std::move(next));
        }
    }
    if (PyErr_Occurred()) raise_set(at);
}

// ---- catching ---------------------------------------------------------------------

// The exception that was set, taken out of the interpreter as an `except` clause holds
// it: test it with matches(), then take value() (the exception is handled) or restore()
// it unchanged and rethrow. Taking nothing aside (no exception set) is allowed.
class CaughtError {
public:
#if PY_VERSION_HEX >= 0x030C0000
    CaughtError() noexcept : raised_(Ref::steal(PyErr_GetRaisedException())) {}
    bool matches(Borrowed type) const noexcept {
        return raised_ && PyErr_GivenExceptionMatches(raised_.get(), type.get());
    }
    // The exception object, carrying its traceback; the error stays caught.
    Borrowed peek_value() noexcept { return raised_; }
    void restore() noexcept { PyErr_SetRaisedException(raised_.release()); }
#else
    CaughtError() noexcept {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (value && traceback) PyException_SetTraceback(value, traceback);
        type_ = Ref::steal(type);
        raised_ = Ref::steal(value);
        traceback_ = Ref::steal(traceback);
    }
    bool matches(Borrowed type) const noexcept { return type_ && PyErr_GivenExceptionMatches(type_.get(), type.get()); }
    Borrowed peek_value() noexcept { return raised_; }
    void restore() noexcept { PyErr_Restore(type_.release(), raised_.release(), traceback_.release()); }
#endif
    // The exception object, carrying its traceback: the error is handled.
    Ref value(Where at = Where::here()) {
        if (!raised_) raise(PyExc_SystemError, "corvane.vesk: no exception to take", at);
        return std::move(raised_);
    }

private:
    Ref raised_;
#if PY_VERSION_HEX < 0x030C0000
    Ref type_, traceback_;
#endif
};

// Runs `body`, catching any Exception it raises: the exception, or nothing.
template <class Body>
Ref error_of(Body&& body) {
    try {
        body();
    } catch (const PythonError&) {
        CaughtError caught;
        if (!caught.matches(PyExc_Exception)) {
            caught.restore();
            throw;
        }
        return caught.value();
    }
    return {};
}

// Runs `body`, swallowing any Exception it raises, silently.
template <class Body>
void ignoring_errors(Body&& body) {
    error_of(std::forward<Body>(body));
}

// ---- the edge back into CPython ------------------------------------------------

// The unit's path as the traceback shows it: the part from "src/vesk/" on.
inline const char* unit_path(const char* file) noexcept {
    const char* found = std::strstr(file, "src/vesk/");
    return found ? found : file;
}

// Appends a traceback entry for `function` to the exception that is set: a frame of
// an empty code object that names the function, the unit and the line, as the
// interpreter's own frames do. If the entry cannot be made, the exception stays as it was.
inline void add_traceback(const char* function, const PythonError& error) noexcept {
    if (!PyErr_Occurred()) return;
    CaughtError raised;  // aside while the frame is made
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(unit_path(error.file), function, error.line)));
    Ref globals = Ref::steal(PyDict_New());
    Ref frame;
    if (code && globals) {
        frame = Ref::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals.get(), nullptr)));
    }
    PyErr_Clear();
    raised.restore();
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

// Runs `body` for CPython: a PythonError becomes NULL with the exception kept and
// a traceback entry naming `function`; a C++ allocation failure becomes MemoryError.
// The thread's end by pthread_exit (a daemon thread at the interpreter's finalization)
// passes through: stopped here, it would abort the process. So neither this nor the
// entries that call it are noexcept.
template <class Body>
PyObject* edge(const char* function, Body&& body) {
    try {
        return body().release();
    } catch (const PythonError& error) {
        add_traceback(function, error);
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "corvane.vesk: unexpected C++ exception");
        return nullptr;
    }
}

}  // namespace vesk
