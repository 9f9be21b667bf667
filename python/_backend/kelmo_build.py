"""The build backend of the kelmo package (PEP 517), standard library only.

A wheel holds the package's modules and the library they load: a copy of
it placed beside the modules (``kelmo/libkelmo.so.0``, ``kelmo/kelmo.dll``)
goes in as it is; otherwise the library is built by the project's CMake,
from the repository around this directory (or from an sdist's ``native/``
copy of it), into a temporary build directory. Needs cmake, a C++20
compiler and the library's own build dependencies (ALSA's headers on
Linux); nothing from a package index.

Settings (``pip install --config-settings NAME=VALUE``):
  build-dir   a CMake build directory to use and keep (a later build reuses it)
  cmake-args  more arguments for CMake's configure step, split as a shell would
"""

from __future__ import annotations

import base64
import hashlib
import io
import os
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile

try:
    import tomllib
except ModuleNotFoundError:  # before Python 3.11
    import tomli as tomllib  # type: ignore[no-redef]

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))  # the directory of pyproject.toml
PACKAGE = "kelmo"
LIBRARY = "kelmo.dll" if os.name == "nt" else "libkelmo.so.0"
# The writers of files (Stream.record, Card.record with a path), where the
# build can make them.
WRITERS = "libkelmo-record.so"
# What an sdist carries of the repository to build the library.
NATIVE = ["CMakeLists.txt", "README.md", "cmake", "include", "module", "src", "tools"]
ZIP_TIME = (1980, 1, 1, 0, 0, 0)


def _project() -> dict:
    with open(os.path.join(HERE, "pyproject.toml"), "rb") as f:
        return tomllib.load(f)["project"]


def _dist_name() -> str:
    p = _project()
    return f"{p['name'].replace('-', '_')}-{p['version']}"


def _metadata() -> str:
    p = _project()
    lines = ["Metadata-Version: 2.1", f"Name: {p['name']}", f"Version: {p['version']}"]
    if "description" in p:
        lines.append(f"Summary: {p['description']}")
    if "requires-python" in p:
        lines.append(f"Requires-Python: {p['requires-python']}")
    lines += [f"Requires-Dist: {d}" for d in p.get("dependencies", [])]
    lines += [f"Classifier: {c}" for c in p.get("classifiers", [])]
    body = ""
    if "readme" in p:
        lines.append("Description-Content-Type: text/markdown")
        with open(os.path.join(HERE, p["readme"]), encoding="utf-8") as f:
            body = f.read()
    return "\n".join(lines) + "\n\n" + body


def _tag() -> str:
    """Any Python 3 (the package binds the library through ctypes), this
    platform only (the library is a binary of it)."""
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"py3-none-{platform}"


def _wheel_text() -> str:
    return f"Wheel-Version: 1.0\nGenerator: kelmo_build\nRoot-Is-Purelib: false\nTag: {_tag()}\n"


def _native_root() -> str:
    """The tree whose CMakeLists.txt builds the library: an sdist's native/,
    else the repository this directory lies in."""
    candidates = [os.path.join(HERE, "native")]
    d = HERE
    while os.path.dirname(d) != d:
        d = os.path.dirname(d)
        candidates.append(d)
    for c in candidates:
        try:
            with open(os.path.join(c, "CMakeLists.txt"), encoding="utf-8") as f:
                if "project(kelmo " in f.read():
                    return c
        except OSError:
            continue
    raise RuntimeError(f"kelmo_build: no kelmo CMakeLists.txt in {HERE}/native or above {HERE}; build from the "
                       f"repository's python/ directory, or copy {LIBRARY} into {PACKAGE}/ first")


def _run(argv: list[str]) -> None:
    print("kelmo_build:", " ".join(shlex.quote(a) for a in argv), file=sys.stderr, flush=True)
    try:
        subprocess.run(argv, check=True, stdout=sys.stderr)
    except FileNotFoundError:
        raise RuntimeError(f"kelmo_build: {argv[0]} is needed to build the library; install it (or copy "
                           f"{LIBRARY} into {PACKAGE}/ first)") from None
    except subprocess.CalledProcessError as e:
        raise RuntimeError(f"kelmo_build: {argv[0]} failed (exit status {e.returncode}); see its output above") from None


def _build_library(build_dir: str, settings: dict) -> str:
    """Configures and builds the library target; returns the library file."""
    root = _native_root()
    configure = ["cmake", "-S", root, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release", "-DKELMO_BUILD_TESTS=OFF",
                 "-DKELMO_INSTALL_PYTHON=OFF",
                 # The wheel's copy finds its dependencies on the system's paths.
                 "-DCMAKE_SKIP_RPATH=ON"]
    if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")) and not os.environ.get("CMAKE_GENERATOR") \
            and shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    configure += shlex.split(settings.get("cmake-args", ""))
    _run(configure)
    _run(["cmake", "--build", build_dir, "--target", "kelmo"])
    built = os.path.join(build_dir, LIBRARY)
    if not os.path.exists(built):
        raise RuntimeError(f"kelmo_build: the build made no {built}")
    if os.name != "nt":
        try:
            _run(["cmake", "--build", build_dir, "--target", "kelmo_record"])
        except RuntimeError as e:
            print(f"kelmo_build: the writers of files are left out of the wheel ({e})", file=sys.stderr)
    return os.path.realpath(built)


def _package_files() -> list[tuple[str, str]]:
    """(name in the archive, file) of every module and data file."""
    out = []
    pkg = os.path.join(HERE, PACKAGE)
    for name in sorted(os.listdir(pkg)):
        if name.endswith(".py") or name == "py.typed":
            out.append((f"{PACKAGE}/{name}", os.path.join(pkg, name)))
    return out


def _zip_write(z: zipfile.ZipFile, name: str, data: bytes, executable: bool = False) -> str:
    info = zipfile.ZipInfo(name, ZIP_TIME)
    info.external_attr = (0o755 if executable else 0o644) << 16
    info.compress_type = zipfile.ZIP_DEFLATED
    z.writestr(info, data)
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode("ascii")
    return f"{name},sha256={digest},{len(data)}"


def _write_metadata(directory: str) -> str:
    info = f"{_dist_name()}.dist-info"
    os.makedirs(os.path.join(directory, info), exist_ok=True)
    for name, text in (("METADATA", _metadata()), ("WHEEL", _wheel_text())):
        with open(os.path.join(directory, info, name), "w", encoding="utf-8") as f:
            f.write(text)
    return info


# ---- the hooks ---------------------------------------------------------------------------

def get_requires_for_build_wheel(config_settings=None) -> list[str]:
    return []


def get_requires_for_build_sdist(config_settings=None) -> list[str]:
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None) -> str:
    return _write_metadata(metadata_directory)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None) -> str:
    settings = dict(config_settings or {})
    beside = os.path.join(HERE, PACKAGE, LIBRARY)
    with tempfile.TemporaryDirectory(prefix="kelmo-build-") as tmp:
        if os.path.exists(beside):
            print(f"kelmo_build: the wheel takes the library copied to {beside}", file=sys.stderr)
            library = beside
        else:
            library = _build_library(os.path.abspath(settings.get("build-dir") or os.path.join(tmp, "cmake")),
                                     settings)
        name = f"{_dist_name()}-{_tag()}.whl"
        info = f"{_dist_name()}.dist-info"
        records = []
        path = os.path.join(wheel_directory, name)
        with zipfile.ZipFile(path, "w") as z:
            for arcname, file in _package_files():
                with open(file, "rb") as f:
                    records.append(_zip_write(z, arcname, f.read()))
            with open(library, "rb") as f:
                records.append(_zip_write(z, f"{PACKAGE}/{LIBRARY}", f.read(), executable=True))
            writers = os.path.join(os.path.dirname(library), WRITERS)
            if os.path.exists(writers):
                with open(writers, "rb") as f:
                    records.append(_zip_write(z, f"{PACKAGE}/{WRITERS}", f.read(), executable=True))
            records.append(_zip_write(z, f"{info}/METADATA", _metadata().encode("utf-8")))
            records.append(_zip_write(z, f"{info}/WHEEL", _wheel_text().encode("utf-8")))
            records.append(f"{info}/RECORD,,")
            _zip_write(z, f"{info}/RECORD", ("\n".join(records) + "\n").encode("utf-8"))
    return name


def build_sdist(sdist_directory, config_settings=None) -> str:
    """The package with a native/ copy of what builds the library, so that
    a wheel can be built from it away from the repository."""
    top = _dist_name()
    root = _native_root()
    name = f"{top}.tar.gz"

    def clean(t: tarfile.TarInfo) -> tarfile.TarInfo | None:
        base = os.path.basename(t.name)
        if base == "__pycache__" or base.endswith((".pyc", ".so", ".dll")) or ".so." in base:
            return None
        t.uid = t.gid = 0
        t.uname = t.gname = ""
        t.mtime = 0
        return t

    with tarfile.open(os.path.join(sdist_directory, name), "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for entry in ("pyproject.toml", "README.md", "_backend", PACKAGE):
            tar.add(os.path.join(HERE, entry), f"{top}/{entry}", filter=clean)
        for entry in NATIVE:
            tar.add(os.path.join(root, entry), f"{top}/native/{entry}", filter=clean)
        info = tarfile.TarInfo(f"{top}/PKG-INFO")
        data = _metadata().encode("utf-8")
        info.size = len(data)
        tar.addfile(info, io.BytesIO(data))
    return name
