#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into fuzz/corpus/<target>/ (soft_decoder when no
target is named; "all" writes every folder)."""
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



def words(*values):
    return b"".join(struct.pack("<I", v & 0xFFFFFFFF) for v in values)


def soft_handler_seeds(soft):
    """Software records for the decoder with the post-process handlers: a 6-byte prefix (F-SUM
    copy length, bytes of the record copied into it) and the record."""
    def prefix(claimed, copied):
        return struct.pack("<IH", claimed, copied)
    tx = words(0x5A5A5A5A, 31 << 16, 0x82000000, *range(8)) + words(0x5A5A5A5A, 4 << 16, 0x10000000)
    rx = words(0x5A5A5A5A, 0x1F000000, 0x00000000, 0x5A5A5A5A, 0x02000000, 0x80000, 0xA5A5A5A5)
    ext = extended(100, [("CMPC", bytes(range(64))), ("SARR", b"\x01" * 268), ("DETR", b"")])
    bus = bytearray(1832)
    struct.pack_into("<HH", bus, 194, 0x0511, 3600)
    struct.pack_into("<ii", bus, 422, 500000000, 100000000)
    signal = b"\x00" * 64 + b"\x5a" * 40 + b"\x00" * 32
    seeds = {
        "history": prefix(0, 0) + chunk("SOFT", sblock("D1553", bytes(bus), (1, 2, 3, 4, 5))
                                        + sblock("CDPSTS", b"\x07" * 1680, (9, 8, 7, 6, 5))),
        "aesa": prefix(0, 0) + chunk("SOFT", sblock("AESATX", tx) + sblock("AESARX", rx)),
        "header_ext": prefix(1, 0) + chunk("SOFT", sblock("DSPHDRIN", ext[44:]))
                      + chunk("DISPHEADER", ext),
        "signal": prefix(4096, 512) + chunk("SOFT", sblock("SUM", signal, (3, 4, 0, 0, 2))
                                            + sblock("DAZ", signal) + sblock("GUARD", b"\x00" * 64)
                                            + sblock("DEL", signal)),
    }
    for name, data in soft.items():
        seeds["plain_" + name] = prefix(0, 0) + data
    return seeds


def layout_seeds():
    small = ("{'pingpong': '0x01000000', 'base': '0x80000000', 'max_size': '0x1000', 'flows': ["
             "{'name': 'SWHDR', 'base': '0xA0000000', 'size': 4096, 'format': 'h',"
             " 'rows@': 26, 'cols@': 27, 'batch@': 24, 'tag@': 25},"
             "{'name': 'F-SUM', 'base': '+0x00101000', 'format': 'c16'},"
             "{'name': 'SOFT', 'base': '0xF0000000', 'size': '4K', 'format': 'SW', 'pingpong': 0},"
             "{'name': 'DISPHEADER', 'base': '0x56004000', 'size': '4k', 'format': 'H', 'pingpong': '0x1000',"
             " 'rows@': 26, 'cols@': 27, 'batch@': 24, 'tag@': 25, 'timestamp@': '+8'},"
             "{'name': 'AESA', 'base': '0xD0040000', 'size': '8K', 'format': 'u32', 'pingpong': '0x8000'}"
             "], 'help_': [{'format': 'c16'} {'rows@': 'x'}]}")
    return {
        "small": small.encode(),
        "double_quotes": b'{"flows": [{"name": "A", "base": "0x10", "size": "0x200"}, 7, null, true, -1.5e3]}',
        "missing_key": b"{'flows': [{'name': 'H', 'base': '0', 'size': 0, 'format': 'H', 'rows@': 1}]}",
        "no_flows": b"{'base': 12, 'flows': {}}",
    }


def command_line_seeds():
    return {
        "plain": b"rec.rec /o=out.tsl",
        "every_product": b"rec.rec /o=out.tsl /postprocess=5 /gps /examine=7 /hfw /hsynch //v //v",
        "values": b"\\-rec /n=3 /dsp=0x33 /!sw /f=h /m=010 /vout /vframe=-1 /j=layout.json /l //q //w",
        "overwrite": b"/etc/hostname /o=/etc/hostname //i //@=/etc/hostname\ny\n",
        "list": b"( a b ) /p /zero=4 /b=2 //d //r //e",
        "help": b"//?",
    }


def aesa_dump_seeds():
    tx = words(0x5A5A5A5A, 31 << 16, 0x82000000, *range(8)) + words(0x5A5A5A5A, 4 << 16, 0x10000000)
    rx = words(0x5A5A5A5A, 0x1F000000, 0x00000000, 0x5A5A5A5A, 0x02000000, 0x80000,
               0x5A5A5A5A, 0x03000000, 0x10000, 0xA5A5A5A5)
    return {"commands": tx, "responses": rx}


def aesa_timer_seeds():
    timer = [0] * 1408
    timer[0], timer[4], timer[12], timer[20], timer[33], timer[1280] = 0x12345678, 0x54494D45, 3, 7, 100, 2000
    for k in range(1, 4):
        timer[1280 + k] = 100 * k
    timer_bytes = words(*timer)
    tx = bytearray(8192)
    for n in range(3):
        struct.pack_into("<II", tx, 176 + 40 * n, 0x5A5A5A5A, 0x001F028A)
    rx = words(*range(19)) + bytes(64)
    ext = bytearray(4096)
    struct.pack_into("<III", ext, 32, 0xA1, 3, 250000 * 40)
    header = bytes(40)
    def record(present, parts):
        head = struct.pack("<B4H", present, *(len(x) for x in parts))
        return head + header + struct.pack("<I", 77) + b"".join(parts)
    return {
        "all_captures": record(0x1F, [timer_bytes, bytes(tx), rx, bytes(ext)]),
        "timer_only": record(0x01, [timer_bytes, b"", b"", b""]),
        "short_blocks": record(0x0F, [timer_bytes[:100], bytes(tx[:300]), rx[:8], bytes(ext[:40])]),
    }


def flight_track_seeds():
    def nav(seconds, lat):
        b = bytearray(1224)
        struct.pack_into("<HB", b, 0, 10 + seconds, 3)
        struct.pack_into("<I", b, 144, 1000 * seconds)
        struct.pack_into("<HH", b, 194, 0x0511, 3600 + seconds)
        struct.pack_into("<hhH", b, 380, 100, 200, 0)
        struct.pack_into("<H", b, 394, 5000)
        struct.pack_into("<ii", b, 422, lat, 100000000)
        struct.pack_into("<iiih", b, 444, 1000, -2000, 30, 50)
        struct.pack_into("<H", b, 1210, 2 << 6)
        return bytes(b)
    return {
        "three_points": b"\x00" + nav(0, 500000000) + nav(1, 500001000) + nav(3, 500002000),
        "every_second": b"\x01" + nav(0, 1) + nav(2, -1)[:500],
        "no_track": b"\x80" + nav(0, 0),
    }


def frame_image_seeds():
    frame = bytearray(1100 + 64 * 64)
    struct.pack_into("<III", frame, 0, 5, 0, 64)
    for i in range(256):
        struct.pack_into("<I", frame, 76 + 4 * i, i * 0x010101)
    for i in range(64 * 64):
        frame[1100 + i] = i & 0xFF
    caption = b"19-05-17-10-30-00.rec frame 5.tsl"
    return {"small_frame": bytes(frame) + caption, "header_only": bytes(frame[:80])}


def write_seeds(folder, seeds):
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


def soft_decoder_seeds():
    ext = extended(100, [("CMPC", bytes(range(32))), ("SARR", b"\x01" * 20)])
    seeds = {
        "soft_two_blocks": chunk("SOFT", sblock("D1553", b"\x11" * 64, (1, 2, 3, 4, 5))
                                 + sblock("SUM", b"\x00" * 16 + sblock("GUARD", b"")) + b"\0" * 8),
        "disphead_ext": chunk("DISPHEADER", ext),
        "bare_stream": sblock("DSPHDRIN", ext[44:]) + sblock("OVER", b"\x22" * 40),
        "softdfe": chunk("SOFTDFE", sblock("CDPSTS", b"\x33" * 200), source_id=0x56),
    }
    return seeds



def main(target):
    corpus = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    soft = soft_decoder_seeds()
    targets = {
        "soft_decoder": lambda: soft,
        "soft_handlers": lambda: soft_handler_seeds(soft),
        "layout": layout_seeds,
        "command_line": command_line_seeds,
        "aesa_catalogue": aesa_dump_seeds,
        "aesa_timing": aesa_timer_seeds,
        "flight_track": flight_track_seeds,
        "frame_image": frame_image_seeds,
    }
    for name in (targets if target == "all" else [target]):
        write_seeds(os.path.join(corpus, name), targets[name]())


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "soft_decoder")
