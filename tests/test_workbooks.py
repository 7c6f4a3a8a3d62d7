"""Reading real .xls and .xlsx workbooks: range designations, ranges, layouts, failures."""

import datetime
import os
import subprocess
import sys
from pathlib import Path

import pytest

from veltrane.corvalest import excelutils
from veltrane.corvalest.datareader import excelsource
from veltrane.corvalest.excelutils import Area, formatRangeDesignation, parseRangeDesignation
from conftest import corpus_root
from launcher import python_command
from workbook_helpers import (
    open_descriptors,
    rewrite_member,
    sweep,
    write_workbook,
    write_xlsx,
)

pytest.importorskip("openpyxl")
pytest.importorskip("xlrd")
pytest.importorskip("xlwt")

KINDS = ["xlsx", "xls"]
TITLED = [["name", "qty", "price"], ["bolt", 40, 0.25], ["nut", 120, 0.1], ["washer", 75, 0.05]]
NUMBERS = [[1, 2, 3], [4, 5, 6]]


@pytest.fixture(params=KINDS)
def kind(request):
    return request.param


@pytest.fixture
def book(tmp_path, kind):
    """Write a workbook of the current kind and return (path, kind)."""

    def write(*sheets):
        return write_workbook(tmp_path, kind, sheets), kind

    return write


class TestTypeNames:
    def test_delimited_and_workbook_types_are_disjoint_and_immutable(self):
        assert excelutils.simpleRangeType == {"csv", "txt"}
        assert excelutils.multiRangesType == {"xls", "xlsx"}
        assert isinstance(excelutils.simpleRangeType, frozenset)
        assert isinstance(excelutils.multiRangesType, frozenset)


class TestDesignations:
    @pytest.mark.parametrize(
        "text, sheet, area",
        [
            ("Sheet1!B2:D20", "Sheet1", Area(2, 2, 20, 4)),
            ("Sheet1!B2", "Sheet1", Area(2, 2, 2, 2)),
            ("Sheet1!$b$2:d$20", "Sheet1", Area(2, 2, 20, 4)),
            ("Sheet1!D20:B2", "Sheet1", Area(2, 2, 20, 4)),
            ("Sheet1!A1:XFD1048576", "Sheet1", Area(1, 1, 1048576, 16384)),
            ("'Bob''s data'!A1:C3", "Bob's data", Area(1, 1, 3, 3)),
            ("'a!b'!A1", "a!b", Area(1, 1, 1, 1)),
            ("''''!A1", "'", Area(1, 1, 1, 1)),
            ("Sheet1", "Sheet1", None),
            ("'My sheet'", "My sheet", None),
            ("My sheet", "My sheet", None),
        ],
    )
    def test_parse(self, text, sheet, area):
        assert parseRangeDesignation(text) == (sheet, area)

    @pytest.mark.parametrize(
        "text",
        [
            "",
            "!A1",
            "Sheet1!",
            "Sheet1!A1:",
            "Sheet1!A1:B",
            "Sheet1!1:3",
            "Sheet1!A:C",
            "Sheet1!A1:B2:C3",
            "Sheet1!A1!B2",
            "Sheet1!A0",
            "Sheet1!XFE1",
            "Sheet1!A1048577",
            "Sheet1!A1 ",
            "'Sheet1!A1",
            "'Sheet1'A1",
        ],
    )
    def test_malformed(self, text):
        with pytest.raises(ValueError):
            parseRangeDesignation(text)

    @pytest.mark.parametrize(
        "sheet, written",
        [
            ("Sheet_1", "Sheet_1!A1:C3"),
            ("Données", "Données!A1:C3"),
            ("My sheet", "'My sheet'!A1:C3"),
            ("Bob's data", "'Bob''s data'!A1:C3"),
            ("2019-20", "'2019-20'!A1:C3"),
        ],
    )
    def test_format_quotes_names_that_need_it_and_parses_back(self, sheet, written):
        area = Area(1, 1, 3, 3)
        assert formatRangeDesignation(sheet, area) == written
        assert parseRangeDesignation(written) == (sheet, area)

    def test_column_letters_round_trip(self):
        letters = [excelutils.columnLetters(n) for n in range(1, 16385)]
        assert letters[:3] == ["A", "B", "C"] and letters[25:28] == ["Z", "AA", "AB"]
        assert letters[-1] == "XFD"
        assert [excelutils.columnNumber(text) for text in letters] == list(range(1, 16385))


class TestGetranges:
    def test_one_range_per_sheet_with_data_in_sheet_order(self, book):
        path, kind = book(
            ("Sheet1", "A1", TITLED),
            ("Empty", "A1", []),
            ("Offset", "C3", [[1, None, 2], [None, None, None], [None, 3]]),
            ("My data", "B2", [[7]]),
            ("Bob's", "A1", NUMBERS),
        )
        assert excelsource.getranges(str(path), kind) == [
            "Sheet1!A1:C4",
            "Offset!C3:E5",
            "'My data'!B2",
            "'Bob''s'!A1:C2",
        ]

    def test_workbook_without_data_gives_an_empty_list(self, book):
        path, kind = book(("Sheet1", "A1", []), ("Sheet2", "A1", [["", None]]))
        assert excelsource.getranges(str(path), kind) == []

    def test_empty_text_cells_do_not_widen_the_range(self, book):
        path, kind = book(("S", "A1", [["", "", ""], ["", 1, 2, ""], [None, 3, 4], ["", "", ""]]))
        assert excelsource.getranges(path, kind) == ["S!B2:C3"]

    def test_xlsx_stored_dimensions_are_not_trusted(self, tmp_path):
        path = write_xlsx(tmp_path / "book.xlsx", [("S", "A1", TITLED)])
        rewrite_member(path, "xl/worksheets/sheet1.xml", lambda xml: xml.replace("A1:C4", "A1:A1"))
        assert excelsource.getranges(path, "xlsx") == ["S!A1:C4"]
        rewrite_member(path, "xl/worksheets/sheet1.xml",
                       lambda xml: xml.replace('<dimension ref="A1:A1"/>', ""))
        assert excelsource.getranges(path, "xlsx") == ["S!A1:C4"]

    def test_file_name_extension_does_not_matter(self, book):
        path, kind = book(("S", "A1", NUMBERS))
        renamed = path.with_name("upload.bin")
        path.rename(renamed)
        assert excelsource.getranges(renamed, kind) == ["S!A1:C2"]


class TestAnalyseRangeData:
    def test_title_row_over_numbers(self, book):
        path, kind = book(("Sheet1", "A1", TITLED))
        expected = (kind, 3, True, ["name", "qty", "price"], None)
        assert excelsource.analyseRangeData(str(path), kind, "Sheet1!A1:C4") == expected
        assert excelsource.analyseRangeData(str(path), kind, "Sheet1") == expected
        assert excelsource.analyseRangeData(str(path), kind, "'Sheet1'") == expected
        assert excelsource.analyseRangeData(str(path), kind, "sheet1!a1:c4") == expected

    def test_numbers_only(self, book):
        path, kind = book(("Sheet1", "A1", NUMBERS))
        assert excelsource.analyseRangeData(str(path), kind, "Sheet1") == (kind, 2, False, [], None)

    def test_mixed_types_under_titles(self, book):
        rows = [
            ["when", "ok", "what", "count"],
            [datetime.datetime(2021, 3, 1), True, "first", 1],
            [datetime.datetime(2021, 3, 2), False, "second", 2.5],
        ]
        path, kind = book(("Log", "A1", rows))
        assert excelsource.analyseRangeData(path, kind, "Log") == (kind, 2, True, rows[0], None)

    def test_part_of_a_sheet(self, book):
        path, kind = book(("S", "B2", TITLED))
        inspected = excelsource.analyseRangeData(path, kind, "S!C2:D4")
        assert inspected == (kind, 2, True, ["qty", "price"], None)
        assert excelsource.analyseRangeData(path, kind, "S!C3:D5") == (kind, 3, False, [], None)
        assert excelsource.analyseRangeData(path, kind, "S!C3") == (kind, 1, False, [], None)

    def test_title_row_spans_the_range_and_skips_leading_blank_rows(self, book):
        path, kind = book(("S", "B3", TITLED))
        assert excelsource.analyseRangeData(path, kind, "S!A1:D6") == (
            kind, 3, True, ["", "name", "qty", "price"], None,
        )

    def test_blank_rows_inside_are_not_counted(self, book):
        rows = [["a", "b"], [None], [1, 2], [None], [None], [3, 4]]
        path, kind = book(("S", "A1", rows))
        inspected = excelsource.analyseRangeData(path, kind, "S!A1:B6")
        assert inspected == (kind, 2, True, ["a", "b"], None)

    def test_range_without_data(self, book):
        path, kind = book(("S", "A1", NUMBERS))
        assert excelsource.analyseRangeData(path, kind, "S!J10:K20") == (kind, 0, False, [], None)

    def test_accepts_every_designation_that_getranges_gives(self, book):
        path, kind = book(
            ("Bob's data", "C3", TITLED), ("2nd", "A1", NUMBERS), ("x y", "D4", [["t"], [1]]))
        ranges = excelsource.getranges(path, kind)
        counts = [excelsource.analyseRangeData(path, kind, r)[1] for r in ranges]
        assert counts == [3, 2, 1]


class TestTitleHeuristic:
    @pytest.mark.parametrize(
        "rows, titled",
        [
            (TITLED, True),
            ([["qty"], [1], [2]], True),
            ([[None, "Jan", "Feb"], ["ann", 1, 2], ["bob", 3, 4]], True),
            ([["code", "city"], ["AB", "Paris"], ["CD", "Rome"]], True),
            ([["ab", "cd"], ["xy", "zw"], ["uv", "rs"]], False),
            ([["city", "country"], ["Paris", "France"], ["Rome", "Italy"]], False),
            ([["name", "qty"], ["bolt", 1], ["nut", "n/a"]], False),
            ([["total", 5, 6], ["x", 1, 2]], False),
            ([["name", "qty", "price"]], False),
            ([[1, 2], [3, 4]], False),
        ],
        ids=[
            "text-over-numbers", "one-column", "empty-corner", "length-differs",
            "length-same", "lengths-vary", "mixed-column", "number-in-first-row",
            "single-row", "numbers",
        ],
    )
    def test_first_row_is_titles(self, tmp_path, rows, titled):
        path = write_xlsx(tmp_path / "book.xlsx", [("S", "A1", rows)])
        assert excelsource.analyseRangeData(path, "xlsx", "S")[2] is titled

    def test_only_the_first_rows_are_sampled(self, tmp_path):
        rows = [["code"]] + [["AB"]] * excelsource.TITLE_SAMPLE_ROWS + [["code"]] * 50
        path = write_xlsx(tmp_path / "book.xlsx", [("S", "A1", rows)])
        assert excelsource.analyseRangeData(path, "xlsx", "S")[:3] == ("xlsx", len(rows) - 1, True)


class TestFailures:
    def test_damaged_file(self, book):
        path, kind = book(("S", "A1", TITLED))
        data = path.read_bytes()
        path.write_bytes(data[: len(data) // 2])
        for call in (lambda: excelsource.getranges(path, kind),
                     lambda: excelsource.analyseRangeData(path, kind, "S")):
            with pytest.raises(ValueError, match="book.%s" % kind) as caught:
                call()
            assert caught.value.__cause__ is not None

    @pytest.mark.parametrize("ftype", KINDS)
    def test_text_file(self, tmp_path, ftype):
        path = tmp_path / "cities.csv"
        path.write_text("city;country\nParis;France\n")
        with pytest.raises(ValueError, match="cities.csv"):
            excelsource.getranges(path, ftype)

    def test_workbook_of_the_other_kind(self, book):
        path, kind = book(("S", "A1", TITLED))
        with pytest.raises(ValueError, match="not a readable"):
            excelsource.getranges(path, "xls" if kind == "xlsx" else "xlsx")

    def test_missing_sheet_names_the_file_and_the_sheet(self, book):
        path, kind = book(("S", "A1", TITLED))
        with pytest.raises(ValueError, match=r"book\.%s.* 'Other'.* 'S'" % kind):
            excelsource.analyseRangeData(path, kind, "Other!A1:B2")

    @pytest.mark.parametrize("arange", ["S!", "S!A1:", "'S!A1", "S!B2:C3:D4", "S!ZZZ1"])
    def test_malformed_designation_names_the_file(self, book, arange):
        path, kind = book(("S", "A1", TITLED))
        with pytest.raises(ValueError, match="book.%s.*range designation" % kind):
            excelsource.analyseRangeData(path, kind, arange)

    def test_designation_that_is_not_text(self, book):
        path, kind = book(("S", "A1", TITLED))
        with pytest.raises(TypeError):
            excelsource.analyseRangeData(path, kind, 3)

    @pytest.mark.parametrize("ftype", ["ods", "XLSX", "csv", None])
    def test_type_name_that_is_no_workbook_type(self, book, ftype):
        path, _ = book(("S", "A1", TITLED))
        with pytest.raises(ValueError, match="not a workbook type"):
            excelsource.getranges(path, ftype)

    def test_missing_file_raises_the_error_of_open(self, tmp_path, kind):
        with pytest.raises(FileNotFoundError):
            excelsource.getranges(tmp_path / "none", kind)

    def test_rows_beyond_the_last_row_of_a_sheet(self, tmp_path):
        path = write_xlsx(tmp_path / "book.xlsx", [("S", "A1", NUMBERS)])
        rewrite_member(path, "xl/worksheets/sheet1.xml",
                       lambda xml: xml.replace('r="2"', 'r="9999999"'))
        with pytest.raises(ValueError, match="beyond"):
            excelsource.getranges(path, "xlsx")

    @pytest.mark.parametrize("reader, ftype", [("openpyxl", "xlsx"), ("xlrd", "xls")])
    def test_missing_reader_names_the_extra(self, monkeypatch, book, reader, ftype):
        path, _ = book(("S", "A1", TITLED))
        monkeypatch.setitem(sys.modules, reader, None)
        with pytest.raises(ImportError, match=r"\.%s .*%s.*\[excel\]" % (ftype, reader)):
            excelsource.getranges(path, ftype)

    def test_package_imports_without_readers(self):
        code = (
            "import sys; sys.modules['openpyxl'] = sys.modules['xlrd'] = None\n"
            "from veltrane.corvalest.datareader import fileInspect, excelsource\n"
        )
        subprocess.run(python_command() + ["-c", code], check=True)


class TestFilesClosed:
    @pytest.mark.parametrize(
        "call",
        [
            lambda path, kind: excelsource.getranges(path, kind),
            lambda path, kind: excelsource.analyseRangeData(path, kind, "S!B2:C3"),
            lambda path, kind: excelsource.analyseRangeData(path, kind, "Missing"),
            lambda path, kind: excelsource.getranges(path, "xls" if kind == "xlsx" else "xlsx"),
        ],
        ids=["getranges", "analyse", "missing-sheet", "other-kind"],
    )
    def test_no_descriptor_stays_open(self, book, call):
        path, kind = book(("S", "A1", TITLED), ("T", "A1", NUMBERS))
        before = open_descriptors()
        for _ in range(3):
            try:
                call(path, kind)
            except ValueError:
                pass
        assert open_descriptors() == before


class TestInspectFile:
    """The extension with the real python-magic on workbooks written here."""

    MIME_TYPES = {
        "xlsx": "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet",
        "xls": "application/vnd.ms-excel",
    }

    @pytest.fixture
    def fileInspect(self):
        pytest.importorskip("magic")
        from veltrane.corvalest.datareader import fileInspect

        if fileInspect.KOmagic:
            pytest.skip("the extension runs without python-magic")
        return fileInspect

    def test_libmagic_recognises_the_written_workbooks(self, fileInspect, book):
        import magic

        path, kind = book(("Sheet1", "A1", TITLED))
        assert magic.from_file(str(path), True) == self.MIME_TYPES[kind]
        assert fileInspect.getfiletype(str(path)) == kind

    def test_workbook_result(self, fileInspect, book):
        path, kind = book(("Sheet1", "A1", TITLED), ("Blank", "A1", []), ("My data", "B2", NUMBERS))
        assert fileInspect.inspectFile(str(path)) == (
            kind,
            ("Sheet1!A1:C4", 3, True, ["name", "qty", "price"], None),
            ("'My data'!B2:D3", 2, False, [], None),
        )
        assert fileInspect.getDataFileRanges(str(path)) == ["Sheet1!A1:C4", "'My data'!B2:D3"]
        assert fileInspect.inspectFile(str(path), kind, "My data") == (kind, 2, False, [], None)


class TestSamples:
    SAMPLES = Path(excelsource.__file__).with_name("samples")
    GENERATOR = Path(__file__).resolve().parents[1] / "tools" / "make_sample_workbooks.py"

    @pytest.mark.parametrize(
        "name, ranges",
        [
            ("sales.xlsx", ["Sales!A1:D7", "'Sensor readings'!C3:F8"]),
            ("warehouse.xls", ["Stock!A1:D6"]),
        ],
    )
    def test_shipped_samples(self, name, ranges):
        path = self.SAMPLES / name
        ftype = path.suffix[1:]
        assert excelsource.getranges(path, ftype) == ranges
        assert excelsource.analyseRangeData(path, ftype, ranges[0])[2] is True

    def test_generator_is_deterministic(self, tmp_path):
        if not self.GENERATOR.exists():
            pytest.skip("the sample generator is not beside the tests")
        for folder in (tmp_path / "one", tmp_path / "two"):
            subprocess.run(python_command() + [str(self.GENERATOR), str(folder)], check=True)
        for name in ("sales.xlsx", "warehouse.xls"):
            assert (tmp_path / "one" / name).read_bytes() == (tmp_path / "two" / name).read_bytes()


CORPUS_SUFFIXES = (".xls", ".xlsx", ".xlsm", ".xlsb")


def _corpus_files():
    """The corpus's workbooks: under $FILEINSPECT_CORPUS when it is set, else under
    shared/corpus beside the checkout. Without one the corpus tests skip, unless
    FILEINSPECT_CORPUS names a folder without workbooks, which fails them."""
    named = os.environ.get("FILEINSPECT_CORPUS")
    root = corpus_root()
    files = sorted(p for p in root.rglob("*") if p.suffix in CORPUS_SUFFIXES)
    if files:
        return [pytest.param(str(p), id=str(p.relative_to(root))) for p in files]
    reason = "no workbooks under %s" % root
    if named:  # a corpus was asked for: its absence is a failure, not a skip
        marks = pytest.mark.corpus_missing(reason)
        return [pytest.param(None, id="FILEINSPECT_CORPUS", marks=marks)]
    return [pytest.param(None, marks=pytest.mark.skip(reason=reason + " (set FILEINSPECT_CORPUS)"))]


CORPUS = _corpus_files()


@pytest.fixture(scope="module")
def corpus_verdicts():
    return sweep([param.values[0] for param in CORPUS if param.values[0] is not None])


class TestCorpus:
    """Workbooks that nobody here wrote, damaged and hostile ones among them."""

    @pytest.fixture(autouse=True)
    def corpus_present(self, request):
        missing = request.node.get_closest_marker("corpus_missing")
        if missing:
            pytest.fail(missing.args[0])

    # The sweep caps the address space of its child, which a sanitizer's
    # shadow memory cannot live with; the readers hold no code of ours anyway.
    @pytest.mark.skipif("FILEINSPECT_SANITIZED" in os.environ, reason="runs readers only")
    @pytest.mark.parametrize("path", CORPUS)
    def test_read_or_refused_with_value_error(self, corpus_verdicts, path):
        outcome, detail = corpus_verdicts[path]
        assert outcome in ("ok", "refused"), detail

    @pytest.mark.parametrize("path", CORPUS)
    def test_detection_follows_libmagic(self, path):
        magic = pytest.importorskip("magic")
        from veltrane.corvalest.datareader import fileInspect

        if fileInspect.KOmagic:
            pytest.skip("the extension runs without python-magic")
        mime = magic.from_file(path, True)
        expected = {v: k for k, v in TestInspectFile.MIME_TYPES.items()}.get(mime)
        detected = fileInspect.getfiletype(path)
        if expected is not None:
            assert detected == expected
        else:
            assert detected not in ("xls", "xlsx"), mime
