#!/usr/bin/env python3
"""Writes the seed records of the software-data decoder fuzzer into fuzz/corpus/soft_decoder/."""
import os
import struct
import sys


def sblock(name, data, words=(0, 0, 0, 0, 0)):
    first = bytearray(16)
    struct.pack_into("<I", first, 12, 128 + len(data))
    second = bytearray(120)
    for offset, word in zip((36, 40, 44, 52, 56), words):
        struct.pack_into("<I", second, offset - 24, word)
    second[44:44 + len(name)] = name.encode()
    return b"\x5a" * 8 + bytes(first) + bytes(second) + bytes(data) + b"\xa5" * 8


def chunk(name, data, source_id=0x53, source_tag=1):
    header = bytearray(24)
    header[0:len(name[:8])] = name[:8].encode()
    struct.pack_into("<II", header, 8, len(data) + 4, len(data))
    header[16] = source_id
    header[17] = source_tag
    return b"\x7a" * 8 + bytes(header) + bytes(data)


def extended(header_length, records):
    head = bytearray(header_length + 44)
    struct.pack_into("<I", head, 52, header_length)
    body = b"".join(b"EXT " + name.encode() + struct.pack("<II", 7, len(p)) + p
                    for name, p in records)
    return bytes(head) + body


def main(folder):
    os.makedirs(folder, exist_ok=True)
    ext = extended(100, [("CMPC", bytes(range(32))), ("SARR", b"\x01" * 20)])
    seeds = {
        "soft_two_blocks": chunk("SOFT", sblock("D1553", b"\x11" * 64, (1, 2, 3, 4, 5))
                                 + sblock("SUM", b"\x00" * 16 + sblock("GUARD", b"")) + b"\0" * 8),
        "disphead_ext": chunk("DISPHEADER", ext),
        "bare_stream": sblock("DSPHDRIN", ext[44:]) + sblock("OVER", b"\x22" * 40),
        "softdfe": chunk("SOFTDFE", sblock("CDPSTS", b"\x33" * 200), source_id=0x56),
    }
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus", "soft_decoder"))
