"""The native sniff against the interpreter's own csv.Sniffer.

The native pass answers has_header(sample) and sniff(sample) without running
the sniffer's Python code. It must give the same boolean and a dialect class
indistinguishable from the sniffer's, and leave every sample on which the
sniffer raises to the sniffer itself; and it must step aside whenever the
sniffer, or anything its code reads, is not the interpreter's own.

Generated samples run FILEINSPECT_FUZZ_EXAMPLES examples (150 by default).
"""
import builtins
import contextlib
import csv
import dis
import io
import os
import pathlib
import re
import subprocess
import sys

import pytest

from conftest import corpus_root, load_knobs
from launcher import python_command
from veltrane.corvalest.datareader import fileInspect

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import example, given, settings, strategies as st  # noqa: E402

EXAMPLES = settings(
    max_examples=int(os.environ.get("FILEINSPECT_FUZZ_EXAMPLES", "150")),
    deadline=None,
    database=None,
)
ATTRIBUTES = ("delimiter", "quotechar", "doublequote", "skipinitialspace", "lineterminator",
              "quoting", "escapechar", "strict")


knobs = load_knobs()


def settings_of(dialect):
    return (dialect.__name__, dialect.__qualname__, dialect.__module__, dialect.__bases__,
            dialect._name) + tuple(getattr(dialect, name, "absent") for name in ATTRIBUTES)


def sniffer_outcome(sample, want_header):
    try:
        title = csv.Sniffer().has_header(sample) if want_header else None
        dialect = csv.Sniffer().sniff(sample)
    except Exception as error:
        return "raised", type(error), str(error)
    return "returned", title, settings_of(dialect)


def check_same(sample, want_header=True):
    wanted = sniffer_outcome(sample, want_header)
    got = knobs.sniff_sample(sample, want_header)
    if got is None:  # left to the sniffer: only where the sniffer raises
        assert wanted[0] == "raised", (sample, wanted)
        return
    title, dialect = got
    assert ("returned", title, settings_of(dialect)) == wanted, sample


# Samples.
delimiters = st.sampled_from([",", ";", "\t", " ", ":", "|", "-", "/", "a", "x", "1", "é", "€",
                              "\u00a0", "\x00", "\x7f", "#", "'", '"'])
cells = st.one_of(
    st.sampled_from(["name", "qty", "Lyon", "a b", "", "x", "2024-01-05", "12/31/1999",
                     "1+2j", "3j", "(1-2J)", "inf", "nan", "1e5", "1_000", " 7 ", "0x1f",
                     "١٢٣", "Ⅻ", "²", "true"]),
    st.integers(-10 ** 6, 10 ** 6).map(str),
    st.floats(allow_nan=False, allow_infinity=False).map(repr),
    st.text(alphabet=";,\t \"'\n\rab1é.-+jJ_", max_size=6),
)


@st.composite
def fields(draw):
    text = draw(cells)
    quote = draw(st.sampled_from(["", "", '"', "'"]))
    if quote:
        doubled = draw(st.booleans())
        text = quote + text.replace(quote, quote * 2 if doubled else quote) + quote
    return text


@st.composite
def delimited(draw):
    delimiter = draw(delimiters)
    after = draw(st.sampled_from(["", "", " "]))
    width = draw(st.integers(1, 6))
    lines = []
    for _ in range(draw(st.integers(0, 30))):
        row_width = width if draw(st.integers(0, 3)) else draw(st.integers(0, 7))
        lines.append((delimiter + after).join(draw(fields()) for _ in range(row_width)))
    ending = draw(st.sampled_from(["\n", "\n", "\r\n", "\r"]))
    text = ending.join(lines) + draw(st.sampled_from(["", ending]))
    cut = draw(st.integers(0, max(0, len(text))))
    return text[:cut] if draw(st.booleans()) else text[:1024]


@st.composite
def nearly_regular(draw):
    """More lines than the frequency vote takes at a time, a few of them changed."""
    alphabet = "ab1;,: \t"
    lines = [draw(st.text(alphabet=alphabet, min_size=2, max_size=12))] * draw(st.integers(9, 60))
    for _ in range(draw(st.integers(0, 8))):
        lines[draw(st.integers(0, len(lines) - 1))] = draw(st.text(alphabet=alphabet, max_size=12))
    return "\n".join(lines)[:1024]


# Runs of quotes (which close a field or stay in it), doubled quotes next to
# delimiters and line breaks, the three kinds of line end, U+007F.
quote_runs = st.lists(st.sampled_from(['"', '""', '"""', "'", "''", ",", ";", " ", "  ", "\t", ":",
                                       "\n", "\r\n", "\r", "a", "1", "x y", "\x7f"]),
                      max_size=40).map("".join)

samples = st.one_of(delimited(), delimited(), delimited(), nearly_regular(), quote_runs,
                    st.text(max_size=300), st.text(alphabet=",;\t \"'\r\nab1", max_size=200))


@EXAMPLES
@given(sample=samples, want_header=st.booleans())
def test_same_as_the_sniffer(sample, want_header):
    check_same(sample, want_header)


@EXAMPLES
@given(sample=samples, limit=st.sampled_from([None, None, 2, 5]))
def test_rows_split_for_the_header_vote_are_the_readers(sample, limit):
    """Where the header vote splits the sample itself, every row is csv.reader's."""
    saved = csv.field_size_limit()
    try:
        if limit is not None:
            csv.field_size_limit(limit)
        rows = knobs.sample_rows(sample)
        if rows is not None:
            reader = csv.reader(io.StringIO(sample), csv.Sniffer().sniff(sample))
            assert rows == list(reader), sample
    finally:
        csv.field_size_limit(saved)


@st.composite
def close_votes(draw):
    """Header votes that the columns a number type must be tried on decide: numbers, and
    cells the types refuse, of the title's length or not."""
    pools = [["1", "22", "3.5", "4j"], ["e1", "..", "1e"], ["e12", "...", "1ee"], ["ab", "cd"]]
    columns = []
    for _ in range(draw(st.integers(1, 4))):
        pool = draw(st.sampled_from(pools))
        title = draw(st.sampled_from(["ab", "abc", "12"]))
        columns.append([title] + [draw(st.sampled_from(pool)) for _ in range(25)])
    rows = [";".join(cells) for cells in zip(*columns)][:draw(st.integers(2, 25))]
    return "\n".join(rows)


@EXAMPLES
@given(sample=close_votes())
@example(sample="12;abc\n1;ab")  # a title a number type takes
@example(sample="ab;ab\n1;e1")  # refused cells of the title's length
def test_same_vote_where_columns_left_unconverted_could_turn_it(sample):
    check_same(sample)


number_like = st.one_of(
    st.text(alphabet="0123456789+-._()eEjJiInNfFtTyYaAx \t\x1f\u00a0\u0661", max_size=8),
    st.floats().map(repr), st.complex_numbers().map(repr), st.complex_numbers().map(str))


@EXAMPLES
@given(text=number_like)
def test_cells_not_converted_are_no_numbers(text):
    """The header vote skips converting only text that int, float and complex all refuse."""
    maybe_int, maybe_number = knobs.may_be_number(text)
    refused = ([] if maybe_int else [int]) + ([] if maybe_number else [int, float, complex])
    for number_type in refused:
        with pytest.raises(ValueError):
            number_type(text)


def text_files():
    roots = [root for root in [corpus_root()] if root.is_dir()]
    roots.append(pathlib.Path(fileInspect.__file__).parent / "samples")
    for root in roots:
        for path in sorted(root.rglob("*")):
            try:
                yield path, path.read_text(encoding="utf-8-sig")[:1024]
            except (UnicodeDecodeError, IsADirectoryError):
                pass


def test_same_on_real_text_files():
    found = list(text_files())
    assert found
    for path, sample in found:
        check_same(sample)


def test_dialect_class_is_the_sniffers():
    sample = 'id; "name"; value\n1; "a b"; 2.5\n2; "c ""d"""; 3\n'
    native = knobs.sniff_sample(sample, False)[1]
    python = csv.Sniffer().sniff(sample)
    assert list(vars(native).items()) == list(vars(python).items())
    assert (type(native), native.__mro__[1:]) == (type(python), python.__mro__[1:])
    assert native is not knobs.sniff_sample(sample, False)[1]  # a new class per call


def test_inspect_file_takes_both_native_paths(write_file):
    """On every interpreter: a new one whose csv module the guards refuse fails here
    instead of quietly running the plain path."""
    digest, proven_on = knobs.sniffer_variant()
    assert proven_on, ("csv.Sniffer here is no variant the native sniff knows (digest %s): "
                       "README, 'Sniffer variants', says how to add one" % digest)
    path = write_file('id;name\n1;"a"\n2;b\n')
    sniffed, counted = knobs.sniff_counts(), knobs.native_count_stats()["counted"]
    result = fileInspect.inspectFile(path, "csv")
    assert knobs.sniff_counts() == (sniffed[0] + 1, sniffed[1])
    assert knobs.native_count_stats()["counted"] == counted + 1
    assert result[:4] == ("csv", 2, True, ["id", "name"])
    assert knobs.native_sniff(False) is True
    try:
        assert fileInspect.inspectFile(path, "csv")[:4] == result[:4]
        assert knobs.sniff_counts()[0] == sniffed[0] + 1
    finally:
        knobs.native_sniff(True)


def called_names(code):
    """The globals and built-ins a code object and those nested in it read, and the modules
    they import."""
    names, imports = set(), set()
    for instruction in dis.get_instructions(code):
        if instruction.opname in ("LOAD_GLOBAL", "LOAD_NAME", "LOAD_FROM_DICT_OR_GLOBALS"):
            names.add(instruction.argval)
        elif instruction.opname == "LOAD_BUILD_CLASS":
            names.add("__build_class__")
        elif instruction.opname == "IMPORT_NAME":
            names.add("__import__")
            imports.add(instruction.argval)
    for constant in code.co_consts:
        if isinstance(constant, type(code)):
            more = called_names(constant)
            names |= more[0]
            imports |= more[1]
    return names, imports


def test_the_guard_checks_every_name_the_methods_read(write_file):
    fileInspect.inspectFile(write_file("id;name\n1;a\n"), "csv")
    guarded = knobs.guarded_names()
    read, imported = set(), set()
    for method in ("__init__", "sniff", "_guess_quote_and_delimiter", "_guess_delimiter",
                   "has_header"):
        names, imports = called_names(vars(csv.Sniffer)[method].__code__)
        read |= names
        imported |= imports
    assert read <= set(guarded["csv"]) | set(guarded["builtins"])
    assert imported == set(guarded["imports"])


def patched_method(monkeypatch):
    monkeypatch.setattr(csv.Sniffer, "has_header", lambda self, sample: False)


def patched_code(monkeypatch):
    method = csv.Sniffer._guess_delimiter
    monkeypatch.setattr(method, "__code__", (lambda self, data, delimiters: (",", 0)).__code__)


def patched_default(monkeypatch):
    monkeypatch.setattr(csv.Sniffer.sniff, "__defaults__", (",",))


def subclassed(monkeypatch):
    monkeypatch.setattr(csv, "Sniffer", type("Sniffer", (csv.Sniffer,), {}))


def extra_method(monkeypatch):
    monkeypatch.setattr(csv.Sniffer, "__getattribute__", object.__getattribute__, raising=False)


def patched_builtin(monkeypatch):
    monkeypatch.setattr(builtins, "complex", lambda text: 1j)


def shadowed_builtin(monkeypatch):
    monkeypatch.setattr(csv, "max", max, raising=False)


def patched_global(monkeypatch):
    monkeypatch.setattr(csv, "QUOTE_MINIMAL", csv.QUOTE_ALL)


def patched_re(monkeypatch):
    monkeypatch.setattr(re, "compile", lambda *args: re._compile(*args))


def patched_dialect(monkeypatch):
    monkeypatch.setattr(csv.Dialect, "escapechar", "\\")


def module_subclass(monkeypatch):
    monkeypatch.setattr(csv, "__class__", type("Module", (type(csv),), {}))


def imported_names():
    return knobs.guarded_names()["imports"]


def patched_import(monkeypatch):
    if not imported_names():
        pytest.skip("the methods import nothing")
    original = builtins.__import__
    monkeypatch.setattr(builtins, "__import__", lambda *args, **kwargs: original(*args, **kwargs))


def replaced_re_module(monkeypatch):
    if "re" not in imported_names():
        pytest.skip("re is a global of csv")
    monkeypatch.setitem(sys.modules, "re", type(re)("re"))


def patched_counter(monkeypatch):
    if "collections" not in imported_names():
        pytest.skip("the methods do not import collections")
    import collections
    monkeypatch.setattr(collections.Counter, "update", lambda self, *args, **kwargs: None)


@pytest.mark.parametrize("patch", [patched_method, patched_code, patched_default, subclassed,
                                   extra_method, patched_builtin, shadowed_builtin, patched_global,
                                   patched_re, patched_dialect, module_subclass, patched_import,
                                   replaced_re_module, patched_counter])
def test_anything_replaced_leaves_it_to_the_sniffer(patch, monkeypatch, write_file):
    path = write_file('id;name\n1;"a"\n2;"b"\n')
    fileInspect.inspectFile(path, "csv")  # the originals are captured by now
    patch(monkeypatch)
    before = knobs.sniff_counts()
    with contextlib.suppress(csv.Error, AttributeError):  # what the patched sniffer makes of it
        fileInspect.inspectFile(path, "csv")
    assert knobs.sniff_counts()[1] == before[1] + 1
    monkeypatch.undo()  # the originals back: the native sniff again
    fileInspect.inspectFile(path, "csv")
    assert knobs.sniff_counts() == (before[0] + 1, before[1] + 1)


PATCHED_BEFORE_FIRST_CALL = """
import csv, importlib.machinery, importlib.util, sys
from veltrane.corvalest.datareader import fileInspect
source = open(csv.__file__).read()
if sys.argv[2] == "other globals":  # the same code
    namespace = {}
    exec(compile(source, csv.__file__, "exec"), namespace)
    csv.Sniffer = namespace["Sniffer"]
else:  # a csv.py of its own, as a patched interpreter would load it
    source = source.replace("threshold = 0.9", "threshold = 0.8")
    exec(compile(source, csv.__file__, "exec"), vars(csv))
fileInspect.inspectFile(sys.argv[1], "csv")
loader = importlib.machinery.ExtensionFileLoader("_fileinspect_knobs", fileInspect.__file__)
knobs = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
loader.exec_module(knobs)
print(*knobs.sniff_counts(), knobs.sniffer_variant()[1] is not None)
"""


@pytest.mark.parametrize("patch, known", [("other globals", True), ("other code", False)])
def test_a_sniffer_replaced_before_the_first_call_is_not_captured(write_file, patch, known):
    done = subprocess.run([sys.executable, "-c", PATCHED_BEFORE_FIRST_CALL,
                           write_file("id;name\n1;a\n"), patch],
                          stdout=subprocess.PIPE, check=True, universal_newlines=True)
    assert done.stdout.split() == ["0", "1", str(known)]


NO_WATCHER_LEFT = """
import collections, csv, ctypes, importlib.machinery, importlib.util, re, sys
from veltrane.corvalest.datareader import fileInspect
callback_type = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.py_object,
                                 ctypes.py_object)
callback = callback_type(lambda *args: 0)
add_watcher = ctypes.pythonapi.PyDict_AddWatcher
add_watcher.argtypes, add_watcher.restype = [callback_type], ctypes.c_int
try:
    while True:
        add_watcher(callback)
except RuntimeError:  # "no more dict watcher IDs available"
    pass
for _ in range(3):
    fileInspect.inspectFile(sys.argv[1], "csv")
saved, csv.QUOTE_MINIMAL = csv.QUOTE_MINIMAL, csv.QUOTE_ALL
fileInspect.inspectFile(sys.argv[1], "csv")
csv.QUOTE_MINIMAL = saved
fileInspect.inspectFile(sys.argv[1], "csv")
loader = importlib.machinery.ExtensionFileLoader("_fileinspect_knobs", fileInspect.__file__)
knobs = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
loader.exec_module(knobs)
print(*knobs.sniff_counts())
"""


@pytest.mark.skipif(sys.version_info < (3, 12), reason="no dictionary watchers before 3.12")
def test_without_a_free_dict_watcher_every_call_checks_in_full(write_file):
    done = subprocess.run(python_command() + ["-c", NO_WATCHER_LEFT, write_file("id;name\n1;a\n")],
                          stdout=subprocess.PIPE, check=True, universal_newlines=True)
    assert done.stdout.split() == ["4", "1"]


OUT_OF_MEMORY = """
import csv, importlib.machinery, importlib.util, resource
from veltrane.corvalest.datareader import fileInspect
loader = importlib.machinery.ExtensionFileLoader("_fileinspect_knobs", fileInspect.__file__)
knobs = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
loader.exec_module(knobs)
text = "a;b\\n" * (50 << 20)  # 200 MB; its code points take 800 MB
with open("/proc/self/status") as status:
    size_kb = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, ((size_kb << 10) + (400 << 20), resource.RLIM_INFINITY))
for call in (lambda: knobs.sample_rows(text), lambda: knobs.sniff_sample(text, True)):
    try:
        call()
    except MemoryError:
        print("MemoryError")
"""


# A sanitizer's shadow memory and an emulator's reserved guest memory cannot
# live under an address-space limit.
@pytest.mark.skipif("FILEINSPECT_SANITIZED" in os.environ or "FILEINSPECT_EMULATED" in os.environ,
                    reason="needs an address-space limit of its own")
def test_running_out_of_memory_raises_memory_error():
    """std::bad_alloc in the native sniff's vectors is MemoryError, not the end of the process."""
    done = subprocess.run(python_command() + ["-c", OUT_OF_MEMORY], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True)
    assert (done.returncode, done.stdout.split()) == (0, ["MemoryError"] * 2), done.stderr
