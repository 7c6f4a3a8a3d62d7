"""The extension against the plain-Python rendering in benchmarks/reference.py.

Generated file contents (delimited text with quotes, blank lines, mixed line
endings and delimiters, a byte order mark, other encodings, or any bytes) and
generated calls go to both modules, in the same detection mode; they must
return equal results (sniffed dialects compared by their attributes) and print
the same, or raise exceptions of the same type and message.

Argument binding is left out: the rendering's functions are Python functions,
whose binding errors are worded by the interpreter.

Each test runs FILEINSPECT_FUZZ_EXAMPLES examples (150 by default). A long run:

    FILEINSPECT_FUZZ_EXAMPLES=20000 python -m pytest -q tests/test_differential.py
"""
import contextlib
import io
import os
import tempfile

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

from conftest import comparable, load_reference  # noqa: E402
from veltrane.corvalest.datareader import fileInspect  # noqa: E402

EXAMPLES = settings(
    max_examples=int(os.environ.get("FILEINSPECT_FUZZ_EXAMPLES", "150")),
    deadline=None,
    database=None,
)


reference = load_reference()
try:
    import magic
except Exception:  # a broken libmagic raises more than ImportError
    magic = None

pytestmark = pytest.mark.skipif(reference is None, reason="no benchmarks/reference.py")

MODES = (["mime"] if magic is not None else []) + ["extension"]


@contextlib.contextmanager
def detection(mode):
    """Both modules detecting the same way; their own bindings are put back after."""
    saved = [(module, vars(module).get("magic"), module.KOmagic)
             for module in (fileInspect, reference)]
    try:
        for module in (fileInspect, reference):
            module.KOmagic = mode == "extension"
            if mode == "mime":
                module.magic = magic
        yield
    finally:
        for module, saved_magic, saved_flag in saved:
            module.KOmagic = saved_flag
            if saved_magic is None:
                vars(module).pop("magic", None)
            else:
                module.magic = saved_magic


# File contents.
plain_fields = st.one_of(
    st.sampled_from(["name", "qty", "price", "Lyon", "a b", "", "x"]),
    st.integers(-1000, 100000).map(str),
    st.floats(allow_nan=False, allow_infinity=False, width=32).map(lambda f: "%g" % f),
)
tricky_fields = st.text(alphabet=';\t,|" \'\n\r\x00ab1é', max_size=6)


@st.composite
def fields(draw):
    text = draw(st.one_of(plain_fields, plain_fields, tricky_fields))
    quote = draw(st.sampled_from(['', '', '"', "'"]))
    if quote:
        text = quote + text.replace(quote, quote * 2) + quote
    return text


@st.composite
def delimited_text(draw):
    delimiter = draw(st.sampled_from([";", "\t", ",", "|", " ", ":"]))
    width = draw(st.integers(1, 5))
    lines = []
    for _ in range(draw(st.integers(0, 12))):
        if draw(st.integers(0, 9)) == 0:
            lines.append("")  # a blank line
            continue
        row_delimiter = delimiter
        if draw(st.integers(0, 7)) == 0:
            row_delimiter = draw(st.sampled_from([";", "\t", ",", "; "]))
        row_width = width if draw(st.booleans()) else draw(st.integers(1, 6))
        lines.append(row_delimiter.join(draw(fields()) for _ in range(row_width)))
    endings = [draw(st.sampled_from(["\n", "\n", "\r\n", "\r"])) for _ in lines]
    text = "".join(line + ending for line, ending in zip(lines, endings))
    if lines and draw(st.booleans()):
        text = text[: -len(endings[-1])]  # no line break at the end
    # Sometimes long enough that the rows go on past the sniffed sample.
    text *= draw(st.sampled_from([1, 1, 1, 40]))
    if draw(st.integers(0, 4)) == 0:
        text = "\ufeff" + text
    encoding = draw(st.sampled_from(["utf-8", "utf-8", "utf-8", "latin-1", "utf-16"]))
    return text.encode(encoding, errors="replace")


contents = st.one_of(delimited_text(), delimited_text(), st.binary(max_size=1500))

# Calls: (function name, positional arguments after the file name, keyword arguments).
type_names = st.sampled_from(
    ["csv", "txt", None, "csv", "", "txt", None, "xls", "xlsx", "unknown", "ods",
     "unknown spreadsheet", 0, False]
)
ranges = st.sampled_from(["", None, "Sheet1", "Sheet1!A1:B2"])
title_flags = st.sampled_from([False, True, 0, 1, "", "yes", None])


@st.composite
def calls(draw):
    function = draw(
        st.sampled_from(["inspectFile", "getfiletype", "inspectFile", "getDataFileRanges"])
    )
    if function == "getfiletype":
        return function, (), {}
    values = [draw(type_names)]
    if function == "inspectFile":
        values += [draw(ranges), draw(title_flags)]
    names = ["ftype", "arange", "forceTitles"][: len(values)]
    # The type name is always given, if only as a false value that means "detect it".
    given_count = draw(st.integers(1, len(values)))
    positional = draw(st.integers(0, given_count))
    args = tuple(values[:positional])
    kwargs = dict(zip(names[positional:given_count], values[positional:given_count]))
    return function, args, kwargs


def outcome(module, call, path):
    function, args, kwargs = call
    printed = io.StringIO()
    try:
        with contextlib.redirect_stdout(printed):
            result = getattr(module, function)(path, *args, **kwargs)
    except Exception as error:
        return "raised", type(error), str(error), printed.getvalue()
    return "returned", comparable(result), printed.getvalue()


def check_same(content, name, mode, call, as_bytes):
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, name)
        with open(path, "wb") as handle:
            handle.write(content)
        if as_bytes:
            path = path.encode()
        with detection(mode):
            got = outcome(fileInspect, call, path)
            wanted = outcome(reference, call, path)
    assert got == wanted


@EXAMPLES
@given(
    content=contents,
    name=st.sampled_from(["data.csv", "data.txt", "book.xlsx", "book.xls", "data.dat", "data"]),
    mode=st.sampled_from(MODES),
    call=calls(),
    as_bytes=st.booleans(),
)
def test_same_as_the_reference(content, name, mode, call, as_bytes):
    check_same(content, name, mode, call, as_bytes)
