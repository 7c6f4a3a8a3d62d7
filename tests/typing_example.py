"""Typical uses of fileInspect, checked with `mypy --strict` by test_typing.py (never run)."""
import csv
import pathlib
from typing import List, Optional

from veltrane.corvalest.datareader import fileInspect
from veltrane.corvalest.datareader.fileInspect import getDataFileRanges, getfiletype, inspectFile


def describe(path: str) -> str:
    detected: str = getfiletype(path)
    mode = "extension" if fileInspect.KOmagic else "MIME"
    return "%s (%s mode)" % (detected, mode)


def text_layout(path: pathlib.Path) -> str:
    ftype, lines, title_first, titles, dialect = inspectFile(path, "csv", forceTitles=True)
    delimiter: str = dialect.delimiter
    with open(path, encoding="utf-8-sig") as stream:
        first: List[str] = next(csv.reader(stream, dialect))
    return "%s: %d lines, titles %s %s, delimiter %r, first row %s" % (
        ftype, lines, title_first, titles, delimiter, first
    )


def workbook_ranges(path: str) -> List[str]:
    ranges: Optional[List[str]] = getDataFileRanges(path)
    sheets: List[str] = getDataFileRanges(path, "xlsx")
    return (ranges or []) + sheets


def workbook_rows(path: str) -> int:
    result = inspectFile(path, "xlsx")
    ftype: str = result[0]
    total = 0
    for arange, rows, title_first, titles, _ in result[1:]:
        total += rows
    return total if ftype else 0


def any_file(path: str) -> int:
    result = inspectFile(path)
    return len(result)
