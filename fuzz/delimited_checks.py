"""The native fast paths of delimited text against the plain path, on any bytes.

check_row_count(data): inspectFile(path, "csv", "", forceTitles) of a file
holding `data`, with the native row count switched off (the csv.reader loop,
the reference) and on (SSE2 and portable scanner, default and tiny read
blocks), must give the same result, or raise the same exception with the same
traceback entries.

check_sniff(data): the native sniff of `data` (as UTF-8 text) must give
csv.Sniffer's has_header and a dialect class with the same attributes, or
leave the sample to the sniffer where the sniffer raises; where it splits the
rows itself for the header vote, they must be csv.reader's.
"""
import contextlib
import csv
import importlib.machinery
import importlib.util
import io
import os
import shutil
import signal
import tempfile
import traceback

from veltrane.corvalest.datareader import fileInspect


def load_knobs():
    """The private module of fast-path switches and counters, from the extension's own file."""
    loader = importlib.machinery.ExtensionFileLoader("_fileinspect_knobs", fileInspect.__file__)
    module = importlib.util.module_from_spec(
        importlib.util.spec_from_loader("_fileinspect_knobs", loader))
    loader.exec_module(module)
    return module


knobs = load_knobs()
SNIFFER_BUDGET = 2.0  # seconds of CPU time for csv.Sniffer on one sample
DIALECT_ATTRIBUTES = ("delimiter", "quotechar", "doublequote", "skipinitialspace",
                      "lineterminator", "quoting", "escapechar", "strict")


@contextlib.contextmanager
def field_size_limit(limit):
    saved = csv.field_size_limit()
    if limit is not None:
        csv.field_size_limit(limit)
    try:
        yield
    finally:
        csv.field_size_limit(saved)


class ScratchFile:
    """One file, rewritten for each input (in shared memory where there is some)."""

    def __init__(self):
        self.folder = None

    def holding(self, data):
        if self.folder is None or not os.path.isdir(self.folder):
            self.folder = tempfile.mkdtemp(
                prefix="fileinspect-fuzz-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
        path = os.path.join(self.folder, "data.csv")
        with open(path, "wb") as handle:
            handle.write(data)
        return path

    def remove(self):
        if self.folder is not None:
            shutil.rmtree(self.folder, ignore_errors=True)


scratch = ScratchFile()


def settings_of(dialect):
    """Everything of a sniffed dialect class that a caller can see."""
    return (dialect.__name__, dialect.__qualname__, dialect.__module__, dialect.__bases__,
            dialect._name) + tuple(getattr(dialect, name, "absent") for name in DIALECT_ATTRIBUTES)


def comparable(value):
    if isinstance(value, type) and issubclass(value, csv.Dialect):
        return ("dialect",) + settings_of(value)
    if isinstance(value, (list, tuple)):
        return type(value)(comparable(item) for item in value)
    return value


def inspect_outcome(path, force_titles, native, scalar=False, block_size=0):
    knobs.native_count(native, scalar, block_size)
    try:
        result = fileInspect.inspectFile(path, "csv", "", force_titles)
    except Exception as error:
        entries = [(frame.filename, frame.name, frame.lineno)
                   for frame in traceback.extract_tb(error.__traceback__)]
        return "raised", type(error), str(error), entries
    finally:
        knobs.native_count(True)
    return "returned", comparable(result)


def check_row_count(data):
    """"counted", "declined" or "fell back": what the native count did, once proved equal."""
    path = scratch.holding(data)
    before = knobs.native_count_stats()
    tiny_block = 1 + len(data) % 7
    # A low limit on the field size, for a share of the inputs.
    with field_size_limit(40 if len(data) % 5 == 0 else None):
        for force_titles in (False, True):
            wanted = inspect_outcome(path, force_titles, native=False)
            for scalar, block_size in ((False, 0), (True, 0), (False, tiny_block)):
                got = inspect_outcome(path, force_titles, True, scalar, block_size)
                assert got == wanted, (force_titles, scalar, block_size, got, wanted)
    after = knobs.native_count_stats()
    changed = [key for key in ("counted", "fell_back", "declined") if after[key] > before[key]]
    return changed[0].replace("_", " ") if changed else "declined"


class SnifferTooSlow(BaseException):
    """The sniffer spent its budget on one sample (a BaseException, which its code does not
    catch)."""


@contextlib.contextmanager
def cpu_budget(seconds, too_slow):
    """Raises `too_slow` (a BaseException, which the code run does not catch) in the block
    after `seconds` of CPU time: what keeps an oracle that is slow on some inputs from
    stopping the fuzzer at its per-input timeout for no fault of ours. The sniffer's
    regular expressions take time cubic in the quotes of some samples (seconds for a few
    hundred characters); the regular expression engine checks for signals, so the alarm
    stops them."""
    def expired(signum, frame):
        raise too_slow()

    previous = signal.signal(signal.SIGVTALRM, expired)
    signal.setitimer(signal.ITIMER_VIRTUAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_VIRTUAL, 0)
        signal.signal(signal.SIGVTALRM, previous)


def caught(call):
    try:
        return "returned", call()
    except Exception as error:
        return "raised", type(error), str(error)


def sniffer_outcomes(sample):
    """({want_header: the outcome of has_header (when wanted) and sniff}, the dialect or
    None) of csv.Sniffer."""
    header = caught(lambda: csv.Sniffer().has_header(sample))
    sniffed = caught(lambda: csv.Sniffer().sniff(sample))
    outcomes = {}
    for want_header, first in ((True, header), (False, ("returned", None))):
        failed = [outcome for outcome in (first, sniffed) if outcome[0] == "raised"]
        outcomes[want_header] = failed[0] if failed else (
            "returned", first[1], settings_of(sniffed[1]))
    return outcomes, sniffed[1] if sniffed[0] == "returned" else None


def check_sniff(data):
    """"native" or "sniffer": who answered, once proved equal ("sniffer too slow" where
    csv.Sniffer took over its budget: nothing to compare with)."""
    sample = data.decode("utf-8", "replace")
    natives = {want: knobs.sniff_sample(sample, want) for want in (True, False)}
    try:
        with cpu_budget(SNIFFER_BUDGET, SnifferTooSlow):
            wanted, dialect = sniffer_outcomes(sample)
    except SnifferTooSlow:
        return "sniffer too slow"
    answered = "sniffer"
    for want_header, got in natives.items():
        if got is None:
            assert wanted[want_header][0] == "raised", (want_header, wanted)
        else:
            assert ("returned", got[0], settings_of(got[1])) == wanted[want_header], (
                want_header, got, wanted)
            answered = "native"
    with field_size_limit(5 if len(sample) % 4 == 0 else None):
        rows = knobs.sample_rows(sample)
        if rows is not None:
            assert dialect is not None, sample
            assert rows == list(csv.reader(io.StringIO(sample), dialect)), rows
    return answered
