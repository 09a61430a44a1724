"""search() with SearchOnline replaced: a real search broadcasts on every
network of the machine, which tests never do outside a namespace of their
own. The stand-in calls the C callback the way the library does, from a
thread of its own, so the conversion of the answers is the real one."""

import ctypes
import threading
import unittest

import simulator  # noqa: F401 - the package of this checkout

import quil


class FakeSearch:
    def __init__(self, answers, result=0):
        self.answers = answers
        self.result = result

    def __call__(self, callback):
        def run():
            for value, area, ip, mac, hex_text in self.answers:
                buffer = ctypes.create_string_buffer(area, 32)
                callback(value, ctypes.addressof(buffer), ip, mac, hex_text)
            callback(-1, None, None, None, None)

        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
        return self.result


class Search(unittest.TestCase):
    def use(self, fake):
        functions = quil.library()._functions  # the bound C functions, by name
        previous = functions.get("SearchOnline")
        functions["SearchOnline"] = fake

        def restore():
            if previous is None:
                functions.pop("SearchOnline", None)
            else:
                functions["SearchOnline"] = previous

        self.addCleanup(restore)

    def test_answers_come_back_as_a_list(self):
        self.use(
            FakeSearch(
                [
                    (34, b"quilsim\0", b"127.77.0.9", b"02:51:7f:4d:00:09", b"00000022"),
                    (12, b"", b"127.77.0.10", b"02:51:7f:4d:00:0a", b"0000000C"),
                ]
            )
        )
        found = quil.search()
        self.assertEqual([(r.ip, r.mac, r.value, r.hex) for r in found], [
            ("127.77.0.9", "02:51:7f:4d:00:09", 34, "00000022"),
            ("127.77.0.10", "02:51:7f:4d:00:0a", 12, "0000000C"),
        ])
        self.assertEqual(found[0].area, b"quilsim" + bytes(25))
        self.assertEqual(len(found[1].area), 32)

    def test_no_answer_is_an_empty_list(self):
        self.use(FakeSearch([]))
        self.assertEqual(quil.search(), [])

    def test_a_search_that_cannot_run_raises(self):
        self.use(FakeSearch([], result=-100))
        with self.assertRaises(quil.QuilError) as caught:
            quil.search()
        self.assertEqual((caught.exception.code, caught.exception.name), (-100, "QUIL_SEARCH_RUNNING"))


if __name__ == "__main__":
    unittest.main()
