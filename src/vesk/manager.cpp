// Manager actions and update checks.
#include "frame.hpp"

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

namespace vesk {
namespace {

constexpr const char* default_package_index = "https://pypi.org";

// "1.4.2" as its numbers, or nothing when the text is not plain dotted integers.
bool dotted_numbers(std::string_view version, std::vector<std::string_view>& numbers) {
    numbers.clear();
    std::size_t start = 0;
    while (true) {
        std::size_t end = version.find('.', start);
        std::string_view part = version.substr(start, end == std::string_view::npos ? end : end - start);
        if (part.empty() || part.find_first_not_of("0123456789") != std::string_view::npos) return false;
        std::size_t significant = part.find_first_not_of('0');
        numbers.push_back(significant == std::string_view::npos ? std::string_view("0") : part.substr(significant));
        if (end == std::string_view::npos) return true;
        start = end + 1;
    }
}

// -1, 0 or 1 as a < b, a == b, a > b for two numbers written without leading zeros.
int compare_numbers(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    int order = a.compare(b);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

std::string_view utf8(Borrowed value) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value.get(), &size);
    if (!data) raise_set();
    return {data, static_cast<std::size_t>(size)};
}

// Whether the index's release is to be installed over the installed one: a newer
// release by number (1.10 after 1.9, 1.2 the same as 1.2.0); for versions that are
// not plain dotted integers, any difference.
bool is_newer(Borrowed latest, Borrowed installed) {
    std::vector<std::string_view> latest_numbers, installed_numbers;
    if (PyUnicode_Check(latest.get()) && PyUnicode_Check(installed.get()) &&
        dotted_numbers(utf8(latest), latest_numbers) && dotted_numbers(utf8(installed), installed_numbers)) {
        std::size_t length = std::max(latest_numbers.size(), installed_numbers.size());
        latest_numbers.resize(length, "0");
        installed_numbers.resize(length, "0");
        for (std::size_t index = 0; index < length; ++index) {
            int order = compare_numbers(latest_numbers[index], installed_numbers[index]);
            if (order != 0) return order > 0;
        }
        return false;
    }
    return require_status(PyObject_RichCompareBool(installed.get(), latest.get(), Py_NE)) != 0;
}

const char* const console_error = "ERROR, Check in blender console";

Ref update_from_index(Borrowed module, Borrowed package) {
    Ref environment = attr(global(module, "os"_n), "environ"_n);
    Ref base = call(attr(environment, "get"_n), {"VESK_PACKAGE_INDEX_URL"_n, ""_n});
    if (!truthy(base)) base = text(default_package_index);
    base = call(attr(base, "rstrip"_n), {"/"_n});
    Ref address = require(PyUnicode_FromFormat("%U/pypi/%S/json", base.get(), package.get()));

    Ref response = web_get(module, address);
    call(attr(response, "raise_for_status"_n), {});
    Ref data = call(attr(response, "json"_n), {});
    Ref version = attr(require(PyImport_ImportModule("importlib.metadata")), "version"_n);
    Ref latest = item(item(data, "info"_n), "version"_n);
    Ref installed = call(version, {package});
    if (!is_newer(latest, installed)) return Ref::borrow("Is using the latest version."_n);

    Ref pip = require(PyImport_ImportModule("pip"));
    Ref pip_arguments = require(Py_BuildValue("[ssO]", "install", "-U", package.get()));
    Ref exit_code = call(attr(pip, "main"_n), {pip_arguments});
    if (exit_code && !exit_code.is(Py_None) && truthy(exit_code)) {
        // pip said it failed: the user must not read that the update happened.
        console(module, exit_code, "stdout"_n);
        return text(console_error);
    }
    // pip also ends well having installed nothing ("Requirement already satisfied": the
    // release is not on its index, or not for this Python): the installed version, read
    // afresh from the disk, says whether the update happened.
    call(attr(require(PyImport_ImportModule("importlib")), "invalidate_caches"_n));
    Ref now_installed = call(attr(require(PyImport_ImportModule("importlib.metadata")), "version"_n), {package});
    if (is_newer(latest, now_installed) || is_newer(now_installed, latest)) {
        return require(PyUnicode_FromFormat("Update to %S failed: %S %S stays installed.", latest.get(),
                                            package.get(), now_installed.get()));
    }
    return require(PyUnicode_FromFormat("Update to %S, need to restart Blender.", latest.get()));
}

// At most one self-update per process: pips run side by side into one site-packages
// break it. Read and set under the interpreter lock, with no call in between.
bool update_under_way = false;
// The manager update thread started last; kept for the life of the process.
Kept manager_update_thread;

class UpdateTurn {
public:
    UpdateTurn() noexcept { update_under_way = true; }
    UpdateTurn(const UpdateTurn&) = delete;
    UpdateTurn& operator=(const UpdateTurn&) = delete;
    ~UpdateTurn() { update_under_way = false; }
};

Ref update_package(Borrowed module, Borrowed package) {
    if (online_access_off(module)) return text(online_access_disabled);
    if (update_under_way) return require(PyUnicode_FromFormat("An update of %S is already under way.", package.get()));
    UpdateTurn turn;
    try {
        return update_from_index(module, package);
    } catch (const PythonError&) {
        CaughtError caught;
        if (!caught.matches(PyExc_Exception)) {
            caught.restore();
            throw;
        }
        console(module, caught.value(), "stdout"_n);
        return text(console_error);
    }
}

// ---- the manager's actions on the selected record -----------------------------------

void uninstall(Borrowed module, Borrowed addon) {
    Ref name = field(addon, "name"_n);
    // An add-on Blender enabled itself is in its list even when this run registered nothing.
    bool served = serves_package(module, name);
    call(global(module, "unregister"_n), {name});
    Ref installed = attr(registry(module), "installed"_n);
    bool registered = contains(call(attr(installed, "keys"_n), {}), name);
    if (registered) del_item(installed, name);
    if (registered || served) {
        ignoring_errors([&] {
            Ref remove = attr(attr(attr(global(module, "bpy"_n), "ops"_n), "preferences"_n), "addon_remove"_n);
            call_keywords(remove, {}, {{"module"_n, name}});
        });
    }
    // Its files go too, registered or not (a failed install leaves them behind); as with
    // Blender's own removal, what cannot be removed stays without a word.
    ignoring_errors([&] {
        Ref separator = attr(attr(global(module, "os"_n), "path"_n), "sep"_n);
        Ref folder = require(PyUnicode_Concat(
            require(PyUnicode_Concat(call(global(module, "get_addons_path"_n)).get(), separator.get())).get(),
            name.get()));
        remove_path(module, folder);
    });
}

// bl_info["name"] in the installed add-on's __init__.py, read as Blender's add-on list reads
// it (parsed, not run); None when it names none.
Ref own_title(Borrowed module, Borrowed name) {
    Ref ast = require(PyImport_ImportModule("ast"));
    Ref separator = attr(attr(global(module, "os"_n), "path"_n), "sep"_n);
    Ref addons_path = call(global(module, "get_addons_path"_n));
    Ref path = require(PyUnicode_FromFormat("%S%S%S/__init__.py", addons_path.get(), separator.get(), name.get()));
    Ref source_file = call_keywords(global(module, "open"_n), {path}, {{"encoding"_n, "utf-8"_n}});
    Ref source = call(attr(source_file, "read"_n));
    call(attr(source_file, "close"_n));
    Ref assign_type = attr(ast, "Assign"_n);
    Ref found = none();
    for_each(attr(call(attr(ast, "parse"_n), {source}), "body"_n), [&](Ref node) {
        if (!require_status(PyObject_IsInstance(node.get(), assign_type.get()))) return true;
        Ref targets = attr(node, "targets"_n);
        if (PyObject_Size(targets.get()) != 1) return true;
        if (!equal(attr_or(item(targets, integer(0)), "id"_n, Py_None), "bl_info"_n)) return true;
        Ref info = call(attr(ast, "literal_eval"_n), {attr(node, "value"_n)});
        if (PyDict_Check(info.get())) {
            Ref title = lookup(info, "name"_n);
            if (title && PyUnicode_Check(title.get()) && truthy(title)) found = title;
        }
        return false;
    });
    return found;
}

// The last line of what Blender said when it did not enable an add-on, without the
// report's "Error: ": its report ends with the add-on's own exception (Blender 4.2 and
// later report that exception's text alone).
Ref last_line(Borrowed refusal) {
    if (!refusal) return Ref::borrow("Blender did not find it among its add-ons"_n);
    Ref lines = call(attr(as_text(refusal), "splitlines"_n));
    for (Py_ssize_t index = PyList_GET_SIZE(lines.get()) - 1; index >= 0; --index) {
        Ref line = call(attr(Borrowed(PyList_GET_ITEM(lines.get(), index)), "strip"_n));
        if (truthy(line)) return call(attr(line, "removeprefix"_n), {"Error: "_n});
    }
    return attr(Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(refusal.get()))), "__name__"_n);
}

// An install holds only when Blender itself has the add-on enabled afterwards (its
// __init__ may fail at import). Otherwise what the install registered is taken down, as
// after a failed install, and the tips say why.
void require_enabled(Borrowed module, Borrowed addon, Borrowed refusal) {
    Ref name = field(addon, "name"_n);
    Ref state = call(attr(global(module, "addon_utils"_n), "check"_n), {name});
    if (truthy(call(global(module, "all"_n), {state}))) return;
    call(global(module, "unregister"_n), {name});
    Ref installed = attr(registry(module), "installed"_n);
    if (contains(call(attr(installed, "keys"_n), {}), name)) del_item(installed, name);
    set_field(addon, "tips"_n, require(PyUnicode_FromFormat("Blender could not enable %S: %S",
                                                            addon_title(addon).get(), last_line(refusal).get())));
}

// The record of an add-on that registered: installed, and enabled in Blender's add-on list.
void mark_installed(Borrowed module, Borrowed addon) {
    set_field(addon, "status"_n, integer(1));
    set_field(addon, "update"_n, Py_False);
    set_field(addon, "tips"_n, "INSTALLED"_n);
    Ref name = field(addon, "name"_n);
    // The add-on's own name from now on; the title its name gives stays when it has none.
    ignoring_errors([&] {
        Ref title = own_title(module, name);
        if (!title.is(Py_None)) set_field(addon, "title"_n, title);
    });
    // Off the main thread Blender refuses the enabling whenever it is drawing: there the
    // caller (the host) makes it again on the main thread, and judges after that. An add-on
    // in the package form is left to that call altogether: enabling it runs its own
    // register(), which may touch Blender's window manager (key maps), off the main thread.
    bool main_thread = on_main_thread(module);
    Ref refusal;
    if (main_thread || !serves_package(module, name)) {
        refusal = error_of([&] {
            call(attr(global(module, "addon_utils"_n), "modules_refresh"_n), {});
            Ref enable = attr(attr(attr(global(module, "bpy"_n), "ops"_n), "preferences"_n), "addon_enable"_n);
            call_keywords(enable, {}, {{"module"_n, name}});
        });
    }
    if (main_thread) require_enabled(module, addon, refusal);
    // Blender's enabling compiled what the add-on imports: kept for the next start.
    keep_compiled_code(module, addon);
}

void install(Borrowed module, Borrowed addon) {
    Ref result = call(global(module, "register"_n), {addon});
    if (truthy(result)) {
        set_field(addon, "tips"_n, attr(result, "message"_n));
        return;
    }
    mark_installed(module, addon);
}

// The newest release is fetched and verified before the installed one is touched; when
// that fails, the installed release stays, registered and recorded, and the tips say why.
void update(Borrowed module, Borrowed addon) {
    Ref result;
    try {
        result = call(global(module, "register"_n), {addon, "update"_n});
    } catch (const PythonError&) {
        CaughtError caught;
        Borrowed error = caught.peek_value();
        if (error && caught.matches(PyExc_Exception) && host_alive()) {
            Ref tips = Ref::steal(PyUnicode_FromFormat("Update failed: %s: %S", Py_TYPE(error.get())->tp_name,
                                                       error.get()));
            if (!tips || PyObject_SetAttr(addon.get(), "tips"_n.get(), tips.get()) < 0) PyErr_Clear();
        }
        caught.restore();
        throw;
    }
    if (truthy(result)) {
        set_field(addon, "tips"_n, require(PyUnicode_Concat("Update failed: "_n.get(),
                                                             attr(result, "message"_n).get())));
        return;
    }
    mark_installed(module, addon);
}

Ref run_action(Borrowed module, Borrowed action) {
    Ref host = registry(module);
    Ref addon = item(attr(host, "addons"_n), attr(host, "index"_n));

    if (equal(action, "install"_n)) {
        install(module, addon);
    } else if (equal(action, "uninstall"_n)) {
        uninstall(module, addon);
    } else if (equal(action, "check_update"_n)) {
        call(global(module, "register"_n), {addon, "check_update"_n});
    } else if (equal(action, "update"_n)) {
        // Offline, nothing could be fetched: refused before anything changes.
        if (online_access_off(module)) raise(PyExc_ConnectionError, online_access_disabled);
        update(module, addon);
    } else if (equal(action, "update_manager"_n)) {
        Ref tips = call(global(module, "update_package"_n), {"corvane"_n});
        set_field(addon, "tips"_n, tips);
    } else if (equal(action, "version"_n)) {
        Ref version = attr(require(PyImport_ImportModule("importlib.metadata")), "version"_n);
        Ref installed = call(version, {"corvane"_n});
        return require(PyUnicode_Concat("Version: "_n.get(), installed.get()));
    } else if (equal(action, "preferences"_n)) {
        Ref context = attr(global(module, "bpy"_n), "context"_n);
        set_attr(attr(attr(context, "preferences"_n), "view"_n), "show_addons_enabled_only"_n, Py_False);
        Ref window_manager = attr(context, "window_manager"_n);
        set_attr(window_manager, "addon_filter"_n, "All"_n);
        set_attr(window_manager, "addon_search"_n, field(addon, "title"_n));
    }
    return none();
}

}  // namespace

Ref operator_entry(Borrowed module, const Arguments& arguments) {
    InFlight in_flight(module);
    return run_action(module, arguments[0]);
}

Ref update_package_entry(Borrowed module, const Arguments& arguments) {
    return update_package(module, arguments[0]);
}

Ref joined_version(Borrowed numbers) {
    Ref parts = require(PyList_New(0));
    for_each(numbers, [&](Ref number) { require_status(PyList_Append(parts.get(), as_text(number).get())); });
    return require(PyUnicode_Join("."_n.get(), parts.get()));
}

Ref release_for_blender(Borrowed module, Borrowed releases) {
    item(releases, integer(0));  // an empty index, or none at all, fails as it did before any choice
    Ref running = require(PySequence_Tuple(attr(attr(global(module, "bpy"_n), "app"_n), "version"_n).get()));
    Ref found;
    for_each(releases, [&](Ref release) {
        if (PyDict_Check(release.get())) {
            Ref minimum = lookup(release, "blender"_n);
            if (minimum && !minimum.is(Py_None)) {
                Ref wanted = require(PySequence_Tuple(minimum.get()));
                if (!require_status(PyObject_RichCompareBool(wanted.get(), running.get(), Py_LE))) return true;
            }
        }
        found = std::move(release);
        return false;
    });
    return found;
}

Ref newer_blender_needed(Borrowed addon, Borrowed releases) {
    Ref newest = item(releases, integer(0));
    Ref minimum = require(PySequence_List(item(newest, "blender"_n).get()));
    // X.Y: Blender's releases are named by their first two numbers.
    if (PyList_GET_SIZE(minimum.get()) > 2) require_status(PyList_SetSlice(minimum.get(), 2, PY_SSIZE_T_MAX, nullptr));
    Ref title = addon_title(addon);
    return require(PyUnicode_FromFormat("%S %S needs Blender %S or later", title.get(),
                                        joined_version(item(newest, "version"_n)).get(),
                                        joined_version(minimum).get()));
}

void check_addon_update(Borrowed module, Borrowed addon, Borrowed manager_update, Borrowed timeout) {
    // One manager update at a time: none is started while the last one started runs, or
    // while the host's own Update Manager does.
    if (truthy(manager_update) && !update_under_way &&
        !(manager_update_thread && truthy(call(attr(manager_update_thread.get(), "is_alive"_n))))) {
        Ref thread_type = attr(global(module, "threading"_n), "Thread"_n);
        Ref target_arguments = require(Py_BuildValue("(s)", "update_manager"));
        Ref thread = call_keywords(thread_type, {},
                                   {{"target"_n, global(module, "operator"_n)}, {"args"_n, target_arguments}});
        // Not a daemon, even when a start-up registration (a daemon) starts it: quitting
        // waits for pip, since a pip cut off half-way leaves a broken install.
        set_attr(thread, "daemon"_n, Py_False);
        call(attr(thread, "start"_n), {});
        manager_update_thread.keep(thread);
    }
    Ref address = require(PyUnicode_FromFormat("%S/%S/index.json", field(addon, "url"_n).get(),
                                               field(addon, "name"_n).get()));
    Ref response = web_get(module, address, timeout);
    if (Ref message = not_published(response, addon)) {
        // An add-on being installed cannot be; an installed one goes on from its cached
        // bundle, and the check says why it found no release.
        if (!truthy(field(addon, "status"_n))) raise_register_exception(module, 1022, "index", message);
        set_field(addon, "update"_n, Py_False);
        set_field(addon, "tips"_n, message);
        return;
    }
    Ref releases = call(attr(response, "json"_n), {});
    Ref release = release_for_blender(module, releases);
    if (!release) {
        set_field(addon, "update"_n, Py_False);
        set_field(addon, "tips"_n, newer_blender_needed(addon, releases));
        return;
    }

    Ref installed = field(addon, "version"_n);
    if (!truthy(installed)) {
        // Installed without a known version (a data file adopted by an older corvane): the
        // newest release is offered, so that an update brings it to a known one.
        if (!truthy(field(addon, "status"_n))) return;
        set_field(addon, "update"_n, Py_True);
        Ref shown = joined_version(item(release, "version"_n));
        set_field(addon, "tips"_n, require(PyUnicode_Concat("Available update: "_n.get(), shown.get())));
        return;
    }
    Ref latest = joined_version(item(release, "version"_n));
    set_field(addon, "update"_n, is_newer(latest, installed) ? Py_True : Py_False);
    if (truthy(field(addon, "update"_n))) {
        set_field(addon, "tips"_n, require(PyUnicode_Concat("Available update: "_n.get(), latest.get())));
    } else {
        set_field(addon, "tips"_n, "No update"_n);
    }
}

}  // namespace vesk
