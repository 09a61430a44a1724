"""The exceptions of the package.

Every failed library call raises QuilError with the code the C function
returned and the code's name. The ``QUIL_`` functions share one set of codes.
The register read, the stream and the search return small codes of their own
that mean different things in each of these families; the library names them
all (``quil_code_name`` and ``quil_code_message`` of a family).
"""

# Family of the QUIL_ result codes (QUIL_OK, QUIL_ERROR_*).
DEVICE = "device"
# The "#J" register exchange behind the running-time read: 0, the
# controller's error number (> 0), or a code of its own.
JSON = "json"
# QUIL_StartRollPoint, and the status of a stream that ended badly.
STREAM = "stream"
# SearchOnline.
SEARCH = "search"

# The library's numbers of the families (enum QuilCodeFamily).
_FAMILY_NUMBERS = {DEVICE: 0, STREAM: 2, JSON: 3, SEARCH: 4}

# The largest controller error number a register exchange passes on; the
# QUIL_ codes start at 4097.
_LAST_CONTROLLER_ERROR = 4096


def describe(code, family=DEVICE, library=None):
    """(name, message) of a result code of a family, as the library names it."""
    if library is None:
        from ._library import library as current

        library = current()
    number = _FAMILY_NUMBERS.get(family, 0)
    # A register read's own checks (device number, open, arguments) give
    # QUIL_ codes.
    if family == JSON and code > _LAST_CONTROLLER_ERROR:
        number = 0
    if number == 0:
        return library.result_name(code), library.result_message(code)
    name, message = library.code_name(number, code), library.code_message(number, code)
    if name == "QUIL_UNKNOWN_CODE":
        return library.result_name(code), library.result_message(code)
    if number == _FAMILY_NUMBERS[JSON] and code > 0:
        message = "%s %d" % (message, code)
    return name, message


# Device codes of a connection that failed or was lost: refused or never
# made (8192 from the open), a send that failed, a reply that could not be
# read (the controller closed the connection), no link, a failed wait.
_CONNECTION_CODES = frozenset((8194, 8195, 8202, 8204))
_OPEN_FAILED = 8192
_TIMEOUT = 4099  # no reply within the wait
_STREAM_CONNECTION_CODES = frozenset((-1, 1))  # a link that failed to open; the roll connection lost


def _error_class(code, function, family):
    """The QuilError subclass for a code: one that is also a ConnectionError
    or a TimeoutError where the code means so, else QuilError itself."""
    if family == DEVICE:
        if code in _CONNECTION_CODES or (code == _OPEN_FAILED and function == "QUIL_OpenDeviceETHER"):
            return QuilConnectionError
        if code == _TIMEOUT:
            return QuilTimeoutError
    elif family == STREAM and code in _STREAM_CONNECTION_CODES:
        return QuilConnectionError
    return QuilError


class QuilError(Exception):
    """A library call failed: code is what the C function returned, name its
    name (``QUIL_ERROR_MODE`` for 4101), function the C function's name.

    QuilError(...) gives the subclass the code calls for, so that code
    written for the standard exceptions catches these failures too:
    QuilConnectionError (also a ConnectionError) for a connection refused,
    failed or lost, QuilTimeoutError (also a TimeoutError) when the
    controller did not answer in time."""

    def __new__(cls, code, function=None, family=DEVICE, *args, **kwargs):
        if cls is QuilError:
            cls = _error_class(code, function, family)
        return super().__new__(cls)

    def __init__(self, code, function=None, family=DEVICE, library=None, detail=None):
        self.code = code
        self.function = function
        self.family = family
        self.name, self.message = describe(code, family, library)
        if detail:
            self.message = "%s (%s)" % (self.message, detail)
        where = "%s: " % function if function else ""
        text = "%s%s (%d): %s" % (where, self.name, code, self.message)
        super().__init__(text)
        # OSError, the base of the connection and time-out errors, keeps
        # the arguments of __new__ (none) unless told.
        self.args = (text,)


class QuilConnectionError(QuilError, ConnectionError):
    """The connection to the controller was refused, failed or was lost."""


class QuilTimeoutError(QuilError, TimeoutError):
    """The controller did not answer within the wait."""


class StreamError(QuilConnectionError):
    """A stream ended because its roll connection failed (status 1)."""

    def __init__(self, status, function="QUIL_StartRollPoint"):
        super().__init__(status, function, STREAM)


class FunctionMissingError(NotImplementedError):
    """The loaded library does not export a function (an older build)."""

    def __init__(self, function, path):
        self.function = function
        self.path = path
        super().__init__(
            "%s is not exported by %s: that build of libquil predates it; "
            "load a newer one (QUIL_LIBRARY)" % (function, path)
        )


class LibraryNotFoundError(OSError):
    """No loadable libquil in any of the places looked at."""

    def __init__(self, tried):
        self.tried = list(tried)
        super().__init__(
            "libquil not found; set QUIL_LIBRARY to its path. Tried:\n  " + "\n  ".join(self.tried)
        )
