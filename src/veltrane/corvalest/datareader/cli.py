"""The ``fileinspect`` command: type, data ranges and layout of data files.

    fileinspect [OPTIONS] [PATH...]
    python -m veltrane.corvalest.datareader [OPTIONS] [PATH...]

Each file is inspected with the three functions of ``fileInspect``; the
results are shown as a table, or as one JSON object per line with ``--json``.
Files that fail are reported on standard error and the run goes on.
"""
import argparse
import contextlib
import io
import json
import os
import sys
import time
from concurrent.futures import ProcessPoolExecutor
from email.parser import HeaderParser

from . import fileInspect

DIST_NAME = "veltrane-fileinspect"
SAMPLES_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "samples")
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

EXIT_OK = 0
EXIT_SOME_FAILED = 1
EXIT_INTERRUPTED = 130

EPILOG = """\
examples:
  %(prog)s cities.csv stock.txt
      table of two files
  %(prog)s --json -r exports/ > report.jsonl
      one JSON object per line for every file under exports/
  %(prog)s --type csv --titles raw.dat
      read raw.dat as delimited text whose first row holds titles
  %(prog)s --range 'Sheet1!A1:C4' book.xlsx
      the layout of one range of a workbook
  %(prog)s --jobs 4 -r archive/
      inspect the files under archive/ in four worker processes
  %(prog)s
      inspect the sample files shipped with the package

JSON keys: path, type, lines, title_first, titles, delimiter, dialect, range,
ranges, range_inspections; a file that failed gives {"path", "error": {"type",
"message"}} instead (and its reason on standard error as well).

exit status: 0 when every file was inspected, 1 when any file failed,
2 for a usage error.
"""


# ---------------------------------------------------------------- inspection


def inspect_path(path, ftype="", arange="", force_titles=False):
    """Inspect one file and return a record made of plain data (JSON-ready, picklable).

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


def error_record(path, exc):
    return {"path": path, "error": {"type": error_type_name(exc), "message": str(exc)}}


def error_type_name(exc):
    """Class name of an exception, with its module unless built-in ("csv.Error", "OSError")."""
    cls = type(exc)
    module = cls.__module__
    if module == "builtins":
        return cls.__qualname__
    # C modules behind public ones ("_csv") are shown under the public name.
    return "%s.%s" % (module.lstrip("_"), cls.__qualname__)


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


# ----------------------------------------------------------------- the files


def collect_targets(paths, recursive):
    """(path, error record or None) for each file to inspect, in argument order."""
    targets = []
    for path in paths:
        if not os.path.isdir(path):
            targets.append((path, None))
        elif recursive:
            targets.extend(walk_files(path))
        else:
            message = "is a directory (use --recursive to inspect the files in it)"
            targets.append((path, {"path": path, "error": {"type": "IsADirectoryError", "message": message}}))
    return targets


def walk_files(top):
    """The regular files under `top`, in sorted order; unreadable folders become error records."""
    errors = []
    for folder, subfolders, names in os.walk(top, onerror=errors.append):
        subfolders.sort()
        for name in sorted(names):
            path = os.path.join(folder, name)
            if os.path.isfile(path):
                yield path, None
        for error in _drain(errors):
            yield error.filename, error_record(error.filename, error)
    for error in _drain(errors):
        yield error.filename, error_record(error.filename, error)


def _drain(items):
    drained = list(items)
    del items[:]
    return drained


def sample_files():
    return sorted(os.path.join(SAMPLES_DIR, name) for name in os.listdir(SAMPLES_DIR))


def file_size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


# -------------------------------------------------------------------- running


def inspect_all(targets, options, jobs, progress):
    """Yield one record per target, in target order."""
    pending = [path for path, error in targets if error is None]
    if jobs <= 1 or len(pending) <= 1:
        return _inspect_in_turn(targets, options, progress)
    return _inspect_in_workers(targets, options, min(jobs, len(pending)), progress)


def _inspect_in_turn(targets, options, progress):
    for path, error in targets:
        progress.show()
        yield error or inspect_path(path, *options)
        progress.advance(file_size(path))


def _inspect_in_workers(targets, options, jobs, progress):
    with ProcessPoolExecutor(max_workers=jobs) as pool:
        futures = [None if error else pool.submit(inspect_path, path, *options) for path, error in targets]
        for (path, error), future in zip(targets, futures):
            progress.show()
            yield error or _worker_result(path, future)
            progress.advance(file_size(path))


def _worker_result(path, future):
    try:
        return future.result()
    except Exception as exc:  # the worker died (BrokenProcessPool) or the call could not travel
        return error_record(path, exc)


class Progress:
    """A one-line count of the files done, on standard error when it is a terminal.

    It shows from the start when the run looks long (many files, or many
    bytes), otherwise once the run has lasted a while.
    """

    MANY_FILES = 200
    MANY_BYTES = 64 * 1024 * 1024
    DELAY = 2.0
    INTERVAL = 0.2

    def __init__(self, prog, targets, stream):
        self.prog = prog
        self.stream = stream
        self.total_files = len(targets)
        self.total_bytes = sum(file_size(path) for path, error in targets if error is None)
        self.enabled = self.total_files > 0 and _is_terminal(stream)
        self.done_files = 0
        self.done_bytes = 0
        long_run = self.total_files >= self.MANY_FILES or self.total_bytes >= self.MANY_BYTES
        self.start = time.monotonic() - (self.DELAY if long_run else 0)
        self.last = 0.0
        self.visible = False

    def advance(self, size):
        self.done_files += 1
        self.done_bytes += size

    def show(self):
        now = time.monotonic()
        if not self.enabled or now - self.start < self.DELAY or now - self.last < self.INTERVAL:
            return
        self.last = now
        self.visible = True
        self.stream.write(
            "\r\033[K%s: %d/%d files, %.1f/%.1f MB"
            % (self.prog, self.done_files, self.total_files, self.done_bytes / 1e6, self.total_bytes / 1e6)
        )
        self.stream.flush()

    def clear(self):
        """Wipe the line, before anything else is written to the terminal."""
        if self.visible:
            self.stream.write("\r\033[K")
            self.stream.flush()
            self.visible = False
            self.last = 0.0


def _is_terminal(stream):
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


# ------------------------------------------------------------------ output


def report_failure(prog, record):
    error = record["error"]
    sys.stderr.write("%s: %s: %s: %s\n" % (prog, record["path"], error["type"], error["message"]))


def write_json(record):
    sys.stdout.write(json.dumps(record) + "\n")


TABLE_HEADER = ("PATH", "TYPE", "LINES", "TITLES", "TITLE ROW", "DELIMITER", "RANGES")
RIGHT_ALIGNED = frozenset(("LINES",))
CELL_WIDTH_ON_TERMINAL = 40


def table_rows(record):
    """One row for the file (with the range inspected, if one was asked), then one per range of a whole workbook."""
    path = record["path"]
    if record["range"] is not None:
        path = "%s [%s]" % (path, record["range"])
    rows = [
        (
            path,
            record["type"],
            _cell(record["lines"]),
            _flag(record["title_first"]),
            _joined(record["titles"]),
            _delimiter(record["delimiter"]),
            _joined(record["ranges"]),
        )
    ]
    for inspection in record["range_inspections"] or ():
        rows.append(
            (
                "  " + inspection["range"],
                record["type"],
                _cell(inspection["lines"]),
                _flag(inspection["title_first"]),
                _joined(inspection["titles"]),
                "-",
                "",
            )
        )
    return rows


def _cell(value):
    return "-" if value is None else str(value)


def _flag(value):
    return "-" if value is None else ("yes" if value else "no")


def _joined(items):
    return ", ".join(_cell(item) for item in items) if items else "-"


def _delimiter(delimiter):
    names = {"\t": "tab", " ": "space"}
    return "-" if delimiter is None else names.get(delimiter, delimiter)


def write_table(records, stream):
    rows = [row for record in records for row in table_rows(record)]
    if not rows:
        return
    on_terminal = _is_terminal(stream)
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


# ------------------------------------------------------------------ version


def package_version():
    """The installed distribution's version, or "unknown" when it is not installed."""
    try:
        from importlib.metadata import PackageNotFoundError, version
    except ImportError:  # Python 3.7
        try:
            from importlib_metadata import PackageNotFoundError, version
        except ImportError:
            return _version_from_dist_info()
    try:
        return version(DIST_NAME)
    except PackageNotFoundError:
        return "unknown"


def _version_from_dist_info():
    """Reads the Version field of the installed METADATA (no metadata library needed)."""
    prefix = DIST_NAME.replace("-", "_") + "-"
    for folder in sys.path:
        try:
            names = os.listdir(folder or ".")
        except OSError:
            continue
        for name in sorted(names):
            if name.startswith(prefix) and name.endswith(".dist-info"):
                metadata = os.path.join(folder, name, "METADATA")
                try:
                    with open(metadata, encoding="utf-8") as stream:
                        return HeaderParser().parse(stream)["Version"] or "unknown"
                except OSError:
                    continue
    return "unknown"


def version_text(prog):
    if fileInspect.KOmagic:
        detection = "file types from file name extensions; python-magic is not available"
    else:
        detection = "file types from MIME types through python-magic"
    return "%s %s (%s)" % (prog, package_version(), detection)


class _VersionAction(argparse.Action):
    """--version, looking the version up only when asked."""

    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS, help=None):
        super().__init__(option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        sys.stdout.write(version_text(parser.prog) + "\n")
        parser.exit()


# -------------------------------------------------------------------- main


def job_count(text):
    try:
        jobs = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text)
    if jobs < 0:
        raise argparse.ArgumentTypeError("must be 0 (one per CPU) or more")
    return jobs or os.cpu_count() or 1


def build_parser(prog=None):
    parser = argparse.ArgumentParser(
        prog=prog,
        description="Tell what kind of data file each PATH is, which data ranges it holds "
        "and how it is laid out. Without PATH, the sample files shipped with the package.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("paths", nargs="*", metavar="PATH", help="a data file, or a folder with --recursive")
    parser.add_argument("-r", "--recursive", action="store_true", help="inspect the files in folders and their subfolders")
    parser.add_argument("--json", action="store_true", help="one JSON object per line and file instead of a table")
    parser.add_argument("-t", "--type", metavar="NAME", default="", help="take NAME as the type of every file instead of detecting it (csv, txt, xls, xlsx, ...)")
    parser.add_argument("--range", metavar="R", default="", help="inspect only the range R of workbooks, e.g. 'Sheet1!A1:C4'")
    parser.add_argument("--titles", action="store_true", help="take the first row as titles instead of guessing")
    parser.add_argument("-j", "--jobs", metavar="N", type=job_count, default=1, help="inspect files in N worker processes (0: one per CPU); output stays in input order")
    parser.add_argument("--version", action=_VersionAction, help="show the version and how types are detected, then exit")
    return parser


def main(argv=None, prog=None):
    """Run the command; return its exit status."""
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    try:
        return run(args, parser.prog)
    except BrokenPipeError:
        # The reader of our output went away (`| head`); keep the interpreter
        # from failing again while it flushes standard output at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_SOME_FAILED
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED


def run(args, prog):
    targets = collect_targets(args.paths or sample_files(), args.recursive)
    options = (args.type, args.range, args.titles)
    progress = Progress(prog, targets, sys.stderr)
    inspected = []
    any_failed = False
    for record in inspect_all(targets, options, args.jobs, progress):
        if failed(record) or args.json:
            progress.clear()
        if failed(record):
            any_failed = True
            report_failure(prog, record)
        if args.json:
            write_json(record)
        elif not failed(record):
            inspected.append(record)
    progress.clear()
    if not args.json:
        write_table(inspected, sys.stdout)
    sys.stdout.flush()
    return EXIT_SOME_FAILED if any_failed else EXIT_OK
