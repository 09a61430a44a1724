#!/usr/bin/env python3
"""Stream measured values into a CSV file, print the rate once a second, and
print what the run received and skipped at the end.

    python3 examples/python/stream_to_file.py ADDRESS FILE.csv [SECONDS] [BATCH]

The stream opens connections of its own on a device number that no
Controller holds.
"""

import os
import sys
import threading
import time
from pathlib import Path

sys.path.insert(1, str(Path(__file__).resolve().parents[2] / "python"))

os.environ.setdefault("QUIL_LOG_DIR", os.getcwd())
os.environ.setdefault("QUIL_QUIET", "1")

import quil  # noqa: E402


def main():
    if len(sys.argv) < 3:
        print("usage: stream_to_file.py ADDRESS FILE.csv [SECONDS] [BATCH]", file=sys.stderr)
        return 2
    address, path = sys.argv[1], sys.argv[2]
    seconds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    batch_size = int(sys.argv[4]) if len(sys.argv) > 4 else 1000
    rows = [0]  # values per channel written, updated on the receive thread
    lock = threading.Lock()

    with open(path, "w") as f:

        def write(batch):
            # On the library's receive thread. The arrays are copies; a batch
            # carries at least batch_size values per channel, except the
            # run's last one: the values that came before the stop.
            present = [c for c in range(1, 5) if batch.channel(c) is not None]
            if rows[0] == 0:
                f.write(",".join("channel%d" % c for c in present) + "\n")
            columns = [batch.channel(c) for c in present]
            f.writelines(",".join(str(col[i]) for col in columns) + "\n" for i in range(batch.count))
            with lock:
                rows[0] += batch.count

        try:
            stream = quil.Stream(address, batch_size, callback=write)
        except quil.QuilError as e:
            print("%s: %s (%d)" % (e.function, e.name, e.code), file=sys.stderr)
            return 1
        with stream:
            before, last = 0, time.monotonic()
            for s in range(1, seconds + 1):
                if stream.wait(1):  # True once the run has ended by itself
                    break
                now = time.monotonic()
                with lock:
                    done = rows[0]
                stats = stream.stats()  # the run's counters so far
                print(
                    "%2d s: %d values per channel, %.0f values/s, %d packets, %d bytes skipped"
                    % (s, done, (done - before) / (now - last), stats.packets, stats.bytes_discarded),
                    flush=True,
                )
                before, last = done, now
        # The with block stopped the run.
        stats = stream.stats()
    print("statistics: " + ", ".join("%s %s" % (k, v) for k, v in stats.as_dict().items()))
    print("wrote %d rows to %s" % (rows[0], path))
    return 0 if rows[0] > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
