"""Add-on packages for the tests: published from a source folder by corvane.publish,
or, for what the publisher would refuse to make (broken archives, odd members,
hand-made bundles), written into the distribution folder directly. The folder is
served on loopback by corvane.serve."""

import hashlib
import io
import json
import zipfile

NAME = "tellmora"

# An add-on Blender can enable: an install holds only when Blender has it enabled.
INIT_SOURCE = 'bl_info = {"name": "Tellmora", "blender": (2, 83, 0)}\n\n\ndef register():\n    pass\n\n\ndef unregister():\n    pass\n'
AUTO_LOAD_SOURCE = "# start-up helper\n"


def publish_source(source_dir, dist, files, version="1.0.0", name=NAME):
    """Writes `files` (relative path -> text) as the add-on's source folder and publishes
    it into `dist`; returns the publisher's description of the release."""
    from corvane.publish import publish

    folder = source_dir / name
    for relative, text in {"__init__.py": INIT_SOURCE, "auto_load.py": AUTO_LOAD_SOURCE, **files}.items():
        path = folder / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(text.encode())
    return publish(str(folder), version, str(dist), name)


def serve(dist):
    """The local distribution server on a free loopback port, logging into a buffer."""
    from corvane.serve import serve as start

    return start(str(dist), "127.0.0.1", 0, stream=io.StringIO())


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


def write_package(dist, zip_bytes, version=(1, 0, 0), name=NAME, md5=None):
    """Puts `zip_bytes` into the distribution folder `dist` as the newest release of `name`,
    announced in the index under `md5` (by default its real digest); returns the digest."""
    digest = hashlib.md5(zip_bytes).hexdigest()
    folder = dist / name
    folder.mkdir(parents=True, exist_ok=True)
    (folder / f"{digest}.zip").write_bytes(zip_bytes)
    (folder / "index.json").write_text(json.dumps([{"version": list(version), "md5": md5 or digest},
                                                   {"version": [0, 1, 0], "md5": "0" * 32}]))
    return digest


def oversized_member(zip_bytes, member, size):
    """The archive with `member`'s unpacked size stated as `size` in its central directory."""
    data = bytearray(zip_bytes)
    at = data.index(b"PK\x01\x02")
    while data[at + 46:at + 46 + len(member)] != member.encode():
        at = data.index(b"PK\x01\x02", at + 4)
    data[at + 24:at + 28] = size.to_bytes(4, "little")
    return bytes(data)
