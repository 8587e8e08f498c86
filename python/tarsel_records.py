"""Reads the destination files that tarsel writes (<recording>-cv.out).

A destination file is a sequence of records, each a 32-byte record header and the data of one
saved cycle of a flow (see docs/destination-format.md). Standard library only; NumPy is used
when it is installed.

    import tarsel_records
    for name, source, tag, offset, data in tarsel_records.iter_records("x-cv.out"):
        print(name, hex(source), offset, len(data))
    signal = tarsel_records.read_flow("x-cv.out", "F-SUM", dtype="<i2")
"""

import mmap
import struct
import sys

__all__ = ["RecordError", "iter_records", "read_flow", "HEADER_SIZE"]

HEADER_SIZE = 32
RECORD_MARKER = b"\x7a" * 8
SBLOCK_MARKER = b"\x5a" * 8
_HEADER = struct.Struct("<8s8sIIBBH4s")

try:  # NumPy is optional
    import numpy
except ImportError:  # pragma: no cover - depends on the machine
    numpy = None


class RecordError(ValueError):
    """The file stops being a sequence of whole records at `offset`."""

    def __init__(self, offset, reason):
        super().__init__("offset %d (0x%X): %s" % (offset, offset, reason))
        self.offset = offset
        self.reason = reason


def _map(path):
    with open(path, "rb") as f:
        try:
            return mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        except ValueError:  # an empty file cannot be mapped
            return b""


def _follows_a_record(view, offset):
    return offset == len(view) or bytes(view[offset:offset + 8]) in (RECORD_MARKER, SBLOCK_MARKER)


def iter_records(path):
    """Yields (name, source, tag, offset, data) for every record of the file, in file order.

    name is a str (up to 8 characters), source and tag are the source id and tag bytes, offset
    is the position of the record header and data a read-only memoryview of the record's data
    (it keeps the file mapped while it lives). Raises RecordError where the file stops being whole
    records: a bare record written with /onlydsp, a cut record at the end, or damage.
    """
    # The map stays open while any yielded view of it lives.
    view = memoryview(_map(path))
    size = len(view)
    offset = 0
    while offset < size:
        head = bytes(view[offset:offset + HEADER_SIZE])
        if head[:8] == SBLOCK_MARKER:
            raise RecordError(offset, "bare record: S-Block data without a record header "
                                      "(written with /onlydsp)")
        if len(head) < HEADER_SIZE:
            if RECORD_MARKER.startswith(head[:8]):
                raise RecordError(offset, "cut record header")
            raise RecordError(offset, "damage: no record marker")
        marker, name, end, length, source, tag, _, _ = _HEADER.unpack(head)
        if marker != RECORD_MARKER:
            raise RecordError(offset, "damage: no record marker")
        start = offset + HEADER_SIZE
        following = start + length
        # The end field is 32 bits: it wraps in files above 4 GiB.
        if end != (offset + length + 4) & 0xFFFFFFFF:
            if following > size or not _follows_a_record(view, following):
                raise RecordError(offset, "damage: length %d does not agree with the end field"
                                  % length)
        elif following > size:
            raise RecordError(offset, "cut record: %d bytes, the file ends %d bytes into them"
                              % (length, size - start))
        yield (name.split(b"\0", 1)[0].decode("latin-1"), source, tag, offset,
               view[start:following])
        offset = following


_ARRAY_CODES = {"u1": "B", "i1": "b", "i2": "h", "u2": "H", "i4": "i", "u4": "I", "f4": "f", "f8": "d"}


def read_flow(path, name, dtype=None, source=None):
    """Answers the data of every record of flow `name` (and of `source`, when given).

    With NumPy: a 2-D array of shape (records, values) of `dtype` (default uint8, always
    little-endian, e.g. "<i2", "u2", numpy.float32); every record must then have the same
    length, else ValueError. Without NumPy: a list with one bytes object per record, or with
    `dtype` ("u1", "i2", "u2", "i4", "u4", "f4") one array.array per record.
    """
    chunks = [bytes(data) for n, s, _, _, data in iter_records(path)
              if n == name and (source is None or s == source)]
    if numpy is not None:
        kind = numpy.dtype(dtype if dtype is not None else numpy.uint8).newbyteorder("<")
        lengths = {len(c) for c in chunks}
        if len(lengths) > 1:
            raise ValueError("records of %s have unequal lengths %s; use iter_records"
                             % (name, sorted(lengths)))
        width = lengths.pop() if lengths else 0
        if width % kind.itemsize:
            raise ValueError("records of %s have %d bytes, not a whole number of %s values"
                             % (name, width, kind))
        flat = numpy.frombuffer(b"".join(chunks), dtype=kind)
        return flat.reshape(len(chunks), width // kind.itemsize)
    if dtype is None:
        return chunks
    import array
    code = _ARRAY_CODES[str(dtype).lstrip("<|")]
    out = []
    for chunk in chunks:
        values = array.array(code)
        if len(chunk) % values.itemsize:
            raise ValueError("a record of %s has %d bytes, not a whole number of %s values"
                             % (name, len(chunk), dtype))
        values.frombytes(chunk)
        if sys.byteorder == "big":
            values.byteswap()
        out.append(values)
    return out


if __name__ == "__main__":  # a tiny listing, for a first look
    for record in iter_records(sys.argv[1]):
        print("%-8s 0x%02X 0x%02X %12d %10d" % (record[0], record[1], record[2], record[3],
                                                len(record[4])))
