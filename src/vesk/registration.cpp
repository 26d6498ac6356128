// Class registration: the order of an add-on's Blender classes, register and unregister.
#include "frame.hpp"

#include <array>

#ifndef VESK_DEFAULT_SERVICE_URL
#define VESK_DEFAULT_SERVICE_URL "http://127.0.0.1:8731"
#endif

namespace vesk {
namespace {

// ---- the distribution service ---------------------------------------------------

Ref strip_trailing_slashes(Borrowed address) {
    return call(attr(address, "rstrip"), {text("/")});
}

// VESK_SERVICE_URL, read at every registration, else the address fixed at build time.
Ref service_address(Borrowed module) {
    Ref environ = attr(global(module, "os"), "environ");
    Ref configured = call(attr(environ, "get"), {text("VESK_SERVICE_URL"), text("")});
    if (!truthy(configured)) configured = text(VESK_DEFAULT_SERVICE_URL);
    return strip_trailing_slashes(configured);
}

[[noreturn]] void invalid_service_answer(Borrowed module) {
    Ref details = require(Py_BuildValue("[iss]", 1021, "service",
                                        "Distribution server sent an invalid answer, please try again later."));
    Ref error = call(global(module, "RegisterException"), {details});
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    raise_set();
}

bool is_web_address(Borrowed value) {
    if (!PyUnicode_Check(value.get())) return false;
    Ref lowered = call(attr(value, "lower"), {});
    Ref schemes = require(Py_BuildValue("(ss)", "http://", "https://"));
    return truthy(call(attr(lowered, "startswith"), {schemes}));
}

struct ServiceAnswer {
    Ref url;
    Ref manager_update;
};

// Asks the distribution service where the add-on's packages are and whether the
// manager itself is to be updated.
ServiceAnswer ask_service(Borrowed module) {
    Ref service = service_address(module);
    Ref address = require(PyUnicode_Concat(service.get(), text("/service.json").get()));
    Ref response = call(attr(global(module, "requests"), "get"), {address});
    Ref body = Ref::steal(PyObject_CallMethod(response.get(), "json", nullptr));
    if (!body) {
        // A body that is not JSON at all is as invalid as one that is not an object.
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) raise_set();
        PyErr_Clear();
        invalid_service_answer(module);
    }
    if (!PyDict_Check(body.get())) invalid_service_answer(module);

    ServiceAnswer answer;
    Ref url = Ref::borrow(PyDict_GetItemWithError(body.get(), text("url").get()));
    if (!url && PyErr_Occurred()) raise_set();
    if (!url) url = service;
    if (!is_web_address(url)) invalid_service_answer(module);
    answer.url = strip_trailing_slashes(url);

    Ref flag = Ref::borrow(PyDict_GetItemWithError(body.get(), text("manager_update").get()));
    if (!flag && PyErr_Occurred()) raise_set();
    if (!flag) flag = integer(0);
    // JSON true and false are not integers here.
    if (!PyLong_Check(flag.get()) || PyBool_Check(flag.get())) invalid_service_answer(module);
    answer.manager_update = flag;
    return answer;
}

// ---- register / unregister ------------------------------------------------------

struct Loaded {
    Ref modules;
    Ref ordered_classes;
};

// The protected part of register(): None when it ended early for "check_update".
bool load_and_register(Borrowed module, Borrowed addon, Borrowed action, Loaded& loaded) {
    ServiceAnswer service = ask_service(module);
    set_attr(addon, "url", service.url);
    check_addon_update(module, addon, service.manager_update);
    if (action && equals_text(action, "check_update")) return false;

    Ref name = attr(addon, "name");
    loaded.modules = call(global(module, "__import_module__"), {name, attr(addon, "url")});
    loaded.ordered_classes = call(global(module, "__get_ordered_classes__"), {loaded.modules});

    Ref register_class = attr(attr(global(module, "bpy"), "utils"), "register_class");
    Ref classes = require(PyObject_GetIter(loaded.ordered_classes.get()));
    while (Ref cls = Ref::steal(PyIter_Next(classes.get()))) call(register_class, {cls});
    if (PyErr_Occurred()) raise_set();

    // Every class is registered before the first module hook runs.
    Ref name_list = require(PyList_New(0));
    Ref own_name = global(module, "__name__");
    Ref modules = require(PyObject_GetIter(loaded.modules.get()));
    while (Ref loaded_module = Ref::steal(PyIter_Next(modules.get()))) {
        Ref module_name = attr(loaded_module, "__name__");
        require_status(PyList_Append(name_list.get(), module_name.get()));
        if (require_status(PyObject_RichCompareBool(module_name.get(), own_name.get(), Py_EQ))) continue;
        if (has_attr(loaded_module, "register")) call(attr(loaded_module, "register"), {});
    }
    if (PyErr_Occurred()) raise_set();

    // The add-on's modules leave the module table; the classes and hooks keep them alive.
    Ref table = attr(global(module, "sys"), "modules");
    Ref snapshot = require(PySequence_List(call(attr(table, "keys"), {}).get()));
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(snapshot.get()); ++index) {
        Borrowed key = PyList_GET_ITEM(snapshot.get(), index);
        if (contains(name_list, key)) del_item(table, key);
    }
    return true;
}

Ref unregister_hooks(Borrowed modules) {
    Ref hooks = require(PyList_New(0));
    Ref iterator = require(PyObject_GetIter(modules.get()));
    while (Ref loaded_module = Ref::steal(PyIter_Next(iterator.get()))) {
        if (has_attr(loaded_module, "unregister"))
            require_status(PyList_Append(hooks.get(), attr(loaded_module, "unregister").get()));
    }
    if (PyErr_Occurred()) raise_set();
    return hooks;
}

Ref register_addon(Borrowed module, Borrowed addon, Borrowed action) {
    set_attr(addon, "url", Py_None);
    Loaded loaded;
    try {
        if (!load_and_register(module, addon, action, loaded)) return none();
    } catch (const PythonError&) {
        CaughtError caught;
        Ref register_exception = global(module, "RegisterException");
        if (!caught.matches(register_exception)) {
            caught.restore();
            throw;
        }
        Ref error = caught.value();
        call(global(module, "unregister"), {attr(addon, "name")});
        return error;
    }
    Ref entry = require(PyDict_New());
    require_status(PyDict_SetItemString(entry.get(), "unregister", unregister_hooks(loaded.modules).get()));
    require_status(PyDict_SetItemString(entry.get(), "ordered_classes", loaded.ordered_classes.get()));
    Ref installed = attr(global(module, "_vesk"), "installed");
    set_item(installed, attr(addon, "name"), entry);
    return none();
}

// Takes the add-on's classes down in reverse order, then calls its modules' hooks.
void undo_registration(Borrowed module, Borrowed name) {
    Ref entry = item(attr(global(module, "_vesk"), "installed"), name);
    Ref classes = item(entry, text("ordered_classes"));
    Ref unregister_class = attr(attr(global(module, "bpy"), "utils"), "unregister_class");
    Ref backwards = call(global(module, "reversed"), {classes});
    while (Ref cls = Ref::steal(PyIter_Next(backwards.get()))) call(unregister_class, {cls});
    if (PyErr_Occurred()) raise_set();
    Ref hooks = require(PyObject_GetIter(item(entry, text("unregister")).get()));
    while (Ref hook = Ref::steal(PyIter_Next(hooks.get()))) call(hook, {});
    if (PyErr_Occurred()) raise_set();
}

Ref unregister_addon(Borrowed module, Borrowed name) {
    Ref addon = item(attr(global(module, "_vesk"), "addons"), name);
    set_attr(addon, "data", text(""));
    set_attr(addon, "version", text(""));
    set_attr(addon, "tips", text(""));
    set_attr(addon, "status", integer(0));
    set_attr(addon, "update", Py_False);
    try {
        undo_registration(module, name);
    } catch (const PythonError&) {
        CaughtError caught;
        if (!caught.matches(PyExc_Exception)) {
            caught.restore();
            throw;
        }
    }
    return none();
}

// ---- the module functions ---------------------------------------------------------

PyObject* py_register(PyObject* module, PyObject* args, PyObject* kwargs) noexcept {
    static const char* const names[] = {"addon", "action", nullptr};
    PyObject* addon = nullptr;
    PyObject* action = nullptr;
    if (!parse_arguments(args, kwargs, "O|O:register", names, &addon, &action)) return nullptr;
    if (action == Py_None) action = nullptr;
    return edge("register", [&] { return register_addon(module, addon, action); });
}

PyObject* py_unregister(PyObject* module, PyObject* args, PyObject* kwargs) noexcept {
    static const char* const names[] = {"name", nullptr};
    PyObject* name = nullptr;
    if (!parse_arguments(args, kwargs, "O:unregister", names, &name)) return nullptr;
    return edge("unregister", [&] { return unregister_addon(module, name); });
}

template <auto function>
PyCFunction as_method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

std::array functions = {
    PyMethodDef{"register", as_method<py_register>(), METH_VARARGS | METH_KEYWORDS,
                "register($module, /, addon, action=None)\n--\n\n"},
    PyMethodDef{"unregister", as_method<py_unregister>(), METH_VARARGS | METH_KEYWORDS,
                "unregister($module, /, name)\n--\n\n"},
};

}  // namespace

std::span<PyMethodDef> registration_functions() { return functions; }

}  // namespace vesk
