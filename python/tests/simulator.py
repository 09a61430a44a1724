"""Test support: the package from this checkout, a quiet library, and quilsim.

QUILSIM names the quilsim program (else build/quilsim of the checkout) and
QUIL_LIBRARY the library (else the package looks in build/ itself). Each
QuilSim serves one address 127.77.<pid % 250>.<n> of its own and prints the
lines it receives, which the tests read back.
"""

import atexit
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

PYTHON_DIR = Path(__file__).resolve().parent.parent
CHECKOUT = PYTHON_DIR.parent
sys.path.insert(0, str(PYTHON_DIR))

# The library's trace files go to a directory of the test run, and its
# console lines stay off the test output.
_LOG_DIR = tempfile.mkdtemp(prefix="quil-py-log-")
atexit.register(shutil.rmtree, _LOG_DIR, True)
os.environ.setdefault("QUIL_LOG_DIR", _LOG_DIR)
os.environ.setdefault("QUIL_QUIET", "1")

COMMAND_PORT = 19062
_LINE = re.compile(r"^#(\d+) (.*?) -> ")
# How quilsim prints that read: the JSON body is laid out with tabs.
_FENCE = '"head":\\x093,'

_next_host = [1]
_next_lock = threading.Lock()


def quilsim_path():
    path = os.environ.get("QUILSIM") or str(CHECKOUT / "build" / "quilsim")
    if not os.access(path, os.X_OK):
        raise unittest.SkipTest("quilsim not found (set QUILSIM): " + path)
    return path


def _next_address():
    with _next_lock:
        n = _next_host[0]
        _next_host[0] += 1
    return "127.77.%d.%d" % (os.getpid() % 250, n)


def unused_address():
    """A loopback address of this test run where nothing listens."""
    return _next_address()


class QuilSim:
    """quilsim as a subprocess; stop() ends it."""

    def __init__(self, model=None, options=()):
        self.model = model
        self.options = list(options)  # more of quilsim's options: its faults
        self.process = None
        self._output = []
        self._changed = threading.Condition()
        for _ in range(5):
            self.address = _next_address()
            if self._start():
                return
        raise RuntimeError("quilsim did not start")

    def _start(self):
        args = [quilsim_path(), "--address", self.address, "--signal", "constant"]
        if self.model is not None:
            args += ["--model", str(self.model)]
        args += self.options
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        threading.Thread(target=self._read, args=(self.process,), daemon=True).start()
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                self.process.stdout.close()
                if self.process.returncode == 2:  # refused its arguments
                    raise unittest.SkipTest("quilsim refuses %s" % " ".join(args[1:]))
                return False  # the address was taken: try the next one
            try:
                socket.create_connection((self.address, COMMAND_PORT), timeout=0.2).close()
                return True
            except OSError:
                time.sleep(0.05)
        self.stop()
        return False

    def _read(self, process):
        for line in process.stdout:
            with self._changed:
                self._output.append(line.rstrip("\n"))
                self._changed.notify_all()

    def lines(self):
        """The command lines received so far, without CR LF."""
        with self._changed:
            return [m.group(2) for m in map(_LINE.match, self._output) if m]

    def _fence(self, controller):
        """Reads the running time of head 3, a line no test sends otherwise,
        and waits until quilsim has printed it: then every line this
        controller sent before is in lines() (one connection's lines are
        printed in order). Returns the index after the fence line."""
        fences = [i for i, line in enumerate(self.lines()) if _FENCE in line]
        controller.get_running_time(3)
        deadline = time.monotonic() + 5
        with self._changed:
            while True:
                lines = [m.group(2) for m in map(_LINE.match, self._output) if m]
                later = [i for i, line in enumerate(lines) if _FENCE in line][len(fences) :]
                if later:
                    return later[0] + 1
                if time.monotonic() >= deadline:
                    raise AssertionError("quilsim did not print the fence line")
                self._changed.wait(deadline - time.monotonic())

    def sent_by(self, controller, action):
        """The lines that action() made the controller receive, and the
        exception action raised (or None)."""
        start = self._fence(controller)
        raised = None
        try:
            action()
        except Exception as e:  # returned to the test
            raised = e
        end = self._fence(controller)
        return self.lines()[start : end - 1], raised

    def kill(self):
        """Ends quilsim at once: every connection it held is closed."""
        self.process.kill()
        self.process.wait(10)
        self.process.stdout.close()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(10)
        self.process.stdout.close()
