"""What every answer of the native .xls reader must satisfy, whatever the file, and
its agreement with xlrd where both read it.

check_xls(book, oracle) reads the compound file `book` (bytes) through the .xls
entry points of `_sheetscan` and raises AssertionError where an answer breaks a
rule: areas within A1:IV65536, analyses consistent with their areas,
xls_analyse of each whole sheet equal to what xls_ranges gave, the same
excelsource layout from both passes. Any exception other than the reader's
refusals (Unreadable, Rejected) goes through as a finding too. The file's digest
(content_digest) is checked on every input.

Where the reader answers, xlrd reads `oracle` (the same workbook as xlrd can
read it; None where it cannot) through excelsource's plain path, within a CPU
budget; where xlrd answers too, the worksheet names, the used areas and the
layouts of the whole sheets, their used areas and the areas around and inside
them must be the same. xlrd failing is none of our business: it follows some
chains of the mini stream forever and reads records on past their stream's end.
"""
import os
import tempfile

from delimited_checks import cpu_budget
from veltrane.corvalest.datareader import _sheetscan, excelsource
from veltrane.corvalest.excelutils import Area
from workbook_checks import SAMPLE_ROWS, chooser, file_holding

XLS_ROWS, XLS_COLUMNS = 65536, 256
XLRD_BUDGET = 1.0  # seconds of CPU time for xlrd and the plain path on one file
SCRATCH = "/dev/shm" if os.path.isdir("/dev/shm") else None


class XlrdTooSlow(BaseException):
    """xlrd spent its budget on one file."""


def check_xls(book, oracle=None):
    """How the input went ("agreed", "answered", "answered, xlrd fails", "rejected",
    "rejected, xlrd reads", "left to xlrd", "plain path too slow"), after checking every
    answer."""
    fd = file_holding(book)
    try:
        check_digest(fd, book)
        try:
            sheets = _sheetscan.xls_ranges(fd, SAMPLE_ROWS)
        except _sheetscan.Rejected:
            # A final refusal of a workbook that xlrd reads costs its data: counted, as
            # the limits and damage that the reader refuses may explain it.
            if oracle is None:
                return "rejected"
            try:
                with cpu_budget(XLRD_BUDGET, XlrdTooSlow):
                    return "rejected" if xlrd_sheets(oracle) is None else "rejected, xlrd reads"
            except XlrdTooSlow:
                return "rejected"
        except _sheetscan.Unreadable:
            return "left to xlrd"
        names = [name for name, _, _ in sheets]
        for index, (name, used, analysis) in enumerate(sheets):
            check_sheet(fd, names, index, used, analysis)
        if oracle is None:
            return "answered"
        # xlrd and the plain path's analysis of a large used area are slow under the
        # fuzzer's tracing of Python code: one CPU budget for both (the native calls
        # in the comparison are checked without one by check_sheet above).
        try:
            with cpu_budget(XLRD_BUDGET, XlrdTooSlow):
                wanted = xlrd_sheets(oracle)
                if wanted is None:
                    return "answered, xlrd fails"
                compare_with_xlrd(fd, sheets, wanted)
        except XlrdTooSlow:
            return "plain path too slow"
        return "agreed"
    finally:
        os.close(fd)


def check_digest(fd, book):
    """content_digest, with which excelsource tells a rewritten .xls from the one it read:
    a 64-bit number, the same for the same bytes in another file, another for the bytes
    with their last one changed (but for a chance of one in 2**64)."""
    digest = _sheetscan.content_digest(fd)
    assert 0 <= digest < 1 << 64, digest
    others = [(book, True)]
    if book:
        others.append((book[:-1] + bytes([book[-1] ^ 0x5A]), False))
    for other, same in others:
        other_fd = file_holding(other)
        try:
            assert (_sheetscan.content_digest(other_fd) == digest) == same, (len(book), same)
        finally:
            os.close(other_fd)


def check_sheet(fd, names, index, used, analysis):
    """One worksheet of xls_ranges(): its used area, its analysis, the same analysis
    from xls_analyse() for the whole sheet, and the same layout from xls_analyse() for
    the used area (excelsource takes either for the other)."""
    assert isinstance(names[index], str), names
    check_analysis(analysis, used)
    choose = chooser(names, index)
    # repr: a value that is not equal to itself (nan) must still compare
    assert repr(_sheetscan.xls_analyse(fd, choose, None, SAMPLE_ROWS)) == repr(analysis), index
    if used is None:
        return
    area = Area(*used)
    assert 1 <= area.first_row <= area.last_row <= XLS_ROWS, used
    assert 1 <= area.first_column <= area.last_column <= XLS_COLUMNS, used
    assert analysis[0] <= area.last_row - area.first_row + 1, (used, analysis[0])
    assert (analysis[1], analysis[2]) == (area.first_column, area.last_column), (used, analysis)
    whole = excelsource._native_range_scan(analysis, None, area.first_column - 1)
    alone = excelsource._native_range_scan(native_analysis(fd, choose, area), None, 0)
    assert repr(excelsource._range_layout("xls", whole, area)) == repr(
        excelsource._range_layout("xls", alone, area)), used


def check_analysis(analysis, used):
    filled_rows, first_column, last_column, rows = analysis
    assert (filled_rows == 0) == (used is None), (analysis, used)
    assert len(rows) == min(filled_rows, SAMPLE_ROWS + 1), analysis
    for row in rows:
        assert 0 < len(row) <= last_column, row
        assert not excelsource._is_empty(row[-1]), row
        for cell in row:
            # the values xlrd gives: floats, texts, ints for booleans
            assert cell is None or type(cell) in (float, str, int), cell
    if rows:
        assert min(next(i for i, cell in enumerate(row) if not excelsource._is_empty(cell))
                   for row in rows) + 1 >= first_column, analysis


def native_analysis(fd, choose, area):
    return _sheetscan.xls_analyse(fd, choose, None if area is None else tuple(area), SAMPLE_ROWS)


def xlrd_sheets(book):
    """[(name, [(row number, values)])] of each worksheet as excelsource's plain path
    reads the workbook `book` (bytes) with xlrd; None where xlrd fails. The caller bounds
    its time (cpu_budget)."""
    with tempfile.NamedTemporaryFile(dir=SCRATCH, suffix=".xls") as handle:
        handle.write(book)
        handle.flush()
        try:
            with excelsource._open_workbook(handle.name, "xls") as opened:
                return [(name, list(opened.rows(sheet))) for name, sheet in opened.sheets()]
        except excelsource.WorkbookError:
            return None


def areas_around(used):
    """The whole sheet (None), its used area, that area grown by a row and a column on
    every side, and its first column below its first row."""
    if used is None:
        return [None]
    grown = Area(max(1, used.first_row - 1), max(1, used.first_column - 1),
                 used.last_row + 1, used.last_column + 1)
    inner = Area(used.first_row + 1, used.first_column, used.last_row, used.first_column)
    return [None, used, grown] + ([inner] if inner.first_row <= inner.last_row else [])


def compare_with_xlrd(fd, sheets, wanted):
    names = [name for name, _, _ in sheets]
    assert names == [name for name, _ in wanted], (names, wanted)
    for index, ((name, used, _), (_, rows)) in enumerate(zip(sheets, wanted)):
        area = excelsource._used_area(rows)
        assert (used and Area(*used)) == area, (name, used, area)
        for around in areas_around(area):
            native = excelsource._range_layout("xls", excelsource._native_range_scan(
                native_analysis(fd, chooser(names, index), around), None, 0), around)
            oracle = excelsource._range_layout("xls", excelsource._scan_range(rows, around),
                                               around)
            assert repr(native) == repr(oracle), (name, around, native, oracle)
