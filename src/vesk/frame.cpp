// The module frame: creation and body of corvane.vesk, its globals, the add-on
// record and error types, and the translation table.
#include "frame.hpp"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <utility>

namespace vesk {
namespace {

// ---- the module functions ------------------------------------------------------------

// A function the module body makes: its name, its parameters (a PyArg_ParseTupleAndKeywords
// format of O, | and $, and their names) and its entry. From these come its argument
// parsing, its traceback entry's name and its text signature.
struct Function {
    const char* name;
    const char* format;
    std::array<const char*, std::tuple_size_v<Arguments> + 1> parameters;  // ends with nullptr
    Entry entry;
};

// The module's functions, in the order the body defines them.
constexpr Function module_functions[] = {
    {"init", "O|$OO", {"prefs", "addons", "service_url"}, init_entry},
    {"operator", "O", {"action"}, operator_entry},
    {"register", "O|O", {"addon", "action"}, register_entry},
    {"unregister_all", "", {}, unregister_all_entry},
    {"unregister", "O", {"name"}, unregister_entry},
    {"get_addons_path", "", {}, get_addons_path_entry},
    {"__import_module__", "OO", {"name", "url"}, import_module_entry},
    {"__get_ordered_classes__", "O", {"modules"}, get_ordered_classes_entry},
    {"update_package", "O", {"package"}, update_package_entry},
};

// A text put together at compile time, for a function's format and signature.
struct FixedText {
    std::array<char, 128> chars{};
    std::size_t length = 0;
    constexpr void append(const char* part) {
        for (; *part; ++part) {
            if (length + 1 >= chars.size()) throw "a function's text is longer than FixedText holds";
            chars[length++] = *part;
        }
    }
};

// Whether the format names as many parameters as the row, within what Arguments holds.
constexpr bool well_formed(const Function& function) {
    std::size_t formats = 0;
    for (const char* mark = function.format; *mark; ++mark) {
        if (*mark == 'O') {
            ++formats;
        } else if (*mark != '|' && *mark != '$') {
            return false;
        }
    }
    std::size_t names = 0;
    while (names < function.parameters.size() && function.parameters[names]) ++names;
    return formats == names && names < function.parameters.size();
}

// "format:name", as PyArg_ParseTupleAndKeywords names the function in its errors.
constexpr FixedText parse_format(const Function& function) {
    FixedText format;
    format.append(function.format);
    format.append(":");
    format.append(function.name);
    return format;
}

// "name($module, /, a, *, b=None)\n--\n\n": the text signature inspect.signature reads.
// An optional parameter defaults to None.
constexpr FixedText signature_doc(const Function& function) {
    FixedText doc;
    doc.append(function.name);
    doc.append("($module, /");
    bool optional = false;
    std::size_t index = 0;
    for (const char* mark = function.format; *mark; ++mark) {
        if (*mark == '|') {
            optional = true;
        } else if (*mark == '$') {
            doc.append(", *");
        } else {
            doc.append(", ");
            doc.append(function.parameters[index++]);
            if (optional) doc.append("=None");
        }
    }
    doc.append(")\n--\n\n");
    return doc;
}

template <const auto& table, std::size_t index>
constexpr FixedText function_format = parse_format(table[index]);

template <const auto& table, std::size_t index>
constexpr FixedText function_doc = signature_doc(table[index]);

// The C function CPython calls for row `index` of `table`.
template <const auto& table, std::size_t index>
PyObject* call_function(PyObject* module, PyObject* args, PyObject* kwargs) {
    static_assert(well_formed(table[index]), "a function's format and parameter names disagree");
    const Function& function = table[index];
    Arguments arguments{};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, function_format<table, index>.chars.data(),
                                     const_cast<char**>(function.parameters.data()), &arguments[0], &arguments[1],
                                     &arguments[2])) {
        return nullptr;
    }
    return edge(function.name, [&] { return function.entry(module, arguments); });
}

template <const auto& table, std::size_t... index>
std::array<PyMethodDef, sizeof...(index)> method_definitions(std::index_sequence<index...>) {
    return {{{table[index].name,
              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_function<table, index>)),
              METH_VARARGS | METH_KEYWORDS, function_doc<table, index>.chars.data()}...}};
}

// The definitions CPython makes `table`'s functions from; they live as long as the process.
template <const auto& table>
std::array<PyMethodDef, std::size(table)> definitions =
    method_definitions<table>(std::make_index_sequence<std::size(table)>());

}  // namespace

Ref global(Borrowed module, Borrowed name, Where at) {
    if (Ref found = lookup(PyModule_GetDict(module.get()), name, at)) return found;
    if (Ref builtin = lookup(PyEval_GetBuiltins(), name, at)) return builtin;
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
    raise_set(at);
}

void set_global(Borrowed module, Borrowed name, Borrowed value, Where at) {
    require_status(PyDict_SetItem(PyModule_GetDict(module.get()), name.get(), value.get()), at);
}

bool online_access_off(Borrowed module) {
    Ref app = attr(global(module, "bpy"_n), "app"_n);
    Ref online = attr_or(app, "online_access"_n, Py_None);
    return !online.is(Py_None) && !truthy(online);
}

// ---- the host's lifetime ----------------------------------------------------------------

namespace {
unsigned long long current_generation = 0;  // read and changed under the interpreter lock
thread_local int in_flight_depth = 0;
thread_local unsigned long long call_generation = 0;
}  // namespace

void begin_host_generation() { ++current_generation; }

namespace {

// init and unregister_all run their own calls (unregister, say) in the generation they
// begin, even when an add-on's hook calls them from inside a call of an earlier one; that
// call still stops at its next touch afterwards.
class OwnGeneration {
public:
    OwnGeneration() : depth_(std::exchange(in_flight_depth, 0)), generation_(call_generation) {}
    OwnGeneration(const OwnGeneration&) = delete;
    OwnGeneration& operator=(const OwnGeneration&) = delete;
    ~OwnGeneration() {
        in_flight_depth = depth_;
        call_generation = generation_;
    }

private:
    int depth_;
    unsigned long long generation_;
};

}  // namespace

unsigned long long host_generation() { return current_generation; }

InFlight::InFlight(Borrowed module) {
    if (in_flight_depth > 0) {
        ++in_flight_depth;
        return;
    }
    unsigned long long generation = current_generation;
    // A start-up thread carries the generation of the init that started it: the host may
    // have been disabled before the thread got this far.
    Ref thread = call(attr(global(module, "threading"_n), "current_thread"_n));
    Ref stamp = attr_or(thread, "vesk_generation"_n, Py_None);
    if (PyLong_Check(stamp.get())) {
        generation = PyLong_AsUnsignedLongLong(stamp.get());
        if (PyErr_Occurred()) raise_set();
    }
    call_generation = generation;
    in_flight_depth = 1;
}

InFlight::~InFlight() { --in_flight_depth; }

bool host_alive() noexcept { return in_flight_depth == 0 || call_generation == current_generation; }

void check_host(Where at) {
    if (!host_alive()) {
        raise(PyExc_RuntimeError,
              "The host add-on was disabled while this action ran: the action stopped and changed nothing more.",
              at);
    }
}

Ref registry(Borrowed module, Where at) {
    check_host(at);
    return global(module, "_vesk"_n, at);
}

// ---- the network --------------------------------------------------------------------------

[[noreturn]] void raise_register_exception(Borrowed module, long code, const char* tag, Borrowed message,
                                           Where at) {
    Ref details = require(Py_BuildValue("[lsO]", code, tag, message.get()), at);
    Ref error = call(global(module, "RegisterException"_n, at), {details}, at);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    raise_set(at);
}

namespace {

bool starts_with(Borrowed value, Borrowed prefix) {
    Ref shown = as_text(value);
    Ref lowered = call(attr(shown, "lower"_n));
    return truthy(call(attr(lowered, "startswith"_n), {prefix}));
}

}  // namespace

Ref web_get(Borrowed module, Borrowed address, Borrowed timeout, bool stream, Where at) {
    Ref get = attr(global(module, "requests"_n, at), "get"_n, at);
    Ref response;
    if (!timeout && !stream) {
        response = call(get, {address}, at);
    } else if (!stream) {
        response = call_keywords(get, {address}, {{"timeout"_n, timeout}}, at);
    } else if (!timeout) {
        response = call_keywords(get, {address}, {{"stream"_n, Py_True}}, at);
    } else {
        response = call_keywords(get, {address}, {{"timeout"_n, timeout}, {"stream"_n, Py_True}}, at);
    }
    if (!starts_with(address, "https:"_n)) return response;
    // Every address the request went through: the redirects, then the answer's own.
    Ref history = attr_or(response, "history"_n, Py_None, at);
    Ref hops = history.is(Py_None) ? require(PyList_New(0), at) : require(PySequence_List(history.get()), at);
    require_status(PyList_Append(hops.get(), response.get()), at);
    for_each(hops, [&](Ref hop) {
        Ref url = attr_or(hop, "url"_n, Py_None);
        if (url.is(Py_None) || !starts_with(url, "http:"_n)) return;
        Ref close = attr_or(response, "close"_n, Py_None);
        if (!close.is(Py_None)) call(close);
        raise_register_exception(module, 1024, "redirect",
                                 "The distribution server redirected a secure (https) address to an "
                                 "insecure (http) one: refused."_n,
                                 at);
    }, at);
    return response;
}

Ref addon_title(Borrowed record) {
    Ref title = field(record, "title"_n);
    return truthy(title) ? title : field(record, "name"_n);
}

Ref not_published(Borrowed response, Borrowed record) {
    Ref status = attr_or(response, "status_code"_n, Py_None);
    if (!PyLong_Check(status.get()) || PyLong_AsLong(status.get()) != 404) return {};
    return require(PyUnicode_FromFormat("%S is not published on the server (HTTP 404).", addon_title(record).get()));
}

void remove_path(Borrowed module, Borrowed path) {
    Ref os = global(module, "os"_n);
    Ref os_path = attr(os, "path"_n);
    if (!truthy(call(attr(os_path, "lexists"_n), {path}))) return;
    if (truthy(call(attr(os_path, "isdir"_n), {path})) && !truthy(call(attr(os_path, "islink"_n), {path}))) {
        call(attr(require(PyImport_ImportModule("shutil")), "rmtree"_n), {path});
    } else {
        call(attr(os, "remove"_n), {path});
    }
}

bool on_main_thread(Borrowed module) {
    Ref main = call(attr(global(module, "threading"_n), "main_thread"_n));
    Ref ident = attr(main, "ident"_n);
    return PyLong_AsUnsignedLong(ident.get()) == PyThread_get_thread_ident();
}

namespace {

bool on_daemon_thread(Borrowed module) {
    return truthy(attr(call(attr(global(module, "threading"_n), "current_thread"_n)), "daemon"_n));
}

// stream.fileno(), or nothing for a stream without one (a test's capture, say).
Ref descriptor_of(Borrowed stream) {
    Ref descriptor = Ref::steal(PyObject_CallMethodNoArgs(stream.get(), "fileno"_n.get()));
    if (descriptor) return descriptor;
    CaughtError caught;
    if (!caught.matches(PyExc_Exception)) {
        caught.restore();
        raise_set();
    }
    return {};
}

}  // namespace

void console(Borrowed module, Borrowed value, Borrowed stream_name) {
    Ref sys = global(module, "sys"_n);
    Ref stream = attr(sys, stream_name);
    if (!on_daemon_thread(module)) {
        if (stream_name.is("stdout"_n)) {
            call(global(module, "print"_n), {value});
        } else {
            call_keywords(global(module, "print"_n), {value}, {{"file"_n, stream}});
        }
        return;
    }
    if (truthy(call(attr(sys, "is_finalizing"_n)))) return;
    Ref line = require(PyUnicode_FromFormat("%S\n", value.get()));
    Ref descriptor = descriptor_of(stream);
    if (!descriptor) {
        call(attr(stream, "write"_n), {line});
        return;
    }
    Ref encoding = attr_or(stream, "encoding"_n, Py_None);
    if (!truthy(encoding)) encoding = Ref::borrow("utf-8"_n);
    Ref data = call(attr(line, "encode"_n), {encoding, "backslashreplace"_n});
    Ref write = attr(global(module, "os"_n), "write"_n);
    while (PyBytes_GET_SIZE(data.get()) > 0) {
        Py_ssize_t written = PyLong_AsSsize_t(call(write, {descriptor, data}).get());
        if (written <= 0) {
            if (PyErr_Occurred()) raise_set();
            return;
        }
        data = require(PyBytes_FromStringAndSize(PyBytes_AS_STRING(data.get()) + written,
                                                 PyBytes_GET_SIZE(data.get()) - written));
    }
}

namespace {

// ---- start-up, shut-down and the add-ons directory -----------------------------

// The add-ons the manager looks after when the host names none; each is the `name` of one record.
constexpr std::array managed_addons = {"tellmora"};

Ref translations(Borrowed module) { return attr(attr(global(module, "bpy"_n), "app"_n), "translations"_n); }

// A start-up thread's body: register(record). What register raises is reported as the
// interpreter reports a thread's uncaught exception, but through console(): Blender may
// be exiting while the report is written.
// Whether Blender's main thread is enabling its add-ons (addon_utils.reset_all: at start-up,
// and when the user reloads scripts).
bool blender_enabling_addons(Borrowed module) {
    Ref main_ident = attr(call(attr(global(module, "threading"_n), "main_thread"_n)), "ident"_n);
    Ref current_frames = attr_or(global(module, "sys"_n), "_current_frames"_n, Py_None);
    if (current_frames.is(Py_None)) return false;  // an interpreter that cannot tell
    Ref frames = call(current_frames);
    Ref frame = call(attr(frames, "get"_n), {main_ident});
    frames.reset();
    for (; !frame.is(Py_None); frame = attr(frame, "f_back"_n)) {
        if (!equal(attr(attr(frame, "f_code"_n), "co_name"_n), "reset_all"_n)) continue;
        Ref globals = attr(frame, "f_globals"_n);
        if (equal(call(attr(globals, "get"_n), {"__name__"_n}), "addon_utils"_n)) return true;
    }
    return false;
}

// A start-up thread's work waits until Blender has enabled its add-ons: imports and requests
// made meanwhile would change sys.modules under an add-on that is importing (one that walks
// sys.modules fails, "dictionary changed size during iteration"), and take the interpreter
// from Blender's start. Bounded, should Blender stay in there.
void wait_for_blender_to_enable_addons(Borrowed module) {
    Ref sleep = attr(require(PyImport_ImportModule("time")), "sleep"_n);
    Ref pause = require(PyFloat_FromDouble(0.02));
    for (int polls = 0; polls < 3000 && blender_enabling_addons(module); ++polls) call(sleep, {pause});
}

Ref register_at_start(Borrowed module, Borrowed register_function, Borrowed record) {
    try {
        wait_for_blender_to_enable_addons(module);
        call(register_function, {record});
    } catch (const PythonError&) {
        CaughtError caught;
        if (caught.matches(PyExc_SystemExit)) return none();  // ends the thread quietly, as in threading
        Ref error = caught.value();
        Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(error.get())));
        Ref lines = call(attr(require(PyImport_ImportModule("traceback")), "format_exception"_n),
                         {type, error, attr(error, "__traceback__"_n)});
        Ref thread = call(attr(global(module, "threading"_n), "current_thread"_n));
        Ref joined = require(PyUnicode_Join(""_n.get(), lines.get()));
        Ref report = require(PyUnicode_FromFormat("Exception in thread %S:\n%S", attr(thread, "name"_n).get(),
                                                  call(attr(joined, "rstrip"_n), {"\n"_n}).get()));
        console(module, report, "stderr"_n);
    }
    return none();
}

Ref register_at_start_entry(Borrowed module, const Arguments& arguments) {
    return register_at_start(module, arguments[0], arguments[1]);
}

// Not a module global: the target of each start-up thread.
constexpr Function register_at_start_function[] = {
    {"register_at_start", "OO", {"register", "record"}, register_at_start_entry},
};

// The host's `addons` as a tuple of names, or the built-in list when it gave none. A name
// becomes a folder and a package name: it must be an identifier. Checked before init
// changes anything.
Ref addon_names(Borrowed addons) {
    if (!addons) {
        Ref names = require(PyTuple_New(static_cast<Py_ssize_t>(managed_addons.size())));
        for (std::size_t index = 0; index < managed_addons.size(); ++index) {
            PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(index), text(managed_addons[index]).release());
        }
        return names;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(addons.get()));
    if (!iterator || PyUnicode_Check(addons.get()) || PyBytes_Check(addons.get())) {
        PyErr_Format(PyExc_TypeError, "init(): addons must be an iterable of add-on names, not %s",
                     Py_TYPE(addons.get())->tp_name);
        raise_set();
    }
    Ref names = require(PySequence_Tuple(iterator.get()));
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(names.get()); ++index) {
        PyObject* name = PyTuple_GET_ITEM(names.get(), index);
        if (!PyUnicode_Check(name)) {
            PyErr_Format(PyExc_TypeError, "init(): an add-on name must be a str, not %s", Py_TYPE(name)->tp_name);
            raise_set();
        }
        if (!truthy(call(attr(name, "isidentifier"_n)))) {
            PyErr_Format(PyExc_ValueError, "init(): add-on name %R is not a Python identifier", name);
            raise_set();
        }
    }
    return names;
}

// The host's own server address, or None to use the built-in one.
Ref checked_service_url(Borrowed service_url) {
    if (!service_url || service_url.is(Py_None)) return none();
    if (!PyUnicode_Check(service_url.get())) {
        PyErr_Format(PyExc_TypeError, "init(): service_url must be a str, not %s", Py_TYPE(service_url.get())->tp_name);
        raise_set();
    }
    Ref lowered = call(attr(service_url, "lower"_n));
    Ref schemes = require(Py_BuildValue("(ss)", "http://", "https://"));
    if (!truthy(call(attr(lowered, "startswith"_n), {schemes})) || PyUnicode_GET_LENGTH(service_url.get()) <= 8) {
        PyErr_Format(PyExc_ValueError, "init(): service_url %R is not an http:// or https:// address",
                     service_url.get());
        raise_set();
    }
    return Ref::borrow(service_url);
}

Ref init(Borrowed module, Borrowed prefs, Borrowed addons, Borrowed service_url) {
    Ref names = addon_names(addons);
    Ref own_service = checked_service_url(service_url);
    call(attr(translations(module), "register"_n), {global(module, "__name__"_n), global(module, "langs"_n)});
    // Calls still running for an earlier host stop at their next touch of its registry.
    begin_host_generation();
    set_global(module, "_vesk"_n, prefs);
    set_attr(global(module, "_vesk"_n), "installed"_n, require(PyDict_New()));
    // Read by every registration: the host's address unless VESK_SERVICE_URL is set.
    set_attr(global(module, "_vesk"_n), "service_url"_n, own_service);

    for_each(names, [&](Ref name) {
        Ref addons = attr(global(module, "_vesk"_n), "addons"_n);
        if (contains(call(attr(addons, "keys"_n)), name)) return;
        Ref record = call(attr(addons, "add"_n));
        set_attr(record, "name"_n, name);
        // "some_addon" is shown as "Some Addon" until its own bl_info name is known.
        Ref words = require(PyUnicode_Split(name.get(), "_"_n.get(), -1));
        Ref title = call(attr(require(PyUnicode_Join(" "_n.get(), words.get())), "title"_n));
        set_attr(record, "title"_n, title);
    });

    for_each(attr(global(module, "_vesk"_n), "addons"_n), [&](Ref record) {
        if (!truthy(attr(record, "status"_n))) return;
        // Here, on Blender's thread and before Blender enables it: an add-on in the package form
        // is served from its cached bundle. A failure is reported and the start-up thread goes on.
        if (Ref failure = error_of([&] { start_package_from_cache(module, record); })) {
            Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(failure.get())));
            call(attr(require(PyImport_ImportModule("traceback")), "print_exception"_n),
                 {type, failure, attr(failure, "__traceback__"_n)});
        }
        Ref args = require(PyTuple_Pack(2, global(module, "register"_n).get(), record.get()));
        Ref target = require(PyCFunction_NewEx(&definitions<register_at_start_function>[0], module.get(),
                                               interned(module_name).get()));
        Ref thread = call_keywords(attr(global(module, "threading"_n), "Thread"_n), {},
                                   {{"target"_n, target}, {"args"_n, args}});
        // A daemon: a registration waiting on a silent server must not hold Blender's exit.
        // What it writes is written whole or not at all, so an exit may end it anywhere.
        set_attr(thread, "daemon"_n, Py_True);
        set_attr(thread, "vesk_generation"_n, require(PyLong_FromUnsignedLongLong(host_generation())));
        call(attr(thread, "start"_n));
    });
    return none();
}

Ref unregister_all(Borrowed module) {
    // From here on the host's preferences may be freed: a call still running for it (a
    // worker waiting on a server) stops at its next touch, and writes nothing into what is saved.
    begin_host_generation();
    // What was compiled this session is saved with the records, for the next start.
    Ref records = attr_or(global(module, "_vesk"_n), "addons"_n, Py_None);
    if (!records.is(Py_None)) for_each(records, [&](Ref record) { keep_compiled_code(module, record); });
    call(attr(attr(attr(global(module, "bpy"_n), "ops"_n), "wm"_n), "save_userpref"_n));
    // A snapshot: a registration finishing in another thread may add names meanwhile.
    Ref installed = attr(global(module, "_vesk"_n), "installed"_n);
    Ref names = require(PySequence_List(call(attr(installed, "keys"_n)).get()));
    for_each(names, [&](Ref name) { call(global(module, "unregister"_n), {name}); });
    call(attr(translations(module), "unregister"_n), {global(module, "__name__"_n)});
    return none();
}

Ref os_path(Borrowed module) { return attr(global(module, "os"_n), "path"_n); }

bool path_exists(Borrowed module, Borrowed path) { return truthy(call(attr(os_path(module), "exists"_n), {path})); }

// os.makedirs(path) for a folder found missing: for a user who never saved preferences,
// Blender's user folder above the scripts folder does not exist yet either. Another
// thread (a start-up registration of another add-on) may have made it since: that
// folder is what was wanted, not an error.
void make_folder(Borrowed module, Borrowed path) {
    try {
        call(attr(global(module, "os"_n), "makedirs"_n), {path});
    } catch (const PythonError&) {
        CaughtError caught;
        if (!caught.matches(PyExc_FileExistsError) || !truthy(call(attr(os_path(module), "isdir"_n), {path}))) {
            caught.restore();
            throw;
        }
    }
}

Ref get_addons_path(Borrowed module) {
    Ref scripts_path = call(attr(attr(global(module, "bpy"_n), "utils"_n), "script_path_user"_n));
    if (!path_exists(module, scripts_path)) make_folder(module, scripts_path);
    Ref separator = attr(os_path(module), "sep"_n);
    Ref addons_path = require(PyNumber_Add(require(PyNumber_Add(scripts_path.get(), separator.get())).get(),
                                           "addons"_n.get()));
    if (!path_exists(module, addons_path)) make_folder(module, addons_path);
    // Blender puts the folder on sys.path at start-up only when it exists then; an
    // add-on package unpacked here needs it for `from . import sibling`.
    Ref search_path = attr(global(module, "sys"_n), "path"_n);
    if (!contains(search_path, addons_path)) call(attr(search_path, "append"_n), {addons_path});
    return addons_path;
}

}  // namespace

Ref init_entry(Borrowed module, const Arguments& arguments) {
    OwnGeneration own;
    Borrowed addons = arguments[1] == Py_None ? nullptr : arguments[1];
    return init(module, arguments[0], addons, arguments[2]);
}

Ref unregister_all_entry(Borrowed module, const Arguments&) {
    OwnGeneration own;
    return unregister_all(module);
}

Ref get_addons_path_entry(Borrowed module, const Arguments&) { return get_addons_path(module); }

namespace {

// ---- one instance per process ---------------------------------------------------

// The interpreter that first created the module; the module refuses any other.
std::int64_t first_interpreter_id = -1;
// The module object whose body has run (or is running); forgotten if the body fails.
Kept the_instance;

// Modules the body imports, in order, each bound under its own name.
constexpr std::array imported_modules = {
    "os",       "gc",      "bpy",     "sys",         "types",     "typing",
    "inspect",  "requests", "hashlib", "zipfile",    "addon_utils", "threading",
};

void check_single_interpreter() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1) raise_set();
    if (first_interpreter_id == -1) {
        first_interpreter_id = id;
    } else if (first_interpreter_id != id) {
        raise(PyExc_ImportError,
              "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    }
}

// module.<to> = spec.<from>; a spec without the attribute leaves it out.
void copy_from_spec(Borrowed spec, Borrowed module, const char* from, const char* to, bool skip_none) {
    Ref value = attr_or(spec, interned(from), Borrowed());
    if (!value || (skip_none && value.is(Py_None))) return;
    set_global(module, interned(to), value);
}

Ref create_module(Borrowed spec) {
    check_single_interpreter();
    if (the_instance) return Ref::borrow(the_instance.get());
    Ref name = attr(spec, "name"_n);
    Ref module = require(PyModule_NewObject(name.get()));
    copy_from_spec(spec, module, "loader", "__loader__", false);
    copy_from_spec(spec, module, "origin", "__file__", false);
    copy_from_spec(spec, module, "parent", "__package__", false);
    copy_from_spec(spec, module, "submodule_search_locations", "__path__", true);
    return module;
}

PyObject* create_slot(PyObject* spec, PyModuleDef*) noexcept {
    return edge("create corvane.vesk", [&] { return create_module(spec); });
}

// ---- the module body ------------------------------------------------------------

// Warns when the running interpreter is not the one the module was built for.
void check_python_version() {
    const char* running = Py_GetVersion();
    char* rest = nullptr;
    long major = std::strtol(running, &rest, 10);
    long minor = (rest && *rest == '.') ? std::strtol(rest + 1, nullptr, 10) : -1;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
    require_status(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                    "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                                    PY_MAJOR_VERSION, PY_MINOR_VERSION, module_name, "does not match",
                                    static_cast<int>(major), static_cast<int>(minor)));
}

void enter_in_module_table(Borrowed module) {
    PyObject* table = PyImport_GetModuleDict();
    Ref key = interned(module_name);
    int present = require_status(PyDict_Contains(table, key.get()));
    if (!present) require_status(PyDict_SetItem(table, key.get(), module.get()));
}

void define_functions(Borrowed module) {
    Ref qualified_name = interned(module_name);
    for (PyMethodDef& definition : definitions<module_functions>) {
        Ref function = require(PyCFunction_NewEx(&definition, module.get(), qualified_name.get()));
        set_global(module, interned(definition.ml_name), function);
    }
}

// The metaclass a class statement would derive from `bases`.
Ref derive_metaclass(Borrowed bases) {
    Py_ssize_t count = PyTuple_GET_SIZE(bases.get());
    PyTypeObject* winner = count ? Py_TYPE(PyTuple_GET_ITEM(bases.get(), 0)) : &PyType_Type;
    for (Py_ssize_t index = 0; index < count; ++index) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases.get(), index));
        if (PyType_IsSubtype(winner, candidate)) continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        raise(PyExc_TypeError,
              "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass "
              "of the metaclasses of all its bases");
    }
    return Ref::borrow(reinterpret_cast<PyObject*>(winner));
}

// class <name>(<bases>): with the namespace filled by `fill_body`, through the ordinary protocol.
template <class FillBody>
Ref create_class(const char* name, Borrowed bases, FillBody&& fill_body) {
    Ref metaclass = derive_metaclass(bases);
    Ref class_name = interned(name);
    Ref prepare = attr(metaclass, "__prepare__"_n);
    Ref body = call(prepare, {class_name, bases});
    set_item(body, "__module__"_n, interned(module_name));
    set_item(body, "__qualname__"_n, class_name);
    fill_body(Borrowed(body));
    return call(metaclass, {class_name, bases, body});
}

// RegisterException.__init__(self, args): code, tag and message; `message` keeps the text alone.
PyObject* register_exception_init(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"self", "args", nullptr};
    PyObject* self = nullptr;
    PyObject* error_args = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:__init__", const_cast<char**>(names), &self, &error_args)) {
        return nullptr;
    }
    return edge("RegisterException.__init__", [&] {
        Ref exception_init = attr(PyExc_Exception, "__init__"_n);
        Ref index = integer(2);
        call(exception_init, {self, item(error_args, index)});
        set_attr(self, "args"_n, error_args);
        set_attr(self, "message"_n, item(error_args, index));
        return none();
    });
}

PyMethodDef register_exception_init_definition = {
    "__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(register_exception_init)),
    METH_VARARGS | METH_KEYWORDS, "__init__($self, args)\n--\n\n"};

void define_classes(Borrowed module) {
    Ref exception_bases = require(PyTuple_Pack(1, PyExc_Exception));
    Ref register_exception = create_class("RegisterException", exception_bases, [&](Borrowed body) {
        Ref function = require(PyCFunction_NewEx(&register_exception_init_definition, nullptr,
                                                 interned(module_name).get()));
        // Wrapped so that it binds to the instance like a function defined in a class body.
        set_item(body, "__init__"_n, require(PyInstanceMethod_New(function.get())));
    });
    set_global(module, "RegisterException"_n, register_exception);

    Ref property_group = attr(attr(global(module, "bpy"_n), "types"_n), "PropertyGroup"_n);
    Ref record_bases = require(PyTuple_Pack(1, property_group.get()));
    Ref record = create_class("VESKAddonData", record_bases, [&](Borrowed body) {
        // The declarations stay text; evaluated in this module's namespace they find
        // StringProperty and BoolProperty among its globals.
        static constexpr std::array<std::pair<const char*, const char*>, 8> fields = {{
            {"name", "StringProperty(name='Name')"},
            {"title", "StringProperty(name='Title')"},
            {"status", "BoolProperty(name='Install status')"},
            {"update", "BoolProperty(name='Update Available')"},
            {"version", "StringProperty(name='Version')"},
            {"data", "StringProperty(name='Data')"},
            {"tips", "StringProperty(name='Tips')"},
            {"code", "StringProperty(name='Compiled code')"},
        }};
        Ref annotations = require(PyDict_New());
        for (auto [field, declaration] : fields) set_item(annotations, interned(field), text(declaration));
        set_item(body, "__annotations__"_n, annotations);
    });
    set_global(module, "VESKAddonData"_n, record);
}

// The Simplified Chinese table, under the locale name the running Blender uses.
void define_translations(Borrowed module) {
    Ref version = attr(attr(global(module, "bpy"_n), "app"_n), "version"_n);
    Ref major = item(version, integer(0));
    Ref four = integer(4);
    bool before_four = require_status(PyObject_RichCompareBool(major.get(), four.get(), Py_LT)) != 0;

    static constexpr std::array<std::array<const char*, 3>, 4> entries = {{
        {"Operator", "Check Update", "检查更新"},
        {"Operator", "Preferences", "偏好设置"},
        {"*", "Tellmora", "特尔莫拉"},
        {"*", "Tips", "提示"},
    }};
    Ref table = require(PyDict_New());
    for (auto [context, message, translation] : entries) {
        Ref key = require(PyTuple_Pack(2, text(context).get(), text(message).get()));
        set_item(table, key, text(translation));
    }
    Ref languages = require(PyDict_New());
    set_item(languages, before_four ? "zh_CN"_n : "zh_HANS"_n, table);
    set_global(module, "langs"_n, languages);
}

void run_body(Borrowed module) {
    check_python_version();
    enter_in_module_table(module);
    for (const char* name : imported_modules) set_global(module, interned(name), require(PyImport_ImportModule(name)));
    Ref props = attr(global(module, "bpy"_n), "props"_n);
    set_global(module, "StringProperty"_n, attr(props, "StringProperty"_n));
    set_global(module, "BoolProperty"_n, attr(props, "BoolProperty"_n));
    set_global(module, "_vesk"_n, Py_None);
    define_functions(module);
    define_classes(module);
    define_translations(module);
}

int exec_slot(PyObject* module) noexcept {
    if (the_instance) {
        if (the_instance.get().is(module)) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'vesk' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    the_instance.keep(module);
    try {
        run_body(module);
        return 0;
    } catch (const PythonError& error) {
        add_traceback("init corvane.vesk", error);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    // A later import starts afresh with a new module object.
    the_instance.forget();
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init corvane.vesk");
    return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_slot)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_slot)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "vesk",   // m_name
    nullptr,  // m_doc
    0,        // m_size: no per-module state
    nullptr,  // m_methods: every name is created by the body
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vesk

PyMODINIT_FUNC PyInit_vesk() { return PyModuleDef_Init(&vesk::definition); }
