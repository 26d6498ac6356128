"""bpy.utils: class registration and the user scripts folder."""

import os

registered = []  # classes in the order they were registered
calls = []  # ("register" | "unregister", class)
fail_on = {}  # class name -> exception raised when that class is (un)registered
scripts_path = None  # what script_path_user() returns; set by tests


def register_class(cls):
    calls.append(("register", cls))
    if cls.__name__ in fail_on:
        raise fail_on[cls.__name__]
    if cls in registered:
        raise ValueError(f"register_class(...): already registered as a subclass '{cls.__name__}'")
    registered.append(cls)


def unregister_class(cls):
    calls.append(("unregister", cls))
    if cls.__name__ in fail_on:
        raise fail_on[cls.__name__]
    if cls not in registered:
        raise RuntimeError(f"unregister_class(...): missing bl_rna attribute from '{cls.__name__}'")
    registered.remove(cls)


def script_path_user():
    return scripts_path if scripts_path is not None else os.path.join(os.environ.get("HOME", "/tmp"), "scripts")


def reset():
    global scripts_path
    registered.clear()
    calls.clear()
    fail_on.clear()
    scripts_path = None
