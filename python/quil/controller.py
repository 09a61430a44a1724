"""One networked controller, opened by its IPv4 address."""

import atexit
import collections
import ctypes
import enum
import errno
import ipaddress
import os
import threading
from array import array
from typing import Callable, List, Optional, TypeVar, Union

from . import _devices
from ._library import library as default_library
from ._table import Param, install
from .errors import QuilConnectionError, QuilError
from .families import FAMILIES
from .stream import Batch, Stream


class Result(enum.IntEnum):
    """The result codes of the QUIL_ functions (quil.h)."""

    OK = 0
    ERROR_DEVICE_E50 = 4097
    ERROR_DEVICE_E60 = 4098
    ERROR_TIMEOUT = 4099
    ERROR_MODE = 4101
    ERROR_UNKNOWN = 4102
    ERROR_PARAMETER = 4103
    ERROR_DEVICE_E63 = 4104
    ERROR_RANGE = 4105
    ERROR_DEVICE_E71 = 4106
    ERROR_OPEN = 8192
    ERROR_SEND = 8194
    ERROR_REPLY = 8195
    ERROR_DEVICE_E88 = 8196
    ERROR_NO_DATA = 8197
    ERROR_CLOSE = 8199
    ERROR_OVERFLOW = 8200
    ERROR_DEVICE_ID = 8201
    ERROR_NO_LINK = 8202
    ERROR_IP_IN_USE = 8203
    ERROR_WAIT = 8204
    ERROR_NULL_POINTER = 8205
    ERROR_FORMAT = 8206
    ERROR_VALUE = 8207
    ERROR_UNSUPPORTED = 8208


class Mode(enum.IntEnum):
    MEASURE = 0  # "R0"
    SETTING = 1  # "Q0"


class ValueStatus(enum.IntEnum):
    """What the controller sent for a value."""

    NORMAL = 0  # a number
    PLUS_FFFFFFF = 1  # "+FFFFFFF": above the range
    MINUS_FFFFFFF = 2  # "-FFFFFFF": below the range
    XXXXXXXX = 3  # "XXXXXXXX": no valid value


class Measurement(collections.namedtuple("Measurement", "out status value")):
    """A measured value of an OUT.

    value is a float in the display unit of the OUT, as the controller shows
    it (the unit chosen with set_display_unit; the library does not convert
    it), or None when the controller sent a special text instead of a number
    (status tells which).
    """

    __slots__ = ()
    unit = "display unit of the OUT"

    @property
    def valid(self):
        return self.status == ValueStatus.NORMAL


StorageStatus = collections.namedtuple("StorageStatus", "recording outs")
StorageStatus.__doc__ = """recording: True while the controller records; outs: one number per OUT
from OUT1 on, as many as the controller reports (non-zero: the OUT holds stored data)."""


class _CalcData(ctypes.Structure):
    _fields_ = [("OutNo", ctypes.c_int32), ("status", ctypes.c_int32), ("value", ctypes.c_float)]


_STORAGE_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_int32)
# The Controllers whose storage callback the library may call, by device
# number, with the callback: kept until the device is closed whether the
# application still holds its Controller or not.
_watchers = {}
_watchers_lock = threading.Lock()


@atexit.register
def _close_watched():
    """A callback that comes while the interpreter shuts down crashes it."""
    with _watchers_lock:
        controllers = [controller for controller, _ in _watchers.values()]
    for controller in controllers:
        controller.close()

_I32 = [ctypes.c_int32]
_I32P = Param.parse("value")
_U32P = Param.parse("value:u32")
MAX_STORED_VALUES = 1200000
_MAX_OUTS = 8


_PATH_ARGS = _I32 + [ctypes.c_char_p]
_T = TypeVar("_T")
PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def _path_error(cls, code, path):
    return cls(code, os.strerror(code), os.fsdecode(path))


def _check_readable(path):
    """The errors the standard library gives for a file that cannot be read,
    before the library is asked (which knows only QUIL_ERROR_PARAMETER)."""
    if not os.path.exists(path):
        raise _path_error(FileNotFoundError, errno.ENOENT, path)
    if os.path.isdir(path):
        raise _path_error(IsADirectoryError, errno.EISDIR, path)
    if not os.access(path, os.R_OK):
        raise _path_error(PermissionError, errno.EACCES, path)


def _check_writable(path):
    """As _check_readable, for a file to be written: the save writes a new
    file beside it and puts it in its place, so its directory must exist and
    be writable."""
    if os.path.isdir(path):
        raise _path_error(IsADirectoryError, errno.EISDIR, path)
    directory = os.path.dirname(os.path.abspath(os.fsdecode(path)))
    if not os.path.isdir(directory):
        raise _path_error(FileNotFoundError, errno.ENOENT, directory)
    if not os.access(directory, os.W_OK) or (os.path.exists(path) and not os.access(path, os.W_OK)):
        raise _path_error(PermissionError, errno.EACCES, path)


def _path_bytes(path, function):
    """A file path (str, bytes or path-like) as the narrow text the library
    hands to the file system."""
    encoded = os.fsencode(path)
    if b"\0" in encoded:
        # The library would see only the text before it: another file.
        raise ValueError("%s: the path contains a NUL character" % function)
    return encoded


def _measurement(record):
    try:
        status = ValueStatus(record.status)
    except ValueError:
        status = record.status
    return Measurement(record.OutNo, status, record.value if status == ValueStatus.NORMAL else None)


def _int_array(values, count, typecode):
    """array of count 32-bit values from a ctypes array."""
    out = array(typecode)
    out.frombytes(ctypes.string_at(values, count * 4))
    return out


class Controller:
    """A controller opened with QUIL_OpenDeviceETHER, closed with
    QUIL_CloseDevice (close(), or the end of a with block).

    address: its IPv4 address as text; device: the device number (0 to 63),
    or None for a free one; timeout_ms: the wait for the connection.

    One method per C function, grouped by family (families.py); each names
    its C function in its docstring. Calls on one Controller are serialised
    by the library; different Controllers run in parallel.

    reconnect: when a call finds the connection lost (QuilConnectionError,
    for instance after the controller restarted), reopen it once with
    reconnect() and make the call again. Only calls that may safely run
    twice are repeated: reads and setters; the zero setting, resets, the
    storage controls, the ABLE calibration and the settings files are not.
    """

    def __init__(
        self,
        address: str,
        device: Optional[int] = None,
        timeout_ms: int = 2000,
        library=None,
        reconnect: bool = False,
    ) -> None:
        self.address = str(ipaddress.IPv4Address(address))
        self.library = library or default_library()
        self.timeout_ms = _U32P.convert(timeout_ms, "QUIL_OpenDeviceETHER", "timeout_ms")
        self.auto_reconnect = bool(reconnect)
        self._lock = threading.Lock()
        self._watcher_thread = None
        self.device = _devices.reserve(device)
        try:
            self._open_connection()
        except BaseException:
            _devices.release(self.device)
            raise
        self._open = True

    def _open_connection(self):
        ip = (ctypes.c_uint8 * 4)(*ipaddress.IPv4Address(self.address).packed)
        opener = self.library.function(
            "QUIL_OpenDeviceETHER", [ctypes.c_int32, ctypes.POINTER(ctypes.c_uint8), ctypes.c_uint32]
        )
        code = opener(self.device, ip, self.timeout_ms)
        if code != 0:
            raise QuilError(code, "QUIL_OpenDeviceETHER", library=self.library, detail=self.address)

    def reconnect(self) -> None:
        """Closes the connection (QUIL_CloseDevice, whatever state it is in)
        and opens it again on the same device number; a storage watcher is
        started again with its callback. Raises QuilError (a
        QuilConnectionError when the controller cannot be reached); the
        Controller stays usable for another reconnect()."""
        self._device_for_call("reconnect")
        if self._watcher_thread == threading.get_ident():
            raise RuntimeError("reconnect() from the storage callback would wait for itself")
        # A lost connection's close fails or not; the record is free after it.
        self.library.function("QUIL_CloseDevice", _I32)(self.device)
        self._open_connection()
        with _watchers_lock:
            watched = _watchers.get(self.device)
        if watched is not None and watched[0] is self:
            self._call_once("QUIL_SetOneDataStorage", _I32 + [_STORAGE_CALLBACK], watched[1])

    def _retrying(self, repeatable: bool, attempt: Callable[[], _T]) -> _T:
        """attempt(); with reconnect on and a repeatable call, once more
        after reconnect() when the connection was lost."""
        try:
            return attempt()
        except QuilConnectionError:
            if not (self.auto_reconnect and repeatable and self.is_open):
                raise
        self.reconnect()
        return attempt()

    def __enter__(self) -> "Controller":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __repr__(self):
        state = "open" if self.is_open else "closed"
        return "<quil.Controller %s device %d %s>" % (self.address, self.device, state)

    @property
    def is_open(self) -> bool:
        return getattr(self, "_open", False)

    def _device_for_call(self, function):
        if not self.is_open:
            raise QuilError(Result.ERROR_OPEN, function, library=self.library, detail="the Controller is closed")
        return self.device

    def _call(self, name, argtypes, *args, repeatable=True):
        """Calls name with the device number and args; the numbers among
        args come as (name, value) pairs and are range-checked. A repeatable
        call is made once more after a lost connection (see reconnect)."""
        args = [_I32P.convert(a[1], name, a[0]) if isinstance(a, tuple) else a for a in args]
        self._retrying(repeatable, lambda: self._call_once(name, argtypes, *args))

    def _call_once(self, name, argtypes, *args):
        f = self.library.function(name, argtypes)
        code = f(self._device_for_call(name), *args)
        if code != 0:
            raise QuilError(code, name, library=self.library)

    def close(self) -> None:
        """Stops the storage watcher and closes the connection. Closing twice
        is harmless. Not allowed from the storage watcher's callback."""
        with self._lock:
            if not self.is_open:
                return
            if self._watcher_thread == threading.get_ident():
                raise RuntimeError("close() from the storage callback would wait for itself")
            self._open = False
        code = self.library.function("QUIL_CloseDevice", _I32)(self.device)
        # The watcher thread has been joined: its callback can go.
        with _watchers_lock:
            _watchers.pop(self.device, None)
        _devices.release(self.device)
        if code != 0:
            raise QuilError(code, "QUIL_CloseDevice", library=self.library)

    @classmethod
    def supports(cls, method, library=None):
        """Whether the library exports the C function behind a method."""
        function = getattr(getattr(cls, method), "c_function", None)
        return function is None or (library or default_library()).has(function)

    # ------------------------------------------------------- measured values
    def measure(self, out: int) -> Measurement:
        """Measured value of one OUT, 1 to 8 (QUIL_GetCalcDataSingle)."""
        record = _CalcData()
        self._call("QUIL_GetCalcDataSingle", _I32 * 2 + [ctypes.POINTER(_CalcData)], ("out", out), ctypes.byref(record))
        return _measurement(record)

    def measure_mask(self, mask: int) -> List[Measurement]:
        """Measured values of the OUTs of a mask (bit 0 = OUT1 ... bit 3 =
        OUT4, 1 to 15), in ascending OUT order (QUIL_GetCalcDataMulti)."""
        records = (_CalcData * 4)()
        self._call("QUIL_GetCalcDataMulti", _I32 * 2 + [ctypes.POINTER(_CalcData)], ("mask", mask), records)
        return [_measurement(r) for r in records[: bin(mask & 0xF).count("1")]]

    def measure_all(self) -> List[Measurement]:
        """Measured values of OUT1 to OUT4 (QUIL_GetCalcDataALL)."""
        records = (_CalcData * 4)()
        self._call("QUIL_GetCalcDataALL", _I32 + [ctypes.POINTER(_CalcData)], records)
        return [_measurement(r) for r in records]

    # ---------------------------------------------------------- data storage
    def storage_status(self) -> StorageStatus:
        """StorageStatus (QUIL_DataStorageGetStatus)."""
        recording = ctypes.c_int32(0)
        outs = (ctypes.c_int32 * _MAX_OUTS)(*([-1] * _MAX_OUTS))
        argtypes = _I32 + [ctypes.POINTER(ctypes.c_int32)] * 2
        self._call("QUIL_DataStorageGetStatus", argtypes, ctypes.byref(recording), outs)
        # Entries the controller did not report stay at -1.
        return StorageStatus(recording.value != 0, tuple(n for n in outs if n != -1))

    def storage_data(self, out: int, capacity: int = MAX_STORED_VALUES) -> "array[float]":
        """Stored values of one OUT (1 to 8) as array('f'), at most capacity
        of them, in the OUT's display unit; a special value reads as -999.0
        (QUIL_DataStorageGetData)."""
        return self._read_stored("QUIL_DataStorageGetData", ctypes.c_float, "f", ("out", out), capacity)

    def encoder_storage(self, channel: int, capacity: int = MAX_STORED_VALUES) -> "array[int]":
        """Stored counts of one encoder channel (1 to 3; models 34 to 39) as
        array('i'); a special value reads as -999 (QUIL_GetEncoderStoreValue)."""
        return self._read_stored("QUIL_GetEncoderStoreValue", ctypes.c_int32, "i", ("channel", channel), capacity)

    def _read_stored(self, name, ctype, typecode, number, capacity):
        capacity = _I32P.convert(capacity, name, "capacity")
        if capacity < 0:
            raise ValueError("%s: capacity=%d is negative" % (name, capacity))
        values = (ctype * capacity)()
        received = ctypes.c_int32(0)
        argtypes = _I32 * 3 + [ctypes.POINTER(ctype), ctypes.POINTER(ctypes.c_int32)]
        self._call(name, argtypes, number, capacity, values, ctypes.byref(received))
        return _int_array(values, min(max(received.value, 0), capacity), typecode)

    def watch_storage(self, callback: Callable[["Controller"], None]) -> None:
        """Starts the storage watcher (QUIL_SetOneDataStorage): callback(self)
        runs on the library's poll thread about once a millisecond while
        recording has stopped with data stored; clearing the storage
        (storage_clear) ends that. The callback may call this Controller's
        methods except close() and watch_storage()."""

        def on_storage(device):
            self._watcher_thread = threading.get_ident()
            callback(self)

        c_callback = _STORAGE_CALLBACK(on_storage)
        with _watchers_lock:
            previous = _watchers.get(self.device)
            _watchers[self.device] = (self, c_callback)
        try:
            self._call("QUIL_SetOneDataStorage", _I32 + [_STORAGE_CALLBACK], c_callback, repeatable=False)
        except BaseException:
            with _watchers_lock:
                if previous is None:
                    _watchers.pop(self.device, None)
                else:
                    _watchers[self.device] = previous
            raise

    # -------------------------------------------------------- settings files
    def save_settings(self, path: PathLike) -> None:
        """Saves the controller's whole configuration (every program's head,
        OUT and common settings, and the controller-wide ones) into the XML
        file at path (QUIL_DeriveFormula). The file is replaced only once the
        new one is complete; on failure it stays as it was. Raises, before
        anything is sent, FileNotFoundError (no such directory),
        IsADirectoryError or PermissionError; QuilError: QUIL_ERROR_PARAMETER
        when the file cannot be written all the same, a link code
        (QUIL_ERROR_TIMEOUT, QUIL_ERROR_REPLY, ...) when a read failed."""
        encoded = _path_bytes(path, "QUIL_DeriveFormula")
        self._device_for_call("QUIL_DeriveFormula")  # a closed Controller says so first
        _check_writable(encoded)
        self._call("QUIL_DeriveFormula", _PATH_ARGS, encoded, repeatable=False)

    def load_settings(self, path: PathLike) -> None:
        """Writes every setting a file saved by save_settings holds into the
        controller, program by program; the active program is selected again
        afterwards (QUIL_SetFormula). A value the controller refuses leaves
        that setting as it was and the load goes on. Raises, before anything
        is sent, FileNotFoundError, IsADirectoryError or PermissionError;
        QuilError: QUIL_ERROR_PARAMETER, with nothing sent, for a file that
        cannot be read as an XML document."""
        encoded = _path_bytes(path, "QUIL_SetFormula")
        self._device_for_call("QUIL_SetFormula")  # a closed Controller says so first
        _check_readable(encoded)
        self._call("QUIL_SetFormula", _PATH_ARGS, encoded, repeatable=False)

    def settings_text(self) -> str:
        """The controller's whole configuration as the document save_settings
        writes, read the same way but without a file (quil_settings_text).
        Raises QuilError as save_settings does for a failed read."""
        text = ctypes.c_char_p()

        def read():
            f = self.library.function("quil_settings_text", _I32 + [ctypes.POINTER(ctypes.c_char_p)])
            code = f(self._device_for_call("quil_settings_text"), ctypes.byref(text))
            if code != 0:
                raise QuilError(code, "quil_settings_text", library=self.library)

        self._retrying(True, read)
        try:
            return (text.value or b"").decode("utf-8", "replace")
        finally:
            self.library.function("quil_free", [ctypes.c_void_p], None)(ctypes.cast(text, ctypes.c_void_p))

    # ---------------------------------------------------------------- stream
    def stream(
        self,
        batch: int,
        device: Optional[int] = None,
        callback: Optional[Callable[[Batch], None]] = None,
        max_pending: Optional[int] = None,
    ) -> Stream:
        """A Stream from this controller's address on another device number
        (a stream on this Controller's own number would close its
        connection)."""
        return Stream(self.address, batch, device, callback, max_pending, self.library)


METHODS = install(Controller, FAMILIES)
# The device functions wrapped by hand above (the tables hold the rest).
HAND_WRITTEN = (
    "QUIL_OpenDeviceETHER",
    "QUIL_CloseDevice",
    "QUIL_GetCalcDataSingle",
    "QUIL_GetCalcDataMulti",
    "QUIL_GetCalcDataALL",
    "QUIL_DataStorageGetStatus",
    "QUIL_DataStorageGetData",
    "QUIL_GetEncoderStoreValue",
    "QUIL_SetOneDataStorage",
    "QUIL_DeriveFormula",
    "QUIL_SetFormula",
    "quil_settings_text",
)
