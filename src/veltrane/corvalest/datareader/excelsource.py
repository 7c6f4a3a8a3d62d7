"""Data ranges of workbooks, and the layout of one range.

`getranges` lists one range designation per worksheet that holds data;
`analyseRangeData` reads one range and reports its layout in the shape of the
delimited-text inspection, (type name, data rows, title flag, title row, None),
so that callers handle both alike. Designations follow the A1 grammar of
`veltrane.corvalest.excelutils`.

Readers: the native scanner `_sheetscan` of this package, one streaming pass
in constant memory, for "xlsx" (.xlsx and .xlsm, transitional or strict, and
the binary .xlsb that libmagic types alike) and for "xls" (BIFF8 workbooks);
openpyxl in read-only mode and xlrd (version 2, one worksheet loaded at a
time) read the workbooks that the scanner leaves to them (laid out in ways it
does not read, BIFF5 and older, encrypted). A workbook that the scanner
rejects (damaged, hostile, beyond a limit: `_sheetscan.Rejected`) is refused
at once and handed to no other reader. openpyxl and xlrd come with the
package's `excel` extra and are imported only when a workbook is read, so that
the package imports without them; openpyxl also converts the values of the
first rows that the scanner hands over from .xlsx, exactly as it converts its
own, while the .xls reader hands over the values xlrd gives.

Empty cells are those holding nothing or the empty text. The used cells of a
worksheet are the smallest rectangle holding all its other cells; they are
computed from the cells themselves, since the dimensions that some programs
store are wrong or missing. Cells with formulas hold the value last computed by
the program that saved the file (none for a formula never computed).

Title heuristic, in the spirit of the `csv` sniffer's header test: the first
non-empty row of a range holds titles when
  - at least one non-empty row follows it,
  - none of its cells holds a number, date, time or boolean (text or empty only),
  - and its columns vote for it. Each column titled by text looks at its cells
    in the next 20 non-empty rows, empty ones left out: all numbers, dates,
    times or booleans vote for titles; all text of one length other than the
    title's votes for titles, all text of the title's own length against;
    anything else, or nothing, abstains. The votes must add up to more than 0.
"""

import contextlib
import importlib
import os
import struct
import time

try:
    from veltrane.corvalest.datareader import _sheetscan
except ImportError:  # a build without the scanner reads every workbook with openpyxl
    _sheetscan = None

from veltrane.corvalest.excelutils import (
    MAX_COLUMNS,
    MAX_ROWS,
    Area,
    formatRangeDesignation,
    parseRangeDesignation,
)

# How many non-empty rows under the first one the title heuristic looks at.
TITLE_SAMPLE_ROWS = 20

_INSTALL_HINT = "pip install 'veltrane-fileinspect[excel]'"

# An .xls file is an OLE2 compound document, or a bare BIFF2 to BIFF5 stream
# that starts with a BOF record (opcode 0x0009, 0x0209, 0x0409 or 0x0809).
_OLE2_SIGNATURE = b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"
_BIFF_BOF_STARTS = (b"\x09\x00", b"\x09\x02", b"\x09\x04", b"\x09\x08")


class WorkbookError(ValueError):
    """A workbook that cannot be read as asked: damaged, missing a sheet, and the like."""


def getranges(filename, ftype):
    """Return a new list of designations, one per worksheet of `filename` holding data.

    Each designation covers exactly the used cells of its worksheet, in sheet
    order; worksheets without data give none.
    """
    refusal = None
    if _native_reads(filename, ftype):
        try:
            return _native_ranges(filename, ftype)
        except _sheetscan.Rejected as err:
            raise _rejected(filename, ftype, err) from err
        except Exception as err:  # not read natively: openpyxl or xlrd has its say
            refusal = err
    return _getranges_read(filename, ftype, refusal)


def _native_ranges(filename, ftype="xlsx"):
    """getranges by the native scanner; raises what it raises when it refuses the file.

    The same pass analyses each sheet's used cells, which inspectFile asks
    for next: the analyses are kept for that one file, as long as it stays
    the same file unchanged (device, inode, size, modification and change
    times, and what tells its content apart: the archive's central
    directory, which holds every part's CRC-32, or a digest of the whole
    .xls, so that a rewrite within one timestamp tick is noticed too).
    """
    global _recent_analyses
    path = os.fspath(filename)
    with open(path, "rb") as stream:
        identity = _file_identity(path, stream, ftype)
        if ftype == "xls":
            sheets, styles = _sheetscan.xls_ranges(stream.fileno(), TITLE_SAMPLE_ROWS), None
        else:
            sheets, styles = _sheetscan.ranges(stream.fileno(), TITLE_SAMPLE_ROWS)
    _recent_analyses = (identity, sheets, styles, _SheetNames([entry[0] for entry in sheets]))
    return [formatRangeDesignation(name, Area(*area)) for name, area, _ in sheets if area]


# (file identity, [(sheet name, used area, analysis)], styles, _SheetNames) of the
# last native getranges; the styles are None for .xls, whose values come converted.
_recent_analyses = None


class _SheetNames:
    """Sheet names looked up as _sheet_index looks them up, each in constant time."""

    def __init__(self, names):
        self.names = names
        self.exact, self.folded = {}, {}
        for index, name in enumerate(names):
            self.exact.setdefault(name, index)
            self.folded.setdefault(name.casefold(), index)

    def index(self, wanted, filename):
        found = self.exact.get(wanted)
        if found is None:
            found = self.folded.get(wanted.casefold())
        return _sheet_index(self.names, wanted, filename) if found is None else found


def _rejected(filename, ftype, err):
    """The WorkbookError for a workbook that the native scanner rejects: final."""
    return WorkbookError("%s is not a readable .%s workbook (native scanner: %s)"
                         % (_shown(filename), ftype, _cause(err)))


# A file whose status last changed this long before its content was read cannot
# change any more without its status changing too: no file system's clock is
# coarser. (A change within one tick of that clock may keep the status as it was.)
_SETTLED_NS = 3 * 10**9


def _file_identity(path, stream, ftype, known=None):
    """What tells this file's present content from any other; None when it cannot be told.

    The first eight items identify the file (the eighth: the archive's central
    directory, or a digest of an .xls), followed by the time its content was
    read. `known`, an identity taken before, stands unread when the status is
    the same and had settled when its content was read: no file is read again
    once per range, which would make a workbook's cost grow with the square of
    its sheets.
    """
    status = os.fstat(stream.fileno())
    identity = (ftype, path, status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns,
                status.st_ctime_ns)
    if known is not None and known[:7] == identity and known[8] - identity[6] > _SETTLED_NS:
        return known
    read_at = time.time_ns()
    if ftype == "xls":
        content = _sheetscan.content_digest(stream.fileno())
    else:
        content = _central_directory(stream, status.st_size)
        if content is None:
            return None
    return identity + (content, read_at)


def _central_directory(stream, size):
    """The bytes of the zip archive's central directory (up to 4 MiB), or None."""
    tail_size = min(size, 22 + 65535)  # the end record and the longest comment
    stream.seek(size - tail_size)
    tail = stream.read(tail_size)
    end = tail.rfind(b"PK\x05\x06")
    if end < 0 or end + 22 > len(tail):
        return None
    directory_size, directory_offset = struct.unpack_from("<II", tail, end + 12)
    if directory_size > 1 << 22 or directory_offset + directory_size > size:
        return None
    stream.seek(directory_offset)
    directory = stream.read(directory_size)
    return directory if len(directory) == directory_size else None


def _recent_analysis(path, ftype, sheet_name, area, filename):
    """Return (analysis, styles, columns left of it) kept by the last getranges of
    `path` as `ftype` for `area` of `sheet_name`, or None when that pass cannot answer."""
    global _recent_analyses
    recent = _recent_analyses
    if recent is None or recent[0] is None or recent[0][:2] != (ftype, path):
        return None
    try:
        with open(path, "rb") as stream:
            identity = _file_identity(path, stream, ftype, recent[0])
            if identity is None or identity[:8] != recent[0][:8]:
                return None
    except OSError:
        return None  # the reading pass raises what it meets

    _, sheets, styles, names = recent
    _recent_analyses = (identity,) + recent[1:]  # the latest digest, which may have settled
    name, used, analysis = sheets[names.index(sheet_name, filename)]
    if area is None or used is None:  # a sheet without data has none in any area either
        return analysis, styles, 0
    if Area(*used) == area:
        return analysis, styles, area.first_column - 1
    return None


def _getranges_read(filename, ftype, refusal=None):
    """getranges through openpyxl or xlrd; `refusal` is why the native scanner did not serve."""
    ranges = []
    with _open_workbook(filename, ftype, refusal) as book:
        for name, sheet in book.sheets():
            area = _used_area(book.rows(sheet))
            if area is not None:
                ranges.append(formatRangeDesignation(name, area))
    return ranges


def analyseRangeData(filename, ftype, arange):
    """Return (ftype, data rows, title flag, title row, None) for the range `arange`.

    `arange` is a designation such as ``Sheet1!B2:D20`` or ``Sheet1!B2``, or a
    sheet name alone, meaning its used cells. Data rows are the non-empty rows
    of the range, less the title row when the title flag is true; the title row
    is then the first non-empty row as text, one item per column of the range,
    and otherwise a new empty list. A range without data gives (ftype, 0, False, [], None).
    """
    try:
        sheet_name, area = parseRangeDesignation(arange)
    except ValueError as err:
        raise WorkbookError("%s: %s" % (_shown(filename), err)) from err
    refusal = None
    if _native_reads(filename, ftype):
        try:
            scan = _native_scan(filename, sheet_name, area, ftype)
        except WorkbookError:
            raise
        except _sheetscan.Rejected as err:
            raise _rejected(filename, ftype, err) from err
        except Exception as err:  # not read natively: openpyxl or xlrd has its say
            refusal = err
        else:
            return _range_layout(ftype, scan, area)
    return _analyse_read(filename, ftype, sheet_name, area, refusal)


def _analyse_read(filename, ftype, sheet_name, area, refusal=None):
    """analyseRangeData through openpyxl or xlrd, for a parsed designation."""
    with _open_workbook(filename, ftype, refusal) as book:
        sheet = _find_sheet(book, sheet_name, filename)
        scan = _scan_range(book.rows(sheet), area)
    return _range_layout(ftype, scan, area)


def _range_layout(ftype, scan, area):
    if area is None:
        return (ftype,) + scan.layout()
    # The title row spans the whole range, empty columns at its edges included.
    return (ftype,) + scan.layout(range(area.last_column - area.first_column + 1))


def _native_reads(filename, ftype):
    """Tell whether the native scanner reads `filename`, after checking `ftype` and its reader."""
    _reader(filename, ftype)  # the same errors as ever for unknown types and missing readers
    return _sheetscan is not None


def _native_scan(filename, sheet_name, area, ftype="xlsx"):
    """Return the _RangeScan of `area` (the used cells when None) of sheet `sheet_name`."""
    path = os.fspath(filename)
    recent = _recent_analysis(path, ftype, sheet_name, area, filename)
    if recent is not None:
        return _native_range_scan(*recent)

    def choose(names):
        return _sheet_index(names, sheet_name, filename)

    bounds = None if area is None else tuple(area)
    with open(path, "rb") as stream:
        if ftype == "xls":
            analysis = _sheetscan.xls_analyse(stream.fileno(), choose, bounds, TITLE_SAMPLE_ROWS)
            styles = None
        else:
            analysis, styles = _sheetscan.analyse(
                stream.fileno(), choose, bounds, TITLE_SAMPLE_ROWS)
    return _native_range_scan(analysis, styles, 0)


def _native_range_scan(analysis, styles, skipped_columns):
    """Return the _RangeScan of a native analysis, its rows cut by `skipped_columns` on the left."""
    filled_rows, first_column, last_column, rows = analysis
    scan = _RangeScan()
    if rows:
        convert = _same_value if styles is None else _NativeValues(*styles)
        scan.filled_rows = filled_rows
        scan.first_column = first_column - skipped_columns
        scan.last_column = last_column - skipped_columns
        scan.first = [convert(cell) for cell in rows[0][skipped_columns:]]
        scan.sample = [[convert(cell) for cell in row[skipped_columns:]] for row in rows[1:]]
    return scan


def _same_value(value):
    """The conversion of .xls values, which the native reader hands over as xlrd gives them."""
    return value


class _NativeValues:
    """Turns the cells that the native scanner hands over, (type, text, style
    id), into the values openpyxl gives for them, with openpyxl's own helpers."""

    def __init__(self, date1904, style_formats, custom):
        from openpyxl.styles.numbers import builtin_format_code, is_date_format, is_timedelta_format
        from openpyxl.utils.datetime import CALENDAR_MAC_1904, WINDOWS_EPOCH

        custom = dict(custom)
        self.epoch = CALENDAR_MAC_1904 if date1904 else WINDOWS_EPOCH
        self.date_styles = set()
        self.timedelta_styles = set()
        for style, format_id in enumerate(style_formats):
            code = custom[format_id] if format_id in custom else builtin_format_code(format_id)
            if is_date_format(code):
                self.date_styles.add(style)
            if is_timedelta_format(code):
                self.timedelta_styles.add(style)

    def __call__(self, cell):
        from openpyxl.utils.datetime import from_excel
        from openpyxl.worksheet._reader import _cast_number

        if cell is None:
            return None
        kind, text, style = cell
        if kind == "b":
            return bool(int(text))
        if kind != "n":
            return text
        value = _cast_number(text)
        if style in self.date_styles:
            try:
                return from_excel(value, self.epoch, timedelta=style in self.timedelta_styles)
            except (OverflowError, ValueError):
                return "#VALUE!"  # openpyxl's reading of a date out of range
        return value


@contextlib.contextmanager
def _open_workbook(filename, ftype, refusal=None):
    """Open `filename` as a workbook of type `ftype` and close it on every way out.

    What the reader raises on a damaged file becomes a WorkbookError naming
    the file, chained from the reader's error; `refusal`, the native scanner's
    error when it did not serve, is named beside it.
    """
    reader, book_class = _reader(filename, ftype)
    reader_name = reader.__name__
    path = os.fspath(filename)
    with open(path, "rb") as stream:
        try:
            book = book_class(reader, stream)
            try:
                yield book
            finally:
                book.close()
        except WorkbookError:
            raise
        # Readers fail on damaged or hostile input with a wide variety of errors
        # (BadZipFile, KeyError, struct.error, XLRDError, XML parse errors,
        # IndexError, AssertionError, MemoryError for sizes made up to exhaust
        # memory, ...): each one means that the file cannot be read as asked.
        except Exception as err:
            detail = _cause(err)
            if refusal is not None:
                detail = "%s: %s; native scanner: %s" % (reader_name, detail, _cause(refusal))
            raise WorkbookError(
                "%s is not a readable .%s workbook (%s)" % (_shown(filename), ftype, detail)
            ) from err


def _reader(filename, ftype):
    """Return the reader module and the book class for the type name `ftype`."""
    if ftype == "xlsx":
        return _import_reader("openpyxl", ftype), _XlsxBook
    if ftype == "xls":
        return _import_reader("xlrd", ftype), _XlsBook
    raise ValueError("%s: %r is not a workbook type ('xls' or 'xlsx')" % (_shown(filename), ftype))


def _import_reader(module_name, ftype):
    """Import and return `module_name`, or raise ImportError naming the extra to install."""
    try:
        return importlib.import_module(module_name)
    except ImportError as err:
        raise ImportError(
            "reading .%s workbooks needs %s: %s" % (ftype, module_name, _INSTALL_HINT),
            name=module_name,
        ) from err


def _cause(err):
    return ": ".join(filter(None, (type(err).__name__, str(err))))


def _shown(filename):
    """Return `filename` as it appears in error messages."""
    try:
        return repr(os.fsdecode(filename))
    except TypeError:
        return repr(filename)


def _find_sheet(book, wanted, filename):
    """Return the sheet of `book` named `wanted`, compared exactly, else regardless of case."""
    sheets = book.sheets()
    return sheets[_sheet_index([name for name, _ in sheets], wanted, filename)][1]


def _sheet_index(names, wanted, filename):
    """Return the position in `names` of `wanted`, compared exactly, else regardless of case."""
    for index, name in enumerate(names):
        if name == wanted:
            return index
    folded = wanted.casefold()
    for index, name in enumerate(names):
        if name.casefold() == folded:
            return index
    raise WorkbookError(
        "%s has no worksheet named %r (it has %s)"
        % (_shown(filename), wanted, ", ".join(repr(name) for name in names) or "none")
    )


class _XlsxBook:
    """A .xlsx workbook read by openpyxl in read-only mode; rows stream from the archive."""

    def __init__(self, openpyxl, stream):
        # A file object rather than a path: openpyxl refuses paths whose
        # extension it does not know, and the type name has been decided already.
        self._workbook = openpyxl.load_workbook(
            stream, read_only=True, data_only=True, keep_links=False
        )
        # Every workbook holds a sheet; openpyxl finds none in some it cannot
        # read, such as those in the Strict flavour of Office Open XML.
        if not self._workbook.sheetnames:
            self._workbook.close()
            raise ValueError("openpyxl finds no sheet in it")

    def sheets(self):
        """Return (name, sheet) for each worksheet, in workbook order; chart sheets left out."""
        return [(sheet.title, sheet) for sheet in self._workbook.worksheets]

    def rows(self, sheet):
        """Yield (row number, row values from column A) for each row of `sheet`."""
        # Without stored dimensions openpyxl neither cuts rows short nor pads them.
        sheet.reset_dimensions()
        for number, row in enumerate(sheet.iter_rows(values_only=True), 1):
            if number > MAX_ROWS or len(row) > MAX_COLUMNS:
                raise ValueError("worksheet %r holds cells beyond XFD%d" % (sheet.title, MAX_ROWS))
            if row:  # rows missing from the file come as empty sequences
                yield number, row

    def close(self):
        self._workbook.close()


class _NullLog:
    """A log file that drops what xlrd writes to it (by default xlrd writes to stdout)."""

    @staticmethod
    def write(text):
        return len(text)


class _XlsBook:
    """A .xls workbook read by xlrd, one worksheet in memory at a time."""

    def __init__(self, xlrd, stream):
        # The file is read into memory rather than mapped: a mapped file that
        # shrinks while it is read kills the process with SIGBUS.
        start = stream.read(len(_OLE2_SIGNATURE))
        if not (start == _OLE2_SIGNATURE or start[:2] in _BIFF_BOF_STARTS):
            raise WorkbookError(
                "%s is not a readable .xls workbook (it does not start like one)"
                % _shown(stream.name)
            )
        self._xlrd = xlrd
        self._book = xlrd.open_workbook(
            file_contents=start + stream.read(),
            logfile=_NullLog(),
            on_demand=True,
            ragged_rows=True,
        )

    def sheets(self):
        """Return (name, sheet index) for each worksheet, in workbook order."""
        return [(name, index) for index, name in enumerate(self._book.sheet_names())]

    def rows(self, index):
        """Yield (row number, row values from column A) for each row of worksheet `index`."""
        sheet = self._book.sheet_by_index(index)
        try:
            for rowx in range(sheet.nrows):
                yield rowx + 1, self._row_values(sheet, rowx)
        finally:
            self._book.unload_sheet(index)

    def _row_values(self, sheet, rowx):
        """Return the values of row `rowx`, error codes replaced by their text (#N/A, ...)."""
        values = sheet.row_values(rowx)
        error_type = self._xlrd.XL_CELL_ERROR
        types = sheet.row_types(rowx)
        if error_type in types:
            error_text = self._xlrd.error_text_from_code
            for colx, cell_type in enumerate(types):
                if cell_type == error_type:
                    values[colx] = error_text.get(values[colx], "#ERROR")
        return values

    def close(self):
        self._book.release_resources()


def _is_empty(value):
    return value is None or value == ""


def _filled_span(row):
    """Return the 1-based positions of the first and last non-empty cells of `row`, or None."""
    filled = [position for position, value in enumerate(row, 1) if not _is_empty(value)]
    if not filled:
        return None
    return filled[0], filled[-1]


def _used_area(rows):
    """Return the Area of the non-empty cells among `rows`, or None when all are empty."""
    first_row = last_row = None
    first_column, last_column = MAX_COLUMNS, 1
    for number, row in rows:
        span = _filled_span(row)
        if span is None:
            continue
        if first_row is None:
            first_row = number
        last_row = number
        first_column = min(first_column, span[0])
        last_column = max(last_column, span[1])
    if first_row is None:
        return None
    return Area(first_row, first_column, last_row, last_column)


class _RangeScan:
    """What one pass over the rows of a range keeps: the count of non-empty
    rows, the first of them, the rows under it that the title heuristic
    samples, and the columns that hold data."""

    def __init__(self):
        self.filled_rows = 0
        self.first = None
        self.sample = []
        self.first_column = MAX_COLUMNS
        self.last_column = 1

    def add(self, row):
        span = _filled_span(row)
        if span is None:
            return
        self.filled_rows += 1
        self.first_column = min(self.first_column, span[0])
        self.last_column = max(self.last_column, span[1])
        if self.first is None:
            self.first = row
        elif len(self.sample) < TITLE_SAMPLE_ROWS:
            self.sample.append(row)

    def layout(self, columns=None):
        """Return (data rows, title flag, title row, None) over the 0-based
        positions `columns`, by default those that hold data."""
        if self.first is None:
            return 0, False, [], None
        if columns is None:
            columns = range(self.first_column - 1, self.last_column)
        first = [_cell(self.first, position) for position in columns]
        sample = [[_cell(row, position) for position in columns] for row in self.sample]
        if not _has_title(first, sample):
            return self.filled_rows, False, [], None
        titles = ["" if value is None else value for value in first]
        return self.filled_rows - 1, True, titles, None


def _scan_range(rows, area):
    """Read the rows inside `area` (the used cells when None) in one pass."""
    scan = _RangeScan()
    for number, row in rows:
        if area is not None:
            if number < area.first_row:
                continue
            if number > area.last_row:
                break
            row = row[area.first_column - 1:area.last_column]
        scan.add(row)
    return scan


def _cell(row, position):
    """Return the value at 0-based `position` of `row`, None for empty or missing cells."""
    value = row[position] if position < len(row) else None
    return None if _is_empty(value) else value


def _has_title(first, sample):
    """Tell whether `first` reads as column titles over the rows of `sample`
    (see the module doc)."""
    if not sample:
        return False
    if any(value is not None and not isinstance(value, str) for value in first):
        return False
    votes = 0
    for position, title in enumerate(first):
        if title is not None:
            below = [row[position] for row in sample if row[position] is not None]
            votes += _column_vote(title, below)
    return votes > 0


def _column_vote(title, below):
    """Return +1, -1 or 0: how the cells `below` a title text vote on it being a title."""
    texts = [value for value in below if isinstance(value, str)]
    if not below or (texts and len(texts) < len(below)):
        return 0
    if not texts:
        return 1
    lengths = {len(text) for text in texts}
    if len(lengths) > 1:
        return 0
    return -1 if len(title) in lengths else 1
