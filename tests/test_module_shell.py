"""The module itself: initialisation, its namespace, function objects, argument
binding, name lookup and traceback entries."""
import builtins
import ctypes
import inspect
import json
import os
import shutil
import subprocess
import sys
import textwrap
import traceback

import pytest

import veltrane
from conftest import MODULE_NAME, SOURCE_PATH, module_entries
from launcher import python_command
from veltrane.corvalest.datareader import fileInspect


def run_python(code, pythonpath=None, cwd=None):
    """Runs `code` in a new interpreter; returns (exit status, stdout, stderr)."""
    env = dict(os.environ)
    if pythonpath:
        env["PYTHONPATH"] = os.pathsep.join([str(pythonpath), env.get("PYTHONPATH", "")])
    done = subprocess.run(
        python_command() + ["-c", textwrap.dedent(code)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        env=env,
        cwd=cwd,
        timeout=120,
    )
    return done.returncode, done.stdout, done.stderr


@pytest.fixture
def package_copy(tmp_path):
    """A copy of the installed package tree, to be altered and put first on the path."""
    shutil.copytree(os.path.dirname(veltrane.__file__), str(tmp_path / "veltrane"))
    return tmp_path


class TestNamespace:
    def test_names_bound_by_initialisation(self, fi):
        from veltrane.corvalest import excelutils
        from veltrane.corvalest.datareader import excelsource

        assert fi.os is os
        assert fi.getranges is excelsource.getranges
        assert fi.analyseRangeData is excelsource.analyseRangeData
        assert fi.simpleRangeType is excelutils.simpleRangeType
        assert fi.multiRangesType is excelutils.multiRangesType
        assert fi.__builtins__ is builtins
        assert fi.__name__ == MODULE_NAME
        assert sys.modules[MODULE_NAME] is fi

    def test_magic_flag_matches_availability(self, fi):
        try:
            import magic  # noqa: F401
        except Exception:
            assert fi.KOmagic is True and not hasattr(fi, "magic")
        else:
            assert fi.KOmagic is False and fi.magic is magic

    def test_sibling_types(self, fi):
        for name in ("csv", "txt"):
            assert name in fi.simpleRangeType
        for name in ("xls", "xlsx"):
            assert name not in fi.simpleRangeType

    def test_second_initialisation_returns_the_same_module(self, fi):
        library = ctypes.PyDLL(fi.__file__)
        library.PyInit_fileInspect.restype = ctypes.py_object
        assert library.PyInit_fileInspect() is fi


class TestFunctionObjects:
    @pytest.mark.parametrize(
        "name, signature",
        [
            ("getfiletype", "(filename)"),
            ("getDataFileRanges", "(filename, ftype='')"),
            ("inspectFile", "(filename, ftype='', arange='', forceTitles=False)"),
        ],
    )
    def test_attributes(self, fi, name, signature):
        function = getattr(fi, name)
        assert type(function).__name__ == "builtin_function_or_method"
        assert function.__name__ == name
        assert function.__qualname__ == name
        assert function.__module__ == MODULE_NAME
        assert function.__doc__ is None
        assert str(inspect.signature(function)) == signature


class TestArgumentBinding:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda f: f.getfiletype(filename="x"), "getfiletype() takes no keyword arguments"),
            (lambda f: f.getfiletype("x", ftype="x"), "getfiletype() takes no keyword arguments"),
            (lambda f: f.getfiletype(), "getfiletype() takes exactly one argument (0 given)"),
            (lambda f: f.getfiletype("a", "b"),
             "getfiletype() takes exactly one argument (2 given)"),
            (
                lambda f: f.getDataFileRanges(),
                "getDataFileRanges() takes at least 1 positional argument (0 given)",
            ),
            (
                lambda f: f.getDataFileRanges(ftype="csv"),
                "getDataFileRanges() takes at least 1 positional argument (0 given)",
            ),
            (
                lambda f: f.getDataFileRanges(bogus=1),
                "getDataFileRanges() takes at least 1 positional argument (0 given)",
            ),
            (
                lambda f: f.getDataFileRanges("a", "b", "c"),
                "getDataFileRanges() takes at most 2 positional arguments (3 given)",
            ),
            (
                lambda f: f.inspectFile("a", "b", "c", "d", "e"),
                "inspectFile() takes at most 4 positional arguments (5 given)",
            ),
            (
                lambda f: f.getDataFileRanges("a", filename="b"),
                "getDataFileRanges() got multiple values for keyword argument 'filename'",
            ),
            (
                lambda f: f.inspectFile("a", "csv", ftype="txt"),
                "inspectFile() got multiple values for keyword argument 'ftype'",
            ),
            (
                lambda f: f.inspectFile("a", forcetitles=True),
                "inspectFile() got an unexpected keyword argument 'forcetitles'",
            ),
            (
                lambda f: f.inspectFile("a", "csv", zzz=1, ftype="txt"),
                "inspectFile() got an unexpected keyword argument 'zzz'",
            ),
            (
                lambda f: f.inspectFile("a", "csv", ftype="txt", zzz=1),
                "inspectFile() got multiple values for keyword argument 'ftype'",
            ),
        ],
    )
    def test_binding_errors(self, fi, call, message):
        with pytest.raises(TypeError) as info:
            call(fi)
        assert str(info.value) == message

    def test_binding_error_entries(self, fi):
        with pytest.raises(TypeError) as info:
            fi.getfiletype()
        assert module_entries(info.value) == []
        with pytest.raises(TypeError) as info:
            fi.getDataFileRanges()
        assert module_entries(info.value) == [("getDataFileRanges", 72)]
        with pytest.raises(TypeError) as info:
            fi.inspectFile(x=1)
        assert module_entries(info.value) == [("inspectFile", 82)]

    def test_non_string_keyword(self, fi):
        with pytest.raises(TypeError, match="keywords must be strings"):
            fi.inspectFile("a", **{1: 2})

    def test_empty_keyword_dictionary_is_no_keywords(self, fi, extension_mode):
        assert fi.getfiletype("a.b", **{}) == "b"
        assert fi.getDataFileRanges("missing", "csv", **{}) == []

    def test_keywords_bind_by_name(self, fi, monkeypatch):
        seen = []
        monkeypatch.setattr(fi, "analyseRangeData", lambda *args: seen.append(args) or ("r",))
        fi.inspectFile(arange="A1", ftype="xlsx", filename="book")
        assert seen == [("book", "xlsx", "A1")]
        assert fi.inspectFile(forceTitles=7, filename="f", ftype="ods") == ("ods", 0, 7, [], None)

    def test_arguments_are_passed_on_unchecked(self, fi, monkeypatch):
        name = object()
        seen = []
        monkeypatch.setattr(fi, "getranges", lambda *args: seen.append(args) or "same")
        assert fi.getDataFileRanges(name, "xls") == "same"
        assert seen[0][0] is name


class TestNameLookup:
    def test_rebinding_changes_what_is_called(self, fi, monkeypatch):
        monkeypatch.setattr(fi, "getfiletype", lambda filename: "ods")
        assert fi.inspectFile("nowhere") == ("ods", 0, False, [], None)
        assert fi.getDataFileRanges("nowhere") is None

    @pytest.mark.parametrize(
        "name, call, entries",
        [
            ("KOmagic", lambda f: f.getfiletype("x"), [("getfiletype", 36)]),
            ("getfiletype", lambda f: f.getDataFileRanges("x"), [("getDataFileRanges", 74)]),
            ("getranges", lambda f: f.getDataFileRanges("x", "xls"), [("getDataFileRanges", 78)]),
            ("getfiletype", lambda f: f.inspectFile("x"), [("inspectFile", 87)]),
            ("simpleRangeType", lambda f: f.inspectFile("x", "csv"), [("inspectFile", 92)]),
            ("analyseRangeData", lambda f: f.inspectFile("x", "xls", "A1"), [("inspectFile", 116)]),
            ("getDataFileRanges", lambda f: f.inspectFile("x", "xls"), [("inspectFile", 118)]),
        ],
    )
    def test_missing_name(self, fi, monkeypatch, name, call, entries):
        monkeypatch.delattr(fi, name)
        with pytest.raises(NameError) as info:
            call(fi)
        assert str(info.value) == "name '%s' is not defined" % name
        assert module_entries(info.value) == entries

    def test_missing_inspectFile_for_nested_call(self, fi, monkeypatch):
        inspect_file = fi.inspectFile
        monkeypatch.setattr(fi, "getDataFileRanges", lambda filename, ftype: ["r1"])
        monkeypatch.delattr(fi, "inspectFile")
        with pytest.raises(NameError) as info:
            inspect_file("x", "xlsx")
        assert module_entries(info.value) == [("inspectFile", 122)]

    def test_builtins_are_the_fallback(self, fi, monkeypatch):
        monkeypatch.delattr(fi, "KOmagic")
        monkeypatch.setattr(builtins, "KOmagic", True, raising=False)
        assert fi.getfiletype("report.ODS") == "ODS"

    def test_print_and_open_are_held_from_import(self, fi, monkeypatch, write_file, capsys):
        path = write_file("a;b\n1;2\n")

        def refuse(*args, **kwargs):
            raise AssertionError("the module must use the print and open it holds")

        monkeypatch.setattr(builtins, "open", refuse)
        monkeypatch.setattr(builtins, "print", refuse)
        assert fi.inspectFile(path, "csv")[:2] == ("csv", 1)
        fi.inspectFile(path, "unknown")
        assert capsys.readouterr().out == "debug file %s -> typeunknown\n" % path


class TestInitialisation:
    """Imports in a fresh interpreter, with the package tree or `magic` altered."""

    def test_import_prints_nothing(self):
        status, out, err = run_python("import veltrane.corvalest.datareader.fileInspect")
        assert (status, out) == (0, ""), err

    def test_without_magic(self):
        status, out, err = run_python(
            """
            import sys
            sys.modules["magic"] = None
            from veltrane.corvalest.datareader import fileInspect as m
            print(m.KOmagic, hasattr(m, "magic"), m.getfiletype("/no/such/dir/Book.XLSX"))
            """
        )
        assert (status, out) == (0, "True False XLSX\n"), err

    @pytest.mark.parametrize("raised", ["OSError('no libmagic')", "KeyboardInterrupt()"])
    def test_magic_import_raising_anything(self, tmp_path, raised):
        (tmp_path / "magic.py").write_text("raise %s\n" % raised)
        status, out, err = run_python(
            """
            import sys
            try:
                raise ValueError("handled before")
            except ValueError:
                from veltrane.corvalest.datareader import fileInspect as m
                print(m.KOmagic, "magic" in vars(m), repr(sys.exc_info()[1]))
            """,
            pythonpath=tmp_path,
        )
        assert (status, out) == (0, "True False ValueError('handled before')\n"), err

    def test_sibling_without_a_name(self, package_copy):
        source = package_copy / "veltrane" / "corvalest" / "datareader" / "excelsource.py"
        source.write_text(
            textwrap.dedent(
                """
                from . import fileInspect as _partial
                seen_while_initialising = sorted(k for k in vars(_partial) if k[:2] != "__")

                def getranges(filename, ftype):
                    return ["r"]
                """
            )
        )
        status, out, err = run_python(
            """
            import json, sys, traceback
            name = "veltrane.corvalest.datareader.fileInspect"
            for attempt in (1, 2):
                try:
                    import veltrane.corvalest.datareader.fileInspect
                except ImportError as exc:
                    entries = [(f.name, f.filename, f.lineno)
                               for f in traceback.extract_tb(exc.__traceback__)]
                    print(json.dumps([str(exc), entries[-1], name in sys.modules]))
            from veltrane.corvalest.datareader import excelsource
            print(json.dumps(excelsource.seen_while_initialising))
            excelsource.analyseRangeData = lambda *args: ("x",)
            from veltrane.corvalest.datareader import fileInspect
            print(fileInspect.getDataFileRanges("book", "xls"))
            """,
            pythonpath=package_copy,
        )
        assert status == 0, err
        lines = out.splitlines()
        entry = ["init " + MODULE_NAME, SOURCE_PATH, 31]
        expected = ["cannot import name analyseRangeData", entry, False]
        # Both attempts run initialisation and fail the same way: no half-built
        # module is left in sys.modules for the second one to find.
        assert [json.loads(line) for line in lines[:2]] == [expected, expected]
        # A sibling that imports the module while it initialises gets the
        # partly built module, holding what was bound before the sibling imports.
        bound_before = ["KOmagic", "os"] if fileInspect.KOmagic else ["KOmagic", "magic", "os"]
        assert json.loads(lines[2]) == bound_before
        assert lines[3] == "['r']"

    def test_missing_sibling_module(self, package_copy):
        # The real excelsource imports excelutils itself; a self-contained one
        # lets the module's own import of excelutils be the one that fails.
        datareader = package_copy / "veltrane" / "corvalest" / "datareader"
        (datareader / "excelsource.py").write_text(
            "def getranges(f, t): pass\ndef analyseRangeData(*a): pass\n"
        )
        os.remove(str(package_copy / "veltrane" / "corvalest" / "excelutils.py"))
        status, out, err = run_python(
            """
            import traceback
            try:
                import veltrane.corvalest.datareader.fileInspect
            except ModuleNotFoundError as exc:
                print(exc.name)
                entries = [f for f in traceback.extract_tb(exc.__traceback__)
                           if f.filename == "veltrane/corvalest/datareader/fileInspect"]
                print(entries[0].name, entries[0].lineno)
            """,
            pythonpath=package_copy,
        )
        assert status == 0, err
        assert out.splitlines() == ["veltrane.corvalest.excelutils", "init %s 32" % MODULE_NAME]


def test_entries_follow_the_failing_statement(fi, monkeypatch):
    """Entries sit outside the frames of what the module called, in call order."""

    def getranges(filename, ftype):
        raise LookupError("from getranges")

    monkeypatch.setattr(fi, "getranges", getranges)
    with pytest.raises(LookupError) as info:
        fi.inspectFile("book", "xlsx")
    names = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert names[-3:] == [
        MODULE_NAME + ".inspectFile",
        MODULE_NAME + ".getDataFileRanges",
        "getranges",
    ]
    assert module_entries(info.value) == [("inspectFile", 118), ("getDataFileRanges", 78)]
