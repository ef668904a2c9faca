"""Installs the somap Python package (python/) with pip:

    pip install --no-build-isolation .

The compiled module is built by the project's own CMake build, never by
setuptools' compiler: it must link the som library compiled exactly as the
somap program's (no fused multiply-add, the per-file instruction sets of the
engine), or its maps would not be the program's to the bit. Nothing is
downloaded: CMake, a C++ compiler, pybind11 and NumPy come from the system.
"""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def version():
    header = (ROOT / "som" / "som.h").read_text()
    return re.search(r'#define SOM_VERSION_STRING "([^"]+)"', header).group(1)


class CMakeModule(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = Path(self.build_temp).resolve() / "cmake"
        subprocess.run([
            "cmake", "-S", str(ROOT), "-B", str(build),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DSOMAP_PYTHON=ON",
            # The interpreter installing the package is the one it is for.
            f"-DPython3_EXECUTABLE={sys.executable}",
            # The module is the library and the shared reader: no companion
            # program is built for it.
            "-DSOMAP_TESTS=OFF", "-DSOMAP_BENCH=OFF", "-DSOMAP_COMPANIONS=",
        ], check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(["cmake", "--build", str(build), "--target", "somap_python", "--parallel", jobs], check=True)
        built = sorted((build / "python" / "somap").glob("_core*.so"))
        if len(built) != 1:
            raise RuntimeError(f"expected one somap._core module in {build}, found {built}")
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[0], target)


setup(
    name="somap",
    version=version(),
    description="Self-organizing maps from NumPy, bit for bit the maps of the somap program",
    license="MIT",
    python_requires=">=3.9",
    install_requires=["numpy"],
    package_dir={"": "python"},
    packages=["somap"],
    ext_modules=[CMakeModule("somap._core")],
    cmdclass={"build_ext": CMakeBuild},
    # Out of the way of the CMake build folder, build/.
    options={"build": {"build_base": "build-pip"}, "egg_info": {"egg_base": "build-pip"}},
    zip_safe=False,
)
