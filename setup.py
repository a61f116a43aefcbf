"""Builds the extension module megfwd._megfwd with the project's CMake build
(pip install --no-build-isolation . with Debian's setuptools, pybind11-dev
and a C++20 compiler); the package's metadata is in pyproject.toml."""
import os
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        target = Path(self.get_ext_fullpath(ext.name)).resolve()
        build_dir = Path(self.build_temp).resolve() / "cmake"
        build_dir.mkdir(parents=True, exist_ok=True)
        subprocess.run(
            ["cmake", "-S", str(ROOT), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
             f"-DPython_EXECUTABLE={sys.executable}", "-DMEGFWD_BUILD_TESTS=OFF", "-DMEGFWD_BUILD_QT=OFF",
             "-DMEGFWD_BUILD_BENCH=OFF", "-DMEGFWD_BUILD_PYTHON=ON"],
            check=True)
        jobs = str(os.cpu_count() or 1)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "_megfwd", "-j", jobs], check=True)
        built = next((build_dir / "python" / "megfwd").glob("_megfwd*.so"))
        target.parent.mkdir(parents=True, exist_ok=True)
        self.copy_file(str(built), str(target))


setup(ext_modules=[CMakeExtension("megfwd._megfwd")], cmdclass={"build_ext": CMakeBuild})
