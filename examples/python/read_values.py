#!/usr/bin/env python3
"""Open a controller, read the measured values of OUT1 to OUT4, close it.

    python3 examples/python/read_values.py 127.0.0.2

Run from the repository after building (the package finds build/libquil.so),
or after `pip install ./python` with QUIL_LIBRARY naming the library.
"""

import sys
from pathlib import Path

# From a checkout the package is in python/ beside this directory.
sys.path.insert(1, str(Path(__file__).resolve().parents[2] / "python"))

import quil  # noqa: E402


def main():
    address = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.2"
    try:
        with quil.Controller(address, timeout_ms=2000) as controller:
            for m in controller.measure_all():
                if m.valid:
                    # In the OUT's display unit, as the controller shows it.
                    print("OUT%d = %f" % (m.out, m.value))
                else:
                    print("OUT%d: no valid value (%s)" % (m.out, m.status.name))
    except quil.QuilError as e:
        print("%s: %s (%d)" % (e.function, e.name, e.code), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
