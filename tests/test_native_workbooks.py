"""The native workbook scanner against openpyxl, the oracle: real workbooks of the
corpus, workbooks written here with hypothesis, and hostile archives; .xlsb
files against pyxlsb and their .xlsx twins."""

import datetime
import gc
import importlib
import io
import os
import re
import struct
import subprocess
import sys
import time
import weakref
import zipfile

import pytest

from veltrane.corvalest.datareader import excelsource
from veltrane.corvalest.excelutils import (
    Area,
    formatRangeDesignation,
    parseRangeDesignation,
    quoteSheetName,
)
from conftest import BENCHMARKS, corpus_root, load_benchmark
from launcher import python_command
from test_workbooks import CORPUS
from workbook_helpers import write_xlsx

pytest.importorskip("openpyxl")
sheetscan = pytest.importorskip("veltrane.corvalest.datareader._sheetscan")

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

# Corpus files that only the native scanner reads, and why openpyxl refuses them.
OPENPYXL_REFUSES = {
    "strict_iso_paths.xlsx": "strict OOXML: openpyxl finds no sheet",
    "issue_419.xlsx":
        "its relationship names sharedStrings.xml, the archive holds SharedStrings.xml",
    "issue_530.xlsx": "member names written with backslashes",
}


def outcome(call):
    """Return ("ok", result) or ("error", exception type name) of call()."""
    try:
        return "ok", call()
    except ValueError as err:
        return "error", type(err).__name__


def native_analyse(path, arange):
    sheet, area = parseRangeDesignation(arange)
    scan = excelsource._native_scan(path, sheet, area)
    return excelsource._range_layout("xlsx", scan, area)


def oracle_analyse(path, arange):
    sheet, area = parseRangeDesignation(arange)
    return excelsource._analyse_read(path, "xlsx", sheet, area)


def designations_to_check(ranges, path):
    """Each range, its sheet alone, and the range grown by a row and a column around."""
    for arange in ranges:
        yield arange
        sheet, area = parseRangeDesignation(arange)
        yield quoteSheetName(sheet)
        grown = Area(max(1, area.first_row - 1), max(1, area.first_column - 1),
                     area.last_row + 1, area.last_column + 1)
        yield formatRangeDesignation(sheet, grown)
        inner = Area(area.first_row + 1, area.first_column, area.last_row, area.first_column)
        if inner.first_row <= inner.last_row:
            yield formatRangeDesignation(sheet, inner)


def assert_native_agrees(path):
    """Native and openpyxl give the same ranges and analyses; returns the verdict."""
    try:
        ranges = excelsource._native_ranges(path)
    except sheetscan.Unreadable:
        return "refused"  # openpyxl reads it instead: nothing to compare
    expected = outcome(lambda: excelsource._getranges_read(path, "xlsx"))
    if expected[0] == "error":
        return "only native"
    assert ranges == expected[1]
    kept = excelsource._recent_analyses
    for arange in designations_to_check(ranges, path):
        expected = oracle_analyse(path, arange)
        excelsource._recent_analyses = kept  # answered from the getranges pass where it can
        assert native_analyse(path, arange) == expected, arange
        excelsource._recent_analyses = None  # a pass of its own
        assert native_analyse(path, arange) == expected, arange
    return "agree"


XLSX_CORPUS = [p for p in CORPUS if p.values[0] is None or p.values[0].endswith((".xlsx", ".xlsm"))]


@pytest.mark.parametrize("path", XLSX_CORPUS)
def test_corpus_agrees_with_openpyxl(path):
    verdict = assert_native_agrees(path)
    name = os.path.basename(path)
    assert (verdict == "only native") == (name in OPENPYXL_REFUSES), verdict


def answer(getranges, analyse, path):
    """The ranges and the analysis of each, or "WorkbookError"."""
    try:
        ranges = getranges(path, "xlsx")
        return ranges, [analyse(path, arange) for arange in ranges]
    except excelsource.WorkbookError:
        return "WorkbookError"


QUIRKS_ROOT = corpus_root().parent / "quirks"
QUIRKS = [pytest.param(str(p), id=str(p.relative_to(QUIRKS_ROOT)))
          for p in sorted(QUIRKS_ROOT.rglob("*")) if p.suffix in (".xlsx", ".xlsm")]


@pytest.mark.parametrize("path", QUIRKS or [pytest.param(
    None, marks=pytest.mark.skip(reason="no workbooks under %s" % QUIRKS_ROOT))])
def test_packages_naming_parts_two_ways_are_answered_as_openpyxl_alone(path):
    """Parts found through relationships and through content types or fixed names
    disagree, sections repeat, a number is longer than the scanner keeps: the answer is
    openpyxl's own."""
    def public_analyse(path, arange):
        return excelsource.analyseRangeData(path, "xlsx", arange)

    assert answer(excelsource.getranges, public_analyse, path) == answer(
        excelsource._getranges_read, oracle_analyse, path)


# --- workbooks written by openpyxl, then rewritten the ways other programs write them

NAMES = st.sampled_from(["Sheet1", "Data", "My data", "Bob's", "2019-20", "x"])
VALUES = st.one_of(
    st.none(),
    st.just(""),
    st.text(alphabet="ab _x005F", max_size=6),
    st.integers(-10**6, 10**6),
    st.floats(allow_nan=False, allow_infinity=False, width=32),
    st.booleans(),
    st.datetimes(min_value=datetime.datetime(1900, 3, 1), max_value=datetime.datetime(2100, 1, 1)),
    st.sampled_from(["=1+1", "=SUM(A1:A2)", 45000.5, 60, 0.25]),
)
SHEETS = st.lists(
    st.tuples(
        st.lists(st.lists(VALUES, max_size=5), max_size=8),
        st.integers(0, 3),  # first row offset
        st.integers(0, 3),  # first column offset
        st.sampled_from([None, "yyyy-mm-dd", "0.00", "[h]:mm", "d-mmm"]),
    ),
    min_size=1,
    max_size=3,
)
REWRITES = st.fixed_dictionaries({
    "shared": st.booleans(),
    "cached": st.booleans(),
    "drop_cell_refs": st.booleans(),
    "drop_row_refs": st.booleans(),
})


def write_generated(path, names, sheets):
    import openpyxl

    workbook = openpyxl.Workbook()
    workbook.remove(workbook.active)
    for index, (rows, row_offset, column_offset, number_format) in enumerate(sheets):
        sheet = workbook.create_sheet("%s%d" % (names, index) if index else names)
        for r, row in enumerate(rows):
            for c, value in enumerate(row):
                if value is None:
                    continue
                cell = sheet.cell(row=r + 1 + row_offset, column=c + 1 + column_offset, value=value)
                numeric = isinstance(value, (int, float)) and not isinstance(value, bool)
                if number_format and numeric:
                    cell.number_format = number_format
    workbook.save(str(path))


INLINE = re.compile(r'<c r="([A-Z]+[0-9]+)"([^>]*?) t="inlineStr"><is><t>([^<]*)</t></is></c>')
SST_TYPE = "application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml"
SST_REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/sharedStrings"


def rewrite(path, rewrites):
    """Rewrite the sheets of the .xlsx at `path` (openpyxl writes inline strings) as
    other writers lay them out: shared strings, cached formula values, no references."""
    with zipfile.ZipFile(str(path)) as archive:
        members = [(info, archive.read(info).decode()) for info in archive.infolist()]
    strings = []

    def shared(match):
        strings.append(match.group(3))
        return '<c r="%s"%s t="s"><v>%d</v></c>' % (
            match.group(1), match.group(2), len(strings) - 1)

    def sheet_xml(xml):
        if rewrites["shared"]:
            xml = INLINE.sub(shared, xml)
        if rewrites["cached"]:
            xml = re.sub(r"(<f>[^<]*</f>)<v\s*/>", r"\g<1><v>2</v>", xml)
            xml = re.sub(r"(<f>[^<]*</f>)<v></v>", r"\g<1><v>2</v>", xml)
        if rewrites["drop_cell_refs"]:
            xml = re.sub(r'<c r="[A-Z]+[0-9]+"', "<c", xml)
        if rewrites["drop_row_refs"]:
            xml = re.sub(r'<row r="[0-9]+"', "<row", xml)
        return xml

    members = [(info, sheet_xml(data) if info.filename.startswith("xl/worksheets/sheet") else data)
               for info, data in members]
    with zipfile.ZipFile(str(path), "w", zipfile.ZIP_DEFLATED) as archive:
        for info, data in members:
            if strings and info.filename == "[Content_Types].xml":
                data = data.replace("</Types>", '<Override PartName="/xl/sharedStrings.xml" '
                                    'ContentType="%s"/></Types>' % SST_TYPE)
            elif strings and info.filename == "xl/_rels/workbook.xml.rels":
                data = data.replace("</Relationships>", '<Relationship Id="rIdS" Type="%s" '
                                    'Target="sharedStrings.xml"/></Relationships>' % SST_REL)
            archive.writestr(info, data)
        if strings:
            table = "".join("<si><t>%s</t></si>" % text for text in strings)
            archive.writestr("xl/sharedStrings.xml", '<sst xmlns="http://schemas.openxmlformats.org'
                             '/spreadsheetml/2006/main">%s</sst>' % table)


@settings(max_examples=int(os.environ.get("FILEINSPECT_FUZZ_EXAMPLES", 60)), deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(names=NAMES, sheets=SHEETS, rewrites=REWRITES)
def test_generated_workbooks_agree_with_openpyxl(tmp_path, names, sheets, rewrites):
    path = tmp_path / "generated.xlsx"
    write_generated(path, names, sheets)
    rewrite(path, rewrites)
    assert assert_native_agrees(str(path)) == "agree"


# --- hostile and damaged archives

def small_book(tmp_path, rows=(("name", "qty"), ("bolt", 4), ("nut", 5))):
    return write_xlsx(tmp_path / "book.xlsx", [("S", "A1", [list(r) for r in rows])])


def damaged_versions(data):
    """(label, bytes) of ways to damage the archive `data`."""
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        sheet = archive.getinfo("xl/worksheets/sheet1.xml")
    start = sheet.header_offset + 30 + len(sheet.filename.encode()) + len(sheet.extra)
    flipped = bytearray(data)
    flipped[start + sheet.compress_size // 2] ^= 0x55
    yield "truncated", data[: len(data) // 2]
    yield "flipped deflate byte", bytes(flipped)
    for label, offset in (("crc", 16), ("size", 24), ("compressed size", 20), ("offset", 42)):
        changed = bytearray(data)
        for at in [m.start() for m in re.finditer(b"PK\x01\x02", data)]:
            name_length = int.from_bytes(data[at + 28:at + 30], "little")
            if data[at + 46:at + 46 + name_length] == sheet.filename.encode():
                changed[at + offset] ^= 0x40
        yield "central " + label, bytes(changed)


def test_damaged_archives_raise_workbook_error(tmp_path):
    """Damage is refused at once: the file is handed to no other reader."""
    path = small_book(tmp_path)
    for label, data in damaged_versions(path.read_bytes()):
        path.write_bytes(data)
        for call in (lambda: excelsource.getranges(path, "xlsx"),
                     lambda: excelsource.analyseRangeData(path, "xlsx", "S")):
            with pytest.raises(excelsource.WorkbookError) as raised:
                call()
            assert isinstance(raised.value.__cause__, sheetscan.Rejected), label
            assert "book.xlsx" in str(raised.value) and "native scanner" in str(raised.value)


def with_zip64_sheet(data, declared):
    """The archive `data` with its worksheet's size declared `declared` in a zip64 field."""
    end = data.rindex(b"PK\x05\x06")
    size, offset = struct.unpack_from("<II", data, end + 12)
    directory, at = bytearray(), offset
    while at < offset + size:
        name_length, extra_length, comment_length = struct.unpack_from("<HHH", data, at + 28)
        header = bytearray(data[at:at + 46 + name_length + extra_length + comment_length])
        if header[46:46 + name_length] == b"xl/worksheets/sheet1.xml":
            struct.pack_into("<I", header, 24, 0xFFFFFFFF)
            struct.pack_into("<H", header, 30, extra_length + 12)
            header[46 + name_length:46 + name_length] = struct.pack("<HHQ", 1, 8, declared)
        directory += header
        at += 46 + name_length + extra_length + comment_length
    tail = bytearray(data[end:])
    struct.pack_into("<I", tail, 12, len(directory))
    return data[:offset] + bytes(directory) + bytes(tail)


def test_zip64_members_are_left_to_openpyxl_within_the_budget(tmp_path):
    path = small_book(tmp_path)
    with zipfile.ZipFile(path) as archive:
        size = archive.getinfo("xl/worksheets/sheet1.xml").file_size
    data = path.read_bytes()
    path.write_bytes(with_zip64_sheet(data, size))
    assert excelsource.getranges(path, "xlsx") == ["S!A1:B3"]  # openpyxl's answer
    path.write_bytes(with_zip64_sheet(data, 1 << 40))
    with pytest.raises(excelsource.WorkbookError, match="declare .* bytes") as raised:
        excelsource.getranges(path, "xlsx")
    assert isinstance(raised.value.__cause__, sheetscan.Rejected)


# kind of hostile workbook, its size, and the refusal it meets (None: openpyxl's answer).
HOSTILE = [
    ("wide_row", 16385, "beyond XFD1048576"),
    ("long_string", 4 * 32767 + 1, None),  # longer than the scanner keeps: left to openpyxl
    ("long_string", 65 << 20, "declare .* bytes, more than"),  # ... unless too large to hand over
    ("cell_formats", 65537, "more than 65536 cell formats"),
    ("empty_strings", (1 << 24) + 1, "more than 16777216 entries"),
    ("sheets", 3, None),
    ("long_tag", 17 << 20, "a tag or comment longer than 16777216 bytes"),
]


@pytest.mark.parametrize("kind, size, refusal", HOSTILE)
def test_hostile_workbooks_within_the_limits(tmp_path, kind, size, refusal):
    hostile = load_benchmark(BENCHMARKS / "hostile.py", "hostile_workbooks")
    if hostile is None:
        pytest.skip("no benchmarks/hostile.py next to the tests")
    path = tmp_path / "hostile.xlsx"
    hostile.write_hostile(kind, str(path), size)
    if refusal is None:
        ranges = excelsource.getranges(path, "xlsx")
        assert ranges == excelsource._getranges_read(path, "xlsx")
        assert [excelsource.analyseRangeData(path, "xlsx", r) for r in ranges] == [
            oracle_analyse(path, r) for r in ranges]
        return
    for call in (lambda: excelsource.getranges(path, "xlsx"),
                 lambda: excelsource.analyseRangeData(path, "xlsx", "S1")):
        with pytest.raises(excelsource.WorkbookError, match=refusal) as raised:
            call()
        assert isinstance(raised.value.__cause__, sheetscan.Rejected)


def test_a_failing_read_is_not_taken_for_a_damaged_file(tmp_path):
    """Only an archive that ends early is refused; a read that fails raises OSError."""
    path = small_book(tmp_path)
    reader, writer = os.pipe()
    fd = os.open(str(path), os.O_RDONLY)

    def choose(names):
        os.dup2(reader, fd)  # from now on every read of `fd` fails (ESPIPE)
        return 0

    try:
        with pytest.raises(OSError):
            sheetscan.analyse(fd, choose, None, 20)
    finally:
        for descriptor in (fd, reader, writer):
            os.close(descriptor)


def test_each_import_of_the_scanner_has_state_of_its_own(tmp_path, monkeypatch):
    good = str(small_book(tmp_path))
    bad = tmp_path / "bad.xlsx"
    bad.write_bytes(open(good, "rb").read()[:-200])
    # Both are put back by monkeypatch.undo(): the import replaces the package's attribute.
    monkeypatch.setattr(sys.modules["veltrane.corvalest.datareader"], "_sheetscan", sheetscan)
    monkeypatch.delitem(sys.modules, sheetscan.__name__)
    fresh = importlib.import_module(sheetscan.__name__)
    assert fresh is not sheetscan and fresh.Unreadable is not sheetscan.Unreadable

    def answers(module):
        assert issubclass(module.Unreadable, ValueError)
        assert module.Unreadable.__module__ + "." + module.Unreadable.__qualname__ == (
            "veltrane.corvalest.datareader._sheetscan.Unreadable")
        with open(str(bad), "rb") as stream, pytest.raises(module.Unreadable):
            module.ranges(stream.fileno(), 20)
        with open(good, "rb") as stream:
            return module.ranges(stream.fileno(), 20)

    expected = answers(sheetscan)
    assert answers(fresh) == expected
    fresh = weakref.ref(fresh)
    monkeypatch.undo()
    gc.collect()
    assert fresh() is None  # the second module and its state are gone; the first works on
    assert answers(sheetscan) == expected


@pytest.mark.parametrize(
    "change",
    [
        lambda xml: xml.replace("</sheetData>", ""),                 # not well-formed
        lambda xml: '<!DOCTYPE x [<!ENTITY a "aaaa">]>' + xml,       # document type declaration
        lambda xml: xml.replace("<v>4</v>", "<v>four</v>"),          # number that does not convert
        lambda xml: xml.replace('r="A2"', 'r="A2" s="x"'),          # style id that does not
        lambda xml: xml.replace("<v>4</v>", "<v>4</v></c><c t='s'><v>9</v>"),  # no such string
    ],
    ids=["xml-error", "doctype", "number", "style", "shared-index"],
)
def test_malformed_sheets_are_refused(tmp_path, change):
    path = small_book(tmp_path)

    def rewrite_sheet(xml):
        return change(re.sub(r"<\?xml[^>]*\?>", "", xml))
    from workbook_helpers import rewrite_member
    rewrite_member(path, "xl/worksheets/sheet1.xml", rewrite_sheet)
    with pytest.raises(sheetscan.Unreadable):
        excelsource._native_ranges(str(path))


def test_sparse_corners_cost_nothing(tmp_path):
    import openpyxl

    workbook = openpyxl.Workbook()
    sheet = workbook.active
    sheet.title = "S"
    sheet["A1"] = "top"
    sheet["XFD1048576"] = 1
    path = tmp_path / "corners.xlsx"
    workbook.save(str(path))
    assert excelsource._native_ranges(str(path)) == ["S!A1:XFD1048576"]
    assert native_analyse(str(path), "S") == ("xlsx", 2, False, [], None)


def test_analyses_kept_by_getranges_serve_only_the_same_file(tmp_path):
    path = small_book(tmp_path)
    assert excelsource.getranges(path, "xlsx") == ["S!A1:B3"]
    assert excelsource.analyseRangeData(path, "xlsx", "S!A1:B3")[1] == 2
    small_book(tmp_path, rows=(("name", "qty"), ("bolt", 4), ("nut", 5), ("washer", 6)))
    assert excelsource.analyseRangeData(path, "xlsx", "S!A1:B3")[1] == 2
    assert excelsource.analyseRangeData(path, "xlsx", "S")[1] == 3


def test_a_rewrite_that_keeps_every_timestamp_is_noticed(tmp_path, monkeypatch):
    path = small_book(tmp_path)
    status = os.stat(path)
    assert excelsource.getranges(path, "xlsx") == ["S!A1:B3"]
    small_book(tmp_path, rows=(("name", "qty"), ("bolt", 4), ("nut", 5), ("washer", 6)))
    monkeypatch.setattr(excelsource.os, "fstat", lambda fd: status)  # same size, times, inode
    assert excelsource.analyseRangeData(path, "xlsx", "S")[1] == 3


def test_a_settled_archive_is_not_read_again_for_each_range(tmp_path, monkeypatch):
    """Each range's analysis costs the same whatever the number of sheets."""
    path = write_xlsx(tmp_path / "book.xlsx", [("S%d" % i, "A1", [["a"], [1]]) for i in range(3)])
    later = time.time_ns() + 2 * excelsource._SETTLED_NS  # the file's status has settled
    monkeypatch.setattr(excelsource.time, "time_ns", lambda: later)
    ranges = excelsource.getranges(path, "xlsx")
    reads = []
    monkeypatch.setattr(excelsource, "_central_directory", lambda *args: reads.append(args))
    assert [excelsource.analyseRangeData(path, "xlsx", r)[1] for r in ranges] == [1, 1, 1]
    assert reads == []


BOMB_SCRIPT = r"""
import resource, sys, zipfile
sys.path[:0] = [sys.argv[2]]
from workbook_helpers import write_xlsx
from veltrane.corvalest.datareader import excelsource
path = write_xlsx(sys.argv[1] + "/bomb.xlsx", [("S", "A1", [["a", 1]])])
with zipfile.ZipFile(path) as archive:
    members = [(info, archive.read(info)) for info in archive.infolist()]
padding = b"<row><c/></row>" * 1000 + b" " * (1 << 20)
with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
    for info, data in members:
        if info.filename == "xl/worksheets/sheet1.xml":
            head, tail = data.split(b"</sheetData>")
            with archive.open(info.filename, "w") as out:
                out.write(head)
                for _ in range(int(sys.argv[3])):
                    out.write(padding)
                out.write(b"</sheetData>" + tail)
        else:
            archive.writestr(info, data)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
ranges = excelsource._native_ranges(path)
grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
print(ranges, grown)
"""


def test_decompression_bomb_in_constant_memory(tmp_path):
    # 128 MB of XML from a few hundred kilobytes, read in chunks.
    here = os.path.dirname(os.path.abspath(__file__))
    result = subprocess.run(
        python_command() + ["-c", BOMB_SCRIPT, str(tmp_path), here, "128"],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
    )
    assert result.returncode == 0, result.stdout
    ranges, grown_kib = result.stdout.rsplit(" ", 1)
    assert ranges == "['S!A1:B1']"  # the padding rows hold empty cells
    assert int(grown_kib) < 20 * 1024


# --- binary workbooks (.xlsb): typed "xlsx" by libmagic, told apart by their content

XLSB_CORPUS = [p for p in CORPUS if p.values[0] is None or p.values[0].endswith(".xlsb")]
# Pairs whose .xlsx is not the same workbook: other sheet order, other cells.
XLSB_PAIRS_DIFFER = {"issues.xlsb", "sample.xlsb"}


def pyxlsb_ranges(path):
    """getranges computed from pyxlsb's cells: the used cells of each worksheet."""
    pyxlsb = pytest.importorskip("pyxlsb")
    ranges = []
    with pyxlsb.open_workbook(path) as workbook:
        for name in workbook.sheets:
            with workbook.get_sheet(name) as sheet:
                cells = [(c.r + 1, c.c + 1) for row in sheet.rows(sparse=True) for c in row
                         if c.v is not None and c.v != ""]
            if cells:
                rows, columns = zip(*cells)
                ranges.append(formatRangeDesignation(
                    name, Area(min(rows), min(columns), max(rows), max(columns))))
    return ranges


@pytest.mark.parametrize("path", XLSB_CORPUS)
def test_xlsb_agrees_with_its_xlsx_and_pyxlsb(path):
    name = os.path.basename(path)
    try:
        ranges = excelsource._native_ranges(path)
    except sheetscan.Unreadable:
        assert name == "pass_protected.xlsb"  # encrypted: not a zip archive
        return
    assert ranges == pyxlsb_ranges(path)
    twin = path[:-1] + "x"
    if os.path.exists(twin) and name not in XLSB_PAIRS_DIFFER:
        assert ranges == excelsource.getranges(twin, "xlsx")
        for arange in designations_to_check(ranges, path):
            expected = excelsource.analyseRangeData(twin, "xlsx", arange)
            assert excelsource.analyseRangeData(path, "xlsx", arange) == expected, arange


def test_impossible_record_length_is_refused(tmp_path):
    source = next((p.values[0] for p in XLSB_CORPUS
                   if p.values[0] and p.values[0].endswith("date.xlsb")), None)
    if source is None:
        pytest.skip("no .xlsb in the corpus")
    with zipfile.ZipFile(source) as archive:
        members = [(info, archive.read(info)) for info in archive.infolist()]
    for bad in (b"\x00\xff\xff\xff\x7f", b"\x00\x10" + b"\x00" * 4, b"\x81"):
        path = tmp_path / "bad.xlsb"
        with zipfile.ZipFile(str(path), "w") as archive:
            for info, data in members:
                if info.filename == "xl/worksheets/sheet1.bin":
                    data = data[:40] + bad
                archive.writestr(info, data)
        with pytest.raises(sheetscan.Unreadable):
            excelsource._native_ranges(str(path))


@pytest.mark.leaks
def test_repeated_scans_leave_nothing_behind(tmp_path):
    """Every way through the scanner, answered or refused, many times: no growth
    of traced Python memory (the sanitizer's leak run watches the C++ side)."""
    import gc
    import tracemalloc

    good = str(small_book(tmp_path))
    bad = tmp_path / "bad.xlsx"
    bad.write_bytes(open(good, "rb").read()[:-200])

    def missing(names):
        raise excelsource.WorkbookError("no such sheet")

    def every_way():
        with open(good, "rb") as stream:
            sheetscan.ranges(stream.fileno(), 20)
            sheetscan.analyse(stream.fileno(), lambda names: 0, (1, 1, 3, 2), 20)
            with pytest.raises(excelsource.WorkbookError):
                sheetscan.analyse(stream.fileno(), missing, None, 20)
        with open(str(bad), "rb") as stream, pytest.raises(sheetscan.Unreadable):
            sheetscan.ranges(stream.fileno(), 20)

    rounds = int(os.environ.get("FILEINSPECT_LEAK_ROUNDS", "200"))
    tracemalloc.start()
    try:
        marks = []
        # The first window warms up the interpreter's caches under tracing.
        for _ in range(2):
            for _ in range(rounds):
                every_way()
            gc.collect()
            marks.append(tracemalloc.get_traced_memory()[0])
        grown = marks[1] - marks[0]
    finally:
        tracemalloc.stop()
    assert grown < 48 << 10
