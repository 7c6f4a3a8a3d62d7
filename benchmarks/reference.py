"""Plain-Python rendering of veltrane.corvalest.datareader.fileInspect.

The three functions below make the same calls, in the same order, with the
same arguments as the C++ extension, and give the same results or raise
exceptions of the same type and message. The benchmarks measure the extension
against this module (what a caller would run without the extension), and the
differential tests compare the two on the same inputs; both load this one file
by its path.

Like the extension:

- `os`, `magic`, `KOmagic`, `getranges`, `analyseRangeData`,
  `simpleRangeType`, `multiRangesType` and the three functions are module
  globals read at each use, so rebinding one of them on this module changes
  what later calls do, just as rebinding it on the extension module does;
- `import magic` may fail in any way; any exception means "no magic" and
  switches `getfiletype` to the file name's extension;
- the built-ins `open` and `print` are taken once, when this module is
  imported: replacing `builtins.open` or `builtins.print` later has no effect;
- `getfiletype` never raises IndexError on an odd MIME text: "application"
  without a "/" is "unknown application", and a "vnd" subtype without a
  second dot-component is "unknown spreadsheet";
- `inspectFile` takes as title row the first row that holds fields (a blank
  line before it is no title), and tests the truth of the title flag once
  before reading the rows.

Where it differs from the extension (on purpose, and only here):

- argument binding: these are ordinary Python functions, so a wrong number of
  arguments or a wrong keyword raises TypeError with the interpreter's own
  message rather than the extension's, and `getfiletype` accepts its argument
  as the keyword `filename`, which the extension refuses;
- tracebacks name this file and its lines; function attributes such as
  `__module__`, `__qualname__` and `__code__` are those of Python functions;
- a workbook whose listed ranges are false values recurses until the
  interpreter's recursion limit stops it in both, but the depth reached and
  the wording of the RecursionError may differ.

Keep this module free of anything else: it must import on every CPython from
3.7 on, with nothing but the installed package and, optionally, `magic`.
"""

import os

try:
    import magic

    KOmagic = False
except:  # noqa: E722 -- a broken libmagic raises more than ImportError
    KOmagic = True

from veltrane.corvalest.datareader.excelsource import getranges, analyseRangeData
# Both imported, as the extension imports both.
from veltrane.corvalest.excelutils import simpleRangeType, multiRangesType  # noqa: F401

# Held from import on, so that a later replacement of the built-ins does not
# reach these functions.
_open = open
_print = print


def getfiletype(filename):
    ftype = "unknown"
    if KOmagic:
        try:
            _, ext = os.path.splitext(filename)
            ftype = ext[1:]
        except:  # noqa: E722 -- whatever the path is, the answer is "unknown"
            pass
        return ftype

    res = magic.from_file(filename, True)
    lst = res.split("/")
    if res == "text/plain":
        with _open(filename, "r") as f:
            l1 = f.readline()
            l2 = f.readline()
        lt1 = l1.split(";")
        lt2 = l2.split(";")
        if len(lt1) > 1 and len(lt1) == len(lt2):
            return "csv"
        lt1 = l1.split("\t")
        lt2 = l2.split("\t")
        if len(lt1) > 1 and len(lt1) == len(lt2):
            return "txt"
        return "unknown"

    if lst[0] == "application":
        if len(lst) < 2:
            return "unknown application"
        ltx = lst[1].split(".")
        if ltx[0] == "vnd":
            if len(ltx) < 2:
                return "unknown spreadsheet"
            if ltx[1] == "ms-excel":
                return "xls"
            elif ltx[1] == "openxmlformats-officedocument":
                return "xlsx"
            return "unknown spreadsheet"
        return "unknown application"
    return "unknown"


def getDataFileRanges(filename, ftype=""):
    if not ftype:
        ftype = getfiletype(filename)
    if ftype == "csv" or ftype == "txt":
        return []
    elif ftype == "xls" or ftype == "xlsx":
        return getranges(filename, ftype)
    return None


def inspectFile(filename, ftype="", arange="", forceTitles=False):
    import csv

    dialect = None
    titles = []
    if not ftype:
        ftype = getfiletype(filename)
    if ftype == "unknown":
        _print("debug file {0} -> type{1}".format(filename, ftype))
    titleFirst = forceTitles
    linenb = 0

    if ftype in simpleRangeType:
        linenb = 0
        with _open(filename, "r", encoding="utf-8-sig") as csvfile:
            sample = csvfile.read(1024)
            csvfile.seek(0)
            if forceTitles:
                titleFirst = forceTitles
            else:
                titleFirst = csv.Sniffer().has_header(sample)
            dialect = csv.Sniffer().sniff(sample)
            if dialect.delimiter == ";":
                ftype = "csv"
            else:
                ftype = "txt"
            reader = csv.reader(csvfile, dialect)
            # The title row is the first row that holds fields.
            wantTitles = True if titleFirst else False
            for row in reader:
                if not row or len(row) == 0:
                    continue
                if wantTitles:
                    titles = row
                    wantTitles = False
                linenb += 1
        if titleFirst:
            linenb -= 1

    elif ftype == "xls" or ftype == "xlsx":
        if arange:
            return analyseRangeData(filename, ftype, arange)
        ranges = getDataFileRanges(filename, ftype)
        lst = [ftype]
        for arange in ranges:
            res = list(inspectFile(filename, ftype, arange, titleFirst))
            res[0] = arange
            lst.append(tuple(res))
        return tuple(lst)

    return (ftype, linenb, titleFirst, titles, dialect)
