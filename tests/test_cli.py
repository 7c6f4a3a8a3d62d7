"""The fileinspect command, run as a subprocess on files made for each test."""
import json
import os
import re
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from launcher import python_command

from veltrane.corvalest.datareader import cli, fileInspect
from veltrane.corvalest.datareader.cli import failures

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SEMICOLON_TEXT = (
    "city;country;population\nLyon;France;522250\nPorto;Portugal;231800\n\nGhent;Belgium;265086\n"
)
TAB_TEXT = "sku\tqty\tprice\nA-100\t250\t0.12\nA-101\t400\t0.05\n"
NUMBERS_ONLY = "1;2;3\n4;5;6\n7;8;9\n"
RECORD_KEYS = {
    "path", "type", "lines", "title_first", "titles", "delimiter",
    "dialect", "range", "ranges", "range_inspections",
}


def run_cli(*args, timeout=300, **kwargs):
    command = python_command() + ["-m", "veltrane.corvalest.datareader"]
    return subprocess.run(
        command + [str(arg) for arg in args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        universal_newlines=True, timeout=timeout, **kwargs
    )


def json_records(completed):
    return [json.loads(line) for line in completed.stdout.splitlines()]


def table_lines(completed):
    """The table's rows, each split into its columns (two or more blanks apart)."""
    return [re.split(r"\s{2,}", line.strip()) for line in completed.stdout.splitlines()]


@pytest.fixture
def data(tmp_path):
    """A folder with a semicolon-delimited and a tab-delimited file."""
    (tmp_path / "cities.csv").write_text(SEMICOLON_TEXT)
    (tmp_path / "stock.txt").write_text(TAB_TEXT)
    return tmp_path


class TestTable:
    def test_a_row_per_file_with_its_layout(self, data):
        completed = run_cli(data / "cities.csv", data / "stock.txt")
        assert completed.returncode == 0, completed.stderr
        header, cities, stock = table_lines(completed)
        assert header == ["PATH", "TYPE", "LINES", "TITLES", "TITLE ROW", "DELIMITER", "RANGES"]
        assert cities == [
            str(data / "cities.csv"), "csv", "3", "yes", "city, country, population", ";", "-"
        ]
        assert stock == [str(data / "stock.txt"), "txt", "2", "yes", "sku, qty, price", "tab", "-"]

    def test_plain_text_when_not_on_a_terminal(self, data):
        completed = run_cli(data / "cities.csv")
        assert "\033" not in completed.stdout
        assert completed.stderr == ""

    def test_without_path_the_shipped_samples(self):
        completed = run_cli()
        assert completed.returncode == 0, completed.stderr
        shown = [row[0] for row in table_lines(completed)[1:]]
        samples = os.listdir(cli.SAMPLES_DIR)
        assert {"cities.csv", "stock.txt"} <= set(samples)
        shown_names = sorted(os.path.basename(path) for path in shown if os.path.isabs(path))
        assert shown_names == sorted(samples)

    def test_a_type_that_is_not_read_gets_dashes(self, data):
        completed = run_cli("--type", "ods", data / "cities.csv")
        row = table_lines(completed)[1]
        assert row == [str(data / "cities.csv"), "ods", "0", "no", "-", "-", "-"]


class TestJson:
    def test_one_object_per_file_with_every_key(self, data):
        completed = run_cli("--json", data / "cities.csv", data / "stock.txt")
        assert completed.returncode == 0, completed.stderr
        cities, stock = json_records(completed)
        assert set(cities) == RECORD_KEYS and set(stock) == RECORD_KEYS
        assert cities["path"] == str(data / "cities.csv")
        assert (cities["type"], cities["lines"], cities["title_first"]) == ("csv", 3, True)
        assert cities["titles"] == ["city", "country", "population"]
        assert (cities["delimiter"], cities["ranges"]) == (";", [])
        assert (cities["range"], cities["range_inspections"]) == (None, None)
        assert (stock["type"], stock["delimiter"], stock["lines"]) == ("txt", "\t", 2)

    def test_dialect_travels_as_plain_values(self, data):
        (record,) = json_records(run_cli("--json", data / "cities.csv"))
        assert set(record["dialect"]) == set(cli.DIALECT_ATTRIBUTES)
        assert record["dialect"]["delimiter"] == ";"
        assert record["dialect"]["quotechar"] == '"'

    def test_unknown_type_debug_line_stays_out_of_the_stream(self, data):
        completed = run_cli("--json", "--type", "unknown", data / "cities.csv", data / "stock.txt")
        records = json_records(completed)
        assert [record["type"] for record in records] == ["unknown", "unknown"]
        assert "-> typeunknown" not in completed.stdout + completed.stderr

    def test_other_types_have_no_ranges(self, data):
        (record,) = json_records(run_cli("--json", "--type", "ods", data / "cities.csv"))
        shown = (record["lines"], record["titles"], record["dialect"], record["ranges"])
        assert shown == (0, [], None, None)

    def test_failures_are_objects_in_the_stream_too(self, data):
        missing = data / "missing.csv"
        completed = run_cli("--json", data / "cities.csv", missing)
        good, bad = json_records(completed)
        assert good["type"] == "csv"
        error = {"type": "FileNotFoundError", "message": bad["error"]["message"]}
        assert bad == {"path": str(missing), "error": error}
        assert str(missing) in bad["error"]["message"]


class TestOptions:
    def test_type_name_is_passed_through(self, data):
        comma = data / "comma.dat"
        comma.write_text("a,b,c\n1,2,3\n4,5,6\n")
        (record,) = json_records(run_cli("--json", "--type", "csv", comma))
        # Read as delimited text; the type comes back from the sniffed delimiter.
        assert (record["type"], record["delimiter"], record["lines"]) == ("txt", ",", 2)

    def test_titles_forces_the_first_row_as_titles(self, data):
        numbers = data / "numbers.csv"
        numbers.write_text(NUMBERS_ONLY)
        guessed, forced = (
            json_records(run_cli("--json", *options, numbers))[0] for options in ((), ("--titles",))
        )
        assert (guessed["title_first"], guessed["titles"], guessed["lines"]) == (False, [], 3)
        forced_layout = (forced["title_first"], forced["titles"], forced["lines"])
        assert forced_layout == (True, ["1", "2", "3"], 2)

    def test_jobs_keep_input_order_and_results(self, data):
        paths = []
        for number in range(12):
            path = data / ("part%02d.csv" % number)
            path.write_text(SEMICOLON_TEXT * (number + 1))
            paths.append(path)
        paths.insert(5, data / "missing.csv")
        in_turn = run_cli("--json", *paths)
        in_workers = run_cli("--json", "--jobs", "4", *paths)
        assert in_workers.returncode == in_turn.returncode == 1
        assert json_records(in_workers) == json_records(in_turn)
        in_order = [record["path"] for record in json_records(in_workers)]
        assert in_order == [str(path) for path in paths]
        assert in_workers.stderr == in_turn.stderr

    def test_version_is_the_declared_one(self):
        with open(os.path.join(ROOT, "pyproject.toml")) as stream:
            declared = re.search(r'^version = "([^"]+)"', stream.read(), re.M).group(1)
        completed = run_cli("--version")
        assert completed.returncode == 0
        prog = "python -m veltrane.corvalest.datareader"
        assert completed.stdout.startswith("%s %s (" % (prog, declared))

    def test_version_without_a_metadata_library(self):
        assert cli.version_from_dist_info() == cli.package_version() != "unknown"

    def test_help_shows_examples(self):
        completed = run_cli("--help")
        assert completed.returncode == 0
        assert "examples:" in completed.stdout and "--recursive" in completed.stdout


class TestFolders:
    def test_folder_needs_recursive(self, data):
        completed = run_cli(data, data / "cities.csv")
        assert completed.returncode == 1
        assert "%s: IsADirectoryError: is a directory" % data in completed.stderr
        assert [row[0] for row in table_lines(completed)[1:]] == [str(data / "cities.csv")]

    def test_recursive_walks_subfolders_in_sorted_order(self, data):
        nested = data / "b" / "deeper"
        nested.mkdir(parents=True)
        (nested / "inner.csv").write_text(SEMICOLON_TEXT)
        (data / "a.txt").write_text(TAB_TEXT)
        completed = run_cli("--json", "-r", data)
        assert completed.returncode == 0, completed.stderr
        found = [os.path.relpath(record["path"], str(data)) for record in json_records(completed)]
        inner = os.path.join("b", "deeper", "inner.csv")
        assert found == ["a.txt", "cities.csv", "stock.txt", inner]

    def test_empty_folder_is_no_failure(self, tmp_path):
        completed = run_cli("-r", tmp_path)
        assert (completed.returncode, completed.stdout, completed.stderr) == (0, "", "")


class TestFailures:
    def assert_reported(self, completed, path, error_type):
        assert completed.returncode == 1
        assert "%s: %s: " % (path, error_type) in completed.stderr

    def test_missing_file_reported_and_the_run_goes_on(self, data):
        missing = data / "missing.csv"
        completed = run_cli(missing, data / "stock.txt")
        self.assert_reported(completed, missing, "FileNotFoundError")
        assert [row[0] for row in table_lines(completed)[1:]] == [str(data / "stock.txt")]

    def test_undecodable_text_names_the_byte_and_its_offset(self, data):
        latin1 = data / "latin1.csv"
        # The bad byte lies beyond the first block the module decodes.
        text = "ville;pays\n" * 1000 + "S\xe8te;France\n"
        latin1.write_bytes(b"\xef\xbb\xbf" + text.encode("latin-1"))
        completed = run_cli("--type", "csv", latin1)
        self.assert_reported(completed, latin1, "UnicodeDecodeError")
        assert completed.stderr.endswith(
            ": not UTF-8 text (invalid byte 0xe8 at offset 11004): "
            "delimited files are read as UTF-8\n"
        )

    @pytest.mark.parametrize("content, cause", [
        (b"", "empty file"),
        (b"1\n2\n3\n", "no delimiter found in the first 1024 characters"),
    ])
    def test_undelimited_text(self, data, content, cause):
        path = data / "plain.csv"
        path.write_bytes(content)
        completed = run_cli("--type", "csv", path)
        self.assert_reported(completed, path, "csv.Error")
        assert completed.stderr.endswith("%s: csv.Error: %s\n" % (path, cause))
        assert completed.stdout == ""

    @pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
    def test_fifo_refused_before_it_is_opened(self, data):
        fifo = data / "pipe.csv"
        os.mkfifo(str(fifo))
        for options in ((), ("--type", "csv"), ("--jobs", "2")):
            completed = run_cli(*options, fifo, data / "stock.txt", timeout=60)
            self.assert_reported(completed, fifo, "OSError")
            assert "not a regular file (a FIFO)" in completed.stderr
            assert [row[0] for row in table_lines(completed)[1:]] == [str(data / "stock.txt")]

    def test_every_failure_is_one_stderr_line(self, data):
        completed = run_cli(data / "a", data / "b", data)
        assert completed.returncode == 1
        assert len(completed.stderr.splitlines()) == 3


@settings(max_examples=300, deadline=None)
@given(text=st.text(max_size=40), bad=st.binary(max_size=40), block=st.integers(1, 8))
def test_first_invalid_utf8_is_where_decoding_the_whole_file_fails(tmp_path_factory, text, bad,
                                                                   block):
    """Scanned in blocks of a few bytes, so that sequences are cut at every place."""
    content = text.encode("utf-8") + bad
    path = tmp_path_factory.mktemp("utf8") / "file.csv"
    path.write_bytes(content)
    try:
        content.decode("utf-8")
        expected = None
    except UnicodeDecodeError as exc:
        expected = (exc.object[exc.start:exc.end], exc.start)
    scan_block, failures.SCAN_BLOCK = failures.SCAN_BLOCK, block
    try:
        assert failures.first_invalid_utf8(str(path)) == expected
    finally:
        failures.SCAN_BLOCK = scan_block


class TestUsageErrors:
    @pytest.mark.parametrize(
        "args", [["--jobs", "-1"], ["--jobs", "many"], ["--no-such-option"], ["--type"]]
    )
    def test_exit_status_2(self, args):
        completed = run_cli(*args)
        assert completed.returncode == 2
        assert "usage:" in completed.stderr


@pytest.mark.skipif(not hasattr(os, "openpty"), reason="needs a pseudo-terminal")
class TestProgress:
    def run_on_terminal_stderr(self, *args):
        main, secondary = os.openpty()
        try:
            completed = subprocess.run(
                python_command() + ["-m", "veltrane.corvalest.datareader"]
                + [str(arg) for arg in args],
                stdout=subprocess.PIPE, stderr=secondary, universal_newlines=True, timeout=300,
            )
            os.close(secondary)
            return completed, _read_all(main)
        finally:
            os.close(main)

    def many_files(self, folder):
        for number in range(cli.Progress.MANY_FILES):
            (folder / ("f%03d.csv" % number)).write_text(SEMICOLON_TEXT)

    def test_shown_on_a_terminal_for_a_long_run(self, tmp_path):
        self.many_files(tmp_path)
        completed, terminal = self.run_on_terminal_stderr("--json", "-r", tmp_path)
        assert completed.returncode == 0
        assert re.search(r"\d+/%d files" % cli.Progress.MANY_FILES, terminal)
        assert len(json_records(completed)) == cli.Progress.MANY_FILES

    def test_never_written_to_a_pipe(self, tmp_path):
        self.many_files(tmp_path)
        completed = run_cli("-r", tmp_path)
        assert completed.returncode == 0
        assert completed.stderr == ""

    def test_not_shown_for_a_short_run(self, data):
        completed, terminal = self.run_on_terminal_stderr(data / "cities.csv")
        assert completed.returncode == 0
        assert terminal == ""


def _read_all(descriptor):
    chunks = []
    while True:
        try:
            chunk = os.read(descriptor, 65536)
        except OSError:  # EIO once the other side is closed
            break
        if not chunk:
            break
        chunks.append(chunk)
    return b"".join(chunks).decode("utf-8", "replace")


class TestWorkbooks:
    """Workbook results with the sibling module's functions replaced, so that every shape is
    known."""

    RANGES = ["Sheet1!A1:C4", "Sheet2!B2:C3"]
    ANALYSES = {
        "Sheet1!A1:C4": ("xlsx", 3, True, ["a", "b", "c"], None),
        "Sheet2!B2:C3": ("xlsx", 2, False, [], None),
    }

    @pytest.fixture(autouse=True)
    def fake_workbooks(self, monkeypatch):
        monkeypatch.setattr(fileInspect, "getranges", lambda filename, ftype: list(self.RANGES))
        monkeypatch.setattr(
            fileInspect, "analyseRangeData", lambda filename, ftype, arange: self.ANALYSES[arange]
        )

    def test_whole_workbook_lists_each_range(self):
        record = cli.inspect_path("book.xlsx", "xlsx")
        assert set(record) == RECORD_KEYS
        shown = (record["type"], record["ranges"], record["lines"], record["range"])
        assert shown == ("xlsx", self.RANGES, None, None)
        assert record["range_inspections"] == [
            {"range": "Sheet1!A1:C4", "lines": 3, "title_first": True, "titles": ["a", "b", "c"]},
            {"range": "Sheet2!B2:C3", "lines": 2, "title_first": False, "titles": []},
        ]

    def test_one_range(self):
        record = cli.inspect_path("book.xlsx", "xlsx", "Sheet2!B2:C3")
        assert (record["range"], record["lines"], record["title_first"], record["ranges"]) == (
            "Sheet2!B2:C3", 2, False, self.RANGES
        )

    def test_table_row_per_range(self, capsys):
        assert cli.main(["--type", "xlsx", "book.xlsx"]) == 0
        rows = [re.split(r"\s{2,}", line.strip()) for line in capsys.readouterr().out.splitlines()]
        assert rows[1] == ["book.xlsx", "xlsx", "-", "-", "-", "-", ", ".join(self.RANGES)]
        assert rows[2] == ["Sheet1!A1:C4", "xlsx", "3", "yes", "a, b, c", "-"]
        assert rows[3] == ["Sheet2!B2:C3", "xlsx", "2", "no", "-", "-"]

    def test_failing_reader_is_a_failed_file(self, monkeypatch, capsys):
        def broken(filename, ftype):
            raise ValueError("not a workbook")

        monkeypatch.setattr(fileInspect, "getranges", broken)
        assert cli.main(["--type", "xls", "book.xls"]) == 1
        assert capsys.readouterr().err.endswith("book.xls: ValueError: not a workbook\n")


@pytest.mark.skipif(
    sys.version_info < (3, 8), reason="the table of entry points needs importlib.metadata"
)
def test_console_script_runs_the_same_main():
    from importlib.metadata import distribution

    entry_points = distribution("veltrane-fileinspect").entry_points
    (script,) = [entry for entry in entry_points if entry.name == "fileinspect"]
    assert script.group == "console_scripts"
    assert script.load() is cli.main
