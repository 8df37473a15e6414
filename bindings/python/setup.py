"""Builds the korvel package. When a built KORVEL32 library is found, a copy
goes into the package beside its modules, where korvel looks for it:
the file named by KORVEL_LIBRARY, else the one in the repository's build
folder (build/native/bin/libkorvel32.so on Linux)."""

import os
import shutil
import sys

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

HERE = os.path.dirname(os.path.abspath(__file__))
REPOSITORY = os.path.dirname(os.path.dirname(HERE))


def built_library():
    named = os.environ.get("KORVEL_LIBRARY")
    if named:
        if not os.path.isfile(named):
            sys.exit("KORVEL_LIBRARY names no file: %s" % named)
        return named
    if sys.platform == "win32":
        build = "win32" if sys.maxsize < 2**32 else "win64"
        candidate = os.path.join(REPOSITORY, "build", build, "bin", "KORVEL32.dll")
    else:
        candidate = os.path.join(REPOSITORY, "build", "native", "bin", "libkorvel32.so")
    return candidate if os.path.isfile(candidate) else None


LIBRARY = built_library()


class BuildWithLibrary(build_py):
    def run(self):
        super().run()
        if LIBRARY:
            name = "KORVEL32.dll" if sys.platform == "win32" else "libkorvel32.so"
            target = os.path.join(self.build_lib, "korvel", name)
            shutil.copyfile(LIBRARY, target)
            print("korvel: bundled %s" % LIBRARY)


class KorvelDistribution(Distribution):
    # With the library inside, the wheel is for this platform only.
    def has_ext_modules(self):
        return LIBRARY is not None


setup(cmdclass={"build_py": BuildWithLibrary}, distclass=KorvelDistribution)
