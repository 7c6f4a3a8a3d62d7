"""Workbooks written for the tests, and a crash-proof run of the readers over a corpus.

A sheet is given as (name, top-left cell, rows), the rows lists of cell values
(None leaves a cell unwritten). Run as a script, this file is the child
process of `sweep`.
"""

import datetime
import json
import os
import re
import resource
import signal
import subprocess
import sys
import zipfile

from launcher import python_command

# What a child of `sweep` may spend on one file, and the memory it may take.
SECONDS_PER_FILE = 30
MEMORY_LIMIT = 2 << 30

_CELL = re.compile(r"([A-Z]+)([0-9]+)\Z")


def top_left(cell):
    """Return the 0-based (row, column) of a cell written like B2."""
    letters, digits = _CELL.match(cell).groups()
    column = 0
    for letter in letters:
        column = column * 26 + ord(letter) - ord("A") + 1
    return int(digits) - 1, column - 1


def placed_cells(rows, cell):
    """Yield (row, column, value), 0-based, for each written cell of `rows` placed at `cell`."""
    first_row, first_column = top_left(cell)
    for rowx, row in enumerate(rows):
        for colx, value in enumerate(row):
            if value is not None:
                yield first_row + rowx, first_column + colx, value


def write_xlsx(path, sheets):
    import openpyxl

    workbook = openpyxl.Workbook()
    workbook.remove(workbook.active)
    for name, cell, rows in sheets:
        sheet = workbook.create_sheet(name)
        for rowx, colx, value in placed_cells(rows, cell):
            sheet.cell(row=rowx + 1, column=colx + 1, value=value)
    workbook.save(str(path))
    return path


def write_xls(path, sheets):
    import xlwt

    date_style = xlwt.easyxf(num_format_str="yyyy-mm-dd")
    workbook = xlwt.Workbook()
    for name, cell, rows in sheets:
        sheet = workbook.add_sheet(name)
        for rowx, colx, value in placed_cells(rows, cell):
            if isinstance(value, (datetime.date, datetime.datetime)):
                sheet.write(rowx, colx, value, date_style)
            else:
                sheet.write(rowx, colx, value)
    workbook.save(str(path))
    return path


WRITERS = {"xlsx": write_xlsx, "xls": write_xls}


def write_workbook(folder, ftype, sheets, name="book"):
    """Write `sheets` into folder/name.ftype with the writer of `ftype`; return the path."""
    return WRITERS[ftype](folder / ("%s.%s" % (name, ftype)), sheets)


def rewrite_member(path, member, change):
    """Replace the archive member `member` of the .xlsx at `path` by change(its text)."""
    with zipfile.ZipFile(str(path)) as archive:
        contents = [(info, archive.read(info)) for info in archive.infolist()]
    with zipfile.ZipFile(str(path), "w", zipfile.ZIP_DEFLATED) as archive:
        for info, data in contents:
            if info.filename == member:
                data = change(data.decode("utf-8")).encode("utf-8")
            archive.writestr(info, data)


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def sweep(paths):
    """Return {path: verdict} after reading each workbook in a child process.

    A verdict is ["ok", ranges], ["refused", message] for a ValueError, or
    ["failed", what] for anything else: another exception, a hang, a crash.
    A crash ends the child; a new one goes on with the files after it.
    """
    verdicts = {}
    pending = list(paths)
    while pending:
        child = subprocess.run(
            python_command() + [__file__],
            input=json.dumps(pending),
            stdout=subprocess.PIPE,
            universal_newlines=True,
            timeout=SECONDS_PER_FILE * len(pending) + 60,
        )
        for line in child.stdout.splitlines():
            path, verdict = json.loads(line)
            verdicts[path] = verdict
        pending = [path for path in pending if path not in verdicts]
        if pending:
            verdicts[pending.pop(0)] = ["failed", "child ended with status %d" % child.returncode]
    return verdicts


class _OutOfTime(BaseException):
    """Raised by the alarm; a BaseException so that no reader error handling swallows it."""


def _on_alarm(signum, frame):
    raise _OutOfTime()


def _verdict(excelsource, path):
    ftype = "xls" if path.endswith(".xls") else "xlsx"
    try:
        ranges = excelsource.getranges(path, ftype)
    except ValueError as err:
        return ["refused", str(err)]
    for arange in ranges:
        if not (isinstance(arange, str) and arange):
            return ["failed", "designation %r" % (arange,)]
        result = excelsource.analyseRangeData(path, ftype, arange)
        if result[0] != ftype or result[1] < 0 or len(result) != 5:
            return ["failed", "analysis %r of %r" % (result, arange)]
    return ["ok", ranges]


def _child():
    from veltrane.corvalest.datareader import excelsource

    resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, MEMORY_LIMIT))
    signal.signal(signal.SIGALRM, _on_alarm)
    for path in json.loads(sys.stdin.read()):
        signal.alarm(SECONDS_PER_FILE)
        try:
            verdict = _verdict(excelsource, path)
        except _OutOfTime:
            verdict = ["failed", "took over %d s" % SECONDS_PER_FILE]
        except Exception as err:
            verdict = ["failed", "%s: %s" % (type(err).__name__, err)]
        signal.alarm(0)
        print(json.dumps([path, verdict]), flush=True)


if __name__ == "__main__":
    _child()
