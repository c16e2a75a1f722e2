"""The package's own build backend: the standard library only, so that `pip install` needs nothing
else (no setuptools, no wheel, no index) on any Python 3.9+ with pip 20 or later.

It builds a pure-Python wheel of zarvi_audio_capture, an editable wheel (a .pth file naming this
folder) and a source archive, from the [project] table of pyproject.toml.
"""

import base64
import hashlib
import io
import os
import re
import tarfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = "zarvi_audio_capture"
PACKAGE_FILES = ("__init__.py", "py.typed")
SDIST_FILES = ("pyproject.toml", "build_backend.py", "README.md", "LICENSE")


def _project():
    """The plain string keys of [project]: name, version, description, requires-python."""
    with open(os.path.join(HERE, "pyproject.toml"), encoding="utf-8") as file:
        text = file.read()
    table = re.search(r"^\[project\]\n(.*?)(?=^\[|\Z)", text, re.M | re.S).group(1)
    return dict(re.findall(r'^([a-z-]+) = "([^"]*)"$', table, re.M))


def _metadata():
    project = _project()
    with open(os.path.join(HERE, "README.md"), encoding="utf-8") as file:
        readme = file.read()
    return (
        "Metadata-Version: 2.1\n"
        f"Name: {project['name']}\n"
        f"Version: {project['version']}\n"
        f"Summary: {project['description']}\n"
        f"Requires-Python: {project['requires-python']}\n"
        "License: MIT\n"
        "Classifier: License :: OSI Approved :: MIT License\n"
        "Classifier: Operating System :: POSIX :: Linux\n"
        "Classifier: Programming Language :: Python :: 3\n"
        "Classifier: Typing :: Typed\n"
        "Description-Content-Type: text/markdown\n"
        "\n" + readme
    )


def _distribution():
    project = _project()
    return project["name"].replace("-", "_"), project["version"]


def _write_wheel(directory, files):
    """files: (path in the wheel, bytes). Adds the dist-info and returns the wheel's file name."""
    name, version = _distribution()
    info = f"{name}-{version}.dist-info"
    with open(os.path.join(HERE, "LICENSE"), "rb") as file:
        license_text = file.read()
    files = list(files) + [
        (f"{info}/METADATA", _metadata().encode()),
        (f"{info}/WHEEL", b"Wheel-Version: 1.0\nGenerator: build_backend\nRoot-Is-Purelib: true\nTag: py3-none-any\n"),
        (f"{info}/LICENSE", license_text),
    ]
    record = []
    for path, data in files:
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.append(f"{path},sha256={digest},{len(data)}")
    record.append(f"{info}/RECORD,,")
    files.append((f"{info}/RECORD", ("\n".join(record) + "\n").encode()))
    wheel = f"{name}-{version}-py3-none-any.whl"
    with zipfile.ZipFile(os.path.join(directory, wheel), "w", zipfile.ZIP_DEFLATED) as archive:
        for path, data in files:
            archive.writestr(zipfile.ZipInfo(path, (2020, 1, 1, 0, 0, 0)), data)
    return wheel


def _package_files():
    for file_name in PACKAGE_FILES:
        with open(os.path.join(HERE, PACKAGE, file_name), "rb") as file:
            yield f"{PACKAGE}/{file_name}", file.read()


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _write_wheel(wheel_directory, _package_files())


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    return _write_wheel(wheel_directory, [(f"_{PACKAGE}_editable.pth", (HERE + "\n").encode())])


def build_sdist(sdist_directory, config_settings=None):
    name, version = _distribution()
    root = f"{name}-{version}"
    archive_name = f"{root}.tar.gz"
    with tarfile.open(os.path.join(sdist_directory, archive_name), "w:gz", format=tarfile.PAX_FORMAT) as archive:
        entries = [(f"{root}/{path}", os.path.join(HERE, path)) for path in SDIST_FILES]
        entries += [(f"{root}/{PACKAGE}/{f}", os.path.join(HERE, PACKAGE, f)) for f in PACKAGE_FILES]
        for arcname, path in entries:
            archive.add(path, arcname=arcname)
        info = tarfile.TarInfo(f"{root}/PKG-INFO")
        data = _metadata().encode()
        info.size = len(data)
        archive.addfile(info, io.BytesIO(data))
    return archive_name
