"""corvane.vesk's install and start-up pipeline written in plain Python: operator
("install"), register, the service document and the update check, as the C++ units
do them, with baseline_load.import_module for the loading and
baseline_order.get_ordered_classes for the class order. The benchmark runs it in
the place of the module's pipeline to compare the C++ with what it replaces.

`_vesk` is set by the benchmark to the host's preferences, as `init` sets the
module's.
"""

import os
import sys
import threading

import addon_utils
import baseline_load
import baseline_order
import bpy
import requests

_vesk = None
DEFAULT_SERVICE_URL = "http://127.0.0.1:8731"


class RegisterException(Exception):
    def __init__(self, details):
        super().__init__(details)
        self.code, self.tag, self.message = details


def service_address():
    configured = os.environ.get("VESK_SERVICE_URL", "")
    return (configured or DEFAULT_SERVICE_URL).rstrip("/")


def ask_service():
    service = service_address()
    response = requests.get(service + "/service.json")
    invalid = [1021, "service", "Distribution server sent an invalid answer, please try again later."]
    try:
        body = response.json()
    except ValueError:
        raise RegisterException(invalid) from None
    if not isinstance(body, dict):
        raise RegisterException(invalid)
    url = body.get("url", service)
    if not (isinstance(url, str) and url.lower().startswith(("http://", "https://"))):
        raise RegisterException(invalid)
    flag = body.get("manager_update", 0)
    if not isinstance(flag, int) or isinstance(flag, bool):
        raise RegisterException(invalid)
    return url.rstrip("/"), flag


def check_addon_update(addon, manager_update):
    if manager_update:
        threading.Thread(target=operator, args=("update_manager",)).start()
    release = requests.get(f"{addon.url}/{addon.name}/index.json").json()[0]
    if not addon.version:
        return
    addon.update = [int(part) for part in addon.version.split(".")] < release["version"]
    if addon.update:
        addon.tips = "Available update: " + ".".join(str(it) for it in release["version"])
    else:
        addon.tips = "No update"


def register(addon, action=None):
    addon.url = None
    try:
        url, manager_update = ask_service()
        addon.url = url
        check_addon_update(addon, manager_update)
        if action == "check_update":
            return None
        baseline_load._vesk = _vesk
        modules = baseline_load.import_module(addon.name, addon.url)
        ordered_classes = baseline_order.get_ordered_classes(modules)
        for cls in ordered_classes:
            bpy.utils.register_class(cls)
        name_list = []
        for module in modules:
            name_list.append(module.__name__)
            if module.__name__ == __name__:
                continue
            if hasattr(module, "register"):
                module.register()
        for name in list(sys.modules.keys()):
            if name in name_list:
                del sys.modules[name]
    except RegisterException as e:
        unregister(addon.name)
        return e
    _vesk.installed[addon.name] = {
        "unregister": [m.unregister for m in modules if hasattr(m, "unregister")],
        "ordered_classes": ordered_classes,
    }
    return None


def unregister(name):
    addon = _vesk.addons[name]
    addon.data = ""
    addon.version = ""
    addon.tips = ""
    addon.status = 0
    addon.update = False
    try:
        classes = _vesk.installed[name]["ordered_classes"]
        for cls in reversed(classes):
            bpy.utils.unregister_class(cls)
        [func() for func in _vesk.installed[name]["unregister"]]
    except Exception:
        pass


def install(addon):
    result = register(addon)
    if result:
        addon.tips = result.message
        return
    addon.status = 1
    addon.update = False
    addon.tips = "INSTALLED"
    try:
        addon_utils.modules_refresh()
        bpy.ops.preferences.addon_enable(module=addon.name)
    except Exception:
        pass


def operator(action):
    addon = _vesk.addons[_vesk.index]
    if action == "install":
        install(addon)
    else:
        raise NotImplementedError(action)
