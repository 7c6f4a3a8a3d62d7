"""The native row count of delimited files against the csv reader loop.

Generated delimited files go to inspectFile(path, "csv", "", forceTitles) with
the native count switched off (the reader loop, the reference) and on, with
the SSE2 and the portable scanner, reading in default, tiny and medium blocks
so that every kind of block boundary (a "\\r\\n" or a multi-byte character
cut in two, at the end of a block or of the 64 bytes the SSE2 path takes at
a time) is met. Results, or the exception's type, message and traceback
entries, must be identical; the counters prove that the native count ran.

Each test runs FILEINSPECT_FUZZ_EXAMPLES examples (150 by default).
"""
import csv
import os
import tempfile
import traceback

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

from conftest import comparable, load_knobs  # noqa: E402
from veltrane.corvalest.datareader import fileInspect  # noqa: E402

EXAMPLES = int(os.environ.get("FILEINSPECT_FUZZ_EXAMPLES", "150"))


knobs = load_knobs()


@pytest.fixture(autouse=True)
def default_knobs():
    knobs.native_count(True)
    limit = csv.field_size_limit()
    yield
    knobs.native_count(True)
    csv.field_size_limit(limit)


def outcome(path, force_titles, native, scalar=False, block_size=0):
    knobs.native_count(native, scalar, block_size)
    try:
        result = fileInspect.inspectFile(path, "csv", "", force_titles)
    except Exception as error:
        entries = [(frame.filename, frame.name, frame.lineno)
                   for frame in traceback.extract_tb(error.__traceback__)]
        return "raised", type(error), str(error), entries
    return "returned", comparable(result)


def counted():
    return knobs.native_count_stats()["counted"]


# File contents: delimited text built from pieces that move the reader between
# its states, with a few regular rows first so that the sniffer mostly finds
# the delimiter.
TEXT_PIECES = ["a", "bc", "12", "3.5", " ", "  ", '"', '""', "\n", "\r\n", "\r", "\n\n",
               "é", "€", "𝄞", "ü ß", "x y"]
BROKEN_BYTES = [b"\xff", b"\xc3", b"\xe2\x82", b"\xed\xa0\x80", b"\xc0\xaf", b"\xf4\x90\x80\x80",
                b"\xef\xbb", b"\x00"]


@st.composite
def records(draw, delimiter, quote):
    plain = st.text(st.sampled_from("ab 7.é€𝄞"), max_size=70)
    quoted = st.lists(st.sampled_from(TEXT_PIECES + [delimiter]), max_size=8).map(
        lambda parts: quote + "".join(parts).replace('"', quote).replace(quote, quote * 2) + quote)
    fields = draw(st.lists(st.one_of(plain, quoted), min_size=1, max_size=5))
    return delimiter.join(fields) + draw(st.sampled_from(["\n", "\r\n", "\r", "\n\n", ""]))


@st.composite
def delimited_files(draw):
    delimiter = draw(st.sampled_from([";", ";", "\t", ","]))
    quote = draw(st.sampled_from(['"', '"', '"', "'"]))
    pieces = st.sampled_from(TEXT_PIECES + [delimiter, delimiter, delimiter + " ", quote * 2])
    width = draw(st.integers(2, 4))
    head = "".join(
        delimiter.join(draw(st.sampled_from(["id", "name", "'q'", '"x;y"', "7", "é"]))
                       for _ in range(width)) + draw(st.sampled_from(["\n", "\r\n", "\r"]))
        for _ in range(draw(st.integers(1, 4))))
    if draw(st.booleans()):
        body = "".join(draw(st.lists(pieces, max_size=60))).replace('"', quote)
    else:  # records whose quotes all open and close fields, as most files have them
        body = "".join(draw(st.lists(records(delimiter, quote), max_size=12)))
    if draw(st.integers(0, 5)) == 0:  # a long field, near the size limit when it is low
        body += quote + "x" * draw(st.integers(0, 300)) + quote + draw(st.sampled_from(["", "\n"]))
    text = head + body
    text = text * draw(st.sampled_from([1, 1, 1, 30]))
    if draw(st.integers(0, 4)) == 0:
        text = "\ufeff" + text
    content = text.encode("utf-8")
    if draw(st.integers(0, 9)) == 0:
        at = draw(st.integers(0, len(content)))
        content = content[:at] + draw(st.sampled_from(BROKEN_BYTES)) + content[at:]
    return content


def test_native_count_is_the_reader_loop():
    tally = {"examples": 0, "counted": 0}

    @settings(max_examples=EXAMPLES, deadline=None, database=None)
    @given(content=delimited_files(), force_titles=st.booleans(),
           tiny_block=st.integers(1, 7), medium_block=st.integers(64, 200),
           limit=st.sampled_from([None, None, None, 8, 40, 200]))
    def check(content, force_titles, tiny_block, medium_block, limit):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "data.csv")
            with open(path, "wb") as handle:
                handle.write(content)
            saved_limit = csv.field_size_limit()
            if limit is not None:
                csv.field_size_limit(limit)
            try:
                wanted = outcome(path, force_titles, native=False)
                before = counted()
                for scalar in (False, True):
                    for block_size in (0, tiny_block, medium_block):
                        got = outcome(path, force_titles, True, scalar, block_size)
                        assert got == wanted, (scalar, block_size)
            finally:
                csv.field_size_limit(saved_limit)
        tally["examples"] += 1
        tally["counted"] += counted() > before

    check()
    print("native count: %(counted)d of %(examples)d examples" % tally)
    # Files the sniffer cannot read and files the scan declines go the usual
    # way; a good share (about two thirds over many examples, less in short
    # runs) must still be counted natively.
    assert tally["counted"] >= 0.3 * tally["examples"], tally


def write(tmp_path, text):
    path = tmp_path / "data.csv"
    path.write_bytes(text.encode("utf-8") if isinstance(text, str) else text)
    return str(path)


ROWS = 'id;name;note\n1;"Zoë";"a ""b""\r\nc"\n\n2;x;y\r3; z;\n' + "9;ok;fine\n" * 1000


def replace_reader(monkeypatch):
    original = csv.reader
    monkeypatch.setattr(csv, "reader", lambda *args: original(*args))


def escaping_sniffer(monkeypatch):
    original = csv.Sniffer.sniff

    def sniff(self, sample, delimiters=None):
        dialect = original(self, sample, delimiters)
        dialect.escapechar = "\\"
        return dialect

    monkeypatch.setattr(csv.Sniffer, "sniff", sniff)


@pytest.mark.parametrize("change, content, taken", [
    (None, ROWS, "counted"),
    (replace_reader, ROWS, "declined"),         # not the interpreter's own reader
    (escaping_sniffer, ROWS, "declined"),       # a dialect the scanner does not reproduce
    (None, ROWS + "4;\x00;5\n", "fell_back"),   # NUL
    (None, ROWS.encode() + b"5;\xff\n", "fell_back"),  # not UTF-8: the decoder's own error
    # the reader's own error for a field over the limit
    (lambda mp: csv.field_size_limit(20), ROWS + "5;" + "x" * 21 + "\n", "fell_back"),
])
def test_the_guard_and_the_fallbacks(tmp_path, monkeypatch, change, content, taken):
    path = write(tmp_path, content)
    if change:
        change(monkeypatch)
    for force_titles in (False, True):
        wanted = outcome(path, force_titles, native=False)
        before = knobs.native_count_stats()
        assert outcome(path, force_titles, native=True) == wanted
        after = knobs.native_count_stats()
        assert {key for key in after if after[key] != before[key]} == {taken}


def test_large_file_in_constant_memory(tmp_path):
    line = '7;"Zoë, ""quoted""";€ 12.5;multi\r\n'
    path = tmp_path / "big.csv"
    with open(path, "w", encoding="utf-8", newline="") as handle:
        handle.write("id;name;price;note\n")
        for _ in range(20):
            handle.write(line * 10000)
    result = outcome(str(path), False, native=True)
    assert result == outcome(str(path), False, native=False)
    assert result[1][1] == 200000


@pytest.mark.parametrize("middle", ["", "2;" + "x" * 101 + ";z\n", '3;"' + "y" * 120 + '";z\n'])
def test_every_place_a_vector_group_can_end(tmp_path, middle):
    """Doubled quotes and fields longer than the limit, cut at each of the 64 places
    where the 64 bytes the SSE2 path takes at a time can end."""
    csv.field_size_limit(100)
    rows = '1;"a"""";""\n""b";"""";c\n' * 60  # past the sample, which the sniffers read
    path = write(tmp_path, "id;name;note;x\n" + rows + middle + rows)
    wanted = outcome(path, False, native=False)
    for block_size in range(67, 67 + 64):
        assert outcome(path, False, True, False, block_size) == wanted, block_size
