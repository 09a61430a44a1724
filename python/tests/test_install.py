"""pip installs the package (pure Python) into a directory, from which it
imports and finds the library."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from simulator import PYTHON_DIR

import quil

# pip builds with setuptools from the interpreter itself (no download);
# setuptools before 70.1 needs the wheel package for that.
_CAN_BUILD = """
import setuptools, pip
try:
    import wheel
except ImportError:
    import setuptools.command.bdist_wheel
"""


def builder():
    """An interpreter whose pip can build the package without a download."""
    for python in (sys.executable, shutil.which("python3"), "/usr/bin/python3"):
        if python and subprocess.run([python, "-c", _CAN_BUILD], capture_output=True).returncode == 0:
            return python
    raise unittest.SkipTest("no Python with pip, setuptools and wheel to build the package")


class PipInstall(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.python = builder()
        cls.tmp = Path(tempfile.mkdtemp(prefix="quil-pip-"))
        # Built from a copy, so the build leaves nothing in the checkout; a
        # library put beside the package is installed with it.
        source = cls.tmp / "source"
        skipped = shutil.ignore_patterns("tests", "__pycache__", "*.egg-info", "build")
        shutil.copytree(PYTHON_DIR, source, ignore=skipped)
        shutil.copy(quil.library().path, source / "quil" / "libquil.so")
        cls.target = cls.tmp / "target"
        pip = [cls.python, "-m", "pip", "install", "--no-deps", "--no-build-isolation", "--no-index"]
        cls.pip = subprocess.run(
            pip + ["--target", str(cls.target), str(source)],
            capture_output=True,
            text=True,
            timeout=300,
        )

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def run_installed(self, code, **env_changes):
        env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "QUIL_LIBRARY")}
        env.update(PYTHONPATH=str(self.target), **env_changes)
        r = subprocess.run([sys.executable, "-c", code], env=env, cwd=self.tmp, capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout.split()

    def test_pip_installs_the_package_and_nothing_else(self):
        self.assertEqual(self.pip.returncode, 0, self.pip.stdout + self.pip.stderr)
        installed = sorted(p.name for p in (self.target / "quil").iterdir() if p.name != "__pycache__")
        self.assertIn("controller.py", installed)
        self.assertIn("libquil.so", installed)
        self.assertFalse((self.target / "tests").exists())

    def test_the_installed_package_finds_the_library_beside_it(self):
        self.assertEqual(self.pip.returncode, 0)
        # The package's version is the library's (quil.h), in the
        # installed metadata too.
        module, path, package, installed, loaded = self.run_installed(
            "import quil, importlib.metadata as m; print(quil.__file__, quil.library().path, quil.__version__, "
            "m.version('quil'), '.'.join(map(str, quil.library_version())))"
        )
        self.assertEqual(Path(module).parent, self.target / "quil")
        self.assertEqual(path, str(self.target / "quil" / "libquil.so"))
        self.assertEqual((package, installed), (loaded, loaded))

    def test_quil_library_comes_first(self):
        self.assertEqual(self.pip.returncode, 0)
        (path,) = self.run_installed("import quil; print(quil.library().path)", QUIL_LIBRARY=quil.library().path)
        self.assertEqual(path, quil.library().path)


if __name__ == "__main__":
    unittest.main()
