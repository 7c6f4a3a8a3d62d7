"""Odd and hostile inputs end in a plain Python exception or a correct result.

Never a crash, a hang or a descriptor left open. Where what happens depends on
the interpreter's own csv module (NUL bytes, for one, stopped being an error
in 3.11), the plain-Python rendering in benchmarks/reference.py, run on the
same input, says what to expect.

FILEINSPECT_BIG_FILE_MB sets the size of the file without a line break (200 MB
by default); emulated or instrumented runs may shrink it.
"""
import contextlib
import csv
import io
import os
import pathlib
import subprocess
import textwrap

import pytest

from conftest import comparable, load_reference, module_entries, open_descriptors
from launcher import PEAK_KB, python_command


@pytest.fixture(scope="module")
def reference():
    module = load_reference()
    if module is None:
        pytest.skip("no benchmarks/reference.py next to the tests")
    return module


@pytest.fixture
def both(fi, reference, mime_mode, monkeypatch):
    """The extension and the reference rendering, both detecting with python-magic."""
    monkeypatch.setattr(reference, "magic", mime_mode, raising=False)
    monkeypatch.setattr(reference, "KOmagic", False)
    return fi, reference


def outcome(function, *args):
    """What a call returned and printed, or the type and message of what it raised."""
    printed = io.StringIO()
    try:
        with contextlib.redirect_stdout(printed):
            result = function(*args)
    except Exception as error:
        return "raised", type(error), str(error)
    return "returned", comparable(result), printed.getvalue()


# Calls made on each odd path or content: (function name, arguments after the path).
CALLS = [
    ("getfiletype", ()),
    ("getDataFileRanges", ()),
    ("inspectFile", ()),
    ("inspectFile", ("csv",)),
    ("inspectFile", ("txt", "", True)),
    ("inspectFile", ("xlsx",)),
]
CALL_IDS = ["getfiletype", "ranges", "inspect", "inspect csv", "inspect txt titles", "inspect xlsx"]


@pytest.mark.parametrize(
    "where, call, expected",
    [
        ("directory", CALLS[0], IsADirectoryError),
        ("directory", CALLS[2], IsADirectoryError),
        ("directory", CALLS[5], IsADirectoryError),
        ("/dev/null", CALLS[0], "unknown"),
        ("/dev/null", CALLS[1], None),
        ("/dev/null", CALLS[2], ("unknown", 0, False, [], None)),
        ("/dev/null", CALLS[3], csv.Error),
        ("/dev/null", CALLS[5], ValueError),
    ],
)
def test_paths_that_are_no_regular_files(fi, mime_mode, tmp_path, capsys, where, call, expected):
    path = str(tmp_path) if where == "directory" else where
    function, rest = call
    before = open_descriptors()
    if isinstance(expected, type):
        with pytest.raises(expected):
            getattr(fi, function)(path, *rest)
    else:
        assert getattr(fi, function)(path, *rest) == expected
    assert open_descriptors() == before


def change_file(path, change):
    if change == "removed":
        os.remove(path)
    elif change == "emptied":
        open(path, "w").close()
    elif change == "cut after its first line":
        with open(path, "r+") as handle:
            handle.truncate(len(handle.readline()))
    elif change == "made a directory":
        os.remove(path)
        os.mkdir(path)
    elif change == "made binary":
        with open(path, "wb") as handle:
            handle.write(b"\xff\xfe\x00\x01" * 64)


class TestChangedUnderfoot:
    """The file changes after its type was detected, before it is read."""

    @pytest.mark.parametrize(
        "change, expected, entries",
        [
            ("removed", FileNotFoundError, [("inspectFile", 96)]),
            ("emptied", csv.Error, [("inspectFile", 96), ("inspectFile", 99)]),
            ("cut after its first line", ("csv", 0, True, ["name", "qty"], ";"), None),
            ("made a directory", IsADirectoryError, [("inspectFile", 96)]),
            ("made binary", UnicodeDecodeError, [("inspectFile", 96), ("inspectFile", 97)]),
        ],
    )
    def test_between_detection_and_inspection(
        self, fi, mime_mode, monkeypatch, write_file, change, expected, entries
    ):
        path = write_file("name;qty\nbolt;3\nnut;4\n")
        detect = fi.getfiletype

        def detect_then_change(filename):
            ftype = detect(filename)
            change_file(filename, change)
            return ftype

        monkeypatch.setattr(fi, "getfiletype", detect_then_change)
        before = open_descriptors()
        if isinstance(expected, type):
            with pytest.raises(expected) as info:
                fi.inspectFile(path)
            assert module_entries(info.value) == entries
        else:
            result = fi.inspectFile(path)
            assert result[:4] + (result[4].delimiter,) == expected
        assert open_descriptors() == before

    @pytest.mark.parametrize(
        "change, expected",
        [("removed", FileNotFoundError), ("made a directory", IsADirectoryError),
         ("made binary", UnicodeDecodeError), ("emptied", "unknown")],
    )
    def test_between_the_mime_type_and_the_first_lines(
        self, fi, mime_mode, monkeypatch, write_file, change, expected
    ):
        path = write_file("name;qty\nbolt;3\n")

        class ChangingMagic:
            @staticmethod
            def from_file(filename, mime):
                answer = mime_mode.from_file(filename, mime)
                change_file(filename, change)
                return answer

        monkeypatch.setattr(fi, "magic", ChangingMagic)
        before = open_descriptors()
        if isinstance(expected, type):
            with pytest.raises(expected) as info:
                fi.getfiletype(path)
            assert module_entries(info.value)[0] == ("getfiletype", 47)
        else:
            assert fi.getfiletype(path) == expected
        assert open_descriptors() == before


def contents():
    limit = csv.field_size_limit()
    block = b"1;2\n" * 400  # well past the 1024 characters that are sniffed
    return {
        "latin-1 at the start": b"caf\xe9;prix\n1;2\n",
        "latin-1 after the sample": b"a;b\n" + block + b"\xe9;x\n",
        "utf-16": "a;b\n1;2\n".encode("utf-16"),
        "NUL at the start": b"\x00a;b\n1;2\n",
        "NUL in a field": b"a;b\n1;\x002\n3;4\n",
        "NUL after the sample": b"a;b\n" + block + b"3;\x00\n",
        "field over the size limit": b"a;b\n1;" + b"x" * (limit + 10) + b"\n2;3\n",
        "quote never closed": b'a;b\n1;"2\n3;4\n',
        "lone carriage returns": b"a;b\r1;2\r3;4\r",
        "every byte": bytes(range(256)) * 8,
    }


@pytest.mark.parametrize("name", sorted(contents()))
@pytest.mark.parametrize("call", CALLS[:5], ids=CALL_IDS[:5])
def test_hostile_contents_as_the_reference(both, write_file, name, call):
    path = write_file(contents()[name])
    function, rest = call
    before = open_descriptors()
    got, wanted = [outcome(getattr(module, function), path, *rest) for module in both]
    assert got == wanted
    assert open_descriptors() == before


@pytest.mark.parametrize("argument", [None, 42.0, ["data.csv"]], ids=repr)
@pytest.mark.parametrize("call", CALLS, ids=CALL_IDS)
def test_arguments_that_are_no_paths(both, argument, call):
    function, rest = call
    got, wanted = [outcome(getattr(module, function), argument, *rest) for module in both]
    assert got == wanted
    assert got[:2] == ("raised", TypeError)


@pytest.mark.parametrize("form", [bytes, pathlib.Path], ids=["bytes", "path-like"])
@pytest.mark.parametrize("call", CALLS[:5], ids=CALL_IDS[:5])
def test_bytes_and_path_like_paths_as_text(both, write_file, form, call):
    fi, _ = both
    path = write_file("name;qty\nbolt;3\nnut;4\n")
    function, rest = call
    given = form(path.encode() if form is bytes else path)
    assert outcome(getattr(fi, function), given, *rest) == outcome(
        getattr(fi, function), path, *rest
    )


def test_bytes_path_in_the_debug_line(both, write_file):
    path = write_file("just words\nand more words\n").encode()
    got, wanted = [outcome(module.inspectFile, path) for module in both]
    assert got == wanted
    assert got[2] == "debug file %r -> typeunknown\n" % path


BIG_FILE_PROBE = PEAK_KB + """
import sys
from veltrane.corvalest.datareader import fileInspect
ftype = fileInspect.getfiletype(sys.argv[1])
print(ftype, peak_kb())
"""


def test_big_file_without_a_line_break(mime_mode, fi, tmp_path, record_property):
    """The first line is the whole file: it is read, split twice, and let go."""
    if fi.KOmagic:
        pytest.skip("the module imported without python-magic")
    megabytes = int(os.environ.get("FILEINSPECT_BIG_FILE_MB", "200"))
    path = tmp_path / "one line.txt"
    chunk = b"word 1234 " * (1 << 16)
    with path.open("wb") as handle:
        for _ in range(megabytes * (1 << 20) // len(chunk)):
            handle.write(chunk)
    done = subprocess.run(
        python_command() + ["-c", textwrap.dedent(BIG_FILE_PROBE), str(path)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        timeout=600,
    )
    path.unlink()
    assert done.returncode == 0, done.stderr
    ftype, peak_kb = done.stdout.split()
    record_property("peak_rss_kb", int(peak_kb))
    print("getfiletype on %d MB without a line break: peak RSS %s kB" % (megabytes, peak_kb))
    assert ftype == "unknown"
    assert int(peak_kb) < 1 << 20, "peak RSS %s kB" % peak_kb
