"""Settings compared: two settings files, a file and a controller, or two
controllers, setting by setting (quil_settings_diff).

    for d in quil.settings.diff("golden.xml", controller):
        print(d)
"""

import ctypes
import os
from dataclasses import dataclass
from typing import List, Optional, Union

from ._library import library as default_library
from .errors import QuilError

# Also the document's own data: its version, save time and network addresses.
DIFF_ALL = 1



class _Difference(ctypes.Structure):
    _fields_ = [
        ("program", ctypes.c_int32),
        ("block", ctypes.c_char_p),
        ("setting", ctypes.c_char_p),
        ("a", ctypes.c_char_p),
        ("b", ctypes.c_char_p),
    ]


_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.POINTER(_Difference), ctypes.c_void_p)


@dataclass(frozen=True)
class Difference:
    """One setting in which two documents differ. program: 0 to 7, or None
    outside the programs; block: "environment", "head 1" ... "head 4",
    "OUT 1" ... "OUT 8", "common", "program" or "file"; setting: the
    element's path below its block; a, b: the values (None where that side
    lacks the setting)."""

    program: Optional[int]
    block: str
    setting: str
    a: Optional[str]
    b: Optional[str]

    def __str__(self) -> str:
        where = self.block if self.program is None else "program %d  %s" % (self.program, self.block)
        a, b = ("(none)" if v is None else v for v in (self.a, self.b))
        return "%s  %s: %s | %s" % (where, self.setting, a, b)


def _text(raw: Optional[bytes]) -> Optional[str]:
    return None if raw is None else raw.decode("utf-8", "replace")


def _document(source) -> bytes:
    """A source's settings document: a file's content, or a Controller's
    current settings read without writing a file."""
    if hasattr(source, "settings_text"):
        return source.settings_text().encode("utf-8")
    with open(os.fspath(source), "rb") as f:
        return f.read()


Source = Union[str, os.PathLike, object]  # a settings file's path, or a Controller


def diff(a: Source, b: Source, all: bool = False, library=None) -> List[Difference]:
    """The differences between two settings, each a settings file's path or
    a Controller (its current settings), in a's order and then b's for what
    only b holds; [] for the same settings. all: also the save time, version
    and network addresses. Raises FileNotFoundError and the like for a
    file, QuilError (QUIL_ERROR_PARAMETER) for a document that is no
    settings document."""
    lib = library or default_library()
    texts = [_document(a), _document(b)]
    rows: List[Difference] = []

    def collect(d, _user):
        v = d.contents
        rows.append(
            Difference(
                None if v.program < 0 else v.program, _text(v.block), _text(v.setting), _text(v.a), _text(v.b)
            )
        )

    callback = _CALLBACK(collect)
    f = lib.function(
        "quil_settings_diff",
        [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int32, _CALLBACK, ctypes.c_void_p, ctypes.POINTER(ctypes.c_int32)],
    )
    count = ctypes.c_int32(0)
    code = f(texts[0], texts[1], DIFF_ALL if all else 0, callback, None, ctypes.byref(count))
    if code != 0:
        raise QuilError(code, "quil_settings_diff", library=lib)
    return rows
