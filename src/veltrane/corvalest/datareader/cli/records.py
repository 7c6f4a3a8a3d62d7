"""One file's inspection as a record of plain data: JSON-ready and picklable."""
import contextlib
import io

from .. import fileInspect
from .failures import error_record

WORKBOOK_TYPES = ("xls", "xlsx")
DIALECT_ATTRIBUTES = (
    "delimiter",
    "quotechar",
    "escapechar",
    "doublequote",
    "skipinitialspace",
    "lineterminator",
    "quoting",
)


def inspect_path(path, ftype="", arange="", force_titles=False):
    """Inspect one file and return its record.

    A failure gives an error record instead of raising, so that worker
    processes always have something to send back.
    """
    try:
        # inspectFile prints a debug line for "unknown" files; it must not
        # reach standard output, which holds the results.
        with contextlib.redirect_stdout(io.StringIO()):
            return _inspect(path, ftype, arange, force_titles)
    except Exception as exc:
        return error_record(path, exc)


def _inspect(path, ftype, arange, force_titles):
    ftype = ftype or fileInspect.getfiletype(path)
    result = fileInspect.inspectFile(path, ftype, arange, force_titles)
    if ftype in WORKBOOK_TYPES and not arange:
        return workbook_record(path, result)
    record = layout_record(path, result)
    if ftype in WORKBOOK_TYPES:
        record["range"] = plain(arange)
    record["ranges"] = plain_ranges(fileInspect.getDataFileRanges(path, ftype))
    return record


def layout_record(path, result):
    """Record of a 5-tuple result: delimited text, one workbook range, or any other type."""
    ftype, lines, title_first, titles, dialect = result
    record = new_record(path, ftype)
    record.update(layout_fields(lines, title_first, titles))
    if dialect is not None:
        record["delimiter"] = dialect.delimiter
        record["dialect"] = {name: getattr(dialect, name, None) for name in DIALECT_ATTRIBUTES}
    return record


def workbook_record(path, result):
    """Record of a whole workbook: its type followed by one entry per range."""
    ftype, entries = result[0], result[1:]
    record = new_record(path, ftype)
    record["ranges"] = [plain(entry[0]) for entry in entries]
    record["range_inspections"] = [range_inspection(entry) for entry in entries]
    return record


def range_inspection(entry):
    arange, lines, title_first, titles, _ = entry
    inspection = {"range": plain(arange)}
    inspection.update(layout_fields(lines, title_first, titles))
    return inspection


def layout_fields(lines, title_first, titles):
    return {"lines": plain(lines), "title_first": bool(title_first), "titles": plain(titles)}


def new_record(path, ftype):
    """A record with every key present, so that consumers of JSON can rely on them."""
    return {
        "path": path,
        "type": plain(ftype),
        "lines": None,
        "title_first": None,
        "titles": None,
        "delimiter": None,
        "dialect": None,
        "range": None,
        "ranges": None,
        "range_inspections": None,
    }


def plain_ranges(ranges):
    return None if ranges is None else [plain(arange) for arange in ranges]


def plain(value):
    """The value as JSON data; objects that JSON cannot hold (dates, ...) become text."""
    if value is None or isinstance(value, (str, bool, int, float)):
        return value
    if isinstance(value, (list, tuple)):
        return [plain(item) for item in value]
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    return str(value)


def failed(record):
    return "error" in record
