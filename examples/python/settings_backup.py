#!/usr/bin/env python3
"""Back up a controller's settings into a file, and restore them from it.

    python3 examples/python/settings_backup.py backup ADDRESS FILE.xml
    python3 examples/python/settings_backup.py restore ADDRESS FILE.xml

The file (XML) holds the whole configuration: the controller-wide settings
and, for each of the programs 0 to 7, the settings of the 4 heads, the 8 OUTs
and those common to the program. A backup replaces FILE only once the new
document is complete; a restore writes every value the file holds, and a
value the controller refuses leaves that setting as it was. Both select the
program that was active before them again. A backup can be restored into
another controller of the same model, to set up a replacement the same way.
"""

import os
import sys
from pathlib import Path

sys.path.insert(1, str(Path(__file__).resolve().parents[2] / "python"))

os.environ.setdefault("QUIL_LOG_DIR", os.getcwd())
# The restore prints the file's XML declaration unless the library is quiet.
os.environ.setdefault("QUIL_QUIET", "1")

import quil  # noqa: E402


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("backup", "restore"):
        print("usage: settings_backup.py backup|restore ADDRESS FILE.xml", file=sys.stderr)
        return 2
    action, address, path = sys.argv[1:]
    try:
        with quil.Controller(address) as controller:
            if action == "backup":
                controller.save_settings(path)
            else:
                controller.load_settings(path)
            program = controller.get_program()
    except quil.QuilError as e:
        # QUIL_ERROR_PARAMETER: the backup could not write the file, or the
        # restore could not read it as an XML document (nothing was sent).
        print("%s %s: %s (%d): %s" % (action, path, e.name, e.code, e.message), file=sys.stderr)
        return 1
    except ValueError as e:  # not an IPv4 address
        print(e, file=sys.stderr)
        return 2
    if action == "backup":
        print("backed up the settings of %s into %s (%d bytes)" % (address, path, os.path.getsize(path)))
    else:
        print("restored the settings of %s from %s" % (address, path))
    print("active program: %d" % program)
    return 0


if __name__ == "__main__":
    sys.exit(main())
