"""python/tarsel_records.py on hand-made files and on what tarsel writes."""

import json
import os
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))
import tarsel_records  # noqa: E402

BINARY_DIR = os.path.abspath(os.environ.get("TARSEL_BINARY_DIR", "."))


def record(name, data, at, source=0x33, tag=1, end=None):
    end = (at + len(data) + 4) & 0xFFFFFFFF if end is None else end
    return (b"\x7a" * 8 + name.encode().ljust(8, b"\0") + struct.pack("<II", end, len(data))
            + bytes([source, tag]) + b"\0" * 6 + data)


class Files(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def write(self, data, name="x.out"):
        path = os.path.join(self.dir.name, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def sample(self):
        first = record("F-SUM", bytes(range(8)), 0)
        second = record("SOFTDFE1", b"abcdef", len(first), source=0x56, tag=2)
        third = record("F-SUM", bytes(range(50, 58)), len(first) + len(second))
        return first + second + third


class IterRecords(Files):
    def test_yields_every_record_with_its_data(self):
        got = [(n, s, t, o, bytes(d)) for n, s, t, o, d in tarsel_records.iter_records(
            self.write(self.sample()))]
        self.assertEqual(got, [("F-SUM", 0x33, 1, 0, bytes(range(8))),
                               ("SOFTDFE1", 0x56, 2, 40, b"abcdef"),
                               ("F-SUM", 0x33, 1, 78, bytes(range(50, 58)))])
        self.assertEqual(list(tarsel_records.iter_records(self.write(b""))), [])

    def test_data_is_a_memoryview(self):
        data = next(tarsel_records.iter_records(self.write(self.sample())))[4]
        self.assertIsInstance(data, memoryview)
        self.assertEqual(data[3], 3)

    def test_stops_with_the_offset_and_the_reason(self):
        good = self.sample()
        cases = [
            ("cut record", good[:-1], 78),
            ("cut record header", good + b"\x7a\x7a", len(good)),
            ("bare record", good + b"\x5a" * 8 + bytes(300), len(good)),
            ("damage", good[:41] + b"\0" + good[42:], 40),
            ("damage", good + b"\x01", len(good)),
        ]
        for reason, data, offset in cases:
            with self.subTest(reason=reason, offset=offset):
                with self.assertRaises(tarsel_records.RecordError) as caught:
                    list(tarsel_records.iter_records(self.write(data)))
                self.assertEqual(caught.exception.offset, offset)
                self.assertTrue(caught.exception.reason.startswith(reason))

    def test_end_field_that_wrapped_is_accepted(self):
        # What a record 5 GiB into a file carries, taken at its place in a small file: believed
        # because the next record follows where its length says.
        odd = record("SOFT", b"12345678", 0, end=(5 << 30) + 12 & 0xFFFFFFFF)
        data = odd + record("SOFT", b"", len(odd))
        self.assertEqual(len(list(tarsel_records.iter_records(self.write(data)))), 2)


class ReadFlow(Files):
    @unittest.skipIf(tarsel_records.numpy is None, "NumPy is not installed")
    def test_numpy_array_of_records_by_values(self):
        path = self.write(self.sample())
        a = tarsel_records.read_flow(path, "F-SUM", dtype="<u2")
        self.assertEqual(a.shape, (2, 4))
        self.assertEqual(int(a[1, 0]), 50 + 51 * 256)
        self.assertEqual(tarsel_records.read_flow(path, "F-SUM").shape, (2, 8))
        with self.assertRaises(ValueError):
            tarsel_records.read_flow(path, "SOFTDFE1", dtype="<i4")

    def test_without_numpy_lists_per_record(self):
        saved = tarsel_records.numpy
        tarsel_records.numpy = None
        try:
            path = self.write(self.sample())
            self.assertEqual(tarsel_records.read_flow(path, "F-SUM"),
                             [bytes(range(8)), bytes(range(50, 58))])
            values = tarsel_records.read_flow(path, "F-SUM", dtype="u2")
            self.assertEqual([list(v) for v in values],
                             [[256, 3 * 256 + 2, 5 * 256 + 4, 7 * 256 + 6],
                              [51 * 256 + 50, 53 * 256 + 52, 55 * 256 + 54, 57 * 256 + 56]])
            self.assertEqual(tarsel_records.read_flow(path, "F-SUM", source=0x56), [])
        finally:
            tarsel_records.numpy = saved


@unittest.skipUnless(os.path.exists(os.path.join(BINARY_DIR, "tarsel-records")),
                     "needs the built programs (TARSEL_BINARY_DIR)")
class AgreesWithTarselRecords(Files):
    def test_same_records_as_the_program(self):
        run = lambda *args: subprocess.run(args, cwd=self.dir.name, check=True,
                                           capture_output=True, text=True).stdout
        run(os.path.join(BINARY_DIR, "tarsel-synth"), "--batches", "5", "--quiet")
        run(os.path.join(BINARY_DIR, "tarsel"), "_19-05-17-10-30-00_1.rec")
        path = os.path.join(self.dir.name, "_19-05-17-10-30-00_1-cv.out")
        listed = [json.loads(line) for line in run(
            os.path.join(BINARY_DIR, "tarsel-records"), "list", "--json", path).splitlines()]
        mine = [{"index": i, "offset": o, "name": n, "source": s, "tag": t, "length": len(d)}
                for i, (n, s, t, o, d) in enumerate(tarsel_records.iter_records(path))]
        self.assertGreater(len(mine), 50)
        self.assertEqual(mine, listed)


if __name__ == "__main__":
    unittest.main()
