"""Finding controllers (SearchOnline).

A search broadcasts a request from every network adapter of the machine and
listens for answers for about a second after the last one.
"""

import collections
import ctypes
import threading

from ._library import library as default_library
from .errors import SEARCH, QuilError

SearchResult = collections.namedtuple("SearchResult", "ip mac value hex area")
SearchResult.__doc__ = """One controller that answered: its address and MAC as text, the value at
offset 12 of its answer, the hexadecimal text of the value at offset 4, and
the 32-byte area of the answer (bytes)."""

AREA_SIZE = 32

_SEARCH_CALLBACK = ctypes.CFUNCTYPE(
    None, ctypes.c_int32, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p
)

# The library keeps the last search callback set; it must outlive the search.
_last_callback = None
_search_lock = threading.Lock()


def _text(raw):
    return raw.decode("ascii", "replace") if raw is not None else ""


def search(library=None):
    """Searches the local networks and returns a list of SearchResult, one per
    answer, in the order they arrived. Raises QuilError (family 'search')
    when the search cannot run (another one is running: QUIL_SEARCH_RUNNING)."""
    global _last_callback
    lib = library or default_library()
    found = []
    lock = threading.Lock()

    def on_answer(value, area, ip, mac, hex_text):
        if ip is None and value == -1:
            return  # the end of the search
        result = SearchResult(
            _text(ip), _text(mac), value, _text(hex_text), ctypes.string_at(area, AREA_SIZE) if area else b""
        )
        with lock:
            found.append(result)

    c_callback = _SEARCH_CALLBACK(on_answer)
    with _search_lock:
        _last_callback = c_callback
        code = lib.function("SearchOnline", [_SEARCH_CALLBACK])(c_callback)
    if code != 0:
        raise QuilError(code, "SearchOnline", SEARCH, lib)
    with lock:
        return list(found)
