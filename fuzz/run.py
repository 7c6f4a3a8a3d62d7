"""Runs one harness under atheris, whose libFuzzer drives it by the coverage of
the instrumented extension modules (tools/fuzz.sh builds them and starts this):

    python fuzz/run.py HARNESS [libFuzzer options] [corpus folders]

The harness's longest input and dictionary are added unless the options name
their own. Every 2**k inputs from 1024 on, one line on standard error tallies
how the inputs went ("fuzz-tally: sheet 4096 inputs: answered 1810, refused
2286"), which shows how far the inputs get.

Only the native code is instrumented: instrumenting the Python code of the
interpreter's csv module would change its code objects, and the native sniff
would rightly refuse to stand in for a sniffer that is not the original.
"""
import collections
import os
import sys

import atheris

from harnesses import HARNESSES

HERE = os.path.dirname(os.path.abspath(__file__))


def with_defaults(arguments, harness):
    """libFuzzer's arguments with the harness's longest input and dictionary added."""
    given = {argument.split("=")[0] for argument in arguments if argument.startswith("-")}
    added = []
    if "-max_len" not in given:
        added.append("-max_len=%d" % harness.max_len)
    if "-dict" not in given:
        added.append("-dict=%s" % os.path.join(HERE, harness.dictionary))
    return arguments[:1] + added + arguments[1:]


def tallied(name, check):
    tally = collections.Counter()

    def one_input(data):
        tally[check(data)] += 1
        count = sum(tally.values())
        if count >= 1024 and count & (count - 1) == 0:
            print("fuzz-tally: %s %d inputs: %s" % (
                name, count, ", ".join("%s %d" % item for item in sorted(tally.items()))),
                file=sys.stderr, flush=True)

    return one_input


def main():
    if len(sys.argv) < 2 or sys.argv[1] not in HARNESSES:
        sys.exit("usage: run.py {%s} [libFuzzer arguments]" % ",".join(HARNESSES))
    name = sys.argv.pop(1)
    harness = HARNESSES[name]
    atheris.Setup(with_defaults(sys.argv, harness), tallied(name, harness.check))
    atheris.Fuzz()


if __name__ == "__main__":
    main()
