"""The results on standard output, as a table or as JSON lines; failures on standard error."""
import json
import os
import sys

from .progress import is_terminal

TABLE_HEADER = ("PATH", "TYPE", "LINES", "TITLES", "TITLE ROW", "DELIMITER", "RANGES")
RIGHT_ALIGNED = frozenset(("LINES",))
CELL_WIDTH_ON_TERMINAL = 40
DELIMITER_NAMES = {"\t": "tab", " ": "space"}


def report_failure(prog, record):
    error = record["error"]
    sys.stderr.write("%s: %s: %s: %s\n" % (prog, record["path"], error["type"], error["message"]))


def write_json(record):
    sys.stdout.write(json.dumps(record) + "\n")


def table_rows(record):
    """One row for the file (with the range inspected, if one was asked), then one per
    range of a whole workbook."""
    path = record["path"]
    if record["range"] is not None:
        path = "%s [%s]" % (path, record["range"])
    rows = [(
        path,
        record["type"],
        _cell(record["lines"]),
        _flag(record["title_first"]),
        _joined(record["titles"]),
        _delimiter(record["delimiter"]),
        _joined(record["ranges"]),
    )]
    for inspection in record["range_inspections"] or ():
        rows.append((
            "  " + inspection["range"],
            record["type"],
            _cell(inspection["lines"]),
            _flag(inspection["title_first"]),
            _joined(inspection["titles"]),
            "-",
            "",
        ))
    return rows


def _cell(value):
    return "-" if value is None else str(value)


def _flag(value):
    return "-" if value is None else ("yes" if value else "no")


def _joined(items):
    return ", ".join(_cell(item) for item in items) if items else "-"


def _delimiter(delimiter):
    return "-" if delimiter is None else DELIMITER_NAMES.get(delimiter, delimiter)


def write_table(records, stream):
    rows = [row for record in records for row in table_rows(record)]
    if not rows:
        return
    on_terminal = is_terminal(stream)
    if on_terminal:
        rows = [tuple(_shortened(cell) for cell in row) for row in rows]
    widths = [max(len(row[i]) for row in rows + [TABLE_HEADER]) for i in range(len(TABLE_HEADER))]
    header = _table_line(TABLE_HEADER, widths)
    if on_terminal and "NO_COLOR" not in os.environ:
        header = "\033[1m%s\033[0m" % header
    stream.write(header + "\n")
    for row in rows:
        stream.write(_table_line(row, widths) + "\n")


def _table_line(cells, widths):
    parts = []
    for name, cell, width in zip(TABLE_HEADER, cells, widths):
        parts.append(cell.rjust(width) if name in RIGHT_ALIGNED else cell.ljust(width))
    return "  ".join(parts).rstrip()


def _shortened(cell):
    if len(cell) <= CELL_WIDTH_ON_TERMINAL:
        return cell
    return cell[: CELL_WIDTH_ON_TERMINAL - 3] + "..."
