"""What the sdist and the wheel hold, and the wheel at work in a fresh virtual environment with
no extra installed. The sdist and the wheel are those of the folder named by FILEINSPECT_DIST
(made by tools/build-wheels.sh) when it is set, else `python -m build` makes them from a copy
of the tree.

Slow (it may compile the extension, and it makes a virtual environment): deselect with
-m "not slow".
"""
import email.parser
import glob
import json
import os
import platform
import re
import shutil
import pathlib
import subprocess
import sys
import sysconfig
import tarfile
import zipfile

import pytest
from launcher import python_command

from veltrane.corvalest.datareader import fileInspect

pytestmark = pytest.mark.slow

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = "veltrane/corvalest/datareader"
DIST = os.environ.get("FILEINSPECT_DIST")
SAMPLES = os.path.join(ROOT, "src", PACKAGE, "samples")
LEFT_OUT_OF_THE_COPY = shutil.ignore_patterns(
    ".git", ".venvs", "build", "dist", "*.egg-info", "__pycache__", ".pytest_cache", ".mypy_cache",
    ".hypothesis", "*.so"
)


def declared_version():
    with open(os.path.join(ROOT, "pyproject.toml")) as stream:
        return re.search(r'^version = "([^"]+)"', stream.read(), re.M).group(1)


def run(command, **kwargs):
    completed = subprocess.run(
        command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
        timeout=1800, **kwargs
    )
    assert completed.returncode == 0, completed.stdout[-3000:] + completed.stderr[-3000:]
    return completed.stdout


def extension_sources():
    """The C++ sources and headers under src/, subfolders included, as paths relative to the
    checkout."""
    paths = glob.glob(os.path.join(ROOT, "src", "**", "*.[ch]pp"), recursive=True)
    return sorted(os.path.relpath(path, ROOT).replace(os.sep, "/") for path in paths)


def wheel_tags(wheel):
    """The tags that the wheel's WHEEL file declares (cp37-cp37m-manylinux_2_17_x86_64, ...)."""
    with zipfile.ZipFile(str(wheel)) as archive:
        (name,) = [name for name in archive.namelist() if name.endswith(".dist-info/WHEEL")]
        text = archive.read(name).decode("utf-8")
    return email.parser.HeaderParser().parsestr(text).get_all("Tag")


def interpreter_tag():
    """This interpreter's and its ABI's part of a wheel tag: cp37-cp37m, cp313-cp313."""
    soabi = sysconfig.get_config_var("SOABI")
    return "cp%d%d-cp%s" % (sys.version_info[:2] + (soabi.split("-")[1],))


@pytest.fixture(scope="module")
def dists(tmp_path_factory):
    if DIST:
        (sdist,) = glob.glob(os.path.join(DIST, "*.tar.gz"))
        pattern = "*-%s-*%s.whl" % (interpreter_tag(), platform.machine())
        (wheel,) = glob.glob(os.path.join(DIST, pattern))
        return pathlib.Path(sdist), pathlib.Path(wheel)
    # build.__main__, since a bare "build" may be the checkout's own build folder.
    pytest.importorskip("build.__main__", reason="needs build (the test extra installs it)")
    tree = str(tmp_path_factory.mktemp("tree") / "source")
    shutil.copytree(ROOT, tree, ignore=LEFT_OUT_OF_THE_COPY)
    out = tmp_path_factory.mktemp("dist")
    run(python_command() + ["-m", "build", "--outdir", str(out), tree])
    (sdist,) = out.glob("*.tar.gz")
    (wheel,) = out.glob("*.whl")
    return sdist, wheel


@pytest.fixture(scope="module")
def venv_python(dists, tmp_path_factory):
    """The command that starts the Python of a fresh virtual environment holding only the wheel."""
    venv = tmp_path_factory.mktemp("venv")
    run(python_command() + ["-m", "venv", str(venv)])
    python = python_command()[:-1] + [str(venv / "bin" / "python")]
    run(python + ["-m", "pip", "install", "--no-index", str(dists[1])], cwd=str(venv))
    return python, venv


class TestSdist:
    def names(self, sdist):
        with tarfile.open(str(sdist)) as archive:
            top = archive.getnames()[0].split("/")[0]
            return {name[len(top) + 1:] for name in archive.getnames()}

    def test_holds_the_extension_sources_and_build_files(self, dists):
        names = self.names(dists[0])
        assert set(extension_sources()) <= names
        assert {"setup.py", "pyproject.toml", "README.md", "LICENSE", "PKG-INFO"} <= names
        # What the differential and hostile-input tests compare with.
        assert "benchmarks/reference.py" in names

    def test_holds_the_package_with_its_stub_and_samples(self, dists):
        names = self.names(dists[0])
        expected = ["cli/__init__.py", "__main__.py", "fileInspect.pyi", "py.typed"]
        expected += ["samples/" + name for name in os.listdir(SAMPLES)]
        for name in expected:
            assert "src/%s/%s" % (PACKAGE, name) in names


class TestWheel:
    def read(self, wheel, suffix):
        with zipfile.ZipFile(str(wheel)) as archive:
            (name,) = [name for name in archive.namelist() if name.endswith(suffix)]
            return archive.read(name).decode("utf-8")

    def test_built_for_this_interpreter(self, dists):
        with zipfile.ZipFile(str(dists[1])) as archive:
            names = set(archive.namelist())
        for module in ("fileInspect", "_sheetscan"):
            assert "%s/%s%s" % (PACKAGE, module, sysconfig.get_config_var("EXT_SUFFIX")) in names
        shipped = ["fileInspect.pyi", "py.typed", "cli/__init__.py"]
        assert {PACKAGE + "/" + name for name in shipped} <= names
        assert {PACKAGE + "/samples/" + name for name in os.listdir(SAMPLES)} <= names

    def test_metadata_declared_once_in_pyproject(self, dists):
        metadata = email.parser.HeaderParser().parsestr(self.read(dists[1], ".dist-info/METADATA"))
        assert metadata["Version"] == declared_version()
        assert set(metadata["Requires-Python"].split(",")) == {">=3.7", "<3.16"}
        assert {"magic", "excel", "dask", "test"} <= set(metadata.get_all("Provides-Extra"))

    @pytest.mark.skipif(not DIST or platform.machine() != "x86_64",
                        reason="the x86_64 wheels of tools/build-wheels.sh")
    def test_manylinux_2_17_or_older(self, dists):
        for tag in wheel_tags(dists[1]):
            glibc = re.fullmatch(r"%s-manylinux_2_(\d+)_x86_64" % interpreter_tag(), tag)
            legacy = tag == "%s-manylinux2014_x86_64" % interpreter_tag()
            assert legacy or (glibc and int(glibc.group(1)) <= 17), tag

    @pytest.mark.skipif(not DIST, reason="the wheels of tools/build-wheels.sh")
    def test_the_suite_runs_against_this_wheel(self, dists):
        site = pathlib.Path(fileInspect.__file__).parents[3]
        (installed,) = site.glob("veltrane_fileinspect-*.dist-info")
        with (installed / "WHEEL").open() as stream:
            tags = email.parser.HeaderParser().parse(stream).get_all("Tag")
        assert tags == wheel_tags(dists[1])

    def test_console_script_entry_point(self, dists):
        entry_points = self.read(dists[1], ".dist-info/entry_points.txt")
        script = r"^fileinspect = veltrane\.corvalest\.datareader\.cli:main$"
        assert re.search(script, entry_points, re.M)


class TestFreshEnvironment:
    def test_module_works_without_any_extra(self, venv_python):
        python, venv = venv_python
        check = (
            "from veltrane.corvalest.datareader import fileInspect as fi; import sys; "
            "print(fi.KOmagic, fi.getfiletype(sys.argv[1]), fi.inspectFile(sys.argv[1])[:4])"
        )
        output = run(python + ["-c", check, os.path.join(SAMPLES, "cities.csv")], cwd=str(venv))
        titles = "['city', 'country', 'population', 'area_km2']"
        assert output.strip() == "True csv ('csv', 5, True, %s)" % titles

    def test_console_script(self, venv_python):
        python, venv = venv_python
        samples = [os.path.join(SAMPLES, name) for name in ("cities.csv", "stock.txt")]
        command = python + [str(venv / "bin" / "fileinspect"), "--json"] + samples
        output = run(command, cwd=str(venv))
        records = [json.loads(line) for line in output.splitlines()]
        assert [(record["type"], record["lines"]) for record in records] == [("csv", 5), ("txt", 4)]

    def test_version_from_installed_metadata(self, venv_python):
        python, venv = venv_python
        output = run(python + [str(venv / "bin" / "fileinspect"), "--version"], cwd=str(venv))
        assert output.startswith("fileinspect %s (" % declared_version())
        assert "python-magic is not available" in output

    def test_module_entry_point(self, venv_python):
        python, venv = venv_python
        output = run(python + ["-m", "veltrane.corvalest.datareader", "--help"], cwd=str(venv))
        assert output.startswith("usage: python -m veltrane.corvalest.datareader")
