"""getfiletype: the extension mode, the MIME mode and its decision table."""
import pathlib

import pytest

from conftest import module_entries, open_descriptors


class TestExtensionMode:
    @pytest.mark.parametrize(
        "filename, expected",
        [
            ("Report.XLSX", "XLSX"),
            ("archive.tar.gz", "gz"),
            ("/data/v1.2/sheet.ods", "ods"),
            ("noextension", ""),
            ("/home/user/.profile", ""),
            ("..hidden", ""),
            ("dir.d/file", ""),
            ("trailing.", ""),
            (b"bytes.csv", b"csv"),
            (pathlib.PurePosixPath("/x/y.txt"), "txt"),
            (None, "unknown"),
            (42.0, "unknown"),
            (["a.csv"], "unknown"),
        ],
    )
    def test_extension_without_dot(self, fi, extension_mode, filename, expected):
        assert fi.getfiletype(filename) == expected

    def test_file_is_not_touched(self, fi, extension_mode, monkeypatch):
        monkeypatch.setattr(fi, "magic", None, raising=False)
        assert fi.getfiletype("/no/such/place/book.xls") == "xls"

    @pytest.mark.parametrize(
        "splitext",
        [
            lambda p: ("a", ".b", ".c"),
            lambda p: ("a",),
            lambda p: 7,
            lambda p: ("a", None),
            lambda p: (_ for _ in ()).throw(KeyboardInterrupt()),
        ],
        ids=["three parts", "one part", "not iterable", "unsliceable", "interrupt"],
    )
    def test_any_failure_gives_unknown(self, fi, extension_mode, monkeypatch, splitext):
        class FakePath:
            pass

        class FakeOs:
            path = FakePath()

        FakeOs.path.splitext = staticmethod(splitext)
        monkeypatch.setattr(fi, "os", FakeOs)
        assert fi.getfiletype("a.csv") == "unknown"

    def test_flag_is_read_at_each_call(self, fi, fake_magic, monkeypatch):
        fake = fake_magic("application/vnd.ms-excel")
        assert fi.getfiletype("book.ods") == "xls"
        monkeypatch.setattr(fi, "KOmagic", 1)
        assert fi.getfiletype("book.ods") == "ods"
        assert len(fake.calls) == 1


class TestMimeDecisions:
    """The MIME type decides; the fake `magic` chooses it."""

    @pytest.mark.parametrize(
        "mime, expected",
        [
            ("application/vnd.ms-excel", "xls"),
            ("application/vnd.ms-excel.sheet.macroEnabled.12", "xls"),
            ("application/vnd.openxmlformats-officedocument.spreadsheetml.sheet", "xlsx"),
            ("application/vnd.openxmlformats-officedocument.wordprocessingml.document", "xlsx"),
            ("application/vnd.oasis.opendocument.spreadsheet", "unknown spreadsheet"),
            ("application/vnd.MS-EXCEL", "unknown spreadsheet"),
            ("application/vnd", "unknown spreadsheet"),
            ("application/vnd.", "unknown spreadsheet"),
            ("application/zip", "unknown application"),
            ("application/x-ole-storage", "unknown application"),
            ("application", "unknown application"),
            ("application/", "unknown application"),
            ("application/vnd.ms-excel/extra/parts", "xls"),
            ("Application/vnd.ms-excel", "unknown"),
            ("text/csv", "unknown"),
            ("text/plain; charset=us-ascii", "unknown"),
            ("inode/x-empty", "unknown"),
            ("", "unknown"),
        ],
    )
    def test_non_plain_text(self, fi, fake_magic, mime, expected):
        fake = fake_magic(mime)
        # The path does not exist: only "text/plain" files are opened.
        assert fi.getfiletype("/no/such/file") == expected
        assert fake.calls == [("/no/such/file", True)]

    @pytest.mark.parametrize(
        "content, expected",
        [
            ("a;b;c\n1;2;3\n", "csv"),
            ("a;b;c\n1;2;3;4\n", "unknown"),
            ("a;b;c\n1;2;3;4\nmore\n", "unknown"),
            ("a\tb\tc\n1\t2\t3\n", "txt"),
            ("a;b\tc\n1;2\t3\n", "csv"),
            ("a;b;c\n1;2;3\t4\n", "csv"),
            ("a;b;c\tx\n1;2\t3\t4\n", "unknown"),
            ("a;b;c\tx\n1;2;3\t4\t5\n", "csv"),
            ("a;b\tc\tx\n1\t2\t3\n", "txt"),
            ("only;one;line\n", "unknown"),
            ("only;one;line", "unknown"),
            ("a;b\n\n", "unknown"),
            ("a,b,c\n1,2,3\n", "unknown"),
            ('"x;y";z\n1;2;3\n', "csv"),
            ("\ufeffa;b\n1;2\n", "csv"),
            ("a;b\r\n1;2\r\n", "csv"),
            ("a\tb\r1\t2\r", "txt"),
            ("", "unknown"),
        ],
    )
    def test_plain_text_layout(self, fi, fake_magic, write_file, content, expected):
        fake_magic("text/plain")
        assert fi.getfiletype(write_file(content)) == expected

    def test_never_yields_ods(self, fi, fake_magic):
        for mime in ("application/vnd.oasis.opendocument.spreadsheet", "application/ods"):
            fake_magic(mime)
            assert fi.getfiletype("x.ods") != "ods"


class TestMimeFailures:
    def test_magic_error_propagates(self, fi, fake_magic):
        fake_magic(PermissionError(13, "denied"))
        with pytest.raises(PermissionError) as info:
            fi.getfiletype("x")
        assert module_entries(info.value) == [("getfiletype", 44)]

    @pytest.mark.parametrize("mime, line", [(None, 45), (b"text/plain", 45)])
    def test_mime_that_is_not_text(self, fi, fake_magic, mime, line):
        fake_magic(mime)
        with pytest.raises((AttributeError, TypeError)) as info:
            fi.getfiletype("x")
        assert module_entries(info.value) == [("getfiletype", line)]

    def test_unopenable_plain_text(self, fi, fake_magic, tmp_path):
        fake_magic("text/plain")
        with pytest.raises(FileNotFoundError) as info:
            fi.getfiletype(str(tmp_path / "gone"))
        assert module_entries(info.value) == [("getfiletype", 47)]

    @pytest.mark.parametrize(
        "content, failing_line",
        # The second line's bytes are decoded only once the first line is
        # read when the first fills the text layer's first 8192-byte chunk.
        [(b"\xff\xfe;x\n1;2\n", 48), (b"a;" + b"b" * 8189 + b"\n\xe9;x\n", 49)],
        ids=["first line", "second line"],
    )
    def test_undecodable_line(self, fi, fake_magic, write_file, content, failing_line):
        fake_magic("text/plain")
        path = write_file(content)
        before = open_descriptors()
        with pytest.raises(UnicodeDecodeError) as info:
            fi.getfiletype(path)
        # The with-block's entry stands outside the failing read's.
        assert module_entries(info.value) == [("getfiletype", 47), ("getfiletype", failing_line)]
        assert open_descriptors() == before


class TestRealMagic:
    """python-magic itself on files written here."""

    @pytest.mark.parametrize(
        "content, expected",
        [
            ("name;qty\nbolt;3\nnut;4\n", "csv"),
            ("name\tqty\nbolt\t3\n", "txt"),
            ("".join("item%d,%d,%d.5\n" % (i, i, i) for i in range(50)), "unknown"),
            ("just words\nand more words\n", "unknown"),
        ],
    )
    def test_text_files(self, fi, mime_mode, write_file, content, expected):
        assert fi.getfiletype(write_file(content)) == expected

    def test_empty_file(self, fi, mime_mode, write_file):
        assert fi.getfiletype(write_file(b"")) == "unknown"

    def test_missing_file_raises(self, fi, mime_mode, tmp_path):
        with pytest.raises(Exception) as info:
            fi.getfiletype(str(tmp_path / "missing.csv"))
        assert module_entries(info.value)[0] == ("getfiletype", 44)

    def test_shipped_samples(self, fi, mime_mode):
        samples = pathlib.Path(fi.__file__).parent / "samples"
        assert fi.getfiletype(str(samples / "cities.csv")) == "csv"
        assert fi.getfiletype(str(samples / "stock.txt")) == "txt"
