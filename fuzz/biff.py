"""Workbook streams written as plain fuzz inputs, and back.

A compound file is no input for a mutating fuzzer: its chains and sizes make
nearly every change a damaged container, refused before any record is read;
and in the workbook stream itself a record's length and the offsets of the
sheets (BOUNDSHEET) turn most changes into records that run off their stream.
The `biff` harness takes a byte that chooses the layout, then the records:

    layout byte, type (2 bytes, little-endian) and body, SEPARATOR, type and body, ...

and writes them as the stream "Workbook" of a valid compound file
(tests/xls_records.py), each record as long as its body, each BOUNDSHEET that
points at no BOF record pointed at the worksheet of its turn, so that
mutations land in the records themselves: the globals, the shared strings and
their CONTINUE records, the cells. The layout byte chooses 512- or 4096-byte
sectors, the mini stream for small streams or not, the order of the sectors,
and another stream before the workbook's.
"""
import pathlib
import random
import struct
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
import xls_records as xr  # noqa: E402

SEPARATOR = b"\n\xfe\xffREC\xff\xfe\n"
BOF_TYPES = (0x0809, 0x0409, 0x0209, 0x0009)
EOF_TYPE, BOUNDSHEET_TYPE = 0x000A, 0x0085

CUTOFFS = (4096, 0, 0x7FFFFFFF, 4096)  # the mini stream's cutoff: also all in it, or none


def shuffled(sectors):
    sectors = list(sectors)
    random.Random(len(sectors)).shuffle(sectors)
    return sectors


ORDERS = (None, lambda sectors: list(reversed(sectors)), shuffled, None)


def parse(data):
    """(layout byte, [(type, body)]) of a fuzz input; a piece shorter than a type is
    left out, a body longer than a record holds is cut."""
    layout, rest = (data[0], data[1:]) if data else (0, b"")
    records = [(struct.unpack_from("<H", piece)[0], piece[2:2 + 0xFFFF])
               for piece in rest.split(SEPARATOR) if len(piece) >= 2]
    return layout, records


def unparse(layout, records):
    """The fuzz input of a layout byte and [(type, body)]."""
    return bytes([layout]) + SEPARATOR.join(struct.pack("<H", kind) + body
                                            for kind, body in records)


def records_of(stream):
    """[(type, body)] of a workbook stream, up to where it ends or a record runs past it."""
    records, at = [], 0
    while at + 4 <= len(stream):
        kind, length = struct.unpack_from("<HH", stream, at)
        if at + 4 + length > len(stream):
            break
        records.append((kind, stream[at + 4:at + 4 + length]))
        at += 4 + length
    return records


def stream(records):
    """The workbook stream of [(type, body)], each BOUNDSHEET that points at no BOF
    record given the offset of the worksheet substream of its turn (the substreams
    after the first that start outside any other)."""
    offsets, at = [], 0
    for kind, body in records:
        offsets.append(at)
        at += 4 + len(body)
    bofs = {offset for offset, (kind, _) in zip(offsets, records) if kind in BOF_TYPES}
    starts, depth = [], 0
    for offset, (kind, _) in zip(offsets, records):
        if kind in BOF_TYPES:
            if depth == 0:
                starts.append(offset)
            depth += 1
        elif kind == EOF_TYPE:
            depth = max(0, depth - 1)
    sheets = iter(starts[1:])
    out = []
    for kind, body in records:
        if kind == BOUNDSHEET_TYPE and len(body) >= 4:
            start = next(sheets, None)
            if struct.unpack_from("<I", body)[0] not in bofs and start is not None:
                body = struct.pack("<I", start) + body[4:]
        out.append(struct.pack("<HH", kind, len(body)) + body)
    return b"".join(out)


def compound_files(data):
    """(the compound file that a fuzz input describes, the same workbook stream in the
    layout xlrd reads: 512-byte sectors)."""
    layout, records = parse(data)
    workbook = stream(records)
    streams = {"Other": b"x" * 5000} if layout & 0x20 else {}
    streams["Workbook"] = workbook
    chosen = xr.CompoundFile(streams, shift=12 if layout & 0x01 else 9,
                             cutoff=CUTOFFS[layout >> 1 & 3], order=ORDERS[layout >> 3 & 3])
    oracle = xr.CompoundFile({"Workbook": workbook}) if layout & 0x01 else chosen
    return bytes(chosen.data), bytes(oracle.data)


def template():
    """A small workbook stream with every kind of record the reader reads: shared
    strings over CONTINUE records (compressed, UTF-16, rich, phonetic), cells of every
    type, a formula's text in STRING and CONTINUE records, an embedded chart, a chart
    sheet, and a worksheet with a cell in the last row and column."""
    strings = [("name", False), ("qty \u00e9", False), ("wide \u4e2d", True),
               ("rich", False, 2, 0), ("phonetic", True, 0, 6), ("", False)]
    cells = b"".join([
        xr.dimensions(3, 6),
        xr.shared_label(0, 0, 0), xr.shared_label(0, 1, 1),
        xr.label(0, 2, "when \U0001F600", wide=True), xr.rich_label(0, 3, "t\u00eate", wide=True),
        xr.shared_label(0, 4, 2),
        xr.number(1, 0, 4.5), xr.rk(1, 1, (4500 << 2) | 3),  # 45.00, an integer / 100
        xr.mulrk(1, 2, [0x3FF00000, 7 << 2 | 2]),  # 1.0 as a double's high word, 7
        xr.bool_or_error(1, 4, 1, 0), xr.bool_or_error(1, 5, 0x2A, 1),
        xr.formula(2, 0, struct.pack("<d", -0.5)), xr.formula(2, 1, (1, 1)),
        xr.formula(2, 2, (2, 7)), xr.formula(2, 3, (3, 0)),
        xr.formula_text(2, 4, "f\u00e9", wide=True, split=1),
        xr.shared_label(3, 0, 3), xr.shared_label(3, 1, 4), xr.shared_label(3, 2, 5),
        xr.blank(3, 3), xr.chart(xr.number(9, 9, 1.0)),
    ])
    corner = xr.label(0, 0, "top") + xr.number(65535, 255, 7.0)
    sheets = [("Data", 0, cells), ("Chart", 2, b""), ("Bob's & more", 0, corner)]
    return xr.workbook_stream(sheets, strings, piece=40)
