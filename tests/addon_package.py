"""Add-on packages in the distribution format, built in tests: the module bundle,
the archive that carries it, and the package index, served on loopback."""

import hashlib
import io
import json
import zipfile

NAME = "tellmora"

INIT_SOURCE = 'bl_info = {"name": "Tellmora", "blender": (3, 0, 0)}\n'
AUTO_LOAD_SOURCE = "# start-up helper\n"


def bundle_text(records, name=NAME):
    """The bundle text of (module, source) records, module names without the add-on prefix."""
    return "\x0b\x0b".join(f"{name}.{module}\x0b{source}" for module, source in records)


def standard_records(*records):
    """__init__ and auto_load first, as a published bundle has them, then `records`."""
    return [("__init__", INIT_SOURCE), ("auto_load", AUTO_LOAD_SOURCE), *records]


def archive(members):
    """Zip bytes holding `members` (archive name -> bytes or text), in order."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as zf:
        for member, content in members.items():
            zf.writestr(zipfile.ZipInfo(member, (2020, 1, 1, 0, 0, 0)),
                        content.encode() if isinstance(content, str) else content)
    return buffer.getvalue()


def package_archive(bundle, name=NAME, extra=None):
    return archive({f"{name}.data": bundle.encode() if isinstance(bundle, str) else bundle, **(extra or {})})


def put_package(server, zip_bytes, version=(1, 0, 0), name=NAME, md5=None):
    """Serves `zip_bytes` as the newest release of `name` on `server` (a tests.webserver.WebServer)."""
    digest = hashlib.md5(zip_bytes).hexdigest()
    server.put_json(f"/{name}/index.json", [{"version": list(version), "md5": md5 or digest},
                                            {"version": [0, 1, 0], "md5": "0" * 32}])
    server.put(f"/{name}/{digest}.zip", zip_bytes)
    return digest
