"""Installing the package: pip into a fresh environment (the build backend
builds the library with the project's CMake and bundles it), the sdist,
and cmake --install beside the installed library."""

import base64
import csv
import hashlib
import os
import shutil
import subprocess
import sys
import tarfile

import pytest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PYTHON_DIR = os.path.join(ROOT, "python")
SYSTEM_PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable

# What the package does once installed, run from outside the source tree
# with nothing of the tests' environment that points at a library.
USE = ("import os, kelmo\n"
       "print(kelmo.library_path())\n"
       "print(os.path.exists(os.path.join(os.path.dirname(kelmo.__file__), 'py.typed')))\n"
       "print(kelmo.card(123).acquire(channels=2, samples=500, rate=10_000).data.shape)\n"
       "import numpy\n"
       "try:\n"
       "    print(numpy.load(kelmo.card(123).record('r.npy', channels=2, rate=10_000, seconds=0.05).wait()).shape)\n"
       "except kelmo.KelmoError as e:\n"
       "    print(e)\n")


def _clean_env(**more):
    env = {k: v for k, v in os.environ.items() if k not in ("KELMO_LIBRARY", "PYTHONPATH", "LD_LIBRARY_PATH")}
    env.update(more)
    return env


def _use(python, cwd, **env):
    out = subprocess.run([python, "-c", USE], cwd=cwd, env=_clean_env(**env), capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    return out.stdout.splitlines()


def _check_record(dist_info):
    """Every file the installed RECORD lists has the hash and size it says."""
    site = os.path.dirname(dist_info)
    with open(os.path.join(dist_info, "RECORD"), newline="") as f:
        rows = list(csv.reader(f))
    checked = 0
    for path, digest, size in rows:
        if not digest:
            continue
        with open(os.path.join(site, path), "rb") as f:
            data = f.read()
        algorithm, _, value = digest.partition("=")
        assert algorithm == "sha256", path
        assert base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode() == value, path
        assert int(size) == len(data), path
        checked += 1
    return {r[0] for r in rows}, checked


@pytest.mark.slow
def test_pip_installs_the_package_with_the_library_in_one_step(genwave, tmp_path):
    env_dir = tmp_path / "env"
    subprocess.run([SYSTEM_PYTHON, "-m", "venv", "--system-site-packages", str(env_dir)], check=True, timeout=300)
    python = str(env_dir / "bin" / "python")
    # The default, isolated build: the backend needs nothing from an index.
    pip = subprocess.run([python, "-m", "pip", "install", "--no-index", PYTHON_DIR], env=_clean_env(),
                         capture_output=True, text=True, timeout=1200)
    assert pip.returncode == 0, pip.stdout[-3000:] + pip.stderr[-3000:]
    library, typed, shape, recorded = _use(python, str(tmp_path), KELMO_SHM_NAMESPACE=os.environ["KELMO_SHM_NAMESPACE"])
    assert recorded == "(2, 500)"  # the wheel carries the writers of files too
    site = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"],
                          capture_output=True, text=True, check=True).stdout.strip()
    assert library == os.path.join(site, "kelmo", "libkelmo.so.0")
    assert typed == "True" and shape == "(2, 500)"
    listed, checked = _check_record(os.path.join(site, "kelmo-0.1.0.dist-info"))
    assert {"kelmo/__init__.py", "kelmo/py.typed", "kelmo/libkelmo.so.0", "kelmo/libkelmo-record.so"} <= listed
    assert checked >= 9
    meta = subprocess.run([python, "-c", "import importlib.metadata as m; d = m.distribution('kelmo'); "
                           "print(d.version, d.requires, d.metadata['Requires-Python'])"],
                          capture_output=True, text=True, check=True).stdout.strip()
    assert meta == "0.1.0 ['numpy'] >=3.9"

    # Without build isolation, from a copy of the package away from the
    # repository with the installed library beside its modules: the wheel
    # takes that copy as it is.
    copy = tmp_path / "copy"
    shutil.copytree(PYTHON_DIR, copy, ignore=shutil.ignore_patterns("__pycache__", "*.so*"))
    shutil.copy(library, copy / "kelmo" / "libkelmo.so.0")
    pip = subprocess.run([python, "-m", "pip", "install", "-v", "--no-index", "--no-build-isolation",
                          "--force-reinstall", "--no-deps", str(copy)], env=_clean_env(), capture_output=True,
                         text=True, timeout=300)
    assert pip.returncode == 0, pip.stdout[-3000:] + pip.stderr[-3000:]
    assert f"kelmo_build: the wheel takes the library copied to {copy / 'kelmo' / 'libkelmo.so.0'}" in pip.stdout + pip.stderr
    assert _use(python, str(tmp_path), KELMO_SHM_NAMESPACE=os.environ["KELMO_SHM_NAMESPACE"])[2] == "(2, 500)"


def test_the_sdist_carries_what_builds_the_library(tmp_path):
    out = subprocess.run([sys.executable, "-c", "import sys; sys.path.insert(0, '_backend'); import kelmo_build; "
                          f"print(kelmo_build.build_sdist({str(tmp_path)!r}))"],
                         cwd=PYTHON_DIR, capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    with tarfile.open(tmp_path / out.stdout.strip()) as tar:
        names = tar.getnames()
        tar.extractall(tmp_path / "unpacked")
    top = "kelmo-0.1.0"
    for wanted in ("pyproject.toml", "PKG-INFO", "_backend/kelmo_build.py", "kelmo/py.typed", "kelmo/_lib.py",
                   "native/CMakeLists.txt", "native/include/kelmo.h", "native/module/kelmo.def",
                   "native/src/exports/guard.h", "native/cmake/kelmo.pc.in"):
        assert f"{top}/{wanted}" in names, wanted
    assert not [n for n in names if n.endswith((".so", ".so.0", ".pyc", ".dll"))]
    # Away from the repository the backend builds from native/, which CMake
    # configures as it is.
    unpacked = tmp_path / "unpacked" / top
    root = subprocess.run([sys.executable, "-c", "import sys; sys.path.insert(0, '_backend'); import kelmo_build; "
                           "print(kelmo_build._native_root())"],
                          cwd=unpacked, capture_output=True, text=True, timeout=60)
    assert root.stdout.strip() == str(unpacked / "native"), root.stderr
    configure = subprocess.run(["cmake", "-S", str(unpacked / "native"), "-B", str(tmp_path / "b"),
                                "-DKELMO_BUILD_TESTS=OFF", "-DKELMO_BUILD_TOOLS=OFF"],
                               capture_output=True, text=True, timeout=300)
    assert configure.returncode == 0, configure.stdout[-2000:] + configure.stderr[-2000:]


def test_cmake_install_puts_the_package_beside_the_library(genwave, tmp_path):
    build = os.path.dirname(os.environ.get("KELMO_LIBRARY", ""))
    if not os.path.exists(os.path.join(build, "cmake_install.cmake")):
        pytest.skip("KELMO_LIBRARY does not lie in a CMake build directory")
    prefix = tmp_path / "prefix"
    out = subprocess.run(["cmake", "--install", build, "--prefix", str(prefix)], capture_output=True, text=True,
                         timeout=300)
    assert out.returncode == 0, out.stderr
    found = [os.path.join(d, "kelmo") for d, dirs, _ in os.walk(prefix) if "kelmo" in dirs and
             os.path.basename(d) in ("dist-packages", "site-packages")]
    assert len(found) == 1
    package = found[0]
    assert os.path.exists(os.path.join(package, "py.typed"))
    assert not [f for f in os.listdir(package) if ".so" in f]  # it loads the prefix's own copy
    library, typed, shape, recorded = _use(SYSTEM_PYTHON, str(tmp_path), PYTHONPATH=os.path.dirname(package),
                                           KELMO_SHM_NAMESPACE=os.environ["KELMO_SHM_NAMESPACE"])
    assert os.path.realpath(library) == os.path.realpath(next(
        os.path.join(d, f) for d, _, files in os.walk(prefix) for f in files if f == "libkelmo.so.0"))
    assert typed == "True" and shape == "(2, 500)" and recorded == "(2, 500)"
    # The prefix may move: the package finds the library relative to itself.
    moved = tmp_path / "moved"
    prefix.rename(moved)
    library = _use(SYSTEM_PYTHON, str(tmp_path), PYTHONPATH=os.path.dirname(package.replace(str(prefix), str(moved))),
                   KELMO_SHM_NAMESPACE=os.environ["KELMO_SHM_NAMESPACE"])[0]
    assert library.startswith(str(moved))
