"""The tamrix Python package through pip: setuptools runs the project's CMake
build for the extension and installs its package folder (component python,
with the library bundled) into the wheel. The version is the one of the top
CMakeLists.txt.

Environment: CMAKE_ARGS (more configure options, e.g. a compiler launcher),
CMAKE_BUILD_PARALLEL_LEVEL (jobs), TAMRIX_CMAKE_BUILD_DIR (a CMake build folder
kept between runs, so that a rebuild compiles only what changed).
"""

import os
import pathlib
import re
import shlex
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(tamrix VERSION ([0-9.]+)", text).group(1)


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        package = pathlib.Path(self.get_ext_fullpath(ext.name)).resolve().parent
        build = pathlib.Path(os.environ.get("TAMRIX_CMAKE_BUILD_DIR") or pathlib.Path(self.build_temp) / "cmake")
        configure = [
            "-DCMAKE_BUILD_TYPE=Release",
            f"-DPython3_EXECUTABLE={sys.executable}",
            "-DTAMRIX_BUILD_PYTHON=ON",
            "-DTAMRIX_INSTALL=ON",
            "-DTAMRIX_PYTHON_BUNDLE=ON",
            "-DTAMRIX_PYTHON_INSTALL_DIR=.",
        ] + [f"-DTAMRIX_BUILD_{part}=OFF" for part in ("TESTS", "BENCH", "EXAMPLES", "CLI")]
        configure += shlex.split(os.environ.get("CMAKE_ARGS", ""))
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), *configure], check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "tamrix_python", "--parallel", jobs], check=True)
        subprocess.run(["cmake", "--install", str(build), "--component", "python", "--prefix", str(package.parent)],
                       check=True)
        # The extension loads the library by its SONAME, which CMake installs
        # as a link to the versioned file; a wheel holds no links, so the file
        # itself takes that name.
        for link in list(package.glob("libtamrix.so*")):
            if link.is_symlink():
                target = link.resolve()
                link.unlink()
                target.rename(link)


setup(
    version=project_version(),
    ext_modules=[CMakeExtension("tamrix._tamrix")],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": "build/pip"}, "egg_info": {"egg_base": "build/pip"}},
    zip_safe=False,
)
