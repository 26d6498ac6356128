// Package fetch and module loading: download, verify and unpack an add-on package, load its modules.
#include "frame.hpp"

#include <marshal.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <thread>

namespace vesk {
namespace {

// What one call of __import_module__ shares with its inner operations.
struct Load {
    Borrowed module;  // corvane.vesk
    Borrowed name;
    Borrowed url;
    Ref homepath;  // the add-on's directory
};

Ref concat(std::initializer_list<Borrowed> parts) {
    Ref joined = Ref::borrow(*parts.begin());
    for (auto part = parts.begin() + 1; part != parts.end(); ++part) {
        joined = require(PyNumber_Add(joined.get(), part->get()));
    }
    return joined;
}

// HOMEPATH + "/" + file name: inside the add-on directory, with a forward slash on every platform.
Ref in_home(const Load& load, std::initializer_list<Borrowed> file_name) {
    Ref path = concat({load.homepath, "/"_n});
    for (Borrowed part : file_name) path = concat({path, part});
    return path;
}

Ref os_function(const Load& load, Borrowed name) { return attr(global(load.module, "os"_n), name); }

bool exists(const Load& load, Borrowed path) {
    return truthy(call(attr(attr(global(load.module, "os"_n), "path"_n), "exists"_n), {path}));
}

Ref open_file(const Load& load, Borrowed path, Borrowed mode) {
    return call(global(load.module, "open"_n), {path, mode});
}

// Runs `body` as the inner operation `function`: a failure gains a traceback entry
// naming it, below the entry of __import_module__.
template <class Body>
auto inner(const char* function, Body&& body, Where at = Where::here()) {
    try {
        return body();
    } catch (const PythonError& error) {
        add_traceback(function, error);
        throw PythonError{at.file, at.line};
    }
}

// with <resource>: ...  for files and zip archives, whose __exit__ is close().
template <class Body>
void with_closing(Borrowed resource, Body&& body) {
    try {
        body();
    } catch (const PythonError&) {
        CaughtError first;
        Ref closed = Ref::steal(PyObject_CallMethodNoArgs(resource.get(), "close"_n.get()));
        if (closed) {
            first.restore();
        } else {
            // As `with` does: the error of close() wins, with the first as its context.
            CaughtError second;
            PyException_SetContext(second.peek_value().get(), first.value().release());
            second.restore();
        }
        throw;
    }
    call(attr(resource, "close"_n));
}

// A name for a file written beside `path` and then moved over it; unique per thread,
// so that two loads at once never write into the same temporary file.
Ref temporary_beside(const Load& load, Borrowed file_name) {
    auto thread = std::hash<std::thread::id>{}(std::this_thread::get_id());
    Ref process = call(os_function(load, "getpid"_n));
    Ref suffix = require(PyUnicode_FromFormat(".%S-%zu.tmp", process.get(), thread));
    return in_home(load, {"."_n, file_name, suffix});
}

// Removes `path` after a failure, keeping the failure: the file may not exist yet.
void discard_after_failure(const Load& load, Borrowed path) {
    CaughtError failure;
    try {
        call(os_function(load, "remove"_n), {path});
    } catch (const PythonError&) {
        PyErr_Clear();
    }
    failure.restore();
}

void replace_file(const Load& load, Borrowed from, Borrowed to) { call(os_function(load, "replace"_n), {from, to}); }

// ---- download() ------------------------------------------------------------------

// Where an archive member unpacks, its name cleaned as extractall cleans it (no "", "."
// or ".." parts): "{name}.data" at the top of the add-on directory, somewhere under a
// folder of that name (a member that can only be a mistake: it would stand where the data
// file goes), or elsewhere.
enum class Member { data, under_data, other };

Member member_kind(const Load& load, Borrowed info, Borrowed data_name) {
    Ref filename = attr(info, "filename"_n);
    if (!PyUnicode_Check(filename.get())) return Member::other;
    Py_ssize_t length = PyUnicode_GET_LENGTH(filename.get());
    bool directory = length == 0 || PyUnicode_READ_CHAR(filename.get(), length - 1) == '/';
    Ref separator = attr(attr(global(load.module, "os"_n), "path"_n), "sep"_n);
    Ref cleaned = require(PyUnicode_Replace(filename.get(), "/"_n.get(), separator.get(), -1));
    Ref parts = require(PyUnicode_Split(cleaned.get(), separator.get(), -1));
    Ref first;
    Py_ssize_t kept = 0;
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(parts.get()); ++index) {
        PyObject* part = PyList_GET_ITEM(parts.get(), index);
        if (PyUnicode_GET_LENGTH(part) == 0 || PyUnicode_CompareWithASCIIString(part, ".") == 0 ||
            PyUnicode_CompareWithASCIIString(part, "..") == 0) {
            continue;
        }
        if (!first) first = Ref::borrow(part);
        ++kept;
    }
    if (!first || !require_status(PyObject_RichCompareBool(first.get(), data_name.get(), Py_EQ))) return Member::other;
    return kept == 1 && !directory ? Member::data : Member::under_data;
}

// The file beside the data file that holds the version it was downloaded as.
Ref version_path(const Load& load) { return in_home(load, {"."_n, load.name, ".version"_n}); }

// Writes `data` as the UTF-8 text file `file_name` in the add-on directory, through a
// temporary file moved into place, so the file is never seen half written.
void write_text_file(const Load& load, Borrowed path, Borrowed file_name, Borrowed data) {
    Ref temporary = temporary_beside(load, file_name);
    try {
        Ref f = call_keywords(global(load.module, "open"_n), {temporary, "w"_n}, {{"encoding"_n, "utf-8"_n}});
        with_closing(f, [&] { call(attr(f, "write"_n), {data}); });
        replace_file(load, temporary, path);
    } catch (const PythonError&) {
        discard_after_failure(load, temporary);
        throw;
    }
}

// Unpacks the archive into the add-on directory. The data file goes in last, under a
// temporary name moved into place, so that a data file present is always a whole one;
// the version it was downloaded as goes beside it just before.
void unpack(const Load& load, Borrowed archive, Borrowed version) {
    Ref data_name = concat({load.name, ".data"_n});
    Ref others = require(PyList_New(0));
    Ref data_members = require(PyList_New(0));
    for_each(call(attr(archive, "infolist"_n)), [&](Ref info) {
        Member kind = member_kind(load, info, data_name);
        if (kind == Member::under_data) return;
        require_status(PyList_Append(kind == Member::data ? data_members.get() : others.get(), info.get()));
    });

    call(attr(archive, "extractall"_n), {load.homepath, others});

    Ref data_path = in_home(load, {data_name});
    // Whatever stands there (an older data file, a folder a broken release made) goes first,
    // so that the version file never describes a data file it was not written with.
    remove_path(load.module, data_path);
    Ref version_file = version_path(load);
    if (PyList_GET_SIZE(data_members.get()) > 0) {
        write_text_file(load, version_file, concat({"."_n, load.name, ".version"_n}), version);
    }
    Ref chunk_size = integer(1 << 20);
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(data_members.get()); ++index) {
        Ref temporary = temporary_beside(load, data_name);
        try {
            Ref source = call(attr(archive, "open"_n), {PyList_GET_ITEM(data_members.get(), index)});
            with_closing(source, [&] {
                Ref target = open_file(load, temporary, "wb"_n);
                with_closing(target, [&] {
                    Ref read = attr(source, "read"_n);
                    Ref write = attr(target, "write"_n);
                    // Reading to the end checks the member's CRC.
                    for (;;) {
                        Ref chunk = call(read, {chunk_size});
                        if (!truthy(chunk)) break;
                        call(write, {chunk});
                    }
                });
            });
            replace_file(load, temporary, data_path);
        } catch (const PythonError&) {
            discard_after_failure(load, temporary);
            discard_after_failure(load, version_file);
            throw;
        }
    }
}

// The bounds on what a server may make corvane write: the archive as downloaded, and
// the sum of its members' sizes as unpacked.
constexpr long long archive_bound = 256LL << 20;
constexpr long long unpacked_bound = 1LL << 30;

bool exceeds(Borrowed number, long long bound) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) raise_set();
    return overflow > 0 || value > bound;
}

Ref record_of(const Load& load) { return item(attr(registry(load.module), "addons"_n), load.name); }

[[noreturn]] void too_large(const Load& load, const char* what) {
    Ref message = require(PyUnicode_FromFormat("%S cannot be installed: its package %s.",
                                               addon_title(record_of(load)).get(), what));
    raise_register_exception(load.module, 1023, "size", message);
}

// Receives the archive at `address` into `filepath` in pieces, feeding `md5` as it goes.
// A server that announces or sends more than the bound is refused; a failure leaves no
// archive, whole or cut.
void receive_archive(const Load& load, Borrowed address, Borrowed filepath, Borrowed md5) {
    Ref response = web_get(load.module, address, {}, true);
    try {
        Ref length = call(attr(attr(response, "headers"_n), "get"_n), {"Content-Length"_n});
        if (PyUnicode_Check(length.get())) {
            Ref number = Ref::steal(PyLong_FromUnicodeObject(length.get(), 10));
            if (!number) PyErr_Clear();  // not a number: the bytes received are counted instead
            if (number && exceeds(number, archive_bound)) too_large(load, "is larger than 256 MiB");
        }
        Ref wb = open_file(load, filepath, "wb"_n);
        with_closing(wb, [&] {
            Ref write = attr(wb, "write"_n);
            Ref update = attr(md5, "update"_n);
            long long received = 0;
            for_each(call(attr(response, "iter_content"_n), {integer(1 << 20)}), [&](Ref chunk) {
                Py_ssize_t size = PyObject_Size(chunk.get());
                if (size < 0) raise_set();
                received += size;
                if (received > archive_bound) too_large(load, "is larger than 256 MiB");
                call(write, {chunk});
                call(update, {chunk});
            });
        });
    } catch (const PythonError&) {
        CaughtError failure;
        if (!Ref::steal(PyObject_CallMethodNoArgs(response.get(), "close"_n.get()))) PyErr_Clear();
        failure.restore();
        discard_after_failure(load, filepath);
        throw;
    }
    call(attr(response, "close"_n));
}

// Whether the archive's members, unpacked, stay within the bound (their sizes as the archive states them).
bool unpacked_size_fits(Borrowed archive) {
    Ref total = integer(0);
    for_each(call(attr(archive, "infolist"_n)), [&](Ref info) {
        total = require(PyNumber_Add(total.get(), attr(info, "file_size"_n).get()));
    });
    return !exceeds(total, unpacked_bound);
}

// Fetches the newest release into the add-on directory: `{name}.data` and the version
// beside it. With `record_version`, the record's version is set as soon as the index is read.
void download(const Load& load, bool record_version) {
    Ref index_url = require(PyUnicode_FromFormat("%S/%S/index.json", load.url.get(), load.name.get()));
    Ref result = web_get(load.module, index_url);
    if (Ref message = not_published(result, record_of(load))) {
        raise_register_exception(load.module, 1022, "index", message);
    }
    Ref releases = call(attr(result, "json"_n));
    Ref last = release_for_blender(load.module, releases);
    if (!last) {
        // Nothing this Blender can run: nothing is downloaded.
        raise_register_exception(load.module, 1030, "blender", newer_blender_needed(record_of(load), releases));
    }

    Ref version = joined_version(item(last, "version"_n));
    // Stored before the archive is requested.
    if (record_version) set_field(record_of(load), "version"_n, version);

    Ref md5_text = item(last, "md5"_n);
    // The digest is joined as text: one that is not text is a broken index, not an address to ask for.
    Ref zip_url = concat({require(PyUnicode_FromFormat("%S/%S/", load.url.get(), load.name.get())), md5_text,
                          ".zip"_n});
    Ref filepath = in_home(load, {load.name, ".zip"_n});
    Ref md5 = call(attr(global(load.module, "hashlib"_n), "md5"_n));
    receive_archive(load, zip_url, filepath, md5);

    Ref digest = call(attr(md5, "hexdigest"_n));
    if (require_status(PyObject_RichCompareBool(md5_text.get(), digest.get(), Py_NE))) {
        call(os_function(load, "remove"_n), {filepath});
        raise_register_exception(load.module, 1020, "md5", "Zip file has broken, please reinstall."_n);
    }

    Ref archive = call(attr(global(load.module, "zipfile"_n), "ZipFile"_n), {filepath});
    bool fits = true;
    with_closing(archive, [&] {
        fits = unpacked_size_fits(archive);
        if (fits) unpack(load, archive, version);
    });
    call(os_function(load, "remove"_n), {filepath});
    if (!fits) too_large(load, "unpacks to more than 1 GiB");
}

// ---- fetch_data() ----------------------------------------------------------------

// The bundle text as the record keeps it: NUL characters (which Blender's strings
// cannot hold) spelt "/x00".
constexpr std::string_view nul("\0", 1);

Ref escape_nul(Borrowed bundle) {
    return require(PyUnicode_Replace(bundle.get(), text(nul).get(), "/x00"_n.get(), -1));
}

Ref unescape_nul(Borrowed bundle) {
    return require(PyUnicode_Replace(bundle.get(), "/x00"_n.get(), text(nul).get(), -1));
}

bool is_file(const Load& load, Borrowed path) {
    return truthy(call(attr(attr(global(load.module, "os"_n), "path"_n), "isfile"_n), {path}));
}

// The module bundle as text; its UTF-8 form is the bytes the records are cut from.
// `adopted` tells whether the bundle came from a data file (downloaded, or waiting) just now.
Ref fetch_data(const Load& load, bool& adopted) {
    Ref addon = record_of(load);
    Ref data_file_path = in_home(load, {load.name, ".data"_n});
    bool waiting = is_file(load, data_file_path);
    // Not a file (a folder a broken release unpacked there): it goes, and the package is downloaded again.
    if (!waiting) remove_path(load.module, data_file_path);
    // Read once: each read of the field copies the whole bundle out of Blender.
    Ref data = field(addon, "data"_n);
    adopted = !truthy(data) || waiting;
    if (adopted) {
        data.reset();
        if (!waiting) inner("download", [&] { download(load, true); });
        Ref data_file = open_file(load, data_file_path, "rb"_n);
        with_closing(data_file, [&] {
            Ref raw = call(attr(data_file, "read"_n));
            Ref bundle = require(PyUnicode_FromEncodedObject(raw.get(), "utf-8", "strict"));
            raw.reset();
            set_field(addon, "data"_n, escape_nul(bundle));
            set_field(addon, "code"_n, ""_n);  // compiled from another bundle
        });
        // The version it was downloaded as, when the download wrote it down.
        Ref version_file = version_path(load);
        if (is_file(load, version_file)) {
            Ref f = call_keywords(global(load.module, "open"_n), {version_file, "r"_n}, {{"encoding"_n, "utf-8"_n}});
            with_closing(f, [&] { set_field(addon, "version"_n, call(attr(call(attr(f, "read"_n)), "strip"_n))); });
        }
        call(os_function(load, "remove"_n), {data_file_path});
        remove_path(load.module, version_file);
        data = field(addon, "data"_n);  // the text as the record holds it
    }
    return unescape_nul(data);
}

// ---- save_module_as_file() -------------------------------------------------------

// Writes a start-up module's source as UTF-8 (the encoding Python reads sources in).
void save_module_as_file(const Load& load, Borrowed name, Borrowed data) {
    Ref stem = item(require(PyUnicode_Split(name.get(), "."_n.get(), -1)), integer(1));
    Ref file_name = concat({stem, ".py"_n});
    write_text_file(load, in_home(load, {file_name}), file_name, data);
}

// ---- __import_module__ -----------------------------------------------------------

bool is_ascii_space(char byte) {
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r' || byte == '\x0b' || byte == '\x0c';
}

// Executes one module's code in its namespace; an Exception is printed and the module
// left out of the result.
bool execute(Borrowed module, Borrowed code, Borrowed namespace_dict) {
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(global(module, "exec"_n).get(), code.get(),
                                                         namespace_dict.get(), nullptr));
    if (result) return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) raise_set();
    console(module, CaughtError().value(), "stdout"_n);
    return false;
}

// Cuts the bundle's records, in order, and hands each one's module name and source to `body`.
template <class Body>
void for_each_record(Borrowed bundle, Body&& body) {
    // The records are cut straight from the bundle's UTF-8 form; only the parts
    // decoded to text are copied.
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(bundle.get(), &size);
    if (!bytes) raise_set();
    const std::string_view content(bytes, static_cast<std::size_t>(size));

    std::size_t start = 0;
    for (bool last = false; !last;) {
        std::size_t end = content.find("\x0b\x0b", start);
        last = end == std::string_view::npos;
        const std::string_view record = content.substr(start, last ? std::string_view::npos : end - start);
        start = last ? content.size() : end + 2;

        // Blank unless some byte is not white space: the scan stops at the first such byte.
        if (std::all_of(record.begin(), record.end(), is_ascii_space)) continue;

        const std::size_t cut = record.find('\x0b');
        if (cut == std::string_view::npos) raise(PyExc_ValueError, "not enough values to unpack (expected 2, got 1)");
        Ref module_name = require(PyUnicode_DecodeUTF8(record.data(), static_cast<Py_ssize_t>(cut), "strict"));
        Ref source = require(PyUnicode_DecodeUTF8(record.data() + cut + 1,
                                                  static_cast<Py_ssize_t>(record.size() - cut - 1), "strict"));
        body(std::move(module_name), std::move(source));
    }
}

// ---- the package form ---------------------------------------------------------------
//
// An add-on published as it is, as Blender would install it from a zip. Its bundle begins
// with the record "<name>.__form__"; a package's own module is "<package>.__init__". Its
// modules are not run here: an import finder for the add-on's name serves them to Python's
// import system, so Blender's own enabling imports the add-on and calls its register(), and
// every later import (inside functions, importlib.import_module, relative or absolute)
// finds them. On disk stay only an __init__.py carrying the add-on's bl_info, which
// Blender's add-on list reads, and the release's other files.

bool is_package_form(Borrowed name, Borrowed bundle) {
    Ref marker = require(PyUnicode_FromFormat("%U.__form__\x0b", name.get()));
    return require_status(static_cast<int>(PyUnicode_Tailmatch(bundle.get(), marker.get(), 0, PY_SSIZE_T_MAX, -1))) == 1;
}

// The add-on's modules: name -> source, and the names that are packages.
struct PackageSources {
    Ref sources = require(PyDict_New());
    Ref packages = require(PySet_New(nullptr));
};

PackageSources package_sources(Borrowed name, Borrowed bundle) {
    PackageSources found;
    Ref form_name = concat({name, ".__form__"_n});
    Borrowed package_suffix = ".__init__"_n;
    for_each_record(bundle, [&](Ref module_name, Ref source) {
        if (equal(module_name, form_name)) return;
        if (require_status(static_cast<int>(
                PyUnicode_Tailmatch(module_name.get(), package_suffix.get(), 0, PY_SSIZE_T_MAX, 1))) == 1) {
            module_name = require(PyUnicode_Substring(module_name.get(), 0, PyUnicode_GET_LENGTH(module_name.get()) - 9));
            require_status(PySet_Add(found.packages.get(), module_name.get()));
        }
        set_item(found.sources, module_name, source);
    });
    return found;
}

// Python's module table and import finders.
Ref module_table(Borrowed module) { return attr(global(module, "sys"_n), "modules"_n); }
Ref finders(Borrowed module) { return attr(global(module, "sys"_n), "meta_path"_n); }

// Where a module of the add-on would stand in a plain copy: its file, and for a package its folder.
struct ModulePlace {
    Ref file;
    Ref folder;
};

ModulePlace place_in(Borrowed name, Borrowed home, Borrowed fullname, bool package) {
    // ".sub.mod" -> "/sub/mod"
    Ref rest = require(PyUnicode_Substring(fullname.get(), PyUnicode_GET_LENGTH(name.get()), PY_SSIZE_T_MAX));
    Ref relative = require(PyUnicode_Replace(rest.get(), "."_n.get(), "/"_n.get(), -1));
    Ref base = concat({home, relative});
    if (!package) return {concat({base, ".py"_n}), Ref()};
    return {concat({base, "/__init__.py"_n}), base};
}

// Whether `fullname` is one of the add-on's modules (the finder's `sources` holds them all).
bool serves(Borrowed finder, Borrowed fullname) {
    return PyUnicode_Check(fullname.get()) &&
           require_status(PyDict_Contains(attr(finder, "sources"_n).get(), fullname.get())) == 1;
}

bool is_package(Borrowed finder, Borrowed fullname) {
    return require_status(PySet_Contains(attr(finder, "packages"_n).get(), fullname.get())) == 1;
}

// find_spec(fullname, path=None, target=None): a spec located where a plain copy's file
// would be, so that __file__ and a package's __path__ point into the add-on's folder, where
// its resource files are.
Ref finder_find_spec(Borrowed finder, Borrowed fullname) {
    if (!serves(finder, fullname)) return none();
    bool package = is_package(finder, fullname);
    ModulePlace place = place_in(attr(finder, "name"_n), attr(finder, "home"_n), fullname, package);
    Ref machinery = require(PyImport_ImportModule("importlib.machinery"));
    Ref spec = call_keywords(attr(machinery, "ModuleSpec"_n), {fullname, finder},
                             {{"origin"_n, place.file}, {"is_package"_n, package ? Py_True : Py_False}});
    set_attr(spec, "has_location"_n, Py_True);
    if (package) set_attr(spec, "submodule_search_locations"_n, require(Py_BuildValue("[O]", place.folder.get())));
    return spec;
}

Ref finder_source(Borrowed finder, Borrowed fullname) {
    if (!serves(finder, fullname)) {
        PyErr_Format(PyExc_ImportError, "%R is not a module of this add-on", fullname.get());
        raise_set();
    }
    return item(attr(finder, "sources"_n), fullname);
}

// ---- compiled code, kept with the bundle -------------------------------------------
//
// Compiling a large add-on's sources takes several times as long as Blender enabling a plain
// copy from its cached bytecode. So the code compiled once is kept in the record's `code`
// beside the bundle, each module's marshalled in base64 text (Blender's strings hold no NUL),
// under a key of this Python's bytecode and the bundle: written as records of the bundle's
// form, "<key>" first.

Ref code_key(Borrowed bundle) {
    Ref magic = attr(require(PyImport_ImportModule("importlib.util")), "MAGIC_NUMBER"_n);
    return require(PyUnicode_FromFormat("%S %zd", call(attr(magic, "hex"_n)).get(), PyUnicode_GET_LENGTH(bundle.get())));
}

// The record's compiled code, module name -> base64 text; empty when it was compiled by
// another Python or from another bundle.
Ref kept_code(Borrowed record, Borrowed bundle) {
    Ref found = require(PyDict_New());
    Ref kept = field(record, "code"_n);
    Ref key = code_key(bundle);
    Ref prefix = concat({key, "\x0b\x0b"_n});
    if (require_status(static_cast<int>(PyUnicode_Tailmatch(kept.get(), prefix.get(), 0, PY_SSIZE_T_MAX, -1))) != 1)
        return found;
    Ref modules = require(PyUnicode_Substring(kept.get(), PyUnicode_GET_LENGTH(prefix.get()), PY_SSIZE_T_MAX));
    for_each_record(modules, [&](Ref module_name, Ref encoded) { set_item(found, module_name, encoded); });
    return found;
}

// The module's code from what the record kept, or nothing (not kept, or not readable).
Ref cached_code(Borrowed finder, Borrowed fullname) {
    Ref encoded = lookup(attr(finder, "compiled"_n), fullname);
    if (!encoded) return {};
    Ref binascii = require(PyImport_ImportModule("binascii"));
    Ref data = Ref::steal(PyObject_CallOneArg(attr(binascii, "a2b_base64"_n).get(), encoded.get()));
    Ref code;
    if (data) code = Ref::steal(PyMarshal_ReadObjectFromString(PyBytes_AS_STRING(data.get()), PyBytes_GET_SIZE(data.get())));
    if (code && PyCode_Check(code.get())) return code;
    // Damaged: compiled again, as if it had not been kept.
    if (!PyErr_ExceptionMatches(PyExc_Exception) && PyErr_Occurred()) raise_set();
    PyErr_Clear();
    return {};
}

void keep_code(Borrowed finder, Borrowed fullname, Borrowed code) {
    Ref data = require(PyMarshal_WriteObjectToString(code.get(), Py_MARSHAL_VERSION));
    Ref binascii = require(PyImport_ImportModule("binascii"));
    Ref encoded = call_keywords(attr(binascii, "b2a_base64"_n), {data}, {{"newline"_n, Py_False}});
    set_item(attr(finder, "compiled"_n), fullname, call(attr(encoded, "decode"_n), {"ascii"_n}));
    set_attr(finder, "changed"_n, Py_True);
}

// exec_module(module): runs the module's source in its namespace, as the path finder's loader
// runs a file. Its code names the file a plain copy would have. The file there holds
// something else (bl_info, or a placeholder), so the source is entered in linecache, as
// a loader's sources are, for tracebacks to show the code that ran.
Ref finder_exec_module(Borrowed vesk, Borrowed finder, Borrowed target) {
    Ref spec = attr(target, "__spec__"_n);
    Ref fullname = attr(spec, "name"_n);
    Ref source = finder_source(finder, fullname);
    Ref filename = attr(spec, "origin"_n);
    Ref code = cached_code(finder, fullname);
    if (!code) {
        code = call(global(vesk, "compile"_n), {source, filename, "exec"_n, integer(0), Py_True});
        keep_code(finder, fullname, code);
    }
    Ref lines = call(attr(source, "splitlines"_n), {Py_True});
    Ref entry = require(Py_BuildValue("(nOOO)", PyUnicode_GET_LENGTH(source.get()), Py_None, lines.get(),
                                      filename.get()));
    set_item(attr(require(PyImport_ImportModule("linecache")), "cache"_n), filename, entry);
    call(global(vesk, "exec"_n), {code, attr(target, "__dict__"_n)});
    return none();
}

// The finder's methods: each takes the finder and one argument (find_spec two more, unused).
Ref finder_create_module(Borrowed, Borrowed, Borrowed) { return none(); }  // the import system's default module

Ref finder_is_package(Borrowed, Borrowed finder, Borrowed fullname) {
    finder_source(finder, fullname);
    return Ref::borrow(is_package(finder, fullname) ? Py_True : Py_False);
}

struct FinderMethod {
    const char* name;
    const char* traced;  // the name its traceback entries carry
    const char* format;
    const char* const parameters[5];
    Ref (*body)(Borrowed vesk, Borrowed finder, Borrowed argument);
    const char* doc;
};

constexpr FinderMethod finder_method_rows[] = {
    {"find_spec", "BundleFinder.find_spec", "OO|OO:find_spec", {"self", "fullname", "path", "target", nullptr},
     [](Borrowed, Borrowed finder, Borrowed fullname) { return finder_find_spec(finder, fullname); },
     "find_spec($self, fullname, path=None, target=None)\n--\n\n"},
    {"create_module", "BundleFinder.create_module", "OO:create_module", {"self", "spec", nullptr}, finder_create_module,
     "create_module($self, spec)\n--\n\n"},
    {"exec_module", "BundleFinder.exec_module", "OO:exec_module", {"self", "module", nullptr}, finder_exec_module,
     "exec_module($self, module)\n--\n\n"},
    {"get_source", "BundleFinder.get_source", "OO:get_source", {"self", "fullname", nullptr},
     [](Borrowed, Borrowed finder, Borrowed fullname) { return finder_source(finder, fullname); },
     "get_source($self, fullname)\n--\n\n"},
    {"is_package", "BundleFinder.is_package", "OO:is_package", {"self", "fullname", nullptr}, finder_is_package,
     "is_package($self, fullname)\n--\n\n"},
};

// The C function for row `index`. Bound to corvane.vesk (whose globals it reads at the moment
// of use) and wrapped so that it binds to the finder like a method of a class body.
template <std::size_t index>
PyObject* finder_method(PyObject* vesk, PyObject* args, PyObject* kwargs) {
    const FinderMethod& method = finder_method_rows[index];
    PyObject *self = nullptr, *argument = nullptr, *unused_path = nullptr, *unused_target = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, method.format, const_cast<char**>(method.parameters), &self,
                                     &argument, &unused_path, &unused_target))
        return nullptr;
    return edge(method.traced, [&] { return method.body(vesk, self, argument); });
}

template <std::size_t... index>
std::array<PyMethodDef, sizeof...(index)> finder_definitions(std::index_sequence<index...>) {
    return {{{finder_method_rows[index].name,
              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(finder_method<index>)),
              METH_VARARGS | METH_KEYWORDS, finder_method_rows[index].doc}...}};
}

std::array<PyMethodDef, std::size(finder_method_rows)> finder_methods =
    finder_definitions(std::make_index_sequence<std::size(finder_method_rows)>());

// The finder's class, made once per process: it serves as the modules' loader too.
Kept bundle_finder_class;

Ref finder_class(Borrowed module) {
    if (bundle_finder_class) return Ref::borrow(bundle_finder_class.get());
    Ref body = require(PyDict_New());
    set_item(body, "__module__"_n, interned(module_name));
    set_item(body, "__doc__"_n, "Serves one add-on's modules from the bundle cached in its record."_n);
    for (PyMethodDef& definition : finder_methods) {
        Ref function = require(PyCFunction_NewEx(&definition, module.get(), interned(module_name).get()));
        set_item(body, interned(definition.ml_name), require(PyInstanceMethod_New(function.get())));
    }
    Ref bases = require(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    Ref created = call(reinterpret_cast<PyObject*>(&PyType_Type), {"BundleFinder"_n, bases, body});
    bundle_finder_class.keep(created);
    return created;
}

bool is_finder_for(Borrowed candidate, Borrowed name) {
    if (!bundle_finder_class || !Py_IS_TYPE(candidate.get(), reinterpret_cast<PyTypeObject*>(bundle_finder_class.get().get())))
        return false;
    return equal(attr(candidate, "name"_n), name);
}

// Takes the add-on's finders out of sys.meta_path; whether there was one.
bool remove_finders(Borrowed module, Borrowed name) {
    Ref meta_path = finders(module);
    bool removed = false;
    for (Py_ssize_t index = PyObject_Size(meta_path.get()); index-- > 0;) {
        if (!is_finder_for(item(meta_path, integer(static_cast<long>(index))), name)) continue;
        del_item(meta_path, integer(static_cast<long>(index)));
        removed = true;
    }
    return removed;
}

// The finder serving `name`, or nothing.
Ref find_finder(Borrowed module, Borrowed name) {
    Ref found;
    for_each(finders(module), [&](Ref candidate) {
        if (is_finder_for(candidate, name)) found = std::move(candidate);
        return !found;
    });
    return found;
}

// Whether `name` is served from this very bundle already.
bool serving(Borrowed module, Borrowed name, Borrowed bundle) {
    Ref finder = find_finder(module, name);
    if (!finder) return false;
    Ref served = attr_or(finder, "bundle"_n, Py_None);
    return PyUnicode_Check(served.get()) && equal(served, bundle);
}

void install_finder(Borrowed module, Borrowed name, Borrowed home, const PackageSources& found, Borrowed compiled,
                    Borrowed key) {
    Ref finder = call(finder_class(module));
    set_attr(finder, "name"_n, name);
    set_attr(finder, "home"_n, home);
    set_attr(finder, "sources"_n, found.sources);
    set_attr(finder, "packages"_n, found.packages);
    set_attr(finder, "compiled"_n, compiled);
    set_attr(finder, "key"_n, key);
    set_attr(finder, "changed"_n, Py_False);
    remove_finders(module, name);
    // Ahead of the path finder, which would otherwise find the __init__.py on disk.
    call(attr(finders(module), "insert"_n), {integer(0), finder});
}

// The __init__.py that stays on disk: the add-on's bl_info as it wrote it (its assignment
// found as Blender's add-on list finds it), and a stand-in for the add-on that Blender runs
// only when it enables the add-on before corvane has started.
Ref stub_source(Borrowed name, Borrowed init_source) {
    Ref ast = require(PyImport_ImportModule("ast"));
    Ref info = Ref::borrow(""_n);
    Ref tree = Ref::steal(PyObject_CallOneArg(attr(ast, "parse"_n).get(), init_source.get()));
    if (!tree) {
        // Not Python: Blender's enabling will say so, as it would for a plain copy.
        if (!PyErr_ExceptionMatches(PyExc_SyntaxError) && !PyErr_ExceptionMatches(PyExc_ValueError)) raise_set();
        PyErr_Clear();
    } else {
        Ref assign_type = attr(ast, "Assign"_n);
        for_each(attr(tree, "body"_n), [&](Ref node) {
            if (!require_status(PyObject_IsInstance(node.get(), assign_type.get()))) return true;
            Ref targets = attr(node, "targets"_n);
            if (PyObject_Size(targets.get()) != 1) return true;
            if (!equal(attr_or(item(targets, integer(0)), "id"_n, Py_None), "bl_info"_n)) return true;
            Ref segment = call(attr(ast, "get_source_segment"_n), {init_source, node});
            if (!segment.is(Py_None)) info = concat({segment, "\n"_n});
            return false;
        });
    }
    return require(PyUnicode_FromFormat(
        "# %U: installed by corvane. Its modules are kept in the preferences of the add-on that\n"
        "# manages it and served from there; this file carries what Blender's add-on list shows.\n"
        "%U\n"
        "# Stands in for the add-on when Blender enables it before corvane has started.\n"
        "__corvane_stand_in__ = True\n\n\n"
        "def register():\n    pass\n\n\n"
        "def unregister():\n    pass\n",
        name.get(), info.get()));
}

// Writes the __init__.py unless it already reads so: its time stamp, which Blender compares
// to reload a changed add-on, stays as it is.
void write_stub(const Load& load, Borrowed init_source) {
    Ref wanted = stub_source(load.name, init_source);
    Ref path = in_home(load, {"__init__.py"_n});
    if (is_file(load, path)) {
        Ref f = call_keywords(global(load.module, "open"_n), {path, "r"_n}, {{"encoding"_n, "utf-8"_n}});
        Ref present;
        with_closing(f, [&] { present = call(attr(f, "read"_n)); });
        if (equal(present, wanted)) return;
    }
    write_text_file(load, path, "__init__.py"_n, wanted);
}

// What stands on disk where a module of the add-on would be: its name and nothing of its
// code. Add-ons that find their modules by listing their folder (os.listdir, pkgutil) find
// them there; importing one is served from memory.
constexpr const char* module_placeholder = "# Served from memory by corvane.\n";

void write_placeholders(const Load& load, const PackageSources& found) {
    Ref makedirs = os_function(load, "makedirs"_n);
    Ref dirname = attr(attr(global(load.module, "os"_n), "path"_n), "dirname"_n);
    Ref placeholder = text(module_placeholder);
    for_each(found.sources, [&](Ref fullname) {
        if (equal(fullname, load.name)) return;  // the __init__.py carrying bl_info
        ModulePlace place = place_in(load.name, load.homepath, fullname,
                                     require_status(PySet_Contains(found.packages.get(), fullname.get())) == 1);
        if (is_file(load, place.file)) return;
        call_keywords(makedirs, {call(dirname, {place.file})}, {{"exist_ok"_n, Py_True}});
        Ref file_name = call(attr(attr(global(load.module, "os"_n), "path"_n), "basename"_n), {place.file});
        write_text_file(load, place.file, file_name, placeholder);
    });
}

// Puts the add-on's modules in reach of Python's import system, from a package-form bundle.
// What stands on disk is written when the bundle is new, or the add-on's folder lost it.
void serve_package(const Load& load, Borrowed record, Borrowed bundle, bool adopted) {
    PackageSources found = package_sources(load.name, bundle);
    Ref stub_path = in_home(load, {"__init__.py"_n});
    bool write = adopted || !is_file(load, stub_path);
    if (write) write_placeholders(load, found);
    Ref init_source = lookup(found.sources, load.name);
    if (!init_source) init_source = Ref::borrow(""_n);
    if (write) write_stub(load, init_source);
    install_finder(load.module, load.name, load.homepath, found, kept_code(record, bundle),
                   code_key(bundle));
    set_attr(find_finder(load.module, load.name), "bundle"_n, bundle);
}

Load load_for(Borrowed module, Borrowed name, Borrowed url) {
    Ref separator = attr(attr(global(module, "os"_n), "path"_n), "sep"_n);
    Load load{module, name, url, concat({call(global(module, "get_addons_path"_n)), separator, name})};
    if (!exists(load, load.homepath)) call(os_function(load, "mkdir"_n), {load.homepath});
    return load;
}

Ref import_module(Borrowed module, Borrowed name, Borrowed url) {
    Load load = load_for(module, name, url);
    Ref modules = require(PyList_New(0));

    bool adopted = false;
    Ref bundle = inner("fetch_data", [&] { return fetch_data(load, adopted); });
    if (is_package_form(name, bundle)) {
        // Blender imports and registers it when it enables it: nothing for corvane to order.
        // Served already from this very bundle (by init, at a start): nothing to do either.
        if (!serving(module, name, bundle)) serve_package(load, record_of(load), bundle, adopted);
        return modules;
    }

    Ref init_name = concat({name, ".__init__"_n});
    Ref auto_load_name = concat({name, ".auto_load"_n});
    Ref file_path = concat({load.homepath, "/"_n, name});
    Borrowed exec_mode = "exec"_n;

    for_each_record(bundle, [&](Ref module_name, Ref compile_data) {
        if (require_status(PyObject_RichCompareBool(module_name.get(), init_name.get(), Py_EQ)) ||
            require_status(PyObject_RichCompareBool(module_name.get(), auto_load_name.get(), Py_EQ))) {
            inner("save_module_as_file", [&] { save_module_as_file(load, module_name, compile_data); });
            return;
        }
        {
            Ref code = call(global(module, "compile"_n), {compile_data, module_name, exec_mode});
            compile_data.reset();
            Ref loaded = call(attr(global(module, "types"_n), "ModuleType"_n), {module_name});
            set_attr(loaded, "__package__"_n, name);
            set_attr(loaded, "__file__"_n, file_path);
            set_item(module_table(module), module_name, loaded);
            if (execute(module, code, attr(loaded, "__dict__"_n))) {
                require_status(PyList_Append(modules.get(), loaded.get()));
            }
        }
        module_name.reset();
        call(attr(global(module, "gc"_n), "collect"_n));
    });
    return modules;
}

}  // namespace

Ref import_module_entry(Borrowed module, const Arguments& arguments) {
    InFlight in_flight(module);
    return import_module(module, arguments[0], arguments[1]);
}

void download_release(Borrowed module, Borrowed name, Borrowed url) {
    Load load = load_for(module, name, url);
    download(load, false);
}

bool serves_package(Borrowed module, Borrowed name) { return static_cast<bool>(find_finder(module, name)); }

void start_package_from_cache(Borrowed module, Borrowed record) {
    Ref name = field(record, "name"_n);
    Ref data = field(record, "data"_n);
    if (!truthy(data)) return;
    Ref bundle = unescape_nul(data);
    data.reset();
    if (!is_package_form(name, bundle)) return;
    Ref no_address = none();  // nothing is fetched
    Load load = load_for(module, name, no_address);
    serve_package(load, record, bundle, false);

    // Blender enabled the add-on before corvane started: it runs the stand-in on disk, which
    // now makes way for the add-on itself, enabled by Blender as before.
    Ref table = module_table(module);
    Ref present = call(attr(table, "get"_n), {name});
    if (!has_attr(present, "__corvane_stand_in__"_n)) return;
    bool enabled = truthy(attr_or(present, "__addon_enabled__"_n, Py_False));
    Ref addon_utils = global(module, "addon_utils"_n);
    if (enabled) call(attr(addon_utils, "disable"_n), {name});
    if (call(attr(table, "get"_n), {name}).is(present)) del_item(table, name);
    if (enabled) call(attr(addon_utils, "enable"_n), {name});
}

void keep_compiled_code(Borrowed module, Borrowed record) {
    Ref finder = find_finder(module, field(record, "name"_n));
    if (!finder || !truthy(attr(finder, "changed"_n))) return;
    Ref parts = require(PyList_New(0));
    require_status(PyList_Append(parts.get(), attr(finder, "key"_n).get()));
    Ref compiled = attr(finder, "compiled"_n);
    Borrowed separator = "\x0b"_n;
    for_each(compiled, [&](Ref module_name) {
        require_status(PyList_Append(parts.get(), concat({module_name, separator, item(compiled, module_name)}).get()));
    });
    set_field(record, "code"_n, require(PyUnicode_Join("\x0b\x0b"_n.get(), parts.get())));
    set_attr(finder, "changed"_n, Py_False);
}

void take_down_package(Borrowed module, Borrowed name) {
    if (!serves_package(module, name)) return;
    // Blender's own disabling calls the add-on's unregister(), as for a plain copy.
    Ref present = call(attr(module_table(module), "get"_n), {name});
    if (truthy(attr_or(present, "__addon_enabled__"_n, Py_False))) {
        call(attr(global(module, "addon_utils"_n), "disable"_n), {name});
    }
    remove_finders(module, name);
    // Its modules go too, so that nothing of this release is found by a later import.
    Ref table = module_table(module);
    Ref prefix = concat({name, "."_n});
    Ref snapshot = require(PySequence_List(call(attr(table, "keys"_n)).get()));
    for_each(snapshot, [&](Ref key) {
        if (!PyUnicode_Check(key.get())) return;
        if (equal(key, name) || truthy(call(attr(key, "startswith"_n), {prefix}))) {
            if (require_status(PyDict_Contains(table.get(), key.get()))) del_item(table, key);
        }
    });
}

}  // namespace vesk
