"""Settings files against quilsim: a backup (save_settings) brings back what
it held when loaded (load_settings); a path that cannot serve raises the
standard library's error, a failure of the library QuilError with the code."""

import shutil
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree
from pathlib import Path

from simulator import QuilSim

import quil
from quil.controller import Result

sim = None


def setUpModule():
    global sim
    sim = QuilSim(model=0)  # four heads, which the test fence reads


def tearDownModule():
    sim.stop()


class SettingsFiles(unittest.TestCase):
    def setUp(self):
        self.c = quil.Controller(sim.address)
        self.addCleanup(self.c.close)
        self.dir = Path(tempfile.mkdtemp(prefix="quil-py-settings-"))
        self.addCleanup(shutil.rmtree, self.dir, True)

    def test_a_load_brings_back_what_the_save_held(self):
        c = self.c
        path = self.dir / "backup.xml"  # a path-like; str and bytes work too
        c.set_program(3)
        c.set_num_alarm(2, 17)
        c.set_program(0)
        c.set_alarm_level(1, 4)
        c.save_settings(path)
        ElementTree.parse(path)  # a whole XML document

        c.set_alarm_level(1, 9)
        c.set_program(3)
        c.set_num_alarm(2, 400)
        self.assertEqual(c.get_num_alarm(2), 400)

        c.load_settings(str(path))
        # The load selects the program that was active before it again.
        self.assertEqual(c.get_program(), 3)
        self.assertEqual(c.get_num_alarm(2), 17)
        c.set_program(0)
        self.assertEqual(c.get_alarm_level(1), 4)

    def test_diff_names_each_setting_that_differs(self):
        c = self.c
        path = self.dir / "golden.xml"
        c.set_program(0)
        c.save_settings(path)
        self.assertEqual(quil.settings.diff(path, c), [])
        before = c.get_alarm_level(1)
        c.set_alarm_level(1, 7 if before != 7 else 6)
        self.addCleanup(c.set_alarm_level, 1, before)
        (d,) = quil.settings.diff(path, c)
        self.assertEqual((d.program, d.block, d.b), (0, "head 1", str(c.get_alarm_level(1))))
        self.assertEqual(str(d), "program 0  head 1  %s: %s | %s" % (d.setting, d.a, d.b))
        self.assertEqual(quil.settings.diff(c, c), [])
        with self.assertRaises(FileNotFoundError):
            quil.settings.diff(self.dir / "missing.xml", c)
        not_xml = self.dir / "not.xml"
        not_xml.write_text("no settings here\n")
        with self.assertRaises(quil.QuilError) as e:
            quil.settings.diff(path, not_xml)
        self.assertEqual(e.exception.name, "QUIL_ERROR_PARAMETER")

    def test_paths_are_checked_before_anything_is_sent(self):
        not_xml = self.dir / "not.xml"
        not_xml.write_text("no settings here\n")
        cases = [
            (FileNotFoundError, self.dir / "missing", lambda: self.c.save_settings(self.dir / "missing" / "b.xml")),
            (FileNotFoundError, self.dir / "absent.xml", lambda: self.c.load_settings(self.dir / "absent.xml")),
            (IsADirectoryError, self.dir, lambda: self.c.save_settings(self.dir)),
            (IsADirectoryError, self.dir, lambda: self.c.load_settings(str(self.dir).encode())),
            (quil.QuilError, None, lambda: self.c.load_settings(not_xml)),
        ]
        for error, path, action in cases:
            with self.subTest(error=error.__name__, path=path):
                lines, e = sim.sent_by(self.c, action)
                self.assertIsInstance(e, error)
                if path is None:
                    self.assertEqual((e.code, e.function), (Result.ERROR_PARAMETER, "QUIL_SetFormula"))
                else:
                    self.assertEqual(e.filename, str(path))
                self.assertEqual(lines, [])
        self.assertFalse((self.dir / "missing").exists())

    def test_a_path_with_a_nul_is_refused_before_the_library_sees_it(self):
        # The library would take the text before the NUL: another file.
        lines, e = sim.sent_by(self.c, lambda: self.c.load_settings(str(self.dir / "a.xml") + "\0.txt"))
        self.assertIsInstance(e, ValueError)
        self.assertEqual(lines, [])

    def test_a_closed_controller_refuses(self):
        self.c.close()
        for action in (self.c.save_settings, self.c.load_settings):
            with self.assertRaises(quil.QuilError) as caught:
                action(self.dir / "backup.xml")
            self.assertEqual(caught.exception.code, Result.ERROR_OPEN)
        self.assertEqual(list(self.dir.iterdir()), [])


if __name__ == "__main__":
    unittest.main()
