"""Workbooks written record by record, for what xlwt cannot write: cached formula
results, cells out of order or written twice, records that xlwt never writes, and
compound files laid out (or damaged) as a test needs."""

import struct

END_OF_CHAIN, FREE, TABLE_SECTOR, LIST_SECTOR = 0xFFFFFFFE, 0xFFFFFFFF, 0xFFFFFFFD, 0xFFFFFFFC
NO_ENTRY = 0xFFFFFFFF
SIGNATURE = b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"
XF = 0  # the cell format of every cell written here: the one xlrd knows without XF records


def record(kind, data=b""):
    return struct.pack("<HH", kind, len(data)) + data


def bof(stream_type):
    return record(0x0809, struct.pack("<HHHHII", 0x0600, stream_type, 0x0DBB, 0x07CC, 0, 6))


EOF = record(0x000A)


def characters(text, wide):
    """(flag byte, bytes) of `text` as BIFF8 writes it: one byte per character or UTF-16."""
    if wide:
        return b"\x01", text.encode("utf-16-le")
    return b"\x00", text.encode("latin-1")


def units(text):
    return len(text.encode("utf-16-le")) // 2


def is_narrow(text):
    return all(ord(c) < 256 for c in text)


# --- cells -------------------------------------------------------------------

def number(row, col, value):
    return record(0x0203, struct.pack("<HHHd", row, col, XF, value))


def rk(row, col, value):
    return record(0x027E, struct.pack("<HHHI", row, col, XF, value))


def mulrk(row, first, values):
    body = b"".join(struct.pack("<HI", XF, value) for value in values)
    return record(0x00BD, struct.pack("<HH", row, first) + body
                  + struct.pack("<H", first + len(values) - 1))


def label(row, col, text, wide=False):
    flag, chars = characters(text, wide)
    return record(0x0204, struct.pack("<HHHH", row, col, XF, units(text)) + flag + chars)


def rich_label(row, col, text, wide=False, runs=1):
    flag, chars = characters(text, wide)
    return record(0x00D6, struct.pack("<HHHH", row, col, XF, units(text)) + flag + chars
                  + struct.pack("<H", runs) + b"\x00\x00\x00\x00" * runs)


def shared_label(row, col, index):
    return record(0x00FD, struct.pack("<HHHI", row, col, XF, index))


def bool_or_error(row, col, value, is_error):
    return record(0x0205, struct.pack("<HHHBB", row, col, XF, value, is_error))


def formula(row, col, result):
    """A FORMULA record caching `result`: 8 bytes, or a (kind, byte) pair for
    the special results (0 text, 1 boolean, 2 error, 3 empty text)."""
    if isinstance(result, tuple):
        kind, value = result
        result = struct.pack("<BBBxxxH", kind, 0, value, 0xFFFF)
    # The formula itself: one token that pushes the integer 1.
    return record(0x0006, struct.pack("<HHH8sHI", row, col, XF, result, 0, 0)
                  + struct.pack("<H", 3) + b"\x1e\x01\x00")


def formula_text(row, col, text, wide=False, split=None):
    """A formula with a text result: FORMULA, then STRING, its text going on
    in a CONTINUE record after `split` characters when asked."""
    flag, chars = characters(text, wide)
    at = len(chars) if split is None else split * (2 if wide else 1)
    written = formula(row, col, (0, 0)) + record(0x0207, struct.pack("<H", units(text)) + flag
                                                 + chars[:at])
    return written if split is None else written + record(0x003C, flag + chars[at:])


def blank(row, col):
    return record(0x0201, struct.pack("<HHH", row, col, XF))


def dimensions(rows=0, cols=0):
    return record(0x0200, struct.pack("<IIHHH", 0, rows, 0, cols, 0))


def chart(cells=b""):
    """A chart embedded in a worksheet: a substream whose cells are not the sheet's."""
    return bof(0x0020) + cells + EOF


# --- workbook streams ----------------------------------------------------------

def shared_strings(strings, piece=8224):
    """SST and CONTINUE records holding `strings`, a record taking at most `piece`
    bytes; a string's characters go on in the next record. A string is (text,
    wide), or (text, wide, runs, phonetic) with that many rich-text runs and bytes
    of phonetic data after its characters (a run is never split, as xlrd needs)."""
    pieces, current = [], bytearray(struct.pack("<II", len(strings), len(strings)))

    def room():
        return piece - len(current)

    def next_piece():
        nonlocal current
        pieces.append(bytes(current))
        current = bytearray()

    for item in strings:
        text, wide, runs, phonetic = tuple(item) + (0, 0) if len(item) == 2 else item
        flag, chars = characters(text, wide)
        options = flag[0] | (0x08 if runs else 0) | (0x04 if phonetic else 0)
        header = (struct.pack("<HB", units(text), options) + struct.pack("<H", runs) * bool(runs)
                  + struct.pack("<I", phonetic) * bool(phonetic))
        if room() < len(header) + 1:
            next_piece()
        current += header
        size = 2 if wide else 1
        while chars:
            fit = room() // size * size
            if fit == 0:
                next_piece()
                current += flag
                continue
            current += chars[:fit]
            chars = chars[fit:]
        for run in range(runs):
            if room() < 4:
                next_piece()
            current += struct.pack("<HH", run, 0)
        extra = phonetic
        while extra:
            if room() == 0:
                next_piece()
            fit = min(room(), extra)
            current += bytes(fit)
            extra -= fit
    pieces.append(bytes(current))
    return record(0x00FC, pieces[0]) + b"".join(record(0x003C, p) for p in pieces[1:])


def boundsheet(offset, name, kind=0):
    flag, chars = characters(name, not is_narrow(name))
    return record(0x0085, struct.pack("<IBBB", offset, 0, kind, len(name)) + flag + chars)


def workbook_stream(sheets, strings=(), globals_records=b"", piece=8224):
    """The workbook stream: globals (BOUNDSHEET per sheet, SST), then each sheet.

    `sheets` holds (name, kind, records between the sheet's BOF and EOF); kind 0
    is a worksheet, 2 a chart."""
    table = shared_strings(list(strings), piece) if strings else b""
    head = bof(0x0005) + globals_records
    size = (len(head) + sum(len(boundsheet(0, name)) for name, _, _ in sheets)
            + len(table) + len(EOF))
    offsets, bodies = [], []
    for name, kind, body in sheets:
        offsets.append(size)
        bodies.append(bof(0x0010 if kind == 0 else 0x0020) + body + EOF)
        size += len(bodies[-1])
    listing = b"".join(boundsheet(offset, name, kind)
                       for offset, (name, kind, _) in zip(offsets, sheets))
    return head + listing + table + EOF + b"".join(bodies)


# --- compound files --------------------------------------------------------------

class CompoundFile:
    """A compound file holding named streams, with where everything went.

    Streams shorter than `cutoff` live in the mini stream. `order` permutes the
    sectors (streams then run in pieces over the file). The directory is the
    root entry, then one entry per stream, each the right sibling of the one
    before."""

    def __init__(self, streams, shift=9, cutoff=4096, order=None):
        self.sector = 1 << shift
        self.names = list(streams)
        mini, mini_table = self._mini_stream(streams, cutoff)
        directory_size = -(-(len(self.names) + 1) * 128 // self.sector) * self.sector
        blobs = [(name, streams[name]) for name in self.names if name not in self.mini_start]
        blobs += [("<root>", mini), ("<mini table>", mini_table),
                  ("<directory>", bytes(directory_size))]
        lists = self._place(blobs, order)
        sectors = [bytes(self.sector)] * self.sector_count
        for name, data in blobs[:-1] + [("<directory>", self._directory(streams, len(mini)))]:
            for i, slot in enumerate(self.chains[name]):
                piece = data[i * self.sector:(i + 1) * self.sector]
                sectors[slot] = piece.ljust(self.sector, b"\0")
        per = self.sector // 4
        for i, slot in enumerate(self.table_sectors):
            sectors[slot] = struct.pack("<%dI" % per, *self.fat[i * per:(i + 1) * per])
        listed = self.table_sectors[109:]
        for i, slot in enumerate(lists):
            part = listed[i * (per - 1):(i + 1) * (per - 1)]
            following = lists[i + 1] if i + 1 < len(lists) else END_OF_CHAIN
            part += [FREE] * (per - 1 - len(part)) + [following]
            sectors[slot] = struct.pack("<%dI" % per, *part)
        head = self.table_sectors[:109]
        header = struct.pack(
            "<8s16sHHHHH6sIIIIIIIII", SIGNATURE, bytes(16), 0x3E, 3 if shift == 9 else 4, 0xFFFE,
            shift, 6, bytes(6), 0, len(self.table_sectors), self.chains["<directory>"][0], 0,
            cutoff, self.chains["<mini table>"][0] if mini_table else END_OF_CHAIN,
            len(self.chains["<mini table>"]), lists[0] if lists else END_OF_CHAIN, len(lists),
        ) + struct.pack("<109I", *(head + [FREE] * (109 - len(head))))
        self.data = bytearray(header.ljust(self.sector, b"\0") + b"".join(sectors))

    def _mini_stream(self, streams, cutoff):
        """(mini stream, mini sector table) of the streams shorter than `cutoff`."""
        mini, table, self.mini_start = bytearray(), [], {}
        for name in self.names:
            data = streams[name]
            if len(data) >= cutoff:
                continue
            count = -(-len(data) // 64)
            first = len(mini) // 64
            self.mini_start[name] = first if count else END_OF_CHAIN
            table += [first + i + 1 for i in range(count - 1)] + [END_OF_CHAIN] * bool(count)
            mini += data.ljust(count * 64, b"\0")
        return bytes(mini), struct.pack("<%dI" % len(table), *table)

    def _place(self, blobs, order):
        """Give each blob its chain of sectors and the sector table its own, then
        the sectors of the table's list; return those."""
        per = self.sector // 4
        content = sum(-(-len(data) // self.sector) for _, data in blobs)
        tables = lists = 0
        while tables * per < content + tables + lists:
            tables += 1
            lists = max(0, -(-(tables - 109) // (per - 1)))
        self.sector_count = content + tables + lists
        slots = list(range(self.sector_count))
        slots = list(order(slots)) if order else slots
        self.fat = [FREE] * (tables * per)
        self.chains, at = {}, 0
        for name, data in blobs:
            count = -(-len(data) // self.sector)
            self.chains[name] = chain = slots[at:at + count]
            at += count
            for here, there in zip(chain, chain[1:] + [END_OF_CHAIN]):
                self.fat[here] = there
        self.table_sectors, lists = slots[at:at + tables], slots[at + tables:]
        for slot in self.table_sectors:
            self.fat[slot] = TABLE_SECTOR
        for slot in lists:
            self.fat[slot] = LIST_SECTOR
        return lists

    def _directory(self, streams, mini_size):
        root = self.chains["<root>"]
        out = self._entry("Root Entry", 5, NO_ENTRY, 1 if self.names else NO_ENTRY,
                          root[0] if root else END_OF_CHAIN, mini_size)
        for index, name in enumerate(self.names, 1):
            first = self.mini_start.get(name)
            if first is None:
                first = self.chains[name][0] if self.chains[name] else END_OF_CHAIN
            right = index + 1 if index < len(self.names) else NO_ENTRY
            out += self._entry(name, 2, right, NO_ENTRY, first, len(streams[name]))
        return out

    @staticmethod
    def _entry(name, kind, right, child, first, size):
        encoded = (name + "\0").encode("utf-16-le")
        return struct.pack("<64sHBBIII16sIQQIII", encoded, len(encoded), kind, 1, NO_ENTRY,
                           right, child, bytes(16), 0, 0, 0, first, size, 0)

    def sector_offset(self, slot):
        return (slot + 1) * self.sector

    def table_entry_offset(self, slot):
        """Where the sector table's entry for sector `slot` lies in the file."""
        per = self.sector // 4
        return self.sector_offset(self.table_sectors[slot // per]) + 4 * (slot % per)

    def entry_offset(self, index):
        per = self.sector // 128
        return self.sector_offset(self.chains["<directory>"][index // per]) + 128 * (index % per)

    def patch(self, offset, fmt, *values):
        struct.pack_into(fmt, self.data, offset, *values)


def write_xls(path, sheets, strings=(), streams=None, **layout):
    """Write a workbook of `sheets` (see workbook_stream) as the stream "Workbook" of a
    compound file (with `streams` beside it); return the CompoundFile."""
    contents = {"Workbook": workbook_stream(sheets, strings)}
    contents.update(streams or {})
    written = CompoundFile(contents, **layout)
    path.write_bytes(bytes(written.data))
    return written
