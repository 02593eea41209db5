"""PEP 517 build backend for the pure-Python package orv.

A wheel of a pure-Python package is a zip of its sources with three metadata
files, so this backend needs nothing beyond the standard library and no
network: `pip install ./front/python` works offline even with build isolation.
The name, summary and requirements come from pyproject.toml's [project]
table, the version from orv/__init__.py.
"""

from __future__ import annotations

import base64
import hashlib
import io
import os
import re
import tarfile
import zipfile
from typing import Optional

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = "orv"
PACKAGE_FILES = (".py", "py.typed")
GENERATED = {"_install.py"}  # written by cmake --install, never shipped in a wheel


def _project() -> dict:
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        text = f.read()
    try:
        import tomllib
    except ImportError:  # Python before 3.11: the [project] table's flat keys suffice
        table = re.search(rb"^\[project\]\n(.*?)(?=^\[|\Z)", text, re.S | re.M)
        pairs = re.findall(rb'^(\S+)\s*=\s*"([^"]*)"', table.group(1) if table else b"", re.M)
        return {k.decode(): v.decode() for k, v in pairs}
    return tomllib.loads(text.decode())["project"]


def _version() -> str:
    with open(os.path.join(ROOT, PACKAGE, "__init__.py"), encoding="utf-8") as f:
        match = re.search(r'^__version__ = "([^"]+)"', f.read(), re.M)
    if not match:
        raise RuntimeError("no __version__ in orv/__init__.py")
    return match.group(1)


def _metadata() -> str:
    project = _project()
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {_version()}",
        f"Summary: {project.get('description', '')}",
    ]
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    lines += [f"Classifier: {c}" for c in project.get("classifiers", [])]
    return "\n".join(lines) + "\n"


def _dist_info() -> str:
    return f"{PACKAGE}-{_version()}.dist-info"


def _sources() -> list[tuple[str, str]]:
    """(path in the archive, file on disk) of every file of the package."""
    found = []
    for directory, dirs, files in os.walk(os.path.join(ROOT, PACKAGE)):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__")
        for name in sorted(files):
            if name.endswith(PACKAGE_FILES) and name not in GENERATED:
                path = os.path.join(directory, name)
                found.append((os.path.relpath(path, ROOT).replace(os.sep, "/"), path))
    return found


def _record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def _write_wheel(wheel_directory: str, entries: list[tuple[str, bytes]]) -> str:
    dist_info = _dist_info()
    entries = entries + [
        (f"{dist_info}/METADATA", _metadata().encode()),
        (
            f"{dist_info}/WHEEL",
            b"Wheel-Version: 1.0\nGenerator: orv_backend\nRoot-Is-Purelib: true\nTag: py3-none-any\n",
        ),
    ]
    record = "\n".join(_record_line(n, d) for n, d in entries) + f"\n{dist_info}/RECORD,,\n"
    filename = f"{PACKAGE}-{_version()}-py3-none-any.whl"
    with zipfile.ZipFile(os.path.join(wheel_directory, filename), "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data in entries + [(f"{dist_info}/RECORD", record.encode())]:
            wheel.writestr(zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0)), data)
    return filename


def build_wheel(
    wheel_directory: str, config_settings: Optional[dict] = None, metadata_directory: Optional[str] = None
) -> str:
    entries = []
    for name, path in _sources():
        with open(path, "rb") as f:
            entries.append((name, f.read()))
    return _write_wheel(wheel_directory, entries)


def build_editable(
    wheel_directory: str, config_settings: Optional[dict] = None, metadata_directory: Optional[str] = None
) -> str:
    """A wheel whose .pth file puts this source tree on sys.path."""
    return _write_wheel(wheel_directory, [(f"_{PACKAGE}_editable.pth", (ROOT + "\n").encode())])


def build_sdist(sdist_directory: str, config_settings: Optional[dict] = None) -> str:
    base = f"{PACKAGE}-{_version()}"
    filename = f"{base}.tar.gz"
    files = [("pyproject.toml", os.path.join(ROOT, "pyproject.toml"))]
    files += [("_build/orv_backend.py", os.path.abspath(__file__))] + _sources()
    with tarfile.open(os.path.join(sdist_directory, filename), "w:gz", format=tarfile.PAX_FORMAT) as sdist:
        for name, path in files:
            sdist.add(path, arcname=f"{base}/{name}", recursive=False)
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        data = _metadata().encode()
        info.size = len(data)
        sdist.addfile(info, io.BytesIO(data))
    return filename


def prepare_metadata_for_build_wheel(metadata_directory: str, config_settings: Optional[dict] = None) -> str:
    dist_info = os.path.join(metadata_directory, _dist_info())
    os.makedirs(dist_info, exist_ok=True)
    with open(os.path.join(dist_info, "METADATA"), "w", encoding="utf-8") as f:
        f.write(_metadata())
    return _dist_info()


prepare_metadata_for_build_editable = prepare_metadata_for_build_wheel


def get_requires_for_build_wheel(config_settings: Optional[dict] = None) -> list[str]:
    return []


get_requires_for_build_sdist = get_requires_for_build_editable = get_requires_for_build_wheel
