"""Writes the seed inputs of every harness, one folder each:

    python fuzz/seeds.py FOLDER

from the real workbooks and text files of the shared corpus and the quirks
folder (read where they are, never copied into the repository), the package's
samples, the small workbooks of templates.py and biff.py, and files that the
tests' own generators make (workbooks written and rewritten as
test_native_workbooks does, .xls workbooks written with xlwt and record by
record as test_native_xls does, delimited files and sniffer samples of
test_native_count and test_native_sniff). Workbooks are turned into each
harness's input form.
"""
import hashlib
import io
import os
import pathlib
import re
import sys
import tempfile
import warnings
import zipfile

import biff
import parts
import templates
from harnesses import FIRST_SHEET, HARNESSES

ROOT = pathlib.Path(__file__).resolve().parents[1]
SHARED = ROOT.parent / "shared"
WORKBOOK_SUFFIXES = (".xlsx", ".xlsm", ".xlsb")
TEXT_SUFFIXES = (".csv", ".txt", ".tsv")
GENERATED = 40  # inputs drawn from each of the tests' generators
SHARED_INDEX = re.compile(rb't="s"><v>([0-9]+)</v>')


def shared_folders():
    """The corpus ($FILEINSPECT_CORPUS, else shared/corpus beside the checkout) and the quirks
    ($FILEINSPECT_QUIRKS, else shared/quirks), those that exist."""
    named = [os.environ.get("FILEINSPECT_CORPUS"), os.environ.get("FILEINSPECT_QUIRKS")]
    folders = [pathlib.Path(name) if name else SHARED / default
               for name, default in zip(named, ("corpus", "quirks"))]
    return [folder for folder in folders if folder.is_dir()]


def files_below(folders, suffixes):
    return [path for folder in folders for path in sorted(folder.rglob("*"))
            if path.suffix.lower() in suffixes and path.is_file()]


# --- files the tests generate

def drawn(strategy, count):
    """`count` values of a hypothesis strategy."""
    from hypothesis import HealthCheck, Phase, given, settings

    values = []

    @settings(max_examples=count, database=None, deadline=None, phases=[Phase.generate],
              suppress_health_check=list(HealthCheck))
    @given(strategy)
    def collect(value):
        values.append(value)

    collect()
    return values


def tests_module(name):
    sys.path.insert(0, str(ROOT / "tests"))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return __import__(name)


def generated_workbooks(folder):
    """Workbooks written as test_native_workbooks writes and rewrites them."""
    from hypothesis import strategies as st

    module = tests_module("test_native_workbooks")
    paths = []
    cases = st.tuples(module.NAMES, module.SHEETS, module.REWRITES)
    for index, (names, sheets, rewrites) in enumerate(drawn(cases, GENERATED)):
        path = folder / ("generated%d.xlsx" % index)
        module.write_generated(path, names, sheets)
        module.rewrite(path, rewrites)
        paths.append(path)
    return paths


def generated_xls(folder):
    """.xls workbooks: written with xlwt (workbook_helpers.write_xls, cells drawn as
    test_native_xls draws them) and record by record (test_native_xls's workbooks, in
    their drawn layouts)."""
    from hypothesis import strategies as st

    module = tests_module("test_native_xls")
    write_xls = tests_module("workbook_helpers").write_xls
    books = []
    sheets = st.lists(st.lists(module.XLWT_VALUES, max_size=6), max_size=8)
    for index, rows in enumerate(drawn(sheets, GENERATED)):
        path = folder / ("written%d.xls" % index)
        write_xls(path, [("S%d" % index, "B2", rows), ("Empty", "A1", [])])
        books.append(path.read_bytes())
    for stream, layout in drawn(module.written_workbooks(), GENERATED):
        books.append(bytes(biff.xr.CompoundFile({"Workbook": stream}, **layout).data))
    return books


def generated_delimited():
    return drawn(tests_module("test_native_count").delimited_files(), GENERATED)


def generated_samples():
    return [sample.encode("utf-8")
            for sample in drawn(tests_module("test_native_sniff").samples, GENERATED)]


# --- each harness's input form

def package_members(path):
    try:
        return parts.members(path.read_bytes())
    except (zipfile.BadZipFile, OSError, RuntimeError, NotImplementedError, EOFError):
        return None  # damaged or encrypted: a seed of the raw harness only


def is_worksheet(name):
    return "worksheets/" in name.replace("\\", "/")


def is_package_part(name):
    """Relationships, workbook, styles and shared strings: what the scanner reads besides
    worksheets."""
    lowered = name.lower()
    return lowered.endswith(".rels") or any(
        word in lowered for word in ("workbook.", "styles.", "sharedstrings."))


def parts_seed(members):
    """The package parts of an XML workbook, each worksheet replaced by the template's (with
    its shared strings written inline where the workbook has fewer than it refers to)."""
    strict = any(templates.STRICT["main"].encode() in content for _, content, _ in members)
    template = templates.xml_package(templates.STRICT if strict else templates.TRANSITIONAL)
    sheet = next(content for name, content, _ in template if name == FIRST_SHEET)
    strings = max([len(re.findall(rb"<(?:\w+:)?si[ >]", content)) for name, content, _ in members
                   if "sharedstrings" in name.lower()] + [0])
    if strings <= max(int(index) for index in SHARED_INDEX.findall(sheet)):
        sheet = SHARED_INDEX.sub(rb't="inlineStr"><is><t>\1</t></is>', sheet)
    kept = [(name, sheet, False) if is_worksheet(name) else (name, content, deflated)
            for name, content, deflated in members
            if is_worksheet(name) or is_package_part(name)]
    return parts.unparse(kept)


def xlsb_seed(members):
    return parts.unparse([member for member in members
                          if is_package_part(member[0]) or is_worksheet(member[0])])


def seeds_of_workbooks(paths):
    """{harness: [input]} of workbook files."""
    seeds = {"zip": [], "parts": [], "sheet": [], "xlsb": []}
    for path in paths:
        data = path.read_bytes()
        seeds["zip"].append(data)
        members = package_members(path)
        if not members:
            continue
        if any(name.lower().endswith("workbook.bin") for name, _, _ in members):
            seeds["xlsb"].append(xlsb_seed(members))
            continue
        seeds["parts"].append(parts_seed(members))
        seeds["sheet"].extend(content for name, content, _ in members if is_worksheet(name))
    return seeds


def workbook_stream(book):
    """The workbook stream of the .xls file `book` as xlrd finds it, or None."""
    from xlrd import compdoc

    try:
        document = compdoc.CompDoc(book, logfile=io.StringIO())
        for name in ("Workbook", "Book"):
            mem, base, size = document.locate_named_stream(name)
            if mem:
                return bytes(mem[base:base + size])
    except Exception:  # damaged in any of many ways: a seed of the raw harness only
        return None
    return None


def seeds_of_xls(books):
    """{harness: [input]} of .xls files (bytes)."""
    streams = [stream for stream in map(workbook_stream, books) if stream]
    return {"xls": list(books),
            "biff": [biff.unparse(0, biff.records_of(stream)) for stream in streams]}


def seeds_of_templates():
    xml = [templates.xml_package(templates.TRANSITIONAL), templates.xml_package(templates.STRICT)]
    binary = templates.binary_package()
    records = biff.records_of(biff.template())
    # every layout of the template: sector sizes, mini stream, order, another stream
    xls_inputs = [biff.unparse(layout, records) for layout in (0, 0x01, 0x02, 0x04, 0x0B, 0x31)]
    return {
        "zip": [parts.archive(package) for package in xml + [binary]],
        "parts": [parts.unparse(package) for package in xml],
        "sheet": [content for package in xml for name, content, _ in package
                  if is_worksheet(name)],
        "xlsb": [parts.unparse(binary)],
        "xls": [biff.compound_files(xls)[0] for xls in xls_inputs],
        "biff": xls_inputs,
    }


def seeds_of_text(paths):
    texts = [path.read_bytes() for path in paths]
    return {"rowcount": texts + generated_delimited(), "sniff": texts + generated_samples()}


def write(folder, seeds):
    """Writes each harness's seeds that fit its longest input into FOLDER/harness/; returns
    {harness: count}."""
    counts = {}
    for name, harness in HARNESSES.items():
        target = folder / name
        target.mkdir(parents=True, exist_ok=True)
        fitting = {data for data in seeds.get(name, []) if len(data) <= harness.max_len}
        for data in fitting:
            (target / hashlib.sha1(data).hexdigest()).write_bytes(data)
        counts[name] = len(fitting)
    return counts


def main(folder):
    folder = pathlib.Path(folder)
    shared = shared_folders()
    with tempfile.TemporaryDirectory() as scratch:
        workbooks = files_below(shared, WORKBOOK_SUFFIXES) + generated_workbooks(
            pathlib.Path(scratch))
        seeds = seeds_of_workbooks(workbooks)
        seeds.update(seeds_of_xls([path.read_bytes() for path in files_below(shared, (".xls",))]
                                  + generated_xls(pathlib.Path(scratch))))
    for name, found in seeds_of_templates().items():
        seeds[name].extend(found)
    samples = ROOT / "src" / "veltrane" / "corvalest" / "datareader" / "samples"
    seeds.update(seeds_of_text(files_below(shared + [samples], TEXT_SUFFIXES)))
    counts = write(folder, seeds)
    print("seeds: %s (from %s, the samples, the templates and the tests' generators)" % (
        ", ".join("%s %d" % item for item in counts.items()),
        ", ".join(str(path) for path in shared) or "no shared corpus"))


if __name__ == "__main__":
    main(sys.argv[1])
