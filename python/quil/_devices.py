"""The device numbers (0 to 63) this process's Controllers and Streams use.

A Controller and a Stream on the same number would close each other's
connections in the library, so every number is held by one object at a time.
"""

import threading

DEVICE_COUNT = 64

_lock = threading.Lock()
_held = set()


def reserve(device=None):
    """Holds device (or the lowest free number when None) and returns it."""
    with _lock:
        if device is None:
            free = [n for n in range(DEVICE_COUNT) if n not in _held]
            if not free:
                raise RuntimeError("all %d device numbers are in use" % DEVICE_COUNT)
            device = free[0]
        else:
            device = device.__index__()
            if not 0 <= device < DEVICE_COUNT:
                raise ValueError("device number %d is outside 0 to %d" % (device, DEVICE_COUNT - 1))
            if device in _held:
                raise ValueError("device number %d is in use in this process" % device)
        _held.add(device)
        return device


def release(device):
    with _lock:
        _held.discard(device)


def held():
    with _lock:
        return set(_held)
