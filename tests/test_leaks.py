"""Repeated calls on every way through the three functions leave nothing behind.

Each case of the table is called many times; afterwards the objects it passed
in (and those its fakes handed back or raised) hold as many references as
before, and the memory traced by tracemalloc, the resident size and the open
descriptors stopped growing after a warm-up. FILEINSPECT_LEAK_ROUNDS sets the
number of measured calls per case.
"""
import csv
import gc
import os
import sys
import tracemalloc

import pytest

from conftest import open_descriptors

pytestmark = pytest.mark.leaks

WARMUP = 30
ROUNDS = int(os.environ.get("FILEINSPECT_LEAK_ROUNDS", "200"))
# Growth allowed over the measured calls. Python's small-object blocks catch a
# leaked object of up to 512 bytes every few calls; the traced bytes catch the
# larger ones, with room for the interpreter's record of csv.Dialect
# subclasses, resized now and then as sniffed dialect classes come and go; the
# resident size moves in whole pages and arenas, so it only catches large leaks.
BLOCK_SLACK = 30
TRACED_SLACK = 48 << 10
# Under a sanitizer freed memory waits in its quarantine: the resident size says nothing there.
# Under user-mode emulation it includes the emulator's own memory (its cache of translated
# code among it), which grows in steps of its own: a wider margin there.
if "FILEINSPECT_SANITIZED" in os.environ:
    RESIDENT_SLACK = float("inf")
else:
    RESIDENT_SLACK = (4 if "FILEINSPECT_EMULATED" in os.environ else 2) << 20

PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")


def copy(text):
    """A new, uninterned string equal to `text` (at least two characters)."""
    return "".join(list(text))


# Markers in the table for arguments and module names, resolved per test so
# that each case watches objects of its own.
class File:
    def __init__(self, content):
        self.content = content


class Missing:
    pass


class Text:
    def __init__(self, text):
        self.text = text


class FailingTruth:
    """A type name whose truth test raises."""

    def __bool__(self):
        raise RuntimeError("no truth value")


class Returns:
    def __init__(self, make):
        self.make = make


class Raises:
    def __init__(self, error):
        self.error = error


DELETE = object()


class Fake:
    def __init__(self, value=None, error=None):
        self.value = value
        self.error = error

    def __call__(self, *args):
        if self.error is not None:
            # The same instance each time, with no traceback kept from the last raise.
            self.error.__traceback__ = None
            raise self.error
        return self.value


class Sink:
    """Stands in for sys.stdout: the debug line of "unknown" is dropped, not stored."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


MIME, EXTENSION = "mime", "extension"
SEMICOLONS = "name;qty\nbolt;3\nnut;4\n"
TABS = "name\tqty\nbolt\t3\nnut\t4\n"
ANALYSIS = ("xlsx", 2, True, ["ax", "bx"], None)


def analysis():
    """What the fake analyseRangeData returns: ANALYSIS, made of new objects."""
    return (copy("xlsx"), 2, True, [copy("ax"), copy("bx")], None)


# (id, magic mode, module names rebound or deleted, function, arguments,
#  keyword arguments, expected result or exception type)
CASES = [
    # getfiletype
    ("type: mime, semicolons", MIME, {}, "getfiletype", [File(SEMICOLONS)], {}, "csv"),
    ("type: mime, tabs", MIME, {}, "getfiletype", [File(TABS)], {}, "txt"),
    ("type: mime, other text", MIME, {}, "getfiletype", [File("just words\n")], {}, "unknown"),
    ("type: mime, empty file", MIME, {}, "getfiletype", [File("")], {}, "unknown"),
    ("type: extension", EXTENSION, {}, "getfiletype", [Text("/x/book.xlsx")], {}, "xlsx"),
    ("type: extension of a non-path", EXTENSION, {}, "getfiletype", [FailingTruth()], {},
     "unknown"),
    ("type: extension without os", EXTENSION, {"os": DELETE}, "getfiletype", [Text("a.csv")], {},
     "unknown"),
    ("type: missing file", MIME, {}, "getfiletype", [Missing()], {}, FileNotFoundError),
    ("type: undecodable line", MIME, {}, "getfiletype", [File(b"caf\xe9;x\n1;2\n")], {},
     UnicodeDecodeError),
    ("type: magic raising", MIME, {"magic": Raises(OSError("magic failed"))}, "getfiletype",
     [Text("a.csv")], {}, OSError),
    ("type: without magic", MIME, {"magic": DELETE}, "getfiletype", [Text("a.csv")], {},
     NameError),
    ("type: without KOmagic", None, {"KOmagic": DELETE}, "getfiletype", [Text("a.csv")], {},
     NameError),
    ("type: keyword", None, {}, "getfiletype", [], {"filename": Text("a.csv")}, TypeError),
    ("type: two arguments", None, {}, "getfiletype", [Text("a.csv"), Text("b.csv")], {},
     TypeError),
    ("type: no argument", None, {}, "getfiletype", [], {}, TypeError),
    # getDataFileRanges
    ("ranges: delimited text", None, {}, "getDataFileRanges", [Missing(), Text("csv")], {}, []),
    ("ranges: detected", MIME, {}, "getDataFileRanges", [File(SEMICOLONS)], {}, []),
    ("ranges: workbook", None, {"getranges": Returns(lambda: [copy("S!A1:B2")])},
     "getDataFileRanges", [Text("book"), Text("xlsx")], {}, ["S!A1:B2"]),
    ("ranges: other type", None, {}, "getDataFileRanges", [Text("book"), Text("ods")], {}, None),
    ("ranges: getranges raising", None, {"getranges": Raises(ValueError("not a workbook"))},
     "getDataFileRanges", [Text("book"), Text("xls")], {}, ValueError),
    ("ranges: without getranges", None, {"getranges": DELETE}, "getDataFileRanges",
     [Text("book"), Text("xls")], {}, NameError),
    ("ranges: detection failing", MIME, {}, "getDataFileRanges", [Missing()], {},
     FileNotFoundError),
    ("ranges: type without truth", None, {}, "getDataFileRanges", [Text("book"), FailingTruth()],
     {}, RuntimeError),
    ("ranges: only keywords", None, {}, "getDataFileRanges", [],
     {"ftype": Text("csv"), "filename": Missing()}, []),
    ("ranges: no filename", None, {}, "getDataFileRanges", [], {"ftype": Text("csv")}, TypeError),
    ("ranges: three arguments", None, {}, "getDataFileRanges",
     [Text("a"), Text("csv"), Text("xx")], {}, TypeError),
    ("ranges: repeated argument", None, {}, "getDataFileRanges", [Text("a")],
     {"filename": Text("b")}, TypeError),
    ("ranges: unknown keyword", None, {}, "getDataFileRanges", [Text("a")],
     {"bogus": Text("b")}, TypeError),
    # inspectFile
    ("inspect: semicolons", None, {}, "inspectFile", [File(SEMICOLONS), Text("csv")], {},
     ("csv", 2, True, ["name", "qty"], ";")),
    ("inspect: tabs, titles forced", None, {}, "inspectFile", [File(TABS), Text("txt")],
     {"forceTitles": Text("yes")}, ("txt", 2, "yes", ["name", "qty"], "\t")),
    ("inspect: detected", MIME, {}, "inspectFile", [File(SEMICOLONS)], {},
     ("csv", 2, True, ["name", "qty"], ";")),
    ("inspect: unknown, printed", MIME, {}, "inspectFile", [File("just words\n")], {},
     ("unknown", 0, False, [], None)),
    ("inspect: other type", None, {}, "inspectFile", [Missing(), Text("ods"), Text("A1")], {},
     ("ods", 0, False, [], None)),
    ("inspect: workbook, every range",
     None,
     {"getranges": Returns(lambda: [copy("S1!A1:B3"), copy("S2!A1:A2")]),
      "analyseRangeData": Returns(analysis)},
     "inspectFile", [Text("book"), Text("xlsx")], {},
     ("xlsx", ("S1!A1:B3",) + ANALYSIS[1:], ("S2!A1:A2",) + ANALYSIS[1:])),
    ("inspect: workbook, one range", None, {"analyseRangeData": Returns(analysis)},
     "inspectFile", [Text("book"), Text("xlsx"), Text("S1!A1")], {}, ANALYSIS),
    ("inspect: empty file", None, {}, "inspectFile", [File(""), Text("csv")], {}, csv.Error),
    ("inspect: empty file, titles forced", None, {}, "inspectFile", [File(""), Text("csv")],
     {"forceTitles": Text("yes")}, csv.Error),
    ("inspect: undecodable start", None, {}, "inspectFile", [File(b"\xff\xfe;a\n1;2\n"),
     Text("csv")], {}, UnicodeDecodeError),
    ("inspect: undecodable after the sample", None, {}, "inspectFile",
     [File(b"a;b\n" + b"1;2\n" * 600 + b"\xe9;x\n"), Text("csv")], {}, UnicodeDecodeError),
    ("inspect: missing file", None, {}, "inspectFile", [Missing(), Text("csv")], {},
     FileNotFoundError),
    ("inspect: detection failing", MIME, {}, "inspectFile", [Missing()], {}, FileNotFoundError),
    ("inspect: getranges raising", None, {"getranges": Raises(ValueError("not a workbook"))},
     "inspectFile", [Text("book"), Text("xls")], {}, ValueError),
    ("inspect: analyseRangeData raising",
     None,
     {"getranges": Returns(lambda: [copy("S1!A1:B3")]),
      "analyseRangeData": Raises(KeyError("S1"))},
     "inspectFile", [Text("book"), Text("xls")], {}, KeyError),
    ("inspect: without getfiletype", None, {"getfiletype": DELETE}, "inspectFile",
     [Text("book")], {}, NameError),
    ("inspect: without analyseRangeData", None, {"analyseRangeData": DELETE}, "inspectFile",
     [Text("book"), Text("xls"), Text("S1!A1")], {}, NameError),
    ("inspect: five arguments", None, {}, "inspectFile",
     [Text("a"), Text("csv"), Text("A1"), Text("yes"), Text("xx")], {}, TypeError),
    ("inspect: unknown keyword", None, {}, "inspectFile", [Text("a")],
     {"forcetitles": Text("yes")}, TypeError),
]


class Resolver:
    """Turns the markers of a case into objects and module bindings, and keeps
    every object whose references are watched."""

    def __init__(self, fi, monkeypatch, tmp_path):
        self.fi = fi
        self.monkeypatch = monkeypatch
        self.tmp_path = tmp_path
        self.watched = []

    def watch(self, value):
        self.watched.append(value)
        if isinstance(value, (list, tuple)):
            # Shared singletons and small numbers change counts with anything else going on.
            self.watched.extend(item for item in value if not isinstance(item, (int, type(None))))
        return value

    def argument(self, marker):
        if isinstance(marker, File):
            path = self.tmp_path / ("data%d" % len(self.watched))
            content = marker.content
            path.write_bytes(content.encode() if isinstance(content, str) else content)
            return self.watch(copy(str(path)))
        if isinstance(marker, Missing):
            return self.watch(copy(str(self.tmp_path / "missing.csv")))
        if isinstance(marker, Text):
            return self.watch(copy(marker.text))
        return self.watch(marker)

    def bind(self, name, marker):
        if marker is DELETE:
            self.monkeypatch.delattr(self.fi, name)
        elif isinstance(marker, Returns):
            self.monkeypatch.setattr(self.fi, name, Fake(value=self.watch(marker.make())))
        elif name == "magic":
            # A `magic` whose from_file raises.
            fake = type("FakeMagic", (), {"from_file": Fake(error=self.watch(marker.error))})
            self.monkeypatch.setattr(self.fi, name, fake, raising=False)
        else:
            self.monkeypatch.setattr(self.fi, name, Fake(error=self.watch(marker.error)))

    def mode(self, mode):
        if mode == MIME:
            magic = pytest.importorskip("magic")
            self.monkeypatch.setattr(self.fi, "magic", magic, raising=False)
            self.monkeypatch.setattr(self.fi, "KOmagic", False)
        elif mode == EXTENSION:
            self.monkeypatch.setattr(self.fi, "KOmagic", True)


def outcome(call):
    """The result, with a sniffed dialect shown as its delimiter, or the exception type."""
    try:
        result = call()
    except Exception as error:
        error.__traceback__ = None
        return type(error)
    if isinstance(result, tuple) and len(result) == 5 and isinstance(result[4], type):
        result = result[:4] + (result[4].delimiter,)
    return result


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_SIZE


def settled():
    """(traced bytes, resident bytes, allocated blocks) once garbage is collected."""
    gc.collect()
    # Each sniff makes a new csv.Dialect subclass, and the interpreter's
    # attribute cache keeps the uninterned names that _csv looks up on it
    # (up to a few thousand of them), which would look like growth.
    sys._clear_type_cache()
    return tracemalloc.get_traced_memory()[0], resident_bytes(), sys.getallocatedblocks()


@pytest.fixture
def tracing():
    started = not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    yield
    if started:
        tracemalloc.stop()


@pytest.mark.parametrize(
    "mode, bindings, function, args, kwargs, expected",
    [pytest.param(*case[1:], id=case[0]) for case in CASES],
)
def test_repeated_calls_leave_nothing_behind(
    fi, monkeypatch, tmp_path, tracing, mode, bindings, function, args, kwargs, expected
):
    resolver = Resolver(fi, monkeypatch, tmp_path)
    resolver.mode(mode)
    args = [resolver.argument(marker) for marker in args]
    kwargs = {name: resolver.argument(marker) for name, marker in kwargs.items()}
    # Taken before the module names change, as a caller holding the function would.
    target = getattr(fi, function)
    for name, marker in bindings.items():
        resolver.bind(name, marker)
    monkeypatch.setattr(sys, "stdout", Sink())

    def call():
        return target(*args, **kwargs)

    assert outcome(call) == expected
    for _ in range(WARMUP):
        outcome(call)
    descriptors = open_descriptors()
    traced, resident, blocks = settled()
    references = [sys.getrefcount(value) for value in resolver.watched]
    for _ in range(ROUNDS):
        outcome(call)
    traced_after, resident_after, blocks_after = settled()
    assert [sys.getrefcount(value) for value in resolver.watched] == references
    assert blocks_after - blocks < BLOCK_SLACK, "%d more blocks" % (blocks_after - blocks)
    assert traced_after - traced < TRACED_SLACK, "traced memory grew by %d bytes" % (
        traced_after - traced
    )
    assert resident_after - resident < RESIDENT_SLACK, "resident size grew by %d bytes" % (
        resident_after - resident
    )
    assert open_descriptors() == descriptors
