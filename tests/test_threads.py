"""The three functions called from several threads at once answer as in one thread.

Eight threads start together and each makes every call of a mixed list in its
own order, pass after pass until about SECONDS have gone by (at most
MAX_PASSES), with a short switch interval so that the threads take turns
inside the calls. Every result, or exception type and message, must be the one
a single thread gets for the same call.
"""
import pathlib
import random
import sys
import threading
import time

import pytest

from conftest import comparable, open_descriptors

THREADS = 8
MAX_PASSES = 5
SECONDS = 1.5

CONTENTS = {
    "semicolons.csv": "name;qty;price\nbolt;3;0.5\nnut;4;0.25\n",
    "tabs.txt": "name\tqty\nbolt\t3\nnut\t4\n",
    # Read in several chunks, so that reading it gives the other threads a turn.
    "long.csv": "id;value\n" + "".join("%d;%d\n" % (i, i * i) for i in range(1500)),
    "page.html": "<!DOCTYPE html><html><body><p>hi</p></body></html>\n",
    "latin1.csv": b"caf\xe9;x\n1;2\n",
}


def has_openpyxl():
    try:
        import openpyxl  # noqa: F401
    except ImportError:
        return False
    return True


def path_forms(path):
    return [str(path), str(path).encode(), pathlib.Path(str(path))]


def calls_on(path, name):
    """(function name, args, kwargs) of the calls made on `path`; inspectFile
    is not left to detect the page, which it would report by printing."""
    calls = []
    for form in path_forms(path):
        calls += [
            ("getfiletype", (form,), {}),
            ("getDataFileRanges", (form,), {}),
            ("inspectFile", (form, "csv"), {}),
            ("inspectFile", (), {"filename": form, "ftype": "txt", "forceTitles": True}),
        ]
        if name != "page.html":
            calls.append(("inspectFile", (form,), {}))
    return calls


@pytest.fixture
def calls(tmp_path, mime_mode):
    made = [("inspectFile", (str(tmp_path / "x"), "ods", "A1", 1), {})]
    for name, content in sorted(CONTENTS.items()):
        path = tmp_path / name
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        made += calls_on(path, name)
    made += calls_on(tmp_path / "missing.csv", "missing.csv")
    if has_openpyxl():
        from workbook_helpers import write_xlsx

        book = write_xlsx(
            tmp_path / "book.xlsx",
            [("Sheet1", "A1", [["name", "qty"], ["bolt", 3], ["nut", 4]]),
             ("Other", "B2", [[1, 2], [3, 4]])],
        )
        made += calls_on(book, "book.xlsx")
        made += [("inspectFile", (str(book), "xlsx", "Other"), {}),
                 ("getDataFileRanges", (pathlib.Path(str(book)), "xlsx"), {})]
    return made


def outcome(fi, call):
    function, args, kwargs = call
    try:
        return "returned", comparable(getattr(fi, function)(*args, **kwargs))
    except Exception as error:
        return "raised", type(error), str(error)


def test_threads_get_the_single_thread_answers(fi, calls):
    barrier = threading.Barrier(THREADS)
    seen = [[] for _ in range(THREADS)]

    def work(index):
        order = list(range(len(calls)))
        random.Random(index).shuffle(order)
        barrier.wait()
        deadline = time.monotonic() + SECONDS
        for _ in range(MAX_PASSES):
            for position in order:
                seen[index].append((position, outcome(fi, calls[position])))
            if time.monotonic() > deadline:
                break

    descriptors = open_descriptors()
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=work, args=(index,)) for index in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(120)
    finally:
        sys.setswitchinterval(interval)
    assert not any(thread.is_alive() for thread in threads)

    # Worked out after the threads, so that they were the first to make
    # anything the module builds on first use.
    expected = [outcome(fi, call) for call in calls]
    assert {kind for kind, *_ in expected} == {"returned", "raised"}
    for index in range(THREADS):
        passes, rest = divmod(len(seen[index]), len(calls))
        assert passes and not rest, "thread %d stopped early" % index
        wrong = [(calls[position], got, expected[position])
                 for position, got in seen[index] if got != expected[position]]
        assert wrong == []
    assert open_descriptors() == descriptors
