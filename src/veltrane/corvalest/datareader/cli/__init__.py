"""The ``fileinspect`` command: type, data ranges and layout of data files.

    fileinspect [OPTIONS] [PATH...]
    python -m veltrane.corvalest.datareader [OPTIONS] [PATH...]

Each file is inspected with the three functions of ``fileInspect``; the
results are shown as a table, or as one JSON object per line with ``--json``.
Files that fail are reported on standard error and the run goes on.

    paths      the files the command line names (folders walked, FIFOs refused)
    records    one file's inspection as plain, JSON-ready data
    failures   error records, with undecodable and undelimited text explained
    workers    inspecting in this process or in worker processes
    progress   the progress line on a terminal
    output     the table and the JSON lines
    version    --version
    command    the options and one run
"""
from .command import build_parser, main, run
from .failures import error_record
from .paths import SAMPLES_DIR, collect_targets
from .progress import Progress
from .records import DIALECT_ATTRIBUTES, inspect_path
from .version import package_version, version_from_dist_info

__all__ = [
    "DIALECT_ATTRIBUTES",
    "SAMPLES_DIR",
    "Progress",
    "build_parser",
    "collect_targets",
    "error_record",
    "inspect_path",
    "main",
    "package_version",
    "run",
    "version_from_dist_info",
]
