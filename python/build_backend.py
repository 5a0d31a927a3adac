"""The build backend that pyproject.toml names: pip builds the module tourplan with CMake here.

It needs nothing beyond the standard library and the build's own prerequisites
(scripts/prerequisites.sh: a compiler, CMake, the LP solver, pybind11, Python's headers), so
`pip install .` works offline, with or without build isolation. The module is built for the
interpreter that runs pip, in a scratch folder (or in the folder of the config setting
build-dir, kept for the next build), and packed as a wheel for that interpreter: the package
tourplan/, its Python part from python/tourplan/ (with the type stub and py.typed, so that type
checkers find the types of the installed package) and the compiled module tourplan/_tourplan.
"""
import base64
import hashlib
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The package's files besides the compiled module, from python/tourplan/.
PACKAGE_FILES = ["__init__.py", "__init__.pyi", "py.typed"]


def _read(name):
    with open(os.path.join(ROOT, name), encoding="utf-8") as handle:
        return handle.read()


def _metadata():
    """Name, version, summary and the Python versions: the version from project() of the top
    CMakeLists.txt (the project's one version number), the rest from pyproject.toml."""
    version = re.search(r"project\(tourplan VERSION ([0-9.]+)", _read("CMakeLists.txt")).group(1)
    project = re.search(r"^\[project\]$(.*?)(?=^\[|\Z)", _read("pyproject.toml"), re.M | re.S)
    fields = dict(re.findall(r'^([a-z-]+) = "([^"]*)"$', project.group(1), re.M))
    return fields["name"], version, fields["description"], fields["requires-python"]


def _tag():
    """The wheel's tag: this interpreter, its ABI and its platform (cp311-cp311-linux_x86_64)."""
    version = "%d%d" % sys.version_info[:2]
    interpreter = {"cpython": "cp", "pypy": "pp"}.get(sys.implementation.name, "py") + version
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return "%s-%s-%s" % (interpreter, interpreter, platform)


def _build_module(build):
    """Configures (once) and builds the compiled module only; returns its file's path."""
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        configure = ["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                     "-DTOURPLAN_PYTHON=ON", "-DTOURPLAN_TESTS=OFF",
                     "-DPython3_EXECUTABLE=" + sys.executable]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
    subprocess.run(["cmake", "--build", build, "--target", "tourplan_python", "-j", jobs],
                   check=True)
    module = os.path.join(build, "python", "tourplan",
                          "_tourplan" + sysconfig.get_config_var("EXT_SUFFIX"))
    if not os.path.exists(module):
        raise RuntimeError("the build made no %s" % module)
    return module


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d\n" % (name, digest, len(data))


def _write_wheel(wheel_directory, module):
    name, version, summary, requires_python = _metadata()
    info = "%s-%s.dist-info" % (name, version)
    with open(module, "rb") as handle:
        files = [("tourplan/" + os.path.basename(module), handle.read())]
    for file_name in PACKAGE_FILES:
        with open(os.path.join(ROOT, "python", "tourplan", file_name), "rb") as handle:
            files.append(("tourplan/" + file_name, handle.read()))
    files += [
        (info + "/METADATA", ("Metadata-Version: 2.1\nName: %s\nVersion: %s\nSummary: %s\n"
                              "License: MIT\nRequires-Python: %s\n"
                              % (name, version, summary, requires_python)).encode()),
        (info + "/WHEEL", ("Wheel-Version: 1.0\nGenerator: tourplan build_backend\n"
                           "Root-Is-Purelib: false\nTag: %s\n" % _tag()).encode()),
        (info + "/LICENSE", _read("LICENSE").encode()),
    ]
    record = "".join(_record_line(path, data) for path, data in files) + info + "/RECORD,,\n"
    files.append((info + "/RECORD", record.encode()))
    wheel = "%s-%s-%s.whl" % (name, version, _tag())
    os.makedirs(wheel_directory, exist_ok=True)
    # Written under another name and renamed, so that no half-written wheel is left behind.
    partial = os.path.join(wheel_directory, wheel + ".partial")
    with zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED) as archive:
        for path, data in files:
            archive.writestr(path, data)
    os.replace(partial, os.path.join(wheel_directory, wheel))
    return wheel


def get_requires_for_build_wheel(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    build = (config_settings or {}).get("build-dir")
    scratch = None if build else tempfile.mkdtemp(prefix="tourplan-wheel-")
    try:
        return _write_wheel(wheel_directory, _build_module(os.path.abspath(build or scratch)))
    finally:
        if scratch:
            shutil.rmtree(scratch, ignore_errors=True)
