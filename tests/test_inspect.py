"""inspectFile: the delimited-text branch, the workbook branch and the default result."""
import csv
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import REFERENCE_PATH, module_entries, open_descriptors
from launcher import PEAK_KB, python_command

DIALECT_ATTRIBUTES = ("delimiter", "quotechar", "doublequote", "skipinitialspace", "quoting")


def csv_module_layout(path, force_titles=False):
    """What the standard csv module makes of the file, sniffed on its first 1024 characters."""
    with open(path, encoding="utf-8-sig", newline=None) as handle:
        sample = handle.read(1024)
        handle.seek(0)
        title_first = force_titles or csv.Sniffer().has_header(sample)
        dialect = csv.Sniffer().sniff(sample)
        rows = [row for row in csv.reader(handle, dialect) if row]
    titles = rows[0] if title_first else []
    ftype = "csv" if dialect.delimiter == ";" else "txt"
    return ftype, len(rows) - (1 if title_first else 0), title_first, titles, dialect


def comparable(result):
    ftype, linenb, title_first, titles, dialect = result
    return ftype, linenb, title_first, titles, [getattr(dialect, a) for a in DIALECT_ATTRIBUTES]


DELIMITED_FILES = {
    "semicolons": "name;qty;price\nbolt;3;0.5\nnut;4;0.25\nwasher;10;0.05\n",
    "tabs": "name\tqty\nbolt\t3\nnut\t4\n",
    "commas": "name,qty,price\nbolt,3,0.5\nnut,4,0.25\n",
    "numbers only": "1;2;3\n4;5;6\n7;8;9\n",
    "blank lines": "\n\nname;qty\n\nbolt;3\n\n\nnut;4\n\n",
    "byte order mark": "\ufeffname;qty\nbolt;3\nnut;4\n",
    "crlf": "name;qty\r\nbolt;3\r\nnut;4\r\n",
    "quoted fields": 'name;note\n"bolt";"a;b"\n"nut";"two\nlines"\n"washer";"say ""hi"""\n',
    "longer than the sample": "id;value\n" + "".join("%d;%d\n" % (i, i * i) for i in range(500)),
    "spaces": "a b;c d\ne f;g h\n",
}


class TestDelimitedText:
    def test_csv_is_imported_through_builtins_import(self, fi, write_file, monkeypatch):
        import builtins

        seen = []
        real_import = builtins.__import__

        def recording_import(name, *args, **kwargs):
            if name == "csv":
                seen.append((args[0] is vars(fi),) + args[1:])
            return real_import(name, *args, **kwargs)

        path = write_file("a;b\n1;2\n")
        monkeypatch.setattr(builtins, "__import__", recording_import)
        fi.inspectFile(path, "csv")
        fi.inspectFile(path, "csv")
        assert seen == [(True, None, None, 0)] * 2

    @pytest.mark.parametrize("name", sorted(DELIMITED_FILES))
    @pytest.mark.parametrize("force_titles", [False, True])
    def test_matches_the_csv_module(self, fi, write_file, name, force_titles):
        path = write_file(DELIMITED_FILES[name])
        result = fi.inspectFile(path, "csv", "", force_titles)
        assert comparable(result) == comparable(csv_module_layout(path, force_titles))

    @pytest.mark.parametrize(
        "content, given, expected",
        [
            ("a\tb\n1\t2\n", "csv", "txt"),
            ("a;b\n1;2\n", "txt", "csv"),
            ("a,b\n1,2\n", "csv", "txt"),
        ],
    )
    def test_type_follows_the_delimiter(self, fi, write_file, content, given, expected):
        assert fi.inspectFile(write_file(content), given)[0] == expected

    def test_byte_order_mark_is_not_in_the_titles(self, fi, write_file):
        path = write_file("\ufeffname;qty\nbolt;3\n")
        assert fi.inspectFile(path, "csv", forceTitles=True)[3] == ["name", "qty"]

    def test_blank_first_line_does_not_hide_the_titles(self, fi, write_file):
        path = write_file("\nname;age\nAnn;31\nBob;42\n")
        forced = fi.inspectFile(path, "csv", forceTitles=True)
        assert forced[:4] == ("csv", 2, True, ["name", "age"])

    def test_forced_titles_skip_the_header_test(self, fi, write_file, monkeypatch):
        def refuse(self, sample):
            raise AssertionError("has_header must not run when titles are forced")

        monkeypatch.setattr(csv.Sniffer, "has_header", refuse)
        flag = 1
        result = fi.inspectFile(write_file("1;2\n3;4\n5;6\n"), "csv", forceTitles=flag)
        assert result[:4] == ("csv", 2, 1, ["1", "2"])
        assert result[2] is flag

    def test_data_first_row_gives_no_titles(self, fi, write_file):
        result = fi.inspectFile(write_file("1;2\n3;4\n5;6\n"), "csv")
        assert result[1:4] == (3, False, [])

    def test_each_call_has_its_own_titles(self, fi, write_file):
        path = write_file("1;2\n3;4\n")
        assert fi.inspectFile(path, "csv")[3] is not fi.inspectFile(path, "csv")[3]

    def test_real_detection(self, fi, mime_mode, write_file):
        path = write_file("city;population\nLyon;522250\nPorto;231800\n")
        result = fi.inspectFile(path)
        assert result[:4] == ("csv", 2, True, ["city", "population"])

    def test_membership_decides_the_branch(self, fi, monkeypatch, write_file):
        monkeypatch.setattr(fi, "simpleRangeType", ("csv", "txt", "dat"))
        assert fi.inspectFile(write_file("a;b\n1;2\n"), "dat")[:2] == ("csv", 1)

    def test_shipped_samples(self, fi, mime_mode):
        samples = os.path.join(os.path.dirname(fi.__file__), "samples")
        cities = fi.inspectFile(os.path.join(samples, "cities.csv"))
        assert cities[:4] == ("csv", 5, True, ["city", "country", "population", "area_km2"])
        stock = fi.inspectFile(os.path.join(samples, "stock.txt"))
        assert stock[:4] == ("txt", 4, True, ["sku", "description", "qty", "unit_price"])


class TestDelimitedTextFailures:
    """Errors reach the caller with their entries, and the file is closed."""

    @pytest.mark.parametrize(
        "content, force_titles, error, failing_line",
        [
            (b"", False, csv.Error, 99),
            (b"", True, csv.Error, 100),
            (b"\xff\xfe;a\n1;2\n", False, UnicodeDecodeError, 97),
            (b"a;b\n" + b"1;2\n" * 20000 + b"\xe9;x\n", False, UnicodeDecodeError, 106),
        ],
        ids=["empty", "empty, titles forced", "bad start", "bad far in"],
    )
    def test_errors_inside_the_block(
        self, fi, write_file, content, force_titles, error, failing_line
    ):
        path = write_file(content)
        before = open_descriptors()
        with pytest.raises(error) as info:
            fi.inspectFile(path, "csv", "", force_titles)
        assert module_entries(info.value) == [("inspectFile", 96), ("inspectFile", failing_line)]
        assert open_descriptors() == before

    @pytest.mark.parametrize("failing_step", [
        "read", "seek", "has_header", "sniff", "delimiter", "reader", "rows"])
    def test_suppressed_error_goes_on_with_the_last_values(self, tmp_path, failing_step):
        # A file object whose __exit__ swallows the error: the function goes
        # on after the block with the values assigned before the failure, as
        # the plain-Python rendering does (this once ended in a crash).
        script = SUPPRESSING_OPEN_SCRIPT % {
            "reference": str(REFERENCE_PATH), "step": failing_step, "folder": str(tmp_path)}
        done = subprocess.run(python_command() + ["-c", script], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
        assert done.returncode == 0, done.stderr
        extension, reference = done.stdout.splitlines()
        assert extension == reference

    def test_field_over_the_size_limit(self, fi, write_file):
        path = write_file("a;b\n1;2\n3;" + "x" * 5000 + "\n")
        limit = csv.field_size_limit(1000)
        try:
            with pytest.raises(csv.Error, match="field larger than field limit"):
                fi.inspectFile(path, "csv")
        finally:
            csv.field_size_limit(limit)

    def test_missing_file(self, fi, tmp_path):
        with pytest.raises(FileNotFoundError) as info:
            fi.inspectFile(str(tmp_path / "gone.csv"), "txt")
        assert module_entries(info.value) == [("inspectFile", 96)]

    def test_directory(self, fi, tmp_path):
        with pytest.raises(IsADirectoryError):
            fi.inspectFile(str(tmp_path), "csv")

    def test_detection_error(self, fi, mime_mode, tmp_path):
        with pytest.raises(Exception) as info:
            fi.inspectFile(str(tmp_path / "gone"))
        assert module_entries(info.value) == [("inspectFile", 87), ("getfiletype", 44)]


@pytest.fixture
def workbook(fi, monkeypatch):
    """Fake getDataFileRanges/analyseRangeData on the module, recording their calls."""
    calls = []
    answers = {"ranges": ["r1", "r2"], "r1": ("a", "b", "c"), "r2": ("d", "e")}

    def getDataFileRanges(filename, ftype):
        calls.append(("ranges", filename, ftype))
        return answers["ranges"]

    def analyseRangeData(filename, ftype, arange):
        calls.append(("analyse", filename, ftype, arange))
        return answers[arange]

    monkeypatch.setattr(fi, "getDataFileRanges", getDataFileRanges)
    monkeypatch.setattr(fi, "analyseRangeData", analyseRangeData)
    return calls, answers


class TestWorkbooks:
    def test_every_range(self, fi, workbook):
        calls, _ = workbook
        assert fi.inspectFile("book", "xls") == ("xls", ("r1", "b", "c"), ("r2", "e"))
        assert calls == [
            ("ranges", "book", "xls"),
            ("analyse", "book", "xls", "r1"),
            ("analyse", "book", "xls", "r2"),
        ]

    def test_one_range_is_passed_through(self, fi, workbook):
        calls, answers = workbook
        assert fi.inspectFile("book", "xlsx", "r1", True) is answers["r1"]
        assert calls == [("analyse", "book", "xlsx", "r1")]

    def test_no_ranges(self, fi, workbook):
        workbook[1]["ranges"] = []
        assert fi.inspectFile("book", "xls") == ("xls",)

    def test_nested_calls_go_through_the_namespace(self, fi, workbook, monkeypatch):
        inspect_file = fi.inspectFile
        nested = []

        def recording(*args):
            nested.append(args)
            return inspect_file(*args)

        monkeypatch.setattr(fi, "inspectFile", recording)
        flag = object()
        assert inspect_file("book", "xlsx", "", flag) == ("xlsx", ("r1", "b", "c"), ("r2", "e"))
        assert nested == [("book", "xlsx", "r1", flag), ("book", "xlsx", "r2", flag)]

    def test_ranges_from_any_iterable(self, fi, workbook):
        workbook[1]["ranges"] = iter(["r2"])
        assert fi.inspectFile("book", "xlsx") == ("xlsx", ("r2", "e"))

    @pytest.mark.parametrize(
        "ranges, analysis, error, entries",
        [
            (None, None, TypeError, [("inspectFile", 121)]),
            (["r1"], 5, TypeError, [("inspectFile", 122)]),
            (["r1"], (), IndexError, [("inspectFile", 123)]),
        ],
        ids=["ranges not iterable", "analysis not iterable", "empty analysis"],
    )
    def test_unusable_answers(self, fi, workbook, ranges, analysis, error, entries):
        workbook[1].update({"ranges": ranges, "r1": analysis})
        with pytest.raises(error) as info:
            fi.inspectFile("book", "xls")
        assert module_entries(info.value) == entries

    def test_false_designation_ends_in_recursion_error(self, fi, workbook):
        workbook[1]["ranges"] = [""]
        limit = sys.getrecursionlimit()
        sys.setrecursionlimit(200)
        try:
            with pytest.raises(RecursionError):
                fi.inspectFile("book", "xls")
        finally:
            sys.setrecursionlimit(limit)

    def test_analysis_error(self, fi, workbook, monkeypatch):
        def analyseRangeData(filename, ftype, arange):
            raise ValueError("no such sheet")

        monkeypatch.setattr(fi, "analyseRangeData", analyseRangeData)
        with pytest.raises(ValueError) as info:
            fi.inspectFile("book", "xls")
        assert module_entries(info.value) == [
            ("inspectFile", 122),
            ("inspectFile", 116),
        ]


class TestOtherTypes:
    @pytest.mark.parametrize(
        "ftype", ["ods", "xlsm", "XLS", "unknown spreadsheet", "unknown application", 3]
    )
    def test_default_result_without_file_access(self, fi, ftype, capsys, tmp_path):
        flag = object()
        result = fi.inspectFile(str(tmp_path / "missing"), ftype, "A1", flag)
        assert result == (ftype, 0, flag, [], None)
        assert result[2] is flag
        assert capsys.readouterr().out == ""

    def test_unknown_prints_one_debug_line(self, fi, capsys):
        assert fi.inspectFile("/x/y.bin", "unknown") == ("unknown", 0, False, [], None)
        assert capsys.readouterr().out == "debug file /x/y.bin -> typeunknown\n"

    def test_detected_unknown(self, fi, mime_mode, write_file, capsys):
        path = write_file("<!DOCTYPE html><html><body><p>hi</p></body></html>\n", "page.html")
        assert fi.inspectFile(path) == ("unknown", 0, False, [], None)
        assert capsys.readouterr().out == "debug file %s -> typeunknown\n" % path

    @pytest.mark.parametrize("ftype", [None, "", False])
    def test_false_type_is_detected_once(self, fi, monkeypatch, ftype):
        calls = []
        monkeypatch.setattr(fi, "getfiletype", lambda filename: calls.append(filename) or "ods")
        assert fi.inspectFile("f", ftype) == ("ods", 0, False, [], None)
        assert calls == ["f"]


MEMORY_PROBE = PEAK_KB + """
import sys
from veltrane.corvalest.datareader import fileInspect
result = fileInspect.inspectFile(sys.argv[1], "csv")
print(result[1], peak_kb())
"""


def generated_file(directory, megabytes):
    path = os.path.join(str(directory), "%dmb.csv" % megabytes)
    block = "".join("%07d;name %d;%d.25;flag\n" % (i, i, i) for i in range(20000)).encode()
    lines_per_block = 20000
    with open(path, "wb") as handle:
        handle.write(b"id;name;value;flag\n")
        blocks = megabytes * 1024 * 1024 // len(block)
        for _ in range(blocks):
            handle.write(block)
    return path, blocks * lines_per_block


def peak_memory_kb(path):
    done = subprocess.run(
        python_command() + ["-c", textwrap.dedent(MEMORY_PROBE), path],
        stdout=subprocess.PIPE,
        universal_newlines=True,
        check=True,
    )
    lines, peak = done.stdout.split()
    return int(lines), int(peak)


@pytest.mark.skipif(
    "FILEINSPECT_SANITIZED" in os.environ,
    reason="under a sanitizer the peak measures its quarantine of freed memory",
)
def test_memory_does_not_grow_with_the_file(tmp_path):
    big_mb = int(os.environ.get("FILEINSPECT_BIG_FILE_MB", "300"))
    small_path, small_lines = generated_file(tmp_path, 1)
    big_path, big_lines = generated_file(tmp_path, big_mb)
    small = peak_memory_kb(small_path)
    big = peak_memory_kb(big_path)
    os.remove(big_path)
    assert (small[0], big[0]) == (small_lines, big_lines)
    assert big[1] - small[1] < 4096, "peak memory grew by %d kB" % (big[1] - small[1])


# Replaces builtins.open before the module and the plain-Python rendering are
# imported (both hold `open` from then on) with one whose file objects fail at
# the chosen step and whose __exit__ suppresses the error; prints the result
# of each, dialects shown by their attributes.
SUPPRESSING_OPEN_SCRIPT = """
import builtins, csv, os, sys, types
step = "%(step)s"
real_open = builtins.open

class Failing:
    def __init__(self, file):
        self.file = file
    def read(self, size):
        if step == "read":
            raise OSError("read failed")
        return self.file.read(size)
    def seek(self, position):
        if step == "seek":
            raise OSError("seek failed")
        return self.file.seek(position)
    def __iter__(self):
        return iter(self.file)

class Suppressing:
    def __init__(self, file):
        self.file = file
    def __enter__(self):
        return Failing(self.file.__enter__())
    def __exit__(self, *raised):
        self.file.__exit__(*raised)
        return True

builtins.open = lambda *args, **kwargs: Suppressing(real_open(*args, **kwargs))
from veltrane.corvalest.datareader import fileInspect
reference = types.ModuleType("reference")
exec(compile(real_open("%(reference)s").read(), "reference.py", "exec"), vars(reference))

content = "name;qty\\na;1\\nb;2\\n"
if step in ("has_header", "sniff"):
    content = ""
elif step == "rows":
    content = "name;qty\\n" + "a;1\\n" * 400 + "\\udcff"
elif step == "delimiter":
    csv.Sniffer.sniff = lambda self, sample: object()
elif step == "reader":
    csv.reader = lambda *args: 1 / 0
path = os.path.join("%(folder)s", "data.csv")
with real_open(path, "w", encoding="utf-8", errors="surrogateescape") as out:
    out.write(content)

def shown(value):
    if isinstance(value, type):
        return (value.delimiter, value.quotechar, value.doublequote, value.skipinitialspace)
    return "object" if type(value) is object else value

for module in (fileInspect, reference):
    result = module.inspectFile(path, "csv", "", step == "sniff")
    print(tuple(shown(item) for item in result))
"""
