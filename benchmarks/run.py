#!/usr/bin/env python3
"""Benchmark of veltrane.corvalest.datareader.fileInspect against two references.

    python benchmarks/run.py            # full run: delimited files of 10 MB, 100 MB and 1 GB
    python benchmarks/run.py --quick    # small files, few rounds: keeps the command working

Run it with the package installed with its `magic` and `excel` extras (the
workbook it reads is written with openpyxl). Each path is timed three ways, on
the same files and in the same process, the three interleaved round by round,
the best round of each kept:

  module   the extension;
  Python   benchmarks/reference.py, the plain-Python rendering of the same three
           functions, loaded by its path;
  floor    the work that no implementation can avoid, where there is some:
             MIME mode          magic.from_file(path, True) and reading two lines;
             getDataFileRanges  a call of a C function with the same arguments,
                                and the new empty list it has to return;
             default path       `import csv`, formatting and printing the debug line;
             delimited text     the same two sniffs of the same 1024 characters and
                                the same csv.reader over the file, consumed at C
                                speed (sum(map(bool, reader)));
             workbook           getranges and analyseRangeData on each range.

Columns: the time per call of each; module/Python; module/floor; "extra",
(module - floor) / (Python - floor), the part of plain Python's cost above the
floor that the module still spends (left out where that part is under 5%,
too small to tell from noise); for the large files, the peak resident
memory (ru_maxrss) of a separate process that only inspects that file, and in
the last row its growth from the smallest file to the largest. "target" is what
the full run is held to: per-call paths at most 0.5 of Python, large files
within 1.05 of the floor, memory growth under 5 MB. "floor-bound" marks a
target that the floor alone already misses. --quick checks no target and so
shows neither column, saying so under the table: CI runs it only so that the
command keeps working.

The inspectFile rows pass the type name ("unknown", "csv", "xlsx" or "xls"), so that
type detection, which has rows of its own, is not part of them. The debug line
of the default path goes to os.devnull, for every column alike.
Results of the module and of the plain-Python rendering are compared before
they are timed; a difference stops the run. Generated files live in a
temporary folder that is removed at the end. On a busy machine absolute times
vary: read the ratios. The full run needs about 1 GB free in the temporary
folder and takes about 5 minutes on two cores; the quick one a few seconds.
"""

import argparse
import contextlib
import csv
import importlib.machinery
import importlib.util
import math
import operator
import os
import platform
import subprocess
import sys
import tempfile
import time
import timeit

from veltrane.corvalest.datareader import fileInspect
from veltrane.corvalest.datareader.excelsource import analyseRangeData, getranges

REFERENCE_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "reference.py")
MB = 1024 * 1024

PER_CALL_TARGET = 0.5
LARGE_FILE_TARGET = 1.05
GROWTH_TARGET_MB = 5.0
# "extra" is left out where plain Python spends less than this share of its
# time above the floor: the difference of two near-equal times is noise.
EXTRA_MIN_GAP = 0.05

# Delimited rows of the generated files, after a title row.
TITLE_ROW = "id;name;value;flag\n"
ROW = "%07d;name %d;%d.25;flag\n"

# Linux keeps ru_maxrss across fork and exec, so a child of a large benchmark
# process would report the parent's size: VmHWM belongs to the new process alone.
PEAK_PROBE = """
import resource, sys
from veltrane.corvalest.datareader import fileInspect
fileInspect.inspectFile(sys.argv[1], sys.argv[2])
try:
    with open("/proc/self/status") as status:
        print([line.split()[1] for line in status if line.startswith("VmHWM:")][0])
except (OSError, IndexError):
    print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


class Settings:
    def __init__(self, quick):
        self.quick = quick
        self.rounds = 3 if quick else 7
        self.batch_seconds = 0.02 if quick else 0.2
        self.large_rounds = 2 if quick else 3
        self.large_sizes_mb = (1, 2, 4) if quick else (10, 100, 1024)


# --- the references ---------------------------------------------------------


def load_reference():
    """The plain-Python rendering, imported from its file."""
    found = importlib.util.spec_from_file_location("fileinspect_reference", REFERENCE_PATH)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def mime_floor(path):
    """What the MIME mode cannot skip on a text file."""
    fileInspect.magic.from_file(path, True)
    with open(path, "r") as f:
        f.readline()
        f.readline()


def delimited_floor(path):
    """The sniffing and the csv reading of a delimited file, rows counted at C speed.

    Returns (title flag, rows holding fields).
    """
    with open(path, "r", encoding="utf-8-sig") as f:
        sample = f.read(1024)
        f.seek(0)
        has_titles = csv.Sniffer().has_header(sample)
        dialect = csv.Sniffer().sniff(sample)
        return has_titles, sum(map(bool, csv.reader(f, dialect)))


def workbook_floor(path):
    """The reading of each range of a workbook."""
    for arange in getranges(path, "xlsx"):
        analyseRangeData(path, "xlsx", arange)


# --- files --------------------------------------------------------------------


def write_delimited(path, megabytes, row=None):
    """A ";"-delimited file of about `megabytes` MB of `row` lines under a title row."""
    block = "".join((row or ROW) % (i, i, i) for i in range(20000)).encode()
    with open(path, "wb") as handle:
        handle.write(TITLE_ROW.encode())
        for _ in range(max(1, megabytes * MB // len(block))):
            handle.write(block)
    return path


def write_small_files(folder):
    paths = {"small": os.path.join(folder, "ten-lines.csv")}
    with open(paths["small"], "w") as handle:
        handle.write(TITLE_ROW + "".join(ROW % (i, i, i) for i in range(9)))
    try:
        import openpyxl
    except ImportError:
        return paths
    book = openpyxl.Workbook()
    sheet = book.active
    sheet.append(["region", "units", "revenue"])
    for i in range(20):
        sheet.append(["north" if i % 2 else "south", 10 + i, 2.5 * i])
    paths["workbook"] = os.path.join(folder, "one-range.xlsx")
    book.save(paths["workbook"])
    return paths


# --- timing -------------------------------------------------------------------


def calls_per_batch(timer, seconds):
    """How many calls make a batch of about `seconds`."""
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= seconds / 4:
            return max(1, int(number * seconds / elapsed))
        number *= 4


def best_times(statements, namespace, rounds, batch_seconds=None):
    """Best time per call of each statement, the statements taking turns in each round.

    Without `batch_seconds` every batch is a single call.
    """
    timers = {key: timeit.Timer(stmt, globals=namespace) for key, stmt in statements.items()}
    best = dict.fromkeys(timers, math.inf)
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        numbers = {
            key: calls_per_batch(timer, batch_seconds) if batch_seconds else 1
            for key, timer in timers.items()
        }
        for _ in range(rounds):
            for key, timer in timers.items():
                best[key] = min(best[key], timer.timeit(numbers[key]) / numbers[key])
    return best


def peak_memory_mb(path, ftype="csv"):
    """ru_maxrss of a new process that inspects `path` as `ftype`, in MB."""
    done = subprocess.run(
        [sys.executable, "-c", PEAK_PROBE, path, ftype],
        stdout=subprocess.PIPE,
        check=True,
        universal_newlines=True,
    )
    peak = int(done.stdout.split()[-1])
    return peak / MB if sys.platform == "darwin" else peak / 1024


# --- paths --------------------------------------------------------------------


class Path:
    """One row of the table: how each implementation is called, and what it is held to."""

    def __init__(self, label, call, floor=None, target=PER_CALL_TARGET, against="Python",
                 mode=None):
        self.label = label
        self.call = call  # a call on `m` (the module) or `r` (the plain-Python rendering)
        self.floor = floor
        self.mode = mode  # "extension" or "MIME" for getfiletype
        self.target = target
        self.against = against  # the column the target is a ratio to
        self.times = {}
        self.peak_mb = None

    def statements(self):
        found = {"module": "m." + self.call, "Python": "r." + self.call}
        if self.floor:
            found["floor"] = self.floor
        return found


DIALECT_ATTRIBUTES = ("delimiter", "quotechar", "doublequote", "skipinitialspace",
                      "lineterminator", "quoting", "escapechar")


def comparable(result):
    """`result` with each sniffed dialect (a new class at each call) replaced by its settings."""
    if isinstance(result, tuple):
        return tuple(comparable(item) for item in result)
    if isinstance(result, type) and hasattr(result, "delimiter"):
        return tuple(getattr(result, name) for name in DIALECT_ATTRIBUTES)
    return result


def same_results(path, namespace):
    """Stops the run when the module and the plain-Python rendering disagree."""
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        got = eval("m." + path.call, namespace)
        expected = eval("r." + path.call, namespace)
    if comparable(got) != comparable(expected):
        sys.exit("%s: the module gives %r, the plain-Python rendering %r"
                 % (path.label, got, expected))
    return got


def check_delimited_floor(path, result, file_path):
    """The floor must read the rows that the module counted."""
    has_titles, rows = delimited_floor(file_path)
    if (result[2], result[1]) != (has_titles, rows - bool(has_titles)):
        sys.exit("%s: the floor reads %d rows, the module counts %r" % (path.label, rows, result))


@contextlib.contextmanager
def extension_mode(*modules):
    """Switches the modules to type detection by file-name extension for a while."""
    saved = [module.KOmagic for module in modules]
    for module in modules:
        module.KOmagic = True
    try:
        yield
    finally:
        for module, flag in zip(modules, saved):
            module.KOmagic = flag


def per_call_paths(files):
    paths = [
        Path("getfiletype, extension mode", "getfiletype(name)", mode="extension"),
        Path("getfiletype, MIME, 10-line file", "getfiletype(small)", "mime_floor(small)",
             mode="MIME"),
        Path("getDataFileRanges(path, 'csv')", "getDataFileRanges(small, 'csv')",
             "operator.is_(small, 'csv') or []"),
        Path("inspectFile, default path", "inspectFile(small, 'unknown')",
             "import csv; print('debug file {0} -> type{1}'.format(small, 'unknown'))"),
        Path("inspectFile, 10-line delimited", "inspectFile(small, 'csv')",
             "delimited_floor(small)"),
    ]
    if "workbook" in files:
        paths.append(Path("inspectFile, workbook, 1 range", "inspectFile(book, 'xlsx')",
                          "workbook_floor(book)"))
    return paths


def measure_per_call(path, namespace, settings):
    if path.mode == "MIME" and namespace["m"].KOmagic:
        return  # no libmagic here: the module runs in extension mode only
    modules = (namespace["m"], namespace["r"])
    with extension_mode(*modules) if path.mode == "extension" else contextlib.nullcontext():
        result = same_results(path, namespace)
        if path.floor == "delimited_floor(small)":
            check_delimited_floor(path, result, namespace["small"])
        path.times = best_times(path.statements(), namespace, settings.rounds,
                                settings.batch_seconds)


def measure_large_file(megabytes, folder, namespace, settings):
    file_path = write_delimited(os.path.join(folder, "%dmb.csv" % megabytes), megabytes)
    size = os.path.getsize(file_path)
    size_label = "%.0f MB" % (size / MB) if size < 1000 * MB else "%.2f GB" % (size / 1024 / MB)
    path = Path("inspectFile, %s delimited" % size_label, "inspectFile(big, 'csv')",
                "delimited_floor(big)", LARGE_FILE_TARGET, against="floor")
    path.size_label = size_label
    namespace["big"] = file_path
    check_delimited_floor(path, same_results(path, namespace), file_path)
    path.times = best_times(path.statements(), namespace, settings.large_rounds)
    path.peak_mb = peak_memory_mb(file_path)
    os.remove(file_path)
    return path


# --- the native row count -------------------------------------------------------

# Rows for the native count: quoted fields with doubled quotes, multi-byte text,
# about 50 bytes a line.
COUNT_ROW = '%07d;"Zoë ""%d""";€ %d.25;naïve café\n'


def write_count_file(path, megabytes):
    return write_delimited(path, megabytes, COUNT_ROW)


def count_rows_natively(folder, settings):
    """inspectFile on big semicolon files against the csv.reader floor, against reading
    the bytes in 1 MiB blocks and counting b"\\n", and against duckdb's count(*) on one
    thread where duckdb is installed; then the growth of the peak resident size (measured
    first: a child process starts from its parent's peak, which duckdb would raise)."""
    sizes = (1, 8) if settings.quick else (10, 100, 1024)
    path = os.path.join(folder, "count.csv")
    peaks = []
    for megabytes in sizes:
        peaks.append(peak_memory_mb(write_count_file(path, megabytes)))
    try:
        import duckdb
    except ImportError:
        duckdb = None

    def newline_count(path):
        count = 0
        with open(path, "rb", buffering=0) as handle:
            for block in iter(lambda: handle.read(MB), b""):
                count += block.count(b"\n")
        return count

    def duckdb_count(path):
        with duckdb.connect() as connection:
            connection.execute("SET threads = 1")
            return connection.execute(
                "SELECT count(*) FROM read_csv(?, delim = ';', quote = '\"', header = true)",
                [path]).fetchone()[0]

    print("\nnative row count (best of %d, warm page cache)" % settings.large_rounds)
    print("%-8s %9s %9s %9s %9s %10s %12s %9s" % (
        "file", "module", "reader", "newlines", "duckdb", "mod/reader", "mod/newlines",
        "peak RSS"))
    for megabytes, peak in zip(sizes, peaks):
        write_count_file(path, megabytes)
        result = fileInspect.inspectFile(path, "csv")
        lines = newline_count(path)
        wrong = (result[1], result[2]) != (lines - 1, True)
        if wrong or duckdb and duckdb_count(path) != lines - 1:
            sys.exit("native row count: %r for %d lines" % (result[:3], lines))
        namespace = {"m": fileInspect, "path": path, "floor": delimited_floor,
                     "newlines": newline_count, "duck": duckdb and duckdb_count}
        statements = {"module": "m.inspectFile(path, 'csv')", "reader": "floor(path)",
                      "newlines": "newlines(path)"}
        if duckdb:
            statements["duckdb"] = "duck(path)"
        times = best_times(statements, namespace, settings.large_rounds)
        print("%-8s %9s %9s %9s %9s %10s %12s %9s" % (
            "%d MB" % megabytes, shown_time(times["module"]), shown_time(times["reader"]),
            shown_time(times["newlines"]), shown_time(times.get("duckdb")),
            shown_ratio(ratio(times["module"], times["reader"])),
            shown_ratio(ratio(times["module"], times["newlines"])), "%.1f MB" % peak))
    os.remove(path)
    print("targets: mod/reader <= 0.10, mod/newlines <= 2; peak RSS growth %+.1f MB (< 5 MB)"
          % (peaks[-1] - peaks[0]))

# --- the native sniff -----------------------------------------------------------


def native_sniff_rows(settings, small):
    """The native sniff against the two sniffer calls it replaces, as its own table.

    Rows: has_header + sniff of 1024-character ";" samples with and without
    quoted fields (target 0.05 of the sniffer's two calls); the interpreter's
    compiled quote patterns alone (what running them instead of the native
    match would cost); inspectFile on the 10-line file against the same call
    with the native sniff switched off (0.10); and with MIME detection against
    libmagic plus opening the file and reading the sample (1.2).
    """
    import re

    loader = importlib.machinery.ExtensionFileLoader("_fileinspect_knobs", fileInspect.__file__)
    knobs = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(knobs)
    row = '%d;"name %d";%d.25;2024-01-%02d'
    rows_text = ["id;name;value;when"] + [row % (i, i, 7 * i, i % 28 + 1) for i in range(80)]
    quoted = "\n".join(rows_text)[:1024]
    unquoted = quoted.replace('"', "")
    patterns = [re.compile(p, re.DOTALL | re.MULTILINE) for p in (
        r'(?P<delim>[^\w\n"\'])(?P<space> ?)(?P<quote>["\']).*?(?P=quote)(?P=delim)',
        r'(?:^|\n)(?P<quote>["\']).*?(?P=quote)(?P<delim>[^\w\n"\'])(?P<space> ?)',
        r'(?P<delim>[^\w\n"\'])(?P<space> ?)(?P<quote>["\']).*?(?P=quote)(?:$|\n)',
        r'(?:^|\n)(?P<quote>["\']).*?(?P=quote)(?:$|\n)')]

    def all_patterns(sample):
        for pattern in patterns:
            if pattern.findall(sample):
                return

    def inspect_without_native():
        knobs.native_sniff(False)
        try:
            fileInspect.inspectFile(small, "csv")
        finally:
            knobs.native_sniff(True)

    def mime_floor_with_sample():
        fileInspect.magic.from_file(small, True)
        with open(small, "r", encoding="utf-8-sig") as f:
            f.read(1024)

    namespace = {"k": knobs, "csv": csv, "m": fileInspect, "small": small, "q": quoted,
                 "u": unquoted, "all_patterns": all_patterns,
                 "inspect_without_native": inspect_without_native,
                 "mime_floor_with_sample": mime_floor_with_sample}
    both = "csv.Sniffer().has_header(%s); csv.Sniffer().sniff(%s)"
    cases = [
        ("has_header + sniff, quoted", "k.sniff_sample(q, True)", both % ("q", "q"), 0.05),
        ("has_header + sniff, unquoted", "k.sniff_sample(u, True)", both % ("u", "u"), 0.05),
        ("compiled quote patterns, quoted", "all_patterns(q)", both % ("q", "q"), None),
        ("compiled quote patterns, unquoted", "all_patterns(u)", both % ("u", "u"), None),
        ("inspectFile(path, 'csv'), 10 lines", "m.inspectFile(small, 'csv')",
         "inspect_without_native()", 0.10),
    ]
    if not fileInspect.KOmagic:
        cases.append(("inspectFile(path), MIME, 10 lines", "m.inspectFile(small)",
                      "mime_floor_with_sample()", 1.2))
    table = [["native sniff", "native", "against", "ratio", "target", "result"]]
    for label, native, against, target in cases:
        times = best_times({"native": native, "against": against}, namespace, settings.rounds,
                           settings.batch_seconds)
        achieved = times["native"] / times["against"]
        met = "-" if settings.quick or target is None else (
            "ok" if achieved <= target else "MISSED")
        table.append([label, shown_time(times["native"]), shown_time(times["against"]),
                      "%.3f" % achieved, "-" if target is None else "<= %.2f" % target, met])
    widths = [max(len(row[i]) for row in table) for i in range(len(table[0]))]
    for row in table:
        print("  ".join([row[0].ljust(widths[0])] +
                        [cell.rjust(width) for cell, width in zip(row[1:], widths[1:])]))


# --- the table ----------------------------------------------------------------


def shown_time(seconds):
    if seconds is None:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return "%.3g %s" % (seconds / scale, unit)
    return "%.3g ns" % (seconds / 1e-9)


def ratio(numerator, denominator):
    if numerator is None or not denominator:
        return None
    return numerator / denominator


def shown_ratio(value):
    return "-" if value is None else "%.2f" % value


def verdict(path, quick):
    """ok, MISSED, floor-bound (the floor alone misses the target) or "-" when not checked."""
    times = path.times
    if quick or not times:
        return "-"
    achieved = ratio(times["module"], times[path.against])
    if achieved <= path.target:
        return "ok"
    floor_share = ratio(times.get("floor"), times[path.against])
    if floor_share is not None and floor_share > path.target:
        return "floor-bound"
    return "MISSED"


def table_row(path, quick):
    times = path.times
    module, python, floor = (times.get(key) for key in ("module", "Python", "floor"))
    extra = None
    if floor is not None and module is not None and python - floor >= EXTRA_MIN_GAP * python:
        extra = (module - floor) / (python - floor)
    target = "-" if path.target is None else "<= %.2f x %s" % (path.target, path.against)
    return [
        path.label,
        shown_time(module) if times else "skipped",
        shown_time(python),
        shown_time(floor),
        shown_ratio(ratio(module, python)),
        shown_ratio(ratio(module, floor)),
        shown_ratio(extra),
        "-" if path.peak_mb is None else "%.1f MB" % path.peak_mb,
        target,
        verdict(path, quick),
    ]


def growth_row(large, quick):
    growth = large[-1].peak_mb - large[0].peak_mb
    label = "peak memory growth, %s -> %s" % (large[0].size_label, large[-1].size_label)
    met = "-" if quick else ("ok" if growth < GROWTH_TARGET_MB else "MISSED")
    return [label, "", "", "", "", "", "", "%+.1f MB" % growth, "< %.0f MB" % GROWTH_TARGET_MB, met]


def print_table(rows, quick):
    header = ["path", "module", "Python", "floor", "mod/Py", "mod/floor", "extra", "peak RSS",
              "target", "result"]
    if quick:  # no target is judged: the columns would only hold dashes
        header = header[:-2]
        rows = [row[:-2] for row in rows]
    widths = [max(len(str(row[i])) for row in [header] + rows) for i in range(len(header))]
    rule = "  ".join("-" * width for width in widths)
    print(rule)
    for row in [header] + rows:
        cells = [str(row[0]).ljust(widths[0])]
        cells += [str(cell).rjust(width) for cell, width in zip(row[1:], widths[1:])]
        print("  ".join(cells).rstrip())
        if row is header:
            print(rule)
    print(rule)


# --- large workbooks: the native scanner against python-calamine ---------------

WORKBOOK_ROWS = (10000, 200000, 1000000)
WORKBOOK_ROWS_QUICK = (2000, 10000)
XLS_ROWS = (1000, 65000)  # 65,536 rows is all a .xls sheet holds
XLS_ROWS_QUICK = (1000, 5000)
# inspectFile at most this many times calamine's read of every cell, by kind.
WORKBOOK_TARGET = {"xlsx": 1.5, "xlsb": 1.5, "xls": 1.0}
# Peak memory growth from the smallest file of a kind to the largest.
WORKBOOK_GROWTH_TARGET_MB = {"xlsx": 20.0, "xls": 5.0}
_PACKAGE_NS = "http://schemas.openxmlformats.org/package/2006/"
_RELATIONS_NS = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
_SHEET_NS = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
_OOXML_TYPE = "application/vnd.openxmlformats-"
WORKBOOK_PARTS = {
    "[Content_Types].xml": (
        '<Types xmlns="%scontent-types">'
        '<Default Extension="rels" ContentType="%spackage.relationships+xml"/>'
        '<Default Extension="xml" ContentType="application/xml"/>'
        '<Override PartName="/xl/workbook.xml"'
        ' ContentType="%sofficedocument.spreadsheetml.sheet.main+xml"/></Types>'
        % (_PACKAGE_NS, _OOXML_TYPE, _OOXML_TYPE)),
    "_rels/.rels": (
        '<Relationships xmlns="%srelationships"><Relationship Id="rId1"'
        ' Type="%s/officeDocument" Target="xl/workbook.xml"/></Relationships>'
        % (_PACKAGE_NS, _RELATIONS_NS)),
    "xl/workbook.xml": (
        '<workbook xmlns="%s" xmlns:r="%s"><sheets>'
        '<sheet name="Data" sheetId="1" r:id="rId1"/></sheets></workbook>'
        % (_SHEET_NS, _RELATIONS_NS)),
    "xl/_rels/workbook.xml.rels": (
        '<Relationships xmlns="%srelationships"><Relationship Id="rId1"'
        ' Type="%s/worksheet" Target="worksheets/sheet1.xml"/></Relationships>'
        % (_PACKAGE_NS, _RELATIONS_NS)),
}


def write_large_workbook(path, rows):
    """Write a .xlsx of `rows` rows x 10 columns (titles, then numbers and inline text) fast."""
    import zipfile

    def row_xml(r):
        cells = "".join('<c r="%s%d"><v>%d.5</v></c>' % (letter, r, r * 7 + i)
                        for i, letter in enumerate("ABCDEFGH"))
        return ('<row r="%d">%s<c r="I%d" t="inlineStr"><is><t>item %d</t></is></c>'
                '<c r="J%d"><v>%d</v></c></row>' % (r, cells, r, r % 97, r, r))

    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as archive:
        for name, text in WORKBOOK_PARTS.items():
            archive.writestr(name, text)
        with archive.open("xl/worksheets/sheet1.xml", "w", force_zip64=True) as sheet:
            titles = "".join('<c r="%s1" t="inlineStr"><is><t>column %s</t></is></c>' % (c, c)
                             for c in "ABCDEFGHIJ")
            sheet.write(('<worksheet xmlns="%s"><sheetData><row r="1">%s</row>'
                         % (_SHEET_NS, titles)).encode())
            for start in range(2, rows + 1, 10000):
                stop = min(start + 10000, rows + 1)
                sheet.write("".join(row_xml(r) for r in range(start, stop)).encode())
            sheet.write(b"</sheetData></worksheet>")


def write_large_xlsb(path, rows):
    """Write the same rows as a binary workbook with pyxlsbwriter (a benchmark-only writer)."""
    import pyxlsbwriter

    data = [["column %s" % c for c in "ABCDEFGHIJ"]] + [
        [r * 7 + i + 0.5 for i in range(8)] + ["item %d" % (r % 97), r] for r in range(2, rows + 1)]
    with pyxlsbwriter.XlsbWriter(path) as writer:
        writer.add_sheet("Data")
        writer.write_sheet(data)


def write_large_xls(path, rows):
    """Write the same rows as a .xls with xlwt (which the test extra brings)."""
    import xlwt

    book = xlwt.Workbook()
    sheet = book.add_sheet("Data")
    for column, letter in enumerate("ABCDEFGHIJ"):
        sheet.write(0, column, "column %s" % letter)
    for r in range(2, rows + 1):
        row = sheet.row(r - 1)
        for i in range(8):
            row.set_cell_number(i, r * 7 + i + 0.5)
        row.set_cell_text(8, "item %d" % (r % 97))
        row.set_cell_number(9, r)
    book.save(path)


def workbook_cases(quick):
    """(kind, rows, writer, file suffix) of each large workbook measured."""
    cases = [("xlsx", count, write_large_workbook, ".xlsx")
             for count in (WORKBOOK_ROWS_QUICK if quick else WORKBOOK_ROWS)]
    try:
        import pyxlsbwriter  # noqa: F401
    except ImportError:
        pass
    else:
        cases.append(("xlsb", WORKBOOK_ROWS_QUICK[-1] if quick else 200000, write_large_xlsb,
                      ".xlsb"))
    try:
        import xlwt  # noqa: F401
    except ImportError:
        return cases
    return cases + [("xls", count, write_large_xls, ".xls")
                    for count in (XLS_ROWS_QUICK if quick else XLS_ROWS)]


def calamine_read_all(path):
    import python_calamine

    workbook = python_calamine.CalamineWorkbook.from_path(path)
    for name in workbook.sheet_names:
        workbook.get_sheet_by_name(name).to_python()


def workbook_rows(settings, folder):
    """Rows for the large workbooks: inspectFile against calamine, and peak memory."""
    try:
        import python_calamine  # noqa: F401  (a benchmark-only peer)
    except ImportError:
        python_calamine = None
    rows, peaks = [], {}
    for kind, count, write, suffix in workbook_cases(settings.quick):
        path = os.path.join(folder, "rows%d%s" % (count, suffix))
        write(path, count)
        ftype = "xls" if kind == "xls" else "xlsx"
        module = calamine = float("inf")
        for _ in range(settings.large_rounds):
            started = time.perf_counter()
            fileInspect.inspectFile(path, ftype)
            module = min(module, time.perf_counter() - started)
            if python_calamine is not None:
                started = time.perf_counter()
                calamine_read_all(path)
                calamine = min(calamine, time.perf_counter() - started)
        peak = peak_memory_mb(path, ftype)
        peaks.setdefault(kind, []).append(peak)
        value = ratio(module, calamine) if python_calamine is not None else None
        met = "-" if settings.quick or value is None else (
            "ok" if value <= WORKBOOK_TARGET[kind] else "MISSED")
        rows.append(("inspectFile %s %d x 10" % (kind, count), shown_time(module),
                     shown_time(calamine) if python_calamine is not None else "absent",
                     "-" if value is None else shown_ratio(value), "%.1f MB" % peak, met))
        os.remove(path)
    for kind, target in WORKBOOK_GROWTH_TARGET_MB.items():
        if len(peaks.get(kind, ())) < 2:
            continue
        growth = peaks[kind][-1] - peaks[kind][0]
        met = "-" if settings.quick else ("ok" if growth < target else "MISSED")
        rows.append(("peak memory growth, %s" % kind, "", "", "", "%+.1f MB" % growth, met))
    return rows


def print_workbook_table(rows):
    header = ("large workbook", "module", "calamine", "ratio", "peak", "target")
    widths = [max(len(str(row[i])) for row in rows + [header]) for i in range(len(header))]
    for row in [header] + rows:
        print("  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)))


def describe_machine(settings):
    load = ", ".join("%.2f" % value for value in os.getloadavg())
    print("fileInspect benchmark (%s run)" % ("quick" if settings.quick else "full"))
    print("Python %s on %s, %d CPUs, load average %s; libmagic %s" % (
        platform.python_version(), platform.machine(), os.cpu_count() or 0, load,
        "absent: MIME mode skipped" if fileInspect.KOmagic else "present"))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="small files and few rounds, to keep the command working")
    settings = Settings(parser.parse_args(argv).quick)
    describe_machine(settings)
    started = time.perf_counter()

    with tempfile.TemporaryDirectory(prefix="fileinspect-bench-") as folder:
        files = write_small_files(folder)
        namespace = {
            "m": fileInspect,
            "r": load_reference(),
            "name": "/data/exports/2024/report.csv",
            "small": files["small"],
            "book": files.get("workbook"),
            "operator": operator,
            "mime_floor": mime_floor,
            "delimited_floor": delimited_floor,
            "workbook_floor": workbook_floor,
        }
        paths = per_call_paths(files)
        for path in paths:
            measure_per_call(path, namespace, settings)
        large = [measure_large_file(size, folder, namespace, settings)
                 for size in settings.large_sizes_mb]
        count_rows_natively(folder, settings)
        workbooks = workbook_rows(settings, folder)
        native_sniff_rows(settings, files["small"])

    rows = [table_row(path, settings.quick) for path in paths + large]
    rows.append(growth_row(large, settings.quick))
    print_table(rows, settings.quick)
    print('"extra": (module - floor) / (Python - floor), the share of plain Python\'s work above'
          " the floor that the module still does ('-' where that work is too small to measure).")
    if settings.quick:
        print("Quick mode only checks that the benchmark runs and that the module agrees with"
              " plain Python; its times judge no target (run without --quick for that).")
    print()
    print_workbook_table(workbooks)
    print("%.0f s in all; load average now %s" % (
        time.perf_counter() - started, ", ".join("%.2f" % value for value in os.getloadavg())))


if __name__ == "__main__":
    main()
