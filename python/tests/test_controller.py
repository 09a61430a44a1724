"""Controller against quilsim: values, control commands, errors, storage,
registers, opening and closing."""

import ctypes
import threading
import time
import unittest
from array import array

from simulator import QuilSim, unused_address

import quil
from quil import _devices
from quil.controller import Measurement, Mode, Result, ValueStatus

sim = None


def setUpModule():
    global sim
    sim = QuilSim(model=0)  # four heads, no encoder inputs


def tearDownModule():
    sim.stop()


class MeasuredValues(unittest.TestCase):
    def setUp(self):
        self.c = quil.Controller(sim.address)
        self.addCleanup(self.c.close)

    def test_values_are_parsed_into_named_tuples(self):
        # Until told otherwise the simulator's OUT n reads "+00n.000".
        lines, _ = sim.sent_by(self.c, lambda: self.assertEqual(self.c.measure(3), (3, ValueStatus.NORMAL, 3.0)))
        self.assertEqual(lines, ["MS,03"])
        m = self.c.measure(8)
        self.assertIsInstance(m, Measurement)
        self.assertEqual((m.out, m.value, m.valid), (8, 8.0, True))
        self.assertEqual(m.unit, "display unit of the OUT")
        self.assertEqual([(v.out, v.value) for v in self.c.measure_mask(0b1010)], [(2, 2.0), (4, 4.0)])
        self.assertEqual([(v.out, v.value) for v in self.c.measure_all()], [(1, 1.0), (2, 2.0), (3, 3.0), (4, 4.0)])


class Errors(unittest.TestCase):
    def setUp(self):
        self.c = quil.Controller(sim.address)
        self.addCleanup(self.c.close)

    def test_refused_arguments_raise_their_code_and_send_nothing(self):
        cases = [
            ("QUIL_GetCalcDataSingle", lambda: self.c.measure(9), Result.ERROR_RANGE),
            ("QUIL_GetCalcDataMulti", lambda: self.c.measure_mask(16), Result.ERROR_RANGE),
            ("QUIL_SetProgramNo", lambda: self.c.set_program(8), Result.ERROR_PARAMETER),
            ("QUIL_SetMode", lambda: self.c.set_mode(2), Result.ERROR_PARAMETER),
            ("QUIL_GetDeviceRuningTime", lambda: self.c.get_running_time(5), Result.ERROR_PARAMETER),
            ("QUIL_DataStorageGetData", lambda: self.c.storage_data(9), Result.ERROR_RANGE),
            ("QUIL_GetEncoderStoreValue", lambda: self.c.encoder_storage(1), Result.ERROR_UNSUPPORTED),
        ]
        for function, action, code in cases:
            with self.subTest(function=function, code=code):
                lines, e = sim.sent_by(self.c, action)
                self.assertIsInstance(e, quil.QuilError)
                self.assertEqual((e.code, e.name, e.function), (code, "QUIL_" + code.name, function))
                self.assertIn(e.name, str(e))
                self.assertEqual(lines, [])

    def test_numbers_outside_32_bits_are_refused_not_truncated(self):
        for action, error in [
            (lambda: self.c.measure(2**32 + 3), ValueError),  # would be OUT3 if truncated
            (lambda: self.c.measure("1"), TypeError),
            (lambda: self.c.set_program(1.0), TypeError),
            (lambda: self.c.set_program(1, 2), TypeError),
        ]:
            lines, e = sim.sent_by(self.c, action)
            self.assertIsInstance(e, error)
            self.assertEqual(lines, [])

    def test_a_function_missing_from_the_library_raises_when_called(self):
        entry = quil._table.Entry("get_nothing", "QUIL_GetNothingAtAll", "head", "value")
        with self.assertRaises(quil.FunctionMissingError) as caught:
            entry.call(self.c, (1,), {})
        self.assertEqual(caught.exception.function, "QUIL_GetNothingAtAll")
        self.assertIn(quil.library().path, str(caught.exception))


class Control(unittest.TestCase):
    def setUp(self):
        self.c = quil.Controller(sim.address)
        self.addCleanup(self.c.close)

    def test_commands_reach_the_controller(self):
        c = self.c
        cases = [
            (lambda: c.set_timing_mask(0b0101, 0), ["TM,0,1010"]),
            (lambda: c.reset_all(), ["DA"]),
            (lambda: c.set_program(program=5), ["PW,5"]),
        ]
        for action, expected in cases:
            lines, e = sim.sent_by(c, action)
            self.assertIsNone(e)
            self.assertEqual(lines, expected)
        self.assertEqual(c.get_program(), 5)
        c.set_program(0)

    def test_a_command_refused_in_setting_mode_is_sent_again(self):
        self.c.set_mode(Mode.SETTING)
        lines, e = sim.sent_by(self.c, lambda: self.assertEqual(self.c.measure(1).value, 1.0))
        self.assertIsNone(e)
        self.assertEqual(lines, ["MS,01", "R0", "MS,01"])

    def test_registers(self):
        # The simulator's running times: a day for the controller, an hour per head number.
        self.assertEqual(self.c.get_running_time(), 86400)
        self.assertEqual(self.c.get_running_time(head=2), 7200)
        self.assertEqual(self.c.get_device_type(), 0)
        with self.assertRaises(quil.QuilError) as caught:
            self.c.get_spot_type()
        self.assertEqual(caught.exception.code, Result.ERROR_UNSUPPORTED)
        self.assertIsNone(self.c.refresh())


class Storage(unittest.TestCase):
    def setUp(self):
        self.c = quil.Controller(sim.address)
        self.addCleanup(self.c.close)
        self.c.storage_clear()
        self.addCleanup(self.c.storage_clear)

    def record(self):
        self.c.storage_start()
        self.assertTrue(self.c.storage_status().recording)
        time.sleep(0.05)
        self.c.storage_stop()

    def test_recorded_values_read_as_float_arrays(self):
        self.record()
        status = self.c.storage_status()
        self.assertFalse(status.recording)
        self.assertEqual(len(status.outs), 8)
        self.assertGreater(status.outs[0], 1)
        values = self.c.storage_data(1)
        self.assertIsInstance(values, array)
        self.assertEqual(values.typecode, "f")
        self.assertEqual(len(values), status.outs[0])
        self.assertEqual(set(values), {1.0})
        self.assertEqual(self.c.storage_data(2, capacity=3).tolist(), [2.0, 2.0, 2.0])
        self.assertEqual(len(self.c.storage_data(2, capacity=0)), 0)

    def test_watcher_calls_back_on_its_own_thread_until_cleared(self):
        self.record()
        called = threading.Event()
        threads = []

        def on_storage(controller):
            threads.append(threading.get_ident())
            self.assertIs(controller, self.c)
            controller.storage_clear()  # allowed from the callback; ends the calls
            with self.assertRaises(RuntimeError):
                controller.close()
            called.set()

        self.c.watch_storage(on_storage)
        self.assertTrue(called.wait(5))
        calls = len(threads)
        time.sleep(0.1)
        self.assertEqual(len(threads), calls)
        self.assertNotIn(threading.get_ident(), threads)
        self.assertEqual(self.c.storage_status().outs[0], 0)


class ModelsWithFeatures(unittest.TestCase):
    def test_encoder_storage_reads_integer_arrays(self):
        encoder_sim = QuilSim(model=34)
        self.addCleanup(encoder_sim.stop)
        with quil.Controller(encoder_sim.address) as c:
            c.storage_start()
            time.sleep(0.05)
            c.storage_stop()
            # Channel 1 counts up by one per point, 2 down by one, 3 up by three.
            for channel, step in [(1, 1), (2, -1), (3, 3)]:
                values = c.encoder_storage(channel)
                self.assertEqual(values.typecode, "i")
                self.assertGreater(len(values), 1)
                self.assertEqual({b - a for a, b in zip(values, values[1:])}, {step})


class SettingsFamilies(unittest.TestCase):
    """Methods made from the settings tables, where the library has them."""

    def setUp(self):
        self.c = quil.Controller(sim.address)
        self.addCleanup(self.c.close)

    def need(self, *methods):
        missing = [m for m in methods if not quil.Controller.supports(m)]
        if missing:
            self.skipTest("the library lacks " + ", ".join(missing))

    def test_written_settings_read_back_as_values_and_named_tuples(self):
        c = self.c
        cases = [
            ("set_median", (2, 3), "get_median", (2,), 3),
            ("set_able_min_max", (1, 10, 90), "get_able_min_max", (1,), (10, 90)),
            ("set_filter", (1, 0, 5), "get_filter", (1,), (0, 5)),
            ("set_data_storage", (1000, 3), "get_data_storage", (), (1000, 3)),
            ("set_strobe_time", (2,), "get_strobe_time", (), 2),
        ]
        for setter, args, getter, key, value in cases:
            with self.subTest(setter=setter):
                self.need(setter, getter)
                getattr(c, setter)(*args)
                self.assertEqual(getattr(c, getter)(*key), value)
        self.need("get_able_min_max", "get_filter")
        self.assertEqual(type(c.get_able_min_max(1)).__name__, "AbleMinMax")
        self.assertEqual(c.get_filter(1).parameter, 5)

    def test_encoder_functions_only_on_their_models(self):
        self.need("set_encoder_number", "get_encoder_number")
        with self.assertRaises(quil.QuilError) as caught:
            self.c.get_encoder_number()
        self.assertEqual(caught.exception.code, Result.ERROR_UNSUPPORTED)
        encoder_sim = QuilSim(model=34)
        self.addCleanup(encoder_sim.stop)
        with quil.Controller(encoder_sim.address) as c:
            c.set_encoder_number(2)
            self.assertEqual(c.get_encoder_number(), 2)


class OpenAndClose(unittest.TestCase):
    def test_the_with_block_closes_the_device(self):
        with quil.Controller(sim.address) as c:
            device = c.device
            self.assertTrue(c.is_open)
            self.assertIn(device, _devices.held())
        self.assertFalse(c.is_open)
        self.assertNotIn(device, _devices.held())
        # Closed in the library too: its number answers "not open".
        get_type = quil.library().function("QUIL_GetDeviceType", [ctypes.c_int32, ctypes.POINTER(ctypes.c_int32)])
        self.assertEqual(get_type(device, None), Result.ERROR_OPEN)
        with self.assertRaises(quil.QuilError) as caught:
            c.measure(1)
        self.assertEqual((caught.exception.code, caught.exception.name), (Result.ERROR_OPEN, "QUIL_ERROR_OPEN"))
        c.close()  # a second close is harmless

    def test_an_exception_in_the_block_closes_too(self):
        with self.assertRaises(KeyError):
            with quil.Controller(sim.address, device=9) as c:
                raise KeyError("x")
        self.assertFalse(c.is_open)
        with quil.Controller(sim.address, device=9) as again:  # the number and the address are free again
            self.assertEqual(again.measure(1).value, 1.0)

    def test_a_closed_controller_never_reaches_the_next_one_on_its_number(self):
        first = quil.Controller(sim.address, device=11)
        first.close()
        with quil.Controller(sim.address, device=11) as second:
            lines, e = sim.sent_by(second, lambda: first.set_program(3))
            self.assertEqual((lines, e.code), ([], Result.ERROR_OPEN))

    def test_device_numbers(self):
        with quil.Controller(sim.address, device=63) as c:
            self.assertEqual(c.device, 63)
            with self.assertRaises(ValueError):
                quil.Controller(sim.address, device=63)
            with self.assertRaises(quil.QuilError) as caught:  # the address is in use by device 63
                quil.Controller(sim.address)
            self.assertEqual(caught.exception.code, Result.ERROR_IP_IN_USE)
        for bad in (-1, 64):
            with self.assertRaises(ValueError):
                quil.Controller(sim.address, device=bad)
        self.assertEqual(_devices.held(), set())

    def test_a_failed_open_raises_and_frees_its_number(self):
        with self.assertRaises(ConnectionError) as caught:  # refused, as standard retry code expects
            quil.Controller(unused_address(), timeout_ms=300)
        self.assertIsInstance(caught.exception, quil.QuilError)
        self.assertEqual(caught.exception.function, "QUIL_OpenDeviceETHER")
        self.assertEqual(caught.exception.code, Result.ERROR_OPEN)
        self.assertEqual(_devices.held(), set())
        with self.assertRaises(ValueError):
            quil.Controller("127.77.0.300")



class LostConnections(unittest.TestCase):
    """quilsim --drop-after 3: each connection answers the open's model query
    and two more lines, and is closed at the fourth."""

    def setUp(self):
        self.dropping = QuilSim(model=0, options=["--drop-after", "3"])
        self.addCleanup(self.dropping.stop)

    def test_a_lost_connection_is_a_connection_error(self):
        c = quil.Controller(self.dropping.address)
        self.addCleanup(c.close)
        self.assertEqual([c.get_program(), c.get_program()], [0, 0])
        with self.assertRaises(ConnectionError) as caught:
            c.get_program()
        self.assertIsInstance(caught.exception, quil.QuilError)
        with self.assertRaises(ConnectionError):
            c.get_program()  # no reconnect unless asked for
        c.reconnect()
        self.assertEqual(c.get_program(), 0)

    def test_reconnect_reopens_once_and_repeats_only_what_may_run_twice(self):
        c = quil.Controller(self.dropping.address, reconnect=True)
        self.addCleanup(c.close)
        c.set_program(2)
        # Every second call from here on finds its connection closed.
        self.assertEqual([c.get_program() for _ in range(5)], [2] * 5)
        self.assertEqual(c.measure(1).out, 1)
        c.get_program()  # the connection's last line
        with self.assertRaises(ConnectionError):
            c.set_zero(1, 1)  # a zero setting acts each time: not repeated
        self.assertEqual(c.get_program(), 2)


class NoAnswer(unittest.TestCase):
    def test_a_controller_that_does_not_answer_is_a_timeout(self):
        mute = QuilSim(model=0, options=["--mute"])
        self.addCleanup(mute.stop)
        with quil.Controller(mute.address) as c:
            with self.assertRaises(TimeoutError) as caught:
                c.get_program()
        self.assertIsInstance(caught.exception, quil.QuilError)
        self.assertEqual(caught.exception.code, Result.ERROR_TIMEOUT)


if __name__ == "__main__":
    unittest.main()
