"""The stub file lets `mypy --strict` check code that calls the extension."""
import importlib.util
import os
import re
import subprocess

import pytest
from launcher import python_command

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "typing_example.py")

pytestmark = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None,
    reason="needs mypy (the test extra installs it on Python 3.8+)"
)

# Each line is a misuse that the stub must reject.
MISUSES = """\
from veltrane.corvalest.datareader import fileInspect
from veltrane.corvalest.datareader.fileInspect import getDataFileRanges, getfiletype, inspectFile
getfiletype(filename="a.csv")
inspectFile("a.csv", forcetitles=True)
lines: str = inspectFile("a.csv", "csv")[1]
fileInspect.KOmagic = "no"
getDataFileRanges("a.csv", "txt").upper()
delimiter = inspectFile("a.csv")[4].delimiter
first_range: str = inspectFile("book.xlsx", "xlsx")[1]
"""


def run_mypy(tmp_path, path):
    return subprocess.run(
        python_command() + ["-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), path],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
        cwd=str(tmp_path), timeout=600,
    )


class TestStub:
    def test_usage_example_passes_strict(self, tmp_path):
        completed = run_mypy(tmp_path, EXAMPLE)
        assert completed.returncode == 0, completed.stdout

    def test_misuses_are_reported_on_their_lines(self, tmp_path):
        misuses = tmp_path / "misuses.py"
        misuses.write_text(MISUSES)
        completed = run_mypy(tmp_path, str(misuses))
        assert completed.returncode == 1
        errors = re.findall(r"^misuses\.py:(\d+): error", completed.stdout, re.M)
        reported = {int(line) for line in errors}
        assert reported == set(range(3, MISUSES.count("\n") + 1)), completed.stdout
