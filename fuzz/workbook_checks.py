"""What every answer of the native workbook scanner must satisfy, whatever the file.

check_workbook(archive) reads a file through both entry points of `_sheetscan`
and raises AssertionError where an answer breaks a rule; any exception other
than the scanner's own refusal (`Unreadable`) goes through as a finding too.
"""
import os
import tempfile

from veltrane.corvalest.datareader import _sheetscan, excelsource
from veltrane.corvalest.excelutils import MAX_COLUMNS, MAX_ROWS, Area

SAMPLE_ROWS = excelsource.TITLE_SAMPLE_ROWS


def file_holding(data):
    """A descriptor of a new file (in memory where the system allows) holding `data`."""
    if hasattr(os, "memfd_create"):
        fd = os.memfd_create("fuzz-input")
    else:
        fd, path = tempfile.mkstemp()
        os.unlink(path)
    os.write(fd, data)
    return fd


def check_workbook(archive):
    """"answered" or "refused" for the archive `archive` (bytes), after checking every
    answer."""
    fd = file_holding(archive)
    try:
        try:
            sheets, styles = _sheetscan.ranges(fd, SAMPLE_ROWS)
        except _sheetscan.Unreadable:
            return "refused"
        check_styles(styles)
        names = [name for name, _, _ in sheets]
        for index, (name, used, analysis) in enumerate(sheets):
            check_sheet(fd, names, index, used, analysis, styles)
        return "answered"
    finally:
        os.close(fd)


def check_styles(styles):
    date1904, format_ids, custom = styles
    assert isinstance(date1904, bool), styles
    assert all(isinstance(value, int) and value >= 0 for value in format_ids), styles
    assert all(isinstance(value, int) and isinstance(code, str) for value, code in custom), styles


def check_sheet(fd, names, index, used, analysis, styles):
    """One worksheet of ranges(): its used area, its analysis, the same analysis from
    analyse() for the whole sheet, and the same layout from analyse() for the used area
    (excelsource takes either for the other)."""
    assert isinstance(names[index], str) and names[index], names
    check_analysis(analysis, used)
    choose = chooser(names, index)
    assert _sheetscan.analyse(fd, choose, None, SAMPLE_ROWS) == (analysis, styles), index
    if used is None:
        return
    area = Area(*used)
    assert 1 <= area.first_row <= area.last_row <= MAX_ROWS, used
    assert 1 <= area.first_column <= area.last_column <= MAX_COLUMNS, used
    assert analysis[0] <= area.last_row - area.first_row + 1, (used, analysis[0])
    assert (analysis[1], analysis[2]) == (area.first_column, area.last_column), (used, analysis)
    whole = excelsource._native_range_scan(analysis, styles, area.first_column - 1)
    alone = excelsource._native_range_scan(
        *_sheetscan.analyse(fd, choose, tuple(area), SAMPLE_ROWS), 0)
    # repr: a value that is not equal to itself (nan) must still compare
    assert repr(excelsource._range_layout("xlsx", whole, area)) == repr(
        excelsource._range_layout("xlsx", alone, area)), used


def check_analysis(analysis, used):
    filled_rows, first_column, last_column, rows = analysis
    assert (filled_rows == 0) == (used is None), (analysis, used)
    assert len(rows) == min(filled_rows, SAMPLE_ROWS + 1), analysis
    for row in rows:
        assert 0 < len(row) <= last_column, row
        assert row[-1] is not None, row
        for cell in row:
            if cell is not None:
                kind, text, style = cell
                assert isinstance(kind, str) and isinstance(text, str), cell  # t="" is text too
                assert isinstance(style, int) and style >= 0, cell
    if rows:
        assert min(next(i for i, cell in enumerate(row) if cell is not None)
                   for row in rows) + 1 >= first_column, analysis


def chooser(names, index):
    """A choose(names) that checks the names analyse() offers and picks `index`."""
    def choose(offered):
        assert offered == names, (offered, names)
        return index
    return choose
