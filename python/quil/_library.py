"""Finding and loading libquil, and binding its functions on first use.

The library is looked for, in this order:

1. the file named by the environment variable ``QUIL_LIBRARY`` (when it is
   set, nothing else is tried);
2. ``libquil.so`` beside this package (copied there before ``pip install``);
3. ``build/libquil.so`` of the source checkout this package lives in (also
   when it is imported through the link ``quil`` -> ``python/quil`` in the
   repository's root: the package's path is taken with links resolved);
4. the system's library path (``ldconfig``, ``LD_LIBRARY_PATH``).

Nothing is loaded at import: the first call that needs the library loads it,
so ``import quil`` works on a machine without it.

Where the library keeps its trace log: a C program has "EnableLogout.ini" and
"QUILLinkFile.log" beside its executable, which for Python is the
interpreter's directory (``/usr/bin``), no place for a program's files. So,
unless ``QUIL_LOG_DIR`` chooses, a loaded library is pointed at the user's
state directory (``log_directory()``) before anything can open a device.
"""

import ctypes
import ctypes.util
import os
import sys
import threading
from pathlib import Path

from .errors import FunctionMissingError, LibraryNotFoundError

_PACKAGE_DIR = Path(__file__).resolve().parent
_CHECKOUT_DIR = _PACKAGE_DIR.parent.parent

_LOG_FROM_INI = 2  # QUIL_LOG_FROM_INI: the INI in the directory decides

if sys.platform == "win32":
    _FILE_NAMES = ("quil.dll",)
elif sys.platform == "darwin":
    _FILE_NAMES = ("libquil.dylib",)
else:
    _FILE_NAMES = ("libquil.so", "libquil.so.1")


def log_directory():
    """Where the library's INI and trace log go for this package: QUIL_LOG_DIR
    when set, else the per-user state directory, $XDG_STATE_HOME/quil or
    ~/.local/state/quil (%LOCALAPPDATA%\\quil on Windows)."""
    chosen = os.environ.get("QUIL_LOG_DIR")
    if chosen:
        return Path(chosen)
    if sys.platform == "win32":
        base = os.environ.get("LOCALAPPDATA") or str(Path.home() / "AppData" / "Local")
    else:
        base = os.environ.get("XDG_STATE_HOME", "")
        if not os.path.isabs(base):  # unset, empty or relative: not to be used
            base = str(Path.home() / ".local" / "state")
    return Path(base) / "quil"


def candidates():
    """The places looked at, in order, as (description, path) pairs."""
    explicit = os.environ.get("QUIL_LIBRARY")
    if explicit:
        return [("QUIL_LIBRARY", explicit)]
    found = [("package directory", str(_PACKAGE_DIR / name)) for name in _FILE_NAMES]
    if (_CHECKOUT_DIR / "include" / "quil.h").is_file():
        found += [("checkout build", str(_CHECKOUT_DIR / "build" / name)) for name in _FILE_NAMES]
    system = ctypes.util.find_library("quil")
    found += [("system path", name) for name in ((system,) if system else ()) + _FILE_NAMES]
    return found


class Library:
    """A loaded libquil: its path and its functions, bound on first use."""

    def __init__(self, path):
        self.path = path
        self._dll = ctypes.CDLL(path)
        self._functions = {}
        self._lock = threading.Lock()
        name = self.function("quil_result_name", [ctypes.c_int32], ctypes.c_char_p)
        message = self.function("quil_result_message", [ctypes.c_int32], ctypes.c_char_p)
        self._name, self._message = name, message
        self._choose_log_directory()

    def _choose_log_directory(self):
        """Points the library's INI and log at log_directory() (the library
        itself reads QUIL_LOG_DIR). The INI there still decides whether
        anything is logged. Once a device was opened in this process the
        library keeps its choice (quil_log_configure then refuses)."""
        if os.environ.get("QUIL_LOG_DIR") or not self.has("quil_log_configure"):
            return
        directory = log_directory()
        try:
            directory.mkdir(parents=True, exist_ok=True)
        except OSError:
            pass  # the library then finds no INI: logging stays off
        configure = self.function("quil_log_configure", [ctypes.c_char_p, ctypes.c_int32, ctypes.c_int32])
        configure(os.fsencode(directory), _LOG_FROM_INI, 0)

    def function(self, name, argtypes, restype=ctypes.c_int32):
        """The C function name with its types set; FunctionMissingError when
        this build of the library does not export it."""
        with self._lock:
            f = self._functions.get(name)
            if f is None:
                try:
                    f = getattr(self._dll, name)
                except AttributeError:
                    raise FunctionMissingError(name, self.path) from None
                f.argtypes = argtypes
                f.restype = restype
                self._functions[name] = f
            elif tuple(getattr(f, "argtypes", argtypes)) != tuple(argtypes):
                # One function object serves every caller: a second set of
                # types would change how the first caller's arguments pass.
                raise TypeError("%s is already bound with other argument types" % name)
            return f

    def has(self, name):
        """Whether the library exports name."""
        try:
            getattr(self._dll, name)
            return True
        except AttributeError:
            return False

    def result_name(self, code):
        return self._name(code).decode("ascii")

    def result_message(self, code):
        return self._message(code).decode("ascii")

    def code_name(self, family, code):
        """The name of a code of a family (QUIL_FAMILY_*)."""
        f = self.function("quil_code_name", [ctypes.c_int32, ctypes.c_int32], ctypes.c_char_p)
        return f(family, code).decode("ascii")

    def code_message(self, family, code):
        """The one-line meaning of a code of a family."""
        f = self.function("quil_code_message", [ctypes.c_int32, ctypes.c_int32], ctypes.c_char_p)
        return f(family, code).decode("ascii")

    def version(self):
        """VersionDll(): 0x01000005 for 1.0.5."""
        return self.function("VersionDll", [])()


_loaded = None
_load_lock = threading.Lock()


def load_library(path=None):
    """Loads libquil (from path, else from the first place of candidates()
    that holds a loadable library) and makes it the one the package uses."""
    global _loaded
    tried = []
    for where, candidate in [("argument", str(path))] if path is not None else candidates():
        try:
            library = Library(candidate)
        except OSError as e:
            tried.append("%s: %s (%s)" % (where, candidate, e))
            continue
        with _load_lock:
            _loaded = library
        return library
    raise LibraryNotFoundError(tried)


def library():
    """The library in use, loaded on the first call."""
    with _load_lock:
        current = _loaded
    return current if current is not None else load_library()
