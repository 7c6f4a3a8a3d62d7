"""Fixtures shared by the test modules."""
import csv
import importlib.machinery
import importlib.util
import os
import pathlib
import traceback
import types

import pytest

from veltrane.corvalest.datareader import fileInspect

SOURCE_PATH = "veltrane/corvalest/datareader/fileInspect"
MODULE_NAME = "veltrane.corvalest.datareader.fileInspect"
BENCHMARKS = pathlib.Path(__file__).resolve().parents[1] / "benchmarks"
REFERENCE_PATH = BENCHMARKS / "reference.py"


def load_reference():
    """The plain-Python rendering as a module of its own, or None when it is not beside the
    tests."""
    return load_benchmark(REFERENCE_PATH, "fileinspect_reference")


def load_benchmark(path, name):
    """The benchmark script at `path` as a module named `name`, or None when it is not there."""
    if not path.exists():
        return None
    module = types.ModuleType(name)
    module.__file__ = str(path)
    exec(compile(path.read_text(), module.__file__, "exec"), vars(module))
    return module


def load_knobs():
    """The private module of fast-path switches and counters, from the extension's own file."""
    loader = importlib.machinery.ExtensionFileLoader("_fileinspect_knobs", fileInspect.__file__)
    module = importlib.util.module_from_spec(
        importlib.util.spec_from_loader("_fileinspect_knobs", loader))
    loader.exec_module(module)
    return module


def corpus_root():
    """The corpus folder: $FILEINSPECT_CORPUS when set, else shared/corpus beside the checkout."""
    named = os.environ.get("FILEINSPECT_CORPUS")
    return pathlib.Path(named or pathlib.Path(__file__).resolve().parents[2] / "shared" / "corpus")


def comparable(value):
    """`value` with each sniffed dialect class replaced by its attributes."""
    if isinstance(value, type) and issubclass(value, csv.Dialect):
        return ("dialect", value.delimiter, value.quotechar, value.doublequote,
                value.skipinitialspace, value.lineterminator, value.quoting)
    if isinstance(value, (list, tuple)):
        return type(value)(comparable(item) for item in value)
    return value


@pytest.fixture
def fi():
    """The extension module (rebind its names through `monkeypatch` so they are restored)."""
    return fileInspect


@pytest.fixture
def write_file(tmp_path):
    """Writes `content` (text in UTF-8, or bytes) to a new file and returns its path as str."""

    def write(content, name="data.csv"):
        path = tmp_path / name
        if isinstance(content, str):
            content = content.encode("utf-8")
        path.write_bytes(content)
        return str(path)

    return write


class FakeMagic:
    """Stands in for the `magic` module where a test must choose the MIME type."""

    def __init__(self, mime):
        self.mime = mime
        self.calls = []

    def from_file(self, filename, mime):
        self.calls.append((filename, mime))
        if isinstance(self.mime, BaseException):
            raise self.mime
        return self.mime


@pytest.fixture
def fake_magic(monkeypatch):
    """Binds a FakeMagic answering `mime` on the module and switches to MIME mode."""

    def install(mime):
        fake = FakeMagic(mime)
        monkeypatch.setattr(fileInspect, "magic", fake, raising=False)
        monkeypatch.setattr(fileInspect, "KOmagic", False)
        return fake

    return install


@pytest.fixture
def extension_mode(monkeypatch):
    monkeypatch.setattr(fileInspect, "KOmagic", True)


@pytest.fixture
def mime_mode(monkeypatch):
    """MIME mode with the real python-magic."""
    magic = pytest.importorskip("magic")
    monkeypatch.setattr(fileInspect, "magic", magic, raising=False)
    monkeypatch.setattr(fileInspect, "KOmagic", False)
    return magic


def module_entries(exc):
    """(function name, line) of the traceback entries this module added, outermost first."""
    return [
        (frame.name.rsplit(".", 1)[-1], frame.lineno)
        for frame in traceback.extract_tb(exc.__traceback__)
        if frame.filename == SOURCE_PATH
    ]


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))
