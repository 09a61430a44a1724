#!/usr/bin/env python3
"""Stream measured values: print the first values of each batch and the
rate, stop after a number of batches, print what the run received.

    python3 examples/python/stream.py 127.0.0.2 [BATCH] [BATCHES]
"""

import sys
import time
from pathlib import Path

sys.path.insert(1, str(Path(__file__).resolve().parents[2] / "python"))

import quil  # noqa: E402


def main():
    address = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.2"
    batch_size = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    batches = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    values = 0
    try:
        with quil.Stream(address, batch_size) as stream:
            start = time.monotonic()
            for n, batch in enumerate(stream, 1):
                values += batch.count
                rate = values / (time.monotonic() - start)
                firsts = ["ch%d=%d" % (c, batch.channel(c)[0]) for c in range(1, 5) if batch.channel(c) is not None]
                print("batch %d: %d values per channel, %s, %.0f values/s" % (n, batch.count, " ".join(firsts), rate))
                if n == batches:
                    stream.stop()
        stats = stream.stats()
        print("packets %d, bytes discarded %d, callbacks %d" % (stats.packets, stats.bytes_discarded, stats.callbacks))
    except quil.QuilError as e:
        print("%s: %s (%d)" % (e.function, e.name, e.code), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
