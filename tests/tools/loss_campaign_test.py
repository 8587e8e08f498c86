#!/usr/bin/env python3
"""The loss campaign's bookkeeping: what it calls untouched is really there, unchanged, and its
reading of destinations and cycle spans is right. Run by ctest with the scripts folder."""

import os
import random
import struct
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import loss_campaign as lc  # noqa: E402

BLOCKS = 60


def stream():
    """Blocks whose bytes name their block index, so a moved or changed byte shows."""
    return b"".join(bytes([k]) * 4 + bytes(i % 251 for i in range(4, lc.BLOCK)) for k in range(BLOCKS))


class DamageBookkeeping(unittest.TestCase):
    def test_every_untouched_block_is_whole_and_unchanged_where_its_origin_says(self):
        clean = stream()
        for kind in lc.DAMAGES:
            for seed in range(25):
                with self.subTest(kind=kind, seed=seed):
                    d = lc.Damage(clean, random.Random(seed))
                    getattr(d, kind)()
                    self.assertEqual(len(d.data), len(d.origin))
                    for p, o in enumerate(d.origin):
                        if o >= 0 and o // lc.BLOCK not in d.touched:
                            self.assertEqual(d.data[p], clean[o], f"byte {p} from {o}: {d.steps}")
                    where = {o: p for p, o in enumerate(d.origin) if o >= 0}
                    for k in range(BLOCKS):  # an untouched block is whole, in order, in one piece
                        if k not in d.touched:
                            start = where[k * lc.BLOCK]
                            self.assertEqual(d.origin[start:start + lc.BLOCK],
                                             list(range(k * lc.BLOCK, (k + 1) * lc.BLOCK)))

    def test_a_deletion_touches_the_block_after_the_last_that_lost_bytes(self):
        for seed in range(20):
            d = lc.Damage(stream(), random.Random(seed))
            d.delete()
            _, n, _, _, p = d.steps[0].split()
            last = (int(p) + int(n) - 1) // lc.BLOCK
            self.assertTrue(set(range(int(p) // lc.BLOCK, last + 2)) <= d.touched, d.steps)

    def test_a_cycle_is_intact_only_without_touched_blocks_close_or_wild_point_in_its_span(self):
        cycles = [dict(complete=True, blocks=[0, 272], first=0, close=544),
                  dict(complete=True, blocks=[544, 816], first=544, close=None),
                  dict(complete=False, blocks=[1088], first=1088, close=None)]
        d = lc.Damage(bytes(5 * lc.BLOCK), random.Random(0))
        self.assertEqual(lc.intact_cycles(cycles, d, 5 * lc.BLOCK), [0, 1])
        d.touched = {2}  # the block that closes cycle 0
        self.assertEqual(lc.intact_cycles(cycles, d, 5 * lc.BLOCK), [])
        d.touched, d.wild = set(), {1088}  # open till the end: cycle 1 only
        self.assertEqual(lc.intact_cycles(cycles, d, 5 * lc.BLOCK), [0])


class Destinations(unittest.TestCase):
    def record(self, name, source, body):
        return (b"\x7a" * 8 + name.ljust(8, b"\0")[:8] + struct.pack("<II", 0, len(body)) + bytes([source, 1])
                + bytes(6) + body)

    def test_records_are_read_and_a_cut_or_foreign_file_is_refused(self):
        data = self.record(b"F-SUM", 0x33, b"a" * 512) + self.record(b"DISPHEADER", 0x33, b"b" * 256)
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "dest.out")
            for content, expected in ((data, ["F-SUM", "DISPHEAD"]), (data[:-1], None), (b"x" * 40, None)):
                with open(path, "wb") as f:
                    f.write(content)
                records = lc.read_records(path)
                self.assertEqual(records and [r[0] for r in records], expected)

    def test_lost_counts_each_missing_copy_of_a_record_that_intact_cycles_need(self):
        a, b = ("F-SUM", 0x33, b"1"), ("F-SUM", 0x33, b"2")
        keys = {0: a, 1: a, 2: b}
        self.assertEqual(lc.count_lost([0, 1, 2], keys, [a, b, b]), (3, 1))
        self.assertEqual(lc.count_lost([0, 3], keys, []), (1, 1))  # cycle 3 was not saved when clean


if __name__ == "__main__":
    unittest.main()
