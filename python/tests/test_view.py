"""The live view (python3 -m quil view) against quilsim with a sine signal:
what the server hands the page, a controller that goes away and comes back,
and the page itself in a headless Chromium where one is installed."""

import json
import os
import re
import shutil
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request
import xml.etree.ElementTree as ElementTree
from pathlib import Path

from simulator import QuilSim

from quil.__main__ import main
from quil.view import Monitor, ViewServer


def wait_for(condition, seconds=10.0):
    """condition()'s first true value within seconds, else None."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    return None


class View(unittest.TestCase):
    def setUp(self):
        self.sim = QuilSim(options=["--signal", "sine", "--period", "500"])
        self.addCleanup(self.sim.stop)
        self.monitor = Monitor(self.sim.address, interval=0.05).start()
        self.addCleanup(self.monitor.stop)
        self.server = ViewServer(self.monitor, "127.0.0.1", 0)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.addCleanup(self.server.server_close)
        self.addCleanup(self.server.shutdown)
        self.url = "http://127.0.0.1:%d/" % self.server.server_address[1]

    def get(self, path):
        with urllib.request.urlopen(self.url + path, timeout=10) as r:
            return r.read(), r.headers

    def state(self):
        return json.loads(self.get("state")[0])

    def test_the_page_gets_what_the_controller_measures_and_streams(self):
        s = wait_for(lambda: (lambda s: s if s["connected"] and s["stream"]["batches"] > 2 else None)(self.state()))
        self.assertIsNotNone(s, "connected with batches")
        self.assertEqual((s["model"], s["program"]), (35, 0))
        for o in s["outs"]:
            self.assertEqual(o["status"], "normal", o)
            self.assertLessEqual(abs(o["value"] - o["out"]), 1.0, o)  # OUT n swings around n
        history = wait_for(lambda: (lambda h: h if len(h) >= 5 else None)(self.state()["outs"][0]["history"]))
        self.assertGreater(len(set(history)), 1, "the values move")
        channel = s["stream"]["channels"][0]
        self.assertTrue(channel and all(0 <= v <= 2000 for v in channel), "channel 1 in thousandths around 1")
        self.assertEqual(s["stream"]["stats"]["bad_headers"], 0)

        settings, headers = self.get("settings.xml")
        self.assertEqual(ElementTree.fromstring(settings).tag, "SettingFileInfo")
        self.assertIn("attachment", headers["Content-Disposition"])
        # The page reaches nothing that could change the controller.
        for method in ("POST", "PUT"):
            with self.assertRaises(urllib.error.HTTPError) as e:
                urllib.request.urlopen(urllib.request.Request(self.url + "state", b"x", method=method), timeout=10)
            self.assertEqual(e.exception.code, 501, method)
        with self.assertRaises(urllib.error.HTTPError) as e:
            self.get("set?program=3")
        self.assertEqual(e.exception.code, 404)
        self.assertEqual(self.state()["program"], 0)

    def test_a_controller_that_goes_away_shows_and_comes_back(self):
        self.assertTrue(wait_for(lambda: self.state()["connected"]))
        self.sim.kill()
        self.assertTrue(wait_for(lambda: not self.state()["connected"]), "shown as disconnected")
        with self.assertRaises(urllib.error.HTTPError) as e:
            self.get("settings.xml")
        self.assertEqual(e.exception.code, 503)
        self.assertTrue(self.sim._start(), "quilsim back on its address")
        self.assertTrue(wait_for(lambda: self.state()["connected"], 20), "connected again")

    def test_arguments_are_strict_and_help_touches_nothing(self):
        for args in (["view"], ["view", "300.1.1.1"], ["view", "127.0.0.2", "--port", "70000"], ["frobnicate"]):
            with self.assertRaises(SystemExit) as e:
                main(args)
            self.assertEqual(e.exception.code, 2, args)
        with self.assertRaises(SystemExit) as e:
            main(["view", "--help"])
        self.assertEqual(e.exception.code, 0)

    @unittest.skipUnless(shutil.which("chromium"), "chromium is not installed (make deps installs it)")
    def test_a_browser_draws_the_page(self):
        self.assertTrue(wait_for(lambda: self.state()["stream"]["batches"] > 2))
        chromium = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--window-size=900,700"]
        dom = subprocess.run(
            chromium + ["--timeout=3000", "--dump-dom", self.url],
            capture_output=True,
            text=True,
            timeout=90,
        ).stdout
        self.assertIn('<span id="status" class="connected">connected</span>', dom)
        self.assertIn('<span id="model">35</span>', dom)
        for n in range(1, 9):
            value = re.search(r'id="out%d-value">([-0-9.]+)<' % n, dom)
            self.assertIsNotNone(value, "OUT%d shown" % n)
            self.assertLessEqual(abs(float(value.group(1)) - n), 1.0)
        # The plot is drawn, and drawn anew: two screenshots a moment apart differ.
        shots = []
        folder = Path(tempfile.mkdtemp(prefix="quil-view-"))
        self.addCleanup(shutil.rmtree, folder, True)
        for k in range(2):
            shot = folder / ("view%d.png" % k)
            subprocess.run(
                chromium + ["--timeout=2500", "--screenshot=%s" % shot, self.url], capture_output=True, timeout=90
            )
            self.assertTrue(shot.exists() and os.path.getsize(shot) > 10000, "a screenshot with something drawn")
            shots.append(shot.read_bytes())
        self.assertNotEqual(shots[0], shots[1])
