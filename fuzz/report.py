"""Reads the log of one harness's run (run.py under libFuzzer) for tools/fuzz.sh:

    python fuzz/report.py HARNESS LOG EXIT_STATUS COVERAGE_FILE

prints one line of figures (runs, speed, covered edges and features at the start
and at the end, the covered share of the sources the harness aims at, the
tally of how the inputs went), appends the covered edges of each source file to
COVERAGE_FILE, and exits 0 for a clean run; otherwise 1 after a line naming
the finding and one naming the saved input.
"""
import collections
import re
import sys

from harnesses import HARNESSES

STATUS_LINE = re.compile(r"^#(\d+)\s+(INITED|NEW|REDUCE|pulse|DONE)\s.*?cov: (\d+) ft: (\d+)")
FUNCTION_LINE = re.compile(r"^(?:UN)?COVERED_FUNC: hits: \d+ edges: (\d+)/(\d+) .* (\S+):\d+$")
FINDING = re.compile(r"==ERROR: |ERROR: libFuzzer|runtime error:|Uncaught Python exception|ALARM:")
SOURCE = re.compile(r".*?/(src/.+)$")


def read(log):
    with open(log, errors="replace") as handle:
        return handle.read().splitlines()


def edges_by_file(lines):
    """{source file of ours: [covered edges, edges]} from libFuzzer's -print_coverage lines."""
    files = collections.defaultdict(lambda: [0, 0])
    for line in lines:
        function = FUNCTION_LINE.match(line)
        source = function and SOURCE.match(function.group(3))
        if source:
            files[source.group(1)][0] += int(function.group(1))
            files[source.group(1)][1] += int(function.group(2))
    return files


def final_statistics(lines):
    """libFuzzer's statistics at the end of a run that ran its course ({} otherwise)."""
    return dict((key.strip(), value.strip()) for key, value in (
        line[len("stat::"):].split(":", 1) for line in lines if line.startswith("stat::")))


def figures(name, lines, files, stats):
    statuses = [match.groups() for match in map(STATUS_LINE.match, lines) if match]
    text = "%s runs (%s/s)" % (stats.get("number_of_executed_units", "?"),
                               stats.get("average_exec_per_sec", "?"))
    if statuses:
        first, last = statuses[0], statuses[-1]
        text += ", edges %s -> %s, features %s -> %s" % (first[2], last[2], first[3], last[3])
    aimed = [counts for path, counts in files.items()
             if any(path.startswith("src/%s/" % folder) for folder in HARNESSES[name].aim)]
    if aimed:
        covered, total = (sum(column) for column in zip(*aimed))
        text += "; %d of %d edges of src/{%s} (%.0f%%)" % (
            covered, total, ",".join(HARNESSES[name].aim), 100.0 * covered / total)
    tallies = [line.split(" ", 2)[2] for line in lines if line.startswith("fuzz-tally: ")]
    return text + ("; " + tallies[-1] if tallies else ""), bool(statuses)


def main(name, log, status, coverage_file):
    lines = read(log)
    files = edges_by_file(lines)
    with open(coverage_file, "a") as out:
        for path in sorted(files):
            out.write("%s %s %d/%d\n" % ((name, path) + tuple(files[path])))
    stats = final_statistics(lines)
    text, covered = figures(name, lines, files, stats)
    print(text)
    findings = [line for line in lines if FINDING.search(line)]
    # libFuzzer also saves the slow inputs (slow-unit-*), which fail nothing.
    saved = [line.split("Test unit written to ", 1)[1] for line in lines
             if "Test unit written to " in line and "/slow-unit-" not in line]
    if status == 0 and covered and stats and not findings and not saved:
        return 0
    if findings:
        print("finding: " + findings[0].strip())
    elif not covered:
        print("finding: no coverage at all: are the modules instrumented?")
    else:
        print("finding: the run ended with status %d" % status)
    if saved:
        print("input: " + saved[-1].strip())
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]))
