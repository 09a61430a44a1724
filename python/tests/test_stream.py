"""The data stream against quilsim: its packets carry 1000 values per channel
of all four channels every 10 ms, value i of channel c being c * 100000000 + i."""

import gc
import os
import queue
import subprocess
import sys
import threading
import time
import unittest

from simulator import PYTHON_DIR, QuilSim

import quil
from quil import _devices
from quil import stream as stream_module

PACKET_VALUES = 1000
sim = None


def setUpModule():
    global sim
    sim = QuilSim()


def tearDownModule():
    sim.stop()


def expected(channel, first, count):
    return list(range(channel * 100000000 + first, channel * 100000000 + first + count))


def wait_for_packets(stream, count):
    """Waits until the run has received count packets."""
    deadline = time.monotonic() + 10
    while stream.stats().packets < count:
        if time.monotonic() > deadline:
            raise AssertionError("no packets")
        time.sleep(0.01)


class Iteration(unittest.TestCase):
    def test_batches_carry_every_value_in_order_until_stopped(self):
        with quil.Stream(sim.address, PACKET_VALUES) as s:
            batches = []
            for batch in s:
                batches.append(batch)
                if len(batches) == 3:
                    s.stop()
            self.assertFalse(s.running)
        self.assertEqual(len(batches), 3)  # none of those queued at the stop
        self.assertEqual(s.end_status, stream_module.STOPPED)
        first = 0
        for batch in batches:
            self.assertEqual((batch.mask, batch.count), (0xF, PACKET_VALUES))
            for channel in range(1, 5):
                self.assertEqual(batch.channel(channel).tolist(), expected(channel, first, PACKET_VALUES))
            first += batch.count
        stats = s.stats()
        self.assertGreaterEqual(stats.packets, 3)
        self.assertEqual(stats.bytes_discarded, 0)
        self.assertEqual(stats.values[0], stats.packets * PACKET_VALUES)
        self.assertTrue(repr(stats).startswith("RollStats(packets=%d, values=(" % stats.packets), repr(stats))
        with self.assertRaises(AttributeError):
            stats.packets = 0  # frozen: a snapshot of the run
        self.assertNotIn(s.device, _devices.held())
        with self.assertRaises(StopIteration):
            next(s)

    def test_numpy_batches_are_int32_arrays_of_the_values(self):
        try:
            import numpy
        except ImportError:
            self.skipTest("numpy is not installed (python3-numpy)")
        with quil.Stream(sim.address, PACKET_VALUES, numpy=True) as s:
            batch = s.next_batch(timeout=5)
        self.assertIsInstance(batch.channel(2), numpy.ndarray)
        self.assertEqual(batch.channel(2).dtype, numpy.int32)
        self.assertEqual(batch.channel(2).tolist(), expected(2, 0, PACKET_VALUES))

    def test_a_batch_comes_per_packet_once_the_batch_size_is_reached(self):
        with quil.Stream(sim.address, 2500) as s:
            counts = [s.next_batch(timeout=5).count for _ in range(2)]
        # Packets of 1000 values: the callback comes with the third one.
        self.assertEqual(counts, [3000, 3000])

    def test_the_values_before_a_failure_come_before_the_stream_error(self):
        # A batch far larger than what comes before the controller goes
        # away: the failure's callback carries every value of the run.
        own = QuilSim()
        self.addCleanup(own.stop)
        s = quil.Stream(own.address, stream_module.MAX_BATCH)
        self.addCleanup(s.stop)
        wait_for_packets(s, 5)
        own.kill()
        last = s.next_batch(timeout=10)
        self.assertEqual(last.mask, 0xF)
        self.assertGreater(last.count, 0)
        self.assertLess(last.count, stream_module.MAX_BATCH)
        for channel in range(1, 5):
            self.assertEqual(last.channel(channel).tolist(), expected(channel, 0, last.count))
        with self.assertRaises(quil.StreamError) as caught:
            s.next_batch(timeout=10)
        self.assertEqual((caught.exception.code, caught.exception.name), (1, "QUIL_STREAM_CONNECTION_LOST"))
        self.assertEqual(s.stats().values[0], last.count)
        with self.assertRaises(quil.StreamError):
            next(s)  # the end stays visible
        self.assertFalse(s.running)  # the iteration stopped the run and freed the number
        self.assertNotIn(s.device, _devices.held())

    def test_a_full_queue_drops_batches_and_counts_them(self):
        with quil.Stream(sim.address, PACKET_VALUES, max_pending=1) as s:
            time.sleep(0.3)
            self.assertGreater(s.dropped, 0)
            self.assertEqual(s.next_batch(timeout=1).channel(1)[0], 100000000)

    def test_a_wait_without_a_batch_gives_up(self):
        s = quil.Stream(sim.address, 1200000)  # 12 s of packets per batch
        self.addCleanup(s.stop)
        with self.assertRaises(queue.Empty):
            s.next_batch(timeout=0.2)


class Callback(unittest.TestCase):
    def test_batches_reach_the_callback_on_the_receive_thread(self):
        got = []
        threads = set()

        def on_batch(batch):
            threads.add(threading.get_ident())
            got.append(batch)

        s = quil.Stream(sim.address, PACKET_VALUES, callback=on_batch)
        self.assertFalse(s.wait(0.3))  # still running
        s.stop()
        self.assertTrue(s.wait(1))
        self.assertEqual(s.end_status, stream_module.STOPPED)
        self.assertGreaterEqual(len(got), 2)
        self.assertNotIn(threading.get_ident(), threads)
        self.assertEqual(got[1].channel(3).tolist(), expected(3, PACKET_VALUES, PACKET_VALUES))
        with self.assertRaises(RuntimeError):
            next(s)

    def test_the_callback_may_stop_the_run(self):
        got = []

        def on_batch(batch):
            got.append(batch)
            if len(got) == 2:
                s.stop()

        s = quil.Stream(sim.address, PACKET_VALUES, callback=on_batch)
        self.assertTrue(s.wait(5))
        self.assertEqual(s.end_status, stream_module.STOPPED)
        deadline = time.monotonic() + 5
        while s.running and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertFalse(s.running)

    def test_a_failed_run_hands_its_last_values_on_and_wait_raises(self):
        own = QuilSim()
        self.addCleanup(own.stop)
        got = []
        s = quil.Stream(own.address, stream_module.MAX_BATCH, callback=got.append)
        self.addCleanup(s.stop)
        wait_for_packets(s, 5)
        own.kill()
        with self.assertRaises(quil.StreamError) as caught:
            s.wait(10)
        self.assertEqual((caught.exception.code, s.end_status), (1, stream_module.FAILED))
        self.assertEqual([b.count for b in got], [s.stats().values[2]])
        self.assertEqual(got[0].channel(3).tolist(), expected(3, 0, got[0].count))

    def test_what_the_callback_raises_comes_out_of_wait(self):
        def on_batch(batch):
            raise ZeroDivisionError("in the callback")

        with quil.Stream(sim.address, PACKET_VALUES, callback=on_batch) as s:
            time.sleep(0.1)
        with self.assertRaises(ZeroDivisionError):
            s.wait(1)


class Starting(unittest.TestCase):
    def test_bad_batch_sizes(self):
        for batch in (0, 1200001):
            with self.assertRaises(quil.QuilError) as caught:
                quil.Stream(sim.address, batch)
            self.assertEqual((caught.exception.code, caught.exception.name), (-997, "QUIL_STREAM_BAD_ARGUMENT"))
        with self.assertRaises(ValueError):
            quil.Stream(sim.address, -1)
        self.assertEqual(_devices.held(), set())

    def test_a_stream_never_takes_a_controllers_number(self):
        with quil.Controller(sim.address) as c:
            with self.assertRaises(ValueError):
                quil.Stream(sim.address, PACKET_VALUES, device=c.device)
            with c.stream(PACKET_VALUES) as s:
                self.assertNotEqual(s.device, c.device)
                self.assertEqual(s.next_batch(timeout=5).count, PACKET_VALUES)
            self.assertEqual(c.measure(1).value, 1.0)  # its connection is untouched

    def test_the_interpreter_exits_cleanly_with_callbacks_still_coming(self):
        # Without the stop at exit a callback now and then reaches an
        # interpreter that is shutting down, and the process crashes.
        script = (
            "import quil\n"
            "s = quil.Stream(%r, 1000)\n"
            "s.next_batch(timeout=5)\n"
            "c = quil.Controller(%r)\n"
            "c.storage_start(); c.storage_stop(); c.watch_storage(lambda c: None)\n"
        ) % (sim.address, sim.address)
        env = dict(os.environ, PYTHONPATH=str(PYTHON_DIR))
        for _ in range(4):
            r = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=60)
            self.assertEqual(r.returncode, 0, r.stderr)

    def test_a_dropped_stream_keeps_its_callback_until_stopped(self):
        s = quil.Stream(sim.address, PACKET_VALUES)
        device = s.device
        del s
        gc.collect()
        time.sleep(0.1)  # the library goes on calling back
        running = stream_module._running[device]
        running.stop()
        self.assertNotIn(device, stream_module._running)


if __name__ == "__main__":
    unittest.main()
