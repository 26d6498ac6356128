// Class registration: the order of an add-on's Blender classes, register and unregister.
#include "frame.hpp"

#include <algorithm>
#include <array>
#include <vector>

#ifndef VESK_DEFAULT_SERVICE_URL
#define VESK_DEFAULT_SERVICE_URL "http://127.0.0.1:8731"
#endif

namespace vesk {
namespace {

// ---- helpers ----------------------------------------------------------------------

// object.name(*arguments), without making a bound method first.
Ref call_method(Borrowed object, Borrowed name, std::initializer_list<Borrowed> arguments = {},
                Where at = Where::here()) {
    std::array<PyObject*, 4> vector{object.get()};
    std::size_t count = 1;
    for (Borrowed argument : arguments) vector.at(count++) = argument.get();
    return require(PyObject_VectorcallMethod(name.get(), vector.data(), count, nullptr), at);
}

// left <op> right, as the interpreter's operator followed by a truth test.
bool compares(Borrowed left, Borrowed right, int operation,
              Where at = Where::here()) {
    Ref result = require(PyObject_RichCompare(left.get(), right.get(), operation), at);
    return truthy(result, at);
}

// ---- __get_ordered_classes__ -------------------------------------------------------

// The 13 Blender types an add-on's registrable classes derive from directly.
std::array<Borrowed, 13> base_type_names() {
    return {"Panel"_n,   "Operator"_n, "PropertyGroup"_n, "AddonPreferences"_n, "Header"_n,
            "Menu"_n,    "Node"_n,     "NodeSocket"_n,    "NodeTree"_n,         "UIList"_n,
            "RenderEngine"_n, "Gizmo"_n, "GizmoGroup"_n};
}

// One call's work. The selected classes are numbered in the iteration order of their
// set; the dependency graph and the ordering work on those numbers.
class Ordering {
public:
    explicit Ordering(Borrowed module) : module_(module) {}

    Ref run(Borrowed modules) {
        Ref base_types = register_base_types();
        Ref selected = select_classes(base_types, classes_in_modules(modules));
        number_classes(selected);
        index_idnames();
        find_dependencies();
        return order();
    }

private:
    // The 13 Blender base types, looked up by name as the running Blender has them.
    Ref register_base_types() {
        Ref types = attr(global(module_, "bpy"_n), "types"_n);
        Ref found = require(PySet_New(nullptr));
        for (Borrowed name : base_type_names()) require_status(PySet_Add(found.get(), attr(types, name).get()));
        return found;
    }

    // Every class in the namespaces of `modules`, counted once.
    Ref classes_in_modules(Borrowed modules) {
        Ref is_class = attr(global(module_, "inspect"_n), "isclass"_n);
        Ref found = require(PySet_New(nullptr));
        for_each(modules, [&](Ref namespace_module) {
            // The values view's iterator notices a namespace that changes size meanwhile.
            for_each(call_method(attr(namespace_module, "__dict__"_n), "values"_n), [&](Ref value) {
                if (truthy(call(is_class, {value}))) require_status(PySet_Add(found.get(), value.get()));
            });
        });
        return found;
    }

    // The candidates that derive directly from a base type and are not registered yet.
    Ref select_classes(Borrowed base_types, Borrowed candidates) {
        Ref selected = require(PySet_New(nullptr));
        for_each(candidates, [&](Ref cls) {
            bool direct = false;
            for_each(attr(cls, "__bases__"_n), [&](Ref base) {
                direct = require_status(PySet_Contains(base_types.get(), base.get())) != 0;
                return !direct;
            });
            if (!direct) return;
            if (truthy(attr_or(cls, "is_registered"_n, Py_False))) return;
            require_status(PySet_Add(selected.get(), cls.get()));
        });
        return selected;
    }

    void number_classes(Borrowed selected) {
        for_each(selected, [&](Ref cls) {
            set_item(number_of_, cls, integer(static_cast<long>(classes_.size())));
            classes_.push_back(std::move(cls));
        });
        dependents_.resize(classes_.size());
        pending_.assign(classes_.size(), 0);
    }

    // bl_idname -> class. A class without bl_idname is known to Blender by its
    // class name, and parent panels are named that way too; an explicit bl_idname wins.
    void index_idnames() {
        Ref by_name = require(PyDict_New());
        for (const Ref& cls : classes_) {
            if (has_attr(cls, "bl_idname"_n)) {
                set_item(by_idname_, attr(cls, "bl_idname"_n), cls);
            } else {
                set_item(by_name, attr(cls, "__name__"_n), cls);
            }
        }
        require_status(PyDict_Merge(by_name.get(), by_idname_.get(), 1));
        by_idname_ = std::move(by_name);
    }

    // The class an annotation declares as the type of a pointer or collection property, or None.
    Ref dependency_from_annotation(Borrowed value) {
        Ref bpy = global(module_, "bpy"_n);
        Ref version = attr(attr(bpy, "app"_n), "version"_n);
        if (compares(version, deferred_from_, Py_GE)) {
            Ref deferred = attr(attr(bpy, "props"_n), "_PropertyDeferred"_n);
            if (!require_status(PyObject_IsInstance(value.get(), deferred.get()))) return none();
            return call_method(attr(value, "keywords"_n), "get"_n, {"type"_n});
        }
        // Before 3.2 a declaration is the pair (property function, keywords).
        if (!PyTuple_Check(value.get())) return none();
        Py_ssize_t length = PyObject_Size(value.get());
        if (length < 0) raise_set();
        if (length != 2) return none();
        Ref props = attr(bpy, "props"_n);
        if (compares(item(value, zero_), attr(props, "PointerProperty"_n), Py_EQ) ||
            compares(item(value, zero_), attr(props, "CollectionProperty"_n), Py_EQ)) {
            return item(item(value, one_), "type"_n);
        }
        return none();
    }

    // The number of the selected class `dependency` stands for; -1 for anything else.
    Py_ssize_t number(Borrowed dependency) {
        Ref found = lookup(number_of_, dependency);
        if (!found) return -1;
        return PyLong_AsSsize_t(found.get());
    }

    void add_dependency(Py_ssize_t cls, Py_ssize_t dependency, std::vector<Py_ssize_t>& added_for) {
        // A set of dependencies: each counts once.
        if (added_for[dependency] == cls) return;
        added_for[dependency] = cls;
        dependents_[dependency].push_back(cls);
        ++pending_[cls];
    }

    void find_dependencies() {
        Ref get_type_hints = attr(global(module_, "typing"_n), "get_type_hints"_n);
        std::vector<Py_ssize_t> added_for(classes_.size(), -1);
        for (Py_ssize_t index = 0; index < static_cast<Py_ssize_t>(classes_.size()); ++index) {
            Borrowed cls = classes_[index];
            Ref globals = require(PyDict_New());
            Ref locals = require(PyDict_New());
            Ref hints = call(get_type_hints, {cls, globals, locals});
            for_each(call_method(hints, "values"_n), [&](Ref value) {
                Ref dependency = dependency_from_annotation(value);
                if (dependency.is(Py_None)) return;
                Py_ssize_t found = number(dependency);
                if (found >= 0) add_dependency(index, found, added_for);
            });

            Ref panel = attr(attr(global(module_, "bpy"_n), "types"_n), "Panel"_n);
            if (!contains(attr(cls, "__bases__"_n), panel)) continue;
            Ref parent_idname = attr_or(cls, "bl_parent_id"_n, Py_None);
            if (parent_idname.is(Py_None)) continue;
            Ref parent = lookup(by_idname_, parent_idname);
            if (parent) add_dependency(index, number(parent), added_for);
        }
    }

    // Pass by pass: a pass places every class whose dependencies were all placed in
    // earlier passes, so a class never shares a pass with one it depends on. Each
    // pass costs the classes left over plus the edges out of the classes it placed.
    Ref order() {
        std::vector<Py_ssize_t> placed;
        placed.reserve(classes_.size());
        std::vector<Py_ssize_t> left_over(classes_.size());
        for (Py_ssize_t index = 0; index < static_cast<Py_ssize_t>(left_over.size()); ++index) left_over[index] = index;
        std::vector<Py_ssize_t> unsorted;
        while (!left_over.empty()) {
            std::size_t pass_start = placed.size();
            unsorted.clear();
            for (Py_ssize_t cls : left_over) (pending_[cls] == 0 ? placed : unsorted).push_back(cls);
            if (placed.size() == pass_start) raise_circular(unsorted);
            for (std::size_t at = pass_start; at < placed.size(); ++at) {
                for (Py_ssize_t dependent : dependents_[placed[at]]) --pending_[dependent];
            }
            left_over.swap(unsorted);
        }
        Ref result = require(PyList_New(static_cast<Py_ssize_t>(placed.size())));
        for (std::size_t at = 0; at < placed.size(); ++at) {
            PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(at), Py_NewRef(classes_[placed[at]].get()));
        }
        return result;
    }

    [[noreturn]] void raise_circular(const std::vector<Py_ssize_t>& left_over) {
        Ref names = require(PyList_New(0));
        for (Py_ssize_t cls : left_over) {
            require_status(PyList_Append(names.get(), as_text(attr(classes_[cls], "__name__"_n)).get()));
        }
        Ref joined = require(PyUnicode_Join(", "_n.get(), names.get()));
        Ref message = require(PyUnicode_FromFormat(
            "cannot order classes for registration, circular dependency among: %U", joined.get()));
        PyErr_SetObject(PyExc_ValueError, message.get());
        raise_set();
    }

    Borrowed module_;
    Ref deferred_from_ = require(Py_BuildValue("(ii)", 3, 2));
    Ref zero_ = integer(0);
    Ref one_ = integer(1);
    std::vector<Ref> classes_;
    Ref number_of_ = require(PyDict_New());  // class -> its number; membership as in a set
    Ref by_idname_ = require(PyDict_New());
    std::vector<std::vector<Py_ssize_t>> dependents_;  // number -> the numbers depending on it
    std::vector<Py_ssize_t> pending_;                  // number -> its dependencies not placed yet
};

// ---- the distribution service ---------------------------------------------------

Ref strip_trailing_slashes(Borrowed address) {
    return call(attr(address, "rstrip"_n), {"/"_n});
}

// VESK_SERVICE_URL, read at every registration, else the address the host gave init,
// else the one fixed at build time.
Ref service_address(Borrowed module) {
    Ref environment = attr(global(module, "os"_n), "environ"_n);
    Ref configured = call(attr(environment, "get"_n), {"VESK_SERVICE_URL"_n, ""_n});
    if (!truthy(configured)) configured = attr_or(registry(module), "service_url"_n, Py_None);
    if (configured.is(Py_None)) configured = text(VESK_DEFAULT_SERVICE_URL);
    return strip_trailing_slashes(configured);
}

[[noreturn]] void invalid_service_answer(Borrowed module) {
    raise_register_exception(module, 1021, "service",
                             "Distribution server sent an invalid answer, please try again later."_n);
}

bool is_web_address(Borrowed value) {
    if (!PyUnicode_Check(value.get())) return false;
    Ref lowered = call(attr(value, "lower"_n), {});
    Ref schemes = require(Py_BuildValue("(ss)", "http://", "https://"));
    return truthy(call(attr(lowered, "startswith"_n), {schemes}));
}

struct ServiceAnswer {
    Ref url;
    Ref manager_update;
};

// Asks the distribution service where the add-on's packages are and whether the
// manager itself is to be updated.
ServiceAnswer ask_service(Borrowed module, Borrowed timeout) {
    Ref service = service_address(module);
    Ref address = require(PyUnicode_Concat(service.get(), "/service.json"_n.get()));
    Ref response = web_get(module, address, timeout);
    Ref body = Ref::steal(PyObject_CallMethodNoArgs(response.get(), "json"_n.get()));
    if (!body) {
        // A body that is not JSON at all is as invalid as one that is not an object.
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) raise_set();
        PyErr_Clear();
        invalid_service_answer(module);
    }
    if (!PyDict_Check(body.get())) invalid_service_answer(module);

    ServiceAnswer answer;
    Ref url = lookup(body, "url"_n);
    if (!url) url = service;
    if (!is_web_address(url)) invalid_service_answer(module);
    answer.url = strip_trailing_slashes(url);

    Ref flag = lookup(body, "manager_update"_n);
    if (!flag) flag = integer(0);
    // JSON true and false are not integers here.
    if (!PyLong_Check(flag.get()) || PyBool_Check(flag.get())) invalid_service_answer(module);
    answer.manager_update = flag;
    return answer;
}

// ---- register / unregister ------------------------------------------------------

// The items of `names` as a set when every one is a plain str, else nothing. For a
// plain str key, membership in it is membership in the list (str equality is by
// content either way), found by hash instead of a scan of the list per key.
Ref text_set(Borrowed names) {
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(names.get()); ++index) {
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(names.get(), index))) return {};
    }
    return require(PySet_New(names.get()));
}

// Whether a caught error is Blender refusing a registration because its main thread is
// running a Python draw or poll callback, during which Blender allows no change.
bool refused_while_drawing(CaughtError& error) {
    if (!error.matches(PyExc_RuntimeError)) return false;
    Borrowed value = error.peek_value();
    if (!value) return false;
    Ref message = Ref::steal(PyObject_Str(value.get()));
    Ref marker = Ref::steal(PyUnicode_FromString("can't run in readonly state"));
    bool drawing = message && marker && PyUnicode_Check(message.get()) &&
                   PyUnicode_Find(message.get(), marker.get(), 0, PyUnicode_GET_LENGTH(message.get()), 1) >= 0;
    PyErr_Clear();  // str() of an odd exception may fail: the caught error is what counts
    return drawing;
}

// bpy.utils.register_class(cls). A start-up thread meets Blender's refusal at random
// while Blender draws its interface; the refusal changes nothing, so off the main thread
// the call is made again once the drawing is over (within half a minute). On the main
// thread the refusal means the caller itself is drawing: it stands.
void register_when_blender_lets(Borrowed module, Borrowed register_class, Borrowed cls) {
    double pause = 0.001;
    for (double waited = 0; ; waited += pause, pause = std::min(pause * 2, 0.05)) {
        if (Ref::steal(PyObject_CallOneArg(register_class.get(), cls.get()))) return;
        CaughtError refusal;  // set aside while looking at it and at the thread, and while waiting
        if (!refused_while_drawing(refusal) || waited > 30 || on_main_thread(module)) {
            refusal.restore();
            raise_set();
        }
        Ref sleep = attr(require(PyImport_ImportModule("time")), "sleep"_n);
        call(sleep, {require(PyFloat_FromDouble(pause)).get()});
    }
}

// What an installed add-on's start tells its user when the server was not asked or
// gave no answer, and what Check Update tells then.
constexpr const char* offline_start_tips = "Offline: running from the saved copy; updates were not checked.";
constexpr const char* offline_check_tips = "Offline: could not check for updates.";

// A server silent this long counts as unreachable, for an add-on that can start without it.
constexpr long offline_wait_seconds = 10;

// The add-on's base address and its update check. False when the server gave no answer
// at all (refused, unresolved, timed out) and the add-on can start without it
// (`timeout` given); any answer, an error status included, goes the usual way.
bool ask_server(Borrowed module, Borrowed addon, Borrowed timeout) {
    try {
        ServiceAnswer service = ask_service(module, timeout);
        set_field(addon, "url"_n, service.url);
        check_addon_update(module, addon, service.manager_update, timeout);
        return true;
    } catch (const PythonError&) {
        CaughtError caught;
        if (timeout) {
            Ref exceptions = attr(global(module, "requests"_n), "exceptions"_n);
            Ref no_answer = require(PyTuple_Pack(2, attr(exceptions, "ConnectionError"_n).get(),
                                                 attr(exceptions, "Timeout"_n).get()));
            if (caught.matches(no_answer)) return false;
        }
        caught.restore();
        throw;
    }
}

// What register() is asked to do.
enum class Mode {
    install,       // the default action: load and register
    check_update,  // the update check alone
    update,        // the newest release fetched and verified first, then put in place of the installed one
};

Mode mode_of(Borrowed action) {
    if (!action) return Mode::install;
    if (equal(action, "check_update"_n)) return Mode::check_update;
    if (equal(action, "update"_n)) return Mode::update;
    return Mode::install;
}

Ref unregister_hooks(Borrowed modules);

// Takes down what a failing registration registered: its classes in reverse order, then
// the unregister hooks of the modules whose register hook had run. The failure stays the
// one raised; what fails here is dropped.
void undo_partial_registration(Borrowed module, Borrowed registered, Borrowed hooked) {
    CaughtError failure;
    try {
        Ref unregister_class = attr(attr(global(module, "bpy"_n), "utils"_n), "unregister_class"_n);
        for (Py_ssize_t index = PyList_GET_SIZE(registered.get()); index-- > 0;) {
            if (!Ref::steal(PyObject_CallOneArg(unregister_class.get(), PyList_GET_ITEM(registered.get(), index))))
                PyErr_Clear();
        }
        for_each(unregister_hooks(hooked), [&](Ref hook) {
            if (!Ref::steal(PyObject_CallNoArgs(hook.get()))) PyErr_Clear();
        });
    } catch (const PythonError&) {
        PyErr_Clear();
    }
    failure.restore();
}

// The add-on's modules leave the module table; the classes and hooks keep them alive.
void leave_module_table(Borrowed module, Borrowed name_list) {
    Ref table = attr(global(module, "sys"_n), "modules"_n);
    Ref snapshot = require(PySequence_List(call(attr(table, "keys"_n), {}).get()));
    Ref name_set = text_set(name_list);
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(snapshot.get()); ++index) {
        Borrowed key = PyList_GET_ITEM(snapshot.get(), index);
        bool listed = name_set && PyUnicode_CheckExact(key.get())
                          ? require_status(PySet_Contains(name_set.get(), key.get())) != 0
                          : contains(name_list, key);
        if (listed) del_item(table, key);
    }
}

// leave_module_table for the modules a stopped registration loaded; the failure stays the one raised.
void forget_loaded_modules(Borrowed module, Borrowed modules) {
    CaughtError failure;
    try {
        Ref name_list = require(PyList_New(0));
        for_each(modules, [&](Ref loaded_module) {
            require_status(PyList_Append(name_list.get(), attr(loaded_module, "__name__"_n).get()));
        });
        leave_module_table(module, name_list);
    } catch (const PythonError&) {
        PyErr_Clear();
    }
    failure.restore();
}

// The protected part of register(), from the loading on; for an update, from the fetch
// of the new release on.
void load_and_register(Borrowed module, Borrowed addon, Borrowed name, Mode mode) {
    if (mode == Mode::update) {
        // Nothing of the installed release changes until the new one is on disk, whole and verified.
        download_release(module, name, field(addon, "url"_n));
        call(global(module, "unregister"_n), {name});
    }

    Ref modules = call(global(module, "__import_module__"_n), {name, field(addon, "url"_n)});
    Ref ordered_classes = call(global(module, "__get_ordered_classes__"_n), {modules});

    Ref registered = require(PyList_New(0));
    Ref hooked = require(PyList_New(0));
    try {
        check_host();
        Ref register_class = attr(attr(global(module, "bpy"_n), "utils"_n), "register_class"_n);
        for_each(ordered_classes, [&](Ref cls) {
            register_when_blender_lets(module, register_class, cls);
            require_status(PyList_Append(registered.get(), cls.get()));
        });

        // Every class is registered before the first module hook runs.
        Ref name_list = require(PyList_New(0));
        Ref own_name = global(module, "__name__"_n);
        for_each(modules, [&](Ref loaded_module) {
            Ref module_name = attr(loaded_module, "__name__"_n);
            require_status(PyList_Append(name_list.get(), module_name.get()));
            if (equal(module_name, own_name)) return;
            if (has_attr(loaded_module, "register"_n)) {
                call(attr(loaded_module, "register"_n), {});
                require_status(PyList_Append(hooked.get(), loaded_module.get()));
            }
        });

        leave_module_table(module, name_list);

        Ref entry = require(PyDict_New());
        set_item(entry, "unregister"_n, unregister_hooks(modules));
        set_item(entry, "ordered_classes"_n, ordered_classes);
        set_item(attr(registry(module), "installed"_n), name, entry);
    } catch (const PythonError&) {
        // A registration that fails leaves nothing registered that nobody could take down.
        undo_partial_registration(module, registered, hooked);
        // One stopped because its host went leaves nothing of the add-on behind for the next.
        if (!host_alive()) forget_loaded_modules(module, modules);
        throw;
    }
}

Ref unregister_hooks(Borrowed modules) {
    Ref hooks = require(PyList_New(0));
    for_each(modules, [&](Ref loaded_module) {
        if (has_attr(loaded_module, "unregister"_n))
            require_status(PyList_Append(hooks.get(), attr(loaded_module, "unregister"_n).get()));
    });
    return hooks;
}

// ---- one registration of an add-on at a time ---------------------------------------

// Registrations of the same add-on take turns. Overlapping ones (a start-up thread and
// the host's Install or Update) would load their modules into the one module table at
// once and take each other's out of it, so that a sibling import fails and the add-on
// is registered without that module; they would reset each other's `url`; and they
// could store their entries in another order than Blender registered their classes,
// leaving an entry that uninstalling cannot take down. Different add-ons still load
// side by side. The locks are re-entrant (an add-on's hook may register it again) and
// live as long as the process.
Kept registration_locks;  // add-on name -> _thread.RLock

Ref registration_lock(Borrowed name) {
    if (!registration_locks) registration_locks.keep(require(PyDict_New()));
    Borrowed locks = registration_locks.get();
    if (Ref found = lookup(locks, name)) return found;
    Ref lock = call(attr(require(PyImport_ImportModule("_thread")), "RLock"_n));
    // The import may have let another thread in: the first lock stored wins.
    PyObject* stored = PyDict_SetDefault(locks.get(), name.get(), lock.get());
    if (!stored) raise_set();
    return Ref::borrow(stored);
}

class RegistrationTurn {
public:
    explicit RegistrationTurn(Borrowed name) : lock_(registration_lock(name)) {
        // Waiting releases the interpreter lock, so the registration being waited for runs on.
        call(attr(lock_, "acquire"_n));
    }
    RegistrationTurn(const RegistrationTurn&) = delete;
    RegistrationTurn& operator=(const RegistrationTurn&) = delete;
    ~RegistrationTurn() {
        if (!PyGILState_Check()) return;  // the thread is being ended at finalization (see Ref)
        // Runs while an exception may be on its way out: it is set aside meanwhile.
        CaughtError on_its_way;
        Ref released = Ref::steal(PyObject_CallMethodNoArgs(lock_.get(), "release"_n.get()));
        if (!released) PyErr_WriteUnraisable(lock_.get());
        on_its_way.restore();
    }

private:
    Ref lock_;
};

Ref register_addon(Borrowed module, Borrowed addon, Borrowed action) {
    Ref name = field(addon, "name"_n);
    Mode mode = mode_of(action);
    RegistrationTurn turn(name);
    set_field(addon, "url"_n, Py_None);
    // An installed add-on with its bundle cached needs no server to start: offline it
    // starts from that copy, its record kept as it is. Any other record needs the server,
    // and so does an update.
    bool startable_offline =
        mode != Mode::update && truthy(field(addon, "status"_n)) && truthy(field(addon, "data"_n));
    // Offline by the user's choice: nothing is asked of the network and the record stays
    // whole (not a RegisterException, so nothing is unregistered).
    bool online = !online_access_off(module);
    if (!online && !startable_offline) raise(PyExc_ConnectionError, online_access_disabled);
    try {
        if (online) online = ask_server(module, addon, startable_offline ? integer(offline_wait_seconds) : Ref());
        if (mode == Mode::check_update) {
            if (!online) set_field(addon, "tips"_n, text(offline_check_tips));
            return none();
        }
        load_and_register(module, addon, name, mode);
        if (!online) set_field(addon, "tips"_n, text(offline_start_tips));
    } catch (const PythonError&) {
        CaughtError caught;
        Ref register_exception = global(module, "RegisterException"_n);
        if (!caught.matches(register_exception)) {
            caught.restore();
            throw;
        }
        Ref error = caught.value();
        // A failed update leaves the installed release as it was.
        if (mode != Mode::update) call(global(module, "unregister"_n), {name});
        return error;
    }
    return none();
}

// Takes the add-on's classes down in reverse order, then calls its modules' hooks.
void undo_registration(Borrowed module, Borrowed name) {
    Ref entry = item(attr(registry(module), "installed"_n), name);
    Ref classes = item(entry, "ordered_classes"_n);
    Ref unregister_class = attr(attr(global(module, "bpy"_n), "utils"_n), "unregister_class"_n);
    for_each(call(global(module, "reversed"_n), {classes}), [&](Ref cls) { call(unregister_class, {cls}); });
    for_each(item(entry, "unregister"_n), [&](Ref hook) { call(hook); });
}

Ref unregister_addon(Borrowed module, Borrowed name) {
    Ref addon = item(attr(registry(module), "addons"_n), name);
    set_field(addon, "data"_n, ""_n);
    set_field(addon, "code"_n, ""_n);
    set_field(addon, "version"_n, ""_n);
    set_field(addon, "tips"_n, ""_n);
    set_field(addon, "status"_n, integer(0));
    set_field(addon, "update"_n, Py_False);
    // Each undo goes as far as it can; what fails in it is dropped.
    ignoring_errors([&] { undo_registration(module, name); });
    ignoring_errors([&] { take_down_package(module, name); });
    return none();
}

}  // namespace

// ---- the module functions ---------------------------------------------------------

Ref register_entry(Borrowed module, const Arguments& arguments) {
    InFlight in_flight(module);
    return register_addon(module, arguments[0], arguments[1]);
}

Ref unregister_entry(Borrowed module, const Arguments& arguments) {
    InFlight in_flight(module);
    return unregister_addon(module, arguments[0]);
}

Ref get_ordered_classes_entry(Borrowed module, const Arguments& arguments) {
    return Ordering(module).run(arguments[0]);
}

}  // namespace vesk
