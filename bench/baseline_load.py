"""The steps of corvane.vesk.__import_module__ written in Python: the baseline the
load benchmark measures the module against. Like the module, it reads its globals
(`_vesk`, `gc`, the built-ins) at the moment of use, so the benchmark can time
`compile`, `exec` and `gc.collect` in both the same way."""

import gc
import hashlib
import os
import sys
import types
import zipfile

import bpy
import requests

_vesk = None


def get_addons_path():
    scripts_path = bpy.utils.script_path_user()
    if not os.path.exists(scripts_path):
        os.mkdir(scripts_path)
    addons_path = scripts_path + os.path.sep + "addons"
    if not os.path.exists(addons_path):
        os.mkdir(addons_path)
    if addons_path not in sys.path:
        sys.path.append(addons_path)
    return addons_path


def import_module(name, url):
    HOMEPATH = get_addons_path() + os.path.sep + name

    def temporary(file_name):
        return f"{HOMEPATH}/.{file_name}.{os.getpid()}.tmp"

    def download():
        result = requests.get(f"{url}/{name}/index.json")
        last = result.json()[0]
        _vesk.addons[name].version = ".".join(str(it) for it in last["version"])
        zip = requests.get(f"{url}/{name}/{last['md5']}.zip")
        filepath = HOMEPATH + "/" + name + ".zip"
        with open(filepath, "wb") as wb:
            wb.write(zip.content)
        md5 = hashlib.md5()
        with open(filepath, "rb") as rb:
            while chunk := rb.read(8192):
                md5.update(chunk)
        if last["md5"] != md5.hexdigest():
            os.remove(filepath)
            raise RuntimeError([1020, "md5", "Zip file has broken, please reinstall."])
        with zipfile.ZipFile(filepath) as zf:
            data_name = f"{name}.data"
            members = zf.infolist()
            zf.extractall(HOMEPATH, [m for m in members if m.filename != data_name])
            for member in members:
                if member.filename == data_name:
                    with zf.open(member) as source, open(temporary(data_name), "wb") as target:
                        while chunk := source.read(1 << 20):
                            target.write(chunk)
                    os.replace(temporary(data_name), HOMEPATH + "/" + data_name)
        os.remove(filepath)

    def fetch_data():
        addon = _vesk.addons[name]
        data_file_path = HOMEPATH + "/" + name + ".data"
        if not addon.data or os.path.exists(data_file_path):
            if not os.path.exists(data_file_path):
                download()
            with open(data_file_path, "rb") as data_file:
                addon.data = data_file.read().decode().replace("\0", "/x00")
            os.remove(data_file_path)
        return addon.data.replace("/x00", "\0").encode()

    def save_module_as_file(name, data):
        path = HOMEPATH + "/" + name.split(".")[1] + ".py"
        with open(temporary(name), "w", encoding="utf-8") as f:
            f.write(data)
        os.replace(temporary(name), path)

    if not os.path.exists(HOMEPATH):
        os.mkdir(HOMEPATH)
    modules = []
    content = fetch_data().split(b"\x0b\x0b")
    for module_data in content:
        if not module_data.strip():
            continue
        module_name, compile_data = module_data.split(b"\x0b", 1)
        module_name, compile_data = module_name.decode(), compile_data.decode()
        if module_name == name + ".__init__" or module_name == name + ".auto_load":
            save_module_as_file(module_name, compile_data)
            continue
        code = compile(compile_data, module_name, "exec")
        module = types.ModuleType(module_name)
        module.__package__ = name
        module.__file__ = HOMEPATH + "/" + name
        sys.modules[module_name] = module
        try:
            exec(code, module.__dict__)
            modules.append(module)
        except Exception as e:
            print(e)
        del module_data, module_name, compile_data, code, module
        gc.collect()
    return modules
