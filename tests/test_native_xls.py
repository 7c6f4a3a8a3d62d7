"""The native .xls reader against xlrd, the oracle: the corpus's .xls files,
workbooks written with xlwt and record by record with hypothesis, and damaged
compound files, which it refuses at once and for good."""

import datetime
import os
import random
import struct
import time

import pytest

from veltrane.corvalest.datareader import excelsource
from veltrane.corvalest.excelutils import parseRangeDesignation
import xls_records as xr
from test_native_workbooks import designations_to_check
from test_workbooks import CORPUS

xlrd = pytest.importorskip("xlrd")
xlwt = pytest.importorskip("xlwt")
sheetscan = pytest.importorskip("veltrane.corvalest.datareader._sheetscan")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

EXAMPLES = settings(max_examples=int(os.environ.get("FILEINSPECT_FUZZ_EXAMPLES", 60)),
                    deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture,
                                                          HealthCheck.too_slow])

# Corpus files that xlrd refuses and the native reader reads, and why xlrd refuses them.
XLRD_REFUSES = {
    "gh548_incorrect_sst_unique_count.xls": "the table declares more strings than it holds",
    "corrupted_error.xls": "a sector belongs to both the workbook stream and the mini stream",
}


def outcome(call):
    try:
        return "ok", call()
    except ValueError as err:
        return "error", err


def native_analyse(path, arange):
    sheet, area = parseRangeDesignation(arange)
    return excelsource._range_layout("xls", excelsource._native_scan(path, sheet, area, "xls"),
                                     area)


def oracle_analyse(path, arange):
    sheet, area = parseRangeDesignation(arange)
    return excelsource._analyse_read(path, "xls", sheet, area)


def verdict(path, oracle_path=None):
    """Compare the native reader with xlrd (reading `oracle_path`, the same
    workbook, when given); return "agree", "only native", "left to xlrd" or
    "both refuse"."""
    oracle_path = oracle_path or path
    expected = outcome(lambda: excelsource._getranges_read(oracle_path, "xls"))
    try:
        ranges = excelsource._native_ranges(path, "xls")
    except sheetscan.Rejected:
        # A final refusal never costs a workbook that xlrd reads.
        assert expected[0] == "error", expected
        return "both refuse"
    except sheetscan.Unreadable:
        return "left to xlrd"
    if expected[0] == "error":
        return "only native"
    assert ranges == expected[1]
    kept = excelsource._recent_analyses
    for arange in designations_to_check(ranges, path):
        wanted = oracle_analyse(oracle_path, arange)
        excelsource._recent_analyses = kept  # answered from the getranges pass
        assert native_analyse(path, arange) == wanted, arange
        excelsource._recent_analyses = None  # a pass of its own
        assert native_analyse(path, arange) == wanted, arange
    return "agree"


XLS_CORPUS = [p for p in CORPUS if p.values[0] is None or p.values[0].endswith(".xls")]


@pytest.mark.parametrize("path", XLS_CORPUS)
def test_corpus_agrees_with_xlrd(path):
    result = verdict(path)
    assert (result == "only native") == (os.path.basename(path) in XLRD_REFUSES), result


# --- workbooks written with xlwt -------------------------------------------------

LONG_TEXT = st.builds(lambda piece, count: piece * count,
                      st.sampled_from(["ab", "\u00e9", "\u4e2d", "\U0001F600"]),
                      st.integers(1000, 6000))
XLWT_VALUES = st.one_of(
    st.none(),
    st.just(""),
    st.text(alphabet="ab \u00e9\u4e2d\U0001F600", max_size=8),
    st.integers(-2**40, 2**40),
    st.floats(allow_nan=False, allow_infinity=False),
    st.booleans(),
    st.dates(min_value=datetime.date(1904, 1, 2)),
    st.just("=formula"),
    LONG_TEXT,
)
XLWT_SHEETS = st.lists(
    st.tuples(
        st.lists(st.lists(XLWT_VALUES, max_size=6), max_size=8),
        st.integers(0, 3),  # first row
        st.sampled_from([0, 1, 200, 250]),  # first column: wide sheets reach the last one
        st.integers(0, 2000),  # rows of numbers after the others: long sheets
    ),
    min_size=1,
    max_size=4,
)


def write_with_xlwt(path, sheets, empty_sheets, dates_1904):
    book = xlwt.Workbook()
    book.set_dates_1904(dates_1904)
    date_style = xlwt.easyxf(num_format_str="yyyy-mm-dd")
    for index, (rows, first_row, first_column, numbers) in enumerate(sheets):
        sheet = book.add_sheet("S%d" % index)
        for r, row in enumerate(rows):
            for c, value in enumerate(row[:256 - first_column]):
                if value is None:
                    continue
                if value == "=formula":
                    value = xlwt.Formula("1+2")
                if isinstance(value, datetime.date):
                    sheet.write(first_row + r, first_column + c, value, date_style)
                else:
                    sheet.write(first_row + r, first_column + c, value)
        for r in range(numbers):
            sheet.write(first_row + len(rows) + r, first_column, r * 0.5)
    for index in range(empty_sheets):
        book.add_sheet("E%d" % index)
    book.save(str(path))


@EXAMPLES
@given(sheets=XLWT_SHEETS, empty_sheets=st.sampled_from([0, 1, 40]), dates_1904=st.booleans())
def test_xlwt_workbooks_agree_with_xlrd(tmp_path, sheets, empty_sheets, dates_1904):
    path = tmp_path / "written.xls"
    write_with_xlwt(path, sheets, empty_sheets, dates_1904)
    # Both refuse the texts that xlwt splits inside a surrogate pair.
    assert verdict(str(path)) in ("agree", "both refuse")


# --- workbooks written record by record --------------------------------------------

TEXTS = st.text(alphabet="ab \u00e9\u4e2d\U0001F600", max_size=5)
ROWS = st.one_of(st.integers(0, 25), st.integers(0, 65535))
COLUMNS = st.one_of(st.integers(0, 6), st.integers(0, 255))
RK = st.integers(0, 2**32 - 1)


def text_record(make):
    """A strategy of `make(row, column, text, wide)` records, UTF-16 where Latin-1 cannot hold
    the text."""
    return st.builds(lambda r, c, text, wide: make(r, c, text, wide or not xr.is_narrow(text)),
                     ROWS, COLUMNS, TEXTS, st.booleans())


@st.composite
def formula_texts(draw):
    text = draw(TEXTS)
    wide = draw(st.booleans()) or not xr.is_narrow(text)
    split = draw(st.none() | st.integers(0, len(text)))
    return xr.formula_text(draw(ROWS), draw(COLUMNS), text, wide, split)


def cell_records(strings):
    kinds = [
        st.builds(xr.number, ROWS, COLUMNS, st.floats()),
        st.builds(xr.rk, ROWS, COLUMNS, RK),
        st.builds(xr.mulrk, ROWS, COLUMNS, st.lists(RK, min_size=1, max_size=4)),
        text_record(xr.label),
        text_record(xr.rich_label),
        st.builds(xr.bool_or_error, ROWS, COLUMNS, st.integers(0, 255), st.integers(0, 1)),
        st.builds(xr.formula, ROWS, COLUMNS, st.binary(min_size=8, max_size=8)),
        st.builds(xr.formula, ROWS, COLUMNS, st.tuples(st.integers(1, 3), st.integers(0, 255))),
        formula_texts(),
        st.builds(xr.blank, ROWS, COLUMNS),
        st.just(xr.dimensions()),
        st.builds(lambda r, c: xr.chart(xr.number(r, c, 1.0)), ROWS, COLUMNS),
    ]
    if strings:
        kinds.append(st.builds(xr.shared_label, ROWS, COLUMNS, st.integers(0, len(strings) - 1)))
    return st.one_of(kinds)


def shuffled(sectors):
    sectors = list(sectors)
    random.Random(len(sectors)).shuffle(sectors)
    return sectors


@st.composite
def written_workbooks(draw):
    strings = [(text, wide or not xr.is_narrow(text))
               for text, wide in draw(st.lists(st.tuples(TEXTS | LONG_TEXT, st.booleans()),
                                               max_size=10))]
    sheets = [("S%d" % index, draw(st.sampled_from([0, 0, 2])),
               b"".join(draw(st.lists(cell_records(strings), max_size=40))))
              for index in range(draw(st.integers(1, 3)))]
    piece = draw(st.sampled_from([8224, 60, 13]))  # small records: many CONTINUE boundaries
    layout = draw(st.fixed_dictionaries({
        "cutoff": st.sampled_from([4096, 0, 0x7FFFFFFF]),  # also all in the mini stream, or none
        "order": st.sampled_from([None, reversed, shuffled]),
        "shift": st.sampled_from([9, 9, 12]),
    }))
    return xr.workbook_stream(sheets, strings, piece=piece), layout


@EXAMPLES
@given(workbook=written_workbooks())
def test_written_workbooks_agree_with_xlrd(tmp_path, workbook):
    stream, layout = workbook
    path, oracle = tmp_path / "written.xls", tmp_path / "oracle.xls"
    path.write_bytes(bytes(xr.CompoundFile({"Workbook": stream}, **layout).data))
    # xlrd reads sectors of 512 bytes only: it reads the same stream laid out so.
    oracle.write_bytes(bytes(xr.CompoundFile({"Workbook": stream}).data))
    assert verdict(str(path), str(oracle)) in ("agree", "both refuse")


def test_sector_table_list_beyond_the_header(tmp_path):
    """More than 109 sector table sectors: the list goes on in sectors of its own."""
    stream = xr.workbook_stream([("S", 0, xr.label(0, 0, "name") + xr.number(1, 0, 2.0))])
    written = xr.CompoundFile({"Pictures": bytes(8 << 20), "Workbook": stream}, order=shuffled)
    assert len(written.table_sectors) > 109
    path = tmp_path / "large.xls"
    path.write_bytes(bytes(written.data))
    assert verdict(str(path)) == "agree"


def test_file_cut_inside_the_padding_after_the_last_record(tmp_path):
    """The workbook stream's last sectors, zeros after its last EOF record, are
    cut by the end of the file: xlrd reads the workbook, and so does the reader."""
    stream = xr.workbook_stream([("S", 0, xr.label(0, 0, "name") + xr.number(1, 0, 2.0))])
    stream += bytes(5000)
    count = -(-len(stream) // 512)
    written = xr.CompoundFile({"Workbook": stream}, order=lambda s: s[-count:] + s[:-count])
    path = tmp_path / "cut.xls"
    path.write_bytes(bytes(written.data[:-100]))
    assert verdict(str(path)) == "agree"


# --- damaged and hostile files ------------------------------------------------------

def small_stream(rows=300):
    cells = b"".join(xr.number(r, 0, r) for r in range(rows))
    return xr.workbook_stream([("S", 0, xr.label(0, 1, "qty") + cells)])


def damage(how):
    """A workbook damaged as `how` says; its stream is "Workbook" beside "Other"."""
    stream = small_stream(5 if how == "mini chain loops" else 300)
    if how == "sheets overlap":  # a worksheet listed 2,000 times: the cost of reading it
        sheet = stream[stream.rindex(xr.bof(0x0010)):]
        names = ["S%04d" % i for i in range(2000)]
        start = len(xr.bof(0x0005) + b"".join(xr.boundsheet(0, n) for n in names) + xr.EOF)
        stream = (xr.bof(0x0005) + b"".join(xr.boundsheet(start, name) for name in names)
                  + xr.EOF + sheet)
    if how == "record past its stream":
        stream = stream[:-4] + struct.pack("<HH", 0x0203, 0xFFFF)
    written = xr.CompoundFile({"Other": b"x" * 5000, "Workbook": stream})
    chain = written.chains.get("Workbook")
    if how == "chain loops":
        written.patch(written.table_entry_offset(chain[2]), "<I", chain[1])
    elif how == "chain runs past the end":
        written.patch(written.table_entry_offset(chain[1]), "<I", 10**6)
    elif how == "directory names itself":
        written.patch(written.entry_offset(1) + 72, "<I", 1)  # "Other" is its own right sibling
    elif how == "stream claims 4 GB":
        written.patch(written.entry_offset(2) + 120, "<I", 0xFFFFFFFF)
    elif how == "mini chain loops":  # xlrd follows this one forever
        written.patch(written.sector_offset(written.chains["<mini table>"][0]) + 4, "<I", 0)
    return bytes(written.data)


DAMAGE = {
    "chain loops": "loops",
    "chain runs past the end": "past the end",
    "directory names itself": "reaches entry 1 twice",
    "stream claims 4 GB": "claims 4294967295 bytes",
    "record past its stream": "past the end of the workbook stream",
    "mini chain loops": "loops",
    "sheets overlap": "overlap",
}


@pytest.mark.parametrize("how", DAMAGE)
def test_damaged_files_are_rejected_at_once_and_for_good(tmp_path, monkeypatch, how):
    path = tmp_path / "damaged.xls"
    path.write_bytes(damage(how))
    started = time.perf_counter()
    with pytest.raises(sheetscan.Rejected, match=DAMAGE[how]):
        excelsource._native_ranges(str(path), "xls")
    assert time.perf_counter() - started < 1

    def never(*args):
        raise AssertionError("a rejected workbook went to xlrd")

    monkeypatch.setattr(excelsource, "_open_workbook", never)
    calls = [lambda: excelsource.getranges(path, "xls")]
    if how != "sheets overlap":  # which one of the sheets alone is not
        calls.append(lambda: excelsource.analyseRangeData(path, "xls", "S"))
    for call in calls:
        with pytest.raises(excelsource.WorkbookError, match="damaged.xls.*native scanner: "
                                                            "Rejected"):
            call()


def test_encrypted_workbook_is_left_to_xlrd_and_both_causes_are_named(tmp_path):
    path = tmp_path / "secret.xls"
    stream = xr.workbook_stream([("S", 0, xr.number(0, 0, 1.0))],
                                globals_records=xr.record(0x002F, bytes(54)))
    path.write_bytes(bytes(xr.CompoundFile({"Workbook": stream}).data))
    with pytest.raises(excelsource.WorkbookError) as caught:
        excelsource.getranges(path, "xls")
    assert "xlrd: XLRDError: Workbook is encrypted; native scanner: Unreadable: the workbook " \
           "is encrypted" in str(caught.value)


def test_a_rewrite_that_keeps_every_timestamp_is_noticed(tmp_path, monkeypatch):
    path = tmp_path / "book.xls"
    xr.write_xls(path, [("S", 0, xr.label(0, 0, "n") + xr.number(1, 0, 1.0))])
    status = os.stat(path)
    assert excelsource.getranges(path, "xls") == ["S!A1:A2"]
    xr.write_xls(path, [("S", 0, xr.label(0, 0, "n") + xr.number(2, 0, 1.0))])
    assert os.path.getsize(path) == status.st_size
    monkeypatch.setattr(excelsource.os, "fstat", lambda fd: status)  # same size, times, inode
    assert excelsource.analyseRangeData(path, "xls", "S") == ("xls", 1, True, ["n"], None)


def test_a_settled_file_is_digested_once_for_all_its_ranges(tmp_path, monkeypatch):
    path = tmp_path / "book.xls"
    xr.write_xls(path, [(name, 0, xr.label(0, 0, "n") + xr.number(1, 0, 1.0)) for name in "ABC"])
    digested = []
    digest = sheetscan.content_digest
    monkeypatch.setattr(sheetscan, "content_digest", lambda fd: digested.append(fd) or digest(fd))
    later = time.time_ns() + 10 * 10**9  # as if the file had been written long before
    monkeypatch.setattr(excelsource.time, "time_ns", lambda: later)
    ranges = excelsource.getranges(path, "xls")
    assert [excelsource.analyseRangeData(path, "xls", arange)[1] for arange in ranges] == [1] * 3
    assert len(digested) == 1


@pytest.mark.leaks
def test_repeated_reads_leave_nothing_behind(tmp_path):
    """Every way through the reader, answered or refused, many times: no growth
    of traced Python memory (the sanitizer's leak run watches the C++ side)."""
    import gc
    import tracemalloc

    good, bad, secret = (tmp_path / name for name in ("good.xls", "bad.xls", "secret.xls"))
    xr.write_xls(good, [("S", 0, xr.label(0, 0, "name") + xr.number(1, 0, 2.0))],
                 strings=[("x", False)])
    bad.write_bytes(damage("chain loops"))
    secret.write_bytes(bytes(xr.CompoundFile({"Workbook": xr.workbook_stream(
        [], globals_records=xr.record(0x002F, bytes(54)))}).data))

    def every_way():
        with open(str(good), "rb") as stream:
            sheetscan.xls_ranges(stream.fileno(), 20)
            sheetscan.xls_analyse(stream.fileno(), lambda names: 0, (1, 1, 3, 2), 20)
            sheetscan.content_digest(stream.fileno())
        for path, error in ((bad, sheetscan.Rejected), (secret, sheetscan.Unreadable)):
            with open(str(path), "rb") as stream, pytest.raises(error):
                sheetscan.xls_ranges(stream.fileno(), 20)

    rounds = int(os.environ.get("FILEINSPECT_LEAK_ROUNDS", "200"))
    tracemalloc.start()
    try:
        marks = []
        for _ in range(2):  # the first window warms up the interpreter's caches
            for _ in range(rounds):
                every_way()
            gc.collect()
            marks.append(tracemalloc.get_traced_memory()[0])
    finally:
        tracemalloc.stop()
    assert marks[1] - marks[0] < 48 << 10
