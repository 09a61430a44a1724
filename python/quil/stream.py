"""The controller's data stream (QUIL_StartRollPoint / QUIL_StopRollPoint).

The library calls back on its receive thread with four channel buffers that
it overwrites once the call returns, so the callback here copies the present
channels into arrays before anything else and hands them on: into a queue
read by the iterator, or to the application's own callback.

The copies are ``array('i')`` objects: numpy reads them without copying
(``numpy.frombuffer(batch.channel(1), dtype=numpy.int32)`` or
``numpy.asarray``), and ``Stream(..., numpy=True)`` hands numpy arrays
instead, made that way.
"""

import atexit
import collections
import ctypes
import dataclasses
import queue
import sys
import threading
from array import array
from typing import Callable, Optional, Tuple

from . import _devices
from ._library import library as default_library
from ._table import Param
from .errors import STREAM, QuilError, StreamError

# Callback status values.
BATCH = 0
FAILED = 1
STOPPED = 16

MAX_BATCH = 1200000
CHANNEL_BUFFER_VALUES = 2000000

# The runs going on, by device number: the library calls their callbacks
# until QUIL_StopRollPoint has returned, whether the application still holds
# the Stream or not.
_running = {}
_running_lock = threading.Lock()


@atexit.register
def _stop_all():
    """A callback that comes while the interpreter shuts down crashes it."""
    with _running_lock:
        streams = list(_running.values())
    for stream in streams:
        stream.stop()


_ROLL_CALLBACK = ctypes.CFUNCTYPE(
    None,
    *[ctypes.POINTER(ctypes.c_int32)] * 4,
    ctypes.c_int32,
    ctypes.c_int32,
    ctypes.c_int32,
    ctypes.c_int32,
)


class Batch(collections.namedtuple("Batch", "mask count channels")):
    """Values of one callback: mask says the channels present (bit 0 =
    channel 1), count the values per channel, channels four entries, an
    array('i') of count raw 32-bit values for each channel present, else
    None."""

    __slots__ = ()

    def channel(self, number):
        """The values of channel 1 to 4, or None."""
        return self.channels[number - 1]


class _RollStatsRecord(ctypes.Structure):
    """QuilRollStats as the library writes it."""

    _fields_ = [
        ("packets", ctypes.c_uint64),
        ("values", ctypes.c_uint64 * 4),
        ("bytesDiscarded", ctypes.c_uint64),
        ("badHeaders", ctypes.c_uint64),
        ("oversizePackets", ctypes.c_uint64),
        ("misframedPackets", ctypes.c_uint64),
        ("overfillDropped", ctypes.c_uint64),
        ("callbacks", ctypes.c_uint64),
    ]



@dataclasses.dataclass(frozen=True)
class RollStats:
    """What a run received and skipped (QuilRollStats): packets taken,
    values per channel (channels 1 to 4), bytes discarded while looking for
    a packet boundary, headers with wrong marker bytes, packets announcing
    more than a packet may hold, packets cut short by the next header,
    packets dropped because they would overfill the channel buffers, and
    callbacks made."""

    packets: int
    values: Tuple[int, int, int, int]
    bytes_discarded: int
    bad_headers: int
    oversize_packets: int
    misframed_packets: int
    overfill_dropped: int
    callbacks: int

    @classmethod
    def _of(cls, record):
        return cls(
            record.packets,
            tuple(record.values),
            record.bytesDiscarded,
            record.badHeaders,
            record.oversizePackets,
            record.misframedPackets,
            record.overfillDropped,
            record.callbacks,
        )

    def as_dict(self):
        """The counters by name (values as a list)."""
        counters = dataclasses.asdict(self)
        counters["values"] = list(self.values)
        return counters


def _failed(status):
    """Whether a run that ended with status ended badly: anything but the
    end of the stream (0) and the stop (16), so that a status this package
    does not know is never taken for a normal end."""
    return status not in (BATCH, STOPPED)


def _copy(pointer, count):
    values = array("i")
    values.frombytes(ctypes.string_at(pointer, count * 4))
    if sys.byteorder == "big":
        values.byteswap()  # the controller sends little-endian values
    return values


def _numpy():
    """numpy, imported when a Stream asks for it (it is optional)."""
    try:
        import numpy
    except ImportError:
        raise ImportError("Stream(numpy=True) needs numpy (pip install numpy, or the python3-numpy package)") from None
    return numpy


class Stream:
    """A streaming run from the controller at address, started at once.

    batch: values per channel per callback (1 to 1,200,000); the library
    calls back per packet once at least that many values are in, with the
    count that arrived. device: a device number not held by a Controller or
    another Stream, or None for a free one.

    Without callback, iterate: each item is a Batch; the iteration ends when
    the stream ends (after the batches that came before the end) or once
    stop() has been called. When the roll connection fails (the controller
    closed or reset it: callback status 1), the values that came since the
    last batch arrive as one last, shorter Batch, and the next step raises
    StreamError (code 1, like a python-can bus whose recv raises): a failed
    stream never looks like one that is still running or that ended well.
    Batches wait in a queue; with max_pending, batches that arrive while that
    many wait are dropped and counted in dropped.

    The channels are array('i') objects, which numpy reads without copying
    (numpy.frombuffer(channel, dtype=numpy.int32)); with numpy=True they are
    numpy int32 arrays made that way (numpy is imported then, and needed).

    With callback, callback(batch) runs on the library's receive thread for
    each Batch (the arrays are copies, the callback may keep them), the
    shorter last one of a failed or stopped run included; wait() blocks
    until the run ends, raises what the callback raised first, else
    StreamError when the roll connection failed.
    stop() from the callback returns at once and stops the run from another
    thread (a few more batches may come).

    stop() (or the end of a with block) stops the run and frees the device
    number; it is also needed after a run ended by itself.
    """

    def __init__(
        self,
        address: str,
        batch: int,
        device: Optional[int] = None,
        callback: Optional[Callable[["Batch"], None]] = None,
        max_pending: Optional[int] = None,
        library=None,
        numpy: bool = False,
    ) -> None:
        self._numpy = _numpy() if numpy else None
        self.address = str(address)
        address_text = self.address.encode("ascii")
        self.batch = Param.parse("batch:u32").convert(batch, "QUIL_StartRollPoint")
        self.library = library or default_library()
        self.dropped = 0
        self.end_status = None  # 0 the stream ended, FAILED, STOPPED
        self._callback = callback
        self._max_pending = max_pending
        self._queue = queue.Queue()
        self._ended = threading.Event()
        self._receive_thread = None
        self.callback_error = None
        self._stopped = False  # stop() was called
        self._stop_lock = threading.Lock()
        self._c_callback = _ROLL_CALLBACK(self._on_data)
        self.device = _devices.reserve(device)
        self._running = True
        with _running_lock:
            _running[self.device] = self
        start = self.library.function(
            "QUIL_StartRollPoint", [ctypes.c_uint32, ctypes.c_char_p, _ROLL_CALLBACK, ctypes.c_uint32]
        )
        code = start(self.device, address_text, self._c_callback, self.batch)
        if code != 0:
            self._forget()
            raise QuilError(code, "QUIL_StartRollPoint", STREAM, self.library, detail=self.address)

    def _on_data(self, ch1, ch2, ch3, ch4, mask, count, status, device):
        """Runs on the library's receive thread. A callback with status 0
        brings a batch, or with mask 0 and count 0 the end of the stream; one
        with another status ends the run and brings the values collected
        since the last batch, which are handed on as a last, shorter batch
        before the end."""
        self._receive_thread = threading.get_ident()
        ended = status != BATCH or (mask == 0 and count == 0)
        if not ended or count > 0:
            self._hand_on(self._batch((ch1, ch2, ch3, ch4), mask, count))
        if not ended:
            return
        # The end of the stream, a failure or the stop.
        self.end_status = status
        self._queue.put(status)
        self._ended.set()

    def _batch(self, buffers, mask, count):
        count = max(0, min(count, CHANNEL_BUFFER_VALUES))
        channels = tuple(_copy(p, count) if mask & (1 << i) else None for i, p in enumerate(buffers))
        if self._numpy is not None:
            np = self._numpy
            channels = tuple(None if c is None else np.frombuffer(c, dtype=np.int32) for c in channels)
        return Batch(mask, count, channels)

    def _hand_on(self, item):
        if self._callback is not None:
            try:
                self._callback(item)
            except BaseException as e:  # noqa: B036 - handed to wait()
                if self.callback_error is None:
                    self.callback_error = e
        elif self._max_pending is not None and self._queue.qsize() >= self._max_pending:
            self.dropped += 1
        else:
            self._queue.put(item)

    def __enter__(self) -> "Stream":
        return self

    def __exit__(self, *exc) -> None:
        self.stop()

    def __iter__(self) -> "Stream":
        return self

    def __next__(self) -> Batch:
        return self.next_batch()

    def next_batch(self, timeout: Optional[float] = None) -> Batch:
        """The next Batch; StopIteration at the end, StreamError once the
        batches before a failure have been taken, queue.Empty after timeout
        seconds without a batch."""
        if self._callback is not None:
            raise RuntimeError("a Stream with a callback is not iterated")
        if self._stopped:
            raise StopIteration  # batches still queued at stop() are dropped
        item = self._queue.get(timeout=timeout)
        if isinstance(item, Batch):
            return item
        self._queue.put(item)  # later calls see the end too
        self._finish()
        if _failed(item):
            raise StreamError(item)
        raise StopIteration

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Waits until the run ends (True) or timeout seconds pass (False);
        raises StreamError when the roll connection failed."""
        if not self._ended.wait(timeout):
            return False
        if self.callback_error is not None:
            raise self.callback_error
        if _failed(self.end_status):
            raise StreamError(self.end_status)
        return True

    @property
    def running(self) -> bool:
        return self._running

    def stop(self) -> None:
        """Stops the run (QUIL_StopRollPoint) and frees the device number.
        Stopping twice is harmless. From the callback it only starts the stop
        (QUIL_StopRollPoint waits for the receive thread to end)."""
        self._stopped = True
        if self._receive_thread == threading.get_ident():
            threading.Thread(target=self._finish, name="quil-stream-stop", daemon=True).start()
            return
        self._finish()

    def _finish(self):
        with self._stop_lock:
            if not self._running:
                return
            code = self.library.function("QUIL_StopRollPoint", [ctypes.c_uint32])(self.device)
            # The receive thread has ended: nothing calls the callback now.
            self._forget()
        if code != 0:
            raise QuilError(code, "QUIL_StopRollPoint", STREAM, self.library)

    def _forget(self):
        self._running = False
        with _running_lock:
            _running.pop(self.device, None)
        _devices.release(self.device)

    def stats(self) -> RollStats:
        """The counters of the current or last run (QUIL_GetRollStats)."""
        record = _RollStatsRecord()
        get = self.library.function("QUIL_GetRollStats", [ctypes.c_uint32, ctypes.POINTER(_RollStatsRecord)])
        code = get(self.device, ctypes.byref(record))
        if code != 0:
            raise QuilError(code, "QUIL_GetRollStats", STREAM, self.library)
        return RollStats._of(record)
