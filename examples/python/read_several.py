#!/usr/bin/env python3
"""Read the measured values of several controllers at once, one thread per
controller, each with a device number of its own.

    python3 examples/python/read_several.py [--reads N] ADDRESS [ADDRESS...]

Calls on different device numbers run in parallel inside the library (a
ctypes call releases the interpreter's lock while it waits for the
controller); calls on one Controller are serialised by the library. Each
thread here opens, reads and closes only its own Controller.
"""

import argparse
import os
import sys
import threading
from pathlib import Path

# From a checkout the package is in python/ beside this directory.
sys.path.insert(1, str(Path(__file__).resolve().parents[2] / "python"))

# Before the first open: the trace log's switch (EnableLogout.ini) and file go
# to the current directory, not beside the Python interpreter, and the
# library prints nothing on the console.
os.environ.setdefault("QUIL_LOG_DIR", os.getcwd())
os.environ.setdefault("QUIL_QUIET", "1")

import quil  # noqa: E402

# print() writes the text and the line end separately: without a lock two
# threads' lines run into one another.
print_lock = threading.Lock()


def say(text):
    with print_lock:
        print(text, flush=True)


def read_controller(device, address, reads, results):
    done = failed = 0
    try:
        # Connecting waits at most 2000 ms.
        with quil.Controller(address, device=device, timeout_ms=2000) as controller:
            for n in range(1, reads + 1):
                try:
                    values = controller.measure_all()  # OUT1 to OUT4, in each OUT's display unit
                except quil.QuilError as e:
                    failed += 1
                    say("device %d %s: read %d failed: %s (%d)" % (device, address, n, e.name, e.code))
                    continue
                done += 1
                text = " ".join(
                    "OUT%d=%.3f" % (m.out, m.value) if m.valid else "OUT%d=(%s)" % (m.out, m.status.name)
                    for m in values
                )
                say("device %d %s: read %d: %s" % (device, address, n, text))
    except quil.QuilError as e:
        results[device] = "open failed: %s (%d)" % (e.name, e.code)
        return
    results[device] = "%d reads, %d failed" % (done, failed)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reads", type=int, default=5)
    parser.add_argument("addresses", nargs="+", metavar="ADDRESS")
    args = parser.parse_args()
    if args.reads < 1 or len(args.addresses) > 64:
        parser.error("--reads must be 1 or more, and at most 64 addresses")
    results = {}
    threads = [
        threading.Thread(target=read_controller, args=(device, address, args.reads, results))
        for device, address in enumerate(args.addresses)
    ]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for device, address in enumerate(args.addresses):
        print("device %d %s: %s" % (device, address, results[device]))
    return 0 if all(r.endswith(", 0 failed") for r in results.values()) else 1


if __name__ == "__main__":
    sys.exit(main())
