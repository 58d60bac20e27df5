"""Builds the pdx package (pyproject.toml holds its metadata): the Python
files in clients/python/pdx and the compiled core pdx._core, made from the
module's sources (clients/python/core) and the data library's sources as pdx/sources.txt lists them
for every build. The version is the project's, from CMakeLists.txt (in a
source distribution, from its PKG-INFO)."""

import importlib.util
import os
import glob
import re
import sys


def require_build_dependencies():
    """Stops with one message naming the interpreter to use when this one
    lacks what the build and the package need: a Python built apart from
    Debian's (a pyenv or a hand-built one first on PATH) sees none of
    Debian's packages, and pip, which gets nothing from the network here,
    would otherwise fail deep in the build."""
    missing = [name for name in ("pybind11", "numpy")
               if importlib.util.find_spec(name) is None]
    if missing:
        sys.exit(
            "pdx: this Python (%s) has no %s, which building the package needs.\n"
            "Use Debian's /usr/bin/python3 with its packages:\n"
            "  apt-get install -y python3-pybind11 python3-numpy python3-dev "
            "python3-setuptools python3-venv python3-pip\n"
            "  /usr/bin/python3 -m venv --system-site-packages ~/pdx-env\n"
            "  ~/pdx-env/bin/pip install --no-index --no-build-isolation ."
            % (os.path.realpath(sys.executable), " or ".join(missing)))


require_build_dependencies()

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension  # noqa: E402
from setuptools import setup  # noqa: E402


def library_sources():
    platform = "windows" if sys.platform == "win32" else "posix"
    with open("pdx/sources.txt", encoding="utf-8") as f:
        return [line.strip().replace("{platform}", platform) for line in f
                if line.strip() and not line.startswith("#")]


def version():
    try:
        with open("CMakeLists.txt", encoding="utf-8") as f:
            found = re.search(r"project\(pdx_convert\s+VERSION\s+([0-9.]+)", f.read())
    except FileNotFoundError:
        with open("PKG-INFO", encoding="utf-8") as f:
            found = re.search(r"^Version: (\S+)$", f.read(), re.M)
    return found.group(1)


VERSION = version()
core = Pybind11Extension(
    "pdx._core",
    sorted(glob.glob("clients/python/core/*.cpp")) + library_sources(),
    include_dirs=["."],
    define_macros=[("PDX_VERSION", '"%s"' % VERSION)],
    cxx_std=20,
    # No debug information in the package (a tenth of the size); pdx.scan's
    # threads need the thread library where the C library does not hold it.
    extra_compile_args=[] if sys.platform == "win32" else ["-g0", "-pthread"],
    extra_link_args=[] if sys.platform == "win32" else ["-pthread"],
)

# Compiled on every core (NPY_NUM_BUILD_JOBS sets the number).
ParallelCompile("NPY_NUM_BUILD_JOBS").install()
setup(
    version=VERSION,
    package_dir={"": "clients/python"},
    packages=["pdx"],
    package_data={"pdx": ["py.typed", "*.pyi"]},
    include_package_data=False,
    license_files=["LICENSE"],
    ext_modules=[core],
    # Beside the CMake builds, not among their folders.
    options={"build": {"build_base": "build/setuptools"}},
)
