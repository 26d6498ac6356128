"""Publish an add-on release into a distribution folder.

    python3 -m corvane publish SOURCE [VERSION] --dist DIST [--name NAME] [--force]
                               [--base-url URL] [--manager-update 0|1]

(``python3 -m corvane.publish`` takes the same arguments.)

SOURCE is the add-on as Blender would install it from a zip: a folder (a
package, with its ``__init__.py`` at the top) or a single ``.py`` file.  This
builds the package archive the manager downloads::

    DIST/service.json              {"url": ..., "manager_update": 0}  (created once)
    DIST/NAME/index.json           [{"version": [1, 2, 0], "md5": "...",
                                     "blender": [3, 0, 0]}, ...]   (newest first)
    DIST/NAME/<md5>.zip            NAME.data + the add-on's other files

``NAME.data`` is the module bundle: UTF-8 text whose records are separated by
two 0x0B bytes, each record being a dotted module name + one 0x0B byte + the
module's source.  It comes in two forms:

* the package form (any SOURCE without ``auto_load.py`` at its top): a first
  record ``NAME.__form__`` whose source is ``"package"``, then every module of
  the add-on's package tree (``NAME.__init__`` first, ``NAME.sub.__init__``,
  ``NAME.sub.mod``, ... in path order).  The manager serves them from memory
  to the add-on's own imports; Blender enables the add-on itself.  Every other
  file goes into the archive at its relative path.
* the auto_load form (a folder with ``auto_load.py`` at its top, flat): the
  manager writes ``__init__`` and ``auto_load`` to disk and runs every other
  module from memory in bundle order, so the bundle is ordered such that every
  module's sibling imports are already loaded.

Only the standard library is used, so this runs in Blender's own Python too.
"""

from __future__ import annotations

import argparse
import ast
import hashlib
import heapq
import io
import json
import keyword
import os
import sys
import tempfile
import tokenize
import zipfile

__all__ = [
    "PublishError", "publish", "build_bundle", "split_bundle", "bundle_form", "source_form",
    "build_archive",
    "order_modules", "update_index", "plan_service", "parse_version", "read_bl_info",
    "release_version", "main",
]

RECORD_SEPARATOR = b"\x0b\x0b"
NAME_SEPARATOR = b"\x0b"
# Modules the manager writes as files into the add-on directory; they go first.
STARTUP_MODULES = ("__init__", "auto_load")
# The first record of a package-form bundle: its name is NAME + FORM_RECORD.
FORM_RECORD = ".__form__"
PACKAGE_FORM_SOURCE = '"package"\n'
# The manager caches the bundle with NUL characters spelled as this text and
# turns every occurrence back into NUL when it loads, so a source may not
# contain it literally.
NUL_ESCAPE = "/x00"

# Every member gets the same timestamp and mode, so equal sources give
# byte-identical archives (and so the same digest) on every publish.
ZIP_DATE_TIME = (1980, 1, 1, 0, 0, 0)
ZIP_FILE_MODE = 0o644
ZIP_CREATE_SYSTEM = 3  # Unix, whatever platform publishes
ZIP_COMPRESSION = zipfile.ZIP_DEFLATED
ZIP_COMPRESSLEVEL = 9

# Folder and file names never shipped.
_SKIPPED_DIRS = {"__pycache__"}
_SKIPPED_SUFFIXES = (".pyc", ".pyo")


class PublishError(Exception):
    """A source folder or distribution folder that cannot be published."""


# ---------------------------------------------------------------- versions


def parse_version(version) -> list[int]:
    """"1.2.0" (or [1, 2, 0]) -> [1, 2, 0]; anything else is refused."""
    if isinstance(version, (list, tuple)):
        parts = list(version)
        if parts and all(type(p) is int and p >= 0 for p in parts):
            return parts
        raise PublishError(f"version {version!r}: expected non-negative integers")
    text = str(version).strip()
    items = text.split(".")
    if not text or not all(item.isascii() and item.isdigit() for item in items):
        raise PublishError(
            f"version {version!r}: expected dotted non-negative integers such as 1.2.0"
        )
    return [int(item) for item in items]


def _check_identifier(what: str, name: str, where: str) -> None:
    if not name.isidentifier() or keyword.iskeyword(name):
        raise PublishError(
            f"{where}: {what} {name!r} is not a Python identifier, "
            "so it cannot be imported"
        )


# ------------------------------------------------------------ source folder


def _scan_source(source_dir: str):
    """Return (module files {module: path}, other files [(arcname, path)])."""
    modules: dict[str, str] = {}
    others: list[tuple[str, str]] = []
    for root, dirs, files in os.walk(source_dir):
        dirs[:] = sorted(d for d in dirs if d not in _SKIPPED_DIRS and not d.startswith("."))
        rel_root = os.path.relpath(root, source_dir)
        for fname in sorted(files):
            if fname.startswith(".") or fname.endswith(_SKIPPED_SUFFIXES):
                continue
            path = os.path.join(root, fname)
            if fname.endswith(".py"):
                if rel_root != os.curdir:
                    raise PublishError(
                        f"{path}:1: nested packages are not supported: every module "
                        "is loaded as a direct member of the add-on, so all .py files "
                        "must sit at the top of the source folder"
                    )
                module = fname[:-3]
                _check_identifier("module name", module, f"{path}:1")
                modules[module] = path
            else:
                arcname = fname if rel_root == os.curdir else (
                    rel_root.replace(os.sep, "/") + "/" + fname
                )
                others.append((arcname, path))
    others.sort()
    return modules, others


def _line_of(text: str, index: int) -> int:
    return text.count("\n", 0, index) + 1


def _read_source(path: str, utf8_only: bool = True) -> str:
    """Decode a module the way Python's importer would and normalise newlines.

    The auto_load form takes UTF-8 sources only (`utf8_only`); otherwise a coding
    line's encoding is decoded here and the text travels as UTF-8, the coding line
    kept as written (compiling text ignores it)."""
    with open(path, "rb") as f:
        raw = f.read()
    try:
        encoding, _ = tokenize.detect_encoding(io.BytesIO(raw).readline)
    except SyntaxError as e:
        raise PublishError(f"{path}:{getattr(e, 'lineno', None) or 1}: {e}") from None
    if encoding not in ("utf-8", "utf-8-sig") and utf8_only:
        raise PublishError(
            f"{path}:1: declares the encoding {encoding}; the bundle carries UTF-8 "
            "only, so save the file as UTF-8 and drop the coding line"
        )
    if encoding == "utf-8":
        encoding = "utf-8-sig"  # the importer drops a byte order mark too
    try:
        text = raw.decode(encoding)
    except UnicodeDecodeError as e:
        line = raw.count(b"\n", 0, e.start) + 1
        what = "UTF-8" if encoding == "utf-8-sig" else encoding
        raise PublishError(f"{path}:{line}: not valid {what} ({e.reason})") from None
    # The importer reads sources with universal newlines; doing the same here
    # keeps the bundle identical whichever platform published it.
    return text.replace("\r\n", "\n").replace("\r", "\n")


def _check_carriable(path: str, text: str) -> None:
    """Refuse what the bundle format cannot carry."""
    index = text.find("\x0b\x0b")
    if index >= 0:
        raise PublishError(
            f"{path}:{_line_of(text, index)}: two consecutive 0x0B (vertical tab) "
            "characters; they separate the bundle's records, write them as '\\x0b'"
        )
    index = text.find(NUL_ESCAPE)
    if index >= 0:
        raise PublishError(
            f"{path}:{_line_of(text, index)}: contains the text {NUL_ESCAPE!r}, which "
            "the manager turns into a NUL character when it loads the bundle; "
            "spell it differently (for example '/x' '00')"
        )


def _check_source(path: str, module_name: str, text: str) -> ast.Module:
    """Refuse what the bundle format cannot carry or the manager cannot order; return
    the parsed module."""
    _check_carriable(path, text)
    try:
        code = compile(text, module_name, "exec", dont_inherit=True)
    except SyntaxError as e:
        line = e.lineno
        if line is None and "\x00" in text:
            line = _line_of(text, text.find("\x00"))
        raise PublishError(f"{path}:{line or 1}: does not compile: {e.msg}") from None
    except ValueError as e:  # NUL bytes on some Python versions
        index = text.find("\x00")
        raise PublishError(
            f"{path}:{_line_of(text, max(index, 0))}: does not compile: {e}"
        ) from None
    del code
    tree = ast.parse(text, path)
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom) and node.module == "__future__":
            if any(alias.name == "annotations" for alias in node.names):
                raise PublishError(
                    f"{path}:{node.lineno}: 'from __future__ import annotations' is "
                    "not supported: the manager reads class annotations as objects "
                    "to order the classes it registers"
                )
        if isinstance(node, ast.ImportFrom) and node.level > 1:
            raise PublishError(
                f"{path}:{node.lineno}: relative import beyond the add-on package "
                f"({'.' * node.level}{node.module or ''})"
            )
    return tree


# ------------------------------------------------------------ import order


def _is_type_checking(test: ast.expr) -> bool:
    if isinstance(test, ast.Name):
        return test.id == "TYPE_CHECKING"
    return isinstance(test, ast.Attribute) and test.attr == "TYPE_CHECKING"


def _load_time_imports(tree: ast.Module):
    """Yield the import statements that run while the module executes.

    Function bodies run later (when called), and ``if TYPE_CHECKING:`` blocks
    never run, so their imports do not constrain the load order; everything
    else at module level (including class bodies, ``try`` and ``with``
    blocks) does.
    """
    stack = list(reversed(tree.body))
    while stack:
        node = stack.pop()
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            yield node
            continue
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda)):
            continue
        if isinstance(node, ast.If) and _is_type_checking(node.test):
            stack.extend(reversed(node.orelse))
            continue
        children = [c for c in ast.iter_child_nodes(node) if isinstance(c, ast.stmt)]
        if isinstance(node, getattr(ast, "Match", ())):  # Python 3.10+
            children = [s for case in node.cases for s in case.body]
        elif isinstance(node, (ast.Try, getattr(ast, "TryStar", ast.Try))):
            children = list(node.body)
            for handler in node.handlers:
                children.extend(handler.body)
            children.extend(node.orelse)
            children.extend(node.finalbody)
        stack.extend(reversed(children))


def _sibling_imports(tree: ast.Module, addon: str, siblings) -> dict[str, int]:
    """Map each sibling module imported at load time to its first line."""
    found: dict[str, int] = {}

    def add(module: str | None, line: int) -> None:
        if module in siblings and module not in found:
            found[module] = line

    for node in _load_time_imports(tree):
        if isinstance(node, ast.Import):
            for alias in node.names:
                parts = alias.name.split(".")
                if parts[0] == addon and len(parts) > 1:
                    add(parts[1], node.lineno)
            continue
        if node.level == 1:
            parts = node.module.split(".") if node.module else []
        elif node.level == 0 and node.module and node.module.split(".")[0] == addon:
            parts = node.module.split(".")[1:]
        else:
            continue
        if parts:  # from .x import y / from NAME.x import y
            add(parts[0], node.lineno)
        else:  # from . import x / from NAME import x
            for alias in node.names:
                add(alias.name, node.lineno)
    return found


def _find_cycle(deps: dict[str, dict[str, int]], remaining: set[str]) -> list[str]:
    """Return one cycle [a, b, ..., a] among the modules left unordered."""
    start = min(remaining)
    path = [start]
    seen = {start: 0}
    while True:
        current = path[-1]
        nxt = min(d for d in deps[current] if d in remaining)
        if nxt in seen:
            return path[seen[nxt]:] + [nxt]
        seen[nxt] = len(path)
        path.append(nxt)


def order_modules(addon: str, trees: dict[str, ast.Module], paths: dict[str, str]) -> list[str]:
    """Start-up modules first, then the others with every sibling import earlier."""
    loaded = [m for m in trees if m not in STARTUP_MODULES]
    deps = {
        m: {d: line for d, line in _sibling_imports(trees[m], addon, loaded).items() if d != m}
        for m in loaded
    }
    waiting = {m: set(deps[m]) for m in loaded}
    users: dict[str, list[str]] = {m: [] for m in loaded}
    for m, ds in deps.items():
        for d in ds:
            users[d].append(m)
    ready = [m for m in loaded if not waiting[m]]
    heapq.heapify(ready)
    order: list[str] = []
    while ready:
        m = heapq.heappop(ready)
        order.append(m)
        for user in users[m]:
            waiting[user].discard(m)
            if not waiting[user]:
                heapq.heappush(ready, user)
    remaining = set(loaded) - set(order)
    if remaining:
        cycle = _find_cycle(deps, remaining)
        steps = "; ".join(
            f"{paths[a]}:{deps[a][b]} imports {b}" for a, b in zip(cycle, cycle[1:])
        )
        raise PublishError(
            "import cycle among sibling modules "
            + " -> ".join(cycle)
            + f": {steps}. Each module is loaded once, in order, so one of these "
            "imports must move into a function"
        )
    return [m for m in STARTUP_MODULES if m in trees] + order


# ----------------------------------------------------------------- bl_info


def _bl_info_file(source) -> str:
    """The file Blender reads bl_info from: the single file, or the folder's __init__.py."""
    source = os.fspath(source)
    if os.path.isdir(source):
        return os.path.join(source, "__init__.py")
    if os.path.isfile(source) and source.endswith(".py"):
        return source
    raise PublishError(f"{source}: not a folder or a .py file")


def _bl_info_assignment(tree: ast.Module):
    for node in tree.body:
        if (isinstance(node, ast.Assign) and len(node.targets) == 1
                and getattr(node.targets[0], "id", None) == "bl_info"):
            return node
    return None


def _find_bl_info(source) -> dict | None:
    """bl_info as Blender's add-on list reads it: the top-level assignment parsed, not
    run; None when there is none. A bl_info that is not a literal dictionary is refused."""
    path = _bl_info_file(source)
    try:
        text = _read_source(path, utf8_only=False)
    except FileNotFoundError:
        return None
    offset = 0
    try:
        tree = ast.parse(text, path)
    except SyntaxError as e:
        # Blender lists a module whose code elsewhere does not compile: it parses only
        # the block from the line starting with "bl_info" to the next blank line.
        lines = text.splitlines(keepends=True)
        first = next((i for i, line in enumerate(lines) if line.startswith("bl_info")), None)
        if first is None:
            raise PublishError(f"{path}:{e.lineno or 1}: does not compile: {e.msg}") from None
        block = []
        for line in lines[first:]:
            if not line.strip():
                break
            block.append(line)
        try:
            tree = ast.parse("".join(block), path)
        except SyntaxError:
            raise PublishError(f"{path}:{e.lineno or 1}: does not compile: {e.msg}") from None
        offset = first
    node = _bl_info_assignment(tree)
    if node is None:
        return None
    try:
        info = ast.literal_eval(node.value)
    except ValueError:
        info = None
    if not isinstance(info, dict):
        raise PublishError(f"{path}:{node.lineno + offset}: bl_info is not a literal dictionary")
    return info


def read_bl_info(source) -> dict:
    """The add-on's bl_info, read from its __init__.py (or its single .py file) as
    Blender reads it: parsed, not run; {} when it has none. A bl_info that is not a
    literal dictionary is refused."""
    info = _find_bl_info(source)
    return {} if info is None else info


def _bl_info_numbers(info: dict, key: str, source) -> list[int] | None:
    if key not in info:
        return None
    try:
        if not isinstance(info[key], (tuple, list)):
            raise PublishError(key)
        return parse_version(info[key])
    except PublishError:
        raise PublishError(
            f"{_bl_info_file(source)}: bl_info[{key!r}] is {info[key]!r}; "
            "expected a tuple of non-negative integers such as (1, 2, 0)"
        ) from None


def release_version(source, version=None, force=False) -> list[int]:
    """The release's version: VERSION as given, else bl_info["version"]. A VERSION that
    differs from bl_info's is refused unless forced: users would be offered one number
    and see another in Blender's add-on list."""
    own = _bl_info_numbers(read_bl_info(source), "version", source)
    if version is None:
        if own is None:
            raise PublishError(f"{_bl_info_file(source)}: bl_info has no "
                               "\"version\"; give the release's VERSION")
        return own
    numbers = parse_version(version)
    if own is not None and numbers != own and not force:
        raise PublishError(
            f"{_bl_info_file(source)}: VERSION {_dotted(numbers)} differs from "
            f"bl_info[\"version\"] {_dotted(own)}; leave VERSION out, correct bl_info, or force it"
        )
    return numbers


def _dotted(numbers) -> str:
    return ".".join(str(n) for n in numbers)


# ------------------------------------------------------------------ bundle


def source_form(source) -> str:
    """"auto_load" for a folder with auto_load.py at its top, "package" for any other
    folder or a single .py file."""
    source = os.fspath(source)
    if os.path.isdir(source):
        return "auto_load" if os.path.isfile(os.path.join(source, "auto_load.py")) else "package"
    if os.path.isfile(source) and source.endswith(".py"):
        return "package"
    raise PublishError(f"{source}: not a folder or a .py file")


def _default_name(source: str) -> str:
    base = os.path.basename(os.path.normpath(os.path.abspath(source)))
    return base[:-3] if os.path.isfile(source) else base


def build_bundle(source, name: str | None = None):
    """Check an add-on's modules and make its bundle, in the source's form.

    Returns (name, bundle bytes, modules in bundle order without the add-on's
    prefix, other files [(arcname, path)]).
    """
    source = os.fspath(source)
    form = source_form(source)
    if name is None:
        name = _default_name(source)
    _check_identifier("add-on name", name, source)
    if form == "package":
        return _build_package_bundle(source, name)
    return _build_auto_load_bundle(source, name)


def _is_module_name(stem: str) -> bool:
    return stem.isidentifier() and not keyword.iskeyword(stem)


def _scan_package(source_dir: str):
    """Return (modules [(dotted name below the add-on, path)] in path order, other
    files [(arcname, path)]): a module is a .py file with an importable name in a
    folder that is a package all the way from the top; everything else is a file."""
    modules: list[tuple[str, str, str]] = []
    others: list[tuple[str, str]] = []
    packages = {os.curdir}
    for root, dirs, files in os.walk(source_dir):
        dirs[:] = sorted(d for d in dirs if d not in _SKIPPED_DIRS and not d.startswith("."))
        rel_root = os.path.relpath(root, source_dir)
        parts = [] if rel_root == os.curdir else rel_root.split(os.sep)
        in_package = rel_root in packages
        for d in dirs:
            if (in_package and d.isidentifier()
                    and os.path.isfile(os.path.join(root, d, "__init__.py"))):
                packages.add(os.path.join(rel_root, d) if parts else d)
        for fname in sorted(files):
            if fname.startswith(".") or fname.endswith(_SKIPPED_SUFFIXES):
                continue
            path = os.path.join(root, fname)
            arcname = "/".join(parts + [fname])
            if in_package and fname.endswith(".py") and _is_module_name(fname[:-3]):
                modules.append((arcname, ".".join(parts + [fname[:-3]]), path))
            else:
                others.append((arcname, path))
    modules.sort()
    others.sort()
    return [(module, path) for _, module, path in modules], others


def _refuse_manager_names(name: str, others) -> None:
    """The manager keeps NAME.data and NAME.zip in the add-on folder: no file of the add-on may take them."""
    for arcname, path in others:
        if arcname in (f"{name}.data", f"{name}.zip"):
            raise PublishError(
                f"{path}:1: the name {arcname!r} is taken by the manager's own "
                "files in the add-on folder"
            )


def _build_package_bundle(source: str, name: str):
    if os.path.isdir(source):
        modules, others = _scan_package(source)
        top = os.path.join(source, "__init__.py")
        if not any(module == "__init__" for module, _ in modules):
            raise PublishError(
                f"{top}:1: missing; Blender installs a folder only as a package, "
                "with its __init__.py at the top"
            )
    else:
        top = source
        modules, others = [("__init__", source)], []
    if _find_bl_info(source) is None:
        raise PublishError(
            f"{top}:1: no bl_info dictionary; Blender's add-on list could not show "
            "the add-on without one"
        )
    _refuse_manager_names(name, others)
    # Blender finds the package's __init__ first; the rest in path order.
    modules.sort(key=lambda item: item[0] != "__init__")
    records = [f"{name}{FORM_RECORD}".encode("utf-8") + NAME_SEPARATOR
               + PACKAGE_FORM_SOURCE.encode("utf-8")]
    for module, path in modules:
        text = _read_source(path, utf8_only=False)
        _check_carriable(path, text)
        if text.startswith("\x0b"):
            # Unlike the auto_load form, these sources are not compiled here, so this
            # one would otherwise merge with its name separator into a record separator.
            raise PublishError(
                f"{path}:1: begins with a 0x0B (vertical tab) character, which would run "
                "into the separator before it; Python does not take it there either"
            )
        if not text.endswith("\n"):
            text += "\n"
        records.append(f"{name}.{module}".encode("utf-8") + NAME_SEPARATOR + text.encode("utf-8"))
    return name, RECORD_SEPARATOR.join(records), [module for module, _ in modules], others


def _build_auto_load_bundle(source_dir: str, name: str):
    modules, others = _scan_source(source_dir)
    if "__init__" not in modules:
        raise PublishError(
            f"{os.path.join(source_dir, '__init__.py')}:1: missing; an add-on is a "
            "package and the manager writes its __init__.py into the add-on folder"
        )
    _refuse_manager_names(name, others)
    texts: dict[str, str] = {}
    trees: dict[str, ast.Module] = {}
    for module in sorted(modules):
        path = modules[module]
        text = _read_source(path)
        trees[module] = _check_source(path, f"{name}.{module}", text)
        # A record ending in 0x0B would run into the separator after it, and an
        # empty source would leave a record without its name separator.
        if not text.endswith("\n"):
            text += "\n"
        texts[module] = text
    order = order_modules(name, trees, modules)
    records = [
        f"{name}.{module}".encode("utf-8") + NAME_SEPARATOR + texts[module].encode("utf-8")
        for module in order
    ]
    return name, RECORD_SEPARATOR.join(records), order, others


def split_bundle(bundle: bytes) -> list[tuple[str, str]]:
    """Read a bundle back the way the manager does: [(record name, source)], a
    package-form bundle's form record first."""
    result = []
    for record in bundle.split(RECORD_SEPARATOR):
        if not record.strip():
            continue
        module_name, source = record.split(NAME_SEPARATOR, 1)
        result.append((module_name.decode("utf-8"), source.decode("utf-8")))
    return result


def bundle_form(bundle) -> str:
    """"package" when the bundle's first record is its form record saying so, else
    "auto_load". Takes the bundle's bytes or split_bundle's records."""
    records = split_bundle(bundle) if isinstance(bundle, (bytes, bytearray)) else bundle
    if records and records[0][0].endswith(FORM_RECORD) and records[0][1] == PACKAGE_FORM_SOURCE:
        return "package"
    return "auto_load"


# ------------------------------------------------------------ writing files


def _zip_info(arcname: str) -> zipfile.ZipInfo:
    info = zipfile.ZipInfo(arcname, date_time=ZIP_DATE_TIME)
    info.compress_type = ZIP_COMPRESSION
    info.create_system = ZIP_CREATE_SYSTEM
    info.external_attr = (0o100000 | ZIP_FILE_MODE) << 16
    return info


def build_archive(name: str, bundle: bytes, others) -> bytes:
    """The package archive: NAME.data first, then the other files in sorted order."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as zf:
        zf.writestr(_zip_info(f"{name}.data"), bundle, compresslevel=ZIP_COMPRESSLEVEL)
        for arcname, path in others:
            with open(path, "rb") as f:
                data = f.read()
            zf.writestr(_zip_info(arcname), data, compresslevel=ZIP_COMPRESSLEVEL)
    return buffer.getvalue()


def _write_atomic(path: str, data: bytes) -> bool:
    """Write data unless the file already holds exactly it; True if written.

    A temporary file in the same folder replaced into place means a reader
    (the local server, a sync to a web host) never sees a torn file.
    """
    try:
        with open(path, "rb") as f:
            if f.read() == data:
                return False
    except FileNotFoundError:
        pass
    folder = os.path.dirname(path) or "."
    fd, tmp = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", dir=folder)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, ZIP_FILE_MODE)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.remove(tmp)
        except OSError:
            pass
        raise
    return True


def _dump_json(value) -> bytes:
    return (json.dumps(value, indent=2, ensure_ascii=False) + "\n").encode("utf-8")


def _dump_index(entries: list) -> bytes:
    """One release per line, newest first."""
    lines = ",\n".join("  " + json.dumps(e, ensure_ascii=False) for e in entries)
    return ("[\n" + lines + "\n]\n" if entries else "[]\n").encode("utf-8")


def _read_index(path: str) -> list:
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except FileNotFoundError:
        return []
    try:
        entries = json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as e:
        raise PublishError(f"{path}: not a JSON document ({e}); fix or remove it") from None
    if not isinstance(entries, list) or not all(
        isinstance(e, dict) and isinstance(e.get("version"), list) for e in entries
    ):
        raise PublishError(
            f"{path}: expected an array of releases with a \"version\" list; fix or remove it"
        )
    return entries


def _version_key(entry: dict):
    return [v if type(v) is int else -1 for v in entry["version"]]


def update_index(entries: list, version: list[int], md5: str, blender: list[int] | None = None) -> list:
    """Enter a release, replacing one of the same version.

    The manager installs the first release its Blender meets ("blender", the
    oldest Blender the release runs in; none: any) and compares versions against
    it, so the array stays newest first: a new highest version goes in front, a
    release of an older line goes after every higher version.
    """
    release = {"version": version, "md5": md5}
    if blender is not None:
        release["blender"] = blender
    kept = [e for e in entries if e["version"] != version]
    at = 0
    while at < len(kept) and _version_key(kept[at]) > version:
        at += 1
    return kept[:at] + [release] + kept[at:]


def _check_base_url(url: str) -> str:
    if not isinstance(url, str) or not url.startswith(("http://", "https://")) or len(url) <= 8:
        raise PublishError(f"base url {url!r}: expected an http:// or https:// address")
    return url.rstrip("/")


def plan_service(dist: str, base_url: str | None = None, manager_update: int | None = None):
    """The new content of DIST/service.json, or None to leave it as it is.

    The file is created when missing; an existing one is rewritten only to
    apply a setting that was given.
    """
    path = os.path.join(dist, "service.json")
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except FileNotFoundError:
        raw = None
    service = {}
    if raw is not None:
        try:
            service = json.loads(raw.decode("utf-8"))
        except (UnicodeDecodeError, ValueError) as e:
            raise PublishError(f"{path}: not a JSON document ({e}); fix or remove it") from None
        if not isinstance(service, dict):
            raise PublishError(f"{path}: expected a JSON object; fix or remove it")
        if base_url is None and manager_update is None:
            return None
    if base_url is not None:
        service["url"] = _check_base_url(base_url)
    if manager_update is not None:
        if type(manager_update) is not int or manager_update not in (0, 1):
            raise PublishError(f"manager update flag {manager_update!r}: expected 0 or 1")
        service["manager_update"] = manager_update
    service.setdefault("manager_update", 0)
    return _dump_json(service)


# ----------------------------------------------------------------- publish


def publish(source, version, dist, name=None, *, base_url=None, manager_update=None, force=False) -> dict:
    """Publish one release of the add-on `source` (a folder or a single .py file) into
    the folder dist, in the source's form (see source_form).

    `version` None takes bl_info["version"]; one that differs from it is refused
    unless `force`. bl_info["blender"], when given, goes into the index as the
    oldest Blender the release is offered to.

    Returns a description of the release: name, form, version (list), md5,
    archive and index paths, modules in bundle order, other files and whether
    anything changed. Raises PublishError for anything that cannot be
    published; nothing in dist is changed then.
    """
    form = source_form(source)
    name, bundle, order, others = build_bundle(source, name)
    numbers = release_version(source, version, force)
    blender = _bl_info_numbers(read_bl_info(source), "blender", source)
    if base_url is not None:
        base_url = _check_base_url(base_url)
    archive = build_archive(name, bundle, others)
    md5 = hashlib.md5(archive).hexdigest()

    dist = os.fspath(dist)
    addon_dir = os.path.join(dist, name)
    index_path = os.path.join(addon_dir, "index.json")
    # Refuse a broken index or service document before writing anything.
    entries = _read_index(index_path)
    service = plan_service(dist, base_url, manager_update)
    os.makedirs(addon_dir, exist_ok=True)
    archive_path = os.path.join(addon_dir, f"{md5}.zip")
    changed = _write_atomic(archive_path, archive)
    # The archive is in place before the index names it.
    changed |= _write_atomic(index_path, _dump_index(update_index(entries, numbers, md5, blender)))
    if service is not None:
        changed |= _write_atomic(os.path.join(dist, "service.json"), service)
    return {
        "name": name,
        "form": form,
        "version": numbers,
        "blender": blender,
        "md5": md5,
        "archive": archive_path,
        "index": index_path,
        "modules": [f"{name}.{m}" for m in order],
        "files": [arcname for arcname, _ in others],
        "size": len(archive),
        "changed": changed,
    }


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("source", metavar="SOURCE",
                        help="the add-on as Blender installs it: a folder or a single .py file")
    parser.add_argument("version", metavar="VERSION", nargs="?",
                        help='release version, e.g. 1.2.0 (default: bl_info["version"])')
    parser.add_argument("--dist", required=True, help="the distribution folder")
    parser.add_argument("--name", help="add-on name (default: the folder's name or the file's stem)")
    parser.add_argument(
        "--base-url", help="base address written to service.json (the local server states its own)"
    )
    parser.add_argument(
        "--manager-update", type=int, choices=(0, 1),
        help="set service.json's manager_update flag",
    )
    parser.add_argument("--force", action="store_true",
                        help='publish a VERSION that differs from bl_info["version"]')


def run(args) -> int:
    try:
        release = publish(
            args.source, args.version, args.dist, args.name,
            base_url=args.base_url, manager_update=args.manager_update, force=args.force,
        )
    except PublishError as e:
        print(f"publish: error: {e}", file=sys.stderr)
        return 2
    except OSError as e:
        print(f"publish: error: {e}", file=sys.stderr)
        return 1
    version = _dotted(release["version"])
    state = "published" if release["changed"] else "unchanged"
    blender = f", Blender {_dotted(release['blender'][:2])} and later" if release["blender"] else ""
    print(
        f"{release['name']} {version} {state} ({release['form']} form): {release['archive']} "
        f"({release['size']} bytes, {len(release['modules'])} modules, "
        f"{len(release['files'])} other files, md5 {release['md5']}{blender})"
    )
    return 0


def main(argv=None) -> int:
    """`python3 -m corvane.publish`: the same as `python3 -m corvane publish`."""
    from corvane.__main__ import main as corvane_main

    return corvane_main(["publish", *(sys.argv[1:] if argv is None else argv)])


if __name__ == "__main__":
    sys.exit(main())
