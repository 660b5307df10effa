# The extension is built by the project's CMake build; setuptools only packs it.
import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SOURCE = Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = Path(self.build_temp).resolve() / "cmake"
        # The release preset, in setuptools' own directory and for the Python that runs it.
        subprocess.run(
            ["cmake", "--preset", "release", "-B", str(build), "-DVORLAN_TESTS=OFF",
             f"-DPython3_EXECUTABLE={sys.executable}"],
            cwd=SOURCE, check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "vorlan", "--parallel", str(os.cpu_count() or 1)],
                       check=True)
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(build / "vorlan.abi3.so", target)


setup(
    packages=[],
    py_modules=[],
    ext_modules=[Extension("vorlan", sources=[], py_limited_api=True)],
    cmdclass={"build_ext": CMakeBuild},
    options={"bdist_wheel": {"py_limited_api": "cp311"}},
)
