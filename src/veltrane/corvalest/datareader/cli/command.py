"""The options of the command and one run over the files they name."""
import argparse
import os
import sys

from .output import report_failure, write_json, write_table
from .paths import collect_targets, sample_files
from .progress import Progress
from .records import failed
from .version import VersionAction
from .workers import inspect_all

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


def job_count(text):
    try:
        jobs = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text)
    if jobs < 0:
        raise argparse.ArgumentTypeError("must be 0 (one per CPU) or more")
    return jobs or os.cpu_count() or 1


OPTIONS = (
    (("paths",), dict(nargs="*", metavar="PATH", help="a data file, or a folder with --recursive")),
    (("-r", "--recursive"), dict(
        action="store_true", help="inspect the files in folders and their subfolders")),
    (("--json",), dict(
        action="store_true", help="one JSON object per line and file instead of a table")),
    (("-t", "--type"), dict(
        metavar="NAME", default="",
        help="take NAME as the type of every file instead of detecting it "
        "(csv, txt, xls, xlsx, ...)")),
    (("--range",), dict(
        metavar="R", default="",
        help="inspect only the range R of workbooks, e.g. 'Sheet1!A1:C4'")),
    (("--titles",), dict(
        action="store_true",
        help="take the first row of delimited text as titles instead of guessing "
        "(workbook ranges are always guessed)")),
    (("-j", "--jobs"), dict(
        metavar="N", type=job_count, default=1,
        help="inspect files in N worker processes (0: one per CPU); output stays in input order")),
    (("--version",), dict(
        action=VersionAction, help="show the version and how types are detected, then exit")),
)


def build_parser(prog=None):
    parser = argparse.ArgumentParser(
        prog=prog,
        description="Tell what kind of data file each PATH is, which data ranges it holds "
        "and how it is laid out. Without PATH, the sample files shipped with the package.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    for names, settings in OPTIONS:
        parser.add_argument(*names, **settings)
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
