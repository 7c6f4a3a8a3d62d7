"""getDataFileRanges: the answer by type name, and what it forwards."""
import pytest

from conftest import module_entries


@pytest.fixture
def recorded(fi, monkeypatch):
    """Records the calls of getfiletype and getranges, which answer from `answers`."""
    calls = []
    answers = {"getfiletype": "csv", "getranges": ["Sheet1!A1:B2"]}

    def getfiletype(filename):
        calls.append(("getfiletype", filename))
        return answers["getfiletype"]

    def getranges(filename, ftype):
        calls.append(("getranges", filename, ftype))
        return answers["getranges"]

    monkeypatch.setattr(fi, "getfiletype", getfiletype)
    monkeypatch.setattr(fi, "getranges", getranges)
    return calls, answers


class TestByTypeName:
    @pytest.mark.parametrize("ftype", ["csv", "txt"])
    def test_delimited_text_has_no_ranges(self, fi, recorded, ftype):
        calls, _ = recorded
        first = fi.getDataFileRanges("/no/such/file", ftype)
        second = fi.getDataFileRanges("/no/such/file", ftype)
        assert first == [] and second == [] and first is not second
        assert calls == []

    @pytest.mark.parametrize("ftype", ["xls", "xlsx"])
    def test_workbooks_forward_to_getranges(self, fi, recorded, ftype):
        calls, answers = recorded
        name = object()
        assert fi.getDataFileRanges(name, ftype) is answers["getranges"]
        assert calls == [("getranges", name, ftype)]
        assert calls[0][2] is ftype

    @pytest.mark.parametrize(
        "ftype",
        ["ods", "unknown", "unknown spreadsheet", "unknown application", "xlsm", "XLSX", "Xls",
         " xls", "xls ", ".xlsx", "csv.", "CSV", 1, 2.5, ("xls",)],
    )
    def test_other_names_get_none(self, fi, recorded, ftype):
        calls, _ = recorded
        assert fi.getDataFileRanges("/no/such/file", ftype) is None
        assert calls == []

    def test_equal_object_takes_the_workbook_way(self, fi, recorded):
        class Named(str):
            pass

        calls, _ = recorded
        ftype = Named("xlsx")
        fi.getDataFileRanges("book", ftype)
        assert calls[0][2] is ftype

    def test_given_type_wins_over_content(self, fi, recorded, write_file):
        calls, _ = recorded
        path = write_file("a;b\n1;2\n")
        fi.getDataFileRanges(path, "xlsx")
        assert calls == [("getranges", path, "xlsx")]


class TestDetection:
    @pytest.mark.parametrize("ftype", [None, "", False, 0, []])
    def test_false_type_asks_once(self, fi, recorded, ftype):
        calls, answers = recorded
        answers["getfiletype"] = "xls"
        assert fi.getDataFileRanges("book", ftype) is answers["getranges"]
        assert calls == [("getfiletype", "book"), ("getranges", "book", "xls")]

    @pytest.mark.parametrize(
        "detected", ["unknown", "unknown application", "unknown spreadsheet", "", "ods"]
    )
    def test_detected_other_names(self, fi, recorded, detected):
        calls, answers = recorded
        answers["getfiletype"] = detected
        assert fi.getDataFileRanges("f") is None
        assert calls == [("getfiletype", "f")]

    def test_real_detection_of_text(self, fi, mime_mode, write_file):
        assert fi.getDataFileRanges(write_file("a;b\n1;2\n")) == []

    def test_extension_mode(self, fi, extension_mode):
        assert fi.getDataFileRanges("/nowhere/data.txt") == []
        # Detection keeps the extension's case, and "ods" is no workbook here.
        assert fi.getDataFileRanges("/nowhere/Book.XLSX") is None
        assert fi.getDataFileRanges("/nowhere/sheet.ods") is None


class TestFailures:
    def test_detection_error(self, fi, fake_magic, tmp_path):
        fake_magic(FileNotFoundError(2, "No such file"))
        with pytest.raises(FileNotFoundError) as info:
            fi.getDataFileRanges(str(tmp_path / "x"))
        assert module_entries(info.value) == [("getDataFileRanges", 74), ("getfiletype", 44)]

    def test_getranges_error(self, fi, monkeypatch):
        def getranges(filename, ftype):
            raise ValueError("not a workbook")

        monkeypatch.setattr(fi, "getranges", getranges)
        with pytest.raises(ValueError, match="not a workbook") as info:
            fi.getDataFileRanges("x", "xls")
        assert module_entries(info.value) == [("getDataFileRanges", 78)]

    @pytest.mark.parametrize(
        "method, line", [("__bool__", 73), ("__eq__", 75)], ids=["truth", "equality"]
    )
    def test_unusual_type_object(self, fi, method, line):
        def refuse(*args):
            raise RuntimeError(method)

        ftype = type("Odd", (), {method: refuse, "__hash__": object.__hash__})()
        with pytest.raises(RuntimeError) as info:
            fi.getDataFileRanges("x", ftype)
        assert module_entries(info.value) == [("getDataFileRanges", line)]
