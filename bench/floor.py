"""The floor: the steps an install and a start-up cannot do without, as a minimal
Python script with no bookkeeping around them. Runs inside Blender, in the place of
corvane.vesk's own pipeline, and is timed the same way.

Install: the service document, the add-on's index (read by the update check and
again by the download), the archive (its body written in one call, digested in reads
of 8192 bytes, unpacked), the data file's text into the record and back, the
start-up modules written as files, every other module compiled, entered in
sys.modules and executed with a full garbage collection after it, the classes
registered in an order known beforehand (no ordering worked out), the modules'
hooks called and their names taken out of sys.modules; then the record marked
installed, Blender's add-on list refreshed and the add-on enabled.

Start-up: the same from the bundle cached in the record, without the download and
without the install's last three steps.

`collect=False` leaves out the garbage collections, to show what they cost.
`mark(stage)` is called as each stage ends (the anatomy run times the stages with it).
"""

import gc
import hashlib
import os
import sys
import types
import zipfile

import addon_utils
import bpy
import requests
from baseline_load import get_addons_path  # the add-ons folder, made as the baseline makes it


def _unmarked(stage):
    pass


def ask_service_and_check(addon, mark):
    """The distribution service's answer, then the add-on's index for the update check."""
    url = requests.get(os.environ["VESK_SERVICE_URL"] + "/service.json").json()["url"]
    release = requests.get(f"{url}/{addon.name}/index.json").json()[0]
    if addon.version:
        addon.update = [int(part) for part in addon.version.split(".")] < release["version"]
        addon.tips = "No update"
    mark("requests: service and update check")
    return url


def download(name, url, home, addon, mark):
    last = requests.get(f"{url}/{name}/index.json").json()[0]
    addon.version = ".".join(str(it) for it in last["version"])
    mark("requests: index")
    response = requests.get(f"{url}/{name}/{last['md5']}.zip")
    mark("requests: archive")
    zip_path = f"{home}/{name}.zip"
    with open(zip_path, "wb") as wb:
        wb.write(response.content)
    del response
    mark("archive written")
    md5 = hashlib.md5()
    with open(zip_path, "rb") as rb:
        while chunk := rb.read(8192):
            md5.update(chunk)
    if md5.hexdigest() != last["md5"]:
        raise RuntimeError("archive digest differs")
    mark("digest reads")
    with zipfile.ZipFile(zip_path) as zf:
        zf.extractall(home)
    os.remove(zip_path)
    mark("unpack")


def load(addon, url, collect, mark):
    name = addon.name
    home = get_addons_path() + os.path.sep + name
    if not os.path.exists(home):
        os.mkdir(home)
    data_path = f"{home}/{name}.data"
    if not addon.data or os.path.exists(data_path):
        if not os.path.exists(data_path):
            download(name, url, home, addon, mark)
        with open(data_path, "rb") as data_file:
            addon.data = data_file.read().decode().replace("\0", "/x00")
        os.remove(data_path)
        mark("data file into the record")
    bundle = addon.data.replace("/x00", "\0").encode()
    mark("bundle from the record")
    startup = (name + ".__init__", name + ".auto_load")
    modules = []
    for record in bundle.split(b"\x0b\x0b"):
        if not record.strip():
            continue
        module_name, source = record.split(b"\x0b", 1)
        module_name, source = module_name.decode(), source.decode()
        mark("bundle split and decoded")
        if module_name in startup:
            with open(f"{home}/{module_name.split('.')[1]}.py", "w") as f:
                f.write(source)
            mark("start-up modules written")
            continue
        code = compile(source, module_name, "exec")
        mark("compile")
        module = types.ModuleType(module_name)
        module.__package__ = name
        module.__file__ = f"{home}/{name}"
        sys.modules[module_name] = module
        exec(code, module.__dict__)
        modules.append(module)
        mark("exec")
        if collect:
            gc.collect()
            mark("gc.collect")
    return modules


def register(modules, order, mark):
    by_name = {module.__name__: module for module in modules}
    register_class = bpy.utils.register_class
    for module_name, class_name in order:
        register_class(getattr(by_name[module_name], class_name))
    mark("register_class")
    for module in modules:
        module.register()
    mark("module hooks")
    for module in modules:
        del sys.modules[module.__name__]
    mark("sys.modules cleared")


def startup(addon, order, collect=True, mark=_unmarked):
    """The start-up thread's work: the add-on registered from the cached bundle."""
    url = ask_service_and_check(addon, mark)
    register(load(addon, url, collect, mark), order, mark)


def install(addon, order, collect=True, mark=_unmarked):
    """operator("install")'s work on a record that caches nothing yet."""
    url = ask_service_and_check(addon, mark)
    register(load(addon, url, collect, mark), order, mark)
    addon.status = 1
    addon.update = False
    addon.tips = "INSTALLED"
    addon_utils.modules_refresh()
    bpy.ops.preferences.addon_enable(module=addon.name)
    mark("add-on list refreshed and enabled")
