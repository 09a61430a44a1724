"""quil: control and read networked laser displacement controllers.

A ctypes binding of libquil's C interface (quil.h)::

    import quil

    with quil.Controller("127.0.0.2") as c:
        for m in c.measure_all():
            print(m.out, m.value if m.valid else m.status.name)

Failures raise QuilError (code, name, message, function); a connection
refused or lost raises QuilConnectionError, also a ConnectionError, and a
controller that does not answer in time QuilTimeoutError, also a
TimeoutError. The library is
found through QUIL_LIBRARY, beside this package, in the build/ directory of
a source checkout, or on the system's library path (see load_library).
"""

from ._library import Library, candidates, library, load_library, log_directory
from .controller import (
    MAX_STORED_VALUES,
    Controller,
    Measurement,
    Mode,
    Result,
    StorageStatus,
    ValueStatus,
)
from .errors import (
    FunctionMissingError,
    LibraryNotFoundError,
    QuilConnectionError,
    QuilError,
    QuilTimeoutError,
    StreamError,
)
from . import settings
from .search import SearchResult, search
from .stream import Batch, RollStats, Stream

__version__ = "1.0.5"


def library_version():
    """The loaded library's version as (major, minor, patch), from VersionDll."""
    v = library().version()
    return (v >> 24) & 0xFF, (v >> 16) & 0xFF, v & 0xFFFF


__all__ = [
    "Batch",
    "Controller",
    "FunctionMissingError",
    "Library",
    "LibraryNotFoundError",
    "MAX_STORED_VALUES",
    "Measurement",
    "Mode",
    "QuilConnectionError",
    "QuilError",
    "QuilTimeoutError",
    "Result",
    "RollStats",
    "SearchResult",
    "StorageStatus",
    "Stream",
    "StreamError",
    "ValueStatus",
    "candidates",
    "library",
    "library_version",
    "load_library",
    "log_directory",
    "search",
    "settings",
]
