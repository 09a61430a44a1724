"""Methods made from tables of C functions.

A family of device functions is a list of entries

    (python name, C name, arguments, outputs)

where arguments and outputs are blank-separated names, each optionally
followed by ``:u32`` (unsigned 32-bit; the default is signed 32-bit), and an
argument by ``=default``. The C function takes the device number, the
arguments in that order, then one pointer per output, and returns a result
code. The method made from an entry checks and converts its arguments, calls
the function, raises QuilError on a code other than 0 and returns None, the
one output, or a named tuple of the outputs (named after the method without
its ``get_``: get_able_min_max gives AbleMinMax(min, max)).

Adding a family is adding its table to families.py.
"""

import collections
import ctypes
import inspect

from .errors import DEVICE, QuilError

_TYPES = {
    "i32": (ctypes.c_int32, -(2**31), 2**31 - 1),
    "u32": (ctypes.c_uint32, 0, 2**32 - 1),
}


class Param(collections.namedtuple("Param", "name ctype low high default")):
    @classmethod
    def parse(cls, token):
        default = inspect.Parameter.empty
        if "=" in token:
            token, text = token.split("=", 1)
            default = int(text)
        name, _, kind = token.partition(":")
        ctype, low, high = _TYPES[kind or "i32"]
        return cls(name, ctype, low, high, default)

    def convert(self, value, function, name=None):
        """value as a Python int within the C type's range."""
        name = name or self.name
        try:
            number = value.__index__()
        except AttributeError:
            raise TypeError("%s: %s must be an integer, not %r" % (function, name, value)) from None
        if not self.low <= number <= self.high:
            raise ValueError("%s: %s=%d is outside %d to %d" % (function, name, number, self.low, self.high))
        return number


class Entry:
    """One row of a family table."""

    def __init__(self, py_name, c_name, arguments="", outputs="", family=DEVICE, doc=""):
        self.py_name = py_name
        self.c_name = c_name
        self.arguments = [Param.parse(t) for t in arguments.split()]
        self.outputs = [Param.parse(t) for t in outputs.split()]
        self.family = family
        self.doc = doc
        self.result = None
        if len(self.outputs) > 1:
            base = py_name[4:] if py_name.startswith("get_") else py_name
            title = "".join(part.capitalize() for part in base.split("_"))
            self.result = collections.namedtuple(title, [p.name for p in self.outputs])
        self._signature = self.signature()
        # Reads and setters may run twice to the same effect; a zero setting,
        # like the resets, storage controls and calibrations, acts each time.
        self.repeatable = py_name.startswith(("get_", "set_")) and not py_name.startswith("set_zero")

    def argtypes(self):
        return (
            [ctypes.c_int32]
            + [p.ctype for p in self.arguments]
            + [ctypes.POINTER(p.ctype) for p in self.outputs]
        )

    def signature(self):
        params = [inspect.Parameter("self", inspect.Parameter.POSITIONAL_ONLY)]
        params += [
            inspect.Parameter(p.name, inspect.Parameter.POSITIONAL_OR_KEYWORD, default=p.default)
            for p in self.arguments
        ]
        return inspect.Signature(params)

    def docstring(self):
        c_args = ", ".join(["DeviceId"] + [p.name for p in self.arguments] + ["*" + p.name for p in self.outputs])
        if not self.outputs:
            returns = "None"
        elif self.result is None:
            returns = "int (%s)" % self.outputs[0].name
        else:
            returns = "%s(%s)" % (self.result.__name__, ", ".join(self.result._fields))
        text = "%s(%s). Returns %s; raises QuilError on a result other than 0." % (self.c_name, c_args, returns)
        return (self.doc + "\n\n" + text) if self.doc else text

    def annotations(self):
        annotations = {p.name: int for p in self.arguments}
        annotations["return"] = None if not self.outputs else int if self.result is None else self.result
        return annotations

    def call(self, controller, args, kwargs):
        bound = self._signature.bind(controller, *args, **kwargs)
        bound.apply_defaults()
        values = [p.convert(bound.arguments[p.name], self.c_name) for p in self.arguments]
        return controller._retrying(self.repeatable, lambda: self._call_once(controller, values))

    def _call_once(self, controller, values):
        lib = controller.library
        function = lib.function(self.c_name, self.argtypes())
        outs = [p.ctype(0) for p in self.outputs]
        code = function(controller._device_for_call(self.c_name), *values, *[ctypes.byref(o) for o in outs])
        if code != 0:
            raise QuilError(code, self.c_name, self.family, lib)
        if not outs:
            return None
        if self.result is None:
            return outs[0].value
        return self.result(*(o.value for o in outs))

    def method(self):
        entry = self

        def method(self, *args, **kwargs):
            return entry.call(self, args, kwargs)

        method.__name__ = method.__qualname__ = self.py_name
        method.__signature__ = self._signature
        method.__doc__ = self.docstring()
        method.__annotations__ = self.annotations()
        method.c_function = self.c_name
        return method


def install(cls, families):
    """Adds a method per entry of every family to cls; returns the entries by
    Python name."""
    entries = {}
    for family in families.values():
        for row in family:
            entry = row if isinstance(row, Entry) else Entry(*row)
            if entry.py_name in entries or hasattr(cls, entry.py_name):
                raise ValueError("method %s defined twice" % entry.py_name)
            entries[entry.py_name] = entry
            setattr(cls, entry.py_name, entry.method())
    return entries
