"""The fuzz harnesses (fuzz/) on the normally built extension: every input that
ever failed one, kept in fuzz/regressions/HARNESS/, replayed through it; and
each harness on a small input of its own, which must reach the native code."""
import pathlib
import signal
import sys

import pytest

FUZZ = pathlib.Path(__file__).resolve().parents[1] / "fuzz"
if not (FUZZ / "harnesses.py").exists():
    pytest.skip("no fuzz/ beside the tests", allow_module_level=True)
pytest.importorskip("openpyxl")
sys.path.insert(0, str(FUZZ))
from harnesses import HARNESSES  # noqa: E402
from seeds import seeds_of_templates  # noqa: E402

SAMPLE = b'id;name;"price"\r\n1;"bolt, M6";0.25\r\n2;nut;0.1\r\n'
SECONDS_PER_INPUT = 60  # emulated and sanitized runs included


def regression_inputs():
    return [pytest.param(name, path, id="%s/%s" % (name, path.name))
            for name in HARNESSES for path in sorted((FUZZ / "regressions" / name).glob("*"))]


class TookTooLong(BaseException):
    pass


def took_too_long(signum, frame):
    raise TookTooLong()


@pytest.mark.parametrize("harness, path", regression_inputs())
def test_input_that_once_failed(harness, path):
    # Some of them once hung: a failure, not a suite that never ends (the
    # native loops check for signals).
    previous = signal.signal(signal.SIGALRM, took_too_long)
    signal.setitimer(signal.ITIMER_REAL, SECONDS_PER_INPUT)
    try:
        HARNESSES[harness].check(path.read_bytes())
    except TookTooLong:
        pytest.fail("%s took over %d s" % (path.name, SECONDS_PER_INPUT))
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_each_harness_reaches_the_native_code():
    examples = {name: found[0] for name, found in seeds_of_templates().items()}
    examples.update(rowcount=SAMPLE, sniff=SAMPLE)
    outcomes = {name: harness.check(examples[name]) for name, harness in HARNESSES.items()}
    assert outcomes == dict(zip="answered", parts="answered", sheet="answered",
                            xlsb="answered", rowcount="counted", sniff="native",
                            xls="agreed", biff="agreed")
