"""Finding the library, naming result codes, and the tables against quil.h."""

import ctypes
import inspect
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from simulator import CHECKOUT, PYTHON_DIR, QuilSim

import quil
from quil import errors
from quil.controller import HAND_WRITTEN, METHODS
from quil.families import FAMILIES


def run_python(code, cwd=None, **env_changes):
    """Runs code in a fresh interpreter that imports this checkout's package
    (through PYTHONPATH; with cwd, as `python3 -c` there finds it instead);
    env_changes set (a value of None removes the variable)."""
    env = dict(os.environ, PYTHONPATH=str(PYTHON_DIR))
    if cwd is not None:
        del env["PYTHONPATH"]
    for name, value in env_changes.items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = value
    return subprocess.run(
        [sys.executable, "-c", code], env=env, cwd=cwd, capture_output=True, text=True, timeout=60
    )


class Finding(unittest.TestCase):
    def test_import_needs_no_library_and_a_wrong_quil_library_says_where_it_looked(self):
        r = run_python(
            "import quil\n"
            "try:\n    quil.library()\n"
            "except quil.LibraryNotFoundError as e:\n    print('missing:', e)\n",
            QUIL_LIBRARY="/nonexistent/libquil.so",
        )
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("missing: libquil not found", r.stdout)
        self.assertIn("QUIL_LIBRARY: /nonexistent/libquil.so", r.stdout)

    def test_quil_library_names_the_file_used(self):
        path = quil.library().path
        r = run_python("import quil; print(quil.library().path); print(quil.library_version())", QUIL_LIBRARY=path)
        self.assertEqual(r.stdout.split("\n")[:2], [path, "(1, 0, 5)"], r.stderr)

    def test_without_quil_library_the_package_directory_comes_before_the_checkout_and_the_system(self):
        r = run_python("import quil\nfor where, path in quil.candidates(): print(where, path)", QUIL_LIBRARY=None)
        places = [line.split(" ", 2) for line in r.stdout.splitlines()]
        order = [" ".join(p[:2]) for p in places]
        self.assertEqual(order[0], "package directory")
        self.assertEqual(places[0][2], str(PYTHON_DIR / "quil" / "libquil.so"))
        checkout = order.index("checkout build")
        self.assertLess(checkout, order.index("system path"))
        self.assertEqual(places[checkout][2], str(CHECKOUT / "build" / "libquil.so"))


class LogDirectory(unittest.TestCase):
    """The library keeps its INI and log beside the executable, which for a
    Python program is the interpreter's directory: the package points it at
    the user's state directory instead."""

    def test_a_program_leaves_nothing_beside_its_interpreter(self):
        bindir = tempfile.mkdtemp(prefix="quil-py-bin-")
        state = tempfile.mkdtemp(prefix="quil-py-state-")
        self.addCleanup(shutil.rmtree, bindir, True)
        self.addCleanup(shutil.rmtree, state, True)
        # A copy, not a link: the library finds its directory through the
        # executable's real path.
        interpreter = os.path.join(bindir, "python3")
        shutil.copy2(os.path.realpath(sys.executable), interpreter)
        sim = QuilSim()
        self.addCleanup(sim.stop)
        env = dict(os.environ, PYTHONPATH=str(PYTHON_DIR), XDG_STATE_HOME=state)
        env.pop("QUIL_LOG_DIR", None)
        r = subprocess.run(
            [interpreter, "-c", "import quil\nwith quil.Controller(%r) as c: print(c.get_device_type())" % sim.address],
            env=env,
            capture_output=True,
            text=True,
            timeout=60,
        )
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(os.listdir(bindir), ["python3"])
        self.assertTrue(os.path.isfile(os.path.join(state, "quil", "EnableLogout.ini")), os.listdir(state))


class FromTheRepository(unittest.TestCase):
    """`python3 -c "import quil"` in the repository's root: the link quil ->
    python/quil there is the package, and it finds the library of build/."""

    def test_import_in_the_root_is_the_checkouts_package_and_loads_nothing(self):
        self.assertEqual(os.readlink(CHECKOUT / "quil"), os.path.join("python", "quil"))
        r = run_python(
            "import quil; print(quil.__file__); print(quil._library._loaded)",
            cwd=CHECKOUT,
            QUIL_LIBRARY="/nonexistent/libquil.so",
        )
        self.assertEqual(r.returncode, 0, r.stderr)
        module, loaded = r.stdout.splitlines()
        self.assertEqual(Path(module).resolve(), PYTHON_DIR / "quil" / "__init__.py")
        self.assertEqual(loaded, "None")

    def test_a_checkouts_root_finds_the_library_in_its_build_directory(self):
        # A checkout of its own: the link, the package, quil.h, and a library in build/ only.
        root = Path(tempfile.mkdtemp(prefix="quil-checkout-")).resolve()
        self.addCleanup(shutil.rmtree, root, True)
        shutil.copytree(PYTHON_DIR / "quil", root / "python" / "quil", ignore=shutil.ignore_patterns("*.so*"))
        os.symlink(os.readlink(CHECKOUT / "quil"), root / "quil")
        for folder in ("include", "build"):
            (root / folder).mkdir()
        (root / "include" / "quil.h").write_text("")
        shutil.copy(quil.library().path, root / "build" / "libquil.so")
        r = run_python("import quil; print(quil.library().path)", cwd=root, QUIL_LIBRARY=None)
        self.assertEqual(r.stdout.splitlines(), [str(root / "build" / "libquil.so")], r.stderr)


class ResultNames(unittest.TestCase):
    def test_each_family_names_its_own_codes(self):
        cases = [
            (4101, errors.DEVICE, "QUIL_ERROR_MODE"),
            (-1, errors.JSON, "QUIL_JSON_REFUSED"),
            (8201, errors.JSON, "QUIL_ERROR_DEVICE_ID"),  # the running time's own checks
            (-1, errors.STREAM, "QUIL_STREAM_FAILED"),
            (-1, errors.SEARCH, "QUIL_SEARCH_NO_SOCKETS"),
        ]
        for code, family, name in cases:
            with self.subTest(code=code, family=family):
                e = quil.QuilError(code, "F", family)
                self.assertEqual((e.code, e.name), (code, name))
                self.assertTrue(str(e).startswith("F: %s (%d): " % (name, code)))
        self.assertIn("error number 51", quil.QuilError(51, family=errors.JSON).message)


# A QUIL_ prototype: name and parameter list.
PROTOTYPE = re.compile(r"QUIL_API\s+int32_t\s+(?:QUIL_STDCALL\s+)?(QUIL_\w+)\s*\(([^)]*)\)\s*;")
VALUE = re.compile(r"^(u?int32_t)\s+\w+$")
POINTER = re.compile(r"^(u?int32_t)\s*\*\s*\w+$")
C_TYPES = {"int32_t": ctypes.c_int32, "uint32_t": ctypes.c_uint32}


def header_prototypes():
    path = os.environ.get("QUIL_HEADER") or str(CHECKOUT / "include" / "quil.h")
    if not os.path.exists(path):
        raise unittest.SkipTest("no quil.h at " + path)
    with open(path) as f:
        text = f.read()
    return {name: [" ".join(p.split()) for p in params.split(",")] for name, params in PROTOTYPE.findall(text)}


class Tables(unittest.TestCase):
    """Each table entry matches its prototype in quil.h, and every device
    function of integers in and integers out has a method."""

    def test_entries_match_their_prototypes(self):
        prototypes = header_prototypes()
        checked = 0
        for entry in METHODS.values():
            params = prototypes.get(entry.c_name)
            if params is None:
                continue  # declared by a newer quil.h; the call says when the library lacks it
            checked += 1
            with self.subTest(function=entry.c_name):
                self.assertEqual(len(params), 1 + len(entry.arguments) + len(entry.outputs), params)
                self.assertRegex(params[0], r"^int32_t DeviceId$")
                for param, kind in zip(params[1:], entry.arguments):
                    m = VALUE.match(param)
                    self.assertIsNotNone(m, param)
                    self.assertIs(C_TYPES[m.group(1)], kind.ctype, param)
                for param, kind in zip(params[1 + len(entry.arguments) :], entry.outputs):
                    m = POINTER.match(param)
                    self.assertIsNotNone(m, param)
                    self.assertIs(C_TYPES[m.group(1)], kind.ctype, param)
        # The families every quil.h has are all declared.
        core = [e.c_name for f in ("session", "control", "storage", "registers") for e in FAMILIES[f]]
        self.assertEqual([name for name in core if name not in prototypes], [])
        self.assertGreaterEqual(checked, len(core))

    def test_every_integer_device_function_has_a_method(self):
        wrapped = {e.c_name for e in METHODS.values()} | set(HAND_WRITTEN)
        missing = []
        for name, params in header_prototypes().items():
            values = [p for p in params[1:] if VALUE.match(p)]
            pointers = [p for p in params[1:] if POINTER.match(p)]
            simple = params[1:] == values + pointers  # integers in, then integers out
            if params[0] == "int32_t DeviceId" and simple and name not in wrapped:
                missing.append(name)
        self.assertEqual(missing, [], "add these to a table in families.py")

    def test_methods_say_which_function_they_call(self):
        method = quil.Controller.get_able_min_max
        self.assertIn("QUIL_GetAbleMinMax(DeviceId, head, *min, *max)", method.__doc__)
        self.assertEqual(str(inspect.signature(method)), "(self, /, head)")


if __name__ == "__main__":
    unittest.main()
