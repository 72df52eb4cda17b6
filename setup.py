"""Builds the `_quelb_core` extension with the project's CMake build for `pip install .`.

Metadata lives in pyproject.toml; this file only teaches setuptools' build_ext to run CMake.
CMake installs the module and its type stubs (component "python") straight into the directory
setuptools packs into the wheel. Options through the environment: QUELB_BUILD_JOBS (parallel
compile jobs, default 2) and QUELB_CMAKE_ARGS (extra configure arguments).
"""
import os
import shlex
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        if shutil.which("cmake") is None:
            sys.exit("building _quelb_core needs CMake (Debian package cmake); "
                     "bash scripts/setup.sh installs everything the build needs")
        out_dir = os.path.dirname(os.path.abspath(self.get_ext_fullpath(ext.name)))
        build_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        configure = ["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                     f"-DQUELB_PYTHON={sys.executable}",
                     "-DQUELB_BUILD_TESTS=OFF", "-DQUELB_BUILD_BENCH=OFF"]
        if shutil.which("ninja") and not os.path.exists(os.path.join(build_dir, "Makefile")):
            configure += ["-G", "Ninja"]
        configure += shlex.split(os.environ.get("QUELB_CMAKE_ARGS", ""))
        jobs = os.environ.get("QUELB_BUILD_JOBS", "2")
        subprocess.check_call(configure)
        subprocess.check_call(["cmake", "--build", build_dir, "--target", ext.name, "-j", jobs])
        subprocess.check_call(["cmake", "--install", build_dir, "--component", "python",
                               "--prefix", out_dir])


setup(
    ext_modules=[CMakeExtension("_quelb_core")],
    cmdclass={"build_ext": CMakeBuild},
    # Keep setuptools' own build tree apart from the CMake build directory ./build.
    options={"build": {"build_base": "build-pip"}},
)
