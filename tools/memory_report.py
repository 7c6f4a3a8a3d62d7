"""Reads the logs of a sanitizer or valgrind run and fails on what concerns the extension.

    python tools/memory_report.py LOG_FOLDER

Sanitizer logs: any memory error or undefined behaviour fails. Valgrind logs:
an invalid access, a use of uninitialised memory or a bad free fails when its
stack passes through the extension. In both, a leak fails only when its
allocation stack passes through the extension: the interpreter and libmagic
keep some memory until the process ends, which is not ours to free.
"""
import os
import re
import sys

# A frame of the extension: its shared object, its namespaces, or one of its
# C++ sources (valgrind names only the file, the sanitizers the path).
OURS = re.compile(r"fileInspect[^ ]*\.so|src/(fileinspect|delimited|common)/"
                  r"|(fileinspect|delimited|common)::|\(\w+\.[ch]pp:\d+\)")
VALGRIND_PREFIX = re.compile(r"^==\d+== ?")
LEAK = re.compile(r"^(Direct|Indirect) leak of \d+ byte|are definitely lost")
VALGRIND_ERROR = re.compile(
    r"^(Invalid (read|write|free)|Mismatched free|Conditional jump or move depends"
    r"|Use of uninitialised|Syscall param .* uninitialised|Source and destination overlap)"
)
SANITIZER_ERROR = re.compile(r"runtime error:|ERROR: AddressSanitizer")
# tracemalloc's own records of allocations (the leak tests turn it on) are the
# interpreter's, whoever made the allocation they describe; they come from its
# private allocator, unlike the objects it traces.
TRACEMALLOC_BOOKKEEPING = re.compile(r"in raw_(malloc|calloc|realloc) Modules/_tracemalloc\.c")


def records(text):
    """The records of a log (a header line and its stack), each as a list of lines."""
    block = []
    for line in text.splitlines() + [""]:
        line = VALGRIND_PREFIX.sub("", line)
        if line.strip():
            block.append(line)
        elif block:
            yield block
            block = []


def judge(log_text, failures, ignored):
    """Add the records of one log to `failures` (ours) or count them in `ignored`."""
    if SANITIZER_ERROR.search(log_text):
        failures.append(log_text)
        return
    for block in records(log_text):
        if not (LEAK.search(block[0]) or VALGRIND_ERROR.match(block[0])):
            continue
        if any(OURS.search(line) for line in block) and not any(
            TRACEMALLOC_BOOKKEEPING.search(line) for line in block[1:3]
        ):
            failures.append("\n".join(block))
        else:
            ignored[0] += 1


def main(log_dir):
    failures, ignored = [], [0]
    for name in sorted(os.listdir(log_dir)):
        with open(os.path.join(log_dir, name), errors="replace") as handle:
            judge(handle.read(), failures, ignored)
    for report in failures:
        print(report, end="\n\n")
    print(
        "memory report: %d finding(s) in the extension; %d record(s) of the interpreter "
        "or libraries ignored" % (len(failures), ignored[0])
    )
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
