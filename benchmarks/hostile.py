#!/usr/bin/env python3
"""Workbooks that cost far more to read than their size, and what reading them costs.

    python benchmarks/hostile.py DIRECTORY            # writes each of the six files, measures it
    python benchmarks/hostile.py DIRECTORY --measure  # measures the files written before

Each file is read in a process of its own, as inspectFile reads a workbook:
getranges, then analyseRangeData of each range. The answer is a result or a
WorkbookError; the line gives its kind, the time and the peak resident memory
(ru_maxrss) of the process. The tests write the same files, small, with
`write_hostile`.
"""
import os
import subprocess
import sys
import zipfile

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
RELATIONS = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
PACKAGE_RELATIONS = "http://schemas.openxmlformats.org/package/2006/relationships"
CONTENT_TYPES = (
    '<?xml version="1.0" encoding="UTF-8"?>'
    '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
    '<Default Extension="rels" '
    'ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
    '<Default Extension="xml" ContentType="application/xml"/>'
    '<Override PartName="/xl/workbook.xml" '
    'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/>'
    "%s</Types>"
)
PART_TYPES = {
    "worksheet": "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml",
    "sharedStrings":
        "application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml",
    "styles": "application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml",
}

# The files of the benchmark: kind -> its size at full scale.
FULL_SIZES = {
    "wide_row": 3000000,  # cells in one row, without references
    "long_string": 300000000,  # characters of one shared string
    "cell_formats": 2000000,  # cell formats in the styles part
    "empty_strings": 20000000,  # empty shared strings, a cell using the last
    "sheets": 20000,  # sheets of one cell each
    "long_tag": 200000000,  # characters of an attribute of a cell
}


def _relationship(rid, kind, target):
    return '<Relationship Id="%s" Type="%s/%s" Target="%s"/>' % (rid, RELATIONS, kind, target)


def _write_book(path, sheets, parts=(), relationships=()):
    """A workbook of the worksheets `sheets` (their sheetData), with more `parts`
    (name, content) that the workbook's `relationships` (kind, target) and the
    content types name."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        named = [("worksheet", "worksheets/sheet%d.xml" % i) for i in range(1, len(sheets) + 1)]
        overrides = "".join('<Override PartName="/xl/%s" ContentType="%s"/>'
                            % (target, PART_TYPES[kind])
                            for kind, target in named + list(relationships))
        archive.writestr("[Content_Types].xml", CONTENT_TYPES % overrides)
        archive.writestr("_rels/.rels", '<Relationships xmlns="%s">%s</Relationships>' % (
            PACKAGE_RELATIONS, _relationship("rId1", "officeDocument", "xl/workbook.xml")))
        entries = "".join('<sheet name="S%d" sheetId="%d" r:id="rId%d"/>' % (i, i, i)
                          for i in range(1, len(sheets) + 1))
        archive.writestr("xl/workbook.xml", '<workbook xmlns="%s" xmlns:r="%s"><sheets>%s</sheets>'
                         "</workbook>" % (MAIN, RELATIONS, entries))
        links = [_relationship("rId%d" % i, "worksheet", "worksheets/sheet%d.xml" % i)
                 for i in range(1, len(sheets) + 1)]
        links += [_relationship("rIdX%d" % i, kind, target)
                  for i, (kind, target) in enumerate(relationships)]
        archive.writestr("xl/_rels/workbook.xml.rels",
                         '<Relationships xmlns="%s">%s</Relationships>'
                         % (PACKAGE_RELATIONS, "".join(links)))
        for i, data in enumerate(sheets, 1):
            archive.writestr("xl/worksheets/sheet%d.xml" % i,
                             '<worksheet xmlns="%s"><sheetData>%s</sheetData></worksheet>'
                             % (MAIN, data))
        for name, content in parts:
            archive.writestr(name, content)


def _shared_strings(entries):
    return [("xl/sharedStrings.xml", '<sst xmlns="%s">%s</sst>' % (MAIN, entries))], [
        ("sharedStrings", "sharedStrings.xml")]


def write_hostile(kind, path, size):
    """Write the workbook `kind` (a key of FULL_SIZES) of `size` to `path`."""
    if kind == "wide_row":
        _write_book(path, ["<row>" + "<c><v>1</v></c>" * size + "</row>"])
    elif kind == "long_string":
        _write_book(path, ['<row><c t="s"><v>0</v></c></row>'],
                    *_shared_strings("<si><t>%s</t></si>" % ("x" * size)))
    elif kind == "cell_formats":
        styles = '<styleSheet xmlns="%s"><cellXfs>%s</cellXfs></styleSheet>' % (
            MAIN, '<xf numFmtId="14"/>' * size)
        _write_book(path, ['<row><c s="1"><v>1</v></c></row>'], [("xl/styles.xml", styles)],
                    [("styles", "styles.xml")])
    elif kind == "empty_strings":
        _write_book(path, ['<row><c t="s"><v>%d</v></c></row>' % (size - 1)],
                    *_shared_strings("<si/>" * size))
    elif kind == "long_tag":
        _write_book(path, ['<row><c r="A1" x="%s"><v>1</v></c></row>' % ("y" * size)])
    elif kind == "sheets":
        _write_book(path, ['<row r="1"><c r="A1"><v>1</v></c></row>'] * size)
    else:
        raise ValueError("no hostile workbook %r" % kind)


MEASURE = r"""
import resource, sys, time
from veltrane.corvalest.datareader import excelsource
start = time.perf_counter()
try:
    for arange in excelsource.getranges(sys.argv[1], "xlsx"):
        excelsource.analyseRangeData(sys.argv[1], "xlsx", arange)
    answer = "result"
except excelsource.WorkbookError as error:
    answer = "WorkbookError: %.90s" % (error.__cause__ or error)
elapsed = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print("%.2f s  %.0f MB  %s" % (elapsed, peak, answer))
"""


def main(arguments):
    if arguments[0] == "--write":  # in a process of its own, which may grow large
        kind, path = arguments[1:]
        write_hostile(kind, path, FULL_SIZES[kind])
        return
    directory = arguments[0]
    os.makedirs(directory, exist_ok=True)
    for kind in FULL_SIZES:
        path = os.path.join(directory, kind + ".xlsx")
        if "--measure" not in arguments:
            subprocess.run([sys.executable, __file__, "--write", kind, path], check=True)
        # A process started from this small one: a child's peak memory counts its parent's.
        answer = subprocess.run([sys.executable, "-c", MEASURE, path], stdout=subprocess.PIPE,
                                universal_newlines=True, check=True).stdout.strip()
        print("%-14s %6d KB  %s" % (kind, os.path.getsize(path) // 1024, answer), flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
