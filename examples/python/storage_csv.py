#!/usr/bin/env python3
"""Record into the controller's data storage, wait until the recording has
finished, and write every stored value to a CSV file, one column per OUT.

    python3 examples/python/storage_csv.py ADDRESS FILE.csv [MILLISECONDS]

The recording is stopped after MILLISECONDS (default 300); a controller also
stops by itself when its storage is full. Either way the storage watcher
reports it.
"""

import csv
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
        print("usage: storage_csv.py ADDRESS FILE.csv [MILLISECONDS]", file=sys.stderr)
        return 2
    address, path = sys.argv[1], sys.argv[2]
    record_ms = int(sys.argv[3]) if len(sys.argv) > 3 else 300
    finished = threading.Event()
    try:
        with quil.Controller(address) as controller:
            # Clear what an earlier recording left, so that the watcher only
            # reports this one.
            controller.storage_clear()
            # Runs on the library's poll thread, about once a millisecond,
            # while recording has stopped with data stored.
            controller.watch_storage(lambda c: finished.set())
            controller.storage_start()
            print("recording for %d ms" % record_ms)
            time.sleep(record_ms / 1000)
            controller.storage_stop()
            if not finished.wait(5):
                print("the watcher did not report a finished recording", file=sys.stderr)
                return 1
            status = controller.storage_status()  # StorageStatus(recording, outs)
            columns = {}
            for out, stored in enumerate(status.outs, 1):
                if stored:
                    # array('f') in the OUT's display unit; a special value is -999.0.
                    columns[out] = controller.storage_data(out)
                    print("OUT%d: %d values" % (out, len(columns[out])))
            controller.storage_clear()  # also ends the watcher's callbacks
    except quil.QuilError as e:
        print("%s: %s (%d)" % (e.function, e.name, e.code), file=sys.stderr)
        return 1
    rows = max((len(v) for v in columns.values()), default=0)
    with open(path, "w", newline="") as f:
        writer = csv.writer(f, lineterminator="\n")
        writer.writerow(["index"] + ["OUT%d" % out for out in columns])
        for i in range(rows):
            # An OUT with fewer values leaves its cell empty.
            writer.writerow([i] + ["%.7g" % v[i] if i < len(v) else "" for v in columns.values()])
    print("wrote %d rows to %s" % (rows, path))
    return 0


if __name__ == "__main__":
    sys.exit(main())
